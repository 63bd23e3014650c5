#include "rtc_base/checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <limits>
#include <string>

#include "rtc_base/numerics/safe_conversions.h"

namespace {

using rtc::checks_impl::CheckArgType;
using rtc::checks_impl::FatalLog;

// The whole fatal block, as a failed check writes it.
std::string Block(const std::string& file,
                  int line,
                  int error,
                  const std::string& condition,
                  const std::string& tail) {
  return "\n\n#\n# Fatal error in: " + file + ", line " + std::to_string(line) +
         "\n# last system error: " + std::to_string(error) + "\n# Check failed: " + condition +
         tail;
}

// A regular expression that matches exactly `text`, nothing before or after.
std::string Exactly(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos)
      re += '\\';
    re += c;
  }
  return re + "$";
}

enum class Colour { kRed = 7 };

// Each site returns the line of its check and fails the check when `fail` is set, so
// the parent knows the line that the dying child reports.
int PlainSite(bool fail) {
  errno = ENOENT;
  const int line = __LINE__ + 1;
  RTC_CHECK(!fail);
  return line;
}

int StreamingSite(bool fail) {
  errno = 0;
  const std::string text = "str";
  const char* no_text = nullptr;
  const int line = __LINE__ + 1;
  RTC_CHECK(!fail) << "a" << 1 << -2L << 3LL << 4u << 5ul << 6ull << "|" << 0.5 << "|" << 1.25L
                   << "|" << text << no_text << "|" << Colour::kRed << true << "|"
                   << reinterpret_cast<const void*>(0x10);
  return line;
}

int ComparisonSite(bool fail) {
  errno = EINTR;
  const int a = 3;
  const int b = fail ? 4 : 3;
  const int line = __LINE__ + 1;
  RTC_CHECK_EQ(a, b) << "then " << 5;
  return line;
}

int StringComparisonSite(bool fail) {
  errno = 0;
  const std::string a = "x";
  const std::string b = fail ? "y" : "x";
  const int line = __LINE__ + 1;
  RTC_CHECK_EQ(a, b);
  return line;
}

int MixedSignSite(bool fail) {
  errno = 0;
  const int n = fail ? -1 : 1;
  const int line = __LINE__ + 1;
  RTC_CHECK_GT(n, 0u);
  return line;
}

int FatalSite(bool fail) {
  errno = 0;
  const int line = __LINE__ + 2;
  if (fail)
    FATAL() << "Unreachable code.";
  return line;
}

// Their line is the one in the conversion header.
int CheckedCastIntSite(bool fail) {
  errno = ERANGE;
  EXPECT_EQ(2147483647, rtc::checked_cast<int>(fail ? 2147483648ul : 2147483647ul));
  return 36;
}

int CheckedCastLongSite(bool fail) {
  errno = 0;
  const unsigned long big = 9223372036854775807ul + (fail ? 1 : 0);
  EXPECT_EQ(9223372036854775807l, rtc::checked_cast<long>(big));
  return 36;
}

struct SiteCase {
  const char* name;
  int (*site)(bool fail);
  const char* file;
  int error;
  const char* condition;
  const char* tail;
};

const SiteCase kSiteCases[] = {
    {"no values", PlainSite, "tests/checks_test.cc", ENOENT, "!fail", "\n# "},
    {"every streamable type", StreamingSite, "tests/checks_test.cc", 0, "!fail",
     "\n# a1-23456|0.5|1.25|str|71|0x10"},
    {"comparison", ComparisonSite, "tests/checks_test.cc", EINTR, "a == b", " (3 vs. 4)\n# then 5"},
    {"string comparison", StringComparisonSite, "tests/checks_test.cc", 0, "a == b",
     " (x vs. y)\n# "},
    // Compared as plain ints, -1 > 0u would hold and the check would pass.
    {"signed against unsigned", MixedSignSite, "tests/checks_test.cc", 0, "n > 0u",
     " (-1 vs. 0)\n# "},
    {"FATAL", FatalSite, "tests/checks_test.cc", 0, "FATAL()", "\n# Unreachable code."},
    {"checked_cast<int>", CheckedCastIntSite, "rtc_base/numerics/safe_conversions.h", ERANGE,
     "IsValueInRangeForNumericType<Dst>(value)", "\n# "},
    {"checked_cast<long>", CheckedCastLongSite, "rtc_base/numerics/safe_conversions.h", 0,
     "IsValueInRangeForNumericType<Dst>(value)", "\n# "},
};

TEST(ChecksDeathTest, FailedCheckWritesTheBlockAndAborts) {
  for (const SiteCase& c : kSiteCases) {
    SCOPED_TRACE(c.name);
    const int line = c.site(false);
    EXPECT_EXIT(c.site(true), testing::KilledBySignal(SIGABRT),
                Exactly(Block(c.file, line, c.error, c.condition, c.tail)));
  }
}

