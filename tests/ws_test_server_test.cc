// ctest-labels: threading
// The loopback WebSocket server of tests/support, checked with a small
// blocking client written here, so that the transport's tests stand on a peer
// known to behave (and to misbehave on purpose).

#include "tests/support/ws_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace zek_test {
namespace {

// The sample key of the protocol's own description and its accept value.
constexpr char kSampleKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char kSampleAccept[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
constexpr char kLogin[] = "{\n   \"accid\" : \"a\"\n}";

std::string Request(const std::string& path = "/ws") {
  return "GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
         "Origin: http://127.0.0.1\r\nSec-WebSocket-Key: " +
         kSampleKey + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

WsFrameToSend Masked(int opcode, const std::string& payload) {
  WsFrameToSend to_send;
  to_send.opcode = opcode;
  to_send.payload = payload;
  to_send.mask = true;
  return to_send;
}

// A blocking client, plain or TLS, with a 5 s receive time-out so that no
// check can hang.
class Client {
 public:
  ~Client() {
    ssl_.reset();
    if (fd_ >= 0)
      close(fd_);
  }

  int fd() const { return fd_; }
  const std::string& buffered() const { return buffer_; }
  SSL* ssl() const { return ssl_.get(); }
  // The errno of the read that ended the stream; 0 for an orderly end.
  int read_error() const { return read_error_; }

  bool Connect(const WsTestServer& server, int send_buffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv = {5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (send_buffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(server.port());
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ADD_FAILURE() << "connect: " << strerror(errno);
      return false;
    }
    if (!server.tls())
      return true;
    // The chain must lead to the server's authority.
    ctx_.reset(SSL_CTX_new(TLS_method()));
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_.get()), server.ca().cert.get());
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_);
    SSL_set_tlsext_host_name(ssl_.get(), "localhost");
    ERR_clear_error();
    if (SSL_connect(ssl_.get()) != 1) {
      ADD_FAILURE() << "TLS handshake failed";
      return false;
    }
    return true;
  }

  bool Write(const std::string& bytes) {
    if (ssl_)
      return SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) ==
             static_cast<int>(bytes.size());
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  bool Send(const WsFrameToSend& to_send) { return Write(EncodeWsFrame(to_send)); }

  // Appends what arrives next; false when the stream ended or nothing came.
  bool ReadMore() {
    char buf[65536];
    ssize_t n = ssl_ ? SSL_read(ssl_.get(), buf, sizeof(buf)) : recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) {
      read_error_ = n < 0 ? errno : 0;
      return false;
    }
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
  }

  // The response up to its blank line; "" when the stream ended before it.
  std::string ReadResponse() {
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore())
        return std::string();
    }
    std::string response = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return response;
  }

  bool ReadFrame(WsFrame* frame) {
    for (;;) {
      size_t consumed = 0;
      if (DecodeWsFrame(buffer_.data(), buffer_.size(), frame, &consumed) == WsDecode::kFrame) {
        buffer_.erase(0, consumed);
        return true;
      }
      if (!ReadMore())
        return false;
    }
  }

  // Reads one frame and returns its payload, with its opcode in *opcode.
  std::string ReadPayload(int* opcode = nullptr) {
    WsFrame frame;
    if (!ReadFrame(&frame)) {
      ADD_FAILURE() << "no frame";
      return std::string();
    }
    if (opcode)
      *opcode = frame.opcode;
    return frame.payload;
  }

  // Nothing has arrived and nothing waits unread.
  bool NothingPending() { return buffer_.empty() && SocketIdle(); }

  // Nothing waits unread in the socket.
  bool SocketIdle() {
    char byte;
    return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

  // Upgrade and login, answered with the default reply.
  bool Open() {
    std::string response;
    if (!Write(Request()) || (response = ReadResponse()).empty() ||
        !Send(Masked(kWsOpText, kLogin)))
      return false;
    return ReadPayload() == kWsLoginOk;
  }

 private:
  int fd_ = -1;
  bssl::UniquePtr<SSL_CTX> ctx_;
  bssl::UniquePtr<SSL> ssl_;
  std::string buffer_;
  int read_error_ = 0;
};

