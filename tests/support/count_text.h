#ifndef TESTS_SUPPORT_COUNT_TEXT_H_
#define TESTS_SUPPORT_COUNT_TEXT_H_

#include <string>

namespace zek_test {

// How often `part` occurs in `text`, overlaps included: how many times a captured log
// says something.
int CountOf(const std::string& text, const std::string& part);

// The lines of a captured log: its newlines.
int CountLines(const std::string& text);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_COUNT_TEXT_H_