// The tag arrays that the macros never produce, written out by hand.
struct TagCase {
  const char* name;
  void (*fail)();
  const char* tail;
};

const TagCase kTagCases[] = {
    {"comparison of two ints",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kCheckOp, CheckArgType::kInt,
                                            CheckArgType::kInt, CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags, 3, 4);
     },
     " (3 vs. 4)\n# "},
    {"one text",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kCharP, CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags, "x");
     },
     "\n# x"},
    {"std::string",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kStdString, CheckArgType::kEnd};
       static const std::string kText = "from a string";
       FatalLog("a/b.cc", 12, "cond", kTags, &kText);
     },
     "\n# from a string"},
    {"comparison marker after the first tag ends the list",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kInt, CheckArgType::kCheckOp,
                                            CheckArgType::kInt, CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags, 5, 6);
     },
     "\n# 5[Invalid CheckArgType]"},
    {"unknown tag",
     [] {
       static const CheckArgType kTags[] = {static_cast<CheckArgType>(13), CheckArgType::kInt,
                                            CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags, 5);
     },
     "\n# [Invalid CheckArgType]"},
    // The operands cannot be read: neither they nor the separator are written.
    {"comparison without operands",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kCheckOp, CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags);
     },
     ""},
    {"null text",
     [] {
       static const CheckArgType kTags[] = {CheckArgType::kCharP, CheckArgType::kCharP,
                                            CheckArgType::kEnd};
       FatalLog("a/b.cc", 12, "cond", kTags, static_cast<const char*>(nullptr), "y");
     },
     "\n# y"},
};

TEST(ChecksDeathTest, FatalLogFollowsItsTags) {
  for (const TagCase& c : kTagCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          errno = 0;
          c.fail();
        },
        testing::KilledBySignal(SIGABRT), Exactly(Block("a/b.cc", 12, 0, "cond", c.tail)));
  }
}

TEST(ChecksDeathTest, PathOutsideTheSourceTreeIsPrintedUnchanged) {
  static const CheckArgType kTags[] = {CheckArgType::kEnd};
  EXPECT_EXIT(
      {
        errno = 0;
        FatalLog("/elsewhere/rtc_base/x.cc", 1, "c", kTags);
      },
      testing::KilledBySignal(SIGABRT),
      Exactly(Block("/elsewhere/rtc_base/x.cc", 1, 0, "c", "\n# ")));
}

// abort() does not flush stdio: output still buffered when a check fails would be lost.
TEST(ChecksDeathTest, FlushesStandardOutputBeforeTheBlock) {
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        fputs("pending output", stdout);
        RTC_CHECK(false);
      },
      testing::KilledBySignal(SIGABRT),
      "^pending output\n\n#\n# Fatal error in: tests/checks_test\\.cc");
}

TEST(ChecksTest, PassingCheckEvaluatesNoStreamedValue) {
  int calls = 0;
  auto count = [&calls] { return ++calls; };
  RTC_CHECK(true) << count();
  RTC_CHECK_EQ(1, 1) << count();
  EXPECT_EQ(0, calls);
}

TEST(ChecksTest, ComparisonEvaluatesEachOperandOnce) {
  int a = 0;
  int b = 10;
  RTC_CHECK_EQ(++a, 1);
  RTC_CHECK_LT(++a, b--);
  EXPECT_EQ(2, a);
  EXPECT_EQ(9, b);
}

TEST(ChecksTest, DcheckEvaluatesItsConditionOnlyWhenOn) {
  int calls = 0;
  auto count = [&calls] { return ++calls; };
  RTC_DCHECK(count() > 0);
  RTC_DCHECK_EQ(count(), calls);
  EXPECT_EQ(RTC_DCHECK_IS_ON ? 2 : 0, calls);
}

TEST(ChecksTest, MixedSignComparisonsCompareValues) {
  using namespace rtc::checks_impl;
  const unsigned long long kMaxU64 = std::numeric_limits<unsigned long long>::max();
  const long long kMinI64 = std::numeric_limits<long long>::min();
  EXPECT_TRUE(SafeLt(-1, 0u));
  EXPECT_TRUE(SafeGt(0u, -1));
  EXPECT_TRUE(SafeNe(-1, 4294967295u));
  EXPECT_FALSE(SafeEq(-1, 4294967295u));
  EXPECT_TRUE(SafeLe(kMinI64, 0ull));
  EXPECT_TRUE(SafeGt(kMaxU64, 9223372036854775807ll));
  EXPECT_TRUE(SafeEq(5u, 5ll));
  EXPECT_TRUE(SafeGe(5ll, 5u));
  EXPECT_FALSE(SafeLt(5u, 5));
}

