// ctest-labels: threading
#include "rtc_base/thread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/event.h"
#include "rtc_base/physicalsocketserver.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/timeutils.h"
#include "tests/support/file_limit.h"
#include "tests/support/socket_pair.h"
#include "tests/support/test_dispatcher.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zek_test::WaitUntil;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string PointerSuffix(const void* p) {
  char buf[30];
  snprintf(buf, sizeof(buf), " 0x%p", p);
  return buf;
}

struct Tally {
  std::atomic<int> created{0};
  std::atomic<int> deleted{0};
};

class CountedData : public MessageData {
 public:
  explicit CountedData(Tally* tally) : tally_(tally) { ++tally_->created; }
  ~CountedData() override { ++tally_->deleted; }

 private:
  Tally* const tally_;
};

// Counts its messages and notes the thread they ran on; deletes the payloads.
class CountingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    last_thread_ = Thread::Current();
    last_id_ = msg->id_;
    delete msg->data_;
    ++count_;
  }
  int count() const { return count_; }
  Thread* last_thread() const { return last_thread_; }
  uint32_t last_id() const { return last_id_; }

 private:
  std::atomic<int> count_{0};
  std::atomic<Thread*> last_thread_{nullptr};
  std::atomic<uint32_t> last_id_{0};
};

// Holds a thread inside one of its messages until released.
class BlockingHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    tid_ = CurrentThreadId();
    entered_.Set();
    release_.Wait(Event::kForever);
  }
  bool WaitEntered() { return entered_.Wait(5000); }
  void Release() { release_.Set(); }
  int tid() const { return tid_; }

 private:
  Event entered_{false, false};
  Event release_{false, false};
  std::atomic<int> tid_{0};
};

TEST(ThreadTest, NameKeepsTheFullTextAndAddsTheObjectAddress) {
  Thread thread;
  EXPECT_EQ("Thread" + PointerSuffix(&thread), thread.name());
  int marker = 0;
  struct Case {
    const char* name;
    const void* obj;
    std::string expected;
  } const cases[] = {
      {"zek main thread", &marker, "zek main thread" + PointerSuffix(&marker)},
      {"mtu probe thread", nullptr, "mtu probe thread"},
      {"", nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(thread.SetName(c.name, c.obj));
    EXPECT_EQ(c.expected, thread.name());
  }
}

TEST(ThreadTest, OsThreadGetsTheNameCutToFifteenCharacters) {
  class NameReader : public Runnable {
   public:
    void Run(Thread*) override {
      char buf[64] = {};
      pthread_getname_np(pthread_self(), buf, sizeof(buf));
      os_name = buf;
    }
    std::string os_name;
  } reader;
  int marker = 0;
  Thread thread;
  thread.SetName("zek main thread", &marker);
  ASSERT_TRUE(thread.Start(&reader));
  thread.Stop();
  EXPECT_EQ("zek main thread", reader.os_name);
  EXPECT_EQ("zek main thread" + PointerSuffix(&marker), thread.name());
}

TEST(ThreadTest, StartStopAndStartAgain) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  EXPECT_FALSE(thread->IsRunning());
  // Stopping a thread that never ran returns at once.
  thread->Stop();
  CountingHandler handler;
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_TRUE(thread->Start());
    EXPECT_FALSE(thread->Start());
    EXPECT_TRUE(thread->IsRunning());
    thread->Post(RTC_FROM_HERE, &handler, round);
    EXPECT_TRUE(WaitUntil([&] { return handler.count() == round; }));
    EXPECT_EQ(thread.get(), handler.last_thread());
    thread->Stop();
    EXPECT_FALSE(thread->IsRunning());
  }
}

TEST(ThreadTest, StopStillRunsWhatWasQueued) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  CountingHandler handler;
  Tally tally;
  for (uint32_t id = 0; id < 5; ++id) {
    thread->Post(RTC_FROM_HERE, &handler, id, new CountedData(&tally));
  }
  thread->PostDelayed(RTC_FROM_HERE, 0, &handler, 5, new CountedData(&tally));
  // Not due before the thread is gone: deleted with the thread.
  thread->PostDelayed(RTC_FROM_HERE, 60000, &handler, 6, new CountedData(&tally));
  ASSERT_TRUE(thread->Start());
  thread->Stop();
  EXPECT_EQ(6, handler.count());
  EXPECT_EQ(6, tally.deleted);
  // Posts to a stopped thread are refused.
  thread->Post(RTC_FROM_HERE, &handler, 7, new CountedData(&tally));
  EXPECT_EQ(7, tally.deleted);
  thread.reset();
  EXPECT_EQ(tally.created, tally.deleted);
  EXPECT_EQ(6, handler.count());
}

