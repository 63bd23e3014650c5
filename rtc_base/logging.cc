#include "rtc_base/logging.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "rtc_base/platform_thread_types.h"
#include "rtc_base/stringutils.h"
#include "rtc_base/timeutils.h"

namespace rtc {
namespace {

// Minimum severity written to standard error.
constexpr int g_dbg_sev = SEV_INFO;

const char* FilenameFromPath(const char* file) {
  const char* end1 = ::strrchr(file, '/');
  const char* end2 = ::strrchr(file, '\\');
  if (!end1 && !end2)
    return file;
  return (end1 > end2) ? end1 + 1 : end2 + 1;
}

}  // namespace

bool LogMessage::log_to_stderr_ = true;
bool LogMessage::timestamp_ = false;
bool LogMessage::thread_ = false;

LogMessage::LogMessage(const char* file,
                       int line,
                       LoggingSeverity sev,
                       LogErrorContext err_ctx,
                       int err)
    : severity_(sev) {
  if (timestamp_) {
    int64_t time = TimeDiff(SystemTimeMillis(), LogStartTime());
    // Fixes the wall-clock origin on the first stamped line.
    WallClockStartTime();
    stream_ << "[" << LeftPad('0', 3, ToString(time / 1000)) << ":"
            << LeftPad('0', 3, ToString(time % 1000)) << "] ";
  }
  if (thread_)
    stream_ << "[" << static_cast<int>(CurrentThreadId()) << "] ";
  if (file)
    stream_ << "(" << FilenameFromPath(file) << ":" << line << "): ";
  if (err_ctx != ERR_CONTEXT_NONE) {
    char buf[1024];
    SimpleStringBuilder tmp(buf);
    tmp.AppendFormat("[0x%08X]", static_cast<unsigned>(err));
    if (err_ctx == ERR_CONTEXT_ERRNO)
      tmp << " " << ::strerror(err);
    error_suffix_ = tmp.str();
  }
}

LogMessage::~LogMessage() {
  FinishPrintStream();
  const std::string text = stream_.Release();
  if (severity_ >= g_dbg_sev)
    OutputToDebug(text, severity_);
}

bool LogMessage::IsNoop(LoggingSeverity severity) {
  return severity < g_dbg_sev;
}

int64_t LogMessage::LogStartTime() {
  static const int64_t g_start = SystemTimeMillis();
  return g_start;
}

uint32_t LogMessage::WallClockStartTime() {
  static const uint32_t g_start_wallclock = static_cast<uint32_t>(time(nullptr));
  return g_start_wallclock;
}

void LogMessage::FinishPrintStream() {
  if (!error_suffix_.empty())
    stream_ << " : " << error_suffix_;
  stream_ << "\n";
}

void LogMessage::OutputToDebug(const std::string& text, LoggingSeverity /*severity*/) {
  if (!log_to_stderr_)
    return;
  // One write of the whole line, so lines of several threads never interleave.
  fprintf(stderr, "%s", text.c_str());
  fflush(stderr);
}

namespace logging_impl {

void Log(const LogArgType* fmt, ...) {
  va_list args;
  va_start(args, fmt);

  LogMetadataErr meta{LogMetadata(nullptr, 0, SEV_VERBOSE), ERR_CONTEXT_NONE, 0};
  switch (*fmt) {
    case LogArgType::kLogMetadata:
      meta = {va_arg(args, LogMetadata), ERR_CONTEXT_NONE, 0};
      break;
    case LogArgType::kLogMetadataErr:
      meta = va_arg(args, LogMetadataErr);
      break;
    default:
      va_end(args);
      return;
  }

  if (LogMessage::IsNoop(meta.meta_.Severity())) {
    va_end(args);
    return;
  }

  LogMessage log_message(meta.meta_.File(), meta.meta_.Line(), meta.meta_.Severity(),
                         meta.error_context_, meta.error_);
  StringBuilder& out = log_message.stream();
  for (++fmt; *fmt != LogArgType::kEnd; ++fmt) {
    switch (*fmt) {
      case LogArgType::kInt:
        out << va_arg(args, int);
        break;
      case LogArgType::kLong:
        out << va_arg(args, long);
        break;
      case LogArgType::kLongLong:
        out << va_arg(args, long long);
        break;
      case LogArgType::kUInt:
        out << va_arg(args, unsigned);
        break;
      case LogArgType::kULong:
        out << va_arg(args, unsigned long);
        break;
      case LogArgType::kULongLong:
        out << va_arg(args, unsigned long long);
        break;
      case LogArgType::kDouble:
        out << va_arg(args, double);
        break;
      case LogArgType::kLongDouble:
        out << va_arg(args, long double);
        break;
      case LogArgType::kCharP: {
        const char* s = va_arg(args, const char*);
        if (s)
          out << s;
        break;
      }
      case LogArgType::kStdString:
        out << *va_arg(args, const std::string*);
        break;
      case LogArgType::kStringView:
        out << *va_arg(args, const std::string_view*);
        break;
      case LogArgType::kVoidP:
        out << ToHex(static_cast<int>(reinterpret_cast<uintptr_t>(va_arg(args, const void*))));
        break;
      default:
        // A tag this function does not know: keep what was streamed before it.
        va_end(args);
        return;
    }
  }
  va_end(args);
}

}  // namespace logging_impl
}  // namespace rtc
