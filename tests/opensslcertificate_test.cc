#include "rtc_base/opensslcertificate.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/nid.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/buffer.h"
#include "rtc_base/messagedigest.h"
#include "rtc_base/sslcertificate.h"
#include "rtc_base/stringencode.h"
#include "tests/support/test_certs.h"

namespace {

using zek_test::CertOptions;
using zek_test::KeyType;
using zek_test::TestCertificate;

// Counts the frees of an X509 object through an ex-data slot whose free
// callback the library runs when the last reference goes.
void CountFree(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  if (ptr != nullptr) {
    ++*static_cast<int*>(ptr);
  }
}

int X509FreeIndex() {
  static const int index = X509_get_ex_new_index(0, nullptr, nullptr, nullptr, CountFree);
  return index;
}

std::string ToHex(const unsigned char* data, size_t len) {
  return rtc::hex_encode(reinterpret_cast<const char*>(data), len);
}

struct TimeCase {
  const char* text;
  bool long_format;
  int64_t seconds;
};

TEST(ASN1TimeToSecTest, Cases) {
  const TimeCase kCases[] = {
      // UTCTime: YY below 50 is 20YY, otherwise 19YY.
      {"491231235959Z", false, 2524607999},
      {"700101000000Z", false, 0},
      {"000229120000Z", false, 951825600},
      {"500101000000Z", false, -1},  // 1950, before 1970
      {"691231235959Z", false, -1},
      // GeneralizedTime.
      {"20380119031408Z", true, 2147483648},
      {"19700101000000Z", true, 0},
      {"20040229000000Z", true, 1078012800},
      {"99991231235959Z", true, 253402300799},
      // Wrong forms.
      {"4912312359Z", false, -1},      // no seconds
      {"491231235959.5Z", false, -1},  // fraction
      {"491231235959+0100", false, -1},
      {"49123123595aZ", false, -1},
      {"491231235959", false, -1},     // no Z
      {"20380119031408Z", false, -1},  // long text, short flag
      {"491231235959Z", true, -1},     // short text, long flag
      {"Z", false, -1},
      {"", false, -1},
      // Fields out of range.
      {"491331235959Z", false, -1},
      {"490230000000Z", false, -1},
      {"491200235959Z", false, -1},
      {"491231240000Z", false, -1},
      {"491231236000Z", false, -1},
      {"491231235960Z", false, -1},
      {"21000229000000Z", true, -1},
  };
  for (const TimeCase& c : kCases) {
    EXPECT_EQ(rtc::ASN1TimeToSec(reinterpret_cast<const unsigned char*>(c.text), strlen(c.text),
                                 c.long_format),
              c.seconds)
        << c.text << (c.long_format ? " (long)" : " (short)");
  }
  // Only `length` characters are read: a cut text has no Z at its end.
  EXPECT_EQ(rtc::ASN1TimeToSec(reinterpret_cast<const unsigned char*>("491231235959Z"), 12, false),
            -1);
  EXPECT_EQ(rtc::ASN1TimeToSec(nullptr, 0, false), -1);
}

class OpenSSLCertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = zek_test::MakeLocalhostPki();
    ASSERT_TRUE(pki_.leaf.cert);
  }
  zek_test::TestPki pki_;
};

TEST_F(OpenSSLCertificateTest, WrapperAndClonesHoldTheirOwnReferences) {
  int frees = 0;
  X509* x509 = pki_.leaf.cert.get();
  X509_set_ex_data(x509, X509FreeIndex(), &frees);
  const std::string pem = pki_.leaf.CertPem();

  auto cert = std::make_unique<rtc::OpenSSLCertificate>(x509);
  EXPECT_EQ(cert->x509(), x509);
  pki_.leaf.cert.reset();  // The caller's reference goes; the wrapper keeps its own.
  EXPECT_EQ(frees, 0);
  EXPECT_EQ(cert->ToPEMString(), pem);

  std::unique_ptr<rtc::SSLCertificate> clone = cert->Clone();
  std::unique_ptr<rtc::SSLCertificate> clone_of_clone = clone->Clone();
  cert.reset();
  EXPECT_EQ(frees, 0);
  EXPECT_EQ(static_cast<rtc::OpenSSLCertificate&>(*clone).x509(), x509);
  EXPECT_EQ(clone->ToPEMString(), pem);
  clone.reset();
  EXPECT_EQ(clone_of_clone->ToPEMString(), pem);
  EXPECT_EQ(frees, 0);
  clone_of_clone.reset();
  EXPECT_EQ(frees, 1);
}

TEST_F(OpenSSLCertificateTest, PemRoundTrip) {
  rtc::OpenSSLCertificate cert(pki_.leaf.cert.get());
  const std::string pem = cert.ToPEMString();
  EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u) << pem;
  EXPECT_EQ(pem.size() - pem.find("-----END CERTIFICATE-----\n"),
            strlen("-----END CERTIFICATE-----\n"));
  EXPECT_EQ(pem.find('\0'), std::string::npos);
  bssl::UniquePtr<X509> parsed = zek_test::ParsePemCertificate(pem);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(X509_cmp(parsed.get(), pki_.leaf.cert.get()), 0);
  EXPECT_EQ(rtc::OpenSSLCertificate(parsed.get()).ToPEMString(), pem);
}

