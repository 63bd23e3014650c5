// ctest-labels: threading
// The WebSocket client on a worker thread over real loopback connections: a raw TCP
// peer for the handshake and the framing, the TLS test server for "/wss".

#include "src/websocket/websocket_client.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/base64.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtc_base/asyncpacketsocket.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/socketserver.h"
#include "rtc_base/thread.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/run_on.h"
#include "tests/support/tls_test_server.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

namespace tavix {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using zek_test::LoopbackTcpPeer;
using zek_test::RunOn;
using zek_test::TlsTestServer;
using zek_test::WaitUntil;
using zek_test::WsTestServer;
using zek_test::WsTestServerOptions;

constexpr char kTooLongLine[] = "Don't support len is bigger than 64KB";

// The accept value computed apart from the client, straight from the hash.
std::string AcceptFor(const std::string& key) {
  const std::string in = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(in.data()), in.size(), digest);
  uint8_t out[64];
  const size_t n = EVP_EncodeBlock(out, digest, sizeof(digest));
  return std::string(reinterpret_cast<const char*>(out), n);
}

std::string Response(const std::string& key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         AcceptFor(key) + "\r\n\r\n";
}

// A server frame: `first` is byte 0 (FIN, RSV1, opcode); the 7- or 16-bit length
// form follows from the size.
std::string Frame(int first, const std::string& payload, bool mask = false) {
  std::string f(1, static_cast<char>(first));
  const char mask_bit = mask ? static_cast<char>(0x80) : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(mask_bit | static_cast<char>(payload.size()));
  } else {
    f += static_cast<char>(mask_bit | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xFF);
  }
  if (!mask)
    return f + payload;
  const char key[4] = {0x11, 0x5A, static_cast<char>(0xC3), 0x7E};
  f.append(key, 4);
  for (size_t i = 0; i < payload.size(); ++i)
    f += static_cast<char>(payload[i] ^ key[i % 4]);
  return f;
}

// A close payload: the status big-endian, then the text.
std::string ClosePayload(const std::string& text, uint16_t status = 1000) {
  return std::string{static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)} + text;
}

// One frame the client wrote, as the wire has it.
struct WireFrame {
  unsigned char b0 = 0;
  unsigned char b1 = 0;
  std::string length_bytes;  // the 16-bit length when byte 1 says 126
  std::string key;
  std::string payload;  // unmasked
};

// Decodes the frame at *pos; false while it is incomplete.
bool DecodeFrame(const std::string& bytes, size_t* pos, WireFrame* out) {
  size_t p = *pos;
  if (bytes.size() < p + 2)
    return false;
  WireFrame f;
  f.b0 = static_cast<unsigned char>(bytes[p]);
  f.b1 = static_cast<unsigned char>(bytes[p + 1]);
  p += 2;
  size_t length = f.b1 & 0x7F;
  if (length == 126) {
    if (bytes.size() < p + 2)
      return false;
    f.length_bytes = bytes.substr(p, 2);
    length = (static_cast<unsigned char>(bytes[p]) << 8) | static_cast<unsigned char>(bytes[p + 1]);
    p += 2;
  }
  if (f.b1 & 0x80) {
    if (bytes.size() < p + 4)
      return false;
    f.key = bytes.substr(p, 4);
    p += 4;
  }
  if (bytes.size() < p + length)
    return false;
  f.payload = bytes.substr(p, length);
  if (!f.key.empty()) {
    for (size_t i = 0; i < length; ++i)
      f.payload[i] = static_cast<char>(f.payload[i] ^ f.key[i % 4]);
  }
  *pos = p + length;
  *out = f;
  return true;
}

struct Received {
  bool fin;
  bool rsv1;
  int opcode;
  std::string payload;
};

struct Closed {
  int code;
  std::string text;
};

// Records the client's signals on the worker thread for the test thread.
class Recorder : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  void Attach(WebsocketClient* client) {
    client->SignalOpen.connect(this, &Recorder::OnOpen);
    client->SignalMessage.connect(this, &Recorder::OnMessage);
    client->SignalClose.connect(this, &Recorder::OnClose);
  }

  int opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
  }
  std::vector<Received> frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<Closed> closes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
  }

 private:
  void OnOpen(WebsocketClient*) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
  }
  void OnMessage(WebsocketClient*, WebsocketMsg* msg) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back({msg->fin_, msg->rsv1_, msg->opcode_, msg->payload_});
  }
  void OnClose(WebsocketClient* client, int code, std::string text) {
    // The client has closed itself before it reports.
    EXPECT_EQ(client->GetState(), rtc::AsyncPacketSocket::PS_CLOSED);
    std::lock_guard<std::mutex> lock(mutex_);
    closes_.push_back({code, text});
  }

  mutable std::mutex mutex_;
  int opens_ = 0;
  std::vector<Received> frames_;
  std::vector<Closed> closes_;
};

class WebsocketClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    worker_ = rtc::Thread::CreateWithSocketServer();
    ASSERT_TRUE(worker_->Start());
  }

  void TearDown() override {
    Destroy();
    worker_->Stop();
  }

  // Deletes the client and starts the next case with a clean record.
  void Restart() {
    Destroy();
    recorder_ = std::make_unique<Recorder>();
    pending_.clear();
    request_.clear();
  }

  void Destroy() {
    RunOn(worker_.get(), [&] {
      delete client_;
      client_ = nullptr;
    });
  }

  // A client created on the worker thread; null when Create refused.
  WebsocketClient* Create(const std::string& host,
                          int port,
                          const std::string& path,
                          const std::string& host_header = "",
                          const std::string& protocol = "",
                          const std::string& origin = "") {
    RunOn(worker_.get(), [&] {
      client_ = WebsocketClient::Create(nullptr, host, static_cast<size_t>(port), host_header, path,
                                        protocol, origin);
      if (client_)
        recorder_->Attach(client_);
    });
    return client_;
  }

  // Connects to the raw peer and waits for the whole upgrade request.
  void ConnectPlain(const std::string& host_header = "",
                    const std::string& protocol = "",
                    const std::string& origin = "") {
    const int before = peer_.connections();
    ASSERT_NE(Create("127.0.0.1", peer_.port(), "/ws", host_header, protocol, origin), nullptr);
    // The peer forgets the previous connection's bytes when it accepts the next.
    ASSERT_TRUE(WaitUntil([&] { return peer_.connections() == before + 1; }));
    ASSERT_TRUE(WaitUntil([&] { return peer_.received().find("\r\n\r\n") != std::string::npos; }));
    request_ = peer_.received();
  }

  std::string Key() const {
    const std::string field = "Sec-WebSocket-Key: ";
    const size_t start = request_.find(field);
    if (start == std::string::npos)
      return "";
    const size_t end = request_.find("\r\n", start);
    return request_.substr(start + field.size(), end - start - field.size());
  }

  // A client whose handshake the peer has answered.
  void Open() {
    ConnectPlain();
    peer_.Send(Response(Key()));
    ASSERT_TRUE(WaitUntil([&] { return recorder_->opens() == 1; }));
  }

  // Hands `bytes` to the client's framing on its thread, after what the last
  // feed left, the way one read of the TCP base would.
  void Feed(const std::string& bytes) {
    pending_ += bytes;
    RunOn(worker_.get(), [&] {
      size_t length = pending_.size();
      client_->ProcessInput(&pending_[0], &length);
      ASSERT_LE(length, pending_.size());
      pending_.resize(length);
    });
  }

  // The frames the client wrote after its request.
  std::vector<WireFrame> Written() const {
    const std::string bytes = peer_.received();
    std::vector<WireFrame> frames;
    size_t pos = request_.size();
    WireFrame f;
    while (DecodeFrame(bytes, &pos, &f))
      frames.push_back(f);
    return frames;
  }

  bool WaitForWritten(size_t count) {
    return WaitUntil([&] { return Written().size() >= count; });
  }

  LoopbackTcpPeer peer_;
  std::unique_ptr<rtc::Thread> worker_;
  std::unique_ptr<Recorder> recorder_ = std::make_unique<Recorder>();
  WebsocketClient* client_ = nullptr;  // the worker thread's
  std::string request_;
  std::string pending_;
};

TEST_F(WebsocketClientTest, RequestTextCarriesTheHostWithoutPortAndAFreshKey) {
  struct Case {
    std::string host_header, protocol, origin;
    std::string host_line, origin_line, protocol_line;
  };
  const Case cases[] = {
      {"", "", "", "127.0.0.1", "http://127.0.0.1", ""},
      {"chat.example", "", "", "chat.example", "http://chat.example", ""},
      {"", "chat", "", "127.0.0.1", "http://127.0.0.1", "Sec-WebSocket-Protocol: chat\r\n"},
      {"", "", "https://app.example", "127.0.0.1", "https://app.example", ""},
  };
  std::string previous_key;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host_header + "|" + c.protocol + "|" + c.origin);
    ConnectPlain(c.host_header, c.protocol, c.origin);
    const std::string key = Key();
    ASSERT_EQ(key.size(), 24u);
    EXPECT_EQ(key.substr(22), "==");
    uint8_t raw[32];
    size_t raw_size = 0;
    ASSERT_EQ(EVP_DecodeBase64(raw, &raw_size, sizeof(raw),
                               reinterpret_cast<const uint8_t*>(key.data()), key.size()),
              1);
    EXPECT_EQ(raw_size, 16u);
    EXPECT_EQ(request_, "GET /ws HTTP/1.1\r\nHost: " + c.host_line +
                            "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nOrigin: " +
                            c.origin_line + "\r\nSec-WebSocket-Key: " + key + "\r\n" +
                            c.protocol_line + "Sec-WebSocket-Version: 13\r\n\r\n");
    RunOn(worker_.get(), [&] { EXPECT_EQ(client_->request_key(), key); });
    Destroy();
    ASSERT_TRUE(peer_.WaitForClientClose());
  }
}

