#include "rtc_base/objc_hooks.h"

#import <Foundation/Foundation.h>

#include <unistd.h>

#include <mutex>

#include "rtc_base/platform_thread_types.h"

namespace rtc {

// GCC's Objective-C runtime has neither @autoreleasepool nor the runtime's pool push
// and pop, so the pools are Foundation's own objects.
void* AutoreleasePoolPush() {
  return [[NSAutoreleasePool alloc] init];
}

void AutoreleasePoolPop(void* pool) {
  [static_cast<NSAutoreleasePool*>(pool) drain];
}

void InitCocoaMultiThreading() {
  static std::once_flag once;
  std::call_once(once, [] {
    // GNUstep takes the thread that first touches NSThread for the main thread, and
    // a detached thread that ends after that thread has gone ends the process.
    // Off the process's main thread the switch is left to Foundation, which goes
    // multithreaded by itself as soon as a thread it did not start uses it.
    if (CurrentThreadId() != getpid()) {
      return;
    }
    if ([NSThread isMultiThreaded]) {
      return;
    }
    // The new thread sends +class to NSObject and ends; its start alone switches
    // Foundation into multithreaded mode.
    [NSThread detachNewThreadSelector:@selector(class) toTarget:[NSObject class] withObject:nil];
  });
}

}  // namespace rtc
