#include "tests/support/count_text.h"

namespace zek_test {

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

int CountLines(const std::string& text) {
  return CountOf(text, "\n");
}

}  // namespace zek_test
