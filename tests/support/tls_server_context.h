#ifndef TESTS_SUPPORT_TLS_SERVER_CONTEXT_H_
#define TESTS_SUPPORT_TLS_SERVER_CONTEXT_H_

#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "tests/support/test_certs.h"

namespace zek_test {

// The pieces the loopback TLS servers share, each driving sessions through memory
// BIOs over a poll() loop of its own.

// A server context whose certificate, issued by a new test authority (or, when
// `self_signed`, signed by its own key with no authority at all), carries the common
// name and the DNS and IP subject alternative names given. `ca` and `leaf` receive
// both certificates (`ca` stays empty when self-signed); null, with a test failure,
// when any step fails.
bssl::UniquePtr<SSL_CTX> MakeTlsServerContext(const std::string& common_name,
                                              const std::vector<std::string>& dns_names,
                                              const std::vector<std::string>& ip_addresses,
                                              TestCertificate* ca,
                                              TestCertificate* leaf,
                                              bool self_signed = false);

// The host name that a ClientHello's server_name extension carries; false when it
// has no such extension, true with "" when the extension cannot be read.
bool ClientHelloServerName(const SSL_CLIENT_HELLO* hello, std::string* name);

// Takes whatever the TLS library has written into its memory BIO.
std::string DrainBio(BIO* bio);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_TLS_SERVER_CONTEXT_H_
