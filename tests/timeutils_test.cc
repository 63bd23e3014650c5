// ctest-labels: threading
#include "rtc_base/timeutils.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <thread>
#include <vector>

#include "tests/support/fake_clock.h"

namespace {

using zek_test::ScopedFakeClock;

std::tm Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return tm;
}

TEST(TimeUtilsTest, TmToSecondsAcceptsValidDatesAndAgreesWithTimegm) {
  struct Case {
    std::tm tm;
    int64_t want;
  };
  const Case cases[] = {
      {Date(1970, 1, 1), 0},
      {Date(1970, 1, 2), 86400},
      {Date(1970, 12, 31, 23, 59, 59), 31535999},
      {Date(2000, 2, 29), 951782400},
      {Date(2000, 2, 29, 23, 59, 59), 951868799},
      {Date(2000, 3, 1), 951868800},
      {Date(2004, 2, 29), 1078012800},
      // Past the 32-bit signed range of seconds.
      {Date(2038, 1, 19, 3, 14, 8), 2147483648},
      {Date(2100, 3, 1), 4107542400},
      {Date(2400, 2, 29), 13574563200},
      {Date(9999, 12, 31, 23, 59, 59), 253402300799},
  };
  for (const Case& c : cases) {
    std::tm copy = c.tm;
    EXPECT_EQ(c.want, rtc::TmToSeconds(c.tm))
        << c.tm.tm_year + 1900 << "-" << c.tm.tm_mon + 1 << "-" << c.tm.tm_mday;
    EXPECT_EQ(static_cast<int64_t>(timegm(&copy)), c.want);
  }
}

TEST(TimeUtilsTest, TmToSecondsRefusesOutOfRangeFields) {
  std::tm huge_year = Date(2000, 1, 1);
  huge_year.tm_year = INT_MAX;
  std::tm negative_year = Date(2000, 1, 1);
  negative_year.tm_year = INT_MIN;
  struct Case {
    const char* name;
    std::tm tm;
  };
  const Case cases[] = {
      {"1969-12-31 23:59:59", Date(1969, 12, 31, 23, 59, 59)},
      {"day 0", Date(2000, 1, 0)},
      {"2100-02-29, no leap year", Date(2100, 2, 29)},
      {"2001-02-29", Date(2001, 2, 29)},
      {"2000-02-30", Date(2000, 2, 30)},
      {"1999-04-31", Date(1999, 4, 31)},
      {"month 12", Date(2000, 13, 1)},
      {"month -1", Date(2000, 0, 1)},
      {"hour 24", Date(2000, 1, 1, 24)},
      {"hour -1", Date(2000, 1, 1, -1)},
      {"minute 60", Date(2000, 1, 1, 0, 60)},
      {"leap second", Date(2000, 1, 1, 0, 0, 60)},
      {"second -1", Date(2000, 1, 1, 0, 0, -1)},
      {"year beyond 32 bits", huge_year},
      {"most negative year", negative_year},
  };
  for (const Case& c : cases)
    EXPECT_EQ(-1, rtc::TmToSeconds(c.tm)) << c.name;
}

TEST(TimeUtilsTest, TmToSecondsIgnoresWeekdayYearDayAndDst) {
  std::tm tm = Date(2000, 3, 1, 12, 30, 15);
  const int64_t want = rtc::TmToSeconds(tm);
  tm.tm_wday = 6;
  tm.tm_yday = 300;
  tm.tm_isdst = 1;
  EXPECT_EQ(want, rtc::TmToSeconds(tm));
}

