#ifndef RTC_BASE_STRINGUTILS_H_
#define RTC_BASE_STRINGUTILS_H_

#include <stddef.h>

#include <string>

namespace rtc {

// Copies at most buflen - 1 characters of `source` and always terminates the
// result; srclen SIZE_MAX means "up to the source's NUL". Returns the characters
// copied; 0, with nothing written, for an empty buffer.
size_t strcpyn(char* buffer, size_t buflen, const char* source, size_t srclen);

// `s` without leading and trailing spaces, tabs, carriage returns and line feeds.
std::string string_trim(const std::string& s);

// `s` prefixed with copies of `padding` up to `length` characters; a string at
// least that long comes back unchanged.
std::string LeftPad(char padding, unsigned length, std::string s);

// `value` as lowercase hex, as "%x" prints it (-1 gives "ffffffff").
std::string ToHex(int value);

}  // namespace rtc

#endif  // RTC_BASE_STRINGUTILS_H_
