#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "src/kcp/zek_ikcp.h"
#include "tests/support/kcp_link.h"

namespace {

constexpr uint32_t kConv = 7;
constexpr uint16_t kTag = 0x0102;
constexpr uint32_t kMss = kKcpMtuDefault - kKcpHeaderSize;  // 1374
constexpr int kLargestMessage = 127 * static_cast<int>(kMss);

// Cases of the parameterised tests print as their names.
template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
  return os << c.name;
}

// One segment as the test reads and writes it, independently of the engine's coder.
struct Segment {
  uint16_t tag = kTag;
  uint32_t conv = kConv;
  uint8_t cmd = kKcpCmdPush;
  uint8_t frag = 0;
  uint16_t window = 128;
  uint32_t ts = 0;
  uint32_t sn = 0;
  uint32_t recv_next = 0;
  uint32_t len = 0;  // written as given, so a test can lie about it
  std::string data;
};

void Put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v));
}
void Put32(std::string* out, uint32_t v) {
  Put16(out, v >> 16);
  Put16(out, v);
}
uint32_t Get(const std::string& in, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; i++)
    v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

std::string Encode(const Segment& s) {
  std::string out;
  Put16(&out, s.tag);
  Put32(&out, s.conv);
  out.push_back(static_cast<char>(s.cmd));
  out.push_back(static_cast<char>(s.frag));
  Put16(&out, s.window);
  Put32(&out, s.ts);
  Put32(&out, s.sn);
  Put32(&out, s.recv_next);
  Put32(&out, s.len);
  return out + s.data;
}

// A data segment whose len matches its payload.
Segment Data(uint32_t sn, std::string data, uint8_t frag = 0) {
  Segment s;
  s.sn = sn;
  s.frag = frag;
  s.len = static_cast<uint32_t>(data.size());
  s.data = std::move(data);
  return s;
}

Segment Control(uint8_t cmd, uint32_t sn = 0, uint32_t ts = 0) {
  Segment s;
  s.cmd = cmd;
  s.sn = sn;
  s.ts = ts;
  return s;
}

std::vector<Segment> Parse(const std::string& datagram) {
  std::vector<Segment> out;
  size_t at = 0;
  while (at + kKcpHeaderSize <= datagram.size()) {
    Segment s;
    s.tag = static_cast<uint16_t>(Get(datagram, at, 2));
    s.conv = Get(datagram, at + 2, 4);
    s.cmd = static_cast<uint8_t>(Get(datagram, at + 6, 1));
    s.frag = static_cast<uint8_t>(Get(datagram, at + 7, 1));
    s.window = static_cast<uint16_t>(Get(datagram, at + 8, 2));
    s.ts = Get(datagram, at + 10, 4);
    s.sn = Get(datagram, at + 14, 4);
    s.recv_next = Get(datagram, at + 18, 4);
    s.len = Get(datagram, at + 22, 4);
    at += kKcpHeaderSize;
    EXPECT_LE(at + s.len, datagram.size());
    s.data = datagram.substr(at, s.len);
    at += s.len;
    out.push_back(s);
  }
  EXPECT_EQ(at, datagram.size()) << "trailing bytes in an emitted datagram";
  return out;
}

// Records every datagram an engine hands to its output hook.
struct Capture {
  std::vector<std::string> datagrams;

  static int Hook(const char* data, int length, IKCPCB* /*kcp*/, void* user) {
    static_cast<Capture*>(user)->datagrams.emplace_back(data, static_cast<size_t>(length));
    return 0;
  }
  std::vector<Segment> Segments() const {
    std::vector<Segment> all;
    for (const std::string& d : datagrams) {
      for (const Segment& s : Parse(d))
        all.push_back(s);
    }
    return all;
  }
  std::vector<Segment> Take() {
    std::vector<Segment> all = Segments();
    datagrams.clear();
    return all;
  }
};

struct EngineRelease {
  void operator()(IKCPCB* kcp) const { ikcp_release(kcp); }
};
using Engine = std::unique_ptr<IKCPCB, EngineRelease>;

Engine MakeEngine(Capture* capture = nullptr) {
  Engine kcp(ikcp_create(kConv, kTag, capture));
  if (kcp && capture)
    kcp->output = &Capture::Hook;
  return kcp;
}