TEST(WsTestServerTest, AcceptValueOfTheSampleKey) {
  EXPECT_EQ(kSampleAccept, WsAcceptFor(kSampleKey));
}

TEST(WsTestServerTest, FramesSurviveEncodeAndDecodeInEveryForm) {
  struct Case {
    size_t size;
    WsLengthForm form;
    int length_code;
    size_t header;  // unmasked
  } cases[] = {
      {0, WsLengthForm::kShortest, 0, 2},        {125, WsLengthForm::kShortest, 125, 2},
      {126, WsLengthForm::kShortest, 126, 4},    {65535, WsLengthForm::kShortest, 126, 4},
      {65536, WsLengthForm::kShortest, 127, 10}, {5, WsLengthForm::k16, 126, 4},
      {5, WsLengthForm::k64, 127, 10},
  };
  for (const Case& c : cases) {
    for (bool mask : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << c.size << " bytes, code " << c.length_code << ", mask " << mask);
      WsFrameToSend to_send;
      to_send.opcode = 3;
      to_send.fin = false;
      to_send.rsv1 = true;
      to_send.payload = Pattern(c.size);
      to_send.mask = mask;
      to_send.length_form = c.form;
      std::string wire = EncodeWsFrame(to_send);
      ASSERT_EQ(c.header + (mask ? 4 : 0) + c.size, wire.size());
      if (mask && c.size > 0) {
        EXPECT_EQ(std::string::npos,
                  wire.find(to_send.payload.substr(0, std::min<size_t>(8, c.size))));
      }
      WsFrame frame;
      size_t consumed = 0;
      // Every cut short of the whole frame asks for more.
      for (size_t cut : {size_t{0}, size_t{1}, c.header - 1, wire.size() - 1}) {
        if (cut < wire.size()) {
          EXPECT_EQ(WsDecode::kNeedMore, DecodeWsFrame(wire.data(), cut, &frame, &consumed)) << cut;
        }
      }
      ASSERT_EQ(WsDecode::kFrame, DecodeWsFrame(wire.data(), wire.size(), &frame, &consumed));
      EXPECT_EQ(wire.size(), consumed);
      EXPECT_EQ(to_send.payload, frame.payload);
      EXPECT_EQ(c.length_code, frame.length_code);
      EXPECT_EQ(3, frame.opcode);
      EXPECT_FALSE(frame.fin);
      EXPECT_TRUE(frame.rsv1);
      EXPECT_EQ(mask, frame.masked);
    }
  }
  WsFrameToSend huge;
  huge.declared_length = int64_t{1} << 40;
  std::string wire = EncodeWsFrame(huge);
  WsFrame frame;
  size_t consumed = 0;
  EXPECT_EQ(WsDecode::kTooLarge, DecodeWsFrame(wire.data(), wire.size(), &frame, &consumed));
}

