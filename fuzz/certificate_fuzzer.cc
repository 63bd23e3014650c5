// The wrappers around what the TLS library parsed: certificates, key pairs,
// identities, and the ASN.1 time reader. Bytes the library accepts as a DER
// certificate or private key are wrapped, and every answer of the wrapper is
// checked against the library's own object or an independent computation: the DER
// and PEM forms read back to the same certificate, each fingerprint equals the
// digest of the DER bytes, the signature digest name follows the table of
// signature algorithms, the expiration time equals a model of the ASN.1 time
// formats over timegm(), key PEM texts read back to the same key, and copies stay
// valid after their originals are gone.
#include <openssl/bio.h>
#include <openssl/digest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "rtc_base/opensslcertificate.h"
#include "rtc_base/opensslidentity.h"
#include "rtc_base/sslcertificate.h"

namespace {

using zek_fuzz::FuzzInput;

struct DigestCase {
  const char* name;
  const EVP_MD* (*md)();
};
const DigestCase kDigests[] = {
    {"md5", EVP_md5},        {"sha-1", EVP_sha1},     {"sha-224", EVP_sha224},
    {"sha-256", EVP_sha256}, {"sha-384", EVP_sha384}, {"sha-512", EVP_sha512},
};

// Signature algorithm object ids and the digest each names.
const char* ModelSignatureDigest(int nid) {
  switch (nid) {
    case 8:
    case 104:
      return "md5";
    case 65:
    case 70:
    case 113:
    case 115:
    case 416:
      return "sha-1";
    case 671:
    case 793:
    case 802:
      return "sha-224";
    case 668:
    case 794:
    case 803:
      return "sha-256";
    case 669:
    case 795:
      return "sha-384";
    case 670:
    case 796:
      return "sha-512";
    default:
      return nullptr;
  }
}

int Digits(const unsigned char* s, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i)
    v = v * 10 + (s[i] - '0');
  return v;
}

// YYMMDDHHMMSSZ (YY below 50 is 20YY) or YYYYMMDDHHMMSSZ, UTC, from 1970 on.
int64_t ModelAsn1Time(const std::string& text, bool long_format) {
  const size_t expected = long_format ? 15 : 13;
  if (text.size() != expected || text.back() != 'Z')
    return -1;
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9')
      return -1;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  int year = 0;
  if (long_format) {
    year = Digits(s, 4);
    s += 4;
  } else {
    const int yy = Digits(s, 2);
    year = yy < 50 ? 2000 + yy : 1900 + yy;
    s += 2;
  }
  const int month = Digits(s, 2), day = Digits(s + 2, 2), hour = Digits(s + 4, 2),
            minute = Digits(s + 6, 2), second = Digits(s + 8, 2);
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (leap && month == 2 ? 1 : 0) || hour > 23 || minute > 59 ||
      second > 59) {
    return -1;
  }
  tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t));
}

std::string Der(X509* x509) {
  uint8_t* out = nullptr;
  const int n = i2d_X509(x509, &out);
  std::string der = n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : "";
  OPENSSL_free(out);
  return der;
}

