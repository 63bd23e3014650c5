#include "tests/support/fake_clock.h"

#include "rtc_base/checks.h"

namespace zek_test {

ScopedFakeClock::ScopedFakeClock(int64_t start_nanos)
    : time_nanos_(start_nanos), previous_(rtc::SetClockForTesting(this)) {}

ScopedFakeClock::~ScopedFakeClock() {
  rtc::SetClockForTesting(previous_);
}

int64_t ScopedFakeClock::TimeNanos() const {
  return time_nanos_.load();
}

void ScopedFakeClock::SetTimeNanos(int64_t nanos) {
  RTC_CHECK_GE(nanos, time_nanos_.load()) << "a fake clock moved backwards";
  time_nanos_.store(nanos);
}

void ScopedFakeClock::AdvanceTimeNanos(int64_t nanos) {
  RTC_CHECK_GE(nanos, 0) << "a fake clock moved backwards";
  time_nanos_.fetch_add(nanos);
}

void ScopedFakeClock::AdvanceTimeMillis(int64_t millis) {
  AdvanceTimeNanos(millis * rtc::kNumNanosecsPerMillisec);
}

}  // namespace zek_test
