// ctest-labels: threading
#include "rtc_base/logging.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace rtc {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::string LineAt(int line, const std::string& rest) {
  return "(logging_test.cc:" + std::to_string(line) + "): " + rest + "\n";
}

TEST(LoggingTest, WritesInfoAndAboveOneLineEach) {
  struct Case {
    LoggingSeverity severity;
    bool written;
  } const cases[] = {
      {SEV_VERBOSE, false}, {SEV_INFO, true}, {SEV_WARNING, true}, {SEV_ERROR, true}};
  for (const Case& c : cases) {
    CaptureStderr();
    RTC_LOG_FILE_LINE(c.severity, "rtc_base/x.cc", 7) << "sev " << static_cast<int>(c.severity);
    const std::string out = GetCapturedStderr();
    if (c.written)
      EXPECT_EQ("(x.cc:7): sev " + std::to_string(c.severity) + "\n", out);
    else
      EXPECT_EQ("", out);
    EXPECT_EQ(!c.written, LogMessage::IsNoop(c.severity));
  }
}

TEST(LoggingTest, PrefixIsTheBaseNameOfThePath) {
  for (const char* path : {"a/b/c.x", "a\\b/c.x", "a/b\\c.x", "c.x"}) {
    CaptureStderr();
    RTC_LOG_FILE_LINE(SEV_INFO, path, 12) << "hi";
    EXPECT_EQ("(c.x:12): hi\n", GetCapturedStderr()) << path;
  }
  CaptureStderr();
  RTC_LOG(LS_WARNING) << "here";
  const int line = __LINE__ - 1;
  EXPECT_EQ(LineAt(line, "here"), GetCapturedStderr());
}

TEST(LoggingTest, ErrnoStatementAppendsNumberAndSystemText) {
  char expected_suffix[64];
  snprintf(expected_suffix, sizeof(expected_suffix), " : [0x%08X] %s", EWOULDBLOCK,
           strerror(EWOULDBLOCK));
  CaptureStderr();
  errno = EWOULDBLOCK;
  RTC_LOG_ERRNO(LS_ERROR) << "select";
  const int line = __LINE__ - 1;
  EXPECT_EQ(LineAt(line, std::string("select") + expected_suffix), GetCapturedStderr());

  CaptureStderr();
  RTC_LOG_ERRNO_EX(LS_ERROR, -1) << "pipe failed";
  EXPECT_THAT(GetCapturedStderr(), ::testing::EndsWith("pipe failed : [0xFFFFFFFF] " +
                                                       std::string(strerror(-1)) + "\n"));
}

TEST(LoggingTest, ValuesStreamInTheirOwnFormat) {
  const std::string text = "str";
  const std::string_view view("view-and-more", 4);
  const char* null_text = nullptr;
  CaptureStderr();
  RTC_LOG_FILE_LINE(SEV_INFO, "f.cc", 1)
      << -1 << " " << 4294967295u << " " << 0.5 << " " << -7L << " " << 12345678901LL << " " << 7ul
      << " " << 18446744073709551615ull << " " << 1.5L << " "
      << reinterpret_cast<const void*>(uintptr_t{0x12300ff}) << " " << text << " " << view << "["
      << null_text << "]";
  EXPECT_EQ(
      "(f.cc:1): -1 4294967295 0.5 -7 12345678901 7 18446744073709551615 1.5 12300ff str view[]\n",
      GetCapturedStderr());
}

TEST(LoggingTest, UnknownTagEndsTheLineButKeepsWhatCameBefore) {
  using logging_impl::LogArgType;
  static const LogArgType kTags[] = {LogArgType::kLogMetadata, LogArgType::kCharP,
                                     static_cast<LogArgType>(20), LogArgType::kInt,
                                     LogArgType::kEnd};
  CaptureStderr();
  logging_impl::Log(kTags, logging_impl::LogMetadata("g.cc", 3, SEV_INFO), "text", 42);
  EXPECT_EQ("(g.cc:3): text\n", GetCapturedStderr());

  static const LogArgType kNoMetadata[] = {LogArgType::kCharP, LogArgType::kEnd};
  CaptureStderr();
  logging_impl::Log(kNoMetadata, "ignored");
  EXPECT_EQ("", GetCapturedStderr());
}

TEST(LoggingTest, LinesFromSeveralThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  const std::string payload(100, 'x');
  CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        RTC_LOG_FILE_LINE(SEV_INFO, "t.cc", t) << payload;
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  const std::string out = GetCapturedStderr();
  int lines = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t end = out.find('\n', pos);
    ASSERT_NE(std::string::npos, end);
    EXPECT_THAT(out.substr(pos, end - pos), ::testing::MatchesRegex("\\(t\\.cc:[0-3]\\): x{100}"));
    pos = end + 1;
    ++lines;
  }
  EXPECT_EQ(kThreads * kLines, lines);
}

}  // namespace
}  // namespace rtc