TEST_F(WebsocketClientTest, AcceptsTheAcceptValueOfTheKeyAndOpens) {
  // The reference itself against the sample of RFC 6455, section 1.3.
  ASSERT_EQ(AcceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  ConnectPlain();
  RunOn(worker_.get(), [&] {
    EXPECT_FALSE(client_->handshake_done());
    EXPECT_EQ(client_->GenerateAccept(), AcceptFor(Key()));
  });
  peer_.Send(Response(Key()));
  ASSERT_TRUE(WaitUntil([&] { return recorder_->opens() == 1; }));
  RunOn(worker_.get(), [&] { EXPECT_TRUE(client_->handshake_done()); });
  EXPECT_TRUE(recorder_->closes().empty());
}

TEST_F(WebsocketClientTest, JudgesHandshakeResponses) {
  struct Case {
    const char* name;
    std::string status;
    std::string headers;  // with "%ACCEPT%" for the right value
    bool accepted;
  };
  const Case cases[] = {
      {"any reason phrase", "HTTP/1.1 101 Whatever",
       "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", true},
      {"blanks and tabs around values", "HTTP/1.1 101 Switching Protocols",
       "Upgrade:  \twebsocket \r\nConnection:\tUpgrade\t\r\nSec-WebSocket-Accept:   %ACCEPT%\t "
       "\r\n",
       true},
      {"values not looked at", "HTTP/1.1 101 OK",
       "Upgrade: x\r\nConnection: y\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", true},
      {"key in lower case", "HTTP/1.1 101 Switching Protocols",
       "Upgrade: websocket\r\nconnection: Upgrade\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", false},
      {"status 200", "HTTP/1.1 200 OK",
       "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", false},
      {"HTTP/1.0", "HTTP/1.0 101 Switching Protocols",
       "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", false},
      {"no Upgrade", "HTTP/1.1 101 Switching Protocols",
       "Connection: Upgrade\r\nSec-WebSocket-Accept: %ACCEPT%\r\n", false},
      {"no accept", "HTTP/1.1 101 Switching Protocols",
       "Upgrade: websocket\r\nConnection: Upgrade\r\n", false},
      {"wrong accept", "HTTP/1.1 101 Switching Protocols",
       "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: "
       "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    ConnectPlain();
    std::string headers = c.headers;
    const size_t at = headers.find("%ACCEPT%");
    if (at != std::string::npos)
      headers.replace(at, 8, AcceptFor(Key()));
    peer_.Send(c.status + "\r\n" + headers + "\r\n");
    ASSERT_TRUE(WaitUntil([&] { return recorder_->opens() + recorder_->closes().size() > 0; }));
    if (c.accepted) {
      EXPECT_EQ(recorder_->opens(), 1);
      EXPECT_TRUE(recorder_->closes().empty());
    } else {
      EXPECT_EQ(recorder_->opens(), 0);
      ASSERT_EQ(recorder_->closes().size(), 1u);
      EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsHandshakeError);
      EXPECT_EQ(recorder_->closes()[0].text, "handshake error");
      // Closed: the peer sees the end of the stream.
      EXPECT_TRUE(peer_.WaitForClientClose());
    }
    Destroy();
  }
}

TEST_F(WebsocketClientTest, WaitsForTheBlankLineOfASplitResponse) {
  ConnectPlain();
  const std::string response = Response(Key());
  const std::vector<std::string> pieces = {"H", "TT", "P/1.1 101 Switching Protocols\r\n",
                                           response.substr(34, response.size() - 34 - 2)};
  ASSERT_EQ(pieces[0] + pieces[1] + pieces[2] + pieces[3] + "\r\n", response);
  std::string so_far;
  for (const std::string& piece : pieces) {
    Feed(piece);
    so_far += piece;
    // Everything stays buffered until the headers end.
    EXPECT_EQ(pending_, so_far);
    EXPECT_EQ(recorder_->opens(), 0);
  }
  Feed("\r\n");
  EXPECT_EQ(recorder_->opens(), 1);
  EXPECT_TRUE(pending_.empty());
}

TEST_F(WebsocketClientTest, FramesBehindTheResponseAreReadAsFrames) {
  // In one read and over the socket, as a server that speaks first would send them.
  ConnectPlain();
  peer_.Send(Response(Key()) + Frame(0x81, "first") + Frame(0x89, ""));
  ASSERT_TRUE(WaitUntil([&] { return recorder_->frames().size() == 2; }));
  EXPECT_EQ(recorder_->opens(), 1);
  EXPECT_EQ(recorder_->frames()[0].payload, "first");
  EXPECT_EQ(recorder_->frames()[1].opcode, WebsocketClient::kOpPing);
  // And the half frame behind a response stays for the next read.
  Restart();
  ConnectPlain();
  const std::string frame = Frame(0x82, "second");
  Feed(Response(Key()) + frame.substr(0, 3));
  EXPECT_EQ(recorder_->opens(), 1);
  EXPECT_EQ(pending_, frame.substr(0, 3));
  Feed(frame.substr(3));
  ASSERT_EQ(recorder_->frames().size(), 1u);
  EXPECT_EQ(recorder_->frames()[0].payload, "second");
  EXPECT_TRUE(pending_.empty());
}

TEST_F(WebsocketClientTest, CutsTheStreamIntoFrames) {
  const std::string big(300, 'b');
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    // Frames reported after each read, counted from the start.
    std::vector<size_t> counts;
    std::vector<Received> frames;
  };
  const Case cases[] = {
      {"unmasked text", {Frame(0x81, "hello")}, {1}, {{true, false, 1, "hello"}}},
      {"masked text", {Frame(0x81, "hello", true)}, {1}, {{true, false, 1, "hello"}}},
      {"three in one read",
       {Frame(0x81, "one") + Frame(0x81, "two", true) + Frame(0x82, "three")},
       {3},
       {{true, false, 1, "one"}, {true, false, 1, "two"}, {true, false, 2, "three"}}},
      {"header and payload in pieces",
       {"\x81", "\x05he", "llo"},
       {0, 0, 1},
       {{true, false, 1, "hello"}}},
      {"mask key in pieces",
       {Frame(0x81, "hello", true).substr(0, 4), Frame(0x81, "hello", true).substr(4)},
       {0, 1},
       {{true, false, 1, "hello"}}},
      {"16-bit length needs four bytes",
       {Frame(0x82, big).substr(0, 3), Frame(0x82, big).substr(3)},
       {0, 1},
       {{true, false, 2, big}}},
      {"16-bit length below 126",
       {std::string("\x81\x7E\x00\x03"
                    "abc",
                    7)},
       {1},
       {{true, false, 1, "abc"}}},
      {"16-bit length longer than what came",
       {std::string("\x81\x7E\x01\x00"
                    "abc",
                    7)},
       {0},
       {}},
      {"reserved opcode dropped",
       {Frame(0x83, "x") + Frame(0x8B, "y") + Frame(0x81, "z")},
       {1},
       {{true, false, 1, "z"}}},
      {"fragments, RSV1 and pong",
       {Frame(0x01, "a") + Frame(0xC0, "b") + Frame(0x8A, "")},
       {3},
       {{false, false, 1, "a"}, {true, true, 0, "b"}, {true, false, 10, ""}}},
      {"zero bytes kept",
       {Frame(0x82, std::string("a\0b", 3))},
       {1},
       {{true, false, 2, std::string("a\0b", 3)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    for (size_t i = 0; i < c.reads.size(); ++i) {
      Feed(c.reads[i]);
      EXPECT_EQ(recorder_->frames().size(), c.counts[i]) << "after read " << i;
    }
    const std::vector<Received> got = recorder_->frames();
    ASSERT_EQ(got.size(), c.frames.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].fin, c.frames[i].fin) << i;
      EXPECT_EQ(got[i].rsv1, c.frames[i].rsv1) << i;
      EXPECT_EQ(got[i].opcode, c.frames[i].opcode) << i;
      EXPECT_EQ(got[i].payload, c.frames[i].payload) << i;
    }
    if (!c.frames.empty()) {
      EXPECT_TRUE(pending_.empty());
    }
    EXPECT_TRUE(recorder_->closes().empty());
    Destroy();
  }
}

TEST_F(WebsocketClientTest, SixtyFourBitLengthClosesWithFrameTooLong) {
  Open();
  CaptureStderr();
  Feed(std::string("\x82\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10) + Frame(0x81, "after"));
  const std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("websocket_client.cc:"), std::string::npos) << log;
  EXPECT_NE(log.find(kTooLongLine), std::string::npos) << log;
  ASSERT_EQ(recorder_->closes().size(), 1u);
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsFrameTooLong);
  EXPECT_EQ(recorder_->closes()[0].text, "context too long");
  // Nothing more is parsed.
  EXPECT_TRUE(recorder_->frames().empty());
  EXPECT_TRUE(peer_.WaitForClientClose());
}

TEST_F(WebsocketClientTest, LargestFramesArriveWhole) {
  // 65535 payload bytes behind an 8-byte masked header: the most a 16-bit length
  // can announce must fit the socket's input buffer, or the stream would stall.
  std::string payload(65535, '\0');
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<char>(i * 7 + (i >> 8));
  Open();
  peer_.Send(Frame(0x82, payload, true) + Frame(0x82, payload) + Frame(0x81, "tail"));
  ASSERT_TRUE(WaitUntil([&] { return recorder_->frames().size() == 3; }));
  EXPECT_TRUE(recorder_->frames()[0].payload == payload);
  EXPECT_TRUE(recorder_->frames()[1].payload == payload);
  EXPECT_EQ(recorder_->frames()[2].payload, "tail");
  EXPECT_TRUE(recorder_->closes().empty());
}

TEST_F(WebsocketClientTest, EndlessResponseEndsWithASocketError) {
  ConnectPlain();
  // More than the input buffer holds, and never a blank line.
  peer_.Send("HTTP/1.1 101 Switching Protocols\r\n" + std::string(70000, 'x'));
  ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsSocketError);
  EXPECT_EQ(recorder_->closes()[0].text, "socket error:code = " + std::to_string(EMSGSIZE));
  EXPECT_EQ(recorder_->opens(), 0);
}

