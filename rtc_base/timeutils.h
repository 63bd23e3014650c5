#ifndef RTC_BASE_TIMEUTILS_H_
#define RTC_BASE_TIMEUTILS_H_

#include <stdint.h>

#include <atomic>
#include <ctime>

namespace rtc {

static const int64_t kNumMillisecsPerSec = INT64_C(1000);
static const int64_t kNumMicrosecsPerSec = INT64_C(1000000);
static const int64_t kNumNanosecsPerSec = INT64_C(1000000000);
static const int64_t kNumMicrosecsPerMillisec = kNumMicrosecsPerSec / kNumMillisecsPerSec;
static const int64_t kNumNanosecsPerMillisec = kNumNanosecsPerSec / kNumMillisecsPerSec;
static const int64_t kNumNanosecsPerMicrosec = kNumNanosecsPerSec / kNumMicrosecsPerSec;

// A source of time readings that replaces the platform clock, so that tests can
// drive every timer and time stamp. Readings must never decrease.
class ClockInterface {
 public:
  virtual ~ClockInterface() {}
  virtual int64_t TimeNanos() const = 0;
};

// The process-wide clock: null for the platform's monotonic clock. Any thread may read
// the time while a test swaps the clock; the clock object must outlive its use.
extern std::atomic<ClockInterface*> g_clock;
// Installs `clock` (null: back to the platform clock) and returns the one it replaces.
ClockInterface* SetClockForTesting(ClockInterface* clock);
ClockInterface* GetClockForTesting();

// Readings of a monotonic clock from an arbitrary origin: only differences mean
// anything. Divisions truncate toward zero.
//
// The platform clock, whatever g_clock says.
int64_t SystemTimeNanos();
int64_t SystemTimeMillis();
// g_clock when one is installed, the platform clock otherwise.
int64_t TimeNanos();
int64_t TimeMicros();
int64_t TimeMillis();
// TimeMillis() cut to its low 32 bits: wraps every 2^32 ms (about 49.7 days).
uint32_t Time32();

// The deadline `elapsed` ms from now, in TimeMillis() terms.
int64_t TimeAfter(int64_t elapsed);
// later - earlier, not clamped.
int64_t TimeDiff(int64_t later, int64_t earlier);
// `later` (a TimeMillis() value) minus now, not clamped: negative once it has passed.
int64_t TimeUntil(int64_t later);

// Seconds since 1970-01-01 00:00:00 UTC of the date and time in `tm`, read as UTC;
// only the seconds, minutes, hours, day of month, month and year are looked at.
// -1 for a date before 1970 or any field out of range (a leap second 60 included).
int64_t TmToSeconds(const std::tm& tm);

}  // namespace rtc

#endif  // RTC_BASE_TIMEUTILS_H_
