// ctest-labels: threading
#include "rtc_base/atomicops.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(AtomicOpsTest, SingleThreadedResults) {
  struct Case {
    const char* name;
    int start;
    int (*op)(volatile int*);
    int want_result;
    int want_value;
  };
  const Case cases[] = {
      {"CompareAndSwap(5, 7) on 5 stores", 5,
       [](volatile int* p) { return rtc::AtomicOps::CompareAndSwap(p, 5, 7); }, 5, 7},
      {"CompareAndSwap(4, 7) on 5 leaves it", 5,
       [](volatile int* p) { return rtc::AtomicOps::CompareAndSwap(p, 4, 7); }, 5, 5},
      {"Increment on 1", 1, [](volatile int* p) { return rtc::AtomicOps::Increment(p); }, 2, 2},
      {"Decrement on 1", 1, [](volatile int* p) { return rtc::AtomicOps::Decrement(p); }, 0, 0},
      {"Decrement on 0", 0, [](volatile int* p) { return rtc::AtomicOps::Decrement(p); }, -1, -1},
      {"AcquireLoad", 9, [](volatile int* p) { return rtc::AtomicOps::AcquireLoad(p); }, 9, 9},
      {"ReleaseStore", 9,
       [](volatile int* p) {
         rtc::AtomicOps::ReleaseStore(p, 3);
         return 0;
       },
       0, 3},
  };
  for (const Case& c : cases) {
    volatile int value = c.start;
    EXPECT_EQ(c.want_result, c.op(&value)) << c.name;
    EXPECT_EQ(c.want_value, value) << c.name;
  }
}

TEST(AtomicOpsTest, ConcurrentUpdatesAreNotLost) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 20000;
  volatile int counter = 0;
  volatile int swapped = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        // Half the threads count up, half down and up twice: +1 each on balance.
        if (t % 2 == 0) {
          rtc::AtomicOps::Increment(&counter);
        } else {
          rtc::AtomicOps::Increment(&counter);
          rtc::AtomicOps::Decrement(&counter);
          rtc::AtomicOps::Increment(&counter);
        }
        int seen = rtc::AtomicOps::AcquireLoad(&swapped);
        while (rtc::AtomicOps::CompareAndSwap(&swapped, seen, seen + 1) != seen)
          seen = rtc::AtomicOps::AcquireLoad(&swapped);
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(kThreads * kIterations, counter);
  EXPECT_EQ(kThreads * kIterations, swapped);
}

// A release store publishes what was written before it to the thread that sees the
// value with an acquire load: plain data passes with it (a race detector checks this).
TEST(AtomicOpsTest, ReleaseStorePublishesEarlierWrites) {
  volatile int ready = 0;
  int payload = 0;
  std::thread reader([&] {
    while (rtc::AtomicOps::AcquireLoad(&ready) == 0)
      std::this_thread::yield();
    EXPECT_EQ(42, payload);
  });
  payload = 42;
  rtc::AtomicOps::ReleaseStore(&ready, 1);
  reader.join();
}

}  // namespace
