#include "tests/support/numbered_text.h"

#include <string.h>

namespace zek_test {

std::string NumberedText(const char* key, uint64_t number, size_t size) {
  std::string text = std::string("{\"") + key + "\":" + std::to_string(number) + ",\"p\":\"";
  const std::string tail = "\"}";
  if (size > text.size() + tail.size())
    text.append(size - text.size() - tail.size(), static_cast<char>('a' + number % 26));
  return text + tail;
}

bool ReadNumberedText(const char* key, const char* data, size_t length, uint64_t* number) {
  const std::string head = std::string("{\"") + key + "\":";
  if (length <= head.size() || memcmp(data, head.data(), head.size()) != 0)
    return false;
  uint64_t n = 0;
  size_t i = head.size();
  for (; i < length && data[i] >= '0' && data[i] <= '9'; ++i)
    n = n * 10 + static_cast<uint64_t>(data[i] - '0');
  if (i == head.size() || i == length || data[i] != ',')
    return false;
  *number = n;
  return true;
}

}  // namespace zek_test