TEST_F(OpenSSLCertificateTest, DerRoundTripReplacesTheBufferContents) {
  rtc::OpenSSLCertificate cert(pki_.leaf.cert.get());
  const std::string expected = pki_.leaf.CertDer();
  rtc::BufferT<unsigned char, false> der;
  std::vector<unsigned char> junk(4096, 0xAA);
  der.SetData(junk.data(), junk.size());
  cert.ToDER(&der);
  ASSERT_EQ(der.size(), expected.size());
  EXPECT_EQ(std::memcmp(der.data(), expected.data(), der.size()), 0);

  const unsigned char* p = der.data();
  bssl::UniquePtr<X509> parsed(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(p, der.data() + der.size());
  EXPECT_EQ(X509_cmp(parsed.get(), pki_.leaf.cert.get()), 0);
}

TEST_F(OpenSSLCertificateTest, FingerprintsAreDigestsOfTheDer) {
  rtc::OpenSSLCertificate cert(pki_.leaf.cert.get());
  const std::string der = pki_.leaf.CertDer();
  const struct {
    const char* name;
    size_t size;
  } kDigests[] = {{"md5", 16},     {"sha-1", 20},   {"sha-224", 28},
                  {"sha-256", 32}, {"sha-384", 48}, {"sha-512", 64}};
  for (const auto& d : kDigests) {
    SCOPED_TRACE(d.name);
    unsigned char digest[64];
    size_t length = 0;
    ASSERT_TRUE(cert.ComputeDigest(d.name, digest, d.size, &length));
    EXPECT_EQ(length, d.size);
    EXPECT_EQ(ToHex(digest, length), rtc::ComputeDigest(d.name, der));

    // One byte short: refused, nothing written.
    unsigned char small[64];
    memset(small, 0x5A, sizeof(small));
    length = 7;
    EXPECT_FALSE(cert.ComputeDigest(d.name, small, d.size - 1, &length));
    EXPECT_EQ(length, 7u);
    for (unsigned char b : small) {
      ASSERT_EQ(b, 0x5A);
    }
  }
  unsigned char digest[64];
  size_t length = 7;
  EXPECT_FALSE(cert.ComputeDigest("SHA-256", digest, sizeof(digest), &length));
  EXPECT_FALSE(rtc::OpenSSLCertificate::ComputeDigest(pki_.leaf.cert.get(), "sha256", digest,
                                                      sizeof(digest), &length));
  EXPECT_EQ(length, 7u);
}

TEST(OpenSSLCertificateDigestTest, CertificateThatCannotBeEncodedHasNoFingerprint) {
  // A blank certificate lacks required fields, so the library cannot encode
  // it for hashing; that must not pass for a fingerprint.
  bssl::UniquePtr<X509> blank(X509_new());
  ASSERT_TRUE(blank);
  unsigned char digest[64];
  size_t length = 7;
  EXPECT_FALSE(rtc::OpenSSLCertificate(blank.get())
                   .ComputeDigest("sha-256", digest, sizeof(digest), &length));
  EXPECT_EQ(length, 7u);
  ERR_clear_error();
}

TEST(OpenSSLCertificateSignatureTest, DigestOfEachSignatureAlgorithm) {
  bssl::UniquePtr<EVP_PKEY> rsa = zek_test::MakeKey(KeyType::kRsa2048);
  bssl::UniquePtr<EVP_PKEY> ec = zek_test::MakeKey(KeyType::kEcdsaP256);
  ASSERT_TRUE(rsa && ec);
  const struct {
    EVP_PKEY* key;
    const EVP_MD* md;
    int nid;
    const char* expected;
  } kCases[] = {
      {rsa.get(), EVP_md5(), NID_md5WithRSAEncryption, "md5"},
      {rsa.get(), EVP_sha1(), NID_sha1WithRSAEncryption, "sha-1"},
      {rsa.get(), EVP_sha224(), NID_sha224WithRSAEncryption, "sha-224"},
      {rsa.get(), EVP_sha256(), NID_sha256WithRSAEncryption, "sha-256"},
      {rsa.get(), EVP_sha384(), NID_sha384WithRSAEncryption, "sha-384"},
      {rsa.get(), EVP_sha512(), NID_sha512WithRSAEncryption, "sha-512"},
      {ec.get(), EVP_sha1(), NID_ecdsa_with_SHA1, "sha-1"},
      {ec.get(), EVP_sha224(), NID_ecdsa_with_SHA224, "sha-224"},
      {ec.get(), EVP_sha256(), NID_ecdsa_with_SHA256, "sha-256"},
      {ec.get(), EVP_sha384(), NID_ecdsa_with_SHA384, "sha-384"},
      {ec.get(), EVP_sha512(), NID_ecdsa_with_SHA512, "sha-512"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expected);
    CertOptions options;
    options.key = c.key;
    options.digest = c.md;
    TestCertificate made = zek_test::MakeCertificate(options);
    ASSERT_TRUE(made.cert);
    ASSERT_EQ(X509_get_signature_nid(made.cert.get()), c.nid);
    std::string algorithm = "old";
    EXPECT_TRUE(rtc::OpenSSLCertificate(made.cert.get()).GetSignatureDigestAlgorithm(&algorithm));
    EXPECT_EQ(algorithm, c.expected);
  }
}

TEST(OpenSSLCertificateSignatureTest, UnknownSignatureAlgorithmIsLoggedAndCleared) {
  CertOptions options;
  options.digest = nullptr;  // Ed25519 signs without a separate digest.
  TestCertificate made = zek_test::MakeCertificate(options, KeyType::kEd25519);
  ASSERT_TRUE(made.cert);
  rtc::OpenSSLCertificate cert(made.cert.get());
  std::string algorithm = "old";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(cert.GetSignatureDigestAlgorithm(&algorithm));
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(algorithm, "");
  EXPECT_NE(log.find("(opensslcertificate.cc:"), std::string::npos) << log;
  EXPECT_NE(log.find("Unknown signature algorithm NID: " + std::to_string(NID_ED25519) + "\n"),
            std::string::npos)
      << log;
}

TEST(OpenSSLCertificateExpirationTest, NotAfterInEitherTimeForm) {
  const struct {
    time_t not_after;
    int type;
  } kCases[] = {
      {2000000000, V_ASN1_UTCTIME},          // 2033
      {631152000, V_ASN1_UTCTIME},           // 1990: long expired, still read
      {2524607999, V_ASN1_UTCTIME},          // the last second of 2049
      {2524608000, V_ASN1_GENERALIZEDTIME},  // 2050 needs the long form
      {4102444800, V_ASN1_GENERALIZEDTIME},  // 2100
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.not_after);
    CertOptions options;
    options.not_before = 0;
    options.not_after = c.not_after;
    TestCertificate made = zek_test::MakeCertificate(options);
    ASSERT_TRUE(made.cert);
    ASSERT_EQ(ASN1_STRING_type(X509_get0_notAfter(made.cert.get())), c.type);
    EXPECT_EQ(rtc::OpenSSLCertificate(made.cert.get()).CertificateExpirationTime(),
              static_cast<int64_t>(c.not_after));
  }
}

