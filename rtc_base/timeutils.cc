#include "rtc_base/timeutils.h"

#include <time.h>

#include <limits>

namespace rtc {

std::atomic<ClockInterface*> g_clock{nullptr};

ClockInterface* SetClockForTesting(ClockInterface* clock) {
  return g_clock.exchange(clock);
}

ClockInterface* GetClockForTesting() {
  return g_clock.load();
}

int64_t SystemTimeNanos() {
  timespec now;
  // Cannot fail for this clock; should it, every reading is 0 rather than garbage.
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
    return 0;
  return static_cast<int64_t>(now.tv_sec) * kNumNanosecsPerSec + now.tv_nsec;
}

int64_t SystemTimeMillis() {
  return SystemTimeNanos() / kNumNanosecsPerMillisec;
}

int64_t TimeNanos() {
  const ClockInterface* clock = g_clock.load(std::memory_order_acquire);
  return clock ? clock->TimeNanos() : SystemTimeNanos();
}

int64_t TimeMicros() {
  return TimeNanos() / kNumNanosecsPerMicrosec;
}

int64_t TimeMillis() {
  return TimeNanos() / kNumNanosecsPerMillisec;
}

uint32_t Time32() {
  return static_cast<uint32_t>(TimeMillis());
}

int64_t TimeAfter(int64_t elapsed) {
  return TimeMillis() + elapsed;
}

int64_t TimeDiff(int64_t later, int64_t earlier) {
  return later - earlier;
}

int64_t TimeUntil(int64_t later) {
  return later - TimeMillis();
}

int64_t TmToSeconds(const std::tm& tm) {
  static const short kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  static const short kCumulMonthDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  // In 64 bits first: a tm_year near INT_MAX must be refused, not wrap.
  const int64_t wide_year = static_cast<int64_t>(tm.tm_year) + 1900;
  if (wide_year < 1970 || wide_year > std::numeric_limits<int>::max())
    return -1;
  const int year = static_cast<int>(wide_year);
  const int month = tm.tm_mon;
  int day = tm.tm_mday - 1;
  const int hour = tm.tm_hour;
  const int minute = tm.tm_min;
  const int second = tm.tm_sec;

  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 0 || month > 11)
    return -1;
  if (day < 0 || day >= kMonthDays[month] + (leap && month == 1 ? 1 : 0))
    return -1;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
    return -1;

  // Leap days from 1970 up to and including this year; 492, 19 and 4 are 1970 divided
  // by 4, 100 and 400.
  day += kCumulMonthDays[month] + (year / 4 - 492) - (year / 100 - 19) + (year / 400 - 4);
  // This year's leap day has not come yet.
  if (leap && month <= 1)
    --day;

  return ((((static_cast<int64_t>(year) - 1970) * 365 + day) * 24 + hour) * 60 + minute) * 60 +
         second;
}

}  // namespace rtc