// A pong carries its ping's payload, masked like every frame of the client; an empty
// ping gets an empty pong, and a ping too long for a control frame too.
TEST_F(WebsocketClientTest, AnswersAPingWithItsPayload) {
  struct Case {
    const char* name;
    std::string ping;
    std::string pong;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"one byte", "x", "x"},
      {"four bytes with a zero", std::string("\x00\x01\xFE\xFF", 4),
       std::string("\x00\x01\xFE\xFF", 4)},
      {"are you there", "are you there", "are you there"},
      {"125 bytes", std::string(125, 'p'), std::string(125, 'p')},
      {"126 bytes, too long for a control frame", std::string(126, 'p'), ""},
  };
  Open();
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    CaptureStdout();
    peer_.Send(Frame(0x89, c.ping));
    ASSERT_TRUE(WaitUntil([&] { return recorder_->frames().size() == i + 1; }));
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "recv server's keepalive...\n");
    EXPECT_EQ(recorder_->frames()[i].opcode, WebsocketClient::kOpPing);
    EXPECT_TRUE(recorder_->frames()[i].payload == c.ping);
    ASSERT_TRUE(WaitForWritten(i + 1));
    const WireFrame pong = Written()[i];
    EXPECT_EQ(pong.b0, 0x8A);
    EXPECT_EQ(pong.b1, 0x80 | c.pong.size());
    EXPECT_EQ(pong.key.size(), 4u);
    EXPECT_TRUE(pong.payload == c.pong);
  }
  EXPECT_TRUE(recorder_->closes().empty());
}

TEST_F(WebsocketClientTest, ReadsTheCloseFrame) {
  const std::string bye = R"({"code":8002,"msg":"bye"})";
  std::string deep(3000, '[');
  deep += std::string(3000, ']');
  struct Case {
    const char* name;
    std::string payload;
    int code;
    std::string text;
  };
  const Case cases[] = {
      {"JSON with code and msg", ClosePayload(bye), 8002, bye},
      {"text ends at a zero byte", ClosePayload(bye + std::string("\0junk", 5)), 8002, bye},
      {"msg missing", ClosePayload(R"({"code":8002})"), -104, ClosePayload(R"({"code":8002})")},
      {"code null", ClosePayload(R"({"code":null,"msg":"x"})"), -104,
       ClosePayload(R"({"code":null,"msg":"x"})")},
      {"code a string", ClosePayload(R"({"code":"abc","msg":"x"})"), -104,
       ClosePayload(R"({"code":"abc","msg":"x"})")},
      {"code out of range", ClosePayload(R"({"code":1e20,"msg":"x"})"), -104,
       ClosePayload(R"({"code":1e20,"msg":"x"})")},
      {"array root", ClosePayload("[8002]"), -104, ClosePayload("[8002]")},
      {"not JSON", ClosePayload("going away"), -104, ClosePayload("going away")},
      {"nested past the reader's limit", ClosePayload(deep), -104, ClosePayload(deep)},
      {"status only", ClosePayload(""), -104, ClosePayload("")},
      {"one byte", std::string("\x03", 1), -104, std::string("\x03", 1)},
      {"empty", "", -104, ""},
      {"status 4000", ClosePayload(bye, 4000), 8002, bye},
      {"status 8002 without JSON", ClosePayload("", 8002), -104, ClosePayload("", 8002)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    // What follows a close is not read: one end is reported, once.
    Feed(Frame(0x88, c.payload) + Frame(0x81, "after") + Frame(0x88, ClosePayload(bye)));
    ASSERT_EQ(recorder_->closes().size(), 1u);
    EXPECT_EQ(recorder_->closes()[0].code, c.code);
    EXPECT_TRUE(recorder_->closes()[0].text == c.text);
    EXPECT_TRUE(recorder_->frames().empty());
    EXPECT_TRUE(peer_.WaitForClientClose());
    // The answer, before the end of the stream: one masked close frame with the server's
    // status, or 1000 when it named none.
    const std::vector<WireFrame> written = Written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].b0, 0x88);
    EXPECT_EQ(written[0].b1, 0x82);
    EXPECT_EQ(written[0].key.size(), 4u);
    EXPECT_TRUE(written[0].payload ==
                (c.payload.size() >= 2 ? c.payload.substr(0, 2) : ClosePayload("")));
    EXPECT_EQ(peer_.received().size(), request_.size() + 8);
    Destroy();
  }
}

