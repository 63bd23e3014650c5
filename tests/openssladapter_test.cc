// ctest-labels: threading
// The TLS adapter over real loopback TCP connections to the TLS test server,
// driven on a worker thread the way the WebSocket client drives it.

#include "rtc_base/openssladapter.h"

#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/asynctcpsocket.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/opensslidentity.h"
#include "rtc_base/opensslsessioncache.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "tests/support/test_certs.h"
#include "tests/support/tls_test_server.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using zek_test::TlsTestServer;
using zek_test::WaitUntil;
using Mode = TlsTestServer::Mode;

// What the WebSocket client's socket buffers each way.
constexpr size_t kMaxBuffered = 65536;

// A TLS test server that misbehaves as `mode` once `after` bytes have come back.
TlsTestServer::Options FaultAfter(TlsTestServer::Mode mode, size_t after) {
  TlsTestServer::Options options;
  options.mode = mode;
  options.fault_after_bytes = after;
  return options;
}

class AcceptAllVerifier : public SSLCertificateVerifier {
 public:
  bool Verify(const SSLCertificate& /*certificate*/) override {
    ++calls;
    return true;
  }
  std::atomic<int> calls{0};
};

class RefuseAllVerifier : public SSLCertificateVerifier {
 public:
  bool Verify(const SSLCertificate& /*certificate*/) override { return false; }
};

// Distinct bytes for every frame, so that a lost, repeated or reordered piece
// shows in a comparison.
std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// Runs functions on a thread and waits for each.
class Invoker : public MessageHandler {
 public:
  void Run(Thread* thread, std::function<void()> f) {
    thread->Send(RTC_FROM_HERE, this, 0, new Task(std::move(f)));
  }

 private:
  struct Task : MessageData {
    explicit Task(std::function<void()> f) : f(std::move(f)) {}
    std::function<void()> f;
  };
  void OnMessage(Message* msg) override {
    Task* task = static_cast<Task*>(msg->data_);
    task->f();
    delete task;
  }
};

// Uses a socket the way the TCP packet socket under the WebSocket client does:
// one output buffer of at most 64 KiB handed whole to one Send per attempt, and
// each readable event read until a short read. Lives on the worker thread;
// the test reads it only through Invoker::Run.
class Peer : public sigslot::has_slots<> {
 public:
  explicit Peer(AsyncSocket* socket) : socket_(socket) {
    socket_->SignalConnected.connect(this, &Peer::OnConnected);
    socket_->SignalReadable.connect(this, &Peer::OnReadable);
    socket_->SignalWritable.connect(this, &Peer::OnWritable);
    socket_->SignalClosed.connect(this, &Peer::OnClosed);
  }

  AsyncSocket* socket() { return socket_.get(); }

  // One frame: refused, as the packet socket refuses it, when it does not fit.
  bool SendRaw(const std::string& data) {
    if (out_.size() + data.size() > kMaxBuffered)
      return false;
    out_ += data;
    Flush();
    return true;
  }

  int connected = 0;
  Socket::ConnectionState state_at_connect = Socket::SOCKET_CLOSED;
  int closed = 0;
  int close_error = 0;
  // What had been read when the closed signal came.
  size_t received_at_close = 0;
  // The error of the last Recv that returned -1.
  int read_error = 0;
  // The closed signal came from inside one of our own calls on the socket.
  bool closed_inside_call = false;
  // Sends refused with would-block while bytes were waiting.
  int blocked_sends = 0;
  std::string received;
  // Recv calls that returned bytes.
  int reads = 0;
  size_t read_chunk = kMaxBuffered;
  // One Recv per readable event, for a reader that takes little at a time.
  bool read_once = false;
  // Readable events are left unanswered, as by an owner that stopped reading.
  bool ignore_readable = false;
  bool echo = false;
  size_t out_size() const { return out_.size(); }

 private:
  void Flush() {
    if (out_.empty())
      return;
    in_call_ = true;
    int n = socket_->Send(out_.data(), out_.size());
    in_call_ = false;
    if (n > 0) {
      out_.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && socket_->GetError() == EWOULDBLOCK) {
      ++blocked_sends;
    }
  }

  void OnConnected(AsyncSocket* socket) {
    ++connected;
    state_at_connect = socket->GetState();
  }

  void OnReadable(AsyncSocket* /*socket*/) {
    if (ignore_readable)
      return;
    std::vector<char> buf(read_chunk);
    for (;;) {
      in_call_ = true;
      int n = socket_->Recv(buf.data(), buf.size(), nullptr);
      in_call_ = false;
      if (n < 0)
        read_error = socket_->GetError();
      if (n <= 0)
        break;
      ++reads;
      received.append(buf.data(), static_cast<size_t>(n));
      if (echo)
        SendRaw(std::string(buf.data(), static_cast<size_t>(n)));
      if (read_once || static_cast<size_t>(n) < buf.size())
        break;
    }
  }

  void OnWritable(AsyncSocket* /*socket*/) { Flush(); }