TEST(WsTestServerTest, RecordsTheRequestAndAnswersAsConfigured) {
  const std::string wrong_accept = WsAcceptFor(std::string(kSampleKey) + "x");
  ASSERT_NE(kSampleAccept, wrong_accept);
  auto response = [](const std::string& status, const std::string& connection_key,
                     const std::string& accept) {
    return status + "\r\nUpgrade: websocket\r\n" + connection_key +
           ": Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n";
  };
  const std::string kOk = "HTTP/1.1 101 Switching Protocols";
  struct Case {
    WsHandshakeReply reply;
    std::string expected;  // the whole response; "" when none comes
    bool stream_ends;
  } cases[] = {
      {WsHandshakeReply::kAccept, response(kOk, "Connection", kSampleAccept), false},
      {WsHandshakeReply::kStatus200, response("HTTP/1.1 200 OK", "Connection", kSampleAccept),
       false},
      {WsHandshakeReply::kHttp10,
       response("HTTP/1.0 101 Switching Protocols", "Connection", kSampleAccept), false},
      {WsHandshakeReply::kLowerCaseConnection, response(kOk, "connection", kSampleAccept), false},
      {WsHandshakeReply::kWrongAccept, response(kOk, "Connection", wrong_accept), false},
      // The placeholder stands for the right accept value.
      {WsHandshakeReply::kCustom,
       std::string("HTTP/1.1 101 Any\r\nConnection: \t Upgrade\t \r\nSec-WebSocket-Accept: ") +
           kSampleAccept + " \r\n\r\n",
       false},
      {WsHandshakeReply::kNone, "", false},
      {WsHandshakeReply::kClose, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.reply));
    WsTestServerOptions options;
    options.handshake.reply = c.reply;
    options.handshake.custom_response =
        "HTTP/1.1 101 Any\r\nConnection: \t Upgrade\t \r\nSec-WebSocket-Accept: {accept} \r\n\r\n";
    WsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_TRUE(client.Connect(server));
    ASSERT_TRUE(client.Write(Request()));
    ASSERT_TRUE(WaitUntil([&] { return server.upgrade_count() == 1; }));
    WsUpgradeRequest req = server.upgrade_requests()[0];
    EXPECT_EQ(Request(), req.raw);
    EXPECT_EQ("GET /ws HTTP/1.1", req.request_line);
    EXPECT_EQ("/ws", req.path);
    EXPECT_EQ("HTTP/1.1", req.version);
    ASSERT_EQ(6u, req.headers.size());
    EXPECT_EQ("Sec-WebSocket-Key", req.headers[4].first);
    EXPECT_EQ(kSampleKey, req.Header("sec-websocket-key"));
    EXPECT_EQ(1u, req.connection);
    if (!c.expected.empty()) {
      EXPECT_EQ(c.expected, client.ReadResponse());
    } else if (c.stream_ends) {
      EXPECT_EQ("", client.ReadResponse());
      EXPECT_EQ(0, client.read_error());
    } else {
      EXPECT_TRUE(client.NothingPending());
    }
  }
}

TEST(WsTestServerTest, SendsASplitResponseAndFrameBytesAfterIt) {
  WsTestServerOptions options;
  options.handshake.split_first = 2;
  options.handshake.split_delay_ms = -1;
  options.handshake.extra_headers = "X-Extra: \t spaced \t\r\n";
  WsFrameToSend early;
  early.payload = "early";
  options.handshake.trailing_bytes = EncodeWsFrame(early);
  WsTestServer server(options);
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Write(Request()));
  ASSERT_TRUE(client.ReadMore());
  EXPECT_EQ("HT", client.buffered());
  EXPECT_TRUE(client.SocketIdle());
  ASSERT_TRUE(server.ReleaseHandshakeRest());
  EXPECT_FALSE(server.ReleaseHandshakeRest());
  std::string response = client.ReadResponse();
  EXPECT_EQ(0u, response.find("HTTP/1.1 101 Switching Protocols\r\n"));
  EXPECT_NE(std::string::npos, response.find("\r\nX-Extra: \t spaced \t\r\n\r\n"));
  EXPECT_EQ("early", client.ReadPayload());

  // With a delay, the rest follows by itself.
  options.handshake.split_delay_ms = 20;
  server.SetHandshake(options.handshake);
  Client second;
  ASSERT_TRUE(second.Connect(server));
  ASSERT_TRUE(second.Write(Request()));
  EXPECT_EQ(0u, second.ReadResponse().find("HTTP/1.1 101 "));
  EXPECT_EQ("early", second.ReadPayload());
}