TEST(TimeUtilsTest, FakeClockDrivesEveryReadingButTheSystemOnes) {
  struct Case {
    int64_t nanos;
    int64_t micros;
    int64_t millis;
    uint32_t time32;
  };
  const Case cases[] = {
      {1234567891, 1234567, 1234, 1234},
      // Toward zero, not down.
      {-1500000, -1500, -1, 0xFFFFFFFFu},
      {-999999, -999, 0, 0},
      // Time32 wraps every 2^32 ms.
      {(INT64_C(4294967296) + 5) * 1000000, (INT64_C(4294967296) + 5) * 1000,
       INT64_C(4294967296) + 5, 5},
  };
  for (const Case& c : cases) {
    ScopedFakeClock clock(c.nanos);
    EXPECT_EQ(c.nanos, rtc::TimeNanos());
    EXPECT_EQ(c.micros, rtc::TimeMicros());
    EXPECT_EQ(c.millis, rtc::TimeMillis());
    EXPECT_EQ(c.time32, rtc::Time32());
    // The platform clock reads on, far from the fake one.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t platform_ms = now.tv_sec * INT64_C(1000) + now.tv_nsec / 1000000;
    EXPECT_NEAR(platform_ms, rtc::SystemTimeMillis(), 1000);
  }
}

TEST(TimeUtilsTest, DeadlinesAndDifferences) {
  ScopedFakeClock clock(INT64_C(5000) * 1000000);
  EXPECT_EQ(-2, rtc::TimeDiff(5, 7));
  EXPECT_EQ(INT64_MAX, rtc::TimeDiff(INT64_MAX, 0));
  EXPECT_EQ(rtc::TimeMillis(), rtc::TimeAfter(0));
  EXPECT_EQ(5250, rtc::TimeAfter(250));
  EXPECT_EQ(4990, rtc::TimeAfter(-10));
  EXPECT_EQ(40, rtc::TimeUntil(rtc::TimeAfter(40)));

  const int64_t deadline = rtc::TimeAfter(100);
  clock.AdvanceTimeMillis(60);
  EXPECT_EQ(40, rtc::TimeUntil(deadline));
  clock.AdvanceTimeMillis(60);
  EXPECT_EQ(-20, rtc::TimeUntil(deadline));
  clock.AdvanceTimeNanos(999999);
  EXPECT_EQ(5120, rtc::TimeMillis());
}

TEST(TimeUtilsTest, FakeClockGivesWayToTheOneItReplaced) {
  ASSERT_EQ(nullptr, rtc::GetClockForTesting());
  {
    ScopedFakeClock outer(1000);
    {
      ScopedFakeClock inner(2000);
      EXPECT_EQ(2000, rtc::TimeNanos());
    }
    EXPECT_EQ(1000, rtc::TimeNanos());
  }
  EXPECT_EQ(nullptr, rtc::GetClockForTesting());
  // The platform clock again: close to a direct reading.
  EXPECT_NEAR(rtc::SystemTimeMillis(), rtc::TimeMillis(), 1000);
}

TEST(TimeUtilsTest, PlatformClockNeverRunsBackwards) {
  int64_t last_ns = rtc::TimeNanos();
  int64_t last_ms = rtc::TimeMillis();
  for (int i = 0; i < 100000; ++i) {
    const int64_t ns = rtc::TimeNanos();
    const int64_t ms = rtc::TimeMillis();
    ASSERT_GE(ns, last_ns);
    ASSERT_GE(ms, last_ms);
    last_ns = ns;
    last_ms = ms;
  }
}

TEST(TimeUtilsTest, Time32IsTheLowBitsOfTimeMillis) {
  const int64_t before = rtc::TimeMillis();
  const uint32_t t32 = rtc::Time32();
  const int64_t after = rtc::TimeMillis();
  EXPECT_GE(t32, static_cast<uint32_t>(before));
  EXPECT_LE(t32, static_cast<uint32_t>(after));
}

// Readers on other threads see a clock that a test moves, and never see it go back.
TEST(TimeUtilsTest, FakeClockReadAcrossThreads) {
  ScopedFakeClock clock;
  std::atomic<bool> stop{false};
  std::atomic<int> backwards{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      int64_t last = rtc::TimeMillis();
      while (!stop) {
        const int64_t now = rtc::TimeMillis();
        if (now < last)
          ++backwards;
        last = now;
      }
    });
  }
  for (int i = 0; i < 10000; ++i)
    clock.AdvanceTimeMillis(1);
  stop = true;
  for (std::thread& t : readers)
    t.join();
  EXPECT_EQ(0, backwards);
  EXPECT_EQ(10000, rtc::TimeMillis());
}

}  // namespace
