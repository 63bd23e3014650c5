#include "rtc_base/stringencode.h"

#include <stdint.h>
#include <stdio.h>

namespace rtc {

namespace {

const char kHexAlphabet[] = "0123456789abcdef";

// Every value here fits the scratch buffer; the clamp keeps a longer result of a
// future format from being read past the buffer's end.
template <typename T>
std::string PrintToString(const char* format, T value) {
  char buf[32];
  const int len = snprintf(buf, sizeof(buf), format, value);
  if (len < 0) {
    return std::string();
  }
  const size_t n = static_cast<size_t>(len) < sizeof(buf) ? len : sizeof(buf) - 1;
  return std::string(buf, n);
}

}  // namespace

char hex_encode(unsigned char value) {
  return value < 16 ? kHexAlphabet[value] : '!';
}

size_t hex_encode_with_delimiter(char* buffer,
                                 size_t buflen,
                                 const char* source,
                                 size_t srclen,
                                 char delimiter) {
  if (buflen == 0) {
    return 0;
  }
  // A source so long that the needed size would wrap around can never fit.
  if (srclen > (SIZE_MAX - 1) / 3) {
    return 0;
  }
  const size_t needed = delimiter ? srclen * 3 : srclen * 2 + 1;
  if (buflen < needed) {
    return 0;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(source);
  size_t pos = 0;
  for (size_t i = 0; i < srclen; ++i) {
    buffer[pos++] = hex_encode(bytes[i] >> 4);
    buffer[pos++] = hex_encode(bytes[i] & 0xF);
    if (delimiter && i + 1 < srclen) {
      buffer[pos++] = delimiter;
    }
  }
  buffer[pos] = '\0';
  return pos;
}

std::string hex_encode_with_delimiter(const char* source, size_t srclen, char delimiter) {
  if (srclen > (SIZE_MAX - 1) / 3) {
    return std::string();
  }
  const size_t kBufferSize = srclen * 3;
  std::string buffer(kBufferSize, '\0');
  const size_t length =
      hex_encode_with_delimiter(&buffer[0], kBufferSize, source, srclen, delimiter);
  buffer.resize(length);
  return buffer;
}

std::string hex_encode(const char* source, size_t srclen) {
  return hex_encode_with_delimiter(source, srclen, '\0');
}

size_t tokenize(const std::string& source, char delimiter, std::vector<std::string>* fields) {
  fields->clear();
  size_t last = 0;
  for (size_t i = 0; i < source.length(); ++i) {
    if (source[i] == delimiter) {
      if (i != last) {
        fields->push_back(source.substr(last, i - last));
      }
      last = i + 1;
    }
  }
  if (last != source.length()) {
    fields->push_back(source.substr(last));
  }
  return fields->size();
}

std::string join(const std::vector<std::string>& source, char delimiter) {
  if (source.empty()) {
    return std::string();
  }
  size_t total = source.size() - 1;
  for (const std::string& s : source) {
    total += s.length();
  }
  std::string joined;
  joined.reserve(total);
  joined += source[0];
  for (size_t i = 1; i < source.size(); ++i) {
    joined += delimiter;
    joined += source[i];
  }
  return joined;
}

std::string ToString(int value) {
  return PrintToString("%d", value);
}
std::string ToString(unsigned int value) {
  return PrintToString("%u", value);
}
std::string ToString(long value) {
  return PrintToString("%ld", value);
}
std::string ToString(unsigned long value) {
  return PrintToString("%lu", value);
}
std::string ToString(long long value) {
  return PrintToString("%lld", value);
}
std::string ToString(unsigned long long value) {
  return PrintToString("%llu", value);
}
std::string ToString(double value) {
  return PrintToString("%g", value);
}
std::string ToString(long double value) {
  return PrintToString("%Lg", value);
}

}  // namespace rtc