TEST(WsTestServerTest, LogsInEchoesAndAnswersPingsPlainAndOverTls) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    WsTestServerOptions options;
    options.tls = tls;
    WsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_TRUE(client.Connect(server));
    ASSERT_TRUE(client.Open());
    ASSERT_TRUE(client.Send(Masked(kWsOpText, "hello")));
    int opcode = -1;
    EXPECT_EQ("hello", client.ReadPayload(&opcode));
    EXPECT_EQ(kWsOpText, opcode);
    ASSERT_TRUE(client.Send(Masked(kWsOpPing, "p")));
    EXPECT_EQ("p", client.ReadPayload(&opcode));
    EXPECT_EQ(kWsOpPong, opcode);
    ASSERT_TRUE(client.Send(Masked(kWsOpPong, "")));
    ASSERT_TRUE(WaitUntil([&] { return server.pongs_received() == 1; }));

    EXPECT_EQ(std::vector<std::string>{kLogin}, server.logins());
    EXPECT_EQ(std::vector<std::string>{"hello"}, server.texts());
    EXPECT_EQ(1u, server.pings_received());
    std::vector<WsFrame> frames = server.frames();
    ASSERT_EQ(4u, frames.size());
    for (const WsFrame& frame : frames) {
      EXPECT_TRUE(frame.masked);
      EXPECT_TRUE(frame.fin);
      EXPECT_EQ(1u, frame.connection);
    }
    EXPECT_EQ(kWsOpPing, frames[2].opcode);
    const size_t sent = Request().size() + 4 * 6 + sizeof(kLogin) - 1 + 5 + 1;
    EXPECT_EQ(sent, server.bytes_received());
    EXPECT_EQ(tls ? 1u : 0u, server.tls_handshakes());
    if (tls) {
      EXPECT_EQ("localhost", server.sni());
    }
  }
}

TEST(WsTestServerTest, CertificateCarriesTheConfiguredNames) {
  struct Case {
    std::vector<std::string> dns;
    std::vector<std::string> ips;
    const char* host;
    bool matches;
  } cases[] = {
      {{"localhost"}, {"127.0.0.1", "::1"}, "localhost", true},
      {{"im.zek.test"}, {}, "im.zek.test", true},
      {{"im.zek.test"}, {}, "localhost", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    WsTestServerOptions options;
    options.tls = true;
    options.cert_common_name = c.dns[0];
    options.cert_dns_names = c.dns;
    options.cert_ip_addresses = c.ips;
    WsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_TRUE(client.Connect(server));
    bssl::UniquePtr<X509> cert(SSL_get_peer_certificate(client.ssl()));
    ASSERT_TRUE(cert);
    EXPECT_EQ(c.matches, X509_check_host(cert.get(), c.host, strlen(c.host), 0, nullptr) == 1);
    EXPECT_EQ(!c.ips.empty(), X509_check_ip_asc(cert.get(), "127.0.0.1", 0) == 1);
  }
}

TEST(WsTestServerTest, AnswersTheLoginAsConfigured) {
  WsSendOptions split;
  split.fragments = 3;
  split.mask = true;
  struct Case {
    bool send;
    std::string text;
    WsSendOptions options;
  } cases[] = {
      {true, kWsLoginDenied, {}}, {true, kWsLoginFormatError, {}}, {true, kWsNotJson, {}},
      {true, kWsLoginOk, split},  {false, kWsLoginOk, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + (c.send ? "" : " (not sent)"));
    WsTestServer server;
    server.SetLoginReply(c.send, c.text, c.options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_TRUE(client.Connect(server));
    ASSERT_TRUE(client.Write(Request()));
    ASSERT_FALSE(client.ReadResponse().empty());
    ASSERT_TRUE(client.Send(Masked(kWsOpText, kLogin)));
    ASSERT_TRUE(WaitUntil([&] { return server.login_count() == 1; }));
    if (!c.send) {
      EXPECT_TRUE(client.NothingPending());
      continue;
    }
    std::string text;
    WsFrame frame;
    do {
      ASSERT_TRUE(client.ReadFrame(&frame));
      EXPECT_EQ(c.options.mask, frame.masked);
      text += frame.payload;
    } while (!frame.fin);
    EXPECT_EQ(c.text, text);
  }
}

TEST(WsTestServerTest, SendsWhatTheTestAsksFor) {
  WsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Open());

  WsSendOptions three;
  three.fragments = 3;
  three.mask = true;
  three.pong_between = true;
  ASSERT_TRUE(server.SendText(R"({"a":1,"b":2})", three));
  struct Expected {
    int opcode;
    bool fin;
    const char* payload;
  } expected[] = {
      // 13 bytes in parts of 5, 4 and 4.
      {kWsOpText, false, R"({"a":)"},
      {kWsOpPong, true, ""},
      {kWsOpContinuation, false, R"(1,"b)"},
      {kWsOpContinuation, true, R"(":2})"},
  };
  for (const Expected& e : expected) {
    WsFrame frame;
    ASSERT_TRUE(client.ReadFrame(&frame));
    EXPECT_EQ(e.opcode, frame.opcode);
    EXPECT_EQ(e.fin, frame.fin);
    EXPECT_TRUE(frame.masked);
    EXPECT_EQ(e.payload, frame.payload);
  }

  struct Raw {
    int opcode;
    WsLengthForm form;
    size_t size;
    int length_code;
  } raws[] = {
      {3, WsLengthForm::kShortest, 4, 4},
      {7, WsLengthForm::k16, 10, 126},
      {kWsOpText, WsLengthForm::k64, 10, 127},
      {kWsOpText, WsLengthForm::kShortest, 65532, 126},
      {kWsOpBinary, WsLengthForm::kShortest, 70000, 127},
  };
  for (const Raw& r : raws) {
    SCOPED_TRACE(r.size);
    WsFrameToSend to_send;
    to_send.opcode = r.opcode;
    to_send.payload = Pattern(r.size);
    to_send.length_form = r.form;
    ASSERT_TRUE(server.SendFrame(to_send));
    WsFrame frame;
    ASSERT_TRUE(client.ReadFrame(&frame));
    EXPECT_EQ(r.opcode, frame.opcode);
    EXPECT_EQ(r.length_code, frame.length_code);
    EXPECT_EQ(to_send.payload, frame.payload);
  }

  ASSERT_TRUE(server.SendPing("k"));
  int opcode = -1;
  EXPECT_EQ("k", client.ReadPayload(&opcode));
  EXPECT_EQ(kWsOpPing, opcode);
  EXPECT_EQ(1u, server.pings_sent());

  const std::string payload = WsClosePayload(1000, kWsCloseJson);
  EXPECT_EQ(std::string("\x03\xE8") + kWsCloseJson, payload);
  ASSERT_TRUE(server.SendClose(payload));
  EXPECT_EQ(payload, client.ReadPayload(&opcode));
  EXPECT_EQ(kWsOpClose, opcode);

  // A header that promises more than follows, in two writes.
  WsFrameToSend lying;
  lying.payload = "abc";
  lying.declared_length = 6;
  ASSERT_TRUE(server.SendFrame(lying));
  ASSERT_TRUE(server.SendRaw("def"));
  EXPECT_EQ("abcdef", client.ReadPayload());
}

