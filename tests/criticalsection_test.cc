// ctest-labels: threading
#include "rtc_base/criticalsection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "rtc_base/platform_thread_types.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace {

using std::chrono::milliseconds;
using zek_test::IsThreadSleeping;
using zek_test::WaitUntil;

// How long a thread that must stay blocked is watched before the test moves on.
constexpr milliseconds kStaysBlocked(100);
// The bound on a contender's way to its sleep. It yields 3000 times first, and on a
// busy core each yield can hand a whole time slice to another task: seconds in all.
constexpr std::chrono::seconds kFallsAsleep(120);

// A thread that enters `section` once it is started and then holds it until
// Release(); it records its kernel id so that the test can see it go to sleep.
class Contender {
 public:
  explicit Contender(const rtc::CriticalSection* section)
      : thread_([this, section] {
          tid_ = rtc::CurrentThreadId();
          section->Enter();
          entered_ = true;
          while (!release_)
            std::this_thread::yield();
          section->Leave();
        }) {}
  ~Contender() {
    Release();
    thread_.join();
  }

  bool Sleeping() const { return tid_ != 0 && IsThreadSleeping(tid_); }
  bool Entered() const { return entered_; }
  void Release() { release_ = true; }

 private:
  std::atomic<int> tid_{0};
  std::atomic<bool> entered_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

TEST(CriticalSectionTest, NestedEntriesLeaveItFreeAfterAsManyLeaves) {
  rtc::CriticalSection section;
  section.Enter();
  section.Enter();
  section.Enter();
  section.Leave();
  section.Leave();
  section.Leave();
  Contender other(&section);
  EXPECT_TRUE(WaitUntil([&] { return other.Entered(); }));
}

TEST(CriticalSectionTest, SleeperOwnsItOnlyAfterTheOwnersLastLevel) {
  rtc::CriticalSection section;
  section.Enter();
  section.Enter();
  Contender other(&section);
  // Past its spinning, asleep on the semaphore. (Expectations rather than assertions
  // throughout: the section must be left before a contender can be joined.)
  EXPECT_TRUE(WaitUntil([&] { return other.Sleeping(); }, kFallsAsleep));

  section.Leave();
  EXPECT_FALSE(WaitUntil([&] { return other.Entered(); }, kStaysBlocked));

  section.Leave();
  EXPECT_TRUE(WaitUntil([&] { return other.Entered(); }));
}

TEST(CriticalSectionTest, ReleasePassesToOneSleeperAtATime) {
  rtc::CriticalSection section;
  section.Enter();
  Contender first(&section);
  Contender second(&section);
  EXPECT_TRUE(WaitUntil([&] { return first.Sleeping() && second.Sleeping(); }, kFallsAsleep));

  section.Leave();
  auto entered = [&] { return first.Entered() + second.Entered(); };
  EXPECT_TRUE(WaitUntil([&] { return entered() == 1; }));
  EXPECT_FALSE(WaitUntil([&] { return entered() == 2; }, kStaysBlocked));

  // The one inside leaves; the other gets in.
  (first.Entered() ? first : second).Release();
  EXPECT_TRUE(WaitUntil([&] { return entered() == 2; }));
}

TEST(CriticalSectionTest, OwnerReentersWhileOthersWait) {
  rtc::CriticalSection section;
  section.Enter();
  Contender other(&section);
  EXPECT_TRUE(WaitUntil([&] { return other.Sleeping(); }, kFallsAsleep));
  // With a sleeper counted in, the owner must still get straight back in.
  section.Enter();
  section.Leave();
  EXPECT_FALSE(other.Entered());
  section.Leave();
  EXPECT_TRUE(WaitUntil([&] { return other.Entered(); }));
}

TEST(CriticalSectionTest, ExcludesUnderContention) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 2000;
  rtc::CriticalSection section;
  int counter = 0;     // Guarded by section.
  int inside = 0;      // Guarded by section.
  int overlapped = 0;  // Guarded by section.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        rtc::CritScope outer(&section);
        rtc::CritScope inner(&section);
        if (++inside != 1)
          ++overlapped;
        ++counter;
        // Now and then hold it long enough that the others stop spinning and sleep.
        if (i % 500 == 0)
          std::this_thread::sleep_for(milliseconds(2));
        --inside;
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  rtc::CritScope lock(&section);
  EXPECT_EQ(kThreads * kIterations, counter);
  EXPECT_EQ(0, overlapped);
}

}  // namespace
