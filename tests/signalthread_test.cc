// ctest-labels: threading
#include "rtc_base/signalthread.h"

#include <netdb.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/asyncresolverinterface.h"
#include "rtc_base/event.h"
#include "rtc_base/nethelpers.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/thread.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using zek_test::IsThreadSleeping;
using zek_test::WaitUntil;

constexpr int kWaitMs = 5000;

std::string PointerSuffix(const void* p) {
  char buf[30];
  snprintf(buf, sizeof(buf), " 0x%p", p);
  return buf;
}

// Resolves locally, without a query: getaddrinfo refuses a name longer than a DNS
// name may be before it asks anyone.
const std::string& OverLongName() {
  static const std::string name(300, 'a');
  return name;
}

// What getaddrinfo itself answers for `host` with the resolver's hints.
int GetAddrInfoError(const std::string& host) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* result = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (result) {
    freeaddrinfo(result);
  }
  return error;
}

bool ThreadGone(int tid) {
  struct stat st;
  return stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) != 0;
}

class FunctionHandler : public MessageHandler {
 public:
  explicit FunctionHandler(std::function<void()> f) : f_(std::move(f)) {}
  void OnMessage(Message*) override { f_(); }

 private:
  std::function<void()> f_;
};

// Runs `f` on `thread` and returns once it has run.
void RunOn(Thread* thread, std::function<void()> f) {
  FunctionHandler handler(std::move(f));
  thread->Send(RTC_FROM_HERE, &handler);
}

// Returns once every message posted to `thread` before the call has been handled.
void DrainPosted(Thread* thread) {
  Event done(true, false);
  FunctionHandler handler([&done] { done.Set(); });
  thread->Post(RTC_FROM_HERE, &handler);
  ASSERT_TRUE(done.Wait(kWaitMs));
}

// What a GatedWork saw, kept outside it because the object deletes itself.
struct Probe {
  Event entered{true, false};
  Event release{true, false};
  Event deleted{true, false};
  std::atomic<int> work_runs{0};
  std::atomic<int> done_calls{0};
  std::atomic<int> finished_calls{0};
  std::atomic<int> deletions{0};
  std::atomic<Thread*> done_thread{nullptr};
  std::atomic<int> worker_tid{0};
  std::atomic<pthread_t> worker_ref{pthread_t()};
  std::atomic<pthread_t> deleter_ref{pthread_t()};
  // Set by a test right after its Destroy call returns.
  std::atomic<bool> destroy_returned{false};
  std::atomic<bool> deleted_inside_destroy{false};
  // Written by DoWork before `entered` is set.
  std::string os_name;
  std::string worker_name;
  bool ran_on_worker = false;
  // Run inside OnWorkDone when set.
  std::function<void(SignalThread*)> on_done;
};

// Work that blocks until the test releases it, so the test decides when it ends.
class GatedWork : public SignalThread {
 public:
  explicit GatedWork(Probe* probe) : probe_(probe) {
    SignalWorkFinished.connect(this, &GatedWork::OnFinished);
  }

 protected:
  ~GatedWork() override {
    probe_->deleter_ref = pthread_self();
    probe_->deleted_inside_destroy = !probe_->destroy_returned;
    ++probe_->deletions;
    probe_->deleted.Set();
  }

  void DoWork() override {
    char buf[64] = {};
    pthread_getname_np(pthread_self(), buf, sizeof(buf));
    probe_->os_name = buf;
    probe_->worker_name = worker()->name();
    probe_->ran_on_worker = Thread::Current() == worker();
    probe_->worker_tid = CurrentThreadId();
    probe_->worker_ref = pthread_self();
    ++probe_->work_runs;
    probe_->entered.Set();
    probe_->release.Wait(Event::kForever);
  }

  void OnWorkDone() override {
    ++probe_->done_calls;
    probe_->done_thread = Thread::Current();
    if (probe_->on_done) {
      probe_->on_done(this);
    }
  }

 private:
  void OnFinished(SignalThread*) { ++probe_->finished_calls; }

  Probe* const probe_;
};

// A resolver that tells when it is gone.
class TrackedResolver : public AsyncResolver {
 public:
  explicit TrackedResolver(Event* deleted) : deleted_(deleted) {}

 protected:
  ~TrackedResolver() override { deleted_->Set(); }

 private:
  Event* const deleted_;
};