TEST(WsTestServerTest, TakesAndEchoesFramesBeyondTheShortForms) {
  WsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Open());
  for (size_t size : {size_t{65534}, size_t{65535}, size_t{70000}}) {
    SCOPED_TRACE(size);
    const std::string text = Pattern(size);
    ASSERT_TRUE(client.Send(Masked(kWsOpText, text)));
    EXPECT_EQ(text, client.ReadPayload());
  }
  std::vector<std::string> texts = server.texts();
  ASSERT_EQ(3u, texts.size());
  EXPECT_EQ(Pattern(70000), texts[2]);
  EXPECT_EQ(127, server.frames().back().length_code);
}

TEST(WsTestServerTest, PingsOnItsScheduleFromTheLogin) {
  WsTestServerOptions options;
  options.ping_interval_ms = 5;
  options.ping_payload = "ka";
  WsTestServer server(options);
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Write(Request()));
  ASSERT_FALSE(client.ReadResponse().empty());
  EXPECT_EQ(0u, server.pings_sent());
  ASSERT_TRUE(client.Send(Masked(kWsOpText, kLogin)));
  EXPECT_EQ(kWsLoginOk, client.ReadPayload());
  for (int i = 0; i < 3; ++i) {
    int opcode = -1;
    EXPECT_EQ("ka", client.ReadPayload(&opcode));
    ASSERT_EQ(kWsOpPing, opcode);
    ASSERT_TRUE(client.Send(Masked(kWsOpPong, "ka")));
  }
  EXPECT_TRUE(WaitUntil([&] { return server.pongs_received() == 3; }));
  EXPECT_GE(server.pings_sent(), 3u);
  server.SetPingInterval(0);
  const size_t sent = server.pings_sent();
  // A ping answered after the stop shows the loop ran past any due ping.
  ASSERT_TRUE(client.Send(Masked(kWsOpPing, "")));
  ASSERT_TRUE(WaitUntil([&] { return server.pings_received() == 1; }));
  EXPECT_EQ(sent, server.pings_sent());
}

