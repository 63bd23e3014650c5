#ifndef RTC_BASE_STRINGS_STRING_BUILDER_H_
#define RTC_BASE_STRINGS_STRING_BUILDER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "rtc_base/array_view.h"

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

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_STRING_BUILDER_H_
