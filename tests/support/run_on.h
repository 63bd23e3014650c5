#ifndef TESTS_SUPPORT_RUN_ON_H_
#define TESTS_SUPPORT_RUN_ON_H_

#include <functional>

namespace rtc {
class Thread;
}

namespace zek_test {

// Runs `body` on `thread` (a running rtc::Thread) and returns once it has run, so a
// test can create and drive objects that belong to that thread.
void RunOn(rtc::Thread* thread, const std::function<void()>& body);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_RUN_ON_H_