TEST(WsTestServerTest, StrictServerEndsTheConnectionAtAPongThatDoesNotMatch) {
  WsTestServerOptions options;
  options.strict_pongs = true;
  WsTestServer server(options);
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Open());
  // A heartbeat pong, then the answer to a ping: both fine.
  ASSERT_TRUE(client.Send(Masked(kWsOpPong, "beat")));
  ASSERT_TRUE(server.SendPing("ab"));
  EXPECT_EQ("ab", client.ReadPayload());
  ASSERT_TRUE(client.Send(Masked(kWsOpPong, "ab")));
  ASSERT_TRUE(server.SendPing("cd"));
  EXPECT_EQ("cd", client.ReadPayload());
  ASSERT_TRUE(client.Send(Masked(kWsOpPong, "")));
  int opcode = -1;
  EXPECT_EQ(WsClosePayload(1002, ""), client.ReadPayload(&opcode));
  EXPECT_EQ(kWsOpClose, opcode);
  EXPECT_FALSE(client.ReadMore());
  EXPECT_EQ(0, client.read_error());
  EXPECT_EQ(1u, server.pong_mismatches());
  EXPECT_EQ(3u, server.pongs_received());
}

// The client's answer to the server's close completes the handshake: the stream ends
// without a second close frame.
TEST(WsTestServerTest, EndsTheStreamWhenItsCloseIsAnswered) {
  WsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server));
  ASSERT_TRUE(client.Open());
  ASSERT_TRUE(server.SendClose(WsClosePayload(4000, kWsCloseJson)));
  int opcode = -1;
  EXPECT_EQ(WsClosePayload(4000, kWsCloseJson), client.ReadPayload(&opcode));
  EXPECT_EQ(kWsOpClose, opcode);
  ASSERT_TRUE(client.Send(Masked(kWsOpClose, WsClosePayload(4000, ""))));
  EXPECT_FALSE(client.ReadMore());
  EXPECT_EQ(0, client.read_error());
  EXPECT_TRUE(client.buffered().empty());
}

TEST(WsTestServerTest, EndsTheStreamWithFinOrReset) {
  struct Case {
    WsTestServer::CloseHow how;
    int read_error;
  } cases[] = {
      {WsTestServer::CloseHow::kFin, 0},
      {WsTestServer::CloseHow::kReset, ECONNRESET},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read_error);
    WsTestServer server;
    ASSERT_TRUE(server.Start());
    {
      Client client;
      ASSERT_TRUE(client.Connect(server));
      ASSERT_TRUE(client.Open());
      ASSERT_TRUE(server.CloseConnection(c.how));
      // No connection is left to act on.
      EXPECT_FALSE(server.SendText("late"));
      EXPECT_FALSE(client.ReadMore());
      EXPECT_EQ(c.read_error, client.read_error());
    }
    EXPECT_TRUE(WaitUntil([&] { return server.open_connections() == 0; }));
  }
}

TEST(WsTestServerTest, SilentServerLetsTheClientsWritesBackUp) {
  WsTestServer server;
  ASSERT_TRUE(server.Start());
  Client client;
  ASSERT_TRUE(client.Connect(server, 16 * 1024));
  ASSERT_TRUE(client.Open());
  server.SetEcho(false);
  server.SetSilent(true);
  const std::string frame = EncodeWsFrame(Masked(kWsOpText, Pattern(16 * 1024)));
  const size_t before = server.bytes_received();
  size_t written = 0;
  for (;;) {
    ssize_t n = send(client.fd(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      ASSERT_EQ(EAGAIN, errno);
      break;
    }
    written += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < frame.size()) {
      // The rest of a cut frame goes out once the server reads again.
      break;
    }
  }
  EXPECT_LT(server.bytes_received() - before, written);
  EXPECT_EQ(0u, server.text_count());
  server.SetSilent(false);
  ASSERT_TRUE(WaitUntil([&] { return server.bytes_received() - before == written; }));
}

