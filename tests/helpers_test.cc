#include "rtc_base/helpers.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace rtc {
namespace {

void ExpectVersion4Uuid(const std::string& uuid) {
  ASSERT_EQ(36u, uuid.size()) << uuid;
  for (size_t i = 0; i < uuid.size(); ++i) {
    const char c = uuid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23)
      EXPECT_EQ('-', c) << uuid;
    else if (i == 14)
      EXPECT_EQ('4', c) << uuid;
    else if (i == 19)
      EXPECT_NE(std::string::npos, std::string("89ab").find(c)) << uuid;
    else
      EXPECT_NE(std::string::npos, std::string("0123456789abcdef").find(c)) << uuid;
  }
}

TEST(RandomTest, UuidsHaveTheVersion4ShapeAndDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = CreateRandomUuid();
    ExpectVersion4Uuid(uuid);
    seen.insert(uuid);
  }
  EXPECT_EQ(1000u, seen.size());
}

TEST(RandomTest, SeedingAlwaysSucceedsAndFixesNothing) {
  EXPECT_TRUE(InitRandom(42));
  const std::string first = CreateRandomUuid();
  EXPECT_TRUE(InitRandom(42));
  EXPECT_TRUE(InitRandom("seed", 4));
  EXPECT_TRUE(InitRandom(nullptr, 0));
  EXPECT_NE(first, CreateRandomUuid());
}

TEST(RandomTest, EveryVariantDigitAppears) {
  // The fourth group's first digit comes from two random bits: all four show up.
  std::set<char> variants;
  for (int i = 0; i < 400 && variants.size() < 4; ++i)
    variants.insert(CreateRandomUuid()[19]);
  EXPECT_EQ((std::set<char>{'8', '9', 'a', 'b'}), variants);
}

}  // namespace
}  // namespace rtc
