// ctest-labels: threading
#include "rtc_base/messagequeue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/event.h"
#include "rtc_base/nullsocketserver.h"
#include "rtc_base/timeutils.h"
#include "tests/support/fake_clock.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Counts the payloads made and deleted, so a test sees every payload deleted once.
struct Tally {
  std::atomic<int> created{0};
  std::atomic<int> deleted{0};
};

class CountedData : public MessageData {
 public:
  explicit CountedData(Tally* tally, int value = 0) : tally_(tally), value_(value) {
    ++tally_->created;
  }
  ~CountedData() override { ++tally_->deleted; }
  int value() const { return value_; }

 private:
  Tally* const tally_;
  const int value_;
};

// Records the ids it receives and deletes the payloads, as handlers do.
class RecordingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ids_.push_back(msg->id_);
    delete msg->data_;
  }
  const std::vector<uint32_t>& ids() const { return ids_; }

 private:
  std::vector<uint32_t> ids_;
};

std::unique_ptr<MessageQueue> NewQueue() {
  return std::make_unique<MessageQueue>(std::make_unique<NullSocketServer>(), true);
}

// Hands out and dispatches everything ready now.
void DispatchReady(MessageQueue* queue) {
  Message msg;
  while (queue->Get(&msg, 0)) {
    queue->Dispatch(&msg);
  }
}

TEST(LocationTest, FormatsFunctionAtFileAndLine) {
  EXPECT_EQ("Unknown@Unknown", Location().ToString());
  EXPECT_STREQ("Unknown", Location().function_name());

  const Location here = RTC_FROM_HERE;
  const int line = __LINE__ - 1;
  EXPECT_STREQ("TestBody", here.function_name());
  EXPECT_EQ("tests/messagequeue_test.cc:" + std::to_string(line), here.file_and_line());

  Location copy;
  copy = here;
  EXPECT_EQ(here.function_name(), copy.function_name());
  EXPECT_EQ(here.file_and_line(), copy.file_and_line());

  // The text is cut to 255 characters.
  const std::string long_name(300, 'f');
  const std::string text = Location(long_name.c_str(), "x.cc:1").ToString();
  EXPECT_EQ(std::string(255, 'f'), text);
}

// One step of an ordering script.
struct Step {
  enum Kind { kPost, kDelayed, kAdvance, kDispatchReady } kind;
  int arg;  // delay or clock advance, ms
  uint32_t id;
};

struct OrderCase {
  const char* name;
  std::vector<Step> steps;
  // Ids in the order handled; 0 marks each kDispatchReady.
  std::vector<uint32_t> expected;
};

TEST(MessageQueueTest, HandsOutImmediateAndDelayedMessagesInOrder) {
  using S = Step;
  const OrderCase cases[] = {
      {"immediate messages in post order",
       {{S::kPost, 0, 1}, {S::kPost, 0, 2}, {S::kPost, 0, 3}, {S::kDispatchReady, 0, 0}},
       {1, 2, 3, 0}},
      {"equal deadlines in post order",
       {{S::kDelayed, 10, 1},
        {S::kDelayed, 10, 2},
        {S::kDelayed, 10, 3},
        {S::kAdvance, 10, 0},
        {S::kDispatchReady, 0, 0}},
       {1, 2, 3, 0}},
      {"an earlier deadline posted later comes first",
       {{S::kDelayed, 20, 1},
        {S::kDelayed, 10, 2},
        {S::kAdvance, 20, 0},
        {S::kDispatchReady, 0, 0}},
       {2, 1, 0}},
      {"immediates queued before a delayed message fell due come first",
       {{S::kDelayed, 10, 1},
        {S::kPost, 0, 2},
        {S::kAdvance, 10, 0},
        {S::kPost, 0, 3},
        {S::kDispatchReady, 0, 0}},
       {2, 3, 1, 0}},
      {"zero and negative delays go behind the queued immediates",
       {{S::kPost, 0, 1},
        {S::kDelayed, 0, 2},
        {S::kDelayed, -5, 3},
        {S::kPost, 0, 4},
        {S::kDispatchReady, 0, 0}},
       {1, 4, 3, 2, 0}},
      {"a delayed message waits for its deadline",
       {{S::kDelayed, 10, 1},
        {S::kPost, 0, 2},
        {S::kAdvance, 9, 0},
        {S::kDispatchReady, 0, 0},
        {S::kAdvance, 1, 0},
        {S::kDispatchReady, 0, 0}},
       {2, 0, 1, 0}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    zek_test::ScopedFakeClock clock(int64_t{1000} * kNumNanosecsPerMillisec);
    std::unique_ptr<MessageQueue> queue = NewQueue();
    RecordingHandler handler;
    std::vector<uint32_t> got;
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case S::kPost:
          queue->Post(RTC_FROM_HERE, &handler, step.id);
          break;
        case S::kDelayed:
          queue->PostDelayed(RTC_FROM_HERE, step.arg, &handler, step.id);
          break;
        case S::kAdvance:
          clock.AdvanceTimeMillis(step.arg);
          break;
        case S::kDispatchReady: {
          const size_t before = handler.ids().size();
          DispatchReady(queue.get());
          got.insert(got.end(), handler.ids().begin() + before, handler.ids().end());
          got.push_back(0);
          break;
        }
      }
    }
    EXPECT_EQ(c.expected, got);
  }
}