  void OnClosed(AsyncSocket* /*socket*/, int error) {
    ++closed;
    close_error = error;
    received_at_close = received.size();
    if (in_call_)
      closed_inside_call = true;
  }

  std::unique_ptr<AsyncSocket> socket_;
  std::string out_;
  bool in_call_ = false;
};

// The TCP packet socket base itself, with a framing that takes every byte: the
// layer the WebSocket client puts over the adapter.
class StreamPeer : public AsyncTCPSocketBase {
 public:
  explicit StreamPeer(AsyncSocket* socket) : AsyncTCPSocketBase(socket, false, kMaxBuffered) {
    SignalStreamConnected.connect(this, &StreamPeer::OnStreamConnected);
    SignalStreamClosed.connect(this, &StreamPeer::OnStreamClosed);
  }

  int Send(const void* data, size_t length, const PacketOptions& /*options*/) override {
    return SendRaw(data, length);
  }

  int connected = 0;
  int closed = 0;
  std::string received;

 protected:
  void ProcessInput(char* data, size_t* length) override {
    received.append(data, *length);
    *length = 0;
  }
  void HandleIncomingConnection(AsyncSocket* socket) override { delete socket; }

 private:
  void OnStreamConnected(AsyncPacketSocket* /*socket*/) { ++connected; }
  void OnStreamClosed(AsyncPacketSocket* /*socket*/, int /*error*/) { ++closed; }
};

struct ClientSetup {
  std::string host = "localhost";
  SSLCertificateVerifier* verifier = nullptr;
  bool ignore_bad_cert = false;
  int send_buffer = 0;
  OpenSSLSessionCache* cache = nullptr;
  bool restartable = false;
};

class OpenSSLAdapterTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(OpenSSLAdapter::InitializeSSL());
    thread_ = Thread::CreateWithSocketServer();
    ASSERT_TRUE(thread_->Start());
  }

  void TearDown() override {
    // Sockets belong to the worker's socket server and die there.
    Run([this] {
      peers_.clear();
      sockets_.clear();
    });
    thread_->Stop();
  }

  void Run(std::function<void()> f) { invoker_.Run(thread_.get(), std::move(f)); }

  template <typename F>
  auto Get(F f) -> decltype(f()) {
    decltype(f()) value{};
    Run([&] { value = f(); });
    return value;
  }

  // A waited-for condition on the worker's side.
  bool WaitOn(std::function<bool()> pred,
              std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return WaitUntil([&] { return Get(pred); }, limit);
  }

  AsyncSocket* NewTcpSocket() {
    return thread_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM);
  }

  Peer* AddPeer(AsyncSocket* socket) {
    peers_.push_back(std::make_unique<Peer>(socket));
    return peers_.back().get();
  }

  // Sets the adapter up as the WebSocket client does for "/wss", on a socket
  // bound to 0.0.0.0 port 0, and connects it to 127.0.0.1:`port`.
  Peer* StartClient(uint16_t port, const ClientSetup& setup, int* start_result = nullptr) {
    Peer* peer = nullptr;
    Run([&] {
      AsyncSocket* socket = NewTcpSocket();
      ASSERT_NE(nullptr, socket);
      ASSERT_EQ(0, socket->Bind(SocketAddress("0.0.0.0", 0)));
      SSLAdapter* adapter = setup.cache ? new OpenSSLAdapter(socket, setup.cache, nullptr)
                                        : SSLAdapter::Create(socket);
      adapter->SetRole(SSL_ROLE_CLIENT);
      adapter->SetMode(SSL_MODE_STREAM);
      adapter->SetAlpnProtocols({});
      adapter->SetEllipticCurves({});
      adapter->SetCertVerifier(setup.verifier);
      if (setup.ignore_bad_cert)
        adapter->SetIgnoreBadCert(true);
      if (setup.send_buffer > 0)
        adapter->SetOption(Socket::OPT_SNDBUF, setup.send_buffer);
      int result = adapter->StartSSL(setup.host.c_str(), setup.restartable);
      if (start_result)
        *start_result = result;
      peer = AddPeer(adapter);
      EXPECT_EQ(0, adapter->Connect(SocketAddress("127.0.0.1", port)));
    });
    return peer;
  }

  bool WaitConnected(Peer* peer, int count = 1) {
    return WaitOn([=] { return peer->connected >= count || peer->closed > 0; }) &&
           Get([=] { return peer->connected; }) == count;
  }

  // A client the verifier lets through, connected to `server`; null when the
  // handshake failed.
  Peer* ConnectTrusted(const TlsTestServer& server) {
    ClientSetup setup;
    setup.verifier = &accept_all_;
    Peer* peer = StartClient(server.port(), setup);
    return WaitConnected(peer) ? peer : nullptr;
  }

  // Sends `data` and holds the worker until the server has sent its fault, so that
  // what came before the fault and the fault itself wait in the socket together.
  bool SendAndHoldUntilFault(Peer* peer, const TlsTestServer& server, const std::string& data) {
    bool held = false;
    Run([&] {
      held = peer->SendRaw(data) && WaitUntil([&] { return server.faults_sent() == 1; });
    });
    return held;
  }

  // Sends `data` as frames of at most `frame` bytes, waiting for room for each.
  bool SendAll(Peer* peer, const std::string& data, size_t frame = kMaxBuffered) {
    for (size_t offset = 0; offset < data.size(); offset += frame) {
      std::string piece = data.substr(offset, frame);
      if (!WaitOn([&] { return peer->SendRaw(piece); }, std::chrono::seconds(10)))
        return false;
    }
    return true;
  }

  std::unique_ptr<Thread> thread_;
  Invoker invoker_;
  // Worker thread only.
  std::vector<std::unique_ptr<Peer>> peers_;
  std::vector<std::unique_ptr<AsyncSocket>> sockets_;
  AcceptAllVerifier accept_all_;
  RefuseAllVerifier refuse_all_;
};

