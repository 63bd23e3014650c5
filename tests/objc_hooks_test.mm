// ctest-labels: threading
#include "rtc_base/objc_hooks.h"

#import <Foundation/Foundation.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "rtc_base/asyncudpsocket.h"
#include "rtc_base/event.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"

namespace {
std::atomic<int> g_deallocs{0};
}  // namespace

// Counts its own releases.
@interface ZekDeallocCounter : NSObject
@end

@implementation ZekDeallocCounter
- (void)dealloc {
  ++g_deallocs;
  [super dealloc];
}
@end

namespace rtc {
namespace {

// Autoreleases one object per message and notes how many had been released when
// each message began.
class Autoreleaser : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    seen_at_start[count] = g_deallocs.load();
    [[[ZekDeallocCounter alloc] init] autorelease];
    ++count;
  }
  std::atomic<int> seen_at_start[3] = {};
  std::atomic<int> count{0};
};

// Autoreleases one object inside each socket event that brings a datagram, and notes
// how many had been released when each event began.
class DatagramAutoreleaser : public sigslot::has_slots<> {
 public:
  void OnPacket(AsyncPacketSocket*, const char*, size_t, const SocketAddress&, const PacketTime&) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_at_start_.push_back(g_deallocs.load());
    }
    [[[ZekDeallocCounter alloc] init] autorelease];
    ++count;
  }
  std::vector<int> seen_at_start() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_at_start_;
  }
  std::atomic<int> count{0};

 private:
  std::mutex mutex_;
  std::vector<int> seen_at_start_;  // guarded by mutex_
};

// Handles one message only once the test lets it, so that socket events pile up.
class Gate : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    entered.Set();
    open.Wait(Event::kForever);
  }
  Event entered{false, false};
  Event open{false, false};
};

// Autoreleases an object in a thread body.
class AutoreleasingRunnable : public Runnable {
 public:
  void Run(Thread*) override { [[[ZekDeallocCounter alloc] init] autorelease]; }
};

TEST(ObjcHooksTest, FoundationIsMultithreadedAfterTheFirstStart) {
  // Nothing in this process has started a thread yet, and building a thread object
  // changes nothing.
  EXPECT_FALSE([NSThread isMultiThreaded]);
  AutoreleasingRunnable body;
  Thread thread;
  EXPECT_FALSE([NSThread isMultiThreaded]);
  // The first Start creates the thread manager before its OS thread exists; that
  // alone switches Foundation (GNUstep would also switch on its own once a thread
  // it did not start uses it, so this is checked before any such thread runs).
  ThreadManager::Instance();
  EXPECT_TRUE([NSThread isMultiThreaded]);
  ASSERT_TRUE(thread.Start(&body));
  thread.Stop();
  EXPECT_TRUE([NSThread isMultiThreaded]);
  // Later calls change nothing.
  InitCocoaMultiThreading();
  EXPECT_TRUE([NSThread isMultiThreaded]);
}

TEST(ObjcHooksTest, EachMessageAndEachThreadBodyDrainsItsOwnPool) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  Autoreleaser handler;
  g_deallocs = 0;
  ASSERT_TRUE(thread->Start());
  for (int i = 0; i < 3; ++i) {
    thread->Post(RTC_FROM_HERE, &handler);
  }
  EXPECT_TRUE(zek_test::WaitUntil([&] { return handler.count == 3; }));
  // Each message found the previous message's object already released.
  EXPECT_EQ(0, handler.seen_at_start[0]);
  EXPECT_EQ(1, handler.seen_at_start[1]);
  EXPECT_EQ(2, handler.seen_at_start[2]);
  thread->Stop();
  EXPECT_EQ(3, g_deallocs);

  // A runnable's object goes with the pool around the whole body.
  g_deallocs = 0;
  AutoreleasingRunnable body;
  Thread runner;
  ASSERT_TRUE(runner.Start(&body));
  runner.Stop();
  EXPECT_EQ(1, g_deallocs);
}

// Socket events come inside the wait for the next message, which may be far off: what
// each one autoreleases is released when it returns, before the next event, and
// without any message in between.
TEST(ObjcHooksTest, EachSocketEventDrainsItsOwnPool) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  ASSERT_TRUE(thread->Start());
  constexpr int kSockets = 2;
  DatagramAutoreleaser handler;
  std::unique_ptr<AsyncUDPSocket> sockets[kSockets];
  sockaddr_in destinations[kSockets];
  zek_test::RunOn(thread.get(), [&] {
    for (int i = 0; i < kSockets; ++i) {
      sockets[i].reset(
          AsyncUDPSocket::Create(thread->socketserver()->CreateAsyncSocket(AF_INET, SOCK_DGRAM),
                                 SocketAddress("127.0.0.1", 0)));
      ASSERT_TRUE(sockets[i]);
      sockets[i]->SignalPacketReceived.connect(&handler, &DatagramAutoreleaser::OnPacket);
      destinations[i] = zek_test::LoopbackSockAddr(sockets[i]->GetLocalAddress().port());
    }
  });
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sender, 0);
  auto send_to = [&](int index) {
    ASSERT_EQ(1, sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr*>(&destinations[index]),
                        sizeof(destinations[index])));
  };
  g_deallocs = 0;

  // One event after the other on one socket.
  constexpr int kEvents = 3;
  for (int i = 0; i < kEvents; ++i) {
    send_to(0);
    EXPECT_TRUE(zek_test::WaitUntil([&] { return g_deallocs == i + 1; })) << i;
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2}), handler.seen_at_start());

  // Events that one wait hands out together: each still finds the one before it
  // released. A message keeps the thread busy while both sockets become readable.
  Gate gate;
  thread->Post(RTC_FROM_HERE, &gate);
  ASSERT_TRUE(gate.entered.Wait(5000));
  send_to(0);
  send_to(1);
  gate.open.Set();
  EXPECT_TRUE(zek_test::WaitUntil([&] { return g_deallocs == kEvents + 2; }));
  std::vector<int> seen = handler.seen_at_start();
  ASSERT_EQ(static_cast<size_t>(kEvents + 2), seen.size());
  EXPECT_EQ(kEvents, seen[kEvents]);
  EXPECT_EQ(kEvents + 1, seen[kEvents + 1]);

  close(sender);
  zek_test::RunOn(thread.get(), [&] {
    for (std::unique_ptr<AsyncUDPSocket>& socket : sockets) {
      socket.reset();
    }
  });
  thread->Stop();
}

TEST(ObjcHooksTest, PoolsNestOnOneThread) {
  g_deallocs = 0;
  void* outer = AutoreleasePoolPush();
  [[[ZekDeallocCounter alloc] init] autorelease];
  void* inner = AutoreleasePoolPush();
  [[[ZekDeallocCounter alloc] init] autorelease];
  AutoreleasePoolPop(inner);
  EXPECT_EQ(1, g_deallocs);
  AutoreleasePoolPop(outer);
  EXPECT_EQ(2, g_deallocs);
}

}  // namespace
}  // namespace rtc