// Reaches the post counter, to post across its wrap.
class WrappingQueue : public MessageQueue {
 public:
  WrappingQueue() : MessageQueue(std::make_unique<NullSocketServer>(), true) {}
  void SetNextSequence(uint32_t sequence) {
    CritScope cs(&lock_);
    next_sequence_ = sequence;
  }
};

TEST(MessageQueueTest, SequenceTieBreakIsPlainUnsigned) {
  zek_test::ScopedFakeClock clock;
  WrappingQueue queue;
  RecordingHandler handler;
  queue.SetNextSequence(0xFFFFFFFF);
  queue.PostAt(RTC_FROM_HERE, int64_t{10}, &handler, 1);  // sequence 0xFFFFFFFF
  queue.PostAt(RTC_FROM_HERE, int64_t{10}, &handler, 2);  // sequence 0 after the wrap
  clock.AdvanceTimeMillis(10);
  DispatchReady(&queue);
  EXPECT_THAT(handler.ids(), ElementsAre(2, 1));
}

TEST(MessageQueueTest, PostAtTakesAbsoluteTimes) {
  zek_test::ScopedFakeClock clock(int64_t{500} * kNumNanosecsPerMillisec);
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  queue->PostAt(RTC_FROM_HERE, int64_t{520}, &handler, 1);
  queue->PostAt(RTC_FROM_HERE, uint32_t{510}, &handler, 2);
  EXPECT_EQ(10, queue->GetDelay());
  clock.AdvanceTimeMillis(10);
  DispatchReady(queue.get());
  EXPECT_THAT(handler.ids(), ElementsAre(2));
  clock.AdvanceTimeMillis(10);
  DispatchReady(queue.get());
  EXPECT_THAT(handler.ids(), ElementsAre(2, 1));
}