// What the SignalResolved slot saw, on the owner's thread.
class ResolveListener : public sigslot::has_slots<> {
 public:
  void OnResolved(AsyncResolverInterface* resolver) {
    thread = Thread::Current();
    error = resolver->GetError();
    ips = static_cast<AsyncResolver*>(resolver)->addresses();
    for (int i = 0; i < 2; ++i) {
      out[i] = SocketAddress("1.2.3.4", 9);
      found[i] = resolver->GetResolvedAddress(kFamilies[i], &out[i]);
    }
    address = resolver->address();
    // As the physical socket does when it is done with the resolver.
    if (destroy_in_slot) {
      resolver->Destroy(false);
    }
    ++calls;
    resolved.Set();
  }
  void OnFinished(SignalThread*) { ++finished; }

  static constexpr int kFamilies[2] = {AF_INET, AF_INET6};

  bool destroy_in_slot = false;
  Event resolved{true, false};
  std::atomic<int> calls{0};
  std::atomic<int> finished{0};
  // Written in the slot before `resolved` is set.
  Thread* thread = nullptr;
  int error = 0;
  std::vector<IPAddress> ips;
  bool found[2] = {false, false};
  SocketAddress out[2];
  SocketAddress address;
};

class SignalThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_ = Thread::CreateWithSocketServer();
    ASSERT_TRUE(owner_->Start());
    RunOn(owner_.get(), [this] {
      owner_ref_ = pthread_self();
      owner_tid_ = CurrentThreadId();
    });
  }

  void OnOwner(std::function<void()> f) { RunOn(owner_.get(), std::move(f)); }

  GatedWork* StartGatedWork() {
    GatedWork* work = nullptr;
    OnOwner([&] {
      work = new GatedWork(&probe_);
      work->Start();
    });
    EXPECT_TRUE(probe_.entered.Wait(kWaitMs));
    return work;
  }

  // Declared before owner_: the owner's thread, which runs the slots and may delete
  // the objects that point at these, is gone before they are.
  Probe probe_;
  ResolveListener listener_;
  std::unique_ptr<Thread> owner_;
  pthread_t owner_ref_ = pthread_t();
  int owner_tid_ = 0;
};

TEST_F(SignalThreadTest, ResolvesLocalhostAndReportsOnTheOwnerThread) {
  Event deleted(true, false);
  TrackedResolver* resolver = nullptr;
  int error_before_start = 0;
  int error_after_start = 0;
  OnOwner([&] {
    resolver = new TrackedResolver(&deleted);
    resolver->SignalResolved.connect(&listener_, &ResolveListener::OnResolved);
    resolver->SignalWorkFinished.connect(&listener_, &ResolveListener::OnFinished);
    error_before_start = resolver->GetError();
    resolver->Start(SocketAddress("localhost", 443));
    // Results reach the owner only with the completion.
    error_after_start = resolver->GetError();
  });
  EXPECT_EQ(-1, error_before_start);
  EXPECT_EQ(-1, error_after_start);
  ASSERT_TRUE(listener_.resolved.Wait(kWaitMs));

  EXPECT_EQ(owner_.get(), listener_.thread);
  EXPECT_EQ(0, listener_.error);
  // Each address comes once per socket type; every one is a loopback address.
  ASSERT_FALSE(listener_.ips.empty());
  bool has_v4 = false;
  for (const IPAddress& ip : listener_.ips) {
    EXPECT_TRUE(IPIsLoopback(ip)) << ip.ToString();
    has_v4 = has_v4 || ip.family() == AF_INET;
  }
  EXPECT_EQ(has_v4, listener_.found[0]);
  if (has_v4) {
    EXPECT_EQ("127.0.0.1", listener_.out[0].ipaddr().ToString());
    EXPECT_EQ("localhost", listener_.out[0].hostname());
    EXPECT_EQ(443, listener_.out[0].port());
    EXPECT_EQ(listener_.out[0], listener_.address);
  }
  EXPECT_TRUE(WaitUntil([&] { return listener_.finished == 1; }));

  // After the completion the owner's release deletes it at once.
  bool gone_inside_destroy = false;
  OnOwner([&] {
    resolver->Destroy(false);
    gone_inside_destroy = deleted.Wait(0);
  });
  EXPECT_TRUE(gone_inside_destroy);
}

struct ResolveCase {
  const char* name;
  std::string host;
  int port;
  bool destroy_in_slot;
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
  *os << c.name;
}

class ResolveCaseTest : public SignalThreadTest,
                        public ::testing::WithParamInterface<ResolveCase> {};

