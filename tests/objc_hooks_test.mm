// ctest-labels: threading
#include "rtc_base/objc_hooks.h"

#import <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <atomic>

#include "rtc_base/thread.h"
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
