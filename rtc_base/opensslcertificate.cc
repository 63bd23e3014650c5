#include "rtc_base/opensslcertificate.h"

#include <openssl/bio.h>
#include <openssl/nid.h>
#include <openssl/pem.h>

#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/openssldigest.h"

namespace rtc {

OpenSSLCertificate::OpenSSLCertificate(X509* x509) : x509_(x509) {
  X509_up_ref(x509_);
}

OpenSSLCertificate::~OpenSSLCertificate() {
  X509_free(x509_);
}

std::unique_ptr<SSLCertificate> OpenSSLCertificate::Clone() const {
  return std::make_unique<OpenSSLCertificate>(x509_);
}

std::string OpenSSLCertificate::ToPEMString() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) {
    FATAL() << "Unreachable code.";
  }
  if (!PEM_write_bio_X509(bio, x509_)) {
    BIO_free(bio);
    FATAL() << "Unreachable code.";
  }
  BIO_write(bio, "\0", 1);
  char* buffer = nullptr;
  BIO_get_mem_data(bio, &buffer);
  std::string ret(buffer);
  BIO_free(bio);
  return ret;
}

void OpenSSLCertificate::ToDER(BufferT<unsigned char, false>* der_buffer) const {
  der_buffer->SetSize(0);
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) {
    FATAL() << "Unreachable code.";
  }
  if (!i2d_X509_bio(bio, x509_)) {
    BIO_free(bio);
    FATAL() << "Unreachable code.";
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  der_buffer->SetData(data, static_cast<size_t>(length));
  BIO_free(bio);
}

bool OpenSSLCertificate::GetSignatureDigestAlgorithm(std::string* algorithm) const {
  const int nid = X509_get_signature_nid(x509_);
  switch (nid) {
    case NID_md5WithRSA:
    case NID_md5WithRSAEncryption:
      *algorithm = DIGEST_MD5;
      break;
    case NID_ecdsa_with_SHA1:
    case NID_dsaWithSHA1:
    case NID_dsaWithSHA1_2:
    case NID_sha1WithRSA:
    case NID_sha1WithRSAEncryption:
      *algorithm = DIGEST_SHA_1;
      break;
    case NID_ecdsa_with_SHA224:
    case NID_sha224WithRSAEncryption:
    case NID_dsa_with_SHA224:
      *algorithm = DIGEST_SHA_224;
      break;
    case NID_ecdsa_with_SHA256:
    case NID_sha256WithRSAEncryption:
    case NID_dsa_with_SHA256:
      *algorithm = DIGEST_SHA_256;
      break;
    case NID_ecdsa_with_SHA384:
    case NID_sha384WithRSAEncryption:
      *algorithm = DIGEST_SHA_384;
      break;
    case NID_ecdsa_with_SHA512:
    case NID_sha512WithRSAEncryption:
      *algorithm = DIGEST_SHA_512;
      break;
    default:
      RTC_LOG(LS_ERROR) << "Unknown signature algorithm NID: " << nid;
      algorithm->clear();
      return false;
  }
  return true;
}

bool OpenSSLCertificate::ComputeDigest(const std::string& algorithm,
                                       unsigned char* digest,
                                       size_t size,
                                       size_t* length) const {
  return ComputeDigest(x509_, algorithm, digest, size, length);
}

bool OpenSSLCertificate::ComputeDigest(const X509* x509,
                                       const std::string& algorithm,
                                       unsigned char* digest,
                                       size_t size,
                                       size_t* length) {
  const EVP_MD* md = nullptr;
  if (!OpenSSLDigest::GetDigestEVP(algorithm, &md)) {
    return false;
  }
  if (size < static_cast<size_t>(EVP_MD_size(md))) {
    return false;
  }
  unsigned int n = 0;
  // A failed encoding must not pass for a fingerprint.
  if (!X509_digest(x509, md, digest, &n)) {
    return false;
  }
  *length = n;
  return true;
}

int64_t OpenSSLCertificate::CertificateExpirationTime() const {
  const ASN1_TIME* expire_time = X509_get0_notAfter(x509_);
  bool long_format = false;
  switch (ASN1_STRING_type(expire_time)) {
    case V_ASN1_UTCTIME:
      break;
    case V_ASN1_GENERALIZEDTIME:
      long_format = true;
      break;
    default:
      return -1;
  }
  return ASN1TimeToSec(ASN1_STRING_get0_data(expire_time),
                       static_cast<size_t>(ASN1_STRING_length(expire_time)), long_format);
}

}  // namespace rtc