TEST(OpenSSLCertificateExpirationTest, NotAfterOfAnotherTypeGivesMinusOne) {
  TestCertificate made = zek_test::MakeCertificate(CertOptions());
  ASSERT_TRUE(made.cert);
  // A well-formed time text under a type that is no time at all.
  ASN1_TIME* not_after = X509_getm_notAfter(made.cert.get());
  ASSERT_TRUE(ASN1_STRING_set(not_after, "491231235959Z", -1));
  not_after->type = V_ASN1_IA5STRING;
  EXPECT_EQ(rtc::OpenSSLCertificate(made.cert.get()).CertificateExpirationTime(), -1);
  not_after->type = V_ASN1_UTCTIME;
  EXPECT_EQ(rtc::OpenSSLCertificate(made.cert.get()).CertificateExpirationTime(), 2524607999);
}

TEST_F(OpenSSLCertificateTest, ChainOwnsItsCertificatesAndClonesThem) {
  int frees[2] = {0, 0};
  X509_set_ex_data(pki_.leaf.cert.get(), X509FreeIndex(), &frees[0]);
  X509_set_ex_data(pki_.ca.cert.get(), X509FreeIndex(), &frees[1]);
  X509* const x509s[2] = {pki_.leaf.cert.get(), pki_.ca.cert.get()};
  const std::string pems[2] = {pki_.leaf.CertPem(), pki_.ca.CertPem()};

  std::vector<std::unique_ptr<rtc::SSLCertificate>> certs;
  for (X509* x509 : x509s) {
    certs.push_back(std::make_unique<rtc::OpenSSLCertificate>(x509));
  }
  auto chain = std::make_unique<rtc::SSLCertChain>(std::move(certs));
  pki_.leaf.cert.reset();
  pki_.ca.cert.reset();
  ASSERT_EQ(chain->GetSize(), 2u);

  std::unique_ptr<rtc::SSLCertChain> clone = chain->Clone();
  chain.reset();
  EXPECT_EQ(frees[0] + frees[1], 0);
  ASSERT_EQ(clone->GetSize(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const auto& cert = static_cast<const rtc::OpenSSLCertificate&>(clone->Get(i));
    EXPECT_EQ(cert.x509(), x509s[i]);
    EXPECT_EQ(cert.ToPEMString(), pems[i]);
  }
  clone.reset();
  EXPECT_EQ(frees[0], 1);
  EXPECT_EQ(frees[1], 1);

  rtc::SSLCertChain empty({});
  EXPECT_EQ(empty.GetSize(), 0u);
  EXPECT_EQ(empty.Clone()->GetSize(), 0u);
}

}  // namespace
