#include "rtc_base/sslcertificate.h"

#include <ctime>
#include <utility>

#include "rtc_base/checks.h"
#include "rtc_base/timeutils.h"

namespace rtc {

SSLCertChain::SSLCertChain(std::vector<std::unique_ptr<SSLCertificate>> certs)
    : certs_(std::move(certs)) {}

SSLCertChain::~SSLCertChain() = default;

const SSLCertificate& SSLCertChain::Get(size_t pos) const {
  RTC_DCHECK_LT(pos, certs_.size());
  return *certs_[pos];
}

std::unique_ptr<SSLCertChain> SSLCertChain::Clone() const {
  std::vector<std::unique_ptr<SSLCertificate>> copies(certs_.size());
  for (size_t i = 0; i < certs_.size(); ++i) {
    copies[i] = certs_[i]->Clone();
  }
  return std::make_unique<SSLCertChain>(std::move(copies));
}

namespace {

// The two-digit decimal field at `s`; the caller has checked the digits.
int TwoDigits(const unsigned char* s) {
  return (s[0] - '0') * 10 + (s[1] - '0');
}

}  // namespace

int64_t ASN1TimeToSec(const unsigned char* s, size_t length, bool long_format) {
  if (s == nullptr || length == 0 || s[length - 1] != 'Z') {
    return -1;
  }
  for (size_t i = 0; i + 1 < length; ++i) {
    if (s[i] < '0' || s[i] > '9') {
      return -1;
    }
  }
  if (length != (long_format ? 15u : 13u)) {
    return -1;
  }

  tm t = {};
  if (long_format) {
    t.tm_year = TwoDigits(s) * 100 + TwoDigits(s + 2) - 1900;
    s += 4;
  } else {
    const int yy = TwoDigits(s);
    t.tm_year = yy < 50 ? yy + 100 : yy;
    s += 2;
  }
  t.tm_mon = TwoDigits(s) - 1;
  t.tm_mday = TwoDigits(s + 2);
  t.tm_hour = TwoDigits(s + 4);
  t.tm_min = TwoDigits(s + 6);
  t.tm_sec = TwoDigits(s + 8);
  return TmToSeconds(t);
}

}  // namespace rtc
