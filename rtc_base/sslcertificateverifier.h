#ifndef RTC_BASE_SSLCERTIFICATEVERIFIER_H_
#define RTC_BASE_SSLCERTIFICATEVERIFIER_H_

#include "rtc_base/sslcertificate.h"

namespace rtc {

// A hook asked about each certificate that the TLS library's own chain
// verification rejected; true accepts it. It never waives the check that the
// peer's certificate names the host. An adapter does not own its verifier,
// which must outlive every adapter it is installed on.
class SSLCertificateVerifier {
 public:
  virtual ~SSLCertificateVerifier() {}

  virtual bool Verify(const SSLCertificate& certificate) = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_SSLCERTIFICATEVERIFIER_H_
