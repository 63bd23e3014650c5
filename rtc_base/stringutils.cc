#include "rtc_base/stringutils.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace rtc {

namespace {
const char kWhitespace[] = " \n\r\t";
}  // namespace

size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen) {
  if (buflen == 0) {
    return 0;
  }
  if (srclen == SIZE_MAX) {
    srclen = strlen(source);
  }
  if (srclen >= buflen) {
    srclen = buflen - 1;
  }
  if (srclen > 0) {
    memcpy(buffer, source, srclen);
  }
  buffer[srclen] = '\0';
  return srclen;
}

std::string string_trim(const std::string& s) {
  const size_t first = s.find_first_not_of(kWhitespace);
  if (first == std::string::npos) {
    return std::string();
  }
  const size_t last = s.find_last_not_of(kWhitespace);
  return s.substr(first, last - first + 1);
}

std::string LeftPad(char padding, unsigned length, std::string s) {
  if (s.length() >= length) {
    return s;
  }
  return std::string(length - s.length(), padding) + s;
}

std::string ToHex(int value) {
  char buffer[50];
  snprintf(buffer, sizeof(buffer), "%x", value);
  return std::string(buffer);
}

}  // namespace rtc
