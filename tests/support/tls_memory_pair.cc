#include "tests/support/tls_memory_pair.h"

namespace zek_test {

namespace {

// 1 finished, 0 wants more input, -1 failed.
int Step(SSL* ssl) {
  int ret = SSL_do_handshake(ssl);
  if (ret == 1) {
    return 1;
  }
  int err = SSL_get_error(ssl, ret);
  return err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? 0 : -1;
}

}  // namespace

bool TlsMemoryPair::Init(SSL_CTX* client_ctx, SSL_CTX* server_ctx) {
  client.reset(SSL_new(client_ctx));
  server.reset(SSL_new(server_ctx));
  BIO* client_bio = nullptr;
  BIO* server_bio = nullptr;
  if (!client || !server || !BIO_new_bio_pair(&client_bio, 0, &server_bio, 0)) {
    return false;
  }
  SSL_set_bio(client.get(), client_bio, client_bio);
  SSL_set_bio(server.get(), server_bio, server_bio);
  SSL_set_connect_state(client.get());
  SSL_set_accept_state(server.get());
  return true;
}

bool TlsMemoryPair::Handshake() {
  // A TLS handshake needs a handful of flights; far fewer rounds than this.
  for (int round = 0; round < 50; ++round) {
    int c = Step(client.get());
    int s = Step(server.get());
    if (c < 0 || s < 0) {
      return false;
    }
    if (c == 1 && s == 1) {
      return true;
    }
  }
  return false;
}

}  // namespace zek_test
