// ctest-labels: threading
#include "src/kcp/zek_kcp_client.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/sigslot.h"
#include "src/utilities/message.h"
#include "tests/support/fake_clock.h"
#include "tests/support/kcp_wire.h"

namespace {

using tavix::im::ZekKcpClient;
using zek_test::KcpSegment;

constexpr unsigned int kConv = 0x01020304;
constexpr unsigned short kTag = 0x2A2B;
// Enough polls for any exchange of these tests over a link that loses nothing.
constexpr int kTickLimit = 5000;

template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
  return os << c.name;
}

// An exactly sized heap copy, so that a read past its end shows under the address
// sanitizer.
std::unique_ptr<char[]> HeapCopy(const std::string& bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size()]);
  memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

// Carries each datagram of one client to the other's input.
class Wire : public sigslot::has_slots<> {
 public:
  Wire(ZekKcpClient* from, ZekKcpClient* to) : to_(to) {
    from->SignalDataToNet.connect(this, &Wire::OnData);
  }
  int datagrams() const { return datagrams_; }

 private:
  void OnData(const char* data, int len) {
    datagrams_++;
    std::unique_ptr<char[]> copy = HeapCopy(std::string(data, static_cast<size_t>(len)));
    EXPECT_TRUE(to_->NetInputDataToKcp(copy.get(), len));
  }

  ZekKcpClient* const to_;
  int datagrams_ = 0;
};

class Inbox : public sigslot::has_slots<> {
 public:
  explicit Inbox(ZekKcpClient* client) { client->SignalDataToUser.connect(this, &Inbox::OnData); }
  std::vector<std::string> messages;

 private:
  void OnData(const char* data, int len) { messages.emplace_back(data, static_cast<size_t>(len)); }
};

// Two clients of one conversation joined through their datagram signals, on a clock
// that moves only by the ticks the test drives; the test thread plays the worker.
class KcpClientPair : public ::testing::Test {
 protected:
  void Tick() {
    clock_.AdvanceTimeMillis(10);
    a_.Update();
    b_.Update();
  }
  // Ticks until `count` messages have reached b; false if the tick limit ran out.
  bool TickUntilReceived(size_t count) {
    for (int i = 0; i < kTickLimit && at_b_.messages.size() < count; i++)
      Tick();
    return at_b_.messages.size() >= count;
  }

  zek_test::ScopedFakeClock clock_{int64_t{1000} * rtc::kNumNanosecsPerSec};
  ZekKcpClient a_{kConv, kTag};
  ZekKcpClient b_{kConv, kTag};
  Wire a_to_b_{&a_, &b_};
  Wire b_to_a_{&b_, &a_};
  Inbox at_b_{&b_};
};

TEST(KcpClientTest, SetsUpTheEngineForLowLatency) {
  ZekKcpClient client(kConv, kTag);
  const IKCPCB* kcp = client.kcp();
  ASSERT_NE(kcp, nullptr);
  EXPECT_EQ(kcp->conv, kConv);
  EXPECT_EQ(kcp->tag, kTag);
  EXPECT_EQ(kcp->user, &client);
  EXPECT_NE(kcp->output, nullptr);
  EXPECT_EQ(kcp->nodelay, 1u);
  EXPECT_EQ(kcp->min_rto, static_cast<int32_t>(kKcpRtoNoDelay));
  EXPECT_EQ(kcp->interval, 10u);  // 2 asked for, raised to the engine's minimum
  EXPECT_EQ(kcp->fast_resend, 1);
  EXPECT_EQ(kcp->no_cwnd, 1);
  EXPECT_EQ(client.recv_buffer_size(), ZekKcpClient::kInitialRecvBufferSize);
}