std::string DerOf(const rtc::SSLCertificate& cert) {
  rtc::BufferT<unsigned char, false> buffer;
  buffer.SetData(reinterpret_cast<const unsigned char*>("stale"), 5);
  cert.ToDER(&buffer);
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

void CheckCertificate(const rtc::OpenSSLCertificate& cert, const std::string& der) {
  ZEK_FUZZ_CHECK(DerOf(cert) == der, "ToDER differs from the library's DER");

  const std::string pem = cert.ToPEMString();
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  bssl::UniquePtr<X509> reread(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  ZEK_FUZZ_CHECK(reread != nullptr, "the PEM text does not read back:\n%s", pem.c_str());
  ZEK_FUZZ_CHECK(Der(reread.get()) == der, "the PEM text reads back as another certificate");

  for (const DigestCase& d : kDigests) {
    unsigned char expected[EVP_MAX_MD_SIZE];
    unsigned int expected_len = 0;
    EVP_Digest(der.data(), der.size(), expected, &expected_len, d.md(), nullptr);
    unsigned char got[EVP_MAX_MD_SIZE];
    size_t got_len = 0;
    ZEK_FUZZ_CHECK(!cert.ComputeDigest(d.name, got, expected_len - 1, &got_len),
                   "%s accepted a buffer one byte short", d.name);
    ZEK_FUZZ_CHECK(cert.ComputeDigest(d.name, got, expected_len, &got_len),
                   "%s refused an exact buffer", d.name);
    ZEK_FUZZ_CHECK(got_len == expected_len && memcmp(got, expected, got_len) == 0,
                   "the %s fingerprint is not the digest of the DER bytes", d.name);
  }
  unsigned char sink[EVP_MAX_MD_SIZE];
  size_t sink_len = 0;
  ZEK_FUZZ_CHECK(!cert.ComputeDigest("sha-3", sink, sizeof(sink), &sink_len),
                 "an unknown digest name was accepted");

  std::string algorithm = "stale";
  const char* expected_algorithm = ModelSignatureDigest(X509_get_signature_nid(cert.x509()));
  const bool known = cert.GetSignatureDigestAlgorithm(&algorithm);
  ZEK_FUZZ_CHECK(known == (expected_algorithm != nullptr), "signature digest known %d", known);
  ZEK_FUZZ_CHECK(algorithm == (expected_algorithm ? expected_algorithm : ""), "signature digest %s",
                 algorithm.c_str());

  const ASN1_TIME* not_after = X509_get0_notAfter(cert.x509());
  int64_t expected_expiry = -1;
  if (not_after) {
    const std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(not_after)),
                           static_cast<size_t>(ASN1_STRING_length(not_after)));
    if (ASN1_STRING_type(not_after) == V_ASN1_UTCTIME)
      expected_expiry = ModelAsn1Time(text, false);
    else if (ASN1_STRING_type(not_after) == V_ASN1_GENERALIZEDTIME)
      expected_expiry = ModelAsn1Time(text, true);
  }
  const int64_t expiry = cert.CertificateExpirationTime();
  ZEK_FUZZ_CHECK(expiry == expected_expiry, "expiration %lld, model %lld",
                 static_cast<long long>(expiry), static_cast<long long>(expected_expiry));
}

void FuzzCertificate(const std::string& input) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(input.data());
  bssl::UniquePtr<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(input.size())));
  if (!x509)
    return;
  const std::string der = Der(x509.get());
  auto cert = std::make_unique<rtc::OpenSSLCertificate>(x509.get());
  // The wrapper holds a reference of its own.
  x509.reset();
  CheckCertificate(*cert, der);

  std::vector<std::unique_ptr<rtc::SSLCertificate>> certs;
  certs.push_back(cert->Clone());
  certs.push_back(cert->Clone());
  rtc::SSLCertChain chain(std::move(certs));
  cert.reset();
  std::unique_ptr<rtc::SSLCertChain> copy = chain.Clone();
  ZEK_FUZZ_CHECK(copy->GetSize() == 2, "a chain of two cloned as %zu", copy->GetSize());
  for (size_t i = 0; i < copy->GetSize(); ++i)
    ZEK_FUZZ_CHECK(DerOf(copy->Get(i)) == der, "cloned certificate %zu differs", i);
}

bssl::UniquePtr<EVP_PKEY> ReadKey(const std::string& pem, bool is_private) {
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return bssl::UniquePtr<EVP_PKEY>(
      is_private ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                 : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

void CheckKeyTexts(const rtc::OpenSSLKeyPair& pair, EVP_PKEY* key) {
  const std::string private_pem = pair.PrivateKeyToPEMString();
  ZEK_FUZZ_CHECK(private_pem.find("ENCRYPTED") == std::string::npos,
                 "the private key is encrypted");
  bssl::UniquePtr<EVP_PKEY> private_key = ReadKey(private_pem, true);
  ZEK_FUZZ_CHECK(private_key && EVP_PKEY_cmp(private_key.get(), key) == 1,
                 "the private key text reads back as another key:\n%s", private_pem.c_str());
  const std::string public_pem = pair.PublicKeyToPEMString();
  bssl::UniquePtr<EVP_PKEY> public_key = ReadKey(public_pem, false);
  ZEK_FUZZ_CHECK(public_key && EVP_PKEY_cmp(public_key.get(), key) == 1,
                 "the public key text reads back as another key:\n%s", public_pem.c_str());
}

bssl::UniquePtr<EVP_PKEY> ParseKey(const std::string& input) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(input.data());
  return bssl::UniquePtr<EVP_PKEY>(
      d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(input.size())));
}