// Hands a datagram to the engine from an exactly sized heap block, so that any read past
// its end is caught by the address sanitizer.
int Feed(IKCPCB* kcp, const std::string& bytes) {
  std::unique_ptr<char[]> block(new char[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  return ikcp_input(kcp, block.get(), static_cast<long>(bytes.size()));
}

int Feed(IKCPCB* kcp, const Segment& s) {
  return Feed(kcp, Encode(s));
}

uint32_t Stored(const IKCPCB* kcp) {
  return kcp->recv_buf_count + kcp->recv_queue_count;
}

IKCPSEG* FirstInFlight(IKCPCB* kcp) {
  return kcp->send_buf.next == &kcp->send_buf ? nullptr
                                              : reinterpret_cast<IKCPSEG*>(kcp->send_buf.next);
}

std::vector<const IKCPSEG*> Queued(const IKCPCB* kcp) {
  std::vector<const IKCPSEG*> out;
  for (const IQUEUEHEAD* p = kcp->send_queue.next; p != &kcp->send_queue; p = p->next)
    out.push_back(reinterpret_cast<const IKCPSEG*>(p));
  return out;
}

std::string Pattern(size_t size, uint64_t seed) {
  std::string s(size, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < size; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = static_cast<char>(x);
  }
  return s;
}

std::string Take(IKCPCB* kcp) {
  const int size = ikcp_peeksize(kcp);
  if (size < 0)
    return "<none>";
  std::string out(static_cast<size_t>(size), '\0');
  EXPECT_EQ(ikcp_recv(kcp, &out[0], size), size);
  return out;
}

// --- Delivery through a lossy, reordering, duplicating link ---

struct DeliveryCase {
  const char* name;
  bool client_settings;  // what the KCP client sets: ikcp_nodelay(kcp, 1, 2, 1, 1)
  double loss;
  double duplicate;
  uint32_t start_clock;
  uint32_t start_sn;
  uint64_t seed;
};

class KcpDelivery : public ::testing::TestWithParam<DeliveryCase> {};

// Sizes from empty to the largest message (127 full fragments), the edges of one and two
// segments, the client's text limit and a few drawn at random.
std::vector<std::string> MakeMessages(uint64_t seed) {
  std::vector<int> sizes = {1,
                            0,
                            2,
                            25,
                            26,
                            27,
                            kMss - 1,
                            kMss,
                            kMss + 1,
                            1496,
                            1500,
                            2 * kMss,
                            10000,
                            10241,
                            126 * kMss + 1,
                            kLargestMessage - 1,
                            kLargestMessage};
  uint64_t x = seed;
  for (int i = 0; i < 12; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const int limit = i % 3 == 0 ? kLargestMessage : 3000;
    sizes.insert(sizes.begin() + static_cast<long>((x >> 20) % sizes.size()),
                 1 + static_cast<int>((x >> 33) % static_cast<uint64_t>(limit)));
  }
  std::vector<std::string> messages;
  for (size_t i = 0; i < sizes.size(); i++)
    messages.push_back(Pattern(static_cast<size_t>(sizes[i]), seed * 1000 + i));
  return messages;
}

// Compares without printing hundreds of kilobytes on a mismatch.
void ExpectSameMessages(const std::vector<std::string>& sent,
                        const std::vector<std::string>& got,
                        const char* direction) {
  ASSERT_EQ(got.size(), sent.size()) << direction;
  for (size_t i = 0; i < sent.size(); i++) {
    ASSERT_EQ(got[i].size(), sent[i].size()) << direction << " message " << i;
    ASSERT_TRUE(got[i] == sent[i]) << direction << " message " << i << " differs";
  }
}

void RunDelivery(const DeliveryCase& c, uint64_t seed) {
  zek_test::KcpLinkConfig config;
  config.loss = c.loss;
  config.duplicate = c.duplicate;
  config.min_delay_ms = 5;
  config.max_delay_ms = 40;  // the spread reorders datagrams
  config.seed = seed;
  zek_test::KcpLink link(kConv, kTag, config, c.start_clock);

  std::vector<std::string> sent[2] = {MakeMessages(seed * 2 + 1), MakeMessages(seed * 2 + 2)};
  for (int side = 0; side < 2; side++) {
    IKCPCB* kcp = link.engine(side);
    if (c.client_settings)
      ikcp_nodelay(kcp, 1, 2, 1, 1);
    kcp->send_next = kcp->send_unacked = kcp->recv_next = c.start_sn;
    for (const std::string& m : sent[side])
      ASSERT_EQ(ikcp_send(kcp, m.data(), static_cast<int>(m.size())), 0);
  }

  std::vector<std::string> got[2];
  auto done = [&] {
    return got[0].size() == sent[1].size() && got[1].size() == sent[0].size() &&
           ikcp_waitsnd(link.engine(0)) == 0 && ikcp_waitsnd(link.engine(1)) == 0;
  };
  const uint64_t limit_ms = 3600 * 1000;
  while (!done() && link.elapsed_ms() < limit_ms) {
    link.Step();
    for (int side = 0; side < 2; side++) {
      for (std::string& m : link.Receive(side))
        got[side].push_back(std::move(m));
    }
  }
  ASSERT_TRUE(done()) << "stalled after " << link.elapsed_ms() << " simulated ms";
  ExpectSameMessages(sent[0], got[1], "side 0 to side 1");
  ExpectSameMessages(sent[1], got[0], "side 1 to side 0");
  EXPECT_LE(link.largest_datagram(), kKcpMtuDefault);
  if (c.loss > 0) {
    EXPECT_GT(link.datagrams_dropped(), 0u);
  }
  if (c.duplicate > 0) {
    EXPECT_GT(link.datagrams_duplicated(), 0u);
  }
}

TEST_P(KcpDelivery, EveryMessageArrivesWholeAndInOrderBothWays) {
  // A few loss patterns for each setting.
  for (uint64_t seed = GetParam().seed; seed < GetParam().seed + 300; seed += 100) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    RunDelivery(GetParam(), seed);
    if (HasFatalFailure())
      return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Link,
    KcpDelivery,
    ::testing::Values(
        DeliveryCase{"ClientNoLoss", true, 0.0, 0.05, 1000, 0, 11},
        DeliveryCase{"ClientLoss25", true, 0.25, 0.05, 1000, 0, 12},
        DeliveryCase{"DefaultNoLoss", false, 0.0, 0.05, 1000, 0, 13},
        DeliveryCase{"DefaultLoss25", false, 0.25, 0.05, 1000, 0, 14},
        // The 32-bit clock and the sequence numbers both wrap during the transfer.
        DeliveryCase{"ClientLoss20Wrapping", true, 0.20, 0.05, 0xFFFFF000u, 0xFFFFFF80u, 15},
        DeliveryCase{"DefaultLoss20Wrapping", false, 0.20, 0.05, 0xFFFFF000u, 0xFFFFFF80u, 16}),
    [](const ::testing::TestParamInfo<DeliveryCase>& info) { return info.param.name; });

// --- Wire format ---

TEST(KcpWire, DataAndAckSegmentsAreTheBigEndianHeader) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  ASSERT_EQ(ikcp_setmtu(kcp.get(), 50), 0);  // mss 24: a 30-byte message takes two
  kcp->no_cwnd = 1;
  kcp->send_next = kcp->send_unacked = 0x0A0B0C0D;
  kcp->recv_next = 0x11121314;
  const std::string message = Pattern(30, 1);
  ASSERT_EQ(ikcp_send(kcp.get(), message.data(), 30), 0);
  ikcp_update(kcp.get(), 0x01020304);

  ASSERT_EQ(out.datagrams.size(), 2u);      // 26 + 24 bytes fill one 50-byte datagram
  const std::string header1 = {0x01, 0x02,  // tag
                               0x00, 0x00,
                               0x00, 0x07,                     // conv
                               0x51,                           // cmd 81
                               0x01,                           // frag: one more follows
                               0x00, static_cast<char>(0x80),  // window 128
                               0x01, 0x02,
                               0x03, 0x04,  // ts
                               0x0A, 0x0B,
                               0x0C, 0x0D,  // sn
                               0x11, 0x12,
                               0x13, 0x14,  // recv_next
                               0x00, 0x00,
                               0x00, 0x18};  // len 24
  EXPECT_EQ(out.datagrams[0], header1 + message.substr(0, 24));
  const std::string header2 = {
      0x01, 0x02, 0x00, 0x00, 0x00, 0x07, 0x51, 0x00, 0x00, static_cast<char>(0x80),
      0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0E, 0x11, 0x12,
      0x13, 0x14, 0x00, 0x00, 0x00, 0x06};
  EXPECT_EQ(out.datagrams[1], header2 + message.substr(24));
  // The conversation id lies after the 16-bit tag.
  EXPECT_EQ(ikcp_getconv(out.datagrams[0].data()), kConv);

  // An acknowledgement: the data segment's sn and ts, no data, the free window.
  out.datagrams.clear();
  Segment in = Data(0x11121314, "x");
  in.ts = 0xA1B2C3D4;
  ASSERT_EQ(Feed(kcp.get(), in), 0);
  ikcp_update(kcp.get(), 0x01020304 + 100);
  ASSERT_EQ(out.datagrams.size(), 1u);
  const std::string ack = {0x01,
                           0x02,
                           0x00,
                           0x00,
                           0x00,
                           0x07,
                           0x52,
                           0x00,
                           0x00,
                           0x7F,
                           static_cast<char>(0xA1),
                           static_cast<char>(0xB2),
                           static_cast<char>(0xC3),
                           static_cast<char>(0xD4),
                           0x11,
                           0x12,
                           0x13,
                           0x14,
                           0x11,
                           0x12,
                           0x13,
                           0x15,
                           0x00,
                           0x00,
                           0x00,
                           0x00};
  EXPECT_EQ(out.datagrams[0], ack);
}

TEST(KcpWire, WindowAboveSixteenBitsIsAnnouncedAsTheLargest) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_wndsize(kcp.get(), 0, 65536 + 5);
  kcp->no_cwnd = 1;
  ASSERT_EQ(ikcp_send(kcp.get(), "a", 1), 0);
  ikcp_update(kcp.get(), 0);
  const std::vector<Segment> segs = out.Segments();
  ASSERT_EQ(segs.size(), 1u);
  EXPECT_EQ(segs[0].window, 0xFFFF);
}

TEST(KcpWire, ManySmallSegmentsShareDatagramsUpToTheMtu) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_wndsize(kcp.get(), 128, 0);
  kcp->no_cwnd = 1;
  for (int i = 0; i < 100; i++)
    ASSERT_EQ(ikcp_send(kcp.get(), "0123456789", 10), 0);
  ikcp_update(kcp.get(), 0);
  // 36 bytes a segment: 38 fit into 1400 bytes.
  ASSERT_EQ(out.datagrams.size(), 3u);
  EXPECT_EQ(out.datagrams[0].size(), 38u * 36);
  EXPECT_EQ(out.datagrams[1].size(), 38u * 36);
  EXPECT_EQ(out.datagrams[2].size(), 24u * 36);
}

