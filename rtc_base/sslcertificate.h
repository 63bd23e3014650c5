#ifndef RTC_BASE_SSLCERTIFICATE_H_
#define RTC_BASE_SSLCERTIFICATE_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/buffer.h"

namespace rtc {

// A certificate, as a certificate verifier receives it.
class SSLCertificate {
 public:
  virtual ~SSLCertificate() {}

  // A copy owned by the caller, valid independently of this object.
  virtual std::unique_ptr<SSLCertificate> Clone() const = 0;
  virtual std::string ToPEMString() const = 0;
  // Replaces the buffer's contents with the DER encoding.
  virtual void ToDER(BufferT<unsigned char, false>* der_buffer) const = 0;
  // The digest name ("sha-256", ...) of the signature algorithm; false with an
  // empty name for an algorithm without one.
  virtual bool GetSignatureDigestAlgorithm(std::string* algorithm) const = 0;
  // The fingerprint with the named digest into `digest` (`size` bytes of room)
  // and its length into *length; false for an unknown name or too little room.
  virtual bool ComputeDigest(const std::string& algorithm,
                             unsigned char* digest,
                             size_t size,
                             size_t* length) const = 0;
  // The end of the validity period in seconds since 1970-01-01 UTC, or -1.
  virtual int64_t CertificateExpirationTime() const = 0;
};

// An owned list of certificates in chain order: the holder's own first, then
// the intermediates as they are sent.
class SSLCertChain {
 public:
  explicit SSLCertChain(std::vector<std::unique_ptr<SSLCertificate>> certs);
  ~SSLCertChain();

  SSLCertChain(const SSLCertChain&) = delete;
  SSLCertChain& operator=(const SSLCertChain&) = delete;

  size_t GetSize() const { return certs_.size(); }
  // `pos` must be below GetSize().
  const SSLCertificate& Get(size_t pos) const;
  // A chain of clones of every certificate, owned by the caller.
  std::unique_ptr<SSLCertChain> Clone() const;

 private:
  std::vector<std::unique_ptr<SSLCertificate>> certs_;
};

// Seconds since 1970-01-01 UTC of an ASN.1 time text: YYMMDDHHMMSSZ (UTCTime,
// YY below 50 meaning 20YY) when `long_format` is false, YYYYMMDDHHMMSSZ
// (GeneralizedTime) when it is true. No fractions or offsets; -1 for anything
// else and for times before 1970.
int64_t ASN1TimeToSec(const unsigned char* s, size_t length, bool long_format);

}  // namespace rtc

#endif  // RTC_BASE_SSLCERTIFICATE_H_
