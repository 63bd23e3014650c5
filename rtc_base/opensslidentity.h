#ifndef RTC_BASE_OPENSSLIDENTITY_H_
#define RTC_BASE_OPENSSLIDENTITY_H_

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "rtc_base/opensslcertificate.h"
#include "rtc_base/sslcertificate.h"
#include "rtc_base/sslidentity.h"

namespace rtc {

// A key of the TLS library, of which the pair holds one reference.
class OpenSSLKeyPair {
 public:
  // Takes over the caller's reference.
  explicit OpenSSLKeyPair(EVP_PKEY* pkey) : pkey_(pkey) {}
  virtual ~OpenSSLKeyPair();

  OpenSSLKeyPair(const OpenSSLKeyPair&) = delete;
  OpenSSLKeyPair& operator=(const OpenSSLKeyPair&) = delete;

  // A new pair over the same key with a reference of its own, owned by the
  // caller.
  virtual OpenSSLKeyPair* GetReference();

  EVP_PKEY* pkey() const { return pkey_; }
  // Unencrypted PKCS #8 PEM text; "" with an error line on failure.
  std::string PrivateKeyToPEMString() const;
  // SubjectPublicKeyInfo PEM text; "" with an error line on failure.
  std::string PublicKeyToPEMString() const;

 private:
  void AddReference();

  EVP_PKEY* pkey_;  // One reference owned.
};

// An identity over a key pair and a chain of OpenSSLCertificates, which must
// not be empty. Immutable once built.
class OpenSSLIdentity : public SSLIdentity {
 public:
  OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                  std::unique_ptr<SSLCertChain> cert_list);
  ~OpenSSLIdentity() override;

  OpenSSLIdentity(const OpenSSLIdentity&) = delete;
  OpenSSLIdentity& operator=(const OpenSSLIdentity&) = delete;

  OpenSSLIdentity* GetReference() const override;
  const OpenSSLCertificate& certificate() const override;
  const SSLCertChain& cert_chain() const override;
  std::string PrivateKeyToPEMString() const override;
  std::string PublicKeyToPEMString() const override;

  // Installs the certificate, the key and the intermediates into `ctx`. On
  // failure logs the library's errors and returns false; what was installed
  // before the failure stays.
  bool ConfigureIdentity(SSL_CTX* ctx);

 private:
  std::unique_ptr<OpenSSLKeyPair> key_pair_;
  // Declared after the key pair so that it is released first.
  std::unique_ptr<SSLCertChain> cert_chain_;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSLIDENTITY_H_
