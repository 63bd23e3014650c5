#ifndef TESTS_SUPPORT_NUMBERED_TEXT_H_
#define TESTS_SUPPORT_NUMBERED_TEXT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace zek_test {

// A JSON text of exactly `size` bytes (or the shortest that holds the number when `size`
// is smaller): {"<key>":<number>,"p":"<padding>"}. The padding's letter follows the
// number, so that bytes of one text inside another show.
std::string NumberedText(const char* key, uint64_t number, size_t size);

// The number of a text made by NumberedText with `key`; false for any other text.
bool ReadNumberedText(const char* key, const char* data, size_t length, uint64_t* number);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_NUMBERED_TEXT_H_