// --- Refused and malformed datagrams (also run under ASan) ---

struct InputCase {
  const char* name;
  std::function<std::string()> bytes;
  int result;
  uint32_t stored;  // data segments kept
  uint32_t acks;    // acknowledgements queued
  uint32_t remote_window;
};

class KcpInputRefusal : public ::testing::TestWithParam<InputCase> {};

TEST_P(KcpInputRefusal, NeverReadsPastTheDatagram) {
  const InputCase& c = GetParam();
  Engine kcp = MakeEngine();
  const int result = Feed(kcp.get(), c.bytes());
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(Stored(kcp.get()), c.stored);
  EXPECT_EQ(kcp->ack_count, c.acks);
  EXPECT_EQ(kcp->remote_window, c.remote_window);
}

Segment WithWindow(Segment s, uint16_t window) {
  s.window = window;
  return s;
}

std::string Header(Segment s) {
  return Encode(s).substr(0, kKcpHeaderSize);
}

const InputCase kInputCases[] = {
    {"Empty", [] { return std::string(); }, -1, 0, 0, 128},
    {"TwentyFiveBytes", [] { return Encode(Data(0, "")).substr(0, 25); }, -1, 0, 0, 128},
    {"WrongTag",
     [] {
       Segment s = WithWindow(Data(0, "ab"), 9);
       s.tag = 0x0103;
       return Encode(s);
     },
     -1, 0, 0, 128},
    {"WrongConv",
     [] {
       Segment s = WithWindow(Data(0, "ab"), 9);
       s.conv = 8;
       return Encode(s);
     },
     -1, 0, 0, 128},
    {"LenOnePastTheEnd",
     [] {
       Segment s = WithWindow(Data(0, "abc"), 9);
       s.len = 4;
       return Encode(s);
     },
     -2, 0, 0, 128},
    {"LenWithoutData",
     [] {
       Segment s = WithWindow(Data(0, ""), 9);
       s.len = 1;
       return Encode(s);
     },
     -2, 0, 0, 128},
    {"LenTwoToThe31",
     [] {
       Segment s = WithWindow(Data(0, "abc"), 9);
       s.len = 0x80000000u;
       return Encode(s);
     },
     -2, 0, 0, 128},
    {"LenAllOnes",
     [] {
       Segment s = WithWindow(Data(0, "abc"), 9);
       s.len = 0xFFFFFFFFu;
       return Encode(s);
     },
     -2, 0, 0, 128},
    {"Cmd80", [] { return Encode(WithWindow(Control(80), 9)); }, -3, 0, 0, 128},
    {"Cmd85", [] { return Encode(WithWindow(Control(85), 9)); }, -3, 0, 0, 128},
    {"Cmd0", [] { return Encode(WithWindow(Control(0), 9)); }, -3, 0, 0, 128},
    // The segments before a refused one keep their effects.
    {"SecondSegmentOtherTag",
     [] {
       Segment bad = Data(1, "cd");
       bad.tag = 0x0201;
       return Encode(WithWindow(Data(0, "ab"), 9)) + Encode(WithWindow(bad, 3));
     },
     -1, 1, 1, 9},
    {"SecondSegmentLenPastTheEnd",
     [] {
       Segment bad = Data(1, "cd");
       bad.len = 3;
       return Encode(WithWindow(Data(0, "ab"), 9)) + Encode(WithWindow(bad, 3));
     },
     -2, 1, 1, 9},
    {"SecondSegmentUnknownCmd",
     [] { return Encode(WithWindow(Data(0, "ab"), 9)) + Header(WithWindow(Control(90), 3)); }, -3,
     1, 1, 9},
    // Fewer than 26 bytes after a segment are not a segment and are left alone.
    {"TrailingPartialHeader",
     [] { return Encode(WithWindow(Data(0, "ab"), 9)) + Header(Data(1, "")).substr(0, 25); }, 0, 1,
     1, 9},
    {"TwoGoodSegments",
     [] { return Encode(WithWindow(Data(0, "ab"), 9)) + Encode(WithWindow(Data(1, "c"), 4)); }, 0,
     2, 2, 4},
};

INSTANTIATE_TEST_SUITE_P(Malformed,
                         KcpInputRefusal,
                         ::testing::ValuesIn(kInputCases),
                         [](const ::testing::TestParamInfo<InputCase>& info) {
                           return info.param.name;
                         });

TEST(KcpInput, NullOrNegativeSizeIsRefused) {
  Engine kcp = MakeEngine();
  EXPECT_EQ(ikcp_input(kcp.get(), nullptr, 100), -1);
  const std::string good = Encode(Data(0, "ab"));
  EXPECT_EQ(ikcp_input(kcp.get(), good.data(), -1), -1);
  EXPECT_EQ(ikcp_input(kcp.get(), good.data(), LONG_MIN), -1);
  EXPECT_EQ(Stored(kcp.get()), 0u);
}

// --- Sending ---

struct SendCase {
  const char* name;
  bool stream;
  std::vector<int> lengths;  // one ikcp_send each
  std::vector<int> results;
  std::vector<uint32_t> segment_lens;  // send_queue afterwards
  std::vector<uint32_t> frags;
};

class KcpSend : public ::testing::TestWithParam<SendCase> {};

TEST_P(KcpSend, QueuesTheFragments) {
  const SendCase& c = GetParam();
  Engine kcp = MakeEngine();
  kcp->stream_mode = c.stream ? 1 : 0;
  std::string accepted;
  for (size_t i = 0; i < c.lengths.size(); i++) {
    const int len = c.lengths[i];
    const size_t have = len > 0 && len <= kLargestMessage + 1 ? static_cast<size_t>(len) : 0;
    const std::string data = Pattern(have, i + 1);
    // Lengths beyond what is allocated here are refused before any byte is read.
    EXPECT_EQ(ikcp_send(kcp.get(), data.data(), len), c.results[i]) << "send " << i;
    if (c.results[i] == 0)
      accepted += data;
  }
  std::vector<uint32_t> lens, frags;
  std::string queued;
  for (const IKCPSEG* seg : Queued(kcp.get())) {
    lens.push_back(seg->len);
    frags.push_back(seg->frag);
    queued.append(seg->data, seg->len);
  }
  EXPECT_EQ(lens, c.segment_lens);
  EXPECT_EQ(frags, c.frags);
  EXPECT_EQ(kcp->send_queue_count, lens.size());
  EXPECT_TRUE(queued == accepted) << "queued bytes differ from the accepted messages";
}

std::vector<uint32_t> Repeat(uint32_t value, size_t n) {
  return std::vector<uint32_t>(n, value);
}
std::vector<uint32_t> Countdown(uint32_t from) {
  std::vector<uint32_t> v;
  for (uint32_t i = from + 1; i-- > 0;)
    v.push_back(i);
  return v;
}

