// ctest-labels: threading
// The loopback TLS server of tests/support, checked with a plain blocking
// client of the TLS library, so that the adapter's tests stand on a peer
// known to behave.

#include "tests/support/tls_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/wait.h"

namespace zek_test {
namespace {

using Mode = TlsTestServer::Mode;

// A blocking TCP connection to the server, with a 5 s receive time-out so no
// check can hang.
int ConnectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ADD_FAILURE() << "connect: " << strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

struct Client {
  int fd = -1;
  bssl::UniquePtr<SSL_CTX> ctx{SSL_CTX_new(TLS_method())};
  bssl::UniquePtr<SSL> ssl;

  ~Client() {
    ssl.reset();
    if (fd >= 0)
      close(fd);
  }

  // The handshake's result: 1 on success.
  int Connect(uint16_t port, const char* sni) {
    fd = ConnectTo(port);
    ssl.reset(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd);
    if (sni)
      SSL_set_tlsext_host_name(ssl.get(), sni);
    ERR_clear_error();
    return SSL_connect(ssl.get());
  }

  bool WriteAll(const std::string& data) {
    return SSL_write(ssl.get(), data.data(), static_cast<int>(data.size())) ==
           static_cast<int>(data.size());
  }

  std::string ReadExactly(size_t n) {
    std::string out;
    char buf[16384];
    while (out.size() < n) {
      int r = SSL_read(ssl.get(), buf, static_cast<int>(std::min(sizeof(buf), n - out.size())));
      if (r <= 0)
        break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(TlsTestServerTest, EchoesRecordsOfEverySizeAndRecordsTheServerName) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_EQ(1, client.Connect(server.port(), "localhost"));
  std::string all;
  for (size_t size : {size_t{1}, size_t{16384}, size_t{16385}, size_t{70000}}) {
    std::string data = Pattern(size);
    ASSERT_TRUE(client.WriteAll(data));
    EXPECT_EQ(data, client.ReadExactly(size)) << size;
    all += data;
  }
  EXPECT_EQ(all, server.received());
  EXPECT_EQ(all.size(), server.sent_size());
  EXPECT_TRUE(server.sni_seen());
  EXPECT_EQ("localhost", server.sni());
  EXPECT_FALSE(server.plaintext_seen());
  EXPECT_EQ(1u, server.handshakes());
}

TEST(TlsTestServerTest, TellsAClientHelloWithoutServerName) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_EQ(1, client.Connect(server.port(), nullptr));
  EXPECT_FALSE(server.sni_seen());
}

TEST(TlsTestServerTest, FlagsPlaintextAndHangsUp) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  int fd = ConnectTo(server.port());
  ASSERT_GE(fd, 0);
  const char kRequest[] = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(kRequest) - 1),
            send(fd, kRequest, sizeof(kRequest) - 1, MSG_NOSIGNAL));
  char buf[256];
  // Whatever alert comes first, the stream then ends.
  while (recv(fd, buf, sizeof(buf), 0) > 0) {
  }
  EXPECT_TRUE(server.plaintext_seen());
  EXPECT_EQ(0u, server.received_size());
  EXPECT_EQ(0u, server.handshakes());
  close(fd);
}

TEST(TlsTestServerTest, CountsClientsThatLeave) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  {
    Client client;
    ASSERT_EQ(1, client.Connect(server.port(), "localhost"));
  }
  EXPECT_TRUE(WaitUntil([&] { return server.peer_closes() == 1; }));
}

TEST(TlsTestServerTest, HandshakeFaultsFailTheClient) {
  for (Mode mode : {Mode::kCloseMidHandshake, Mode::kGarbage}) {
    TlsTestServer::Options options;
    options.mode = mode;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    EXPECT_NE(1, client.Connect(server.port(), "localhost")) << static_cast<int>(mode);
    EXPECT_EQ(0u, server.handshakes());
    EXPECT_EQ(1u, server.connections());
  }
}

TEST(TlsTestServerTest, DataPathFaultsComeAfterTheAgreedBytes) {
  struct Case {
    Mode mode;
    int expected_error;  // of the SSL_read after the echo
  } cases[] = {
      {Mode::kCorruptRecord, SSL_ERROR_SSL},
      {Mode::kCloseNotify, SSL_ERROR_ZERO_RETURN},
      // The library reports a stream that ends without close_notify as an
      // unexpected EOF: a syscall error with nothing in errno.
      {Mode::kFin, SSL_ERROR_SYSCALL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    TlsTestServer::Options options;
    options.mode = c.mode;
    options.fault_after_bytes = 5;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_EQ(1, client.Connect(server.port(), "localhost"));
    ASSERT_TRUE(client.WriteAll("hello"));
    EXPECT_EQ("hello", client.ReadExactly(5));
    char buf[16];
    ERR_clear_error();
    int r = SSL_read(client.ssl.get(), buf, sizeof(buf));
    EXPECT_LE(r, 0);
    int err = SSL_get_error(client.ssl.get(), r);
    EXPECT_EQ(c.expected_error, err);
    if (c.mode == Mode::kCloseNotify) {
      // The TCP stream stays open: nothing more and no FIN.
      char byte;
      EXPECT_EQ(-1, recv(client.fd, &byte, 1, MSG_DONTWAIT));
      EXPECT_EQ(EAGAIN, errno);
    }
  }
}

TEST(TlsTestServerTest, StopsReadingOnRequest) {
  TlsTestServer::Options options;
  options.reading = false;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_EQ(1, client.Connect(server.port(), "localhost"));
  ASSERT_TRUE(client.WriteAll("ping"));
  EXPECT_EQ(0u, server.received_size());
  server.SetReading(true);
  EXPECT_TRUE(server.WaitForReceived(4));
  EXPECT_EQ("ping", client.ReadExactly(4));
}

}  // namespace
}  // namespace zek_test