// The stream fills the socket of a client that reads nothing, and the server still
// reads, records and echoes every text; once read, the pushes are all there, whole and
// in order, with the echoes between them.
TEST(WsTestServerTest, StreamsPushesWhileItReadsTheClientPlainAndOverTls) {
  constexpr size_t kPushSize = 30000;
  constexpr int kTexts = 50;
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    WsTestServerOptions options;
    options.tls = tls;
    WsTestServer server(options);
    ASSERT_TRUE(server.Start());
    Client client;
    ASSERT_TRUE(client.Connect(server));
    ASSERT_TRUE(client.Open());
    ASSERT_TRUE(server.StartStream(kPushSize));
    ASSERT_TRUE(WaitUntil([&] { return server.stream_waiting(); })) << server.pushes_sent();
    std::vector<std::string> sent;
    for (int i = 0; i < kTexts; ++i) {
      sent.push_back(NumberedText("app", static_cast<uint64_t>(i), 100));
      ASSERT_TRUE(client.Send(Masked(kWsOpText, sent.back())));
    }
    ASSERT_TRUE(WaitUntil([&] { return server.text_count() == sent.size(); }));
    EXPECT_EQ(sent, server.texts());
    ASSERT_TRUE(server.StopStream());
    const size_t pushes = server.pushes_sent();
    ASSERT_GT(pushes, 0u);

    size_t next_push = 0;
    size_t next_echo = 0;
    size_t pushes_before_first_echo = 0;
    while (next_push < pushes || next_echo < sent.size()) {
      WsFrame frame;
      ASSERT_TRUE(client.ReadFrame(&frame)) << next_push << " pushes and " << next_echo
                                            << " echoes of " << pushes << " and " << kTexts;
      ASSERT_EQ(kWsOpText, frame.opcode);
      ASSERT_TRUE(frame.fin);
      uint64_t number = 0;
      if (ReadNumberedText(kWsPushKey, frame.payload.data(), frame.payload.size(), &number)) {
        ASSERT_EQ(next_push, number);
        ASSERT_EQ(NumberedText(kWsPushKey, number, kPushSize), frame.payload);
        ++next_push;
      } else {
        ASSERT_LT(next_echo, sent.size()) << frame.payload.substr(0, 40);
        ASSERT_EQ(sent[next_echo], frame.payload);
        if (next_echo++ == 0)
          pushes_before_first_echo = next_push;
      }
    }
    // The texts came while the socket was full of pushes.
    EXPECT_GT(pushes_before_first_echo, 0u);
    EXPECT_TRUE(client.NothingPending());
    EXPECT_EQ(pushes, server.pushes_sent());
    EXPECT_FALSE(server.stream_waiting());
  }
}

TEST(WsTestServerTest, ActsOnTheNewestConnectionAndStopsCleanly) {
  WsTestServer server;
  EXPECT_FALSE(server.SendText("not running"));
  ASSERT_TRUE(server.Start());
  EXPECT_FALSE(server.SendText("no client"));
  Client first;
  ASSERT_TRUE(first.Connect(server));
  ASSERT_TRUE(first.Open());
  Client second;
  ASSERT_TRUE(second.Connect(server));
  ASSERT_TRUE(second.Open());
  ASSERT_TRUE(server.SendText("to the second"));
  EXPECT_EQ("to the second", second.ReadPayload());
  EXPECT_TRUE(first.NothingPending());
  std::vector<WsUpgradeRequest> requests = server.upgrade_requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(2u, requests[1].connection);
  EXPECT_EQ(2u, server.login_count());
  EXPECT_EQ(2u, server.open_connections());

  server.Stop();
  EXPECT_FALSE(first.ReadMore());
  EXPECT_FALSE(second.ReadMore());
  EXPECT_EQ(0u, server.open_connections());
  EXPECT_FALSE(server.SendText("stopped"));
  EXPECT_EQ(2u, server.connections());
  server.Stop();
}

}  // namespace
}  // namespace zek_test