void FuzzKey(const std::string& input) {
  bssl::UniquePtr<EVP_PKEY> key = ParseKey(input);
  if (!key)
    return;
  EVP_PKEY_up_ref(key.get());
  auto pair = std::make_unique<rtc::OpenSSLKeyPair>(key.get());
  CheckKeyTexts(*pair, key.get());
  std::unique_ptr<rtc::OpenSSLKeyPair> copy(pair->GetReference());
  pair.reset();
  ZEK_FUZZ_CHECK(copy->pkey() == key.get(), "a reference holds another key");
  CheckKeyTexts(*copy, key.get());
}

// A certificate and a key from the input as an identity, its chain the certificate
// one to three times (the others standing for intermediates): it installs itself
// into a TLS context exactly when the library takes those directly.
void FuzzIdentity(FuzzInput* in, size_t chain_length) {
  const std::string cert_bytes = in->Blob();
  const std::string key_bytes = in->Rest();
  const uint8_t* p = reinterpret_cast<const uint8_t*>(cert_bytes.data());
  bssl::UniquePtr<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(cert_bytes.size())));
  bssl::UniquePtr<EVP_PKEY> key = ParseKey(key_bytes);
  if (!x509 || !key)
    return;
  bssl::UniquePtr<SSL_CTX> reference(SSL_CTX_new(TLS_method()));
  bool expected = SSL_CTX_use_certificate(reference.get(), x509.get()) == 1 &&
                  SSL_CTX_use_PrivateKey(reference.get(), key.get()) == 1;
  for (size_t i = 1; expected && i < chain_length; ++i)
    expected = SSL_CTX_add1_chain_cert(reference.get(), x509.get()) == 1;
  ERR_clear_error();

  std::vector<std::unique_ptr<rtc::SSLCertificate>> certs;
  for (size_t i = 0; i < chain_length; ++i)
    certs.push_back(std::make_unique<rtc::OpenSSLCertificate>(x509.get()));
  EVP_PKEY_up_ref(key.get());
  auto identity =
      std::make_unique<rtc::OpenSSLIdentity>(std::make_unique<rtc::OpenSSLKeyPair>(key.get()),
                                             std::make_unique<rtc::SSLCertChain>(std::move(certs)));
  std::unique_ptr<rtc::OpenSSLIdentity> copy(identity->GetReference());
  identity.reset();
  ZEK_FUZZ_CHECK(DerOf(copy->certificate()) == Der(x509.get()),
                 "the identity's certificate differs from the one given");
  ZEK_FUZZ_CHECK(copy->cert_chain().GetSize() == chain_length, "a chain of %zu copied as %zu",
                 chain_length, copy->cert_chain().GetSize());
  bssl::UniquePtr<EVP_PKEY> private_key = ReadKey(copy->PrivateKeyToPEMString(), true);
  ZEK_FUZZ_CHECK(private_key && EVP_PKEY_cmp(private_key.get(), key.get()) == 1,
                 "the identity's private key text is another key");
  bssl::UniquePtr<EVP_PKEY> public_key = ReadKey(copy->PublicKeyToPEMString(), false);
  ZEK_FUZZ_CHECK(public_key && EVP_PKEY_cmp(public_key.get(), key.get()) == 1,
                 "the identity's public key text is another key");
  bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
  const bool configured = copy->ConfigureIdentity(ctx.get());
  ZEK_FUZZ_CHECK(configured == expected, "ConfigureIdentity %d, the library alone %d", configured,
                 expected);
  ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  switch (mode % 5) {
    case 0:
      FuzzCertificate(in.Rest());
      break;
    case 1:
      FuzzKey(in.Rest());
      break;
    case 2:
      FuzzIdentity(&in, 1 + (mode / 5) % 3);
      break;
    default: {
      const bool long_format = mode % 5 == 4;
      const std::string text = in.Rest();
      std::unique_ptr<unsigned char[]> exact(new unsigned char[text.size() + 1]);
      memcpy(exact.get(), text.data(), text.size());
      const int64_t got = rtc::ASN1TimeToSec(exact.get(), text.size(), long_format);
      const int64_t expected = ModelAsn1Time(text, long_format);
      ZEK_FUZZ_CHECK(got == expected, "ASN1TimeToSec %lld, model %lld", static_cast<long long>(got),
                     static_cast<long long>(expected));
      break;
    }
  }
  ERR_clear_error();
  return 0;
}