TEST_F(OpenSSLAdapterTest, HandshakesThenEchoesFramesOfEverySize) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  ClientSetup setup;
  setup.verifier = &accept_all_;
  int start_result = -2;
  Peer* client = StartClient(server.port(), setup, &start_result);
  EXPECT_EQ(0, start_result);
  Run([=] {
    // Until the handshake is accepted, the adapter is connecting.
    if (client->connected == 0) {
      EXPECT_EQ(Socket::SOCKET_CONNECTING, client->socket()->GetState());
    }
  });

  ASSERT_TRUE(WaitConnected(client));
  // Raised by the finished handshake, not by the TCP connection.
  EXPECT_EQ(Socket::SOCKET_CONNECTED, Get([=] { return client->state_at_connect; }));
  // The test authority is not among the built-in roots: the verifier decided.
  EXPECT_GT(accept_all_.calls.load(), 0);

  std::string all;
  unsigned seed = 0;
  // One byte, records around the 16 KiB record size, and a whole 64 KiB
  // output buffer in one Send.
  for (size_t size : {1, 100, 16383, 16384, 16385, 40000, 65536}) {
    std::string frame = Pattern(size, ++seed);
    all += frame;
    ASSERT_TRUE(Get([&] { return client->SendRaw(frame); }));
    ASSERT_TRUE(WaitOn([&] { return client->received.size() >= all.size(); })) << size;
  }
  EXPECT_EQ(all, Get([=] { return client->received; }));
  EXPECT_EQ(all, server.received());
  EXPECT_FALSE(server.plaintext_seen());
  EXPECT_TRUE(server.sni_seen());
  EXPECT_EQ("localhost", server.sni());
  EXPECT_EQ(0, Get([=] { return client->closed; }));
}

// The packet socket hands its whole buffer to one Send per attempt and gets no
// write event while the socket takes everything: a 64 KiB frame must go out in
// that one call.
TEST_F(OpenSSLAdapterTest, FullFramesGoOutThroughTheTcpPacketSocket) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  std::unique_ptr<StreamPeer> stream;
  Run([&] {
    AsyncSocket* socket = NewTcpSocket();
    ASSERT_EQ(0, socket->Bind(SocketAddress("0.0.0.0", 0)));
    SSLAdapter* adapter = SSLAdapter::Create(socket);
    adapter->SetRole(SSL_ROLE_CLIENT);
    adapter->SetMode(SSL_MODE_STREAM);
    adapter->SetAlpnProtocols({});
    adapter->SetEllipticCurves({});
    adapter->SetCertVerifier(&accept_all_);
    ASSERT_EQ(0, adapter->StartSSL("localhost", false));
    ASSERT_EQ(0, adapter->Connect(SocketAddress("127.0.0.1", server.port())));
    stream = std::make_unique<StreamPeer>(adapter);
  });
  ASSERT_TRUE(stream);
  ASSERT_TRUE(WaitOn([&] { return stream->connected == 1; }));
  std::string all;
  for (unsigned i = 0; i < 4; ++i) {
    std::string frame = Pattern(kMaxBuffered, 40 + i);
    all += frame;
    ASSERT_EQ(static_cast<int>(frame.size()),
              Get([&] { return stream->Send(frame.data(), frame.size(), PacketOptions()); }));
    ASSERT_TRUE(WaitOn([&] { return stream->received.size() >= all.size(); })) << i;
  }
  EXPECT_EQ(all, server.received());
  EXPECT_EQ(all, Get([&] { return stream->received; }));
  EXPECT_EQ(0, Get([&] { return stream->closed; }));
  Run([&] { stream.reset(); });
}

