#ifndef TESTS_SUPPORT_THREAD_STATE_H_
#define TESTS_SUPPORT_THREAD_STATE_H_

namespace zek_test {

// True while the thread with kernel id `tid` (rtc::CurrentThreadId() on that thread)
// of this process is asleep, blocked in the kernel, rather than running or runnable.
// Lets a test wait until a thread has really gone to sleep on a lock or an event
// before it checks what wakes it.
bool IsThreadSleeping(int tid);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_THREAD_STATE_H_
