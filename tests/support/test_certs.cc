#include "tests/support/test_certs.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec_key.h>
#include <openssl/nid.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace zek_test {

namespace {

std::string BioContents(BIO* bio) {
  const uint8_t* data = nullptr;
  size_t len = 0;
  if (!BIO_mem_contents(bio, &data, &len)) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(data), len);
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  bssl::UniquePtr<X509_EXTENSION> ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1);
}

}  // namespace

bssl::UniquePtr<EVP_PKEY> MakeKey(KeyType type) {
  bssl::UniquePtr<EVP_PKEY> pkey;
  switch (type) {
    case KeyType::kEcdsaP256: {
      bssl::UniquePtr<EC_KEY> ec(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
      pkey.reset(EVP_PKEY_new());
      if (!ec || !pkey || !EC_KEY_generate_key(ec.get()) ||
          !EVP_PKEY_assign_EC_KEY(pkey.get(), ec.release())) {
        pkey.reset();
      }
      break;
    }
    case KeyType::kRsa2048: {
      bssl::UniquePtr<RSA> rsa(RSA_new());
      bssl::UniquePtr<BIGNUM> e(BN_new());
      pkey.reset(EVP_PKEY_new());
      if (!rsa || !e || !pkey || !BN_set_word(e.get(), RSA_F4) ||
          !RSA_generate_key_ex(rsa.get(), 2048, e.get(), nullptr) ||
          !EVP_PKEY_assign_RSA(pkey.get(), rsa.release())) {
        pkey.reset();
      }
      break;
    }
    case KeyType::kEd25519: {
      bssl::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
      EVP_PKEY* raw = nullptr;
      if (ctx && EVP_PKEY_keygen_init(ctx.get()) && EVP_PKEY_keygen(ctx.get(), &raw)) {
        pkey.reset(raw);
      }
      break;
    }
  }
  if (!pkey) {
    ADD_FAILURE() << "key generation failed";
  }
  return pkey;
}

std::string TestCertificate::CertPem() const {
  bssl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), cert.get())) {
    ADD_FAILURE() << "PEM_write_bio_X509 failed";
    return std::string();
  }
  return BioContents(bio.get());
}

std::string TestCertificate::KeyPem() const {
  bssl::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
    ADD_FAILURE() << "PEM_write_bio_PrivateKey failed";
    return std::string();
  }
  return BioContents(bio.get());
}

std::string TestCertificate::CertDer() const {
  uint8_t* der = nullptr;
  int len = i2d_X509(cert.get(), &der);
  if (len <= 0) {
    ADD_FAILURE() << "i2d_X509 failed";
    return std::string();
  }
  std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(len));
  OPENSSL_free(der);
  return out;
}

TestCertificate MakeCertificate(const CertOptions& options,
                                KeyType key_type,
                                const TestCertificate* issuer) {
  TestCertificate result;
  if (options.key != nullptr) {
    EVP_PKEY_up_ref(options.key);
    result.key.reset(options.key);
  } else {
    result.key = MakeKey(key_type);
  }
  bssl::UniquePtr<X509> cert(X509_new());
  if (!result.key || !cert) {
    ADD_FAILURE() << "cannot make a certificate";
    return TestCertificate();
  }
  X509* issuer_cert = issuer ? issuer->cert.get() : cert.get();
  EVP_PKEY* signing_key = issuer ? issuer->key.get() : result.key.get();

  bool ok = X509_set_version(cert.get(), X509_VERSION_3) &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), options.serial) &&
            ASN1_TIME_set(X509_getm_notBefore(cert.get()), options.not_before) &&
            ASN1_TIME_set(X509_getm_notAfter(cert.get()), options.not_after) &&
            X509_set_pubkey(cert.get(), result.key.get());
  X509_NAME* subject = X509_get_subject_name(cert.get());
  ok = ok && X509_NAME_add_entry_by_txt(
                 subject, "CN", MBSTRING_UTF8,
                 reinterpret_cast<const unsigned char*>(options.common_name.c_str()), -1, -1, 0);
  ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer_cert));

  std::string san;
  for (const std::string& name : options.dns_names) {
    san += (san.empty() ? "DNS:" : ",DNS:") + name;
  }
  for (const std::string& ip : options.ip_addresses) {
    san += (san.empty() ? "IP:" : ",IP:") + ip;
  }
  if (options.is_ca) {
    ok = ok && AddExtension(cert.get(), issuer_cert, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(cert.get(), issuer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && AddExtension(cert.get(), issuer_cert, NID_basic_constraints, "CA:FALSE");
  }
  ok = ok && AddExtension(cert.get(), issuer_cert, NID_subject_key_identifier, "hash");
  if (!san.empty()) {
    ok = ok && AddExtension(cert.get(), issuer_cert, NID_subject_alt_name, san);
  }
  ok = ok && X509_sign(cert.get(), signing_key, options.digest) > 0;
  if (!ok) {
    ADD_FAILURE() << "cannot build the certificate for " << options.common_name;
    return TestCertificate();
  }
  result.cert = std::move(cert);
  return result;
}

TestCertificate MakeCa(const std::string& common_name, KeyType key_type) {
  CertOptions options;
  options.common_name = common_name;
  options.is_ca = true;
  return MakeCertificate(options, key_type);
}

TestPki MakeLocalhostPki() {
  TestPki pki;
  pki.ca = MakeCa();
  CertOptions options;
  options.common_name = "localhost";
  options.dns_names = {"localhost"};
  options.ip_addresses = {"127.0.0.1", "::1"};
  options.serial = 2;
  pki.leaf = MakeCertificate(options, KeyType::kEcdsaP256, &pki.ca);
  return pki;
}

bssl::UniquePtr<X509> ParsePemCertificate(const std::string& pem) {
  bssl::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    return nullptr;
  }
  return bssl::UniquePtr<X509>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace zek_test