TEST_F(WebsocketClientTest, SocketCloseBecomesASocketError) {
  struct Case {
    const char* name;
    bool reset;
    int error;
  };
  const Case cases[] = {{"orderly end", false, 0}, {"reset", true, ECONNRESET}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    if (c.reset)
      peer_.Reset();
    else
      peer_.Close();
    ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
    EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsSocketError);
    EXPECT_EQ(recorder_->closes()[0].text, "socket error:code = " + std::to_string(c.error));
    Destroy();
  }
}

TEST_F(WebsocketClientTest, RefusedConnectBecomesASocketError) {
  zek_test::RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  ASSERT_NE(Create("127.0.0.1", refusing.port(), "/ws"), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsSocketError);
  EXPECT_EQ(recorder_->closes()[0].text, "socket error:code = " + std::to_string(ECONNREFUSED));
}

TEST_F(WebsocketClientTest, WritesFramesWithExactHeaders) {
  struct Case {
    size_t size;
    std::string header;  // bytes 0 and 1 and the 16-bit length
  };
  const Case cases[] = {
      {0, "\x81\x80"},
      {5, "\x81\x85"},
      {125, "\x81\xFD"},
      {126, std::string("\x81\xFE\x00\x7E", 4)},
      {65534, "\x81\xFE\xFF\xFE"},
  };
  Open();
  size_t written = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::string text(c.size, '\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char>('a' + i % 26);
    bool sent = false;
    RunOn(worker_.get(), [&] { sent = client_->SendText(text, false); });
    EXPECT_TRUE(sent);
    ASSERT_TRUE(WaitForWritten(++written));
    const WireFrame f = Written().back();
    const std::string header =
        std::string(1, static_cast<char>(f.b0)) + static_cast<char>(f.b1) + f.length_bytes;
    EXPECT_EQ(header, c.header);
    EXPECT_EQ(f.key.size(), 4u);
    EXPECT_TRUE(f.payload == text);
  }
  const size_t before = peer_.received().size();
  EXPECT_EQ(before, request_.size() + 6 + 11 + (6 + 125) + (8 + 126) + (8 + 65534));
}

TEST_F(WebsocketClientTest, RefusesFramesOf64KiBAndMore) {
  Open();
  for (size_t size : {size_t{65535}, size_t{70000}}) {
    CaptureStderr();
    bool sent = true;
    RunOn(worker_.get(), [&] { sent = client_->SendText(std::string(size, 'x'), false); });
    const std::string log = GetCapturedStderr();
    EXPECT_FALSE(sent);
    EXPECT_NE(log.find(kTooLongLine), std::string::npos) << log;
  }
  // Nothing went out: the next frame is the first the peer sees.
  RunOn(worker_.get(), [&] { EXPECT_TRUE(client_->SendText("ok", false)); });
  ASSERT_TRUE(WaitForWritten(1));
  EXPECT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0].payload, "ok");
}

TEST_F(WebsocketClientTest, WritesControlAndBinaryFrames) {
  Open();
  RunOn(worker_.get(), [&] {
    EXPECT_TRUE(client_->SendPing());
    EXPECT_TRUE(client_->SendPong());
    EXPECT_TRUE(client_->SendBinary("\x00\x01\x02", 3));
    EXPECT_TRUE(client_->SendText("r", true));
    EXPECT_TRUE(client_->SendFrame("u", 1, false, WebsocketClient::kOpText, false, false));
    EXPECT_FALSE(client_->SendBinary(nullptr, 4));
  });
  ASSERT_TRUE(WaitForWritten(5));
  const std::vector<WireFrame> f = Written();
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0].b0, 0x89);
  EXPECT_EQ(f[0].b1, 0x80);
  EXPECT_EQ(f[1].b0, 0x8A);
  EXPECT_EQ(f[1].b1, 0x80);
  EXPECT_EQ(f[2].b0, 0x82);
  EXPECT_EQ(f[2].payload, std::string("\x00\x01\x02", 3));
  EXPECT_EQ(f[3].b0, 0xC1);
  EXPECT_EQ(f[4].b0, 0x01);
  EXPECT_EQ(f[4].b1, 0x01);
  EXPECT_TRUE(f[4].key.empty());
  EXPECT_EQ(f[4].payload, "u");
}

// A text of `size` bytes that starts with its number, so that a lost, repeated or
// reordered one shows.
std::string NumberedText(size_t i, size_t size) {
  std::string text = std::to_string(i) + ":";
  text.resize(size, static_cast<char>('a' + i % 26));
  return text;
}

// On the worker thread: texts of `size` bytes until at least `waiting` frames wait
// above the output buffer (the peer must not be reading). Returns how many went.
size_t FillUntilWaiting(WebsocketClient* client, size_t waiting, size_t size, size_t first = 0) {
  size_t i = first;
  // The kernel's buffers on loopback hold megabytes; the bound stops a runaway loop.
  while (client->waiting_frames() < waiting && i < first + 2000) {
    EXPECT_TRUE(client->SendText(NumberedText(i, size), false)) << i;
    ++i;
  }
  return i - first;
}