const SendCase kSendCases[] = {
    {"Empty", false, {0}, {0}, {0}, {0}},
    {"OneByte", false, {1}, {0}, {1}, {0}},
    {"ExactlyOneSegment", false, {kMss}, {0}, {kMss}, {0}},
    {"TenThousandBytes",
     false,
     {10000},
     {0},
     {kMss, kMss, kMss, kMss, kMss, kMss, kMss, 382},
     Countdown(7)},
    {"Largest", false, {kLargestMessage}, {0}, Repeat(kMss, 127), Countdown(126)},
    {"OneByteTooLarge", false, {kLargestMessage + 1}, {-2}, {}, {}},
    {"Negative", false, {-1}, {-1}, {}, {}},
    // len + mss - 1 would overflow an int here.
    {"NearIntMax", false, {INT_MAX - 100}, {-2}, {}, {}},
    {"IntMax", false, {INT_MAX}, {-2}, {}, {}},
    {"RefusalKeepsEarlierMessages", false, {5, kLargestMessage + 1, 6}, {0, -2, 0}, {5, 6}, {0, 0}},
    {"StreamEmpty", true, {0}, {0}, {}, {}},
    {"StreamJoinsSmallSends", true, {100, 100}, {0, 0}, {200}, {0}},
    // The second send tops up the first segment and continues with its own remaining bytes.
    {"StreamFillsThenContinues", true, {1000, 1000}, {0, 0}, {kMss, 626}, {0, 0}},
    {"StreamLarge", true, {3 * kMss + 1}, {0}, {kMss, kMss, kMss, 1}, {0, 0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(Cases,
                         KcpSend,
                         ::testing::ValuesIn(kSendCases),
                         [](const ::testing::TestParamInfo<SendCase>& info) {
                           return info.param.name;
                         });

TEST(KcpSend, NullDataQueuesZeroBytes) {
  Engine kcp = MakeEngine();
  ASSERT_EQ(ikcp_send(kcp.get(), nullptr, 2000), 0);
  std::string queued;
  for (const IKCPSEG* seg : Queued(kcp.get()))
    queued.append(seg->data, seg->len);
  EXPECT_EQ(queued, std::string(2000, '\0'));
}

TEST(KcpSend, EmptyMessageArrivesAsZeroBytes) {
  Capture out;
  Engine a = MakeEngine(&out);
  Engine b = MakeEngine();
  a->no_cwnd = 1;
  ASSERT_EQ(ikcp_send(a.get(), "", 0), 0);
  ikcp_update(a.get(), 0);
  ASSERT_EQ(out.datagrams.size(), 1u);
  EXPECT_EQ(out.datagrams[0].size(), kKcpHeaderSize);
  ASSERT_EQ(Feed(b.get(), out.datagrams[0]), 0);
  char buffer[4];
  EXPECT_EQ(ikcp_recv(b.get(), buffer, sizeof(buffer)), 0);
  EXPECT_EQ(ikcp_recv(b.get(), buffer, sizeof(buffer)), -1);
}

// --- Receiving ---

TEST(KcpRecv, AMessageIsHandedOutOnlyWhenAllItsFragmentsArrived) {
  Capture out;
  Engine sender = MakeEngine(&out);
  sender->no_cwnd = 1;
  const std::string message = Pattern(10000, 3);
  ASSERT_EQ(ikcp_send(sender.get(), message.data(), 10000), 0);
  ikcp_update(sender.get(), 0);
  const std::vector<Segment> segs = out.Segments();
  ASSERT_EQ(segs.size(), 8u);
  for (size_t i = 0; i < 8; i++) {
    EXPECT_EQ(segs[i].frag, 7 - i);
    EXPECT_EQ(segs[i].sn, i);
    EXPECT_EQ(segs[i].len, i < 7 ? kMss : 382u);
  }

  // In order the first seven wait incomplete in the queue (-2); backwards they wait out of
  // order and nothing is queued (-1).
  struct Order {
    std::vector<size_t> indices;
    int result_before_last;
  };
  const Order orders[] = {{{0, 1, 2, 3, 4, 5, 6, 7}, -2}, {{7, 6, 5, 4, 3, 2, 1, 0}, -1}};
  for (const Order& order : orders) {
    Engine receiver = MakeEngine();
    std::vector<char> buffer(20000);
    for (size_t i = 0; i < order.indices.size(); i++) {
      ASSERT_EQ(Feed(receiver.get(), Encode(segs[order.indices[i]])), 0);
      const int r = ikcp_recv(receiver.get(), buffer.data(), static_cast<int>(buffer.size()));
      if (i + 1 < order.indices.size()) {
        EXPECT_EQ(r, order.result_before_last) << "after " << i + 1 << " segments";
        continue;
      }
      ASSERT_EQ(r, 10000);
      EXPECT_TRUE(std::string(buffer.data(), 10000) == message);
    }
  }
}

TEST(KcpRecv, CapacityAndPeek) {
  Engine kcp = MakeEngine();
  char buffer[16];
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, sizeof(buffer)), -1);
  EXPECT_EQ(ikcp_peeksize(kcp.get()), -1);
  ASSERT_EQ(Feed(kcp.get(), Data(0, "hello")), 0);
  ASSERT_EQ(Feed(kcp.get(), Data(1, "second")), 0);

  EXPECT_EQ(ikcp_peeksize(kcp.get()), 5);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, 4), -3);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, -4), -3);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, -5), 5);  // a peek: the message stays
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, INT_MIN), 5);  // a peek with any capacity
  EXPECT_EQ(kcp->recv_queue_count, 2u);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, 5), 5);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, sizeof(buffer)), 6);
  EXPECT_EQ(std::string(buffer, 6), "second");
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, sizeof(buffer)), -1);
}

// A peer may send fragment counts that never reach 0; the message is then incomplete,
// and nothing is read beyond the queue.
TEST(KcpRecv, FragmentCountsThatNeverEndAreIncomplete) {
  Engine kcp = MakeEngine();
  ASSERT_EQ(Feed(kcp.get(), Data(0, "ab", 1)), 0);
  ASSERT_EQ(Feed(kcp.get(), Data(1, "cd", 1)), 0);
  char buffer[16];
  EXPECT_EQ(ikcp_peeksize(kcp.get()), -1);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, sizeof(buffer)), -2);
  ASSERT_EQ(Feed(kcp.get(), Data(2, "e", 0)), 0);
  EXPECT_EQ(ikcp_recv(kcp.get(), buffer, sizeof(buffer)), 5);
  EXPECT_EQ(std::string(buffer, 5), "abcde");
}

struct WindowCase {
  const char* name;
  std::vector<int32_t> offsets;  // sn of each data segment, relative to recv_next
  uint32_t acks;
  uint32_t stored;
};

class KcpReceiveWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(KcpReceiveWindow, AcknowledgesAndStores) {
  const WindowCase& c = GetParam();
  Engine kcp = MakeEngine();
  const uint32_t base = 0xFFFFFFF0u;  // the window straddles the wrap
  kcp->recv_next = base;
  for (int32_t offset : c.offsets)
    ASSERT_EQ(Feed(kcp.get(), Data(base + static_cast<uint32_t>(offset), "x")), 0);
  EXPECT_EQ(kcp->ack_count, c.acks);
  EXPECT_EQ(Stored(kcp.get()), c.stored);
}

const WindowCase kWindowCases[] = {
    {"AtWindowEnd", {128}, 0, 0},       {"LastInWindow", {127}, 1, 1},
    {"BelowRecvNext", {-1}, 1, 0},      {"DuplicateAboveRecvNext", {5, 5}, 2, 1},
    {"DuplicateInOrder", {0, 0}, 2, 1}, {"OutOfOrderFillsIn", {3, 1, 2, 0}, 4, 4},
};

INSTANTIATE_TEST_SUITE_P(Cases,
                         KcpReceiveWindow,
                         ::testing::ValuesIn(kWindowCases),
                         [](const ::testing::TestParamInfo<WindowCase>& info) {
                           return info.param.name;
                         });

TEST(KcpRecv, OutOfOrderSegmentsLeaveInOrder) {
  Engine kcp = MakeEngine();
  for (uint32_t sn : {4u, 2u, 0u, 3u, 1u, 2u})
    ASSERT_EQ(Feed(kcp.get(), Data(sn, std::string(1, static_cast<char>('a' + sn)))), 0);
  EXPECT_EQ(kcp->recv_next, 5u);
  std::string all;
  for (int i = 0; i < 5; i++)
    all += Take(kcp.get());
  EXPECT_EQ(all, "abcde");
}

// --- Round-trip time ---

