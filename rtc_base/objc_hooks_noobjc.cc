#include "rtc_base/objc_hooks.h"

namespace rtc {

// Without Foundation there is nothing to release and no mode to switch.

void* AutoreleasePoolPush() {
  return nullptr;
}

void AutoreleasePoolPop(void* /*pool*/) {}

void InitCocoaMultiThreading() {}

}  // namespace rtc
