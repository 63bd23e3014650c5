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

// Returns once everything posted to `thread` before the call, and every delayed message
// due by then, has been handled: due messages join the queue behind a first posted
// message, so a second one comes after them. False when the thread did not get there
// within a few seconds.
bool Drain(rtc::Thread* thread);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_RUN_ON_H_
