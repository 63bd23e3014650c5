#include "rtc_base/openssldigest.h"

#include "rtc_base/checks.h"

namespace rtc {

OpenSSLDigest::OpenSSLDigest(const std::string& algorithm) {
  ctx_ = EVP_MD_CTX_new();
  RTC_CHECK(ctx_ != nullptr);
  EVP_MD_CTX_init(ctx_);
  if (GetDigestEVP(algorithm, &md_)) {
    EVP_DigestInit_ex(ctx_, md_, nullptr);
  }
}

OpenSSLDigest::~OpenSSLDigest() {
  EVP_MD_CTX_destroy(ctx_);
}

size_t OpenSSLDigest::Size() const {
  if (!md_) {
    return 0;
  }
  return EVP_MD_size(md_);
}

void OpenSSLDigest::Update(const void* buf, size_t len) {
  if (!md_) {
    return;
  }
  EVP_DigestUpdate(ctx_, buf, len);
}

size_t OpenSSLDigest::Finish(void* buf, size_t len) {
  if (!md_ || len < Size()) {
    return 0;
  }
  unsigned int md_len = 0;
  EVP_DigestFinal_ex(ctx_, static_cast<unsigned char*>(buf), &md_len);
  // Ready for the next message.
  EVP_DigestInit_ex(ctx_, md_, nullptr);
  return md_len;
}

bool OpenSSLDigest::GetDigestEVP(const std::string& algorithm, const EVP_MD** md) {
  const EVP_MD* found;
  if (algorithm == DIGEST_MD5) {
    found = EVP_md5();
  } else if (algorithm == DIGEST_SHA_1) {
    found = EVP_sha1();
  } else if (algorithm == DIGEST_SHA_224) {
    found = EVP_sha224();
  } else if (algorithm == DIGEST_SHA_256) {
    found = EVP_sha256();
  } else if (algorithm == DIGEST_SHA_384) {
    found = EVP_sha384();
  } else if (algorithm == DIGEST_SHA_512) {
    found = EVP_sha512();
  } else {
    return false;
  }
  *md = found;
  return true;
}

}  // namespace rtc
