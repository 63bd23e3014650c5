#ifndef RTC_BASE_LOGGING_H_
#define RTC_BASE_LOGGING_H_

#include <errno.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "rtc_base/strings/string_builder.h"

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
struct Val {
  static constexpr LogArgType Type() { return N; }
  T GetVal() const { return value_; }
  T value_;
};

inline Val<LogArgType::kInt, int> MakeVal(int x) {
  return {x};
}
inline Val<LogArgType::kLong, long> MakeVal(long x) {
  return {x};
}
inline Val<LogArgType::kLongLong, long long> MakeVal(long long x) {
  return {x};
}
inline Val<LogArgType::kUInt, unsigned int> MakeVal(unsigned int x) {
  return {x};
}
inline Val<LogArgType::kULong, unsigned long> MakeVal(unsigned long x) {
  return {x};
}
inline Val<LogArgType::kULongLong, unsigned long long> MakeVal(unsigned long long x) {
  return {x};
}
inline Val<LogArgType::kDouble, double> MakeVal(double x) {
  return {x};
}
inline Val<LogArgType::kLongDouble, long double> MakeVal(long double x) {
  return {x};
}
inline Val<LogArgType::kCharP, const char*> MakeVal(const char* x) {
  return {x};
}
inline Val<LogArgType::kStdString, const std::string*> MakeVal(const std::string& x) {
  return {&x};
}
// The view itself lives until the end of the statement, so its address is passed.
inline Val<LogArgType::kStringView, const std::string_view*> MakeVal(const std::string_view& x) {
  return {&x};
}
inline Val<LogArgType::kVoidP, const void*> MakeVal(const void* x) {
  return {x};
}
inline Val<LogArgType::kLogMetadata, LogMetadata> MakeVal(const LogMetadata& x) {
  return {x};
}
inline Val<LogArgType::kLogMetadataErr, LogMetadataErr> MakeVal(const LogMetadataErr& x) {
  return {x};
}
// Small integer types and enums stream as int, other pointers as const void*.
inline Val<LogArgType::kInt, int> MakeVal(char x) = delete;
inline Val<LogArgType::kInt, int> MakeVal(bool x) {
  return {x};
}
inline Val<LogArgType::kInt, int> MakeVal(short x) {
  return {x};
}
inline Val<LogArgType::kUInt, unsigned int> MakeVal(unsigned short x) {
  return {x};
}
inline Val<LogArgType::kUInt, unsigned int> MakeVal(unsigned char x) {
  return {x};
}
inline Val<LogArgType::kInt, int> MakeVal(signed char x) {
  return {x};
}
inline Val<LogArgType::kDouble, double> MakeVal(float x) {
  return {x};
}
template <typename T, typename std::enable_if<std::is_enum<T>::value>::type* = nullptr>
inline auto MakeVal(T x) {
  return MakeVal(static_cast<typename std::underlying_type<T>::type>(x));
}
template <typename T,
          typename std::enable_if<!std::is_same<T, char>::value &&
                                  !std::is_same<T, const char>::value>::type* = nullptr>
inline Val<LogArgType::kVoidP, const void*> MakeVal(T* x) {
  return {static_cast<const void*>(x)};
}

// A chain of wrapped values built by `<<`, newest first; Call() walks it back and
// makes the one Log call with a tag array that the compiler lays out as a constant.
template <typename... Ts>
class LogStreamer;

template <>
class LogStreamer<> final {
 public:
  template <typename U,
            typename V = decltype(MakeVal(std::declval<const U&>())),
            typename std::enable_if<std::is_arithmetic<U>::value || std::is_enum<U>::value>::type* =
                nullptr>
  LogStreamer<V> operator<<(U arg) const {
    return LogStreamer<V>(MakeVal(arg), this);
  }

  template <typename U,
            typename V = decltype(MakeVal(std::declval<const U&>())),
            typename std::enable_if<!std::is_arithmetic<U>::value &&
                                    !std::is_enum<U>::value>::type* = nullptr>
  LogStreamer<V> operator<<(const U& arg) const {
    return LogStreamer<V>(MakeVal(arg), this);
  }

  template <typename... Us>
  static void Call(const Us&... args) {
    static constexpr LogArgType kTags[] = {Us::Type()..., LogArgType::kEnd};
    Log(kTags, args.GetVal()...);
  }
};

template <typename T, typename... Ts>
class LogStreamer<T, Ts...> final {
 public:
  LogStreamer(T arg, const LogStreamer<Ts...>* prior) : arg_(arg), prior_(prior) {}

  template <typename U,
            typename V = decltype(MakeVal(std::declval<const U&>())),
            typename std::enable_if<std::is_arithmetic<U>::value || std::is_enum<U>::value>::type* =
                nullptr>
  LogStreamer<V, T, Ts...> operator<<(U arg) const {
    return LogStreamer<V, T, Ts...>(MakeVal(arg), this);
  }

  template <typename U,
            typename V = decltype(MakeVal(std::declval<const U&>())),
            typename std::enable_if<!std::is_arithmetic<U>::value &&
                                    !std::is_enum<U>::value>::type* = nullptr>
  LogStreamer<V, T, Ts...> operator<<(const U& arg) const {
    return LogStreamer<V, T, Ts...>(MakeVal(arg), this);
  }

  template <typename... Us>
  void Call(const Us&... args) const {
    prior_->Call(arg_, args...);
  }

 private:
  // The wrapped values refer into the statement's own temporaries, which live until
  // the end of the full expression, when Call has already run.
  T arg_;
  const LogStreamer<Ts...>* prior_;
};

class LogCall final {
 public:
  // `&` binds more loosely than `<<`, so the whole chain is built first.
  template <typename... Ts>
  void operator&(const LogStreamer<Ts...>& streamer) {
    streamer.Call();
  }
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

#define RTC_LOG_FILE_LINE(sev, file, line)                              \
  ::rtc::logging_impl::LogCall() & ::rtc::logging_impl::LogStreamer<>() \
                                       << ::rtc::logging_impl::LogMetadata(file, line, sev)

#define RTC_LOG(sev) RTC_LOG_FILE_LINE(::rtc::sev, __FILE__, __LINE__)

// Appends the error number `err` and the system's text for it to the line.
#define RTC_LOG_ERRNO_EX(sev, err)                                                              \
  ::rtc::logging_impl::LogCall() & ::rtc::logging_impl::LogStreamer<>()                         \
                                       << ::rtc::logging_impl::LogMetadataErr {                 \
    ::rtc::logging_impl::LogMetadata(__FILE__, __LINE__, ::rtc::sev), ::rtc::ERR_CONTEXT_ERRNO, \
        (err)                                                                                   \
  }

#define RTC_LOG_ERRNO(sev) RTC_LOG_ERRNO_EX(sev, errno)

#endif  // RTC_BASE_LOGGING_H_