TEST(ThreadTest, StopOfARunnableWaitsForItsRun) {
  class Slow : public Runnable {
   public:
    void Run(Thread*) override {
      tid = CurrentThreadId();
      release.Wait(Event::kForever);
      done = true;
    }
    Event release{false, false};
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};
  } slow;
  Thread thread;
  ASSERT_TRUE(thread.Start(&slow));
  const int owner_tid = CurrentThreadId();
  // Released only once the owner is asleep in Stop.
  std::thread releaser([&] {
    EXPECT_TRUE(WaitUntil([&] { return zek_test::IsThreadSleeping(owner_tid); }));
    slow.release.Set();
  });
  thread.Stop();
  EXPECT_TRUE(slow.done);
  releaser.join();
}

TEST(ThreadTest, CurrentFindsTheCallersThreadObject) {
  // A started thread sees its own object.
  class Probe : public Runnable {
   public:
    void Run(Thread* thread) override {
      current = Thread::Current();
      is_current = thread->IsCurrent();
    }
    Thread* current = nullptr;
    bool is_current = false;
  } probe;
  Thread thread;
  ASSERT_TRUE(thread.Start(&probe));
  thread.Stop();
  EXPECT_EQ(&thread, probe.current);
  EXPECT_TRUE(probe.is_current);
  EXPECT_FALSE(thread.IsCurrent());

  // The main thread gets one object, the same on every call.
  Thread* main = Thread::Current();
  ASSERT_NE(nullptr, main);
  EXPECT_EQ(main, Thread::Current());
  EXPECT_TRUE(main->IsCurrent());

  // Another OS thread has none, until an AutoThread covers it.
  Thread* foreign = main;
  Thread* covered = nullptr;
  Thread* after = main;
  std::thread other([&] {
    foreign = Thread::Current();
    {
      AutoThread auto_thread;
      covered = Thread::Current();
      EXPECT_EQ(&auto_thread, covered);
    }
    after = Thread::Current();
  });
  other.join();
  EXPECT_EQ(nullptr, foreign);
  EXPECT_NE(nullptr, covered);
  EXPECT_EQ(nullptr, after);
}

TEST(ThreadTest, ProcessMessagesWithABudget) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  CountingHandler handler;
  // The process's one-time Foundation start-up (a detached thread) comes with the
  // thread manager; it is no part of a zero budget.
  ThreadManager::Instance();
  auto start = Clock::now();
  EXPECT_TRUE(thread->ProcessMessages(0));
  EXPECT_LT(Clock::now() - start, milliseconds(100));

  thread->Post(RTC_FROM_HERE, &handler, 1);
  EXPECT_TRUE(thread->ProcessMessages(0));
  EXPECT_EQ(1, handler.count());

  start = Clock::now();
  EXPECT_TRUE(thread->ProcessMessages(30));
  EXPECT_GE(Clock::now() - start, milliseconds(29));

  thread->Quit();
  EXPECT_FALSE(thread->ProcessMessages(1000));
}

TEST(ThreadTest, PostFromAnotherThreadWakesTheLoopAtOnce) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  // Notes when its message ran, and on which OS thread.
  class Stamp : public MessageHandler {
   public:
    void OnMessage(Message*) override {
      tid = CurrentThreadId();
      at = Clock::now().time_since_epoch().count();
      ++count;
    }
    std::atomic<int> tid{0};
    std::atomic<Clock::rep> at{0};
    std::atomic<int> count{0};
  } stamp;
  ASSERT_TRUE(thread->Start());
  thread->Post(RTC_FROM_HERE, &stamp);
  ASSERT_TRUE(WaitUntil([&] { return stamp.count == 1; }));
  const int tid = stamp.tid;

  constexpr int kSamples = 20;
  std::vector<double> latencies_ms;
  for (int i = 0; i < kSamples; ++i) {
    // The loop sleeps in poll() with no time-out.
    ASSERT_TRUE(WaitUntil([&] { return zek_test::IsThreadSleeping(tid); }));
    const Clock::time_point posted = Clock::now();
    thread->Post(RTC_FROM_HERE, &stamp);
    ASSERT_TRUE(WaitUntil([&] { return stamp.count == i + 2; }));
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::duration(stamp.at) -
                                                                     posted.time_since_epoch())
                               .count());
  }
  thread->Stop();
  std::sort(latencies_ms.begin(), latencies_ms.end());
  printf("post-to-handler latency of a sleeping loop: median %.3f ms, max %.3f ms\n",
         latencies_ms[kSamples / 2], latencies_ms.back());
  RecordProperty("median_wakeup_us", static_cast<int>(latencies_ms[kSamples / 2] * 1000));
  EXPECT_LT(latencies_ms.back(), 100.0);
}

