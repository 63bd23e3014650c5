#include "rtc_base/strings/string_builder.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include "rtc_base/numerics/safe_minmax.h"
#include "rtc_base/stringutils.h"

namespace rtc {

SimpleStringBuilder::SimpleStringBuilder(ArrayView<char> buffer) : buffer_(buffer) {
  if (has_room()) {
    buffer_[0] = '\0';
  }
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(const char* text) {
  return Append(text, SIZE_MAX);
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(const std::string& text) {
  return Append(text.c_str(), text.length());
}

SimpleStringBuilder& SimpleStringBuilder::operator<<(int value) {
  return AppendFormat("%d", value);
}

SimpleStringBuilder& SimpleStringBuilder::Append(const char* text, size_t length) {
  if (!has_room()) {
    return *this;
  }
  size_ += strcpyn(&buffer_[size_], buffer_.size() - size_, text, length);
  return *this;
}

SimpleStringBuilder& SimpleStringBuilder::AppendFormat(const char* format, ...) {
  if (!has_room()) {
    return *this;
  }
  va_list args;
  va_start(args, format);
  const int len = vsnprintf(&buffer_[size_], buffer_.size() - size_, format, args);
  va_end(args);
  if (len < 0) {
    buffer_[size_] = '\0';
  } else {
    size_ += SafeMin(len, buffer_.size() - 1 - size_);
  }
  return *this;
}

const char* SimpleStringBuilder::str() const {
  return has_room() ? buffer_.data() : "";
}

}  // namespace rtc
