#ifndef RTC_BASE_OPENSSLCERTIFICATE_H_
#define RTC_BASE_OPENSSLCERTIFICATE_H_

#include <openssl/x509.h>

#include <memory>
#include <string>

#include "rtc_base/sslcertificate.h"

namespace rtc {

// A certificate over the TLS library's X509 object, of which it holds one
// reference; clones hold their own references to the same object.
class OpenSSLCertificate : public SSLCertificate {
 public:
  // Takes a reference of its own; the caller keeps its reference.
  explicit OpenSSLCertificate(X509* x509);
  ~OpenSSLCertificate() override;

  OpenSSLCertificate(const OpenSSLCertificate&) = delete;
  OpenSSLCertificate& operator=(const OpenSSLCertificate&) = delete;

  X509* x509() const { return x509_; }

  std::unique_ptr<SSLCertificate> Clone() const override;
  std::string ToPEMString() const override;
  void ToDER(BufferT<unsigned char, false>* der_buffer) const override;
  bool GetSignatureDigestAlgorithm(std::string* algorithm) const override;
  bool ComputeDigest(const std::string& algorithm,
                     unsigned char* digest,
                     size_t size,
                     size_t* length) const override;
  int64_t CertificateExpirationTime() const override;

  // The fingerprint of `x509` with the named digest (rtc_base/messagedigest.h).
  static bool ComputeDigest(const X509* x509,
                            const std::string& algorithm,
                            unsigned char* digest,
                            size_t size,
                            size_t* length);

 private:
  X509* x509_;  // One reference owned.
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSLCERTIFICATE_H_
