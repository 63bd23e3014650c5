#include "rtc_base/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(const std::string& in) {
  std::string out = "stale";
  rtc::Base64::EncodeFromArray(in.data(), in.size(), &out);
  return out;
}

// An independent decoder, so the encoder can be checked on arbitrary bytes.
bool Decode(const std::string& text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i += 4) {
    unsigned value = 0;
    int pads = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      value <<= 6;
      if (c == '=') {
        // Padding only at the very end, in the last one or two places.
        if (i + 4 != text.size() || j < 2) {
          return false;
        }
        ++pads;
        continue;
      }
      if (pads > 0) {
        return false;
      }
      const char* p = c ? strchr(kAlphabet, c) : nullptr;
      if (!p) {
        return false;
      }
      value |= static_cast<unsigned>(p - kAlphabet);
    }
    out->push_back(static_cast<char>(value >> 16));
    if (pads < 2) {
      out->push_back(static_cast<char>((value >> 8) & 0xFF));
    }
    if (pads < 1) {
      out->push_back(static_cast<char>(value & 0xFF));
    }
  }
  return true;
}

TEST(Base64, Rfc4648Vectors) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, Encode(c.in));
  }
}

// Every alphabet position and both pad forms, from bytes that set the high bits.
TEST(Base64, WholeAlphabetAndHighBytes) {
  EXPECT_EQ("+/8=", Encode("\xfb\xff"));
  EXPECT_EQ("////", Encode("\xff\xff\xff"));
  EXPECT_EQ("AAAA", Encode(std::string(3, '\0')));
  EXPECT_EQ("AA==", Encode(std::string(1, '\0')));
  std::string all;
  for (int i = 0; i < 64; i += 4) {
    // Four 6-bit groups i, i+1, i+2, i+3 packed into three bytes.
    const unsigned v = (i << 18) | ((i + 1) << 12) | ((i + 2) << 6) | (i + 3);
    all.push_back(static_cast<char>(v >> 16));
    all.push_back(static_cast<char>(v >> 8));
    all.push_back(static_cast<char>(v));
  }
  EXPECT_EQ(kAlphabet, Encode(all));
}

// Lengths across every remainder and beyond 57 bytes (76 characters, where some
// encoders break lines): one unbroken line that decodes back to the input.
TEST(Base64, RoundTripsWithoutLineBreaks) {
  std::mt19937 rng(7);
  for (size_t len : {1u, 2u, 3u, 56u, 57u, 58u, 100u, 1000u, 4096u}) {
    SCOPED_TRACE(len);
    std::string in(len, '\0');
    for (char& c : in) {
      c = static_cast<char>(rng());
    }
    const std::string out = Encode(in);
    EXPECT_EQ((len + 2) / 3 * 4, out.size());
    EXPECT_EQ(std::string::npos, out.find_first_of("\r\n"));
    std::string back;
    ASSERT_TRUE(Decode(out, &back));
    EXPECT_EQ(in, back);
  }
}

// A handshake key is 16 random bytes: always 24 characters ending in "==".
TEST(Base64, SixteenBytesEndInTwoPads) {
  const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::string out;
  rtc::Base64::EncodeFromArray(key, sizeof(key), &out);
  EXPECT_EQ("AQIDBAUGBwgJCgsMDQ4PEA==", out);
}

TEST(Base64, ReplacesOldContents) {
  std::string out(100, 'x');
  rtc::Base64::EncodeFromArray("f", 1, &out);
  EXPECT_EQ("Zg==", out);
  rtc::Base64::EncodeFromArray(nullptr, 0, &out);
  EXPECT_EQ("", out);
}

// The precondition holds in release builds too.
TEST(Base64DeathTest, NullResultAsserts) {
  EXPECT_DEATH(rtc::Base64::EncodeFromArray("f", 1, nullptr), "nullptr != result");
}

}  // namespace
