#ifndef TESTS_SUPPORT_TEST_CERTS_H_
#define TESTS_SUPPORT_TEST_CERTS_H_

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <string>
#include <vector>

namespace zek_test {

// Keys and certificates made at test time: no private key is ever stored in the
// tree. Every helper fails the running test (ADD_FAILURE) and returns null on a
// library error.

enum class KeyType { kEcdsaP256, kRsa2048, kEd25519 };

bssl::UniquePtr<EVP_PKEY> MakeKey(KeyType type);

struct CertOptions {
  std::string common_name = "localhost";
  std::vector<std::string> dns_names;     // subjectAltName DNS entries
  std::vector<std::string> ip_addresses;  // subjectAltName IP entries, as text
  bool is_ca = false;
  // Digest of the signature; null for keys that take none (Ed25519).
  const EVP_MD* digest = EVP_sha256();
  // Validity, in seconds since 1970: the notBefore and notAfter times. The
  // library writes years 1950 to 2049 as UTCTime and others as GeneralizedTime.
  time_t not_before = time(nullptr) - 3600;
  time_t not_after = time(nullptr) + 30 * 24 * 3600;
  long serial = 1;
  // The key to certify; a new key of the requested type when null.
  EVP_PKEY* key = nullptr;
};

// A key with its certificate.
struct TestCertificate {
  bssl::UniquePtr<EVP_PKEY> key;
  bssl::UniquePtr<X509> cert;

  std::string CertPem() const;
  std::string KeyPem() const;  // unencrypted PKCS #8
  std::string CertDer() const;
};

// A certificate for `options.key` or a new key of `key_type`, signed by
// `issuer`, or by its own key when `issuer` is null.
TestCertificate MakeCertificate(const CertOptions& options,
                                KeyType key_type = KeyType::kEcdsaP256,
                                const TestCertificate* issuer = nullptr);

// A self-signed certificate authority.
TestCertificate MakeCa(const std::string& common_name = "zekcore test CA",
                       KeyType key_type = KeyType::kEcdsaP256);

// A test authority and a server certificate it issued for "localhost", naming
// DNS:localhost, IP:127.0.0.1 and IP:::1 as subject alternative names.
struct TestPki {
  TestCertificate ca;
  TestCertificate leaf;
};
TestPki MakeLocalhostPki();

// Parses one PEM certificate; null if `pem` holds none.
bssl::UniquePtr<X509> ParsePemCertificate(const std::string& pem);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_TEST_CERTS_H_
