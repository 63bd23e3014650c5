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

// The NUL-terminated text written into a memory BIO.
std::string TakeText(BIO* bio) {
  BIO_write(bio, "\0", 1);
  char* buffer = nullptr;
  BIO_get_mem_data(bio, &buffer);
  return std::string(buffer);
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
  BIO* temp_memory_bio = BIO_new(BIO_s_mem());
  if (!temp_memory_bio) {
    RTC_LOG(LS_ERROR) << kPrivateKeyToPEM << ": Failed to allocate temporary memory bio";
    return "";
  }
  if (!PEM_write_bio_PrivateKey(temp_memory_bio, pkey_, nullptr, nullptr, 0, nullptr, nullptr)) {
    RTC_LOG(LS_ERROR) << kPrivateKeyToPEM << ": Failed to write private key";
    BIO_free(temp_memory_bio);
    return "";
  }
  std::string priv_key_str = TakeText(temp_memory_bio);
  BIO_free(temp_memory_bio);
  return priv_key_str;
}

std::string OpenSSLKeyPair::PublicKeyToPEMString() const {
  BIO* temp_memory_bio = BIO_new(BIO_s_mem());
  if (!temp_memory_bio) {
    RTC_LOG(LS_ERROR) << kPublicKeyToPEM << ": Failed to allocate temporary memory bio";
    return "";
  }
  if (!PEM_write_bio_PUBKEY(temp_memory_bio, pkey_)) {
    RTC_LOG(LS_ERROR) << kPublicKeyToPEM << ": Failed to write public key";
    BIO_free(temp_memory_bio);
    return "";
  }
  std::string pub_key_str = TakeText(temp_memory_bio);
  BIO_free(temp_memory_bio);
  return pub_key_str;
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