// Texts the socket cannot take wait in the client, whole and in order, and leave on
// the socket's write events once the peer reads again: none lost, none twice.
TEST_F(WebsocketClientTest, TextsTheSocketCannotTakeWaitAndLeaveInOrder) {
  Open();
  peer_.SetReading(false);
  constexpr size_t kSize = 60000;
  size_t sent = 0;
  RunOn(worker_.get(), [&] {
    sent = FillUntilWaiting(client_, 3, kSize);
    EXPECT_GE(client_->waiting_frames(), 3u);
    // Every waiting frame is whole: header, key and payload.
    EXPECT_EQ(client_->waiting_bytes(), client_->waiting_frames() * (kSize + 8));
    // A text never overtakes a waiting one.
    EXPECT_TRUE(client_->SendText(NumberedText(sent, 10), false));
  });
  peer_.SetReading(true);
  ASSERT_TRUE(
      peer_.WaitForReceived(request_.size() + sent * (kSize + 8) + 16, std::chrono::seconds(20)));
  const std::vector<WireFrame> frames = Written();
  ASSERT_EQ(frames.size(), sent + 1);
  for (size_t i = 0; i < sent; ++i)
    ASSERT_TRUE(frames[i].payload == NumberedText(i, kSize)) << i;
  EXPECT_EQ(frames[sent].payload, NumberedText(sent, 10));
  RunOn(worker_.get(), [&] {
    EXPECT_EQ(client_->waiting_frames(), 0u);
    EXPECT_EQ(client_->unsent_bytes(), 0u);
  });
  EXPECT_TRUE(recorder_->closes().empty());
}

// The pong for a server's ping does not wait behind texts: it goes into the output
// buffer behind the frame being written, and once that is full, ahead of the waiting
// texts; pongs keep their own order.
TEST_F(WebsocketClientTest, PongsGoAheadOfWaitingTexts) {
  Open();
  peer_.SetReading(false);
  constexpr size_t kSize = 60000;
  // A batch of pings whose pongs (6 bytes each) are more than the output buffer holds.
  constexpr size_t kBatch = 12000;
  std::string pings;
  for (size_t i = 0; i < kBatch; ++i)
    pings += Frame(0x89, "");
  size_t sent = 0;
  size_t waiting_texts = 0;
  size_t pongs = 0;
  CaptureStdout();
  // In one go on the worker thread: no write event moves anything meanwhile.
  RunOn(worker_.get(), [&] {
    sent = FillUntilWaiting(client_, 2, kSize);
    waiting_texts = client_->waiting_frames();
    // Until some pongs wait too: the peer may still have taken some before it stopped.
    while (client_->waiting_frames() == waiting_texts && pongs < 50 * kBatch) {
      std::string input = pings;
      size_t length = input.size();
      client_->ProcessInput(&input[0], &length);
      EXPECT_EQ(length, 0u);
      pongs += kBatch;
    }
    EXPECT_GT(client_->waiting_frames(), waiting_texts);
    // A text sent now goes behind all of them.
    EXPECT_TRUE(client_->SendText(NumberedText(sent, 10), false));
  });
  GetCapturedStdout();
  EXPECT_EQ(recorder_->frames().size(), pongs);
  peer_.SetReading(true);
  ASSERT_TRUE(peer_.WaitForReceived(request_.size() + sent * (kSize + 8) + pongs * 6 + 16,
                                    std::chrono::seconds(20)));
  const std::vector<WireFrame> frames = Written();
  ASSERT_EQ(frames.size(), sent + pongs + 1);
  // The texts that had left the client, then every pong, then the texts that waited.
  const size_t before = sent - waiting_texts;
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool pong = i >= before && i < before + pongs;
    ASSERT_EQ(frames[i].b0, pong ? 0x8A : 0x81) << i;
  }
  for (size_t i = 0; i < sent; ++i) {
    const size_t at = i < before ? i : i + pongs;
    ASSERT_TRUE(frames[at].payload == NumberedText(i, kSize)) << i;
  }
  EXPECT_EQ(frames.back().payload, NumberedText(sent, 10));
}

// The owner's close frame goes behind every frame accepted before it, and nothing goes
// after it. Behind a backed-up socket it is not gone yet, and SendClose says so; if the
// client lives on, it leaves last once the peer reads again.
TEST_F(WebsocketClientTest, CloseFrameIsTheLastFrameEvenBehindABackedUpSocket) {
  // Buffers of fixed sizes both ways: the kernel cannot grow them later, so what it can
  // still take once the peer has stopped reading is less than the frames left waiting.
  constexpr int kBuffer = 64 * 1024;
  ASSERT_TRUE(peer_.SetReceiveBuffer(kBuffer));
  Open();
  peer_.SetReading(false);
  constexpr size_t kSize = 60000;
  size_t sent = 0;
  RunOn(worker_.get(), [&] {
    ASSERT_EQ(client_->SetOption(rtc::Socket::OPT_SNDBUF, kBuffer), 0);
    sent = FillUntilWaiting(client_, 5, kSize);
    // A pong waits too, ahead of the texts.
    std::string ping = Frame(0x89, "hb");
    size_t length = ping.size();
    CaptureStdout();  // the ping's line
    client_->ProcessInput(&ping[0], &length);
    GetCapturedStdout();
    EXPECT_FALSE(client_->SendClose(4001));
    EXPECT_TRUE(client_->close_sent());
    EXPECT_GT(client_->waiting_frames(), 0u);
    // Nothing more is taken, control frames included; a second close neither.
    EXPECT_FALSE(client_->SendText("late", false));
    EXPECT_FALSE(client_->SendPong("hb"));
    EXPECT_FALSE(client_->SendPing());
    EXPECT_FALSE(client_->SendClose(1000));
  });
  peer_.SetReading(true);
  ASSERT_TRUE(peer_.WaitForReceived(request_.size() + sent * (kSize + 8) + 8 + 8,
                                    std::chrono::seconds(20)));
  RunOn(worker_.get(), [&] { EXPECT_EQ(client_->unsent_bytes(), 0u); });
  const std::vector<WireFrame> frames = Written();
  ASSERT_EQ(frames.size(), sent + 2);
  size_t texts = 0;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    if (frames[i].b0 == 0x8A) {
      EXPECT_EQ(frames[i].payload, "hb");
      continue;
    }
    ASSERT_EQ(frames[i].b0, 0x81) << i;
    ASSERT_TRUE(frames[i].payload == NumberedText(texts, kSize)) << i;
    ++texts;
  }
  EXPECT_EQ(texts, sent);
  EXPECT_EQ(frames.back().b0, 0x88);
  EXPECT_EQ(frames.back().payload, ClosePayload("", 4001));
  // Nothing after it.
  EXPECT_EQ(peer_.received().size(), request_.size() + sent * (kSize + 8) + 8 + 8);
  EXPECT_TRUE(recorder_->closes().empty());
}