TEST(ThreadTest, RunsTimersAndSocketEventsTogether) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  auto* server = static_cast<PhysicalSocketServer*>(thread->socketserver());
  zek_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  std::atomic<Thread*> event_thread{nullptr};
  zek_test::TestDispatcher dispatcher(server, pair.fds[0], kIoRead);
  dispatcher.on_event = [&](uint32_t, int) { event_thread = Thread::Current(); };
  CountingHandler timer;
  ASSERT_TRUE(thread->Start());
  thread->PostDelayed(RTC_FROM_HERE, 20, &timer, 4);
  ASSERT_EQ(1, write(pair.fds[1], "x", 1));
  EXPECT_TRUE(WaitUntil([&] { return timer.count() == 1 && event_thread != nullptr; }));
  EXPECT_EQ(thread.get(), timer.last_thread());
  EXPECT_EQ(thread.get(), event_thread.load());
  thread->Stop();
}

// Posts itself again each time it runs, so that the queue is never empty.
class EndlessHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    ++count_;
    if (!stop_)
      Thread::Current()->Post(RTC_FROM_HERE, this);
  }
  std::atomic<int> count_{0};
  std::atomic<bool> stop_{false};
};

// Messages that never stop coming still leave the loop time for its sockets.
TEST(ThreadTest, SocketEventsComeThroughAnEndlessStreamOfMessages) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  auto* server = static_cast<PhysicalSocketServer*>(thread->socketserver());
  zek_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  zek_test::TestDispatcher dispatcher(server, pair.fds[0], kIoRead);
  EndlessHandler endless;
  ASSERT_TRUE(thread->Start());
  thread->Post(RTC_FROM_HERE, &endless);
  thread->Post(RTC_FROM_HERE, &endless);
  ASSERT_TRUE(WaitUntil([&] { return endless.count_ > 1000; }));
  ASSERT_EQ(1, write(pair.fds[1], "x", 1));
  EXPECT_TRUE(WaitUntil([&] { return dispatcher.event_count() >= 1; }));
  const int during = endless.count_;
  EXPECT_TRUE(WaitUntil([&] { return endless.count_ > during; }));
  endless.stop_ = true;
  thread->Stop();
}