struct RttCase {
  const char* name;
  bool nodelay;
  std::vector<int32_t> samples;  // ms; negative: an acknowledgement from the future
  int32_t srtt, rttvar, rto;
};

class KcpRtt : public ::testing::TestWithParam<RttCase> {};

TEST_P(KcpRtt, Estimates) {
  const RttCase& c = GetParam();
  Engine kcp = MakeEngine();
  if (c.nodelay)
    ikcp_nodelay(kcp.get(), 1, 10, -1, -1);
  kcp->current = 0x80001000u;
  for (int32_t r : c.samples)
    ASSERT_EQ(Feed(kcp.get(), Control(kKcpCmdAck, 0, kcp->current - static_cast<uint32_t>(r))), 0);
  EXPECT_EQ(kcp->srtt, c.srtt);
  EXPECT_EQ(kcp->rttvar, c.rttvar);
  EXPECT_EQ(kcp->rto, c.rto);
}

const RttCase kRttCases[] = {
    {"None", false, {}, 0, 0, 200},
    {"First100", false, {100}, 100, 50, 300},
    {"Then200", false, {100, 200}, 112, 62, 360},
    {"ZeroKeepsNoSample", false, {0}, 0, 0, 100},
    {"AfterZeroTheNextIsFirst", false, {0, 100}, 100, 50, 300},
    {"FromTheFutureIsIgnored", false, {-5}, 0, 0, 200},
    {"NoDelayFloor", true, {4}, 4, 2, 30},
    {"NoDelay", true, {40}, 40, 20, 120},
    // The largest sample a wrap-around clock allows; 7 * srtt and 4 * rttvar exceed 32 bits.
    {"Largest", false, {INT32_MAX}, INT32_MAX, INT32_MAX / 2, 60000},
    {"LargestTwice", false, {INT32_MAX, INT32_MAX}, INT32_MAX, 805306367, 60000},
    {"LargestThenSmall", false, {INT32_MAX, 1}, 1879048191, 1342177278, 60000},
};

INSTANTIATE_TEST_SUITE_P(Samples,
                         KcpRtt,
                         ::testing::ValuesIn(kRttCases),
                         [](const ::testing::TestParamInfo<RttCase>& info) {
                           return info.param.name;
                         });

// --- Retransmission ---

struct BackoffCase {
  const char* name;
  int nodelay;
  uint32_t first_due;                      // after the first transmission at 0
  std::function<uint32_t(uint32_t)> grow;  // a segment's rto after one more time-out
};

class KcpBackoff : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(KcpBackoff, TimeOutsGrowTheSegmentsRtoAndMarkTheLinkDead) {
  const BackoffCase& c = GetParam();
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_nodelay(kcp.get(), c.nodelay, -1, -1, -1);
  kcp->no_cwnd = 1;  // so that the first flush sends
  ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  ikcp_update(kcp.get(), 0);
  IKCPSEG* seg = FirstInFlight(kcp.get());
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->resend_ts, c.first_due);
  EXPECT_EQ(seg->rto, 200u);

  // Flushes run directly at the due times; the clock wraps several times on the way.
  uint32_t expected_rto = 200;
  for (uint32_t transmission = 2; transmission <= 40; transmission++) {
    const uint32_t t = seg->resend_ts;
    out.datagrams.clear();
    kcp->current = t - 1;
    ikcp_flush(kcp.get());
    ASSERT_TRUE(out.datagrams.empty()) << "sent before it was due";
    kcp->current = t;
    ikcp_flush(kcp.get());
    ASSERT_EQ(out.datagrams.size(), 1u) << "transmission " << transmission;
    expected_rto = std::min<uint32_t>(c.grow(expected_rto), 1u << 30);
    ASSERT_EQ(seg->send_count, transmission);
    ASSERT_EQ(seg->rto, expected_rto) << "transmission " << transmission;
    // The next time-out lies ahead even once the rto no longer grows.
    ASSERT_GT(static_cast<int32_t>(seg->resend_ts - t), 0);
    EXPECT_EQ(kcp->state, transmission >= 20 ? 0xFFFFFFFFu : 0u) << "transmission " << transmission;
    EXPECT_EQ(kcp->retransmits, transmission - 1);
  }
}

const BackoffCase kBackoffCases[] = {
    {"Default", 0, 225, [](uint32_t rto) { return rto + std::max(rto, 200u); }},
    {"NoDelay", 1, 200, [](uint32_t rto) { return rto + rto / 2; }},
    {"NoDelayLinear", 2, 200, [](uint32_t rto) { return rto + 100; }},
};

INSTANTIATE_TEST_SUITE_P(Modes,
                         KcpBackoff,
                         ::testing::ValuesIn(kBackoffCases),
                         [](const ::testing::TestParamInfo<BackoffCase>& info) {
                           return info.param.name;
                         });

TEST(KcpRetransmit, FastResendAfterOneSkipWhileSentAtMostFiveTimes) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_nodelay(kcp.get(), 1, 10, 1, 1);
  for (const char* m : {"a", "b", "c", "d"})
    ASSERT_EQ(ikcp_send(kcp.get(), m, 1), 0);
  uint32_t now = 0;
  ikcp_update(kcp.get(), now);
  ASSERT_EQ(out.Take().size(), 4u);

  std::vector<uint32_t> resent;
  for (int round = 0; round < 8; round++) {
    // sn 2 acknowledged; its ts lies ahead of our clock, so no RTT sample is taken.
    ASSERT_EQ(Feed(kcp.get(), Control(kKcpCmdAck, 2, now + 100000)), 0);
    now += 10;
    ikcp_update(kcp.get(), now);
    for (const Segment& s : out.Take())
      resent.push_back(s.sn);
  }
  // sn 0 and 1 lay below the acknowledgement; sn 3 above it is never counted. Each goes
  // again while sent at most 5 times: 5 more transmissions, 6 in all.
  const std::vector<uint32_t> expected = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
  EXPECT_EQ(resent, expected);
  EXPECT_EQ(FirstInFlight(kcp.get())->send_count, 6u);
  // After the fast retransmissions: ssthresh is half the 4 in flight, cwnd that + 1.
  EXPECT_EQ(kcp->ssthresh, 2u);
  EXPECT_EQ(kcp->cwnd, 3u);
  EXPECT_EQ(kcp->cwnd_incr, 3u * kMss);
}

struct LossCase {
  const char* name;
  int no_cwnd;
  uint32_t ssthresh;  // half the effective window of the flush, at least 2
};

class KcpLossWindow : public ::testing::TestWithParam<LossCase> {};

TEST_P(KcpLossWindow, TimeOutShrinksTheCongestionWindow) {
  const LossCase& c = GetParam();
  Capture out;
  Engine kcp = MakeEngine(&out);
  kcp->no_cwnd = c.no_cwnd;
  kcp->cwnd = 20;
  ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  ikcp_update(kcp.get(), 0);
  ASSERT_NE(FirstInFlight(kcp.get()), nullptr);
  kcp->current = FirstInFlight(kcp.get())->resend_ts;
  ikcp_flush(kcp.get());
  EXPECT_EQ(kcp->cwnd, 1u);
  EXPECT_EQ(kcp->cwnd_incr, kMss);
  EXPECT_EQ(kcp->ssthresh, c.ssthresh);
}

const LossCase kLossCases[] = {
    {"CongestionWindowLimits", 0, 10},  // min(32, 128, cwnd 20) = 20
    {"NoCongestionWindow", 1, 16},      // min(32, 128) = 32
};

INSTANTIATE_TEST_SUITE_P(Cases,
                         KcpLossWindow,
                         ::testing::ValuesIn(kLossCases),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                           return info.param.name;
                         });