// A server's close frame that arrives while the socket is backed up: what waits is let go,
// the answer is queued behind the bytes the socket has not taken, and the socket closes.
// The peer reads whole texts up to where the socket took them, then at most a cut one,
// never a frame written after the close. Where the socket has room again by the time of
// the answer, the rest of the cut text and the answer go out too, the answer last.
TEST_F(WebsocketClientTest, ServersCloseBehindABackedUpSocketEndsTheStream) {
  Open();
  peer_.SetReading(false);
  constexpr size_t kSize = 60000;
  size_t sent = 0;
  RunOn(worker_.get(), [&] {
    sent = FillUntilWaiting(client_, 2, kSize);
    const std::string bye = R"({"code":8002,"msg":"bye"})";
    std::string close = Frame(0x88, ClosePayload(bye));
    size_t length = close.size();
    client_->ProcessInput(&close[0], &length);
    EXPECT_EQ(client_->GetState(), rtc::AsyncPacketSocket::PS_CLOSED);
    EXPECT_EQ(client_->waiting_frames(), 0u);
    EXPECT_FALSE(client_->SendText("late", false));
  });
  ASSERT_EQ(recorder_->closes().size(), 1u);
  EXPECT_EQ(recorder_->closes()[0].code, 8002);
  peer_.SetReading(true);
  ASSERT_TRUE(peer_.WaitForClientClose(std::chrono::seconds(20)));
  std::vector<WireFrame> frames = Written();
  if (!frames.empty() && frames.back().b0 == 0x88) {
    EXPECT_EQ(frames.back().payload, ClosePayload(""));
    frames.pop_back();
  }
  ASSERT_LT(frames.size(), sent);
  for (size_t i = 0; i < frames.size(); ++i)
    ASSERT_TRUE(frames[i].b0 == 0x81 && frames[i].payload == NumberedText(i, kSize)) << i;
}

// Past the bound on waiting bytes the client gives up as on its other failures: it
// closes, lets go of every waiting frame at once and reports kWsSendQueueFull once.
TEST_F(WebsocketClientTest, PastTheWaitingBoundTheClientClosesAndLetsGo) {
  Open();
  peer_.SetReading(false);
  constexpr size_t kSize = 60000;
  RunOn(worker_.get(), [&] {
    size_t most = 0;
    bool sent = true;
    for (size_t i = 0; sent && i < 2000; ++i) {
      sent = client_->SendText(NumberedText(i, kSize), false);
      most = std::max(most, client_->waiting_bytes());
    }
    EXPECT_FALSE(sent);
    // Up to the bound, not past it.
    EXPECT_LE(most, WebsocketClient::kMaxWaitingBytes);
    EXPECT_GT(most + kSize + 8, WebsocketClient::kMaxWaitingBytes);
    EXPECT_EQ(client_->waiting_frames(), 0u);
    EXPECT_EQ(client_->waiting_bytes(), 0u);
    EXPECT_EQ(client_->GetState(), rtc::AsyncPacketSocket::PS_CLOSED);
    // A closed client takes nothing more.
    EXPECT_FALSE(client_->SendText("late", false));
    EXPECT_FALSE(client_->SendPong());
    EXPECT_EQ(client_->waiting_bytes(), 0u);
  });
  ASSERT_EQ(recorder_->closes().size(), 1u);
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsSendQueueFull);
  EXPECT_EQ(recorder_->closes()[0].text, "send queue full");
}

TEST_F(WebsocketClientTest, CreateRefusesWhatItCannotConnect) {
  EXPECT_EQ(Create("127.0.0.1", peer_.port(), "/x"), nullptr);
  EXPECT_EQ(Create("127.0.0.1", peer_.port(), ""), nullptr);
  EXPECT_EQ(Create("127.0.0.1", 70000, "/ws"), nullptr);
  // A socket that is bound already cannot be bound again.
  RunOn(worker_.get(), [&] {
    rtc::AsyncSocket* socket = worker_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM);
    ASSERT_NE(socket, nullptr);
    ASSERT_EQ(socket->Bind(rtc::SocketAddress("127.0.0.1", 0)), 0);
    EXPECT_EQ(WebsocketClient::Create(socket, "127.0.0.1", peer_.port(), "", "/ws", "", ""),
              nullptr);
  });
  EXPECT_EQ(peer_.connections(), 0);
}

// Small messages must not wait for the acknowledgement of earlier ones: Nagle is off on
// the TCP socket under both kinds of client (under the TLS adapter for "/wss").
TEST_F(WebsocketClientTest, TurnsNaglesDelayOffOnItsTcpSocket) {
  for (const char* path : {"/ws", "/wss"}) {
    SCOPED_TRACE(path);
    ASSERT_NE(Create("127.0.0.1", peer_.port(), path), nullptr);
    RunOn(worker_.get(), [&] {
      int value = 0;
      ASSERT_EQ(client_->GetOption(rtc::Socket::OPT_NODELAY, &value), 0);
      EXPECT_NE(value, 0);
    });
    Restart();
  }
}

// A verifier that tells when it is deleted.
class WatchedVerifier : public TavixSSLCertificateVerifier {
 public:
  explicit WatchedVerifier(std::atomic<int>* deleted) : deleted_(deleted) {}
  ~WatchedVerifier() override { ++*deleted_; }

 private:
  std::atomic<int>* deleted_;
};