// A UDP socket that two threads flood stays readable all the time; the loop still
// serves what is queued and its timers, a socket pass between them.
class UdpFlood {
 public:
  UdpFlood() {
    rx_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ok_ = rx_ >= 0 && bind(rx_, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
          getsockname(rx_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
          fcntl(rx_, F_SETFL, O_NONBLOCK) == 0;
    for (int i = 0; ok_ && i < 2; ++i) {
      senders_.emplace_back([this, addr] {
        const int tx = socket(AF_INET, SOCK_DGRAM, 0);
        if (connect(tx, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
          // Many datagrams a call, so the senders always outrun the one reader.
          char payload[] = "flood";
          iovec iov = {payload, sizeof(payload)};
          mmsghdr batch[64] = {};
          for (mmsghdr& m : batch) {
            m.msg_hdr.msg_iov = &iov;
            m.msg_hdr.msg_iovlen = 1;
          }
          while (!stop_)
            sendmmsg(tx, batch, 64, 0);
        }
        close(tx);
      });
    }
  }
  ~UdpFlood() {
    stop_ = true;
    for (std::thread& sender : senders_)
      sender.join();
    if (rx_ >= 0)
      close(rx_);
  }

  bool ok() const { return ok_; }
  int fd() const { return rx_; }

 private:
  int rx_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> senders_;
};

// Notes when each of its messages ran.
class StampingHandler : public MessageHandler {
 public:
  void OnMessage(Message*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    stamps_.push_back(TimeMillis());
  }
  std::vector<int64_t> stamps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stamps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int64_t> stamps_;
};

TEST(ThreadTest, MessagesAndTimersComeThroughASocketThatStaysReadable) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  auto* server = static_cast<PhysicalSocketServer*>(thread->socketserver());
  UdpFlood flood;
  ASSERT_TRUE(flood.ok());
  std::atomic<long> datagrams{0};
  zek_test::TestDispatcher dispatcher(server, flood.fd(), kIoRead);
  // One datagram a readable event, as the UDP packet socket reads.
  dispatcher.on_event = [&](uint32_t, int) {
    char buf[16];
    if (recv(flood.fd(), buf, sizeof(buf), 0) > 0)
      ++datagrams;
    dispatcher.Request(kIoRead);
  };
  // The flood may run dry for a moment; this one never does: its byte is never read. A
  // loop held by a socket that stays ready would serve neither messages nor timers
  // again, so that they run at all shows it. How soon they run is printed: a busy
  // machine may delay them by tens of milliseconds.
  zek_test::SocketPair stuck;
  stuck.Write();
  zek_test::TestDispatcher always_ready(server, stuck.fds[0], kIoRead);
  always_ready.on_event = [&](uint32_t, int) { always_ready.Request(kIoRead); };
  ASSERT_TRUE(thread->Start());
  ASSERT_TRUE(WaitUntil([&] { return datagrams > 1000; }));

  // 200 messages queue up behind one the worker is busy with.
  BlockingHandler busy;
  thread->Post(RTC_FROM_HERE, &busy);
  ASSERT_TRUE(busy.WaitEntered());
  StampingHandler queued;
  constexpr size_t kQueued = 200;
  for (size_t i = 0; i < kQueued; ++i)
    thread->Post(RTC_FROM_HERE, &queued);
  const int64_t free_at = TimeMillis();
  busy.Release();
  EXPECT_TRUE(WaitUntil([&] { return queued.stamps().size() == kQueued; }))
      << queued.stamps().size() << " of " << kQueued << " ran";
  const std::vector<int64_t> stamps = queued.stamps();

  // A timer that falls due while the worker waits in the flood.
  StampingHandler timer;
  const int64_t due = TimeMillis() + 200;
  thread->PostDelayed(RTC_FROM_HERE, 200, &timer);
  EXPECT_TRUE(WaitUntil([&] { return timer.stamps().size() == 1; }));
  if (!stamps.empty() && !timer.stamps().empty()) {
    printf(
        "through the flood: %zu queued messages done %lld ms after the worker was free, "
        "the timer %lld ms after its time\n",
        stamps.size(), static_cast<long long>(stamps.back() - free_at),
        static_cast<long long>(timer.stamps()[0] - due));
  }
  const long read_meanwhile = datagrams;
  EXPECT_TRUE(WaitUntil([&] { return datagrams > read_meanwhile; }));
  thread->Stop();
}

TEST(ThreadTest, LoopOutlivesADescriptorClosedBehindItsBack) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  auto* server = static_cast<PhysicalSocketServer*>(thread->socketserver());
  zek_test::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  const int stale = dup(pair.fds[0]);
  CountingHandler handler;
  ASSERT_TRUE(thread->Start());
  CaptureStderr();
  {
    zek_test::TestDispatcher dispatcher(server, stale, kIoRead);
    close(stale);
    // Wakes the loop, which then polls the closed descriptor.
    thread->Post(RTC_FROM_HERE, &handler, 1);
    EXPECT_TRUE(WaitUntil([&] { return dispatcher.event_count() == 1; }));
    for (uint32_t id = 2; id <= 5; ++id) {
      thread->Post(RTC_FROM_HERE, &handler, id);
    }
    EXPECT_TRUE(WaitUntil([&] { return handler.count() == 5; }));
    EXPECT_EQ(EBADF, dispatcher.records()[0].error);
  }
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("polled but not open"));
  EXPECT_TRUE(thread->IsRunning());
  thread->Stop();
}

