#include "tests/support/tls_server_context.h"

#include <openssl/bytestring.h>

#include <gtest/gtest.h>

namespace zek_test {

bssl::UniquePtr<SSL_CTX> MakeTlsServerContext(const std::string& common_name,
                                              const std::vector<std::string>& dns_names,
                                              const std::vector<std::string>& ip_addresses,
                                              TestCertificate* ca,
                                              TestCertificate* leaf,
                                              bool self_signed) {
  if (!self_signed)
    *ca = MakeCa();
  CertOptions cert_options;
  cert_options.common_name = common_name;
  cert_options.dns_names = dns_names;
  cert_options.ip_addresses = ip_addresses;
  cert_options.serial = 2;
  *leaf = MakeCertificate(cert_options, KeyType::kEcdsaP256, self_signed ? nullptr : ca);
  if ((!self_signed && !ca->cert) || !leaf->cert) {
    ADD_FAILURE() << "cannot make the server's certificate";
    return nullptr;
  }
  bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
  if (!ctx || !SSL_CTX_use_certificate(ctx.get(), leaf->cert.get()) ||
      !SSL_CTX_use_PrivateKey(ctx.get(), leaf->key.get())) {
    ADD_FAILURE() << "cannot set up the server's TLS context";
    return nullptr;
  }
  return ctx;
}

bool ClientHelloServerName(const SSL_CLIENT_HELLO* hello, std::string* name) {
  name->clear();
  const uint8_t* data = nullptr;
  size_t len = 0;
  if (!SSL_early_callback_ctx_extension_get(hello, TLSEXT_TYPE_server_name, &data, &len))
    return false;
  // server_name_list: a list of (type, host_name) entries.
  CBS ext, list, host;
  uint8_t type = 0;
  CBS_init(&ext, data, len);
  if (CBS_get_u16_length_prefixed(&ext, &list) && CBS_get_u8(&list, &type) &&
      CBS_get_u16_length_prefixed(&list, &host)) {
    name->assign(reinterpret_cast<const char*>(CBS_data(&host)), CBS_len(&host));
  }
  return true;
}

std::string DrainBio(BIO* bio) {
  const uint8_t* data = nullptr;
  size_t len = 0;
  std::string out;
  if (BIO_mem_contents(bio, &data, &len) && len > 0) {
    out.assign(reinterpret_cast<const char*>(data), len);
    BIO_reset(bio);
  }
  return out;
}

}  // namespace zek_test
