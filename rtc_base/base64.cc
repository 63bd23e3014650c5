#include "rtc_base/base64.h"

// The preconditions are checked in every build, release builds included.
#undef NDEBUG
#include <assert.h>

namespace rtc {

namespace {
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kPad = '=';
}  // namespace

void Base64::EncodeFromArray(const void* data, size_t len, std::string* result) {
  assert(nullptr != result);
  assert(nullptr != data || len == 0);
  result->clear();
  result->resize(((len + 2) / 3) * 4);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  size_t out = 0;
  for (size_t i = 0; i < len; i += 3) {
    const unsigned char b0 = bytes[i];
    const bool has_b1 = i + 1 < len;
    const bool has_b2 = i + 2 < len;
    const unsigned char b1 = has_b1 ? bytes[i + 1] : 0;
    const unsigned char b2 = has_b2 ? bytes[i + 2] : 0;
    (*result)[out++] = kBase64Alphabet[b0 >> 2];
    (*result)[out++] = kBase64Alphabet[((b0 << 4) & 0x3F) | (b1 >> 4)];
    (*result)[out++] = has_b1 ? kBase64Alphabet[((b1 << 2) & 0x3F) | (b2 >> 6)] : kPad;
    (*result)[out++] = has_b2 ? kBase64Alphabet[b2 & 0x3F] : kPad;
  }
}

}  // namespace rtc