TEST(ThreadTest, LoopOutlivesFailingPolls) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  auto* server = static_cast<PhysicalSocketServer*>(thread->socketserver());
  zek_test::SocketPair pairs[10];
  std::vector<std::unique_ptr<zek_test::TestDispatcher>> dispatchers;
  for (zek_test::SocketPair& pair : pairs) {
    ASSERT_TRUE(pair.ok());
    dispatchers.push_back(std::make_unique<zek_test::TestDispatcher>(server, pair.fds[0], kIoRead));
  }
  // One socket event and one message first, so that a sanitizer's checks of the types
  // involved (its first check of a type needs descriptors of its own) are settled
  // while descriptors are still free: a message alone may be handled before the loop
  // has polled its dispatchers.
  dispatchers[0]->on_event = [&](uint32_t, int) {
    char byte;
    EXPECT_EQ(1, read(pairs[0].fds[0], &byte, 1));
  };
  CountingHandler handler;
  ASSERT_TRUE(thread->Start());
  pairs[0].Write();
  ASSERT_TRUE(WaitUntil([&] { return dispatchers[0]->event_count() == 1; }));
  thread->Post(RTC_FROM_HERE, &handler, 0);
  ASSERT_TRUE(WaitUntil([&] { return handler.count() == 1; }));
  CaptureStderr();
  bool handled;
  {
    // poll() refuses more descriptors than the process may have open.
    zek_test::ScopedFileLimit low(5);
    ASSERT_TRUE(low.ok());
    // A timer makes the loop wait, and so poll, before it is due; posts come too.
    thread->PostDelayed(RTC_FROM_HERE, 30, &handler, 1);
    for (uint32_t id = 2; id <= 3; ++id) {
      thread->Post(RTC_FROM_HERE, &handler, id);
    }
    handled = WaitUntil([&] { return handler.count() == 4 && handler.last_id() == 1; });
  }
  EXPECT_TRUE(handled);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("): select : [0x"));
  // Still serving after the failures have stopped.
  thread->Post(RTC_FROM_HERE, &handler, 4);
  EXPECT_TRUE(WaitUntil([&] { return handler.count() == 5; }));
  thread->Stop();
}

// Sends a message to another thread from inside one of its own.
class Relay : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ran_on = Thread::Current();
    if (target) {
      target->Send(RTC_FROM_HERE, next, msg->id_ + 1);
    }
  }
  Thread* target = nullptr;
  MessageHandler* next = nullptr;
  std::atomic<Thread*> ran_on{nullptr};
};

TEST(ThreadTest, SendRunsOnTheTargetAndReturnsAfterIt) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  ASSERT_TRUE(thread->Start());
  CountingHandler handler;
  Tally tally;
  thread->Send(RTC_FROM_HERE, &handler, 3, new CountedData(&tally));
  EXPECT_EQ(1, handler.count());
  EXPECT_EQ(thread.get(), handler.last_thread());
  EXPECT_EQ(1, tally.deleted);

  // Sending to the current thread runs the handler at once.
  Thread* main = Thread::Current();
  main->Send(RTC_FROM_HERE, &handler, 4);
  EXPECT_EQ(2, handler.count());
  EXPECT_EQ(main, handler.last_thread());

  // Two threads sending to each other from inside their handlers do not block.
  std::unique_ptr<Thread> other = Thread::CreateWithSocketServer();
  ASSERT_TRUE(other->Start());
  Relay to_other;  // runs on `thread`, sends to `other`
  Relay back;      // runs on `other`, sends back to `thread`
  to_other.target = other.get();
  to_other.next = &back;
  back.target = thread.get();
  back.next = &handler;
  thread->Send(RTC_FROM_HERE, &to_other, 10);
  EXPECT_EQ(thread.get(), to_other.ran_on.load());
  EXPECT_EQ(other.get(), back.ran_on.load());
  EXPECT_EQ(3, handler.count());
  EXPECT_EQ(12u, handler.last_id());
  EXPECT_EQ(thread.get(), handler.last_thread());

  // Sending to a stopped thread returns at once and leaves the payload alone.
  other->Stop();
  CountedData* kept = new CountedData(&tally);
  other->Send(RTC_FROM_HERE, &handler, 5, kept);
  EXPECT_EQ(3, handler.count());
  EXPECT_EQ(1, tally.deleted);
  delete kept;
  thread->Stop();
}

