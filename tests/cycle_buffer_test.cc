#include "src/utilities/cycle_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tavix {
namespace {

// Distinct, recognisable bytes so a byte out of order or from the wrong place shows.
std::string Pattern(size_t n, char first) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(first + i % 23);
  return s;
}

std::string ReadAll(const CycleBuffer& buffer) {
  std::string out(buffer.size(), '\0');
  EXPECT_EQ(buffer.size(), buffer.Read(out.data(), out.size()));
  return out;
}

// One step of a sequence: append `write`, or consume `consume` bytes when
// `write` is empty; `capacity` is the capacity expected afterwards.
struct Step {
  std::string write;
  size_t consume;
  size_t capacity;
};

Step W(const std::string& bytes, size_t capacity) {
  return {bytes, 0, capacity};
}
Step C(size_t n, size_t capacity) {
  return {"", n, capacity};
}

struct SequenceCase {
  const char* name;
  size_t init;
  std::vector<Step> steps;
};

void PrintTo(const SequenceCase& c, std::ostream* os) {
  *os << c.name;
}

class CycleBufferSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

// Runs each step against a plain string as the reference and checks after every
// step that the buffer holds exactly those bytes in that order.
TEST_P(CycleBufferSequenceTest, KeepsBytesInOrder) {
  const SequenceCase& c = GetParam();
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(c.init));
  std::string model;
  bool consumed = false;
  for (size_t i = 0; i < c.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = c.steps[i];
    if (!step.write.empty()) {
      ASSERT_TRUE(buffer.Write(step.write.data(), step.write.size()));
      model += step.write;
    } else {
      ASSERT_TRUE(buffer.MovePosForward(step.consume));
      model.erase(0, step.consume);
      consumed = true;
    }
    EXPECT_EQ(step.capacity, buffer.capacity());
    EXPECT_EQ(model.size(), buffer.size());
    EXPECT_EQ(model.empty(), buffer.IsEmpty());
    EXPECT_EQ(model, ReadAll(buffer));
    // While nothing is consumed the bytes stay one run from the start of the
    // storage, which is how the collected message is parsed in place.
    if (!consumed) {
      EXPECT_EQ(model, std::string(buffer.c_str(), buffer.size()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences,
    CycleBufferSequenceTest,
    ::testing::Values(
        SequenceCase{"GrowsForSecondWrite", 8, {W("abcde", 8), W("fghij", 16)}},
        SequenceCase{"OneWriteGrowsSeveralTimes", 8, {W(Pattern(40, 'a'), 64)}},
        SequenceCase{"FillsExactlyThenGrows", 8, {W(Pattern(8, 'a'), 8), W("z", 16)}},
        SequenceCase{"WrapsWithoutGrowing", 8, {W("abcdef", 8), C(4, 8), W("ghij", 8)}},
        SequenceCase{"GrowsWhileWrapped",
                     8,
                     {W("abcdef", 8), C(4, 8), W("ghij", 8), W("klmnopq", 16), C(5, 16),
                      W(Pattern(12, 'A'), 32)}},
        SequenceCase{"WriteAtEndOfStorageStartsOver",
                     4,
                     {W("abcd", 4), C(2, 4), W("ef", 4), C(1, 4), W("g", 4), W("hi", 8)}},
        SequenceCase{
            "EmptiedThenWraps",
            4,
            {W("abc", 4), C(3, 4), W("defg", 4), C(1, 4), W("hijk", 8), C(7, 8), W("l", 8)}},
        SequenceCase{"FullAndWrappedThenGrows",
                     8,
                     {W("abcdef", 8), C(2, 8), W("gh", 8), W("ij", 8), W("k", 16), C(9, 16),
                      W(Pattern(15, 'A'), 16)}},
        SequenceCase{
            "CollectsFragments",
            20480,
            {W(Pattern(10000, 'a'), 20480), W(Pattern(30000, 'A'), 40960), W("12345", 40960)}}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });

// Long mixed runs from several small starting sizes, against the reference.
TEST(CycleBufferTest, RandomWritesAndConsumesMatchReference) {
  for (size_t init : {1u, 3u, 8u, 16u}) {
    SCOPED_TRACE("init " + std::to_string(init));
    std::mt19937 rng(static_cast<unsigned>(init));
    CycleBuffer buffer;
    ASSERT_TRUE(buffer.Init(init));
    std::string model;
    char next = 'a';
    for (int op = 0; op < 3000; ++op) {
      if (rng() % 2 == 0) {
        std::string bytes = Pattern(rng() % 24, next);
        next = static_cast<char>('a' + (next - 'a' + 7) % 26);
        ASSERT_TRUE(buffer.Write(bytes.data(), bytes.size()));
        model += bytes;
      } else {
        size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
        ASSERT_TRUE(buffer.MovePosForward(n));
        model.erase(0, n);
      }
      ASSERT_EQ(model.size(), buffer.size());
      ASSERT_EQ(model, ReadAll(buffer)) << "after op " << op;
      size_t pos = 0;
      buffer.GetPosition(&pos);
      ASSERT_LT(pos, buffer.capacity());
    }
  }
}

TEST(CycleBufferTest, UnallocatedBufferRefusesWrites) {
  CycleBuffer buffer;
  EXPECT_EQ(0u, buffer.size());
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(0u, buffer.capacity());
  EXPECT_EQ(nullptr, buffer.c_str());
  EXPECT_FALSE(buffer.Write("x", 1));
  EXPECT_FALSE(buffer.ResizeBuffer());
  EXPECT_TRUE(buffer.Write(nullptr, 0));
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(0u, buffer.Read(out, sizeof(out)));
  EXPECT_EQ('#', out[0]);
  EXPECT_EQ(0u, buffer.size());
}

TEST(CycleBufferTest, InitSetsAnEmptyStorage) {
  CycleBuffer buffer;
  EXPECT_FALSE(buffer.Init(0));
  EXPECT_EQ(0u, buffer.capacity());
  ASSERT_TRUE(buffer.Init(8));
  EXPECT_EQ(8u, buffer.capacity());
  EXPECT_EQ(0u, buffer.size());
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_FALSE(buffer.Init(0));
  EXPECT_EQ(8u, buffer.capacity());
}

// A buffer re-initialised to a smaller storage while its positions were far
// into the old one must not write at those old offsets.
TEST(CycleBufferTest, InitOnUsedBufferStartsEmpty) {
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(64));
  std::string old = Pattern(40, 'a');
  ASSERT_TRUE(buffer.Write(old.data(), old.size()));
  ASSERT_TRUE(buffer.MovePosForward(30));
  ASSERT_TRUE(buffer.Init(8));
  size_t pos = 99;
  buffer.GetPosition(&pos);
  EXPECT_EQ(0u, pos);
  EXPECT_EQ(0u, buffer.size());
  std::string fresh = Pattern(10, 'A');
  ASSERT_TRUE(buffer.Write(fresh.data(), fresh.size()));
  EXPECT_EQ(16u, buffer.capacity());
  EXPECT_EQ(fresh, std::string(buffer.c_str(), buffer.size()));
}

TEST(CycleBufferTest, ClearKeepsStorageAndOldBytes) {
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  std::string bytes = Pattern(40, 'a');
  ASSERT_TRUE(buffer.Write(bytes.data(), bytes.size()));
  ASSERT_EQ(64u, buffer.capacity());
  buffer.Clear();
  EXPECT_EQ(0u, buffer.size());
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(64u, buffer.capacity());
  EXPECT_EQ(0, std::memcmp(buffer.c_str(), bytes.data(), bytes.size()));
  // The next message reuses the grown storage from its start.
  ASSERT_TRUE(buffer.Write("xyz", 3));
  EXPECT_EQ(64u, buffer.capacity());
  EXPECT_EQ("xyz", std::string(buffer.c_str(), buffer.size()));
}

TEST(CycleBufferTest, WrappedBytesLandAtStartOfStorage) {
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  ASSERT_TRUE(buffer.Write("abcdef", 6));
  ASSERT_TRUE(buffer.MovePosForward(4));
  size_t pos = 0;
  buffer.GetPosition(&pos);
  EXPECT_EQ(4u, pos);
  ASSERT_TRUE(buffer.Write("ghij", 4));
  EXPECT_EQ(6u, buffer.size());
  const char* storage = buffer.c_str() - 4;
  EXPECT_EQ("ijcdefgh", std::string(storage, 8));
  char out[6];
  EXPECT_EQ(6u, buffer.Read(out, sizeof(out)));
  EXPECT_EQ("efghij", std::string(out, 6));
  EXPECT_EQ(6u, buffer.size());
  // The next write continues at offset 2, right after "ij".
  ASSERT_TRUE(buffer.Write("k", 1));
  EXPECT_EQ('k', storage[2]);
}

TEST(CycleBufferTest, ReadCopiesNoMoreThanStored) {
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  ASSERT_TRUE(buffer.Write("abcdef", 6));
  std::string out(16, '#');
  EXPECT_EQ(6u, buffer.Read(out.data(), out.size()));
  EXPECT_EQ("abcdef##########", out);
  EXPECT_EQ(3u, buffer.Read(out.data(), 3));
  EXPECT_EQ(0u, buffer.Read(nullptr, 0));
}

// Positions are counted from the start of the storage without wrapping, so
// with the read position at 4 of 8 and 6 bytes stored, 10 is the end.
struct PositionCase {
  const char* name;
  size_t pos;
  bool accepted;
  size_t read_pos_after;
  size_t size_after;
};

void PrintTo(const PositionCase& c, std::ostream* os) {
  *os << c.name;
}

class CycleBufferPositionTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(CycleBufferPositionTest, RefusesPositionsPastTheData) {
  const PositionCase& c = GetParam();
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  ASSERT_TRUE(buffer.Write("abcdef", 6));
  ASSERT_TRUE(buffer.SetPosition(4));
  ASSERT_TRUE(buffer.Write("ghij", 4));

  EXPECT_EQ(c.accepted, buffer.SetPosition(c.pos));
  size_t pos = 99;
  buffer.GetPosition(&pos);
  EXPECT_EQ(c.read_pos_after, pos);
  EXPECT_EQ(c.size_after, buffer.size());
  EXPECT_EQ(std::string("efghij").substr(6 - c.size_after), ReadAll(buffer));

  // Filling the free space exactly must stay inside the storage and keep the
  // order; a free count inflated by a bad position would overrun it here.
  std::string fill = Pattern(8 - buffer.size(), 'A');
  std::string expected = ReadAll(buffer) + fill;
  ASSERT_TRUE(buffer.Write(fill.data(), fill.size()));
  EXPECT_EQ(8u, buffer.capacity());
  EXPECT_EQ(expected, ReadAll(buffer));
}

INSTANTIATE_TEST_SUITE_P(
    Positions,
    CycleBufferPositionTest,
    ::testing::Values(PositionCase{"SameAsRead", 4, true, 4, 6},
                      PositionCase{"InsideBeforeWrap", 7, true, 7, 3},
                      PositionCase{"AtEndOfStorage", 8, true, 0, 2},
                      PositionCase{"InsideWrappedPart", 9, true, 1, 1},
                      PositionCase{"EndOfData", 10, true, 2, 0},
                      PositionCase{"OnePastData", 11, false, 4, 6},
                      PositionCase{"FarPastData", 1000, false, 4, 6},
                      PositionCase{"Largest", std::numeric_limits<size_t>::max(), false, 4, 6}),
    [](const ::testing::TestParamInfo<PositionCase>& info) { return info.param.name; });

TEST(CycleBufferTest, MovePosForwardRefusesMoreThanStored) {
  CycleBuffer unallocated;
  EXPECT_TRUE(unallocated.MovePosForward(0));
  EXPECT_FALSE(unallocated.MovePosForward(1));
  EXPECT_FALSE(unallocated.SetPosition(1));

  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  ASSERT_TRUE(buffer.Write("abcde", 5));
  EXPECT_FALSE(buffer.MovePosForward(6));
  EXPECT_FALSE(buffer.MovePosForward(std::numeric_limits<size_t>::max()));
  EXPECT_EQ(5u, buffer.size());
  EXPECT_TRUE(buffer.MovePosForward(5));
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_FALSE(buffer.MovePosForward(1));
}

TEST(CycleBufferDeathTest, PositionBeforeReadStopsTheProcess) {
  CycleBuffer buffer;
  ASSERT_TRUE(buffer.Init(8));
  ASSERT_TRUE(buffer.Write("abcdef", 6));
  ASSERT_TRUE(buffer.SetPosition(4));
  EXPECT_DEATH(buffer.SetPosition(3), "pos >= read_pos_");
}

// Lengths that no doubling can accommodate are refused before anything is
// allocated or changed, instead of overflowing the capacity.
TEST(CycleBufferTest, RefusesLengthsNoGrowthCanHold) {
  const size_t kMax = std::numeric_limits<size_t>::max();
  for (size_t length : {kMax, kMax - 4, kMax / 2 + 2}) {
    SCOPED_TRACE(length);
    CycleBuffer buffer;
    ASSERT_TRUE(buffer.Init(8));
    ASSERT_TRUE(buffer.Write("abcde", 5));
    EXPECT_FALSE(buffer.Write("x", length));
    EXPECT_EQ(8u, buffer.capacity());
    EXPECT_EQ("abcde", ReadAll(buffer));
    ASSERT_TRUE(buffer.Write("fgh", 3));
    EXPECT_EQ("abcdefgh", ReadAll(buffer));
  }
}

}  // namespace
}  // namespace tavix
