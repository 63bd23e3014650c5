#include "rtc_base/opensslutility.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>

#include "rtc_base/sslroots.h"
#include "tests/support/test_certs.h"
#include "tests/support/tls_memory_pair.h"

namespace {

using zek_test::CertOptions;
using zek_test::TestCertificate;

// Everything the code under test writes to standard error while `fn` runs.
template <typename Fn>
std::string StderrOf(Fn fn) {
  ::testing::internal::CaptureStderr();
  fn();
  return ::testing::internal::GetCapturedStderr();
}

int StoreSize(SSL_CTX* ctx) {
  return static_cast<int>(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx))));
}

// A server presenting `server_cert` and a client that takes any certificate,
// after their handshake: the client's peer certificate is `server_cert`.
class PeerCertificate {
 public:
  explicit PeerCertificate(const TestCertificate& server_cert) {
    client_ctx_.reset(SSL_CTX_new(TLS_method()));
    server_ctx_.reset(SSL_CTX_new(TLS_method()));
    ok_ = client_ctx_ && server_ctx_ &&
          SSL_CTX_use_certificate(server_ctx_.get(), server_cert.cert.get()) &&
          SSL_CTX_use_PrivateKey(server_ctx_.get(), server_cert.key.get()) &&
          pair_.Init(client_ctx_.get(), server_ctx_.get()) && pair_.Handshake();
  }
  bool ok() const { return ok_; }
  SSL* client() const { return pair_.client.get(); }

 private:
  bssl::UniquePtr<SSL_CTX> client_ctx_;
  bssl::UniquePtr<SSL_CTX> server_ctx_;
  zek_test::TlsMemoryPair pair_;
  bool ok_ = false;
};

struct HostCase {
  const char* host;
  bool matches;
};

TEST(VerifyPeerCertMatchesHostTest, LocalhostCertificateMatchesItsNamesOnly) {
  zek_test::TestPki pki = zek_test::MakeLocalhostPki();
  PeerCertificate peer(pki.leaf);
  ASSERT_TRUE(peer.ok());

  // The leaf names DNS:localhost, IP:127.0.0.1 and IP:::1.
  const HostCase kCases[] = {
      {"localhost", true},
      {"LocalHost", true},  // DNS names compare without regard to case
      {"127.0.0.1", true},  // an IP subject alternative name
      {"::1", true},
      {"0:0:0:0:0:0:0:1", true},  // the same address written out
      {"[::1]", true},
      {"localhos", false},
      {"localhost.example", false},
      {"sub.localhost", false},
      {"example.test", false},
      {"127.0.0.2", false},
      {"::2", false},
      {"127.0.0.1.", false},
      {"[127.0.0.1]", false},
  };
  for (const HostCase& c : kCases) {
    std::string log = StderrOf([&] {
      EXPECT_EQ(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), c.host), c.matches)
          << c.host;
    });
    // A mismatch is a plain false, not an error line.
    EXPECT_EQ(log, "") << c.host;
  }
}

TEST(VerifyPeerCertMatchesHostTest, EmbeddedNulNeverMatches) {
  zek_test::TestPki pki = zek_test::MakeLocalhostPki();
  PeerCertificate peer(pki.leaf);
  ASSERT_TRUE(peer.ok());
  EXPECT_FALSE(
      rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), std::string("localhost\0.evil", 15)));
  EXPECT_FALSE(
      rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), std::string("127.0.0.1\0", 10)));
}

TEST(VerifyPeerCertMatchesHostTest, AddressWrittenAsDnsNameDoesNotVouchForTheAddress) {
  // An address is vouched for only by an IP entry, never by a DNS entry or a
  // common name that spells it.
  CertOptions options;
  options.common_name = "127.0.0.1";
  options.dns_names = {"127.0.0.1", "service.test"};
  TestCertificate cert = zek_test::MakeCertificate(options);
  PeerCertificate peer(cert);
  ASSERT_TRUE(peer.ok());
  EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), "127.0.0.1"));
  EXPECT_TRUE(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), "service.test"));
}

TEST(VerifyPeerCertMatchesHostTest, WildcardCoversOneLabel) {
  CertOptions options;
  options.common_name = "wild";
  options.dns_names = {"*.example.test"};
  TestCertificate cert = zek_test::MakeCertificate(options);
  PeerCertificate peer(cert);
  ASSERT_TRUE(peer.ok());
  EXPECT_TRUE(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), "a.example.test"));
  EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), "a.b.example.test"));
  EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(peer.client(), "example.test"));
}

TEST(VerifyPeerCertMatchesHostTest, RefusalsAreLogged) {
  std::string log = StderrOf([] {
    // The host is looked at before the session, which may then be null.
    EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(nullptr, ""));
  });
  EXPECT_NE(log.find("Hostname is empty. Cannot verify peer certificate.\n"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("SSL is nullptr"), std::string::npos) << log;

  log = StderrOf([] { EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(nullptr, "host")); });
  EXPECT_NE(log.find("SSL is nullptr. Cannot verify peer certificate.\n"), std::string::npos)
      << log;

  bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
  bssl::UniquePtr<SSL> ssl(SSL_new(ctx.get()));
  log = StderrOf(
      [&] { EXPECT_FALSE(rtc::openssl::VerifyPeerCertMatchesHost(ssl.get(), "localhost")); });
  EXPECT_NE(log.find("(opensslutility.cc:"), std::string::npos) << log;
  EXPECT_NE(log.find("SSL_get_peer_certificate failed. This should never happen.\n"),
            std::string::npos)
      << log;
}

