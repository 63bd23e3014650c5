#include "rtc_base/stringencode.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(HexEncode, Digit) {
  EXPECT_EQ('0', rtc::hex_encode(static_cast<unsigned char>(0)));
  EXPECT_EQ('9', rtc::hex_encode(static_cast<unsigned char>(9)));
  EXPECT_EQ('a', rtc::hex_encode(static_cast<unsigned char>(10)));
  EXPECT_EQ('f', rtc::hex_encode(static_cast<unsigned char>(15)));
  EXPECT_EQ('!', rtc::hex_encode(static_cast<unsigned char>(16)));
  EXPECT_EQ('!', rtc::hex_encode(static_cast<unsigned char>(255)));
}

TEST(HexEncode, Strings) {
  struct Case {
    std::string bytes;
    char delimiter;
    const char* expected;
  };
  const Case cases[] = {
      {std::string("\x00\xab\xff", 3), '\0', "00abff"},
      {std::string("\x00\xab\xff", 3), ':', "00:ab:ff"},
      {std::string("\x7f", 1), ':', "7f"},
      {"", '\0', ""},
      {"", ':', ""},
      {"\x01\x23\x45\x67\x89\xab\xcd\xef", '\0', "0123456789abcdef"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.expected,
              rtc::hex_encode_with_delimiter(c.bytes.data(), c.bytes.size(), c.delimiter));
    if (c.delimiter == '\0') {
      EXPECT_EQ(c.expected, rtc::hex_encode(c.bytes.data(), c.bytes.size()));
    }
  }
}

// The buffer form writes all or nothing: a buffer one short of what is needed
// stays untouched.
TEST(HexEncode, IntoBuffer) {
  const char src[] = "\x00\xab\xff";
  struct Case {
    size_t buflen;
    char delimiter;
    size_t expected;  // 0: nothing written
    const char* text;
  };
  const Case cases[] = {
      {9, ':', 8, "00:ab:ff"}, {8, ':', 0, nullptr},  {7, '\0', 6, "00abff"},
      {6, '\0', 0, nullptr},   {0, '\0', 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.buflen << " delimiter " << int(c.delimiter));
    char buffer[16];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(c.expected, rtc::hex_encode_with_delimiter(buffer, c.buflen, src, 3, c.delimiter));
    if (c.text) {
      EXPECT_STREQ(c.text, buffer);
    } else {
      EXPECT_EQ(std::string(16, '#'), std::string(buffer, 16));
    }
  }
  // No source bytes: just the terminator.
  char one = '#';
  EXPECT_EQ(0u, rtc::hex_encode_with_delimiter(&one, 1, src, 0, ':'));
  EXPECT_EQ('\0', one);
}

// A length whose needed size would wrap around must be refused, not written.
TEST(HexEncode, RefusesLengthThatWouldOverflow) {
  char buffer[8];
  memset(buffer, '#', sizeof(buffer));
  const size_t huge = SIZE_MAX / 3 + 1;  // huge * 3 wraps to a small number
  EXPECT_EQ(0u, rtc::hex_encode_with_delimiter(buffer, sizeof(buffer), "ab", huge, ':'));
  EXPECT_EQ(0u,
            rtc::hex_encode_with_delimiter(buffer, sizeof(buffer), "ab", SIZE_MAX / 2 + 1, '\0'));
  EXPECT_EQ(std::string(8, '#'), std::string(buffer, 8));
}

TEST(Tokenize, SkipsEmptyFields) {
  struct Case {
    const char* source;
    char delimiter;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"a,,b,", ',', {"a", "b"}}, {"", ',', {}},
      {",,,", ',', {}},           {",a", ',', {"a"}},
      {"abc", ',', {"abc"}},      {"GET / HTTP/1.1", ' ', {"GET", "/", "HTTP/1.1"}},
      {"a:b:c", ',', {"a:b:c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<std::string> fields = {"stale"};
    EXPECT_EQ(c.fields.size(), rtc::tokenize(c.source, c.delimiter, &fields));
    EXPECT_EQ(c.fields, fields);
  }
}

TEST(Join, OneDelimiterBetweenNeighbours) {
  struct Case {
    std::vector<std::string> source;
    char delimiter;
    const char* expected;
  };
  const Case cases[] = {
      {{}, ',', ""},
      {{"a"}, ',', "a"},
      {{"a", "", "b"}, ',', "a,,b"},
      {{"", ""}, ':', ":"},
      {{"X25519", "P-256", "P-384"}, ':', "X25519:P-256:P-384"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.expected, rtc::join(c.source, c.delimiter));
  }
}

TEST(ToString, AsTheCLibraryPrints) {
  EXPECT_EQ("-5", rtc::ToString(-5));
  EXPECT_EQ("0", rtc::ToString(0));
  EXPECT_EQ("-2147483648", rtc::ToString(INT_MIN));
  EXPECT_EQ("4294967295", rtc::ToString(UINT_MAX));
  EXPECT_EQ("-9223372036854775808", rtc::ToString(LONG_MIN));
  EXPECT_EQ("18446744073709551615", rtc::ToString(ULONG_MAX));
  EXPECT_EQ("-9223372036854775808", rtc::ToString(LLONG_MIN));
  EXPECT_EQ("18446744073709551615", rtc::ToString(ULLONG_MAX));
  EXPECT_EQ("0.5", rtc::ToString(0.5));
  EXPECT_EQ("1e+06", rtc::ToString(1e6));
  EXPECT_EQ("-1.79769e+308", rtc::ToString(-DBL_MAX));
  EXPECT_EQ("0.25", rtc::ToString(0.25L));
  EXPECT_EQ("-1.18973e+4932", rtc::ToString(-LDBL_MAX));
}

}  // namespace
