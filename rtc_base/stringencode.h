#ifndef RTC_BASE_STRINGENCODE_H_
#define RTC_BASE_STRINGENCODE_H_

#include <stddef.h>

#include <string>
#include <vector>

namespace rtc {

// The lowercase hex digit of a value 0..15; '!' for 16 and above.
char hex_encode(unsigned char value);

// Writes two lowercase hex digits per source byte, high half first, with
// `delimiter` between bytes unless it is NUL, and a terminating NUL. Returns the
// characters written before the NUL, or 0 with nothing written when `buflen` is
// too small (3 x srclen with a delimiter, 2 x srclen + 1 without).
size_t hex_encode_with_delimiter(char* buffer,
                                 size_t buflen,
                                 const char* source,
                                 size_t srclen,
                                 char delimiter);
std::string hex_encode_with_delimiter(const char* source, size_t srclen, char delimiter);
std::string hex_encode(const char* source, size_t srclen);

// Replaces *fields with the non-empty pieces of `source` between delimiters and
// returns how many there are.
size_t tokenize(const std::string& source, char delimiter, std::vector<std::string>* fields);

// The strings with one delimiter between neighbours; "" for none.
std::string join(const std::vector<std::string>& source, char delimiter);

// Decimal text as the C library prints it ("%d", "%u", ..., "%g" for floating point).
std::string ToString(int value);
std::string ToString(unsigned int value);
std::string ToString(long value);
std::string ToString(unsigned long value);
std::string ToString(long long value);
std::string ToString(unsigned long long value);
std::string ToString(double value);
std::string ToString(long double value);

}  // namespace rtc

#endif  // RTC_BASE_STRINGENCODE_H_
