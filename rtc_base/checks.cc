#include "rtc_base/checks.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace rtc {
namespace checks_impl {
namespace {

// printf-style append. Kept here rather than shared so that a failing check needs
// nothing beyond the C library.
void AppendFormat(std::string* s, const char* fmt, ...) {
  va_list args, copy;
  va_start(args, fmt);
  va_copy(copy, args);
  const int len = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (len > 0) {
    const size_t old_size = s->size();
    s->resize(old_size + len);
    // The terminating NUL lands in the string's own terminator.
    vsnprintf(&(*s)[old_size], len + 1, fmt, args);
  }
  va_end(args);
}

// __FILE__ is an absolute path in our build; checks name their file from the source
// root. The root is where this file's own path stops matching "rtc_base/checks.cc".
const char* SourceRelativePath(const char* file) {
  static const char kSelf[] = __FILE__;
  static const char kSuffix[] = "rtc_base/checks.cc";
  const size_t self_len = sizeof(kSelf) - 1;
  const size_t suffix_len = sizeof(kSuffix) - 1;
  if (self_len < suffix_len || strcmp(kSelf + self_len - suffix_len, kSuffix) != 0)
    return file;
  const size_t root_len = self_len - suffix_len;
  return strncmp(file, kSelf, root_len) == 0 ? file + root_len : file;
}

// Formats the value that *tag describes and steps past it; false at the end of the
// list or on a tag that cannot be read, which then also ends the list.
bool ParseArg(va_list* args, const CheckArgType** tag, std::string* s) {
  switch (**tag) {
    case CheckArgType::kEnd:
      return false;
    case CheckArgType::kInt:
      AppendFormat(s, "%d", va_arg(*args, int));
      break;
    case CheckArgType::kLong:
      AppendFormat(s, "%ld", va_arg(*args, long));
      break;
    case CheckArgType::kLongLong:
      AppendFormat(s, "%lld", va_arg(*args, long long));
      break;
    case CheckArgType::kUInt:
      AppendFormat(s, "%u", va_arg(*args, unsigned int));
      break;
    case CheckArgType::kULong:
      AppendFormat(s, "%lu", va_arg(*args, unsigned long));
      break;
    case CheckArgType::kULongLong:
      AppendFormat(s, "%llu", va_arg(*args, unsigned long long));
      break;
    case CheckArgType::kDouble:
      AppendFormat(s, "%g", va_arg(*args, double));
      break;
    case CheckArgType::kLongDouble:
      AppendFormat(s, "%Lg", va_arg(*args, long double));
      break;
    case CheckArgType::kCharP: {
      // A null text adds nothing rather than crashing the report of another fault.
      const char* text = va_arg(*args, const char*);
      if (text)
        s->append(text);
      break;
    }
    case CheckArgType::kStdString:
      s->append(*va_arg(*args, const std::string*));
      break;
    case CheckArgType::kVoidP:
      AppendFormat(s, "%p", va_arg(*args, const void*));
      break;
    default:
      s->append("[Invalid CheckArgType]");
      return false;
  }
  ++*tag;
  return true;
}

}  // namespace

void FatalLog(const char* file, int line, const char* message, const CheckArgType* fmt, ...) {
  // Read first: anything below may change it.
  const unsigned last_error = static_cast<unsigned>(errno);
  va_list args;
  va_start(args, fmt);

  std::string s;
  AppendFormat(&s,
               "\n\n#\n# Fatal error in: %s, line %d\n"
               "# last system error: %u\n"
               "# Check failed: %s",
               file ? SourceRelativePath(file) : "", line, last_error, message ? message : "");

  if (*fmt == CheckArgType::kCheckOp) {
    ++fmt;
    std::string s1, s2;
    if (ParseArg(&args, &fmt, &s1) && ParseArg(&args, &fmt, &s2))
      AppendFormat(&s, " (%s vs. %s)\n# ", s1.c_str(), s2.c_str());
  } else {
    s.append("\n# ");
  }

  while (ParseArg(&args, &fmt, &s)) {
  }
  va_end(args);

  fflush(stdout);
  fprintf(stderr, "%s", s.c_str());
  fflush(stderr);
  abort();
}

}  // namespace checks_impl
}  // namespace rtc
