// ctest-labels: threading
#include "rtc_base/event.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "rtc_base/platform_thread_types.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using zek_test::IsThreadSleeping;
using zek_test::WaitUntil;

constexpr milliseconds kStaysBlocked(100);

// A thread blocked in event->Wait(kForever) once started.
class Waiter {
 public:
  explicit Waiter(rtc::Event* event)
      : thread_([this, event] {
          tid_ = rtc::CurrentThreadId();
          result_ = event->Wait(rtc::Event::kForever);
          done_ = true;
        }) {}
  ~Waiter() { thread_.join(); }

  bool Sleeping() const { return tid_ != 0 && !done_ && IsThreadSleeping(tid_); }
  bool Done() const { return done_; }
  bool Result() const { return result_; }

 private:
  std::atomic<int> tid_{0};
  std::atomic<bool> done_{false};
  std::atomic<bool> result_{false};
  std::thread thread_;
};

TEST(EventTest, ImmediateWaitReportsTheStateAndClearsOnlyAutoReset) {
  struct Case {
    bool manual_reset;
    bool initially_signaled;
    bool first;
    bool second;
  };
  const Case cases[] = {
      {false, false, false, false},
      {false, true, true, false},
      {true, false, false, false},
      {true, true, true, true},
  };
  // 0 and any negative time other than kForever behave alike: no waiting.
  for (int ms : {0, -5}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "manual " << c.manual_reset << ", set "
                                      << c.initially_signaled << ", ms " << ms);
      rtc::Event event(c.manual_reset, c.initially_signaled);
      const auto start = steady_clock::now();
      EXPECT_EQ(c.first, event.Wait(ms));
      EXPECT_EQ(c.second, event.Wait(ms));
      EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    }
  }
}

TEST(EventTest, SetBeforeWaitIsNotLost) {
  rtc::Event event(false, false);
  event.Set();
  event.Set();  // Setting twice still lets one wait through, not two.
  EXPECT_TRUE(event.Wait(rtc::Event::kForever));
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, AutoResetSetReleasesExactlyOneWaiter) {
  rtc::Event event(false, false);
  Waiter first(&event);
  Waiter second(&event);
  EXPECT_TRUE(WaitUntil([&] { return first.Sleeping() && second.Sleeping(); }));

  event.Set();
  auto done = [&] { return first.Done() + second.Done(); };
  EXPECT_TRUE(WaitUntil([&] { return done() == 1; }));
  EXPECT_FALSE(WaitUntil([&] { return done() == 2; }, kStaysBlocked));
  EXPECT_FALSE(event.Wait(0));

  event.Set();
  EXPECT_TRUE(WaitUntil([&] { return done() == 2; }));
  EXPECT_TRUE(first.Result());
  EXPECT_TRUE(second.Result());
}

TEST(EventTest, ManualResetSetReleasesEveryWaiterAndStaysSet) {
  rtc::Event event(true, false);
  std::vector<std::unique_ptr<Waiter>> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.push_back(std::make_unique<Waiter>(&event));
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& w : waiters) {
      if (!w->Sleeping())
        return false;
    }
    return true;
  }));
  event.Set();
  for (const auto& w : waiters) {
    EXPECT_TRUE(WaitUntil([&] { return w->Done(); }));
    EXPECT_TRUE(w->Result());
  }
  EXPECT_TRUE(event.Wait(0));
}

int64_t MonotonicNanosIntoSecond() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_nsec;
}

TEST(EventTest, TimedWaitEndsAtItsDeadline) {
  struct Case {
    const char* name;
    int ms;
    // Starts the wait only this close before a whole second, so that the deadline's
    // nanoseconds carry into its seconds; 0: start at once.
    int64_t within_ns_of_second;
  };
  const Case cases[] = {
      {"plain", 50, 0},
      {"carrying into the next second", 30, 15000000},
      {"more than a second", 1010, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.within_ns_of_second > 0) {
      ASSERT_TRUE(
          WaitUntil([&] { return MonotonicNanosIntoSecond() > 1000000000 - c.within_ns_of_second; },
                    milliseconds(2000)));
    }
    rtc::Event event(false, false);
    const auto start = steady_clock::now();
    EXPECT_FALSE(event.Wait(c.ms));
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(c.ms));
    EXPECT_LT(waited, milliseconds(c.ms + 1000));
  }
}

TEST(EventTest, TimedWaitReturnsWhenSetMeanwhile) {
  rtc::Event event(false, false);
  std::atomic<int> tid{0};
  std::atomic<bool> done{false};
  bool result = false;
  std::thread waiter([&] {
    tid = rtc::CurrentThreadId();
    result = event.Wait(60000);
    done = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return tid != 0 && IsThreadSleeping(tid); }));
  event.Set();
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  waiter.join();
  EXPECT_TRUE(result);
  EXPECT_FALSE(event.Wait(0));
}

}  // namespace