TEST_F(WebsocketClientTest, SecureCreateReplacesTheVerifierAndEveryClientDeletesIt) {
  std::atomic<int> deleted{0};
  RunOn(worker_.get(), [&] {
    EXPECT_EQ(WebsocketClient::self_signed_cer_verifier_, nullptr);
    WebsocketClient::self_signed_cer_verifier_ = new WatchedVerifier(&deleted);
  });
  ASSERT_NE(Create("127.0.0.1", peer_.port(), "/wss"), nullptr);
  RunOn(worker_.get(), [&] {
    // The old one is gone and a plain verifier of the client's own took its place.
    EXPECT_EQ(deleted.load(), 1);
    ASSERT_NE(WebsocketClient::self_signed_cer_verifier_, nullptr);
    EXPECT_EQ(dynamic_cast<WatchedVerifier*>(WebsocketClient::self_signed_cer_verifier_), nullptr);
  });
  Destroy();
  RunOn(worker_.get(), [&] { EXPECT_EQ(WebsocketClient::self_signed_cer_verifier_, nullptr); });

  // A plain client leaves the pointer alone until it goes, and then deletes it.
  ASSERT_NE(Create("127.0.0.1", peer_.port(), "/ws"), nullptr);
  RunOn(worker_.get(), [&] {
    EXPECT_EQ(WebsocketClient::self_signed_cer_verifier_, nullptr);
    WebsocketClient::self_signed_cer_verifier_ = new WatchedVerifier(&deleted);
  });
  Destroy();
  EXPECT_EQ(deleted.load(), 2);
  RunOn(worker_.get(), [&] { EXPECT_EQ(WebsocketClient::self_signed_cer_verifier_, nullptr); });
}

class WebsocketClientTlsTest : public WebsocketClientTest {
 protected:
  // Opens a client over TLS to `server` and logs it in: the server takes the first
  // text for a login and answers it.
  void OpenAndLogIn(const WsTestServer& server) {
    ASSERT_NE(Create("127.0.0.1", server.port(), "/wss"), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return recorder_->opens() == 1; }));
    RunOn(worker_.get(), [&] { EXPECT_TRUE(client_->SendText("login", false)); });
    ASSERT_TRUE(WaitUntil([&] { return recorder_->frames().size() == 1; }));
    EXPECT_EQ(recorder_->frames()[0].payload, zek_test::kWsLoginOk);
  }

  // `size` letters that do not repeat with a short period, so that a lost or moved
  // piece shows.
  static std::string Letters(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
  }
};

TEST_F(WebsocketClientTlsTest, SendsTheRequestOverTlsToAnUntrustedCertificate) {
  // The test authority is none of the built-in roots: only the verifier lets the
  // chain through. The echo server hands the request back, which is no 101.
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  ASSERT_NE(Create("127.0.0.1", server.port(), "/wss"), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsHandshakeError);
  EXPECT_EQ(server.handshakes(), 1u);
  EXPECT_FALSE(server.plaintext_seen());
  const std::string request = server.received();
  EXPECT_EQ(request.substr(0, 19), "GET /wss HTTP/1.1\r\n");
  EXPECT_NE(request.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos) << request;
  EXPECT_NE(request.find("\r\nOrigin: http://127.0.0.1\r\n"), std::string::npos) << request;
}

TEST_F(WebsocketClientTlsTest, StillChecksTheHostName) {
  TlsTestServer::Options options;
  options.common_name = "other.example";
  options.dns_names = {"other.example"};
  options.ip_addresses = {};
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ASSERT_NE(Create("127.0.0.1", server.port(), "/wss"), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
  EXPECT_EQ(recorder_->closes()[0].code, WebsocketClient::kWsSocketError);
  EXPECT_EQ(recorder_->opens(), 0);
  EXPECT_TRUE(server.received().empty());
}

TEST_F(WebsocketClientTlsTest, OpensAndCarriesTheLargestFramesBothWays) {
  WsTestServerOptions options;
  options.tls = true;
  WsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ASSERT_NO_FATAL_FAILURE(OpenAndLogIn(server));
  EXPECT_EQ(server.sni(), "");  // an IP literal is no server name
  const std::string text = Letters(WebsocketClient::kMaxSendPayload);
  RunOn(worker_.get(), [&] { EXPECT_TRUE(client_->SendText(text, false)); });
  ASSERT_TRUE(WaitUntil([&] { return recorder_->frames().size() == 2; }));
  EXPECT_TRUE(recorder_->frames()[1].payload == text);
  ASSERT_EQ(server.texts().size(), 1u);
  EXPECT_TRUE(server.texts()[0] == text);
  ASSERT_TRUE(server.SendPing("hb"));
  ASSERT_TRUE(WaitUntil([&] { return server.pongs_received() == 1; }));
  EXPECT_TRUE(recorder_->closes().empty());
  Destroy();
}

// More than the input buffer holds waits at once, then the server's close frame and
// its FIN: the last bytes are still in the TLS library when the socket reports its
// end, and they reach the client before that end does.
TEST_F(WebsocketClientTlsTest, TheTextsAndCloseFrameBeforeTheServersEndAreNotLost) {
  WsTestServerOptions options;
  options.tls = true;
  WsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ASSERT_NO_FATAL_FAILURE(OpenAndLogIn(server));

  const std::string small(1000, 's');
  const std::string big = Letters(64600);
  zek_test::WsFrameToSend big_frame;
  big_frame.payload = big;
  zek_test::WsFrameToSend close_frame;
  close_frame.opcode = zek_test::kWsOpClose;
  close_frame.payload = zek_test::WsClosePayload(1000, zek_test::kWsCloseJson);
  // The big text and the close frame go in one write, cut into 16 KiB records;
  // the small text's record before them puts the input buffer's 64 KiB limit
  // inside the last record. The worker is held until everything and the FIN are
  // in its socket.
  bool held = false;
  RunOn(worker_.get(), [&] {
    ASSERT_TRUE(server.SendText(small));
    ASSERT_TRUE(
        server.SendRaw(zek_test::EncodeWsFrame(big_frame) + zek_test::EncodeWsFrame(close_frame)));
    ASSERT_TRUE(server.CloseConnection());
    held = WaitUntil([&] { return server.fins_sent() == 1; });
  });
  ASSERT_TRUE(held);
  ASSERT_TRUE(WaitUntil([&] { return recorder_->closes().size() == 1; }));
  EXPECT_EQ(recorder_->closes()[0].code, 8002);
  const std::vector<Received> frames = recorder_->frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].payload, small);
  EXPECT_TRUE(frames[2].payload == big);
}

}  // namespace
}  // namespace tavix
