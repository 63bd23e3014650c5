// ctest-labels: threading
#include "rtc_base/sigslot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using sigslot::has_slots;
using sigslot::multi_threaded_local;
using sigslot::signal_with_thread_policy;
using sigslot::single_threaded;

// A slot object that writes its name into a shared log each time it is called and
// then runs an optional action, so a test can make a slot act during an emission.
// Every slot object of the library is single-threaded, whatever its signals' policy.
class Recorder : public has_slots<single_threaded> {
 public:
  Recorder(char name, std::string* log) : name_(name), log_(log) {}

  void OnSignal() {
    log_->push_back(name_);
    if (action_) {
      // The action may destroy this object; copy it out first.
      std::function<void()> action = action_;
      action();
    }
  }

  void set_action(std::function<void()> action) { action_ = std::move(action); }

 private:
  const char name_;
  std::string* log_;
  std::function<void()> action_;
};

template <class Policy>
class SigslotPolicyTest : public ::testing::Test {};
using Policies = ::testing::Types<single_threaded, multi_threaded_local>;
TYPED_TEST_SUITE(SigslotPolicyTest, Policies);

// Connection order is call order, duplicates included, on every emission.
TYPED_TEST(SigslotPolicyTest, CallsSlotsInConnectionOrder) {
  struct Case {
    const char* connects;  // one letter per connect call
    const char* expected;  // the log of one emission
  };
  const Case cases[] = {
      {"", ""}, {"A", "A"}, {"ABC", "ABC"}, {"CBA", "CBA"}, {"AAB", "AAB"}, {"ABA", "ABA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connects);
    std::string log;
    Recorder a('A', &log), b('B', &log), cc('C', &log);
    signal_with_thread_policy<TypeParam> sig;
    for (const char* p = c.connects; *p; ++p) {
      Recorder* r = *p == 'A' ? &a : *p == 'B' ? &b : &cc;
      sig.connect(r, &Recorder::OnSignal);
    }
    sig();
    EXPECT_EQ(c.expected, log);
    log.clear();
    sig.emit();
    EXPECT_EQ(c.expected, log);
  }
}

TYPED_TEST(SigslotPolicyTest, DestroyedSlotObjectLeavesEverySignal) {
  std::string log;
  Recorder a('A', &log), c('C', &log);
  auto b = std::make_unique<Recorder>('B', &log);
  signal_with_thread_policy<TypeParam> first, second;
  for (auto* sig : {&first, &second}) {
    sig->connect(&a, &Recorder::OnSignal);
    sig->connect(b.get(), &Recorder::OnSignal);
    sig->connect(b.get(), &Recorder::OnSignal);
    sig->connect(&c, &Recorder::OnSignal);
  }
  b.reset();
  first();
  second();
  EXPECT_EQ("ACAC", log);
}

// The slot objects outlive the signal; their later destruction must not touch it
// (ASan reports it if they do, since the signal lives on the heap).
TYPED_TEST(SigslotPolicyTest, DestroyedSignalLeavesNoRecordInSlotObjects) {
  std::string log;
  auto a = std::make_unique<Recorder>('A', &log);
  auto b = std::make_unique<Recorder>('B', &log);
  auto doomed = std::make_unique<signal_with_thread_policy<TypeParam>>();
  signal_with_thread_policy<TypeParam> survivor;
  doomed->connect(a.get(), &Recorder::OnSignal);
  doomed->connect(b.get(), &Recorder::OnSignal);
  survivor.connect(a.get(), &Recorder::OnSignal);
  doomed.reset();
  survivor();
  EXPECT_EQ("A", log);
  a.reset();
  b.reset();
  log.clear();
  survivor();
  EXPECT_EQ("", log);
  EXPECT_TRUE(survivor.is_empty());
}

TYPED_TEST(SigslotPolicyTest, ArgumentsAsDeclared) {
  struct Receiver : has_slots<> {
    void ByValue(std::string text) {
      seen.push_back(text);
      text = "changed";
    }
    void ByRef(std::string& text) {
      seen.push_back(text);
      text += "!";
    }
    void Numbers(int a, unsigned int b, const char* c) {
      seen.push_back(std::to_string(a) + "," + std::to_string(b) + "," + c);
    }
    std::vector<std::string> seen;
  };
  Receiver r;

  signal_with_thread_policy<TypeParam, std::string> by_value;
  by_value.connect(&r, &Receiver::ByValue);
  by_value.connect(&r, &Receiver::ByValue);
  std::string text = "hello";
  by_value(text);
  EXPECT_EQ((std::vector<std::string>{"hello", "hello"}), r.seen);
  EXPECT_EQ("hello", text);

  r.seen.clear();
  signal_with_thread_policy<TypeParam, std::string&> by_ref;
  by_ref.connect(&r, &Receiver::ByRef);
  by_ref.connect(&r, &Receiver::ByRef);
  by_ref(text);
  EXPECT_EQ((std::vector<std::string>{"hello", "hello!"}), r.seen);
  EXPECT_EQ("hello!!", text);

  r.seen.clear();
  signal_with_thread_policy<TypeParam, int, unsigned int, const char*> numbers;
  numbers.connect(&r, &Receiver::Numbers);
  numbers(-7, 4000000000u, "x");
  EXPECT_EQ((std::vector<std::string>{"-7,4000000000,x"}), r.seen);
}

// Slots reached through bases other than the first, and through virtual functions,
// must land on the right object and the right override.
TYPED_TEST(SigslotPolicyTest, VirtualSlotsAndNonFirstBases) {
  struct Padding {
    virtual ~Padding() = default;
    long pad[3] = {1, 2, 3};
  };
  struct Base : Padding, has_slots<> {
    virtual void OnValue(int v) { got.push_back(100 + v); }
    void OnPlain(int v) { got.push_back(v); }
    std::vector<int> got;
  };
  struct Derived : Base {
    void OnValue(int v) override { this->got.push_back(200 + v); }
  };
  Derived d;
  signal_with_thread_policy<TypeParam, int> sig;
  sig.connect(&d, &Base::OnValue);
  sig.connect(&d, &Derived::OnPlain);
  sig(1);
  EXPECT_EQ((std::vector<int>{201, 1}), d.got);
  EXPECT_EQ(3, d.pad[2]);
}

TYPED_TEST(SigslotPolicyTest, EmptySignalDoesNothing) {
  signal_with_thread_policy<TypeParam> none;
  signal_with_thread_policy<TypeParam, std::string&> with_args;
  std::string text = "kept";
  EXPECT_TRUE(none.is_empty());
  none();
  with_args(text);
  EXPECT_EQ("kept", text);
  none.disconnect_all();
  EXPECT_TRUE(none.is_empty());
}

// What a slot does to other slot objects during an emission of a single-threaded
// signal. (A multi-threaded signal holds its mutex across the slots, so there a
// slot must not do any of this.)
TEST(SigslotEmission, SlotsEndingConnectionsWhileEmitting) {
  struct Case {
    const char* name;
    char actor;          // the slot that acts
    char victim;         // the slot object it destroys
    const char* first;   // log of the emission in which it acts
    const char* second;  // log of the emission after
  };
  const Case cases[] = {
      {"first destroys itself", 'A', 'A', "ABC", "BC"},
      {"middle destroys itself", 'B', 'B', "ABC", "AC"},
      {"last destroys itself", 'C', 'C', "ABC", "AB"},
      {"destroys the next slot", 'A', 'B', "AC", "AC"},
      {"destroys the last slot", 'A', 'C', "AB", "AB"},
      {"destroys an earlier slot", 'C', 'A', "ABC", "BC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log;
    std::unique_ptr<Recorder> r[3];
    sigslot::signal<> sig;
    for (int i = 0; i < 3; ++i) {
      r[i] = std::make_unique<Recorder>(static_cast<char>('A' + i), &log);
      sig.connect(r[i].get(), &Recorder::OnSignal);
    }
    auto& victim = r[c.victim - 'A'];
    r[c.actor - 'A']->set_action([&victim] { victim.reset(); });
    sig();
    EXPECT_EQ(c.first, log);
    EXPECT_EQ(nullptr, victim);
    log.clear();
    sig();
    EXPECT_EQ(c.second, log);
  }
}

// A slot object connected twice destroys itself during the first of its calls:
// the second connection goes too.
TEST(SigslotEmission, SelfDestructionEndsBothConnections) {
  std::string log;
  auto a = std::make_unique<Recorder>('A', &log);
  Recorder b('B', &log);
  sigslot::signal<> sig;
  sig.connect(a.get(), &Recorder::OnSignal);
  sig.connect(a.get(), &Recorder::OnSignal);
  sig.connect(&b, &Recorder::OnSignal);
  a->set_action([&a] { a.reset(); });
  sig();
  EXPECT_EQ("AB", log);
}

TEST(SigslotEmission, ConnectionAddedDuringEmission) {
  struct Case {
    char actor;  // the slot that connects C
    const char* first;
    const char* second;
  };
  // A connection appended by the last slot comes after the cursor has reached the
  // end, so only the next emission calls it.
  const Case cases[] = {{'A', "ABC", "ABC"}, {'B', "AB", "ABC"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actor);
    std::string log;
    Recorder a('A', &log), b('B', &log), late('C', &log);
    sigslot::signal<> sig;
    sig.connect(&a, &Recorder::OnSignal);
    sig.connect(&b, &Recorder::OnSignal);
    Recorder& actor = c.actor == 'A' ? a : b;
    actor.set_action([&] {
      sig.connect(&late, &Recorder::OnSignal);
      actor.set_action(nullptr);
    });
    sig();
    EXPECT_EQ(c.first, log);
    log.clear();
    sig();
    EXPECT_EQ(c.second, log);
  }
}

TEST(SigslotEmission, DisconnectAllFromASlotStopsTheEmission) {
  std::string log;
  auto a = std::make_unique<Recorder>('A', &log);
  auto b = std::make_unique<Recorder>('B', &log);
  sigslot::signal<> sig;
  sig.connect(a.get(), &Recorder::OnSignal);
  sig.connect(b.get(), &Recorder::OnSignal);
  a->set_action([&sig] { sig.disconnect_all(); });
  sig();
  EXPECT_EQ("A", log);
  EXPECT_TRUE(sig.is_empty());
  a.reset();
  b.reset();
  sig();
  EXPECT_EQ("A", log);
}

// The cursor is shared: an emission started from a slot runs the whole list and
// leaves the outer emission at the end.
TEST(SigslotEmission, NestedEmissionRunsTheListOnce) {
  std::string log;
  Recorder a('A', &log), b('B', &log);
  sigslot::signal<> sig;
  sig.connect(&a, &Recorder::OnSignal);
  sig.connect(&b, &Recorder::OnSignal);
  a.set_action([&] {
    a.set_action(nullptr);
    sig();
  });
  sig();
  EXPECT_EQ("AAB", log);
}

// Duplicating a slot object's connections onto another object of the same class.
TEST(SigslotEmission, SlotDuplicate) {
  std::string log;
  Recorder a('A', &log), b('B', &log);
  auto copy = std::make_unique<Recorder>('D', &log);
  sigslot::signal<> sig;
  sig.connect(&a, &Recorder::OnSignal);
  sig.connect(&b, &Recorder::OnSignal);
  sig.slot_duplicate(&a, copy.get());
  sig();
  EXPECT_EQ("ABD", log);
  copy.reset();
  log.clear();
  sig();
  EXPECT_EQ("AB", log);
}

// The readable and writable signals of one socket each have a mutex; a slot of one
// may emit the other.
TEST(SigslotThreads, EachMultiThreadedSignalLocksOnItsOwn) {
  using Sig = signal_with_thread_policy<multi_threaded_local, int>;
  struct Relay : has_slots<> {
    void OnReadable(int v) {
      got.push_back(v);
      (*writable)(v + 1);
    }
    void OnWritable(int v) { got.push_back(v); }
    Sig* writable = nullptr;
    std::vector<int> got;
  };
  Sig readable, writable;
  Relay relay;
  relay.writable = &writable;
  readable.connect(&relay, &Relay::OnReadable);
  writable.connect(&relay, &Relay::OnWritable);
  readable(1);
  EXPECT_EQ((std::vector<int>{1, 2}), relay.got);
}

// Two threads emit the same multi-threaded signal; the signal's mutex is the only
// thing that serialises the slot's unguarded counter.
TEST(SigslotThreads, ConcurrentEmissionsAreSerialised) {
  struct Counter : has_slots<> {
    void OnEvent(int v) {
      sum += v;
      ++calls;
    }
    long sum = 0;
    long calls = 0;
  };
  signal_with_thread_policy<multi_threaded_local, int> sig;
  Counter first, second;
  sig.connect(&first, &Counter::OnEvent);
  sig.connect(&second, &Counter::OnEvent);
  constexpr int kRounds = 20000;
  auto emitter = [&sig](int value) {
    for (int i = 0; i < kRounds; ++i) {
      sig(value);
    }
  };
  std::thread t1(emitter, 1);
  std::thread t2(emitter, 2);
  t1.join();
  t2.join();
  for (const Counter* c : {&first, &second}) {
    EXPECT_EQ(2 * kRounds, c->calls);
    EXPECT_EQ(3L * kRounds, c->sum);
  }
}

// One thread keeps emitting while another connects new slot objects: every
// emission sees a whole list, and once the connector is done all slots run.
TEST(SigslotThreads, ConnectWhileAnotherThreadEmits) {
  struct Counter : has_slots<> {
    void OnEvent() { ++calls; }
    long calls = 0;
  };
  signal_with_thread_policy<multi_threaded_local> sig;
  constexpr int kSlots = 200;
  std::vector<std::unique_ptr<Counter>> counters;
  for (int i = 0; i < kSlots; ++i) {
    counters.push_back(std::make_unique<Counter>());
  }
  std::atomic<bool> done{false};
  std::thread emitter([&] {
    while (!done.load()) {
      sig();
    }
  });
  std::thread connector([&] {
    for (auto& c : counters) {
      sig.connect(c.get(), &Counter::OnEvent);
    }
    done.store(true);
  });
  connector.join();
  emitter.join();
  // Later-connected slots can only have missed emissions, never gained any.
  for (int i = 1; i < kSlots; ++i) {
    EXPECT_LE(counters[i]->calls, counters[i - 1]->calls);
  }
  const long before = counters.back()->calls;
  sig();
  EXPECT_EQ(before + 1, counters.back()->calls);
}

}  // namespace
