#ifndef RTC_BASE_SSLIDENTITY_H_
#define RTC_BASE_SSLIDENTITY_H_

#include <string>

#include "rtc_base/sslcertificate.h"

namespace rtc {

// The local side's own certificate chain with its private key.
class SSLIdentity {
 public:
  virtual ~SSLIdentity() {}

  // A new identity sharing the key and certificates, owned by the caller and
  // valid independently of this one.
  virtual SSLIdentity* GetReference() const = 0;
  // The identity's own certificate: entry 0 of the chain.
  virtual const SSLCertificate& certificate() const = 0;
  virtual const SSLCertChain& cert_chain() const = 0;
  // Unencrypted PEM text; "" on failure.
  virtual std::string PrivateKeyToPEMString() const = 0;
  virtual std::string PublicKeyToPEMString() const = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_SSLIDENTITY_H_
