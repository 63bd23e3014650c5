#ifndef RTC_BASE_STRINGS_STRING_BUILDER_H_
#define RTC_BASE_STRINGS_STRING_BUILDER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>

#include "rtc_base/array_view.h"
#include "rtc_base/stringencode.h"

namespace rtc {

// Builds a C string in a caller's fixed buffer, typically on the stack, without
// allocating. What does not fit is cut off; the buffer always holds a terminated
// string. The buffer must outlive the builder.
class SimpleStringBuilder {
 public:
  explicit SimpleStringBuilder(ArrayView<char> buffer);
  SimpleStringBuilder(const SimpleStringBuilder&) = delete;
  SimpleStringBuilder& operator=(const SimpleStringBuilder&) = delete;

  SimpleStringBuilder& operator<<(const char* text);
  SimpleStringBuilder& operator<<(const std::string& text);
  SimpleStringBuilder& operator<<(int value);

  SimpleStringBuilder& Append(const char* text, size_t length = SIZE_MAX);

  // printf-style; output that does not fit is cut off, a formatting error leaves
  // the text as it was.
  SimpleStringBuilder& AppendFormat(const char* format, ...)
      __attribute__((__format__(__printf__, 2, 3)));

  // The text so far, NUL-terminated.
  const char* str() const;
  size_t size() const { return size_; }

 private:
  // A builder over an empty buffer has nowhere to put even the terminator; it
  // stays empty and reports "".
  bool has_room() const { return buffer_.size() > 0; }

  const ArrayView<char> buffer_;
  // Characters written; always below buffer_.size(), buffer_[size_] is the NUL.
  size_t size_ = 0;
};

// Builds a text on the heap; the log line is assembled in one of these.
class StringBuilder {
 public:
  StringBuilder() = default;
  StringBuilder(const StringBuilder&) = delete;
  StringBuilder& operator=(const StringBuilder&) = delete;

  StringBuilder& operator<<(std::string_view text) {
    str_.append(text.data(), text.size());
    return *this;
  }
  StringBuilder& operator<<(int value) { return *this << ToString(value); }
  StringBuilder& operator<<(long value) { return *this << ToString(value); }
  StringBuilder& operator<<(long long value) { return *this << ToString(value); }
  StringBuilder& operator<<(unsigned int value) { return *this << ToString(value); }
  StringBuilder& operator<<(unsigned long value) { return *this << ToString(value); }
  StringBuilder& operator<<(unsigned long long value) { return *this << ToString(value); }
  StringBuilder& operator<<(double value) { return *this << ToString(value); }
  StringBuilder& operator<<(long double value) { return *this << ToString(value); }

  const std::string& str() const { return str_; }
  size_t size() const { return str_.size(); }

  // Moves the text out and leaves the builder empty.
  std::string Release() {
    std::string released = std::move(str_);
    str_.clear();
    return released;
  }

 private:
  std::string str_;
};

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_STRING_BUILDER_H_