TEST(ThreadTest, ClearReleasesAPendingSend) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  BlockingHandler blocker;
  CountingHandler handler;
  Tally tally;
  ASSERT_TRUE(thread->Start());
  thread->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(blocker.WaitEntered());

  std::atomic<int> sender_tid{0};
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    sender_tid = CurrentThreadId();
    thread->Send(RTC_FROM_HERE, &handler, 5, new CountedData(&tally));
    returned = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return tally.created == 1 && sender_tid != 0; }));
  ASSERT_TRUE(WaitUntil([&] { return zek_test::IsThreadSleeping(sender_tid); }));
  EXPECT_FALSE(returned);
  thread->Clear(&handler, 5);
  sender.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(1, tally.deleted);

  blocker.Release();
  thread->Stop();
  EXPECT_EQ(0, handler.count());
}

TEST(ThreadTest, StopReleasesSendsNobodyWillHandle) {
  // Never started: nothing serves the send until the owner stops the thread.
  Thread thread;
  CountingHandler handler;
  Tally tally;
  std::atomic<int> sender_tid{0};
  std::thread sender([&] {
    sender_tid = CurrentThreadId();
    thread.Send(RTC_FROM_HERE, &handler, 1, new CountedData(&tally));
  });
  ASSERT_TRUE(WaitUntil([&] { return tally.created == 1 && sender_tid != 0; }));
  ASSERT_TRUE(WaitUntil([&] { return zek_test::IsThreadSleeping(sender_tid); }));
  thread.Stop();
  sender.join();
  EXPECT_EQ(0, handler.count());
  EXPECT_EQ(1, tally.deleted);
}

TEST(ThreadTest, DestroyedHandlerLosesItsMessagesOnABusyThread) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  BlockingHandler blocker;
  CountingHandler survivor;
  Tally tally;
  ASSERT_TRUE(thread->Start());
  thread->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(blocker.WaitEntered());
  auto doomed = std::make_unique<CountingHandler>();
  thread->Post(RTC_FROM_HERE, doomed.get(), 1, new CountedData(&tally));
  thread->PostDelayed(RTC_FROM_HERE, 5, doomed.get(), 2, new CountedData(&tally));
  thread->Post(RTC_FROM_HERE, &survivor, 3, new CountedData(&tally));
  doomed.reset();
  EXPECT_EQ(2, tally.deleted);
  blocker.Release();
  EXPECT_TRUE(WaitUntil([&] { return survivor.count() == 1; }));
  thread->Stop();
  EXPECT_EQ(tally.created, tally.deleted);
}

TEST(ThreadTest, ManyPostersAndClearsAgainstARunningLoop) {
  std::unique_ptr<Thread> thread = Thread::CreateWithSocketServer();
  CountingHandler kept;
  CountingHandler cleared;
  Tally tally;
  ASSERT_TRUE(thread->Start());
  constexpr int kPerPoster = 500;
  std::vector<std::thread> workers;
  for (int p = 0; p < 3; ++p) {
    workers.emplace_back([&] {
      for (int i = 0; i < kPerPoster; ++i) {
        thread->Post(RTC_FROM_HERE, &kept, 1, new CountedData(&tally));
        thread->PostDelayed(RTC_FROM_HERE, i % 3, &cleared, 2, new CountedData(&tally));
      }
    });
  }
  workers.emplace_back([&] {
    for (int i = 0; i < kPerPoster; ++i) {
      thread->Clear(&cleared);
    }
  });
  for (std::thread& t : workers) {
    t.join();
  }
  EXPECT_TRUE(WaitUntil([&] { return kept.count() == 3 * kPerPoster; }));
  thread->Clear(&cleared);
  thread->Stop();
  EXPECT_EQ(tally.created, tally.deleted);
}

TEST(ThreadTest, SetCurrentThreadOverAnotherLogs) {
  std::thread other([] {
    AutoThread first;
    Thread second;
    CaptureStderr();
    ThreadManager::Instance()->SetCurrentThread(&second);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("): SetCurrentThread: Overwriting an existing value?"));
    EXPECT_EQ(&second, Thread::Current());
    ThreadManager::Instance()->SetCurrentThread(&first);
  });
  other.join();
}

}  // namespace
}  // namespace rtc
