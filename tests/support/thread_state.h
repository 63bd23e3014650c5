#ifndef TESTS_SUPPORT_THREAD_STATE_H_
#define TESTS_SUPPORT_THREAD_STATE_H_

#include <string>

namespace zek_test {

// True while the thread with kernel id `tid` (rtc::CurrentThreadId() on that thread)
// of this process is asleep, blocked in the kernel, rather than running or runnable.
// Lets a test wait until a thread has really gone to sleep on a lock or an event
// before it checks what wakes it.
bool IsThreadSleeping(int tid);

// The threads of this process named `name` (as the kernel keeps it: at most 15
// characters) that still run their own code. A thread that has left its body but whose
// kernel task has not gone yet (a join can return in between) is not counted.
int CountLiveThreadsNamed(const std::string& name);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_THREAD_STATE_H_