TEST(LogSSLErrorsTest, EmptyQueueLogsNothing) {
  ERR_clear_error();
  EXPECT_EQ(StderrOf([] { rtc::openssl::LogSSLErrors("prefix"); }), "");
}

TEST(LogSSLErrorsTest, LogsEveryQueuedErrorAndEmptiesTheQueue) {
  ERR_clear_error();
  ERR_put_error(ERR_LIB_SSL, 0, SSL_R_NO_CIPHERS_AVAILABLE, "file.cc", 1);
  ERR_put_error(ERR_LIB_X509, 0, X509_R_KEY_VALUES_MISMATCH, "file.cc", 2);
  std::string log = StderrOf([] { rtc::openssl::LogSSLErrors("Doing things"); });
  EXPECT_EQ(ERR_get_error(), 0u);

  // Each error is one message that ends in its own line feed, so an empty line
  // follows it.
  size_t first = log.find("Doing things: error:");
  ASSERT_NE(first, std::string::npos) << log;
  size_t second = log.find("Doing things: error:", first + 1);
  ASSERT_NE(second, std::string::npos) << log;
  EXPECT_EQ(log.find("Doing things", second + 1), std::string::npos) << log;
  EXPECT_NE(log.find("NO_CIPHERS_AVAILABLE\n\n"), std::string::npos) << log;
  EXPECT_NE(log.find("KEY_VALUES_MISMATCH\n\n"), std::string::npos) << log;
  EXPECT_LT(log.find("NO_CIPHERS_AVAILABLE"), log.find("KEY_VALUES_MISMATCH")) << log;
}

TEST(RootCertificatesTest, BuiltinTableLoadsWhole) {
  bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
  ASSERT_TRUE(ctx);
  ASSERT_EQ(StoreSize(ctx.get()), 0);
  std::string log =
      StderrOf([&] { EXPECT_TRUE(rtc::openssl::LoadBuiltinSSLRootCertificates(ctx.get())); });
  EXPECT_EQ(log, "");
  EXPECT_EQ(StoreSize(ctx.get()), static_cast<int>(kSSLCertCertificateCount));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(RootCertificatesTest, TableOfUnparsableEntriesAddsNothingSilently) {
  const unsigned char kJunk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
  const unsigned char kTruncated[] = {0x30, 0x82, 0x05, 0x00, 0x30};
  const unsigned char* const certs[] = {kJunk, kTruncated, kJunk};
  const size_t sizes[] = {sizeof(kJunk), sizeof(kTruncated), 0};
  bssl::UniquePtr<X509_STORE> store(X509_STORE_new());

  ERR_clear_error();
  std::string log = StderrOf(
      [&] { EXPECT_EQ(rtc::openssl::AddRootCertificates(store.get(), certs, sizes, 3), 0u); });
  EXPECT_EQ(log, "");
  // The parse errors do not linger for the next TLS call to trip over.
  EXPECT_EQ(ERR_get_error(), 0u);

  // An error the caller had queued before stays queued.
  ERR_put_error(ERR_LIB_SSL, 0, SSL_R_NO_CIPHERS_AVAILABLE, "file.cc", 1);
  rtc::openssl::AddRootCertificates(store.get(), certs, sizes, 3);
  EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), SSL_R_NO_CIPHERS_AVAILABLE);
  EXPECT_EQ(ERR_get_error(), 0u);
}

TEST(RootCertificatesTest, LoadedRootsAreWhatAHandshakeTrusts) {
  zek_test::TestPki pki = zek_test::MakeLocalhostPki();
  const std::string ca_der = pki.ca.CertDer();
  const std::string junk = "not a certificate";
  const unsigned char* const certs[] = {reinterpret_cast<const unsigned char*>(junk.data()),
                                        reinterpret_cast<const unsigned char*>(ca_der.data())};
  const size_t sizes[] = {junk.size(), ca_der.size()};

  for (bool trust_test_ca : {false, true}) {
    SCOPED_TRACE(trust_test_ca ? "test CA trusted" : "built-in roots only");
    bssl::UniquePtr<SSL_CTX> client_ctx(SSL_CTX_new(TLS_method()));
    bssl::UniquePtr<SSL_CTX> server_ctx(SSL_CTX_new(TLS_method()));
    ASSERT_TRUE(rtc::openssl::LoadBuiltinSSLRootCertificates(client_ctx.get()));
    if (trust_test_ca) {
      EXPECT_EQ(rtc::openssl::AddRootCertificates(SSL_CTX_get_cert_store(client_ctx.get()), certs,
                                                  sizes, 2),
                1u);
    }
    SSL_CTX_set_verify(client_ctx.get(), SSL_VERIFY_PEER, nullptr);
    ASSERT_TRUE(SSL_CTX_use_certificate(server_ctx.get(), pki.leaf.cert.get()));
    ASSERT_TRUE(SSL_CTX_use_PrivateKey(server_ctx.get(), pki.leaf.key.get()));
    zek_test::TlsMemoryPair pair;
    ASSERT_TRUE(pair.Init(client_ctx.get(), server_ctx.get()));
    EXPECT_EQ(pair.Handshake(), trust_test_ca);
    EXPECT_EQ(SSL_get_verify_result(pair.client.get()) == X509_V_OK, trust_test_ca);
    ERR_clear_error();
  }
}

}  // namespace
