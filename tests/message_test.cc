#include "src/utilities/message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace mavel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Written(const msg_packet_out& out) {
  const auto* p = reinterpret_cast<const uint8_t*>(out.GetData());
  return Bytes(p, p + out.GetSize());
}

// True when every byte of the writer's buffer from `from` on is still zero:
// nothing was written there, not even part of a field.
bool UntouchedFrom(const msg_packet_out& out, int from) {
  for (int i = from; i < kMsgPacketSize; ++i) {
    if (out.GetData()[i] != 0)
      return false;
  }
  return true;
}

// A heap copy of exactly the packet's bytes, so that reading one byte beyond
// them is an error the address sanitizer reports.
class ExactBuffer {
 public:
  explicit ExactBuffer(const Bytes& bytes) : size_(static_cast<int>(bytes.size())) {
    data_.reset(new char[bytes.size()]);
    if (!bytes.empty())
      std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  const char* data() const { return data_.get(); }
  int size() const { return size_; }

 private:
  std::unique_ptr<char[]> data_;
  int size_;
};

int Remaining(msg_packet_in& in) {
  int remaining = -1;
  in.ReadData(remaining);
  return remaining;
}

struct EncodeCase {
  const char* name;
  std::function<void(msg_packet_out&)> write;
  Bytes expected;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(MessageEncodeTest, WritesBigEndianFields) {
  msg_packet_out out;
  GetParam().write(out);
  EXPECT_FALSE(out.Failed());
  EXPECT_EQ(GetParam().expected, Written(out));
  EXPECT_TRUE(UntouchedFrom(out, out.GetSize()));
}

INSTANTIATE_TEST_SUITE_P(
    Fields,
    MessageEncodeTest,
    ::testing::Values(
        EncodeCase{"U8", [](msg_packet_out& o) { o << static_cast<unsigned char>(5); }, {0x05}},
        EncodeCase{"U8High",
                   [](msg_packet_out& o) { o << static_cast<unsigned char>(0xFE); },
                   {0xFE}},
        EncodeCase{"U16",
                   [](msg_packet_out& o) { o << static_cast<unsigned short>(25513); },
                   {0x63, 0xA9}},
        EncodeCase{"U16High",
                   [](msg_packet_out& o) { o << static_cast<unsigned short>(0x8001); },
                   {0x80, 0x01}},
        EncodeCase{"U32One", [](msg_packet_out& o) { o << 1u; }, {0x00, 0x00, 0x00, 0x01}},
        EncodeCase{"U32Mixed",
                   [](msg_packet_out& o) { o << 0x89ABCDEFu; },
                   {0x89, 0xAB, 0xCD, 0xEF}},
        EncodeCase{"Text",
                   [](msg_packet_out& o) { o << "kcp"; },
                   {0x00, 0x04, 0x6B, 0x63, 0x70, 0x00}},
        EncodeCase{"EmptyText", [](msg_packet_out& o) { o << ""; }, {0x00, 0x01, 0x00}},
        EncodeCase{"String",
                   [](msg_packet_out& o) { o << std::string("kcp"); },
                   {0x00, 0x04, 0x6B, 0x63, 0x70, 0x00}},
        EncodeCase{"StringEndsAtFirstZero",
                   [](msg_packet_out& o) { o << std::string("ab\0cd", 5); },
                   {0x00, 0x03, 0x61, 0x62, 0x00}},
        EncodeCase{"BinaryKeepsZeros",
                   [](msg_packet_out& o) { o.WriteBinary("x\0y", 3); },
                   {0x00, 0x04, 0x78, 0x00, 0x79, 0x00}},
        EncodeCase{"EmptyBinaryWritesNothing",
                   [](msg_packet_out& o) {
                     o.WriteBinary(nullptr, 0);
                     o.WriteBinary("x", 0);
                   },
                   {}},
        EncodeCase{"RawData",
                   [](msg_packet_out& o) { o.WriteData("\x01\x02\x03", 3); },
                   {0x01, 0x02, 0x03}},
        EncodeCase{"LoginHeader",
                   [](msg_packet_out& o) {
                     o << static_cast<unsigned short>(25513) << static_cast<unsigned char>(2)
                       << static_cast<unsigned char>(1) << 0u;
                   },
                   {0x63, 0xA9, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00}}),
    [](const ::testing::TestParamInfo<EncodeCase>& info) { return info.param.name; });

TEST(MessageTest, RoundTripsEveryFieldType) {
  const std::string nonce = "0123456789abcdef0123456789abcdef0123";  // A UUID's length.
  msg_packet_out out;
  out << static_cast<unsigned short>(25513) << static_cast<unsigned char>(2)
      << static_cast<unsigned char>(1) << 0u << "a"
      << "b" << std::string("c") << "d" << nonce << 1200u << "e";
  ASSERT_FALSE(out.Failed());
  EXPECT_EQ(71, out.GetSize());  // The login datagram with one-letter fields.
  out << static_cast<unsigned char>(0) << static_cast<unsigned char>(0xFF)
      << static_cast<unsigned short>(0) << static_cast<unsigned short>(0xFFFF) << 0u << 0xFFFFFFFFu
      << "";
  out.WriteBinary("p\0q", 3);
  ASSERT_FALSE(out.Failed());

  Bytes wire = Written(out);
  auto source = std::make_unique<ExactBuffer>(wire);
  msg_packet_in in(source->data(), source->size());
  source.reset();  // The reader keeps its own copy.
  EXPECT_EQ(out.GetSize(), in.GetSize());
  EXPECT_EQ(0, std::memcmp(in.GetData(), wire.data(), wire.size()));

  unsigned short tag = 0;
  unsigned char b1 = 0, b2 = 0;
  unsigned int word = 1, size_limit = 0;
  std::string account, app, device_type, token, read_nonce, device;
  const char* app_text = nullptr;
  in >> tag >> b1 >> b2 >> word >> account >> app_text >> device_type >> token >> read_nonce >>
      size_limit >> device;
  EXPECT_EQ(25513, tag);
  EXPECT_EQ(2, b1);
  EXPECT_EQ(1, b2);
  EXPECT_EQ(0u, word);
  EXPECT_EQ("a", account);
  EXPECT_STREQ("b", app_text);
  EXPECT_EQ("c", device_type);
  EXPECT_EQ("d", token);
  EXPECT_EQ(nonce, read_nonce);
  EXPECT_EQ(1200u, size_limit);
  EXPECT_EQ("e", device);

  unsigned char u8_low = 1, u8_high = 0;
  unsigned short u16_low = 1, u16_high = 0;
  unsigned int u32_low = 1, u32_high = 0;
  std::string empty = "x";
  in >> u8_low >> u8_high >> u16_low >> u16_high >> u32_low >> u32_high >> empty;
  EXPECT_EQ(0, u8_low);
  EXPECT_EQ(0xFF, u8_high);
  EXPECT_EQ(0, u16_low);
  EXPECT_EQ(0xFFFF, u16_high);
  EXPECT_EQ(0u, u32_low);
  EXPECT_EQ(0xFFFFFFFFu, u32_high);
  EXPECT_EQ("", empty);
  unsigned short binary_len = 0;
  const char* binary = in.ReadBinary(binary_len);
  ASSERT_NE(nullptr, binary);
  EXPECT_EQ(std::string("p\0q", 3), std::string(binary, binary_len));

  EXPECT_EQ(0, Remaining(in));
  EXPECT_FALSE(in.Failed());
}

// Filler bytes first, then one field: it either goes in whole or not at all.
struct FitCase {
  const char* name;
  int filler;
  std::function<void(msg_packet_out&)> field;
  int field_size;
  bool fits;
};

void PrintTo(const FitCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(MessageFitTest, FieldGoesInWholeOrFailsTheWriter) {
  const FitCase& c = GetParam();
  msg_packet_out out;
  std::string filler(static_cast<size_t>(c.filler), '\xEE');
  out.WriteData(filler.data(), c.filler);
  ASSERT_FALSE(out.Failed());
  c.field(out);
  EXPECT_EQ(!c.fits, out.Failed());
  EXPECT_EQ(c.filler + (c.fits ? c.field_size : 0), out.GetSize());
  if (!c.fits) {
    EXPECT_TRUE(UntouchedFrom(out, c.filler));
    // A failed writer takes nothing more, however small.
    out << static_cast<unsigned char>(7);
    out << "";
    out.WriteData("z", 1);
    EXPECT_EQ(c.filler, out.GetSize());
    EXPECT_TRUE(UntouchedFrom(out, c.filler));
  }
}

std::function<void(msg_packet_out&)> TextOf(size_t n) {
  return [n](msg_packet_out& o) { o << std::string(n, 't'); };
}

INSTANTIATE_TEST_SUITE_P(
    Limits,
    MessageFitTest,
    ::testing::Values(
        FitCase{"U8InLastByte", 1499, [](msg_packet_out& o) { o << static_cast<unsigned char>(1); },
                1, true},
        FitCase{"U8WhenFull", 1500, [](msg_packet_out& o) { o << static_cast<unsigned char>(1); },
                1, false},
        FitCase{"U16InLastByte", 1499,
                [](msg_packet_out& o) { o << static_cast<unsigned short>(1); }, 2, false},
        FitCase{"U16InLastTwo", 1498,
                [](msg_packet_out& o) { o << static_cast<unsigned short>(1); }, 2, true},
        FitCase{"U32InLastFour", 1496, [](msg_packet_out& o) { o << 1u; }, 4, true},
        FitCase{"U32InLastThree", 1497, [](msg_packet_out& o) { o << 1u; }, 4, false},
        FitCase{"OneByteTextInLastFour", 1496, TextOf(1), 4, true},
        FitCase{"TwoByteTextInLastFour", 1496, TextOf(2), 5, false},
        FitCase{"EmptyTextInLastThree", 1497, TextOf(0), 3, true},
        FitCase{"EmptyTextWhenFull", 1500, TextOf(0), 3, false},
        FitCase{"LongestText", 0, TextOf(1497), 1500, true},
        FitCase{"TextOneTooLong", 0, TextOf(1498), 1501, false},
        // The longest user text of the KCP transport, after its type byte.
        FitCase{"LongestUserText", 1, TextOf(1496), 1499, true},
        FitCase{"UserTextOneTooLong", 1, TextOf(1497), 1500, false},
        FitCase{"TextBeyondLengthField", 0, TextOf(70000), 70003, false},
        FitCase{"LongestBinary", 0,
                [](msg_packet_out& o) {
                  std::string b(1497, 'b');
                  o.WriteBinary(b.data(), 1497);
                },
                1500, true},
        FitCase{"BinaryOneTooLong", 0,
                [](msg_packet_out& o) {
                  std::string b(1498, 'b');
                  o.WriteBinary(b.data(), 1498);
                },
                1501, false},
        FitCase{"BinaryOfMaxLength", 0,
                [](msg_packet_out& o) {
                  std::string b(65535, 'b');
                  o.WriteBinary(b.data(), 65535);
                },
                65538, false},
        FitCase{"RawFillsPacket", 0,
                [](msg_packet_out& o) {
                  std::string b(1500, 'r');
                  o.WriteData(b.data(), 1500);
                },
                1500, true},
        FitCase{"RawOneTooLong", 1,
                [](msg_packet_out& o) {
                  std::string b(1500, 'r');
                  o.WriteData(b.data(), 1500);
                },
                1500, false}),
    [](const ::testing::TestParamInfo<FitCase>& info) { return info.param.name; });

// A login whose token (or a field after it) does not fit must not go out with
// the later fields shifted into the token's place.
struct LoginCase {
  const char* name;
  size_t token_length;
  bool fits;
  int size;
};

void PrintTo(const LoginCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageLoginTest : public ::testing::TestWithParam<LoginCase> {};

TEST_P(MessageLoginTest, NoFieldFollowsOneThatDidNotFit) {
  const LoginCase& c = GetParam();
  const std::string token(c.token_length, 'k');
  const std::string nonce(36, 'n');
  msg_packet_out out;
  out << static_cast<unsigned short>(25513) << static_cast<unsigned char>(2)
      << static_cast<unsigned char>(1) << 0u << "a"
      << "b"
      << "c" << token << nonce << 1200u << "e";
  EXPECT_EQ(!c.fits, out.Failed());
  EXPECT_EQ(c.size, out.GetSize());
  EXPECT_TRUE(UntouchedFrom(out, out.GetSize()));
}

INSTANTIATE_TEST_SUITE_P(
    Tokens,
    MessageLoginTest,
    ::testing::Values(
        // 20 bytes of header and three short texts, the token, 39 of nonce, 4, 4.
        LoginCase{"ShortToken", 1, true, 71},
        LoginCase{"LongestToken", 1430, true, 1500},
        // The token fits, the nonce does not; the 4-byte size limit would still
        // have fitted after it.
        LoginCase{"NonceDoesNotFit", 1440, false, 20 + 1443},
        // The token does not fit; everything after it would have.
        LoginCase{"TokenDoesNotFit", 1500, false, 20}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return info.param.name; });

// Unusable input fails the writer without touching the packet.
struct MisuseCase {
  const char* name;
  std::function<void(msg_packet_out&)> misuse;
};

void PrintTo(const MisuseCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageMisuseTest : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(MessageMisuseTest, FailsWithoutWriting) {
  msg_packet_out out;
  out << static_cast<unsigned short>(0x0102);
  GetParam().misuse(out);
  EXPECT_TRUE(out.Failed());
  EXPECT_EQ(2, out.GetSize());
  out << static_cast<unsigned char>(9);
  EXPECT_EQ((Bytes{0x01, 0x02}), Written(out));
  EXPECT_TRUE(UntouchedFrom(out, 2));
}

INSTANTIATE_TEST_SUITE_P(
    Misuse,
    MessageMisuseTest,
    ::testing::Values(
        MisuseCase{"NullText", [](msg_packet_out& o) { o << static_cast<const char*>(nullptr); }},
        MisuseCase{"NegativeRawLength", [](msg_packet_out& o) { o.WriteData("abc", -1); }},
        MisuseCase{"NullRawData", [](msg_packet_out& o) { o.WriteData(nullptr, 3); }},
        MisuseCase{"NullBinary", [](msg_packet_out& o) { o.WriteBinary(nullptr, 3); }},
        MisuseCase{"CursorBeforeStart", [](msg_packet_out& o) { EXPECT_EQ(2, o.SetCursor(-1)); }},
        MisuseCase{"CursorPastEnd",
                   [](msg_packet_out& o) { EXPECT_EQ(2, o.SetCursor(kMsgPacketSize + 1)); }}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return info.param.name; });

TEST(MessageTest, SetCursorPatchesAnEarlierField) {
  msg_packet_out out;
  out << static_cast<unsigned short>(0) << static_cast<unsigned char>(7) << 9u;
  int end = out.SetCursor(0);
  EXPECT_EQ(7, end);
  out << static_cast<unsigned short>(0x1234);
  EXPECT_EQ(2, out.SetCursor(end));
  out << static_cast<unsigned char>(8);
  EXPECT_FALSE(out.Failed());
  EXPECT_EQ((Bytes{0x12, 0x34, 0x07, 0x00, 0x00, 0x00, 0x09, 0x08}), Written(out));

  // The very end is a valid place for the cursor; only writing there fails.
  msg_packet_out full;
  EXPECT_EQ(0, full.SetCursor(kMsgPacketSize));
  EXPECT_FALSE(full.Failed());
  full << static_cast<unsigned char>(1);
  EXPECT_TRUE(full.Failed());
}

// One integer read: its kind (1, 2 or 4 bytes), the value and the bytes left.
struct IntRead {
  int width;
  unsigned int value;
  int remaining;
};

struct IntCase {
  const char* name;
  Bytes packet;
  std::vector<IntRead> reads;
};

void PrintTo(const IntCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageIntReadTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(MessageIntReadTest, ShortFieldsReadAsZeroAndKeepTheCursor) {
  const IntCase& c = GetParam();
  ExactBuffer source(c.packet);
  msg_packet_in in(source.data(), source.size());
  for (size_t i = 0; i < c.reads.size(); ++i) {
    SCOPED_TRACE("read " + std::to_string(i));
    const IntRead& r = c.reads[i];
    unsigned int value = 0xDEAD;
    if (r.width == 1) {
      unsigned char v = 0xAA;
      in >> v;
      value = v;
    } else if (r.width == 2) {
      unsigned short v = 0xAAAA;
      in >> v;
      value = v;
    } else {
      unsigned int v = 0xAAAAAAAA;
      in >> v;
      value = v;
    }
    EXPECT_EQ(r.value, value);
    EXPECT_EQ(r.remaining, Remaining(in));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Integers,
    MessageIntReadTest,
    ::testing::Values(IntCase{"U32FromThreeBytes",
                              {0x01, 0x02, 0x03},
                              {{4, 0, 3}, {2, 0x0102, 1}, {2, 0, 1}, {1, 3, 0}, {1, 0, 0}}},
                      IntCase{"EmptyPacket", {}, {{1, 0, 0}, {2, 0, 0}, {4, 0, 0}}},
                      IntCase{"HighBitsDoNotSpread",
                              {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0xFE},
                              {{4, 0xFFFFFFFF, 3}, {2, 0x8000, 1}, {1, 0xFE, 0}}},
                      IntCase{"U16FromOneByte", {0x42}, {{2, 0, 1}, {1, 0x42, 0}}}),
    [](const ::testing::TestParamInfo<IntCase>& info) { return info.param.name; });

// One text field, read as a text, as a string and as binary.
struct TextCase {
  const char* name;
  Bytes packet;
  bool taken;          // The field is well formed and the cursor moves past it.
  std::string text;    // Up to the first zero; empty when not taken.
  std::string binary;  // The field's bytes before its final zero.
  int remaining;       // Bytes left after the read.
};

void PrintTo(const TextCase& c, std::ostream* os) {
  *os << c.name;
}

class MessageTextReadTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(MessageTextReadTest, TakesOnlyFieldsInsideThePacket) {
  const TextCase& c = GetParam();
  ExactBuffer source(c.packet);
  {
    msg_packet_in in(source.data(), source.size());
    const char* text = nullptr;
    in >> text;
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(c.text, text);
    if (c.taken) {
      EXPECT_GE(text, in.GetData());
      EXPECT_LT(text + std::strlen(text), in.GetData() + in.GetSize());
    }
    EXPECT_EQ(c.remaining, Remaining(in));
    EXPECT_EQ(!c.taken, in.Failed());
  }
  {
    msg_packet_in in(source.data(), source.size());
    std::string text = "stale";
    in >> text;
    EXPECT_EQ(c.text, text);
    EXPECT_EQ(c.remaining, Remaining(in));
  }
  {
    msg_packet_in in(source.data(), source.size());
    unsigned short len = 0xAAAA;
    const char* binary = in.ReadBinary(len);
    EXPECT_EQ(c.taken, binary != nullptr);
    EXPECT_EQ(c.binary.size(), len);
    if (binary != nullptr) {
      EXPECT_EQ(c.binary, std::string(binary, len));
    }
    EXPECT_EQ(c.remaining, Remaining(in));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts,
    MessageTextReadTest,
    ::testing::Values(
        TextCase{"Text", {0x00, 0x04, 'k', 'c', 'p', 0x00}, true, "kcp", "kcp", 0},
        TextCase{"EmptyText", {0x00, 0x01, 0x00}, true, "", "", 0},
        TextCase{"InnerZero",
                 {0x00, 0x04, 'a', 0x00, 'b', 0x00},
                 true,
                 "a",
                 std::string("a\0b", 3),
                 0},
        TextCase{"MoreAfterField", {0x00, 0x02, 'z', 0x00, 'q'}, true, "z", "z", 1},
        TextCase{"LastByteNotZero", {0x00, 0x05, 'a', 'b', 'c', 'd', 'e'}, false, "", "", 5},
        TextCase{"LengthZero", {0x00, 0x00, 'x'}, false, "", "", 1},
        TextCase{"LengthPastPacket", {0x00, 0x09, 'a', 'b', 0x00}, false, "", "", 3},
        TextCase{"LargestLength", {0xFF, 0xFF, 'a', 'b', 0x00}, false, "", "", 3},
        TextCase{"ZeroJustOutside", {0x00, 0x03, 'a', 'b'}, false, "", "", 2},
        TextCase{"LengthCutShort", {0x00}, false, "", "", 1},
        TextCase{"EmptyPacket", {}, false, "", "", 0}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

// A login reply cut after its tag reads as code 0; the reader says so.
TEST(MessageTest, ShortReplyIsReportedAsFailed) {
  ExactBuffer source({0x00, 0x07, 0x01});
  msg_packet_in in(source.data(), source.size());
  unsigned short tag = 0;
  unsigned int code = 1, conv = 1;
  std::string text = "x";
  in >> tag >> code >> conv >> text;
  EXPECT_EQ(7, tag);
  EXPECT_EQ(0u, code);
  EXPECT_EQ(0u, conv);
  EXPECT_EQ("", text);
  EXPECT_TRUE(in.Failed());

  in.Reset();
  EXPECT_FALSE(in.Failed());
  EXPECT_EQ(3, Remaining(in));
  unsigned short again = 0;
  in >> again;
  EXPECT_EQ(7, again);
  int remaining = 0;
  EXPECT_EQ(in.GetData() + 2, in.ReadData(remaining));
  EXPECT_EQ(1, remaining);
  EXPECT_FALSE(in.Failed());
}

TEST(MessageTest, UnusableSourceGivesEmptyPacket) {
  char byte = 'x';
  msg_packet_in negative(&byte, -3);
  msg_packet_in null_data(nullptr, 5);
  for (msg_packet_in* in : {&negative, &null_data}) {
    EXPECT_EQ(0, in->GetSize());
    unsigned int value = 1;
    *in >> value;
    EXPECT_EQ(0u, value);
    EXPECT_EQ(0, Remaining(*in));
    EXPECT_TRUE(in->Failed());
  }
}

// Every prefix of a valid packet: the fields wholly inside it read back as
// written, and the reader stops at the first one that is cut.
TEST(MessageTest, TruncatedPacketsReadNoFurtherThanTheirBytes) {
  msg_packet_out out;
  out << static_cast<unsigned char>(4) << 8002u << "server closed" << static_cast<unsigned short>(9)
      << "";
  ASSERT_FALSE(out.Failed());
  const Bytes full = Written(out);
  // The end offset of each field, in order.
  const std::vector<int> ends = {1, 5, 5 + 16, 5 + 16 + 2, 5 + 16 + 2 + 3};
  ASSERT_EQ(static_cast<int>(full.size()), ends.back());

  for (size_t len = 0; len <= full.size(); ++len) {
    SCOPED_TRACE("prefix " + std::to_string(len));
    ExactBuffer source(Bytes(full.begin(), full.begin() + len));
    msg_packet_in in(source.data(), source.size());
    unsigned char type = 0;
    unsigned int code = 0;
    std::string reason, last = "stale";
    unsigned short number = 0;
    in >> type >> code >> reason >> number >> last;
    const int n = static_cast<int>(len);
    EXPECT_EQ(n >= ends[0] ? 4 : 0, type);
    if (n >= ends[1]) {
      EXPECT_EQ(8002u, code);
    }
    if (n >= ends[2]) {
      EXPECT_EQ("server closed", reason);
    }
    if (n >= ends[3]) {
      EXPECT_EQ(9, number);
    }
    EXPECT_EQ(len < full.size(), in.Failed());
    EXPECT_GE(Remaining(in), 0);
  }
}

// Random bytes with small length fields, read as a mix of fields: whatever the
// lengths claim, no read leaves the packet (the sanitizer watches the copy).
TEST(MessageTest, ArbitraryBytesNeverReadOutside) {
  std::mt19937 rng(1500);
  for (int round = 0; round < 2000; ++round) {
    Bytes packet(rng() % 40);
    for (auto& b : packet)
      b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 8 : rng());
    ExactBuffer source(packet);
    msg_packet_in in(source.data(), source.size());
    int left = in.GetSize();
    for (int step = 0; step < 24; ++step) {
      switch (rng() % 5) {
        case 0: {
          unsigned char v;
          in >> v;
          break;
        }
        case 1: {
          unsigned int v;
          in >> v;
          break;
        }
        case 2: {
          const char* text = nullptr;
          in >> text;
          ASSERT_NE(nullptr, text);
          if (*text != '\0') {
            ASSERT_GE(text, in.GetData());
            ASSERT_LT(text + std::strlen(text), in.GetData() + in.GetSize());
          }
          break;
        }
        case 3: {
          std::string text;
          in >> text;
          break;
        }
        default: {
          unsigned short len = 0;
          const char* binary = in.ReadBinary(len);
          if (binary != nullptr) {
            ASSERT_LE(binary + len + 1, in.GetData() + in.GetSize());
            ASSERT_EQ('\0', binary[len]);
          }
          break;
        }
      }
      int now = Remaining(in);
      ASSERT_GE(now, 0);
      ASSERT_LE(now, left);
      left = now;
    }
  }
}

}  // namespace
}  // namespace mavel