TEST(KcpRetransmit, CongestionWindowGrowsWithAcknowledgements) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  for (int i = 0; i < 10; i++)
    ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  // cwnd starts at 0: the first flush sends nothing and opens it to 1.
  ikcp_update(kcp.get(), 0);
  EXPECT_EQ(out.Take().size(), 0u);
  EXPECT_EQ(kcp->cwnd, 1u);
  ikcp_update(kcp.get(), 100);
  EXPECT_EQ(out.Take().size(), 1u);
  // Slow start: each advancing datagram adds one segment, up to ssthresh 2.
  ASSERT_EQ(Feed(kcp.get(), Control(kKcpCmdAck, 0, 0)), 0);
  EXPECT_EQ(kcp->cwnd, 2u);
  EXPECT_EQ(kcp->cwnd_incr, 2u * kMss);
  ikcp_update(kcp.get(), 200);
  EXPECT_EQ(out.Take().size(), 2u);
  // Congestion avoidance from there: the byte counter grows by mss^2 / incr + mss / 16.
  Segment ack = Control(kKcpCmdAck, 1, 0);
  ack.recv_next = 2;
  ASSERT_EQ(Feed(kcp.get(), ack), 0);
  EXPECT_EQ(kcp->cwnd, 2u);
  EXPECT_EQ(kcp->cwnd_incr, 2 * kMss + kMss / 2 + kMss / 16);
}

// --- Clock ---

struct ClockCase {
  const char* name;
  int64_t offset;  // from next_flush
  bool flushes;
  int64_t next_flush;  // relative to the time given; INT64_MIN: unchanged
};

class KcpClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(KcpClock, UpdateFlushesOnScheduleAndResynchronisesAfterJumps) {
  const ClockCase& c = GetParam();
  for (uint32_t start : {1000u, 0xFFFFFF00u}) {
    Capture out;
    Engine kcp = MakeEngine(&out);
    ikcp_update(kcp.get(), start);
    const uint32_t next = kcp->next_flush;
    ASSERT_EQ(next, start + 100);
    ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
    const uint32_t t = next + static_cast<uint32_t>(c.offset);
    ikcp_update(kcp.get(), t);
    EXPECT_EQ(!out.datagrams.empty(), c.flushes) << "start " << start;
    const uint32_t expected =
        c.next_flush == INT64_MIN ? next : t + static_cast<uint32_t>(c.next_flush);
    EXPECT_EQ(kcp->next_flush, expected) << "start " << start;
  }
}

const ClockCase kClockCases[] = {
    {"Due", 0, true, 100},
    {"Early", -1, false, INT64_MIN},
    {"Late", 30, true, 70},
    {"BehindByAnInterval", 100, true, 100},
    {"Late9999", 9999, true, 100},
    {"JumpForward10000", 10000, true, 100},
    {"JumpBack10000", -10000, false, INT64_MIN},
    {"JumpBack10001", -10001, true, 100},
};

INSTANTIATE_TEST_SUITE_P(Cases,
                         KcpClock,
                         ::testing::ValuesIn(kClockCases),
                         [](const ::testing::TestParamInfo<ClockCase>& info) {
                           return info.param.name;
                         });

TEST(KcpClock, FirstUpdateFlushesAtOnceAndNothingBefore) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  kcp->no_cwnd = 1;
  ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  ASSERT_EQ(Feed(kcp.get(), Data(0, "y")), 0);
  ikcp_flush(kcp.get());  // before the first update a flush does nothing
  EXPECT_TRUE(out.datagrams.empty());
  EXPECT_EQ(ikcp_check(kcp.get(), 5000), 5000u);
  ikcp_update(kcp.get(), 5000);
  const std::vector<Segment> segs = out.Segments();
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_EQ(segs[0].cmd, kKcpCmdAck);
  EXPECT_EQ(segs[1].cmd, kKcpCmdPush);
}

// ikcp_check names the next flush, the one moment at which ikcp_update does work: a
// retransmission that falls due earlier still waits for that flush.
TEST(KcpClock, CheckNamesTheTimeUpdateNextHasWork) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  kcp->no_cwnd = 1;
  ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  ikcp_update(kcp.get(), 0);
  ikcp_update(kcp.get(), 100);
  ikcp_update(kcp.get(), 200);
  out.datagrams.clear();
  ASSERT_EQ(FirstInFlight(kcp.get())->resend_ts, 225u);

  EXPECT_EQ(ikcp_check(kcp.get(), 201), 300u);
  EXPECT_EQ(ikcp_check(kcp.get(), 230), 300u);
  ikcp_update(kcp.get(), 230);  // due, but no flush yet
  EXPECT_TRUE(out.datagrams.empty());
  EXPECT_EQ(ikcp_check(kcp.get(), 300), 300u);
  ikcp_update(kcp.get(), 300);
  EXPECT_EQ(out.datagrams.size(), 1u);
  // A jump of 10000 ms or more either way makes the next update flush at once.
  EXPECT_EQ(ikcp_check(kcp.get(), 300 + 100 + 10000), 300u + 100 + 10000);
  EXPECT_EQ(ikcp_check(kcp.get(), 400 - 10001), 400u - 10001);
  EXPECT_EQ(ikcp_check(kcp.get(), 400 - 10000), 400u);
}

// --- Window probes ---

TEST(KcpProbe, AClosedRemoteWindowIsAskedAboutWithGrowingGaps) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_update(kcp.get(), 0);
  Segment tell = Control(kKcpCmdWindowTell);
  tell.window = 0;
  ASSERT_EQ(Feed(kcp.get(), tell), 0);
  ASSERT_EQ(kcp->remote_window, 0u);

  std::vector<uint32_t> asks;
  for (uint32_t t = 100; t <= 60000; t += 100) {
    ikcp_update(kcp.get(), t);
    for (const Segment& s : out.Take()) {
      if (s.cmd == kKcpCmdWindowAsk)
        asks.push_back(t);
    }
  }
  // First seen closed at 100: asks 7000 ms later, then 10500 and 15750 apart, and so on.
  ASSERT_GE(asks.size(), 4u);
  EXPECT_EQ(asks[0], 7100u);
  EXPECT_EQ(asks[1], 7100u + 10500);
  EXPECT_EQ(asks[2], 7100u + 10500 + 15800);  // 15750 ends between two updates
  // An open window ends the probing.
  tell.window = 10;
  ASSERT_EQ(Feed(kcp.get(), tell), 0);
  ikcp_update(kcp.get(), 60100);
  EXPECT_EQ(kcp->probe_delay, 0u);
  EXPECT_EQ(kcp->probe_time, 0u);
}

struct TellCase {
  const char* name;
  std::function<void(IKCPCB*)> cause;
  uint16_t window;  // announced in the tell
};

class KcpWindowTell : public ::testing::TestWithParam<TellCase> {};

TEST_P(KcpWindowTell, NextFlushTellsTheFreeWindow) {
  const TellCase& c = GetParam();
  Capture out;
  Engine kcp = MakeEngine(&out);
  ikcp_update(kcp.get(), 0);
  out.datagrams.clear();
  c.cause(kcp.get());
  ikcp_update(kcp.get(), 100);
  std::vector<Segment> tells;
  for (const Segment& s : out.Segments()) {
    if (s.cmd == kKcpCmdWindowTell)
      tells.push_back(s);
  }
  ASSERT_EQ(tells.size(), 1u);
  EXPECT_EQ(tells[0].window, c.window);
  EXPECT_EQ(tells[0].len, 0u);
  EXPECT_EQ(kcp->probe_flags, 0u);
}