TEST_F(KcpClientPair, MessagesQueuedBetweenPollsGoOutInPushOrderAtTheNextPoll) {
  std::string buffer = "first";
  ASSERT_TRUE(a_.UserInputDataToKcp(buffer.data(), static_cast<int>(buffer.size())));
  // The queue holds its own copy: the caller's buffer may change at once.
  buffer.assign("XXXXX");
  ASSERT_TRUE(a_.UserInputDataToKcp("", 0));
  // Bytes go out as they are, zero bytes and all: the connection's own messages
  // (the server's close code, for one) carry them.
  const std::string binary("\x04\x00\x00\x1f\x42", 5);
  ASSERT_TRUE(a_.UserInputDataToKcp(binary.data(), static_cast<int>(binary.size())));
  EXPECT_EQ(a_to_b_.datagrams(), 0) << "nothing may leave before the poll";

  Tick();
  EXPECT_GT(a_to_b_.datagrams(), 0);
  EXPECT_EQ(at_b_.messages, (std::vector<std::string>{"first", "", binary}));
}

TEST_F(KcpClientPair, ATextFieldEndsAtItsFirstZeroByte) {
  // The cut belongs to the text field that the connection writes, not to the client:
  // the client delivers the message's bytes whole and the field inside ends at "ab".
  const std::string data("ab\0cd", 5);
  mavel::msg_packet_out out;
  out << static_cast<unsigned char>(2) << data;
  ASSERT_FALSE(out.Failed());
  ASSERT_TRUE(a_.UserInputDataToKcp(out.GetData(), out.GetSize()));
  ASSERT_TRUE(TickUntilReceived(1));

  const std::string& got = at_b_.messages[0];
  EXPECT_EQ(got, std::string(out.GetData(), static_cast<size_t>(out.GetSize())));
  mavel::msg_packet_in in(got.data(), static_cast<int>(got.size()));
  unsigned char type = 0;
  std::string text;
  in >> type >> text;
  EXPECT_FALSE(in.Failed());
  EXPECT_EQ(type, 2);
  EXPECT_EQ(text, "ab");
}

struct SendersCase {
  const char* name;
  int threads;
  int per_thread;
};

class KcpClientSenders : public KcpClientPair, public ::testing::WithParamInterface<SendersCase> {};

// Message `index` of sender `sender`: a head that names it and a body of up to two
// fragments that depends on both, so a mixed-up or damaged message shows.
std::string SenderMessage(int sender, int index) {
  std::string text = std::to_string(sender) + ":" + std::to_string(index) + ":";
  text.append(static_cast<size_t>(index % 7) * 300, static_cast<char>('a' + (sender + index) % 26));
  return text;
}

TEST_P(KcpClientSenders, EveryMessageArrivesInEachSendersOrder) {
  const SendersCase& c = GetParam();
  const size_t total = static_cast<size_t>(c.threads * c.per_thread);
  std::atomic<int> refused{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < c.threads; t++) {
    senders.emplace_back([this, t, &c, &refused, &finished] {
      for (int i = 0; i < c.per_thread; i++) {
        const std::string text = SenderMessage(t, i);
        if (!a_.UserInputDataToKcp(text.data(), static_cast<int>(text.size())))
          refused++;
      }
      finished++;
    });
  }
  // The polls run while the senders push: the queue is drained under their feet.
  while (finished.load() < c.threads)
    Tick();
  const bool all_arrived = TickUntilReceived(total);
  for (std::thread& t : senders)
    t.join();
  ASSERT_TRUE(all_arrived) << at_b_.messages.size() << " of " << total;
  EXPECT_EQ(refused.load(), 0);

  std::vector<int> next(static_cast<size_t>(c.threads), 0);
  for (const std::string& m : at_b_.messages) {
    const int sender = atoi(m.c_str());
    ASSERT_GE(sender, 0);
    ASSERT_LT(sender, c.threads);
    int& expected = next[static_cast<size_t>(sender)];
    ASSERT_EQ(m, SenderMessage(sender, expected)) << "out of order or damaged";
    expected++;
  }
  for (int n : next)
    EXPECT_EQ(n, c.per_thread);
  EXPECT_EQ(at_b_.messages.size(), total);
}