// Every outcome: the error is getaddrinfo's own, and each family's address is the
// first found of it, or the request itself when none was found, or untouched after a
// failure.
TEST_P(ResolveCaseTest, ReportsTheLookUpOutcome) {
  const ResolveCase& c = GetParam();
  const SocketAddress request(c.host, c.port);
  listener_.destroy_in_slot = c.destroy_in_slot;
  Event deleted(true, false);
  TrackedResolver* resolver = nullptr;
  const auto started = std::chrono::steady_clock::now();
  OnOwner([&] {
    resolver = new TrackedResolver(&deleted);
    resolver->SignalResolved.connect(&listener_, &ResolveListener::OnResolved);
    resolver->SignalWorkFinished.connect(&listener_, &ResolveListener::OnFinished);
    resolver->Start(request);
  });
  ASSERT_TRUE(listener_.resolved.Wait(kWaitMs));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

  EXPECT_EQ(GetAddrInfoError(c.host), listener_.error);
  if (listener_.error != 0) {
    EXPECT_TRUE(listener_.ips.empty());
    for (int i = 0; i < 2; ++i) {
      EXPECT_FALSE(listener_.found[i]);
      EXPECT_EQ(SocketAddress("1.2.3.4", 9), listener_.out[i]);
    }
    // address() of a failed look-up is an empty address.
    EXPECT_TRUE(IPIsUnspec(listener_.address.ipaddr()));
    EXPECT_EQ("", listener_.address.hostname());
  } else {
    ASSERT_FALSE(listener_.ips.empty());
    for (int i = 0; i < 2; ++i) {
      const int family = ResolveListener::kFamilies[i];
      const IPAddress* first = nullptr;
      for (const IPAddress& ip : listener_.ips) {
        if (ip.family() == family) {
          first = &ip;
          break;
        }
      }
      EXPECT_EQ(first != nullptr, listener_.found[i]) << family;
      if (first) {
        EXPECT_EQ(*first, listener_.out[i].ipaddr());
        EXPECT_EQ(c.host, listener_.out[i].hostname());
        EXPECT_EQ(c.port, listener_.out[i].port());
      } else {
        EXPECT_EQ(request, listener_.out[i]);
        EXPECT_EQ(request.hostname(), listener_.out[i].hostname());
      }
    }
    EXPECT_EQ(listener_.out[0], listener_.address);
  }

  if (c.destroy_in_slot) {
    // Released inside its own completion: abandoned, so no finished signal, and
    // deleted when the completion ends.
    ASSERT_TRUE(deleted.Wait(kWaitMs));
    DrainPosted(owner_.get());
    EXPECT_EQ(0, listener_.finished);
  } else {
    EXPECT_TRUE(WaitUntil([&] { return listener_.finished == 1; }));
    OnOwner([&] { resolver->Destroy(false); });
    EXPECT_TRUE(deleted.Wait(0));
  }
  EXPECT_EQ(1, listener_.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts,
    ResolveCaseTest,
    ::testing::Values(ResolveCase{"Localhost", "localhost", 80, false},
                      // Only IPv4 comes back: no IPv6 address, the request unchanged.
                      ResolveCase{"Ipv4Literal", "127.0.0.1", 5000, false},
                      ResolveCase{"OverLongName", OverLongName(), 80, true},
                      ResolveCase{"EmptyHost", "", 80, true}),
    [](const ::testing::TestParamInfo<ResolveCase>& info) { return info.param.name; });

TEST(ResolveHostnameTest, LiteralGivesExactlyThatAddress) {
  std::vector<IPAddress> addresses;
  ASSERT_EQ(0, ResolveHostname("127.0.0.1", 0, &addresses));
  ASSERT_FALSE(addresses.empty());
  for (const IPAddress& ip : addresses) {
    EXPECT_EQ(IPAddress(0x7F000001u), ip);
  }
}

TEST(ResolveHostnameTest, FailureGivesTheGetAddrInfoCodeAndNoAddress) {
  std::vector<IPAddress> addresses = {IPAddress(0x01020304u)};
  const int error = ResolveHostname(OverLongName(), 0, &addresses);
  EXPECT_NE(0, error);
  EXPECT_EQ(GetAddrInfoError(OverLongName()), error);
  EXPECT_TRUE(addresses.empty());
  EXPECT_EQ(-1, ResolveHostname("localhost", 0, nullptr));
}

TEST_F(SignalThreadTest, WorkerThreadIsNamedAfterTheObject) {
  GatedWork* work = StartGatedWork();
  const std::string expected = "SignalThread" + PointerSuffix(static_cast<SignalThread*>(work));
  EXPECT_EQ(expected, probe_.worker_name);
  // The OS keeps 15 bytes of it.
  EXPECT_EQ(expected.substr(0, 15), probe_.os_name);
  EXPECT_TRUE(probe_.ran_on_worker);
  probe_.release.Set();
  ASSERT_TRUE(WaitUntil([&] { return probe_.done_calls == 1; }));
  OnOwner([&] { work->Destroy(false); });
  EXPECT_TRUE(probe_.deleted.Wait(0));
}

// When the owner releases the object decides what is still reported and who deletes it.
enum class When { kBeforeStart, kDuringWork, kInsideCompletion, kAfterCompletion };

struct LifecycleCase {
  const char* name;
  When when;
  bool wait;
  int work_runs;
  int done_calls;
  int finished_calls;
  // Deleted before the Destroy call returned.
  bool deleted_inside_destroy;
};

void PrintTo(const LifecycleCase& c, std::ostream* os) {
  *os << c.name;
}

class LifecycleTest : public SignalThreadTest,
                      public ::testing::WithParamInterface<LifecycleCase> {};

TEST_P(LifecycleTest, DestroyReleasesTheObjectOnce) {
  const LifecycleCase& c = GetParam();
  Probe& p = probe_;
  if (c.when == When::kInsideCompletion) {
    p.on_done = [&](SignalThread* self) {
      self->Destroy(c.wait);
      p.destroy_returned = true;
    };
  }
  GatedWork* work = nullptr;
  // Outlives its message, which the owner may still be leaving after it signalled.
  std::unique_ptr<FunctionHandler> destroy;
  switch (c.when) {
    case When::kBeforeStart:
      OnOwner([&] {
        work = new GatedWork(&p);
        work->Destroy(c.wait);
        p.destroy_returned = true;
      });
      break;
    case When::kDuringWork:
      work = StartGatedWork();
      if (c.wait) {
        Event calling(true, false);
        destroy.reset(new FunctionHandler([&] {
          calling.Set();
          work->Destroy(true);
          p.destroy_returned = true;
        }));
        owner_->Post(RTC_FROM_HERE, destroy.get());
        ASSERT_TRUE(calling.Wait(kWaitMs));
        // The owner sleeps in Destroy, waiting for the work.
        ASSERT_TRUE(WaitUntil([&] { return IsThreadSleeping(owner_tid_); }));
        EXPECT_FALSE(p.destroy_returned);
        p.release.Set();
        ASSERT_TRUE(WaitUntil([&] { return p.destroy_returned.load(); }));
      } else {
        OnOwner([&] {
          work->Destroy(false);
          p.destroy_returned = true;
        });
        // Abandoned, but kept until its completion.
        EXPECT_EQ(0, p.deletions);
        p.release.Set();
      }
      break;
    case When::kInsideCompletion:
      StartGatedWork();
      p.release.Set();
      break;
    case When::kAfterCompletion:
      work = StartGatedWork();
      p.release.Set();
      ASSERT_TRUE(WaitUntil([&] { return p.finished_calls == 1; }));
      OnOwner([&] {
        work->Destroy(c.wait);
        p.destroy_returned = true;
      });
      break;
  }
  ASSERT_TRUE(p.deleted.Wait(kWaitMs));
  // Nothing more arrives once it is gone.
  DrainPosted(owner_.get());
  EXPECT_EQ(c.work_runs, p.work_runs);
  EXPECT_EQ(c.done_calls, p.done_calls);
  EXPECT_EQ(c.finished_calls, p.finished_calls);
  EXPECT_EQ(1, p.deletions);
  EXPECT_EQ(c.deleted_inside_destroy, p.deleted_inside_destroy.load());
  EXPECT_TRUE(pthread_equal(owner_ref_, p.deleter_ref.load()));
  if (c.done_calls > 0) {
    EXPECT_EQ(owner_.get(), p.done_thread.load());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timings,
    LifecycleTest,
    ::testing::Values(
        LifecycleCase{"BeforeStart", When::kBeforeStart, false, 0, 0, 0, true},
        LifecycleCase{"BeforeStartWaiting", When::kBeforeStart, true, 0, 0, 0, true},
        // Abandoned: the completion still runs OnWorkDone, then drops the object.
        LifecycleCase{"DuringWork", When::kDuringWork, false, 1, 1, 0, false},
        // Waits for the work; the completion posted meanwhile never runs.
        LifecycleCase{"DuringWorkWaiting", When::kDuringWork, true, 1, 0, 0, true},
        // Still running while the completion reports: abandoned, deleted when the
        // completion ends.
        LifecycleCase{"InsideCompletion", When::kInsideCompletion, false, 1, 1, 0, false},
        LifecycleCase{"InsideCompletionWaiting", When::kInsideCompletion, true, 1, 1, 0, false},
        LifecycleCase{"AfterCompletion", When::kAfterCompletion, false, 1, 1, 1, true},
        LifecycleCase{"AfterCompletionWaiting", When::kAfterCompletion, true, 1, 1, 1, true}),
    [](const ::testing::TestParamInfo<LifecycleCase>& info) { return info.param.name; });

TEST_F(SignalThreadTest, StartIsIgnoredWhileTheWorkRunsAndWorksAgainAfterIt) {
  GatedWork* work = StartGatedWork();
  OnOwner([&] { work->Start(); });
  probe_.release.Set();
  ASSERT_TRUE(WaitUntil([&] { return probe_.finished_calls == 1; }));
  EXPECT_EQ(1, probe_.work_runs);

  OnOwner([&] { work->Start(); });
  ASSERT_TRUE(WaitUntil([&] { return probe_.finished_calls == 2; }));
  EXPECT_EQ(2, probe_.work_runs);
  EXPECT_EQ(2, probe_.done_calls);
  OnOwner([&] { work->Destroy(false); });
  EXPECT_TRUE(probe_.deleted.Wait(0));
}

TEST_F(SignalThreadTest, SecondResolverStartKeepsTheFirstRequest) {
  Event deleted(true, false);
  TrackedResolver* resolver = nullptr;
  OnOwner([&] {
    resolver = new TrackedResolver(&deleted);
    resolver->SignalResolved.connect(&listener_, &ResolveListener::OnResolved);
    resolver->Start(SocketAddress("localhost", 1));
    // The completion cannot run before this returns: the look-up counts as running.
    resolver->Start(SocketAddress("127.0.0.1", 2));
  });
  ASSERT_TRUE(listener_.resolved.Wait(kWaitMs));
  EXPECT_EQ(0, listener_.error);
  EXPECT_EQ("localhost", listener_.address.hostname());
  EXPECT_EQ(1, listener_.address.port());
  OnOwner([&] { resolver->Destroy(false); });
  EXPECT_TRUE(deleted.Wait(0));
}

// A resolver released right after Start: without waiting it still reports and then
// goes; waiting, it is gone when Destroy returns and reports nothing.
TEST_F(SignalThreadTest, ResolverReleasedRightAfterStart) {
  for (const bool wait : {false, true}) {
    SCOPED_TRACE(wait ? "Destroy(true)" : "Destroy(false)");
    ResolveListener listener;
    Event deleted(true, false);
    bool gone_when_destroy_returned = false;
    OnOwner([&] {
      TrackedResolver* resolver = new TrackedResolver(&deleted);
      resolver->SignalResolved.connect(&listener, &ResolveListener::OnResolved);
      resolver->SignalWorkFinished.connect(&listener, &ResolveListener::OnFinished);
      resolver->Start(SocketAddress("localhost", 80));
      resolver->Destroy(wait);
      gone_when_destroy_returned = deleted.Wait(0);
    });
    EXPECT_EQ(wait, gone_when_destroy_returned);
    ASSERT_TRUE(deleted.Wait(kWaitMs));
    DrainPosted(owner_.get());
    EXPECT_EQ(wait ? 0 : 1, listener.calls);
    EXPECT_EQ(0, listener.finished);
  }
}

// Shut-down: the owner's thread stops or goes while the work runs. Whatever the order,
// the object is deleted exactly once, without a completion, by the thread that drops
// the last reference, and its worker thread is joined or, on itself, detached.
enum class Step {
  kAbandon,       // Destroy(false) on the owner's thread
  kStopOwner,     // the owner's queue quits, and stays
  kDestroyOwner,  // the owner's queue is torn down
  kFinishWork,    // the work ends and the worker's OS thread with it
  kDestroy,       // Destroy(false) from the test's thread
};

enum class Deleter { kWorker, kTestThread };

struct ShutdownCase {
  const char* name;
  std::vector<Step> steps;
  // Index of the step during which the object goes.
  size_t deleted_at;
  Deleter deleter;
};

void PrintTo(const ShutdownCase& c, std::ostream* os) {
  *os << c.name;
}

class ShutdownTest : public SignalThreadTest, public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(ShutdownTest, ObjectIsReleasedOnce) {
  const ShutdownCase& c = GetParam();
  Probe& p = probe_;
  GatedWork* work = StartGatedWork();
  for (size_t i = 0; i < c.steps.size(); ++i) {
    SCOPED_TRACE(i);
    switch (c.steps[i]) {
      case Step::kAbandon:
        OnOwner([&] { work->Destroy(false); });
        break;
      case Step::kStopOwner:
        owner_->Stop();
        break;
      case Step::kDestroyOwner:
        owner_.reset();
        break;
      case Step::kFinishWork:
        p.release.Set();
        ASSERT_TRUE(WaitUntil([&] { return ThreadGone(p.worker_tid); }));
        break;
      case Step::kDestroy:
        work->Destroy(false);
        break;
    }
    ASSERT_EQ(i >= c.deleted_at ? 1 : 0, p.deletions);
  }
  // Orders what the deleting thread wrote before the checks, and before the probe goes.
  ASSERT_TRUE(p.deleted.Wait(kWaitMs));
  const pthread_t expected = c.deleter == Deleter::kWorker ? p.worker_ref.load() : pthread_self();
  EXPECT_TRUE(pthread_equal(expected, p.deleter_ref.load()));
  EXPECT_EQ(0, p.done_calls);
  EXPECT_EQ(0, p.finished_calls);
}

INSTANTIATE_TEST_SUITE_P(
    Orders,
    ShutdownTest,
    ::testing::Values(
        // The worker finds the owner gone and drops the owner's reference itself.
        ShutdownCase{"AbandonedThenOwnerDestroyed",
                     {Step::kAbandon, Step::kDestroyOwner, Step::kFinishWork},
                     2,
                     Deleter::kWorker},
        // Nothing could be posted to the quitting queue; its teardown releases it.
        ShutdownCase{"AbandonedThenOwnerStoppedThenDestroyed",
                     {Step::kAbandon, Step::kStopOwner, Step::kFinishWork, Step::kDestroyOwner},
                     3,
                     Deleter::kTestThread},
        // Still wanted when the owner went: the later release deletes it at once.
        ShutdownCase{"OwnerDestroyedThenReleasedAfterTheWork",
                     {Step::kDestroyOwner, Step::kFinishWork, Step::kDestroy},
                     2,
                     Deleter::kTestThread},
        ShutdownCase{"OwnerDestroyedThenReleasedDuringTheWork",
                     {Step::kDestroyOwner, Step::kDestroy, Step::kFinishWork},
                     2,
                     Deleter::kWorker},
        // The queue still exists but quits: no completion can come, so the release
        // deletes it at once.
        ShutdownCase{"OwnerStoppedThenReleased",
                     {Step::kStopOwner, Step::kFinishWork, Step::kDestroy, Step::kDestroyOwner},
                     2,
                     Deleter::kTestThread}),
    [](const ::testing::TestParamInfo<ShutdownCase>& info) { return info.param.name; });

// A completion posted to a queue nobody runs goes down with that queue: the teardown
// releases the abandoned object instead of dropping its only way out.
TEST(SignalThreadShutdownTest, CompletionDroppedWithTheQueueReleasesTheObject) {
  Probe p;
  std::thread owner_os_thread([&p] {
    std::unique_ptr<AutoThread> owner(new AutoThread());
    ASSERT_EQ(owner.get(), Thread::Current());
    GatedWork* work = new GatedWork(&p);
    work->Start();
    ASSERT_TRUE(p.entered.Wait(kWaitMs));
    work->Destroy(false);
    p.release.Set();
    // The completion waits in the queue.
    ASSERT_TRUE(WaitUntil([&] { return owner->GetDelay() == 0; }));
    ASSERT_TRUE(WaitUntil([&] { return ThreadGone(p.worker_tid); }));
    EXPECT_EQ(0, p.deletions);
    owner.reset();
    EXPECT_EQ(1, p.deletions);
    EXPECT_TRUE(pthread_equal(pthread_self(), p.deleter_ref.load()));
  });
  owner_os_thread.join();
  EXPECT_EQ(0, p.done_calls);
}

}  // namespace
}  // namespace rtc