const TellCase kTellCases[] = {
    {"WindowAsk",
     [](IKCPCB* kcp) {
       for (uint32_t sn = 0; sn < 3; sn++)
         ASSERT_EQ(Feed(kcp, Data(sn, "m")), 0);
       ASSERT_EQ(Feed(kcp, Control(kKcpCmdWindowAsk)), 0);
     },
     125},
    {"QueueDrainsFromFull",
     [](IKCPCB* kcp) {
       for (uint32_t sn = 0; sn < 130; sn++)
         ASSERT_EQ(Feed(kcp, Data(sn, "m")), 0);
       ASSERT_EQ(kcp->recv_queue_count, 128u);
       ASSERT_EQ(kcp->recv_buf_count, 2u);  // held back while the queue is full
       char byte;
       ASSERT_EQ(ikcp_recv(kcp, &byte, 1), 1);
       ASSERT_EQ(kcp->recv_queue_count, 128u);  // one moved up from recv_buf
       ASSERT_EQ(ikcp_recv(kcp, &byte, 1), 1);
       ASSERT_EQ(ikcp_recv(kcp, &byte, 1), 1);
     },
     1},
};

INSTANTIATE_TEST_SUITE_P(Causes,
                         KcpWindowTell,
                         ::testing::ValuesIn(kTellCases),
                         [](const ::testing::TestParamInfo<TellCase>& info) {
                           return info.param.name;
                         });

// --- Settings ---

TEST(KcpSettings, CreateGivesTheDefaults) {
  int user = 0;
  Engine kcp(ikcp_create(kConv, kTag, &user));
  ASSERT_NE(kcp, nullptr);
  EXPECT_EQ(kcp->conv, kConv);
  EXPECT_EQ(kcp->tag, kTag);
  EXPECT_EQ(kcp->user, &user);
  EXPECT_EQ(kcp->mtu, 1400u);
  EXPECT_EQ(kcp->mss, 1374u);
  EXPECT_EQ(kcp->state, 0u);
  EXPECT_EQ(kcp->ssthresh, 2u);
  EXPECT_EQ(kcp->rto, 200);
  EXPECT_EQ(kcp->min_rto, 100);
  EXPECT_EQ(kcp->send_window, 32u);
  EXPECT_EQ(kcp->recv_window, 128u);
  EXPECT_EQ(kcp->remote_window, 128u);
  EXPECT_EQ(kcp->cwnd, 0u);
  EXPECT_EQ(kcp->interval, 100u);
  EXPECT_EQ(kcp->next_flush, 100u);
  EXPECT_EQ(kcp->dead_link_limit, 20u);
  EXPECT_EQ(kcp->fast_resend, 0);
  EXPECT_EQ(kcp->fast_limit, 5);
  EXPECT_EQ(kcp->no_cwnd, 0);
  EXPECT_EQ(kcp->stream_mode, 0);
  EXPECT_EQ(kcp->nodelay, 0u);
  EXPECT_EQ(kcp->updated, 0u);
  EXPECT_EQ(kcp->acklist, nullptr);
  EXPECT_EQ(kcp->output, nullptr);
  EXPECT_EQ(kcp->log_writer, nullptr);
  EXPECT_EQ(ikcp_waitsnd(kcp.get()), 0);
}

struct SettingCase {
  const char* name;
  std::function<int(IKCPCB*)> apply;
  int result;
  std::function<void(const IKCPCB*)> check;
};

class KcpSettings : public ::testing::TestWithParam<SettingCase> {};

TEST_P(KcpSettings, Apply) {
  const SettingCase& c = GetParam();
  Engine kcp = MakeEngine();
  EXPECT_EQ(c.apply(kcp.get()), c.result);
  c.check(kcp.get());
}

const SettingCase kSettingCases[] = {
    {"ClientNoDelay", [](IKCPCB* k) { return ikcp_nodelay(k, 1, 2, 1, 1); }, 0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->nodelay, 1u);
       EXPECT_EQ(k->min_rto, 30);
       EXPECT_EQ(k->rto, 200);  // changes only with the next sample
       EXPECT_EQ(k->interval, 10u);
       EXPECT_EQ(k->fast_resend, 1);
       EXPECT_EQ(k->no_cwnd, 1);
     }},
    {"NoDelayOffAndClamped", [](IKCPCB* k) { return ikcp_nodelay(k, 0, 20000, -1, -1); }, 0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->min_rto, 100);
       EXPECT_EQ(k->interval, 5000u);
       EXPECT_EQ(k->fast_resend, 0);
       EXPECT_EQ(k->no_cwnd, 0);
     }},
    {"NoDelayNegativesKeep",
     [](IKCPCB* k) {
       ikcp_nodelay(k, 2, 40, 3, 1);
       return ikcp_nodelay(k, -1, -1, -1, -1);
     },
     0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->nodelay, 2u);
       EXPECT_EQ(k->min_rto, 30);
       EXPECT_EQ(k->interval, 40u);
       EXPECT_EQ(k->fast_resend, 3);
       EXPECT_EQ(k->no_cwnd, 1);
     }},
    {"IntervalLow", [](IKCPCB* k) { return ikcp_interval(k, 5); }, 0,
     [](const IKCPCB* k) { EXPECT_EQ(k->interval, 10u); }},
    {"WindowsSmallReceiveRaised", [](IKCPCB* k) { return ikcp_wndsize(k, 0, 64); }, 0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->send_window, 32u);
       EXPECT_EQ(k->recv_window, 128u);
     }},
    {"WindowsTaken", [](IKCPCB* k) { return ikcp_wndsize(k, 64, 256); }, 0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->send_window, 64u);
       EXPECT_EQ(k->recv_window, 256u);
     }},
    {"MtuTooSmall", [](IKCPCB* k) { return ikcp_setmtu(k, 49); }, -1,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->mtu, 1400u);
       EXPECT_EQ(k->mss, 1374u);
     }},
    {"MtuSmallest", [](IKCPCB* k) { return ikcp_setmtu(k, 50); }, 0,
     [](const IKCPCB* k) {
       EXPECT_EQ(k->mtu, 50u);
       EXPECT_EQ(k->mss, 24u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases,
                         KcpSettings,
                         ::testing::ValuesIn(kSettingCases),
                         [](const ::testing::TestParamInfo<SettingCase>& info) {
                           return info.param.name;
                         });

TEST(KcpSettings, WindowSizeOfANullBlockDoesNothing) {
  EXPECT_EQ(ikcp_wndsize(nullptr, 10, 10), 0);
}

// Segments made before the MTU shrank keep their size: each goes out whole, alone in its
// datagram, and the transmit buffer holds it.
TEST(KcpSettings, SegmentsMadeBeforeTheMtuShrankStillGoOutWhole) {
  Capture out;
  Engine kcp = MakeEngine(&out);
  kcp->no_cwnd = 1;
  const std::string big = Pattern(kMss, 5);
  ASSERT_EQ(ikcp_send(kcp.get(), big.data(), kMss), 0);
  ASSERT_EQ(ikcp_setmtu(kcp.get(), 50), 0);
  ASSERT_EQ(ikcp_send(kcp.get(), "small", 5), 0);
  ikcp_update(kcp.get(), 0);
  ASSERT_EQ(out.datagrams.size(), 2u);
  EXPECT_EQ(out.datagrams[0].size(), kKcpHeaderSize + kMss);
  EXPECT_EQ(out.datagrams[1].size(), kKcpHeaderSize + 5);

  Engine peer = MakeEngine();
  for (const std::string& d : out.datagrams)
    ASSERT_EQ(Feed(peer.get(), d), 0);
  EXPECT_TRUE(Take(peer.get()) == big);
  EXPECT_EQ(Take(peer.get()), "small");
}

// --- Allocation ---

struct Allocations {
  static int fail_at;  // 1-based index of the allocation that fails; 0: none
  static int count;
  static int outstanding;

  static void* Allocate(size_t size) {
    if (++count == fail_at)
      return nullptr;
    outstanding++;
    return malloc(size);
  }
  static void Release(void* p) {
    if (p)
      outstanding--;
    free(p);
  }
};
int Allocations::fail_at = 0;
int Allocations::count = 0;
int Allocations::outstanding = 0;

class KcpAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    Allocations::fail_at = 0;
    Allocations::count = 0;
    Allocations::outstanding = 0;
    ikcp_allocator(&Allocations::Allocate, &Allocations::Release);
  }
  void TearDown() override { ikcp_allocator(nullptr, nullptr); }
  // The next allocation after `after` more succeed fails.
  static void FailAfter(int after) { Allocations::fail_at = Allocations::count + after + 1; }
};