TEST_F(OpenSSLAdapterTest, WritesFasterThanTheServerReadsGoOutOnceEach) {
  TlsTestServer::Options options;
  options.reading = false;
  options.receive_buffer = 4096;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ClientSetup setup;
  setup.verifier = &accept_all_;
  setup.send_buffer = 4096;
  Peer* client = StartClient(server.port(), setup);
  ASSERT_TRUE(WaitConnected(client));

  std::vector<std::string> frames;
  std::string all;
  for (unsigned i = 0; i < 12; ++i) {
    frames.push_back(Pattern(kMaxBuffered - i * 1000, 100 + i));
    all += frames.back();
  }
  // While the server does not read, the socket fills, the adapter keeps what
  // the library could not write, and the output buffer backs up behind it.
  size_t sent = 0;
  while (sent < frames.size() && Get([&] { return client->SendRaw(frames[sent]); }))
    ++sent;
  EXPECT_LT(sent, frames.size());
  EXPECT_GT(Get([=] { return client->blocked_sends; }), 0);
  EXPECT_EQ(0u, server.received_size());

  server.SetReading(true);
  for (; sent < frames.size(); ++sent)
    ASSERT_TRUE(WaitOn([&] { return client->SendRaw(frames[sent]); }, std::chrono::seconds(10)));

  EXPECT_TRUE(server.WaitForReceived(all.size(), 10000));
  EXPECT_EQ(all, server.received());
  EXPECT_TRUE(
      WaitOn([&] { return client->received.size() >= all.size(); }, std::chrono::seconds(10)));
  EXPECT_EQ(all, Get([=] { return client->received; }));
}

