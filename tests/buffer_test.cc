#include "rtc_base/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

std::string Contents(const rtc::Buffer& buf) {
  return std::string(buf.data<char>(), buf.size());
}

std::string Bytes(size_t n, char first = 'a') {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(static_cast<char>(first + i % 26));
  }
  return s;
}

TEST(Buffer, NewBufferIsEmpty) {
  rtc::Buffer buf;
  EXPECT_EQ(0u, buf.size());
  EXPECT_EQ(0u, buf.capacity());
  EXPECT_TRUE(buf.empty());
  EXPECT_EQ(nullptr, buf.data());
  EXPECT_EQ(nullptr, buf.data<char>());
}

// Each step of a growth sequence and the capacity it must leave: appends and
// SetSize grow by at least half the old capacity, EnsureCapacity by exactly what
// is asked, and nothing ever shrinks the storage.
TEST(Buffer, GrowthSequence) {
  enum Op { kAppend, kEnsure, kSetSize, kSetData, kClear };
  struct Step {
    Op op;
    size_t n;
    size_t size;
    size_t capacity;
  };
  const Step steps[] = {
      {kAppend, 0, 0, 0},     // nothing allocated for nothing
      {kAppend, 10, 10, 10},  // max(10, 0)
      {kAppend, 1, 11, 15},   // max(11, 15)
      {kAppend, 10, 21, 22},  // max(21, 22)
      {kClear, 0, 0, 22},        {kSetData, 12, 12, 22},  {kSetSize, 0, 0, 22},
      {kEnsure, 100, 0, 100},  // exactly as asked
      {kEnsure, 50, 0, 100},   // never shrinks
      {kSetSize, 101, 101, 150}, {kSetSize, 10, 10, 150}, {kSetData, 151, 151, 225},
  };
  rtc::Buffer buf;
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE(i);
    const std::string data = Bytes(s.n, 'A');
    switch (s.op) {
      case kAppend:
        buf.AppendData(data.data(), data.size());
        break;
      case kEnsure:
        buf.EnsureCapacity(s.n);
        break;
      case kSetSize:
        buf.SetSize(s.n);
        break;
      case kSetData:
        buf.SetData(data.data(), data.size());
        break;
      case kClear:
        buf.Clear();
        break;
    }
    EXPECT_EQ(s.size, buf.size());
    EXPECT_EQ(s.capacity, buf.capacity());
  }
}

TEST(Buffer, AppendNothingAllocatesNothing) {
  rtc::Buffer buf;
  buf.AppendData(static_cast<const char*>(nullptr), 0);
  buf.SetData(static_cast<const unsigned char*>(nullptr), 0);
  EXPECT_EQ(nullptr, buf.data());
  EXPECT_EQ(0u, buf.capacity());
}

TEST(Buffer, AppendKeepsOrderAcrossGrowth) {
  rtc::Buffer buf;
  std::string expected;
  for (size_t n : {1u, 7u, 0u, 30u, 3u, 100u}) {
    const std::string piece = Bytes(n, static_cast<char>('a' + n % 7));
    buf.AppendData(piece.data(), piece.size());
    expected += piece;
    ASSERT_EQ(expected, Contents(buf));
  }
  const unsigned char raw[] = {0x00, 0xff};
  buf.AppendData(raw, sizeof(raw));
  expected.append("\x00\xff", 2);
  EXPECT_EQ(expected, Contents(buf));
}

TEST(Buffer, SetDataReplacesContents) {
  rtc::Buffer buf;
  const std::string first = Bytes(12, 'a');
  buf.AppendData(first.data(), 10);
  buf.AppendData(first.data() + 10, 2);
  ASSERT_EQ(15u, buf.capacity());
  const std::string second = Bytes(20, 'K');
  buf.SetData(second.data(), second.size());
  EXPECT_EQ(20u, buf.size());
  EXPECT_EQ(22u, buf.capacity());
  EXPECT_EQ(second, Contents(buf));
}

// What the TCP socket does: keep storage, shrink to the unconsumed bytes at the
// front, grow the size by what a read put after them.
TEST(Buffer, SetSizeKeepsLeadingBytesAndStorage) {
  rtc::Buffer buf;
  buf.EnsureCapacity(128);
  unsigned char* const storage = buf.data();
  memcpy(buf.data(), "hello world", 11);
  buf.SetSize(11);
  EXPECT_EQ("hello world", Contents(buf));
  buf.SetSize(5);
  EXPECT_EQ("hello", Contents(buf));
  buf.SetSize(0);
  EXPECT_EQ(storage, buf.data());
  EXPECT_EQ(128u, buf.capacity());
  buf.SetData("abc", 3);
  buf.Clear();
  EXPECT_EQ(storage, buf.data());
  EXPECT_EQ(128u, buf.capacity());
  EXPECT_TRUE(buf.empty());
  // Growing past the capacity moves the storage but keeps the bytes at the front.
  buf.SetData("abc", 3);
  buf.SetSize(500);
  EXPECT_EQ(500u, buf.capacity());
  EXPECT_EQ(0, memcmp(buf.data(), "abc", 3));
}

// A source inside the buffer's own contents must be read before the old storage
// is released (ASan reports a use after free otherwise).
TEST(Buffer, SourceInsideOwnStorage) {
  rtc::Buffer buf;
  buf.SetData("abcdefghij", 10);
  ASSERT_EQ(10u, buf.capacity());
  buf.AppendData(buf.data(), buf.size());  // grows
  EXPECT_EQ("abcdefghijabcdefghij", Contents(buf));
  buf.AppendData(buf.data() + 2, 2);  // fits
  EXPECT_EQ("abcdefghijabcdefghijcd", Contents(buf));
  buf.SetData(buf.data() + 5, 10);  // overlapping move to the front
  EXPECT_EQ("fghijabcde", Contents(buf));
  buf.SetData(buf.data(), buf.size());
  EXPECT_EQ("fghijabcde", Contents(buf));
}

TEST(Buffer, MoveLeavesSourceEmpty) {
  rtc::Buffer a;
  a.SetData("xyz", 3);
  const unsigned char* storage = a.data();
  rtc::Buffer b(std::move(a));
  EXPECT_EQ(storage, b.data());
  EXPECT_EQ("xyz", Contents(b));
  EXPECT_EQ(0u, a.size());  // NOLINT: checking the moved-from state on purpose
  EXPECT_EQ(0u, a.capacity());
  EXPECT_EQ(nullptr, a.data());
  rtc::Buffer c;
  c.SetData("old", 3);
  c = std::move(b);
  EXPECT_EQ("xyz", Contents(c));
  EXPECT_EQ(nullptr, b.data());
  // The moved-from buffer is usable again.
  a.AppendData("q", 1);
  EXPECT_EQ("q", Contents(a));
}

TEST(Buffer, ZeroOnFreeWipesOnClear) {
  rtc::ZeroOnFreeBuffer buf;
  buf.SetData("secret", 6);
  const uint8_t* storage = buf.data();
  buf.Clear();
  EXPECT_EQ(storage, buf.data());
  for (size_t i = 0; i < buf.capacity(); ++i) {
    EXPECT_EQ(0, storage[i]);
  }
}

}  // namespace
