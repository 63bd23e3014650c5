#include "rtc_base/stringutils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Strcpyn, BoundedAndTerminated) {
  struct Case {
    size_t buflen;
    const char* source;
    size_t srclen;
    size_t expected;
    const char* text;
  };
  const Case cases[] = {
      {4, "hello", SIZE_MAX, 3, "hel"},
      {6, "hello", SIZE_MAX, 5, "hello"},
      {5, "hello", SIZE_MAX, 4, "hell"},
      {16, "hello", 2, 2, "he"},
      {1, "hello", SIZE_MAX, 0, ""},
      {8, "", SIZE_MAX, 0, ""},
      {8, "a\0b", 3, 3, "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " into " << c.buflen);
    char buffer[24];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(c.expected, rtc::strcpyn(buffer, c.buflen, c.source, c.srclen));
    EXPECT_STREQ(c.text, buffer);
    EXPECT_EQ('\0', buffer[c.expected]);
    EXPECT_EQ('#', buffer[c.buflen]);
  }
}

TEST(Strcpyn, EmptyBufferIsLeftAlone) {
  char buffer = '#';
  EXPECT_EQ(0u, rtc::strcpyn(&buffer, 0, "hello", SIZE_MAX));
  EXPECT_EQ('#', buffer);
}

TEST(StringTrim, RemovesOnlyTheBlankSet) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {" \tx y \r\n", "x y"},
      {"   \t\r\n", ""},
      {"", ""},
      {"x", "x"},
      {"\vx\f", "\vx\f"},
      {" \vx ", "\vx"},
      {"Upgrade: websocket\r", "Upgrade: websocket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, rtc::string_trim(c.in));
  }
}

TEST(LeftPad, PadsUpToLength) {
  EXPECT_EQ("007", rtc::LeftPad('0', 3, "7"));
  EXPECT_EQ("123", rtc::LeftPad('0', 1, "123"));
  EXPECT_EQ("123", rtc::LeftPad('0', 3, "123"));
  EXPECT_EQ("   ", rtc::LeftPad(' ', 3, ""));
  EXPECT_EQ("", rtc::LeftPad(' ', 0, ""));
}

TEST(ToHex, AsPercentX) {
  EXPECT_EQ("ff", rtc::ToHex(255));
  EXPECT_EQ("ffffffff", rtc::ToHex(-1));
  EXPECT_EQ("0", rtc::ToHex(0));
  EXPECT_EQ("80000000", rtc::ToHex(INT32_MIN));
}

}  // namespace
