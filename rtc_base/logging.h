#ifndef RTC_BASE_LOGGING_H_
#define RTC_BASE_LOGGING_H_

#include <errno.h>
#include <stdint.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

#include "rtc_base/strings/string_builder.h"
#include "rtc_base/value_streamer.h"

// A log statement:
//   RTC_LOG(LS_ERROR) << "Bind() failed with error " << error;
//   RTC_LOG_ERRNO(LS_ERROR) << "select";   // appends " : [0x%08X] <strerror>"
// Each statement hands one constant array of type tags and the raw values to
// rtc::logging_impl::Log, which filters by severity before formatting anything. A
// line written is "(<file>:<line>): <values>[ : <error>]\n" on standard error.

namespace rtc {

enum LoggingSeverity {
  SEV_VERBOSE = 1,
  SEV_INFO = 2,
  SEV_WARNING = 3,
  SEV_ERROR = 4,
  // The names log statements use.
  LS_VERBOSE = SEV_VERBOSE,
  LS_INFO = SEV_INFO,
  LS_WARNING = SEV_WARNING,
  LS_ERROR = SEV_ERROR,
};

enum LogErrorContext {
  ERR_CONTEXT_NONE = 0,
  ERR_CONTEXT_ERRNO = 1,
};

namespace logging_impl {

enum class LogArgType : int8_t {
  kEnd = 0,
  kInt = 1,
  kLong = 2,
  kLongLong = 3,
  kUInt = 4,
  kULong = 5,
  kULongLong = 6,
  kDouble = 7,
  kLongDouble = 8,
  kCharP = 9,
  kStdString = 10,
  kStringView = 11,
  kVoidP = 12,
  kLogMetadata = 13,
  kLogMetadataErr = 14,
};

// Trivial, so that it passes through Log's variable arguments by value.
class LogMetadata {
 public:
  LogMetadata() = default;
  constexpr LogMetadata(const char* file, int line, LoggingSeverity severity)
      : file_(file),
        line_and_severity_(static_cast<uint32_t>(line) << 3 | static_cast<uint32_t>(severity)) {}

  const char* File() const { return file_; }
  int Line() const { return static_cast<int>(line_and_severity_ >> 3); }
  LoggingSeverity Severity() const { return static_cast<LoggingSeverity>(line_and_severity_ & 7); }

 private:
  const char* file_;
  uint32_t line_and_severity_;
};

struct LogMetadataErr {
  LogMetadata meta_;
  LogErrorContext error_context_;
  int error_;
};

// The one entry point: `fmt` is the statement's tag array (metadata tag, one tag per
// value, kEnd), followed by the metadata and the values as the tags describe them.
void Log(const LogArgType* fmt, ...);

template <LogArgType N, typename T>
using Val = value_streamer_impl::Val<LogArgType, N, T>;

inline Val<LogArgType::kLogMetadata, LogMetadata> MakeVal(const LogMetadata& x) {
  return {x};
}
inline Val<LogArgType::kLogMetadataErr, LogMetadataErr> MakeVal(const LogMetadataErr& x) {
  return {x};
}

template <typename... Ts>
using ValueStreamer = value_streamer_impl::ValueStreamer<LogArgType, Ts...>;

// `LogCall(metadata) & streamer` makes the statement's one Log call, with a tag array
// that the compiler lays out as a constant. `&` binds more loosely than `<<`, so the
// values are all streamed first.
template <typename MetaVal>
class LogCall final {
 public:
  explicit LogCall(const MetaVal& meta) : meta_(meta) {}

  template <typename... Ts>
  void operator&(const ValueStreamer<Ts...>& streamer) const {
    Call(streamer.values(), std::index_sequence_for<Ts...>());
  }

 private:
  template <typename... Ts, size_t... I>
  void Call(const std::tuple<Ts...>& values, std::index_sequence<I...>) const {
    static constexpr LogArgType kTags[] = {MetaVal::Type(), Ts::Type()..., LogArgType::kEnd};
    Log(kTags, meta_.GetVal(), std::get<I>(values).GetVal()...);
  }

  MetaVal meta_;
};

}  // namespace logging_impl

// One finished line; its destruction writes it.
class LogMessage {
 public:
  LogMessage(const char* file,
             int line,
             LoggingSeverity sev,
             LogErrorContext err_ctx = ERR_CONTEXT_NONE,
             int err = 0);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  StringBuilder& stream() { return stream_; }
  void AddTag(const char*) {}

  // True when a statement of this severity is written nowhere. Standard error is
  // the only destination: there are no other sinks.
  static bool IsNoop(LoggingSeverity severity);

  static int64_t LogStartTime();
  static uint32_t WallClockStartTime();

 private:
  void FinishPrintStream();
  static void OutputToDebug(const std::string& text, LoggingSeverity severity);

  StringBuilder stream_;
  LoggingSeverity severity_;
  std::string error_suffix_;

  static bool log_to_stderr_;
  static bool timestamp_;
  static bool thread_;
};

}  // namespace rtc

#define RTC_LOG_FILE_LINE(sev, file, line)                                               \
  ::rtc::logging_impl::LogCall(                                                          \
      ::rtc::logging_impl::MakeVal(::rtc::logging_impl::LogMetadata(file, line, sev))) & \
      ::rtc::logging_impl::ValueStreamer<>()

#define RTC_LOG(sev) RTC_LOG_FILE_LINE(::rtc::sev, __FILE__, __LINE__)

// Appends the error number `err` and the system's text for it to the line.
#define RTC_LOG_ERRNO_EX(sev, err)                                                                \
  ::rtc::logging_impl::LogCall(::rtc::logging_impl::MakeVal(::rtc::logging_impl::LogMetadataErr{  \
      ::rtc::logging_impl::LogMetadata(__FILE__, __LINE__, ::rtc::sev), ::rtc::ERR_CONTEXT_ERRNO, \
      (err)})) &                                                                                  \
      ::rtc::logging_impl::ValueStreamer<>()

#define RTC_LOG_ERRNO(sev) RTC_LOG_ERRNO_EX(sev, errno)

#endif  // RTC_BASE_LOGGING_H_