INSTANTIATE_TEST_SUITE_P(,
                         KcpClientSenders,
                         ::testing::Values(SendersCase{"OneThread", 1, 600},
                                           SendersCase{"FourThreads", 4, 300}),
                         [](const ::testing::TestParamInfo<SendersCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(KcpClientPair, TheReceiveBufferGrowsToTheMessageThatDoesNotFitAndNeverShrinks) {
  struct Step {
    int size;
    int buffer_after;
  };
  const Step steps[] = {
      {ZekKcpClient::kInitialRecvBufferSize, ZekKcpClient::kInitialRecvBufferSize},
      {20000, 20000},
      {15000, 20000},
      {30, 20000},
      {25001, 25001},
  };
  size_t received = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.size);
    std::string message(static_cast<size_t>(step.size), '\0');
    for (size_t i = 0; i < message.size(); i++)
      message[i] = static_cast<char>(i * 31 + static_cast<size_t>(step.size));
    ASSERT_TRUE(a_.UserInputDataToKcp(message.data(), step.size));
    // Each tick hands out everything that became complete, so the message is whole at
    // the first tick that delivers anything.
    for (int i = 0; i < kTickLimit && at_b_.messages.size() == received; i++)
      Tick();
    received++;
    ASSERT_EQ(at_b_.messages.size(), received);
    EXPECT_TRUE(at_b_.messages.back() == message);
    EXPECT_EQ(b_.recv_buffer_size(), step.buffer_after);
  }
}

struct UserInputCase {
  const char* name;
  bool null_data;
  int len;
  bool accepted;
};

TEST_F(KcpClientPair, RefusesWhatTheEngineCouldNeverSendAndCarriesTheRest) {
  const UserInputCase cases[] = {
      {"negative length", false, -1, false},
      {"null data with a length", true, 5, false},
      {"one byte over the largest message", false, ZekKcpClient::kMaxMessageSize + 1, false},
      {"null data, empty", true, 0, true},
      {"the largest message", false, ZekKcpClient::kMaxMessageSize, true},
  };
  const std::string big(static_cast<size_t>(ZekKcpClient::kMaxMessageSize) + 1, 'z');
  for (const UserInputCase& c : cases) {
    SCOPED_TRACE(c.name);
    at_b_.messages.clear();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(a_.UserInputDataToKcp(c.null_data ? nullptr : big.data(), c.len), c.accepted);
    // A refused message must not stand in the queue; a good one behind it still flows.
    ASSERT_TRUE(a_.UserInputDataToKcp("next", 4));
    ASSERT_TRUE(TickUntilReceived(c.accepted ? 2 : 1));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    std::vector<std::string> expected;
    if (c.accepted)
      expected.push_back(big.substr(0, static_cast<size_t>(c.len)));
    expected.push_back("next");
    EXPECT_TRUE(at_b_.messages == expected) << at_b_.messages.size() << " messages";
  }
}

struct DatagramCase {
  const char* name;
  std::string bytes;
  bool accepted;
};

