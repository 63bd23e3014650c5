// ctest-labels: threading
#include "rtc_base/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/wait.h"

namespace {

using zek_test::WaitUntil;

TEST(SemaphoreTest, SignalsGivenBeforeWaitingAreKept) {
  rtc::Semaphore semaphore;
  semaphore.Signal();
  semaphore.Signal();
  semaphore.Wait();
  semaphore.Wait();

  rtc::Semaphore counted(2);
  counted.Wait();
  counted.Wait();
}

TEST(SemaphoreTest, EachSignalReleasesOneWaiter) {
  constexpr int kWaiters = 4;
  rtc::Semaphore semaphore;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      semaphore.Wait();
      ++released;
    });
  }
  semaphore.Signal();
  semaphore.Signal();
  EXPECT_TRUE(WaitUntil([&] { return released == 2; }));
  EXPECT_FALSE(WaitUntil([&] { return released > 2; }, std::chrono::milliseconds(100)));
  semaphore.Signal();
  semaphore.Signal();
  for (std::thread& t : waiters)
    t.join();
  EXPECT_EQ(kWaiters, released);
}

}  // namespace