TEST_F(KcpAllocation, CreateFailsCleanlyAndReleaseFreesEverything) {
  for (int after : {0, 1}) {  // the block, then its transmit buffer
    FailAfter(after);
    EXPECT_EQ(ikcp_create(kConv, kTag, nullptr), nullptr);
    EXPECT_EQ(Allocations::outstanding, 0);
  }
  Allocations::fail_at = 0;
  {
    Capture out;
    Engine kcp = MakeEngine(&out);
    const std::string m = Pattern(5000, 1);
    ASSERT_EQ(ikcp_send(kcp.get(), m.data(), 5000), 0);
    ikcp_update(kcp.get(), 0);
    ASSERT_EQ(ikcp_send(kcp.get(), m.data(), 5000), 0);
    for (uint32_t sn = 0; sn < 20; sn += 2)
      ASSERT_EQ(Feed(kcp.get(), Data(sn, "x")), 0);
    ASSERT_EQ(Feed(kcp.get(), Data(1, "x")), 0);
    EXPECT_GT(Allocations::outstanding, 4);
  }
  EXPECT_EQ(Allocations::outstanding, 0);
}

TEST_F(KcpAllocation, SendKeepsTheFragmentsMadeBeforeAFailure) {
  Engine kcp = MakeEngine();
  const std::string m = Pattern(3 * kMss, 2);
  FailAfter(2);
  EXPECT_EQ(ikcp_send(kcp.get(), m.data(), 3 * kMss), -2);
  EXPECT_EQ(kcp->send_queue_count, 2u);
}

TEST_F(KcpAllocation, MtuChangeThatCannotAllocateChangesNothing) {
  Engine kcp = MakeEngine();
  char* const buffer = kcp->buffer;
  FailAfter(0);
  EXPECT_EQ(ikcp_setmtu(kcp.get(), 500), -2);
  EXPECT_EQ(kcp->mtu, 1400u);
  EXPECT_EQ(kcp->mss, 1374u);
  EXPECT_EQ(kcp->buffer, buffer);
}

// A data segment that cannot be stored is not acknowledged either, so that the peer sends
// it again instead of dropping data we never kept.
TEST_F(KcpAllocation, UnstoredDataIsNotAcknowledged) {
  for (int after : {0, 1}) {  // the segment's record, then the first acknowledgement list
    Capture out;
    Engine kcp = MakeEngine(&out);
    ikcp_update(kcp.get(), 0);
    const std::string datagram = Encode(Data(0, "hello"));
    FailAfter(after);
    EXPECT_EQ(Feed(kcp.get(), datagram), 0);
    EXPECT_EQ(kcp->ack_count, 0u) << "after " << after;
    EXPECT_EQ(Stored(kcp.get()), 0u) << "after " << after;
    EXPECT_EQ(kcp->recv_next, 0u);
    ikcp_update(kcp.get(), 100);
    EXPECT_TRUE(out.datagrams.empty());

    // The peer's retransmission is then stored and acknowledged.
    EXPECT_EQ(Feed(kcp.get(), datagram), 0);
    EXPECT_EQ(Take(kcp.get()), "hello");
    ikcp_update(kcp.get(), 200);
    const std::vector<Segment> segs = out.Segments();
    ASSERT_EQ(segs.size(), 1u);
    EXPECT_EQ(segs[0].cmd, kKcpCmdAck);
    EXPECT_EQ(segs[0].sn, 0u);
  }
}

TEST_F(KcpAllocation, AcknowledgementListGrowsByDoubling) {
  Engine kcp = MakeEngine();
  for (uint32_t sn = 0; sn < 9; sn++)
    ASSERT_EQ(Feed(kcp.get(), Data(sn, "x")), 0);
  EXPECT_EQ(kcp->ack_capacity, 16u);
  // A failure to grow it again refuses the data that needed it, nothing else.
  for (uint32_t sn = 9; sn < 16; sn++)
    ASSERT_EQ(Feed(kcp.get(), Data(sn, "x")), 0);
  FailAfter(1);
  ASSERT_EQ(Feed(kcp.get(), Data(16, "x")), 0);
  EXPECT_EQ(kcp->ack_count, 16u);
  EXPECT_EQ(kcp->recv_next, 16u);
}

// --- Logging ---

TEST(KcpLog, LinesGoToTheWriterOnlyForEnabledCategories) {
  struct Recorder {
    std::vector<std::string> lines;
    static int Output(const char*, int, IKCPCB*, void*) { return 0; }
    static void Write(const char* text, IKCPCB* /*kcp*/, void* user) {
      static_cast<Recorder*>(user)->lines.emplace_back(text);
    }
  } recorder;
  Engine kcp(ikcp_create(kConv, kTag, &recorder));
  kcp->output = &Recorder::Output;
  kcp->log_writer = &Recorder::Write;
  kcp->no_cwnd = 1;
  ASSERT_EQ(ikcp_send(kcp.get(), "x", 1), 0);
  ikcp_update(kcp.get(), 0);
  EXPECT_TRUE(recorder.lines.empty());  // log_mask 0

  kcp->log_mask =
      kKcpLogInput | kKcpLogInData | kKcpLogInAck | kKcpLogInProbe | kKcpLogInWindow | kKcpLogRecv;
  Segment data = Data(0, "ab");
  data.ts = 7;
  ASSERT_EQ(
      Feed(kcp.get(), Encode(data) + Encode(Control(kKcpCmdAck, 0, 0)) +
                          Encode(Control(kKcpCmdWindowAsk)) + Encode(Control(kKcpCmdWindowTell))),
      0);
  EXPECT_EQ(Take(kcp.get()), "ab");
  kcp->log_mask = kKcpLogOutput;
  ikcp_update(kcp.get(), 100);  // one datagram: the acknowledgement and a window tell
  const std::vector<std::string> expected = {
      "[RI] 106 bytes", "input psh: sn=0 ts=7", "input ack: sn=0 rtt=0 rto=100",
      "input probe",    "input wins: 128",      "recv sn=0",
      "[RO] 52 bytes"};
  EXPECT_EQ(recorder.lines, expected);
}

// --- Preconditions ---

TEST(KcpDeathTest, PreconditionsAreAsserted) {
  EXPECT_DEATH(ikcp_release(nullptr), "kcp");
  EXPECT_DEATH(ikcp_peeksize(nullptr), "kcp");
  EXPECT_DEATH(ikcp_recv(nullptr, nullptr, 0), "kcp");
  EXPECT_DEATH(
      {
        Engine kcp = MakeEngine();
        kcp->mss = 0;
        ikcp_send(kcp.get(), "x", 1);
      },
      "kcp->mss > 0");
  EXPECT_DEATH(
      {
        Engine kcp = MakeEngine();
        kcp->no_cwnd = 1;
        ikcp_send(kcp.get(), "x", 1);
        ikcp_update(kcp.get(), 0);
      },
      "kcp->output");
}

}  // namespace
