#ifndef RTC_BASE_PLATFORM_THREAD_TYPES_H_
#define RTC_BASE_PLATFORM_THREAD_TYPES_H_

#include <pthread.h>

namespace rtc {

// The kernel's number for a thread: stable for the thread's life, only printed.
typedef int PlatformThreadId;
// The thread handle: valid while the thread lives, compared only with IsThreadRefEqual.
typedef pthread_t PlatformThreadRef;

// All four act on the calling thread and may be called from any thread.
PlatformThreadId CurrentThreadId();
PlatformThreadRef CurrentThreadRef();
bool IsThreadRefEqual(const PlatformThreadRef& a, const PlatformThreadRef& b);

// Names the calling OS thread with as much of `name` as the platform keeps (15 bytes
// on Linux, cut before a partial UTF-8 character). A null name, or one the platform
// refuses, leaves the thread's name as it was; nothing is reported.
void SetCurrentThreadName(const char* name);

}  // namespace rtc

#endif  // RTC_BASE_PLATFORM_THREAD_TYPES_H_
