#include "rtc_base/strings/string_builder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "rtc_base/array_view.h"
#include "rtc_base/numerics/safe_compare.h"
#include "rtc_base/numerics/safe_minmax.h"

namespace {

// The builder lives in a larger array so writes past its view show up as changed
// guard characters.
class StringBuilderTest : public ::testing::Test {
 protected:
  static constexpr size_t kGuard = 8;
  StringBuilderTest() { memset(storage_, '#', sizeof(storage_)); }
  rtc::ArrayView<char> View(size_t size) { return rtc::ArrayView<char>(storage_, size); }
  bool GuardIntact(size_t size) const {
    for (size_t i = size; i < size + kGuard; ++i) {
      if (storage_[i] != '#') {
        return false;
      }
    }
    return true;
  }
  char storage_[64 + kGuard];
};

TEST_F(StringBuilderTest, StartsEmpty) {
  rtc::SimpleStringBuilder sb(View(8));
  EXPECT_STREQ("", sb.str());
  EXPECT_EQ(storage_, sb.str());
  EXPECT_EQ(0u, sb.size());
}

TEST_F(StringBuilderTest, CutsWhatDoesNotFit) {
  struct Case {
    const char* name;
    size_t size;
    void (*build)(rtc::SimpleStringBuilder&);
    const char* expected;
  };
  const Case cases[] = {
      {"text too long", 8, [](rtc::SimpleStringBuilder& sb) { sb << "abcdefghij"; }, "abcdefg"},
      {"int into a full builder", 8, [](rtc::SimpleStringBuilder& sb) { sb << "abcdefghij" << 42; },
       "abcdefg"},
      {"exactly full", 8,
       [](rtc::SimpleStringBuilder& sb) {
         sb << "abc"
            << "defg";
       },
       "abcdefg"},
      {"int cut", 6, [](rtc::SimpleStringBuilder& sb) { sb << "ab" << -12345; }, "ab-12"},
      {"std::string", 16, [](rtc::SimpleStringBuilder& sb) { sb << std::string("x") << 7; }, "x7"},
      {"format cut", 5, [](rtc::SimpleStringBuilder& sb) { sb.AppendFormat("%s", "123456"); },
       "1234"},
      {"format", 32,
       [](rtc::SimpleStringBuilder& sb) { sb.AppendFormat("%s:%d", "127.0.0.1", 8080); },
       "127.0.0.1:8080"},
      {"append with length", 16, [](rtc::SimpleStringBuilder& sb) { sb.Append("hello", 2); }, "he"},
      {"one-character buffer", 1, [](rtc::SimpleStringBuilder& sb) { sb << "abc" << 1; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memset(storage_, '#', sizeof(storage_));
    rtc::SimpleStringBuilder sb(View(c.size));
    c.build(sb);
    EXPECT_STREQ(c.expected, sb.str());
    EXPECT_EQ(strlen(c.expected), sb.size());
    EXPECT_TRUE(GuardIntact(c.size));
  }
}

// Text appended after a cut is dropped too; the builder stays full and terminated.
TEST_F(StringBuilderTest, StaysFullAfterACut) {
  rtc::SimpleStringBuilder sb(View(4));
  sb << "abcdef";
  sb.AppendFormat("%d", 9);
  sb << std::string("zz");
  sb.Append("q", 1);
  EXPECT_STREQ("abc", sb.str());
  EXPECT_TRUE(GuardIntact(4));
}

// An empty view has no room even for the terminator: nothing may be written.
TEST_F(StringBuilderTest, EmptyBufferWritesNothing) {
  rtc::SimpleStringBuilder sb(rtc::ArrayView<char>(storage_, 0));
  sb << "abc" << 1;
  sb.AppendFormat("%s", "x");
  EXPECT_STREQ("", sb.str());
  EXPECT_EQ(0u, sb.size());
  EXPECT_TRUE(GuardIntact(0));
}

TEST(ArrayView, Basics) {
  char chars[5] = "abcd";
  rtc::ArrayView<char> view(chars);
  EXPECT_EQ(5u, view.size());
  EXPECT_EQ(chars, view.data());
  view[1] = 'B';
  EXPECT_EQ('B', chars[1]);
  rtc::ArrayView<const char> ro = view;
  EXPECT_EQ(chars, ro.data());
  EXPECT_EQ(5u, ro.size());
  std::vector<char> vec(3, 'x');
  rtc::ArrayView<char> from_vec(vec);
  EXPECT_EQ(vec.data(), from_vec.data());
  EXPECT_EQ(3u, from_vec.size());
  // Zero elements give a null data pointer whatever they were made from.
  rtc::ArrayView<char> none(chars, 0);
  EXPECT_EQ(nullptr, none.data());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(nullptr, rtc::ArrayView<char>().data());
}

TEST(SafeCompare, MixedSigns) {
  EXPECT_TRUE(rtc::SafeLt(-1, 0ul));
  EXPECT_TRUE(rtc::SafeLt(INT_MIN, 0ul));
  EXPECT_FALSE(rtc::SafeLt(5, 5ul));
  EXPECT_TRUE(rtc::SafeLt(4, 5ul));
  EXPECT_FALSE(rtc::SafeLt(0ul, -1));
  EXPECT_TRUE(rtc::SafeLt(INT_MAX, ULONG_MAX));
  EXPECT_FALSE(rtc::SafeEq(-1, UINT_MAX));
  EXPECT_TRUE(rtc::SafeGt(1u, -1));
  EXPECT_TRUE(rtc::SafeLe(-3, -3L));
  EXPECT_TRUE(rtc::SafeGe(ULONG_MAX, LONG_MAX));
  EXPECT_TRUE(rtc::SafeNe(-1, ULONG_MAX));
}

TEST(SafeMin, IntAndUnsignedLong) {
  EXPECT_EQ(-1, rtc::SafeMin(-1, 3ul));
  EXPECT_EQ(3, rtc::SafeMin(7, 3ul));
  EXPECT_EQ(7, rtc::SafeMin(7, ULONG_MAX));
  EXPECT_EQ(INT_MIN, rtc::SafeMin(ULONG_MAX, INT_MIN));
  static_assert(std::is_same<int, decltype(rtc::SafeMin(1, 1ul))>::value, "int result");
}

}  // namespace
