#ifndef SRC_UTILITIES_JSON_READER_H_
#define SRC_UTILITIES_JSON_READER_H_

#include <stddef.h>

#include <string>

namespace Json {
class Value;
}

namespace tavix {

// Reading JSON texts that come from the app or the server without letting JsonCpp's
// exceptions out: its reader throws, rather than fails, on nesting deeper than its
// limit, and its conversions throw on values they refuse.

// Parses `length` bytes at `data` into `*root`. False when the text is no JSON; a
// text that only fails part-way may leave what was read before the error in `*root`,
// and one nested too deeply leaves it null.
bool ParseJson(const char* data, size_t length, Json::Value* root);

// The value as a string: false, with `*out` untouched, for null, arrays and objects.
// Numbers and booleans are given in JsonCpp's text form.
bool ReadJsonString(const Json::Value& value, std::string* out);

// The value as an int: false, with `*out` untouched, for null, booleans, texts,
// arrays, objects and numbers outside the int range.
bool ReadJsonInt(const Json::Value& value, int* out);

}  // namespace tavix

#endif  // SRC_UTILITIES_JSON_READER_H_