// A reader that takes little at a time gets every byte: decrypted bytes left in
// the library by a small read are announced, and so are the records still waiting
// in the socket when a readable event of the socket went on such bytes.
TEST_F(OpenSSLAdapterTest, DecryptedBytesLeftByASmallReadAreAnnounced) {
  const struct {
    const char* name;
    size_t size;
    size_t read_chunk;  // what each readable event takes
  } cases[] = {
      // Echoed as one record; the socket has nothing more to report once the
      // record is in the library.
      {"one record", 5000, 100},
      // Echoed as many records, some still in the socket while the library
      // holds part of another.
      {"records left in the socket", 256 * 1024, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server;
    ASSERT_TRUE(server.Start());
    ClientSetup setup;
    setup.verifier = &accept_all_;
    Peer* client = StartClient(server.port(), setup);
    Run([=] {
      client->read_chunk = c.read_chunk;
      client->read_once = true;
    });
    ASSERT_TRUE(WaitConnected(client));
    const std::string data = Pattern(c.size, 7);
    ASSERT_TRUE(SendAll(client, data));
    EXPECT_TRUE(WaitOn([&] { return client->received.size() >= data.size(); }));
    EXPECT_TRUE(data == Get([=] { return client->received; }));
  }
}

// A read takes every record the library and the socket hold, up to the room given,
// as a read of a plain socket takes every byte: one readable event is not one record.
TEST_F(OpenSSLAdapterTest, OneReadTakesEveryRecordThatWaits) {
  TlsTestServer::Options options;
  options.echo_record_size = 100;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ClientSetup setup;
  setup.verifier = &accept_all_;
  Peer* client = StartClient(server.port(), setup);
  Run([=] { client->read_once = true; });
  ASSERT_TRUE(WaitConnected(client));
  const std::string data = Pattern(20000, 3);
  ASSERT_TRUE(SendAll(client, data));
  ASSERT_TRUE(WaitOn([&] { return client->received.size() >= data.size(); }));
  EXPECT_TRUE(data == Get([=] { return client->received; }));
  // 200 records; the server writes them a few bursts at a time.
  const int reads = Get([=] { return client->reads; });
  EXPECT_LE(reads, 20) << "reads for 200 records";
}

// Every byte the peer sent before its end reaches the reader before the closed
// signal, whatever the reader takes per readable event. The worker is held until
// the server has sent the echo and its end, so that both wait in the socket
// together and one pass of the socket server finds them.
TEST_F(OpenSSLAdapterTest, EveryByteBeforeThePeersEndComesBeforeTheClose) {
  const struct {
    const char* name;
    Mode mode;
    int error;        // of the closed signal
    bool error_read;  // a read reports the error too, after the last bytes
  } endings[] = {
      {"FIN", Mode::kFin, 0, false},
      {"close_notify", Mode::kCloseNotify, ECONNRESET, true},
      // The reset comes with the echo still in the socket.
      {"reset", Mode::kReset, ECONNRESET, true},
  };
  const size_t kEcho = 5000;  // one record
  for (const auto& ending : endings) {
    for (size_t read_size : {size_t{1}, size_t{1000}, size_t{16384}, size_t{65536}}) {
      SCOPED_TRACE(testing::Message() << ending.name << ", reads of " << read_size);
      TlsTestServer server(FaultAfter(ending.mode, kEcho));
      ASSERT_TRUE(server.Start());
      Peer* client = ConnectTrusted(server);
      ASSERT_NE(nullptr, client);
      Run([=] {
        client->read_chunk = read_size;
        client->read_once = true;
      });
      const std::string data = Pattern(kEcho, 11);
      ASSERT_TRUE(SendAndHoldUntilFault(client, server, data));
      ASSERT_TRUE(WaitOn([=] { return client->closed > 0; }));
      EXPECT_EQ(kEcho, Get([=] { return client->received_at_close; }));
      EXPECT_TRUE(data == Get([=] { return client->received; }));
      EXPECT_EQ(ending.error, Get([=] { return client->close_error; }));
      if (ending.error_read) {
        EXPECT_EQ(ending.error, Get([=] { return client->read_error; }));
      }
      EXPECT_FALSE(Get([=] { return client->closed_inside_call; }));
      EXPECT_EQ(Socket::SOCKET_CLOSED, Get([=] { return client->socket()->GetState(); }));
      EXPECT_EQ(1, Get([=] { return client->closed; }));
      Run([=] { client->socket()->Close(); });
    }
  }
}

// The peer's end waits only for a reader that reads: one that has stopped still
// learns of it.
TEST_F(OpenSSLAdapterTest, AReaderThatStoppedReadingStillLearnsOfTheEnd) {
  TlsTestServer server(FaultAfter(Mode::kReset, 5));
  ASSERT_TRUE(server.Start());
  Peer* client = ConnectTrusted(server);
  ASSERT_NE(nullptr, client);
  Run([=] { client->ignore_readable = true; });
  ASSERT_TRUE(SendAndHoldUntilFault(client, server, "hello"));
  ASSERT_TRUE(WaitOn([=] { return client->closed > 0; }));
  EXPECT_EQ(ECONNRESET, Get([=] { return client->close_error; }));
  EXPECT_EQ(1, Get([=] { return client->closed; }));
}

struct PeerCheckCase {
  const char* name;
  std::string common_name;
  std::vector<std::string> dns_names;
  std::vector<std::string> ip_addresses;
  std::string host;
  enum { kAcceptAll, kRefuseAll, kNone } verifier;
  bool ignore_bad_cert;
  bool accepted;
  bool sni;  // the ClientHello names the host
};

// The peer is accepted only when its certificate names the host, whatever the
// verifier says about the chain; only ignore_bad_cert waives that.
TEST_F(OpenSSLAdapterTest, PeerChecks) {
  const std::vector<std::string> kLocal = {"localhost"};
  const std::vector<std::string> kLoopbackIps = {"127.0.0.1", "::1"};
  const PeerCheckCase cases[] = {
      {"host matches, verifier accepts", "localhost", kLocal, kLoopbackIps, "localhost",
       PeerCheckCase::kAcceptAll, false, true, true},
      {"other host, verifier accepts",
       "other.example",
       {"other.example"},
       {},
       "localhost",
       PeerCheckCase::kAcceptAll,
       false,
       false,
       true},
      {"other host, ignore_bad_cert",
       "other.example",
       {"other.example"},
       {},
       "localhost",
       PeerCheckCase::kAcceptAll,
       true,
       true,
       true},
      {"chain not trusted, no verifier", "localhost", kLocal, kLoopbackIps, "localhost",
       PeerCheckCase::kNone, false, false, true},
      {"chain not trusted, verifier refuses", "localhost", kLocal, kLoopbackIps, "localhost",
       PeerCheckCase::kRefuseAll, false, false, true},
      {"verifier refuses, ignore_bad_cert", "localhost", kLocal, kLoopbackIps, "localhost",
       PeerCheckCase::kRefuseAll, true, true, true},
      {"IP literal against the IP name", "localhost", kLocal, kLoopbackIps, "127.0.0.1",
       PeerCheckCase::kAcceptAll, false, true, false},
      // A literal is matched against IP names only, never against DNS names.
      {"IP literal, DNS names only",
       "zekcore test",
       {"localhost", "127.0.0.1"},
       {},
       "127.0.0.1",
       PeerCheckCase::kAcceptAll,
       false,
       false,
       false},
      {"host name, IP names only",
       "zekcore test",
       {},
       kLoopbackIps,
       "localhost",
       PeerCheckCase::kAcceptAll,
       false,
       false,
       true},
  };
  for (const PeerCheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer::Options options;
    options.common_name = c.common_name;
    options.dns_names = c.dns_names;
    options.ip_addresses = c.ip_addresses;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    ClientSetup setup;
    setup.host = c.host;
    SSLCertificateVerifier* verifiers[] = {&accept_all_, &refuse_all_, nullptr};
    setup.verifier = verifiers[c.verifier];
    setup.ignore_bad_cert = c.ignore_bad_cert;
    Peer* client = StartClient(server.port(), setup);
    ASSERT_TRUE(WaitOn([=] { return client->connected > 0 || client->closed > 0; }));
    EXPECT_EQ(c.sni, server.sni_seen());
    if (c.sni) {
      EXPECT_EQ(c.host, server.sni());
    }

    if (c.accepted) {
      EXPECT_EQ(1, Get([=] { return client->connected; }));
      ASSERT_TRUE(Get([=] { return client->SendRaw("ping"); }));
      EXPECT_TRUE(WaitOn([=] { return client->received == "ping"; }));
    } else {
      EXPECT_EQ(0, Get([=] { return client->connected; }));
      EXPECT_EQ(1, Get([=] { return client->closed; }));
      EXPECT_EQ(-1, Get([=] { return client->close_error; }));
      EXPECT_EQ(Socket::SOCKET_CLOSED, Get([=] { return client->socket()->GetState(); }));
      // Nothing goes out, encrypted or not, over the TCP connection still open.
      EXPECT_EQ(-1, Get([=] { return client->socket()->Send("secret", 6); }));
      Run([=] { client->socket()->Close(); });
      EXPECT_TRUE(WaitUntil([&] { return server.open_connections() == 0; }));
      EXPECT_EQ(0u, server.received_size());
      EXPECT_FALSE(server.plaintext_seen());
    }
  }
}

TEST_F(OpenSSLAdapterTest, ServersThatFailTheHandshakeCloseTheAdapter) {
  for (Mode mode : {Mode::kCloseMidHandshake, Mode::kGarbage}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TlsTestServer::Options options;
    options.mode = mode;
    TlsTestServer server(options);
    ASSERT_TRUE(server.Start());
    ClientSetup setup;
    setup.verifier = &accept_all_;
    Peer* client = StartClient(server.port(), setup);
    EXPECT_TRUE(WaitOn([=] { return client->closed > 0; }));
    EXPECT_EQ(0, Get([=] { return client->connected; }));
    EXPECT_EQ(Socket::SOCKET_CLOSED, Get([=] { return client->socket()->GetState(); }));
    EXPECT_EQ(-1, Get([=] { return client->socket()->Send("secret", 6); }));
    EXPECT_EQ(1, Get([=] { return client->closed; }));
  }
}

TEST_F(OpenSSLAdapterTest, DataPathFaultsRaiseClosedOnce) {
  struct Case {
    Mode mode;
    int error;    // of the closed signal
    bool failed;  // the adapter itself gave up, not only the socket
  } cases[] = {
      // The record fails authentication: a TLS failure.
      {Mode::kCorruptRecord, -1, true},
      // The TLS session is over although the TCP stream is not.
      {Mode::kCloseNotify, ECONNRESET, true},
      // An orderly end of the stream, as the socket reports it.
      {Mode::kFin, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    TlsTestServer server(FaultAfter(c.mode, 5));
    ASSERT_TRUE(server.Start());
    Peer* client = ConnectTrusted(server);
    ASSERT_NE(nullptr, client);
    ASSERT_TRUE(Get([=] { return client->SendRaw("hello"); }));
    EXPECT_TRUE(WaitOn([=] { return client->closed > 0; }));
    EXPECT_EQ("hello", Get([=] { return client->received; }));
    EXPECT_EQ(c.error, Get([=] { return client->close_error; }));
    // Posted: the owner never gets it from inside its own Recv.
    EXPECT_FALSE(Get([=] { return client->closed_inside_call; }));
    EXPECT_EQ(Socket::SOCKET_CLOSED, Get([=] { return client->socket()->GetState(); }));
    if (c.failed) {
      EXPECT_EQ(-1, Get([=] { return client->socket()->Send("more", 4); }));
    }
    EXPECT_EQ(1, Get([=] { return client->closed; }));
  }
}

// An identity whose key does not belong to its certificate: the context
// refuses it, so the handshake cannot start.
std::unique_ptr<OpenSSLIdentity> MismatchedIdentity() {
  zek_test::TestCertificate cert = zek_test::MakeCertificate(zek_test::CertOptions());
  std::vector<std::unique_ptr<SSLCertificate>> certs;
  certs.push_back(std::make_unique<OpenSSLCertificate>(cert.cert.get()));
  return std::make_unique<OpenSSLIdentity>(
      std::make_unique<OpenSSLKeyPair>(zek_test::MakeKey(zek_test::KeyType::kEcdsaP256).release()),
      std::make_unique<SSLCertChain>(std::move(certs)));
}

TEST_F(OpenSSLAdapterTest, AHandshakeThatCannotStartSendsNothing) {
  // StartSSL before the connection: the start fails on the connected event.
  {
    TlsTestServer server;
    ASSERT_TRUE(server.Start());
    Peer* client = nullptr;
    Run([&] {
      auto* adapter = static_cast<OpenSSLAdapter*>(SSLAdapter::Create(NewTcpSocket()));
      adapter->SetCertVerifier(&accept_all_);
      adapter->SetIdentity(MismatchedIdentity().release());
      EXPECT_EQ(0, adapter->StartSSL("localhost", false));
      client = AddPeer(adapter);
      EXPECT_EQ(0, adapter->Connect(SocketAddress("127.0.0.1", server.port())));
    });
    EXPECT_TRUE(WaitOn([=] { return client->closed > 0; }));
    EXPECT_EQ(-1, Get([=] { return client->close_error; }));
    EXPECT_EQ(0, Get([=] { return client->connected; }));
    EXPECT_EQ(Socket::SOCKET_CLOSED, Get([=] { return client->socket()->GetState(); }));
    EXPECT_EQ(-1, Get([=] { return client->socket()->Send("secret", 6); }));
    Run([=] { client->socket()->Close(); });
    EXPECT_TRUE(WaitUntil([&] { return server.peer_closes() == 1; }));
    EXPECT_EQ(0u, server.raw_received_size());
  }
  // StartSSL over a connection already up: StartSSL itself fails.
  {
    TlsTestServer server;
    ASSERT_TRUE(server.Start());
    Peer* client = nullptr;
    Run([&] {
      client = AddPeer(SSLAdapter::Create(NewTcpSocket()));
      EXPECT_EQ(0, client->socket()->Connect(SocketAddress("127.0.0.1", server.port())));
    });
    // Without TLS the adapter passes the connection through.
    ASSERT_TRUE(WaitConnected(client));
    Run([=] {
      auto* adapter = static_cast<OpenSSLAdapter*>(client->socket());
      adapter->SetIdentity(MismatchedIdentity().release());
      EXPECT_EQ(-1, adapter->StartSSL("localhost", false));
      EXPECT_EQ(-1, adapter->GetError());
      EXPECT_EQ(Socket::SOCKET_CLOSED, adapter->GetState());
      EXPECT_EQ(-1, adapter->Send("secret", 6));
      adapter->Close();
    });
    EXPECT_TRUE(WaitUntil([&] { return server.peer_closes() == 1; }));
    EXPECT_EQ(0u, server.raw_received_size());
  }
}

TEST_F(OpenSSLAdapterTest, BeforeTheHandshakeIsAcceptedNothingPasses) {
  TlsTestServer::Options options;
  options.mode = Mode::kSilent;
  TlsTestServer server(options);
  ASSERT_TRUE(server.Start());
  ClientSetup setup;
  setup.verifier = &accept_all_;
  Peer* client = StartClient(server.port(), setup);
  ASSERT_TRUE(WaitUntil([&] { return server.raw_received_size() > 0; }));
  Run([=] {
    SSLAdapter* adapter = static_cast<SSLAdapter*>(client->socket());
    // The TCP connection is up; the adapter is not, until the handshake ends.
    EXPECT_EQ(Socket::SOCKET_CONNECTING, adapter->GetState());
    EXPECT_EQ(-1, adapter->StartSSL("localhost", false));
    char buf[16];
    EXPECT_EQ(-1, adapter->Send("early", 5));
    EXPECT_EQ(ENOTCONN, adapter->GetError());
    EXPECT_EQ(-1, adapter->Recv(buf, sizeof(buf), nullptr));
    EXPECT_EQ(ENOTCONN, adapter->GetError());
    EXPECT_EQ(0, client->connected);
  });
  EXPECT_FALSE(server.plaintext_seen());
}

TEST_F(OpenSSLAdapterTest, ACachedContextSurvivesARestart) {
  TlsTestServer server;
  ASSERT_TRUE(server.Start());
  SSL_CTX* ctx = OpenSSLAdapter::CreateContext(SSL_MODE_STREAM, true);
  ASSERT_NE(nullptr, ctx);
  OpenSSLSessionCache cache(ctx);
  SSL_CTX_free(ctx);
  ClientSetup setup;
  setup.cache = &cache;
  setup.restartable = true;
  setup.verifier = &accept_all_;
  Peer* client = StartClient(server.port(), setup);
  ASSERT_TRUE(WaitConnected(client));
  // Reading the echo also takes in the server's session tickets. A resumed
  // handshake verifies no chain, so the verifier is not asked again: the
  // session itself was accepted.
  ASSERT_TRUE(Get([=] { return client->SendRaw("one"); }));
  ASSERT_TRUE(WaitOn([=] { return client->received == "one"; }));
  auto adapter = [=] { return static_cast<SSLAdapter*>(client->socket()); };
  EXPECT_FALSE(Get([=] { return adapter()->IsResumedSession(); }));

  // Closed with the restart flag, the adapter handshakes again on the next
  // connection, with the same host name and the cache's context.
  const uint16_t port = server.port();
  Run([=] {
    adapter()->Close();
    EXPECT_EQ(0, adapter()->Connect(SocketAddress("127.0.0.1", port)));
  });
  ASSERT_TRUE(WaitConnected(client, 2));
  EXPECT_TRUE(Get([=] { return adapter()->IsResumedSession(); }));
  ASSERT_TRUE(Get([=] { return client->SendRaw("two"); }));
  EXPECT_TRUE(WaitOn([=] { return client->received == "onetwo"; }));
  EXPECT_EQ(2u, server.handshakes());
}

TEST_F(OpenSSLAdapterTest, ServerRoleAcceptsAndServes) {
  zek_test::TestPki pki = zek_test::MakeLocalhostPki();
  std::vector<std::unique_ptr<SSLCertificate>> certs;
  certs.push_back(std::make_unique<OpenSSLCertificate>(pki.leaf.cert.get()));
  auto identity =
      std::make_unique<OpenSSLIdentity>(std::make_unique<OpenSSLKeyPair>(pki.leaf.key.release()),
                                        std::make_unique<SSLCertChain>(std::move(certs)));

  OpenSSLAdapter* listener = nullptr;
  SocketAddress address;
  struct Acceptor : sigslot::has_slots<> {
    OpenSSLAdapterTest* test;
    Peer* accepted = nullptr;
    void OnReadable(AsyncSocket* socket) {
      AsyncSocket* s = socket->Accept(nullptr);
      if (s != nullptr) {
        accepted = test->AddPeer(s);
        accepted->echo = true;
      }
    }
  } acceptor;
  acceptor.test = this;
  Run([&] {
    listener = new OpenSSLAdapter(NewTcpSocket());
    sockets_.emplace_back(listener);
    // Without an identity there is nothing to serve with.
    EXPECT_EQ(nullptr, listener->Accept(nullptr));
    EXPECT_EQ(EINVAL, listener->GetError());
    listener->SetIdentity(identity.release());
    ASSERT_EQ(0, listener->Bind(SocketAddress("127.0.0.1", 0)));
    ASSERT_EQ(0, listener->Listen(5));
    listener->SignalReadable.connect(&acceptor, &Acceptor::OnReadable);
    address = listener->GetLocalAddress();
  });

  ClientSetup setup;
  setup.verifier = &accept_all_;
  Peer* client = StartClient(address.port(), setup);
  ASSERT_TRUE(WaitConnected(client));
  ASSERT_TRUE(WaitOn([&] { return acceptor.accepted && acceptor.accepted->connected == 1; }));
  std::string data = Pattern(30000, 3);
  ASSERT_TRUE(Get([&] { return client->SendRaw(data); }));
  EXPECT_TRUE(WaitOn([&] { return client->received.size() >= data.size(); }));
  EXPECT_EQ(data, Get([=] { return client->received; }));
  Run([&] { acceptor.disconnect_all(); });
}

TEST(OpenSSLAdapterNoThreadTest, CleansUpOnAThreadWithoutAThreadObject) {
  // The main thread gets its thread object first, so the one below has none.
  ASSERT_NE(nullptr, Thread::Current());
  std::thread t([] {
    ASSERT_EQ(nullptr, Thread::Current());
    OpenSSLAdapter adapter(nullptr);
    EXPECT_EQ(0, adapter.StartSSL("localhost", false));
    // The clean-up inside Close has no queue to clear here; the adapter has no
    // socket to close.
    EXPECT_EQ(-1, adapter.Close());
  });
  t.join();
}

TEST(OpenSSLContextTest, ContextsByModeAndCache) {
  ASSERT_TRUE(OpenSSLAdapter::InitializeSSL());
  EXPECT_TRUE(OpenSSLAdapter::CleanupSSL());
  struct Case {
    SSLMode mode;
    bool cache;
  } cases[] = {{SSL_MODE_STREAM, false}, {SSL_MODE_DATAGRAM, false}, {SSL_MODE_STREAM, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode * 2 + c.cache);
    ERR_clear_error();
    bssl::UniquePtr<SSL_CTX> ctx(OpenSSLAdapter::CreateContext(c.mode, c.cache));
    ASSERT_TRUE(ctx);
    EXPECT_EQ(SSL_VERIFY_PEER, SSL_CTX_get_verify_mode(ctx.get()));
    EXPECT_EQ(4, SSL_CTX_get_verify_depth(ctx.get()));
    bssl::UniquePtr<SSL> ssl(SSL_new(ctx.get()));
    ASSERT_TRUE(ssl);
    EXPECT_EQ(c.mode == SSL_MODE_DATAGRAM, SSL_is_dtls(ssl.get()) == 1);
    EXPECT_EQ(c.cache, SSL_CTX_sess_get_new_cb(ctx.get()) != nullptr);
    if (c.cache) {
      EXPECT_EQ(SSL_SESS_CACHE_CLIENT, SSL_CTX_get_session_cache_mode(ctx.get()));
    }
    EXPECT_GT(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx.get()))), 0u);
    // Nothing left on the error queue for the next TLS call to trip over.
    EXPECT_EQ(0u, ERR_peek_error());
  }
}

TEST(OpenSSLContextTest, AlpnWireForm) {
  const std::string k255(255, 'x');
  const std::string k256(256, 'y');
  struct Case {
    std::vector<std::string> protos;
    std::string wire;
  } cases[] = {
      {{}, ""},
      {{"h2", "abc"},
       std::string("\x02h2\x03"
                   "abc")},
      {{k255}, "\xff" + k255},
      // One bad name drops the whole list.
      {{"h2", k256}, ""},
      {{"h2", ""}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.wire, TransformAlpnProtocols(c.protos)) << c.protos.size();
  }
}

}  // namespace
}  // namespace rtc