TEST(MessageQueueTest, QuitRefusesPostsButHandsOutWhatIsQueued) {
  zek_test::ScopedFakeClock clock;
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  Tally tally;
  queue->Post(RTC_FROM_HERE, &handler, 1, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 5, &handler, 2, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 50, &handler, 3, new CountedData(&tally));
  clock.AdvanceTimeMillis(5);

  queue->Quit();
  EXPECT_TRUE(queue->IsQuitting());
  EXPECT_FALSE(queue->IsProcessingMessagesForTesting());
  // Refused posts lose their payload at once.
  queue->Post(RTC_FROM_HERE, &handler, 4, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 0, &handler, 5, new CountedData(&tally));
  EXPECT_EQ(2, tally.deleted);

  // What is queued or due still comes out; then Get ends without waiting.
  Message msg;
  ASSERT_TRUE(queue->Get(&msg, 5000));
  queue->Dispatch(&msg);
  ASSERT_TRUE(queue->Get(&msg, 5000));
  queue->Dispatch(&msg);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue->Get(&msg, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_THAT(handler.ids(), ElementsAre(1, 2));

  // The message not yet due stays queued and comes out after Restart.
  queue->Restart();
  EXPECT_FALSE(queue->IsQuitting());
  queue->Post(RTC_FROM_HERE, &handler, 6, new CountedData(&tally));
  clock.AdvanceTimeMillis(45);
  DispatchReady(queue.get());
  EXPECT_THAT(handler.ids(), ElementsAre(1, 2, 6, 3));
  EXPECT_EQ(tally.created, tally.deleted);
}

TEST(MessageQueueTest, DisposeIdIsNeverHandedOut) {
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  Tally tally;
  queue->Post(RTC_FROM_HERE, &handler, kDisposeMessageId, new CountedData(&tally));
  queue->Post(RTC_FROM_HERE, &handler, 5);
  queue->Post(RTC_FROM_HERE, &handler, kDisposeMessageId, nullptr);
  DispatchReady(queue.get());
  EXPECT_THAT(handler.ids(), ElementsAre(5));
  EXPECT_EQ(1, tally.deleted);
}

// Two handlers, A and B, each with ids 1 and 2 posted now and id 3 delayed.
struct ClearCase {
  const char* name;
  bool clear_a;  // handler argument: A, or null for any
  uint32_t id;
  // What stays, as handler letter and id.
  std::vector<std::string> left;
};

TEST(MessageQueueTest, ClearRemovesByHandlerAndId) {
  const ClearCase cases[] = {
      {"null handler and any id empty the queue", false, kAnyMessageId, {}},
      {"one handler, any id", true, kAnyMessageId, {"B1", "B2", "B3"}},
      {"any handler, one id", false, 1, {"A2", "B2", "A3", "B3"}},
      {"one handler and one id", true, 2, {"A1", "B1", "B2", "A3", "B3"}},
      {"an id nobody uses", false, 9, {"A1", "B1", "A2", "B2", "A3", "B3"}},
  };
  class Named : public MessageHandler {
   public:
    Named(char name, std::vector<std::string>* log) : name_(name), log_(log) {}
    void OnMessage(Message* msg) override {
      log_->push_back(std::string(1, name_) + std::to_string(msg->id_));
      delete msg->data_;
    }

   private:
    const char name_;
    std::vector<std::string>* const log_;
  };
  for (const ClearCase& c : cases) {
    SCOPED_TRACE(c.name);
    zek_test::ScopedFakeClock clock;
    std::vector<std::string> log;
    Named a('A', &log);
    Named b('B', &log);
    Tally tally;
    std::unique_ptr<MessageQueue> queue = NewQueue();
    for (uint32_t id : {1u, 2u}) {
      queue->Post(RTC_FROM_HERE, &a, id, new CountedData(&tally));
      queue->Post(RTC_FROM_HERE, &b, id, new CountedData(&tally));
    }
    queue->PostDelayed(RTC_FROM_HERE, 10, &a, 3, new CountedData(&tally));
    queue->PostDelayed(RTC_FROM_HERE, 10, &b, 3, new CountedData(&tally));

    queue->Clear(c.clear_a ? &a : nullptr, c.id);
    EXPECT_EQ(static_cast<int>(6 - c.left.size()), tally.deleted);
    clock.AdvanceTimeMillis(10);
    DispatchReady(queue.get());
    EXPECT_EQ(c.left, log);
    EXPECT_EQ(tally.created, tally.deleted);
  }
}

TEST(MessageQueueTest, ClearIntoListKeepsOrderAndPayloads) {
  zek_test::ScopedFakeClock clock;
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  RecordingHandler other;
  Tally tally;
  queue->Post(RTC_FROM_HERE, &handler, 1, new CountedData(&tally));
  queue->Post(RTC_FROM_HERE, &other, 2, new CountedData(&tally));
  queue->Post(RTC_FROM_HERE, &handler, 3, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 30, &handler, 4, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 10, &handler, 5, new CountedData(&tally));
  queue->PostDelayed(RTC_FROM_HERE, 20, &handler, 6, new CountedData(&tally));
  queue->Post(RTC_FROM_HERE, &handler, 7, new CountedData(&tally));

  Message peeked;
  ASSERT_TRUE(queue->Peek(&peeked));
  EXPECT_EQ(1u, peeked.id_);

  MessageList removed;
  queue->Clear(&handler, kAnyMessageId, &removed);
  EXPECT_EQ(0, tally.deleted);
  std::vector<uint32_t> ids;
  for (Message& msg : removed) {
    ids.push_back(msg.id_);
    delete msg.data_;
  }
  // The peeked message, then the immediate ones in order, then the delayed ones in
  // whatever order the heap keeps them.
  ASSERT_EQ(6u, ids.size());
  EXPECT_THAT(std::vector<uint32_t>(ids.begin(), ids.begin() + 3), ElementsAre(1, 3, 7));
  EXPECT_THAT(std::vector<uint32_t>(ids.begin() + 3, ids.end()),
              ::testing::UnorderedElementsAre(4, 5, 6));

  // The peeked message is gone too: the next Get hands out what is left.
  clock.AdvanceTimeMillis(30);
  DispatchReady(queue.get());
  EXPECT_THAT(other.ids(), ElementsAre(2));
  EXPECT_TRUE(handler.ids().empty());
  EXPECT_EQ(tally.created, tally.deleted);
}

TEST(MessageQueueTest, PeekKeepsTheMessageForTheNextGet) {
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  Message msg;
  EXPECT_FALSE(queue->Peek(&msg, 0));
  queue->Post(RTC_FROM_HERE, &handler, 1);
  queue->Post(RTC_FROM_HERE, &handler, 2);
  ASSERT_TRUE(queue->Peek(&msg, 0));
  EXPECT_EQ(1u, msg.id_);
  ASSERT_TRUE(queue->Peek(&msg, 0));
  EXPECT_EQ(1u, msg.id_);
  EXPECT_EQ(0, queue->GetDelay());
  DispatchReady(queue.get());
  EXPECT_THAT(handler.ids(), ElementsAre(1, 2));
}

TEST(MessageQueueTest, GetDelayReportsTheNextDeadline) {
  zek_test::ScopedFakeClock clock;
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  EXPECT_EQ(kForeverMs, queue->GetDelay());
  queue->PostDelayed(RTC_FROM_HERE, 30, &handler, 1);
  EXPECT_EQ(30, queue->GetDelay());
  clock.AdvanceTimeMillis(40);
  EXPECT_EQ(0, queue->GetDelay());
  queue->Clear(nullptr);
  queue->Post(RTC_FROM_HERE, &handler, 2);
  EXPECT_EQ(0, queue->GetDelay());
}

TEST(MessageQueueTest, GetWaitsUntilTheNextDeadlineWithinItsBudget) {
  // Real time: the queue really sleeps in its server until the message is due.
  std::unique_ptr<MessageQueue> queue = NewQueue();
  RecordingHandler handler;
  const auto start = std::chrono::steady_clock::now();
  queue->PostDelayed(RTC_FROM_HERE, 30, &handler, 1);
  Message msg;
  EXPECT_FALSE(queue->Get(&msg, 5));
  ASSERT_TRUE(queue->Get(&msg, 5000));
  // Whole milliseconds of the clock: the deadline may fall up to one early.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
  EXPECT_EQ(1u, msg.id_);
}

TEST(MessageQueueTest, LateTimeSensitiveMessageIsLogged) {
  struct Case {
    int late_by_ms;        // after posting
    const char* expected;  // the logged delay, or null for no line
  } const cases[] = {{150, nullptr}, {151, "151"}, {160, "160"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.late_by_ms);
    zek_test::ScopedFakeClock clock(int64_t{1000} * kNumNanosecsPerMillisec);
    std::unique_ptr<MessageQueue> queue = NewQueue();
    RecordingHandler handler;
    queue->Post(RTC_FROM_HERE, &handler, 7, nullptr, true);
    clock.AdvanceTimeMillis(c.late_by_ms);
    Message msg;
    CaptureStderr();
    ASSERT_TRUE(queue->Get(&msg, 0));
    const std::string out = GetCapturedStderr();
    if (c.expected) {
      EXPECT_THAT(out, HasSubstr("): virtual bool rtc::MessageQueue::Get(rtc::Message *, int, "
                                 "bool): id: 7  delay: " +
                                 std::string(c.expected) + "ms\n"));
    } else {
      EXPECT_EQ("", out);
    }
  }
}

TEST(MessageQueueTest, SlowDispatchIsLogged) {
  // The handler moves the clock as if it had run that long.
  class Slow : public MessageHandler {
   public:
    explicit Slow(zek_test::ScopedFakeClock* clock) : clock_(clock) {}
    void OnMessage(Message* msg) override { clock_->AdvanceTimeMillis(msg->id_); }

   private:
    zek_test::ScopedFakeClock* const clock_;
  };
  struct Case {
    uint32_t took_ms;
    bool logged;
  } const cases[] = {{0, false}, {49, false}, {50, true}, {1234, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.took_ms);
    zek_test::ScopedFakeClock clock;
    std::unique_ptr<MessageQueue> queue = NewQueue();
    Slow slow(&clock);
    queue->Post(Location("Poster", "here.cc:12"), &slow, c.took_ms);
    Message msg;
    ASSERT_TRUE(queue->Get(&msg, 0));
    CaptureStderr();
    queue->Dispatch(&msg);
    const std::string out = GetCapturedStderr();
    if (c.logged) {
      EXPECT_THAT(out, HasSubstr("): Message took " + std::to_string(c.took_ms) +
                                 "ms to dispatch. Posted from: Poster@here.cc:12\n"));
    } else {
      EXPECT_EQ("", out);
    }
  }
}

TEST(MessageQueueTest, DestroyedHandlerLosesItsMessagesInEveryQueue) {
  zek_test::ScopedFakeClock clock;
  std::unique_ptr<MessageQueue> first = NewQueue();
  std::unique_ptr<MessageQueue> second = NewQueue();
  RecordingHandler survivor;
  Tally tally;
  auto doomed = std::make_unique<RecordingHandler>();
  for (MessageQueue* queue : {first.get(), second.get()}) {
    queue->Post(RTC_FROM_HERE, doomed.get(), 1, new CountedData(&tally));
    queue->PostDelayed(RTC_FROM_HERE, 10, doomed.get(), 2, new CountedData(&tally));
    queue->Post(RTC_FROM_HERE, &survivor, 3, new CountedData(&tally));
  }
  doomed.reset();
  EXPECT_EQ(4, tally.deleted);
  clock.AdvanceTimeMillis(10);
  DispatchReady(first.get());
  DispatchReady(second.get());
  EXPECT_THAT(survivor.ids(), ElementsAre(3, 3));
  EXPECT_EQ(tally.created, tally.deleted);
}

TEST(MessageQueueTest, DestroyedHandlerLosesItsMessagesOnAnotherThread) {
  std::unique_ptr<MessageQueue> queue = NewQueue();
  // Holds the queue's thread inside a handler while the test posts and destroys.
  class Blocker : public MessageHandler {
   public:
    void OnMessage(Message*) override {
      entered.Set();
      release.Wait(Event::kForever);
    }
    Event entered{false, false};
    Event release{false, false};
  };
  class Flagging : public MessageHandler {
   public:
    explicit Flagging(std::atomic<int>* handled) : handled_(handled) {}
    void OnMessage(Message* msg) override {
      ++*handled_;
      delete msg->data_;
    }

   private:
    std::atomic<int>* const handled_;
  };
  Blocker blocker;
  std::atomic<int> doomed_handled{0};
  std::atomic<int> survivor_handled{0};
  Flagging survivor(&survivor_handled);
  std::thread owner([&queue] {
    Message msg;
    while (queue->Get(&msg)) {
      queue->Dispatch(&msg);
    }
  });

  queue->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(blocker.entered.Wait(5000));
  Tally tally;
  auto doomed = std::make_unique<Flagging>(&doomed_handled);
  for (uint32_t id = 0; id < 3; ++id) {
    queue->Post(RTC_FROM_HERE, doomed.get(), id, new CountedData(&tally));
  }
  queue->PostDelayed(RTC_FROM_HERE, 0, doomed.get(), 3, new CountedData(&tally));
  queue->Post(RTC_FROM_HERE, &survivor, 0, new CountedData(&tally));
  doomed.reset();
  EXPECT_EQ(4, tally.deleted);

  blocker.release.Set();
  EXPECT_TRUE(zek_test::WaitUntil([&] { return survivor_handled == 1; }));
  queue->Quit();
  owner.join();
  EXPECT_EQ(0, doomed_handled);
  EXPECT_EQ(tally.created, tally.deleted);
}

// A payload that owns a queue and a handler, as a message may carry an object that
// has its own.
class OwningData : public MessageData {
 public:
  std::unique_ptr<MessageQueue> queue;
  std::unique_ptr<MessageHandler> handler;
};

TEST(MessageQueueTest, PayloadDestroyingQueuesAndHandlersWhenDropped) {
  std::unique_ptr<MessageQueue> main_queue = NewQueue();
  Tally tally;
  auto doomed = std::make_unique<RecordingHandler>();
  OwningData* data = new OwningData;
  data->queue = NewQueue();
  data->handler = std::make_unique<RecordingHandler>();
  // The inner handler has messages of its own in both queues.
  main_queue->Post(RTC_FROM_HERE, data->handler.get(), 1, new CountedData(&tally));
  data->queue->Post(RTC_FROM_HERE, data->handler.get(), 2, new CountedData(&tally));
  main_queue->Post(RTC_FROM_HERE, doomed.get(), 3, data);

  // Dropping the payload ends a queue and a handler in the middle of the purge.
  doomed.reset();
  EXPECT_EQ(2, tally.deleted);
  RecordingHandler survivor;
  main_queue->Post(RTC_FROM_HERE, &survivor, 4);
  DispatchReady(main_queue.get());
  EXPECT_THAT(survivor.ids(), ElementsAre(4));
}

TEST(MessageQueueTest, DestroyingTheQueueDeletesEveryPendingPayloadOnce) {
  Tally tally;
  RecordingHandler handler;
  bool destroying_signalled = false;
  class Watcher : public sigslot::has_slots<> {
   public:
    explicit Watcher(bool* flag) : flag_(flag) {}
    void OnDestroying() { *flag_ = true; }

   private:
    bool* const flag_;
  } watcher(&destroying_signalled);
  {
    std::unique_ptr<MessageQueue> queue = NewQueue();
    queue->SignalQueueDestroying.connect(&watcher, &Watcher::OnDestroying);
    queue->Post(RTC_FROM_HERE, &handler, 1, new CountedData(&tally));
    queue->Post(RTC_FROM_HERE, &handler, 2, new CountedData(&tally));
    queue->PostDelayed(RTC_FROM_HERE, 100000, &handler, 3, new CountedData(&tally));
    Message msg;
    ASSERT_TRUE(queue->Peek(&msg));
    // Dispatched payloads are the handler's; it deletes them.
    queue->Post(RTC_FROM_HERE, &handler, 4, new CountedData(&tally));
  }
  EXPECT_TRUE(destroying_signalled);
  EXPECT_TRUE(handler.ids().empty());
  EXPECT_EQ(4, tally.created);
  EXPECT_EQ(4, tally.deleted);
}

// Tears the queue down while it is still alive, as a subclass's destructor does.
class TearableQueue : public MessageQueue {
 public:
  TearableQueue() : MessageQueue(std::make_unique<NullSocketServer>(), true) {}
  void TearDown() { DoDestroy(); }
};

TEST(MessageQueueTest, TeardownRacingWithPostsLeavesNothingBehind) {
  TearableQueue queue;
  RecordingHandler handler;
  Tally tally;
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&] {
      while (!stop) {
        queue.Post(RTC_FROM_HERE, &handler, 1, new CountedData(&tally));
        queue.PostDelayed(RTC_FROM_HERE, 1000, &handler, 2, new CountedData(&tally));
      }
    });
  }
  EXPECT_TRUE(zek_test::WaitUntil([&] { return tally.created > 1000; }));
  queue.TearDown();
  stop = true;
  for (std::thread& t : posters) {
    t.join();
  }
  // Posts after the teardown were refused; everything before it was cleared.
  EXPECT_EQ(tally.created, tally.deleted);
  EXPECT_TRUE(queue.IsQuitting());
}

