#ifndef TESTS_SUPPORT_FAKE_CLOCK_H_
#define TESTS_SUPPORT_FAKE_CLOCK_H_

#include <stdint.h>

#include <atomic>

#include "rtc_base/timeutils.h"

namespace zek_test {

// A clock that moves only when the test moves it, installed as the process clock
// (rtc::TimeNanos and everything built on it) for its lifetime; the one it replaced
// comes back afterwards. Readings may be taken on any thread. Moving it does not
// wake threads already waiting on the platform's own timers.
class ScopedFakeClock : public rtc::ClockInterface {
 public:
  explicit ScopedFakeClock(int64_t start_nanos = 0);
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
  ~ScopedFakeClock() override;

  int64_t TimeNanos() const override;
  // Never backwards: a monotonic clock does not decrease.
  void SetTimeNanos(int64_t nanos);
  void AdvanceTimeNanos(int64_t nanos);
  void AdvanceTimeMillis(int64_t millis);

 private:
  std::atomic<int64_t> time_nanos_;
  rtc::ClockInterface* const previous_;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_FAKE_CLOCK_H_
