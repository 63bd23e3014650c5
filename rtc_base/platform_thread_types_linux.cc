#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "rtc_base/platform_thread_types.h"

namespace rtc {

namespace {

// The kernel keeps 16 bytes of a thread's name, its NUL included, and refuses a
// longer one outright, so the name is cut here rather than lost.
constexpr size_t kMaxThreadNameLength = 15;

bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

PlatformThreadId CurrentThreadId() {
  return static_cast<PlatformThreadId>(gettid());
}

PlatformThreadRef CurrentThreadRef() {
  return pthread_self();
}

bool IsThreadRefEqual(const PlatformThreadRef& a, const PlatformThreadRef& b) {
  return pthread_equal(a, b) != 0;
}

void SetCurrentThreadName(const char* name) {
  if (!name)
    return;
  size_t len = strnlen(name, kMaxThreadNameLength + 1);
  if (len > kMaxThreadNameLength) {
    len = kMaxThreadNameLength;
    while (len > 0 && IsUtf8Continuation(name[len]))
      --len;
  }
  char cut[kMaxThreadNameLength + 1];
  memcpy(cut, name, len);
  cut[len] = '\0';
  pthread_setname_np(pthread_self(), cut);
}

}  // namespace rtc
