#ifndef RTC_BASE_OPENSSLDIGEST_H_
#define RTC_BASE_OPENSSLDIGEST_H_

#include <openssl/evp.h>

#include <string>

#include "rtc_base/messagedigest.h"

namespace rtc {

// A digest over the TLS library's EVP functions. Built with a name it does not
// know, it is inert: size 0, updates ignored, Finish gives 0.
class OpenSSLDigest : public MessageDigest {
 public:
  explicit OpenSSLDigest(const std::string& algorithm);
  ~OpenSSLDigest() override;

  OpenSSLDigest(const OpenSSLDigest&) = delete;
  OpenSSLDigest& operator=(const OpenSSLDigest&) = delete;

  size_t Size() const override;
  void Update(const void* buf, size_t len) override;
  size_t Finish(void* buf, size_t len) override;

  // Stores the library's algorithm for a known digest name in *md; false, with
  // *md untouched, for any other name.
  static bool GetDigestEVP(const std::string& algorithm, const EVP_MD** md);

 private:
  EVP_MD_CTX* ctx_ = nullptr;   // Owned.
  const EVP_MD* md_ = nullptr;  // A static of the library; null when inert.
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSLDIGEST_H_
