#include "rtc_base/opensslidentity.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <utility>

#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/opensslutility.h"

namespace rtc {

namespace {

const char kPrivateKeyToPEM[] = "std::string rtc::OpenSSLKeyPair::PrivateKeyToPEMString() const";
const char kPublicKeyToPEM[] = "std::string rtc::OpenSSLKeyPair::PublicKeyToPEMString() const";

// The NUL-terminated text that `write` puts into a memory BIO; "" with an error line
// naming `function` when there is no BIO or `write` fails (`failure` says what).
template <typename Write>
std::string WriteToText(const char* function, const char* failure, Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) {
    RTC_LOG(LS_ERROR) << function << ": Failed to allocate temporary memory bio";
    return "";
  }
  if (!write(bio)) {
    RTC_LOG(LS_ERROR) << function << failure;
    BIO_free(bio);
    return "";
  }
  BIO_write(bio, "\0", 1);
  char* buffer = nullptr;
  BIO_get_mem_data(bio, &buffer);
  std::string text(buffer);
  BIO_free(bio);
  return text;
}

}  // namespace

OpenSSLKeyPair::~OpenSSLKeyPair() {
  EVP_PKEY_free(pkey_);
}

OpenSSLKeyPair* OpenSSLKeyPair::GetReference() {
  AddReference();
  return new OpenSSLKeyPair(pkey_);
}

void OpenSSLKeyPair::AddReference() {
  EVP_PKEY_up_ref(pkey_);
}

std::string OpenSSLKeyPair::PrivateKeyToPEMString() const {
  return WriteToText(kPrivateKeyToPEM, ": Failed to write private key", [this](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, pkey_, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::string OpenSSLKeyPair::PublicKeyToPEMString() const {
  return WriteToText(kPublicKeyToPEM, ": Failed to write public key",
                     [this](BIO* bio) { return PEM_write_bio_PUBKEY(bio, pkey_); });
}

OpenSSLIdentity::OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair> key_pair,
                                 std::unique_ptr<SSLCertChain> cert_list)
    : key_pair_(std::move(key_pair)), cert_chain_(std::move(cert_list)) {
  RTC_DCHECK(key_pair_);
  RTC_DCHECK(cert_chain_);
  RTC_DCHECK_GT(cert_chain_->GetSize(), 0u);
}

OpenSSLIdentity::~OpenSSLIdentity() = default;

OpenSSLIdentity* OpenSSLIdentity::GetReference() const {
  return new OpenSSLIdentity(std::unique_ptr<OpenSSLKeyPair>(key_pair_->GetReference()),
                             cert_chain_->Clone());
}

const OpenSSLCertificate& OpenSSLIdentity::certificate() const {
  return static_cast<const OpenSSLCertificate&>(cert_chain_->Get(0));
}

const SSLCertChain& OpenSSLIdentity::cert_chain() const {
  return *cert_chain_;
}

std::string OpenSSLIdentity::PrivateKeyToPEMString() const {
  return key_pair_->PrivateKeyToPEMString();
}

std::string OpenSSLIdentity::PublicKeyToPEMString() const {
  return key_pair_->PublicKeyToPEMString();
}

bool OpenSSLIdentity::ConfigureIdentity(SSL_CTX* ctx) {
  if (SSL_CTX_use_certificate(ctx, certificate().x509()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key_pair_->pkey()) != 1) {
    openssl::LogSSLErrors("Configuring key and certificate");
    return false;
  }
  for (size_t i = 1; i < cert_chain_->GetSize(); ++i) {
    const auto& cert = static_cast<const OpenSSLCertificate&>(cert_chain_->Get(i));
    if (SSL_CTX_add1_chain_cert(ctx, cert.x509()) != 1) {
      openssl::LogSSLErrors("Configuring intermediate certificate");
      return false;
    }
  }
  return true;
}

}  // namespace rtc