TEST_F(KcpClientPair, MalformedDatagramsAreRefusedWithoutReadingPastThem) {
  const std::string good = KcpSegment(kTag, kConv, kKcpCmdPush, 500, 2, "hi");
  const DatagramCase cases[] = {
      {"empty", "", false},
      {"one byte", "x", false},
      {"a header short by one byte", good.substr(0, kKcpHeaderSize - 1), false},
      {"another tag", KcpSegment(kTag + 1, kConv, kKcpCmdPush, 0, 2, "hi"), false},
      {"another conversation", KcpSegment(kTag, kConv + 1, kKcpCmdPush, 0, 2, "hi"), false},
      {"a length past the end", KcpSegment(kTag, kConv, kKcpCmdPush, 0, 100, "hi"), false},
      {"the largest length", KcpSegment(kTag, kConv, kKcpCmdPush, 0, 0xFFFFFFFF, "hi"), false},
      {"an unknown command", KcpSegment(kTag, kConv, 99, 0, 0, ""), false},
      {"a good segment, then a length past the end",
       good + KcpSegment(kTag, kConv, kKcpCmdPush, 501, 7, "abc"), false},
      {"a well-formed window ask", KcpSegment(kTag, kConv, kKcpCmdWindowAsk, 0, 0, ""), true},
  };
  for (const DatagramCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<char[]> heap = HeapCopy(c.bytes);
    EXPECT_EQ(b_.NetInputDataToKcp(heap.get(), static_cast<int>(c.bytes.size())), c.accepted);
    Tick();
    EXPECT_TRUE(at_b_.messages.empty());
  }
  EXPECT_FALSE(b_.NetInputDataToKcp(nullptr, 26));
  EXPECT_FALSE(b_.NetInputDataToKcp(good.data(), -1));

  // The conversation goes on as if nothing had come.
  ASSERT_TRUE(a_.UserInputDataToKcp("still here", 10));
  ASSERT_TRUE(TickUntilReceived(1));
  EXPECT_EQ(at_b_.messages, std::vector<std::string>{"still here"});
}

void* FailingAllocate(size_t) {
  return nullptr;
}

// Makes every engine allocation fail while it lives; blocks made before are still
// freed the ordinary way.
class ScopedEngineAllocationFailure {
 public:
  ScopedEngineAllocationFailure() { ikcp_allocator(&FailingAllocate, &free); }
  ~ScopedEngineAllocationFailure() { ikcp_allocator(nullptr, nullptr); }
};

TEST_F(KcpClientPair, AMessageTheEngineRefusesIsReportedOnStandardErrorAndDropped) {
  ASSERT_TRUE(a_.UserInputDataToKcp("lost", 4));
  ::testing::internal::CaptureStderr();
  {
    ScopedEngineAllocationFailure failure;
    a_.Update();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kcp send error : -2\n");
  ASSERT_TRUE(a_.UserInputDataToKcp("kept", 4));
  ASSERT_TRUE(TickUntilReceived(1));
  for (int i = 0; i < 10; i++)
    Tick();
  EXPECT_EQ(at_b_.messages, std::vector<std::string>{"kept"});
}

TEST(KcpClientTest, WithoutAnEngineNothingIsQueuedOrTouched) {
  std::unique_ptr<ZekKcpClient> client;
  {
    ScopedEngineAllocationFailure failure;
    client.reset(new ZekKcpClient(kConv, kTag));
  }
  EXPECT_EQ(client->kcp(), nullptr);
  Inbox inbox(client.get());
  int datagrams = 0;
  struct Counter : sigslot::has_slots<> {
    int* count;
    void On(const char*, int) { (*count)++; }
  } counter;
  counter.count = &datagrams;
  client->SignalDataToNet.connect(&counter, &Counter::On);

  EXPECT_FALSE(client->UserInputDataToKcp("x", 1));
  const std::string segment = KcpSegment(kTag, kConv, kKcpCmdPush, 0, 1, "x");
  EXPECT_FALSE(client->NetInputDataToKcp(segment.data(), static_cast<int>(segment.size())));
  client->Update();
  EXPECT_EQ(datagrams, 0);
  EXPECT_TRUE(inbox.messages.empty());
}

TEST(KcpClientTest, DestroyingAClientReleasesTheMessagesStillQueued) {
  // The leak checker of the address-sanitizer build fails this test if a copy stays.
  auto client = std::make_unique<ZekKcpClient>(kConv, kTag);
  const std::string text(3000, 'q');
  for (int i = 0; i < 3; i++)
    ASSERT_TRUE(client->UserInputDataToKcp(text.data(), static_cast<int>(text.size())));
  client.reset();
}

}  // namespace
