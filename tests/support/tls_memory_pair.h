#ifndef TESTS_SUPPORT_TLS_MEMORY_PAIR_H_
#define TESTS_SUPPORT_TLS_MEMORY_PAIR_H_

#include <openssl/ssl.h>

namespace zek_test {

// A TLS client and server joined by an in-memory BIO pair, for checks that need
// a finished handshake without sockets.
struct TlsMemoryPair {
  bssl::UniquePtr<SSL> client;
  bssl::UniquePtr<SSL> server;

  // Makes both sessions over the contexts and joins them; false on a library
  // error.
  bool Init(SSL_CTX* client_ctx, SSL_CTX* server_ctx);
  // Drives both sides until each has finished its handshake (true) or one has
  // failed (false). The loop is bounded: a stall counts as a failure.
  bool Handshake();
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_TLS_MEMORY_PAIR_H_