TEST(MessageQueueTest, PostsFromManyThreadsArriveOnceInEachPostersOrder) {
  std::unique_ptr<MessageQueue> queue = NewQueue();
  constexpr int kPosters = 4;
  constexpr int kPerPoster = 2000;
  class Collector : public MessageHandler {
   public:
    void OnMessage(Message* msg) override {
      CountedData* data = static_cast<CountedData*>(msg->data_);
      seen_[msg->id_].push_back(data->value());
      delete data;
      ++count_;
    }
    std::vector<int> seen_[kPosters];
    std::atomic<int> count_{0};
  } collector;
  Tally tally;
  std::thread owner([&] {
    Message msg;
    while (queue->Get(&msg)) {
      queue->Dispatch(&msg);
    }
  });
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        queue->Post(RTC_FROM_HERE, &collector, p, new CountedData(&tally, i));
      }
    });
  }
  for (std::thread& t : posters) {
    t.join();
  }
  EXPECT_TRUE(zek_test::WaitUntil([&] { return collector.count_ == kPosters * kPerPoster; }));
  queue->Quit();
  owner.join();
  std::vector<int> expected(kPerPoster);
  for (int i = 0; i < kPerPoster; ++i) {
    expected[i] = i;
  }
  for (int p = 0; p < kPosters; ++p) {
    EXPECT_THAT(collector.seen_[p], ElementsAreArray(expected));
  }
  EXPECT_EQ(tally.created, tally.deleted);
}

}  // namespace
}  // namespace rtc