TEST(SafeConversionsTest, CheckedCastReturnsValuesInRange) {
  EXPECT_EQ(2147483647, rtc::checked_cast<int>(2147483647ul));
  EXPECT_EQ(0, rtc::checked_cast<int>(0ul));
  EXPECT_EQ(9223372036854775807l, rtc::checked_cast<long>(9223372036854775807ul));
}

TEST(SafeConversionsTest, DcheckedCastKeepsTheLowBits) {
  EXPECT_EQ(1, rtc::dchecked_cast<unsigned short>(65537));
  EXPECT_EQ(65535, rtc::dchecked_cast<unsigned short>(-1));
  EXPECT_EQ(0, rtc::dchecked_cast<unsigned short>(65536));
  EXPECT_EQ(-1ll, rtc::dchecked_cast<long long>(18446744073709551615ull));
  EXPECT_EQ(4294967295u, rtc::dchecked_cast<unsigned int>(0x1ffffffffull));
}

TEST(SafeConversionsTest, RangeCheck) {
  using namespace rtc::internal;
  const double kNan = std::nan("");
  const double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    RangeCheckResult got;
    RangeCheckResult want;
  };
  const Case cases[] = {
      {"int <- unsigned long, largest int", RangeCheck<int>(2147483647ul), RANGE_VALID},
      {"int <- unsigned long, one more", RangeCheck<int>(2147483648ul), RANGE_OVERFLOW},
      {"long <- unsigned long, largest long", RangeCheck<long>(9223372036854775807ul), RANGE_VALID},
      {"long <- unsigned long, one more", RangeCheck<long>(9223372036854775808ul), RANGE_OVERFLOW},
      {"unsigned long <- unsigned int", RangeCheck<unsigned long>(4294967295u), RANGE_VALID},
      {"unsigned <- int, -1", RangeCheck<unsigned>(-1), RANGE_UNDERFLOW},
      {"unsigned <- int, 0", RangeCheck<unsigned>(0), RANGE_VALID},
      {"unsigned <- long, 2^32", RangeCheck<unsigned>(4294967296l), RANGE_OVERFLOW},
      {"signed char <- int, -129", RangeCheck<signed char>(-129), RANGE_UNDERFLOW},
      {"signed char <- int, -128", RangeCheck<signed char>(-128), RANGE_VALID},
      {"signed char <- int, 128", RangeCheck<signed char>(128), RANGE_OVERFLOW},
      {"int <- double, NaN", RangeCheck<int>(kNan), RANGE_INVALID},
      {"int <- double, just below 2^31", RangeCheck<int>(2147483647.9), RANGE_VALID},
      {"int <- double, 2^31", RangeCheck<int>(2147483648.0), RANGE_OVERFLOW},
      {"int <- double, -2^31", RangeCheck<int>(-2147483648.0), RANGE_VALID},
      {"int <- double, below -2^31", RangeCheck<int>(-2147483649.0), RANGE_UNDERFLOW},
      // 2^63 - 1 is not a double: the literal rounds to 2^63, which long long lacks.
      {"long long <- double, 2^63", RangeCheck<long long>(9223372036854775807.0), RANGE_OVERFLOW},
      {"unsigned long long <- double, 2^64", RangeCheck<unsigned long long>(18446744073709551616.0),
       RANGE_OVERFLOW},
      {"unsigned <- double, -0.5 truncates to 0", RangeCheck<unsigned>(-0.5), RANGE_VALID},
      {"unsigned <- double, -1", RangeCheck<unsigned>(-1.0), RANGE_UNDERFLOW},
      {"float <- double, 1e300", RangeCheck<float>(1e300), RANGE_OVERFLOW},
      {"float <- double, -1e300", RangeCheck<float>(-1e300), RANGE_UNDERFLOW},
      {"float <- double, infinity", RangeCheck<float>(kInf), RANGE_VALID},
      {"double <- unsigned long long", RangeCheck<double>(18446744073709551615ull), RANGE_VALID},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.want, c.got) << c.name;
}

TEST(SafeConversionsTest, SaturatedCastClamps) {
  EXPECT_EQ(2147483647, rtc::saturated_cast<int>(1ll << 40));
  EXPECT_EQ(-2147483647 - 1, rtc::saturated_cast<int>(-(1ll << 40)));
  EXPECT_EQ(0u, rtc::saturated_cast<unsigned>(-5));
  EXPECT_EQ(0, rtc::saturated_cast<int>(std::nan("")));
  EXPECT_EQ(12, rtc::saturated_cast<int>(12.7));
}

}  // namespace
