#include "rtc_base/opensslutility.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "rtc_base/logging.h"
#include "rtc_base/numerics/safe_conversions.h"
#include "rtc_base/sslroots.h"

namespace rtc {
namespace openssl {

namespace {

// A hook for printing the peer's certificates while debugging a handshake.
void LogCertificates(SSL* /*ssl*/, X509* /*certificate*/) {}

}  // namespace

std::string IpLiteral(const std::string& host) {
  unsigned char addr[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1) {
    return host;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    std::string inner = host.substr(1, host.size() - 2);
    if (inet_pton(AF_INET6, inner.c_str(), addr) == 1) {
      return inner;
    }
  }
  return std::string();
}

bool VerifyPeerCertMatchesHost(SSL* ssl, const std::string& host) {
  if (host.empty()) {
    RTC_LOG(LS_ERROR) << "Hostname is empty. Cannot verify peer certificate.";
    return false;
  }
  if (ssl == nullptr) {
    RTC_LOG(LS_ERROR) << "SSL is nullptr. Cannot verify peer certificate.";
    return false;
  }
  X509* certificate = SSL_get_peer_certificate(ssl);
  if (certificate == nullptr) {
    RTC_LOG(LS_ERROR) << "SSL_get_peer_certificate failed. This should never happen.";
    return false;
  }
  LogCertificates(ssl, certificate);

  // A host text with an embedded NUL would be cut short by the C-string calls
  // below; such a name never matches.
  bool matched = false;
  if (host.find('\0') == std::string::npos) {
    const std::string ip = IpLiteral(host);
    if (!ip.empty()) {
      matched = X509_check_ip_asc(certificate, ip.c_str(), 0) == 1;
    } else {
      matched = X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
    }
  }
  X509_free(certificate);
  return matched;
}

void LogSSLErrors(const std::string& prefix) {
  char error_buf[200];
  unsigned long err;
  while ((err = ERR_get_error()) != 0) {
    ERR_error_string_n(err, error_buf, sizeof(error_buf));
    RTC_LOG(LS_ERROR) << prefix << ": " << error_buf << "\n";
  }
}

size_t AddRootCertificates(X509_STORE* store,
                           const unsigned char* const* certificates,
                           const size_t* sizes,
                           size_t count) {
  ERR_set_mark();
  size_t added = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* cert_buffer = certificates[i];
    X509* cert = d2i_X509(nullptr, &cert_buffer, checked_cast<long>(sizes[i]));
    if (cert == nullptr) {
      continue;
    }
    if (X509_STORE_add_cert(store, cert) != 0) {
      ++added;
    } else {
      RTC_LOG(LS_WARNING) << "Unable to add certificate.";
    }
    // The store keeps a reference of its own.
    X509_free(cert);
  }
  ERR_pop_to_mark();
  return added;
}

bool LoadBuiltinSSLRootCertificates(SSL_CTX* ctx) {
  return AddRootCertificates(SSL_CTX_get_cert_store(ctx), kSSLCertCertificateList,
                             kSSLCertCertificateSizeList, kSSLCertCertificateCount) > 0;
}

}  // namespace openssl
}  // namespace rtc
