#ifndef RTC_BASE_OPENSSLUTILITY_H_
#define RTC_BASE_OPENSSLUTILITY_H_

#include <openssl/ssl.h>

#include <stddef.h>

#include <string>

namespace rtc {
namespace openssl {

// The address text of `host` when it is an IP literal (IPv4, IPv6, or IPv6 in
// brackets), for X509_check_ip_asc; empty for a host name. X509_check_host never
// looks at IP subject alternative names, so literals take the other check, and they
// are never sent as a server name.
std::string IpLiteral(const std::string& host);

// Whether the peer certificate of a finished handshake is valid for `host`: a
// DNS name is matched against the certificate's names, an IP literal (IPv4, or
// IPv6 bare or in brackets) against its IP subject alternative names. False,
// with an error line, for an empty host, a null `ssl` or no peer certificate.
bool VerifyPeerCertMatchesHost(SSL* ssl, const std::string& host);

// Logs and removes every error queued by the TLS library on this thread, one
// error line each, as `prefix`: text.
void LogSSLErrors(const std::string& prefix);

// Adds the built-in trusted roots (rtc_base/sslroots.h) to the context's
// certificate store; true when at least one was added.
bool LoadBuiltinSSLRootCertificates(SSL_CTX* ctx);

// Adds `count` DER certificates to `store`, skipping those that do not parse
// and warning about those the store refuses; returns how many were added. The
// errors its skipped entries leave are taken off this thread's error queue, so
// a later SSL_get_error does not mistake them for a failure of its own.
size_t AddRootCertificates(X509_STORE* store,
                           const unsigned char* const* certificates,
                           const size_t* sizes,
                           size_t count);

}  // namespace openssl
}  // namespace rtc

#endif  // RTC_BASE_OPENSSLUTILITY_H_
