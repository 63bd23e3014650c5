#ifndef RTC_BASE_BASE64_H_
#define RTC_BASE_BASE64_H_

#include <stddef.h>

#include <string>

namespace rtc {

class Base64 {
 public:
  // Replaces *result with the RFC 4648 base64 text of the `len` bytes at `data`,
  // padded with '=', in one line whatever the length. `result` must not be null.
  static void EncodeFromArray(const void* data, size_t len, std::string* result);
};

}  // namespace rtc

#endif  // RTC_BASE_BASE64_H_
