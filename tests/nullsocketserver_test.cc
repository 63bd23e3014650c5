// ctest-labels: threading
#include "rtc_base/nullsocketserver.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "rtc_base/platform_thread_types.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using zek_test::IsThreadSleeping;
using zek_test::WaitUntil;

// A wait this long only ends early through a wake-up; ending well before it shows
// that the wake-up, not the time, released the wait.
constexpr int kLongMs = 10000;
constexpr milliseconds kPromptly(1000);
constexpr int kShortMs = 50;

milliseconds TimeWait(rtc::NullSocketServer* server, int ms, bool process_io, bool* result) {
  const auto start = steady_clock::now();
  *result = server->Wait(ms, process_io);
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

TEST(NullSocketServer, RefusesSockets) {
  struct Case {
    int family;
    int type;
  };
  const Case cases[] = {
      {AF_INET, SOCK_STREAM}, {AF_INET, SOCK_DGRAM}, {AF_INET6, SOCK_STREAM}, {-1, -1}};
  rtc::NullSocketServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.family << "/" << c.type);
    EXPECT_EQ(nullptr, server.CreateSocket(c.family, c.type));
    EXPECT_EQ(nullptr, server.CreateAsyncSocket(c.family, c.type));
  }
  EXPECT_EQ(nullptr, server.network_binder());
  server.SetMessageQueue(nullptr);
}

// Waits without a wake-up run their time and still report true; process_io
// changes nothing.
TEST(NullSocketServer, TimeOutIsTrue) {
  for (bool process_io : {true, false}) {
    SCOPED_TRACE(process_io);
    rtc::NullSocketServer server;
    bool result = false;
    EXPECT_LT(TimeWait(&server, 0, process_io, &result), kPromptly);
    EXPECT_TRUE(result);
    result = false;
    EXPECT_GE(TimeWait(&server, kShortMs, process_io, &result), milliseconds(kShortMs));
    EXPECT_TRUE(result);
  }
}

// A wake-up with nobody waiting is kept for the next wait, which it releases at
// once; however many came, only that one wait is released.
TEST(NullSocketServer, PendingWakeUpReleasesOneWait) {
  for (int wakeups : {1, 3}) {
    for (bool process_io : {true, false}) {
      SCOPED_TRACE(testing::Message() << wakeups << " wake-ups, process_io " << process_io);
      rtc::NullSocketServer server;
      for (int i = 0; i < wakeups; ++i) {
        server.WakeUp();
      }
      bool result = false;
      EXPECT_LT(TimeWait(&server, kLongMs, process_io, &result), kPromptly);
      EXPECT_TRUE(result);
      EXPECT_GE(TimeWait(&server, kShortMs, process_io, &result), milliseconds(kShortMs));
      EXPECT_TRUE(result);
    }
  }
}

// The message loop's case: the owner sleeps without a limit and another thread's
// post wakes it.
TEST(NullSocketServer, WakeUpEndsForeverWait) {
  for (bool process_io : {true, false}) {
    SCOPED_TRACE(process_io);
    rtc::NullSocketServer server;
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};
    std::atomic<bool> result{false};
    std::thread waiter([&] {
      tid = rtc::CurrentThreadId();
      result = server.Wait(-1, process_io);
      done = true;
    });
    // Wake it only once it is really asleep inside Wait, not before it got there.
    EXPECT_TRUE(WaitUntil([&] { return tid != 0 && IsThreadSleeping(tid); }));
    EXPECT_FALSE(done);
    const auto woken = steady_clock::now();
    server.WakeUp();
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    EXPECT_LT(steady_clock::now() - woken, kPromptly);
    waiter.join();
    EXPECT_TRUE(result);
  }
}

// Posters on several threads, the owner waiting without a limit between looks at
// what was posted: wake-ups may merge, but the last one is never lost, so the
// owner always sees every post.
TEST(NullSocketServer, NoPostIsMissedByTheWaiter) {
  constexpr int kPosters = 4;
  constexpr int kPostsEach = 500;
  rtc::NullSocketServer server;
  std::atomic<int> posted{0};
  std::thread posters[kPosters];
  for (std::thread& t : posters) {
    t = std::thread([&] {
      for (int i = 0; i < kPostsEach; ++i) {
        posted.fetch_add(1);
        server.WakeUp();
      }
    });
  }
  int seen = 0;
  while (seen < kPosters * kPostsEach) {
    EXPECT_TRUE(server.Wait(-1, true));
    seen = posted.load();
  }
  for (std::thread& t : posters) {
    t.join();
  }
  EXPECT_EQ(kPosters * kPostsEach, seen);
}

}  // namespace
