#ifndef RTC_BASE_MESSAGEDIGEST_H_
#define RTC_BASE_MESSAGEDIGEST_H_

#include <stddef.h>

#include <string>

namespace rtc {

// Digest names, compared exactly and case-sensitively.
extern const char DIGEST_MD5[];      // "md5", 16 bytes
extern const char DIGEST_SHA_1[];    // "sha-1", 20 bytes
extern const char DIGEST_SHA_224[];  // "sha-224", 28 bytes
extern const char DIGEST_SHA_256[];  // "sha-256", 32 bytes
extern const char DIGEST_SHA_384[];  // "sha-384", 48 bytes
extern const char DIGEST_SHA_512[];  // "sha-512", 64 bytes

// A hash function: any number of Update calls, then Finish, after which the
// object is ready for a new message.
class MessageDigest {
 public:
  virtual ~MessageDigest() {}
  // The digest length in bytes.
  virtual size_t Size() const = 0;
  virtual void Update(const void* buf, size_t len) = 0;
  // Writes the digest of everything fed since the last Finish into `buf` and
  // returns its length, or 0 with nothing written when `len` is below Size().
  virtual size_t Finish(void* buf, size_t len) = 0;
};

class MessageDigestFactory {
 public:
  // A new digest for one of the names above, owned by the caller; null for any
  // other name.
  static MessageDigest* Create(const std::string& algorithm);
};

// Update(input) then Finish(output): the digest length, or 0 when `out_len` is
// too small.
size_t ComputeDigest(MessageDigest* digest,
                     const void* input,
                     size_t in_len,
                     void* output,
                     size_t out_len);

// The digest of `input` as lowercase hex, two digits per byte.
std::string ComputeDigest(MessageDigest* digest, const std::string& input);

// The hex digest with the named algorithm into *output; false, with *output
// untouched, for an unknown name.
bool ComputeDigest(const std::string& algorithm, const std::string& input, std::string* output);

// The hex digest with the named algorithm, or "" for an unknown name.
std::string ComputeDigest(const std::string& algorithm, const std::string& input);

}  // namespace rtc

#endif  // RTC_BASE_MESSAGEDIGEST_H_
