#ifndef TESTS_SUPPORT_RUN_ON_H_
#define TESTS_SUPPORT_RUN_ON_H_

#include <chrono>
#include <functional>

#include "rtc_base/thread.h"

namespace zek_test {

// Runs `body` on `thread`, between its socket events and messages, and returns once
// it has run there; what it wrote is then visible to the caller.
void RunOn(rtc::Thread* thread, const std::function<void()>& body);

// WaitUntil with `pred` evaluated on `thread`, so it may look at objects that only
// that thread touches.
bool WaitOnThread(rtc::Thread* thread,
                  const std::function<bool()>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace zek_test

#endif  // TESTS_SUPPORT_RUN_ON_H_
