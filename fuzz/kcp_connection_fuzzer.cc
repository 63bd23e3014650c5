// The KCP connection after a real connect to a loopback UDP socket: the harness is
// the server, on a plain socket of its own, and the connection runs on this
// thread's physical socket server with the tests' fake clock firing its timers
// (connect time-out, the engine's poll, the keep-alive tick). The script sends
// login replies (from fields or any bytes), moves the clock, has the server's own
// KCP engine send messages of any content inside the conversation (texts, closes,
// unknown types, malformed fields), and has the app send texts.
//
// Oracles beside the sanitizers: the login datagram is the one the format asks
// for; a model of the reply and message formats and of the connection's states
// and timers predicts every status report and received message, in order; every
// datagram the client sends in the conversation is whole segments the server's
// engine accepts; the server receives the app's messages, in order, between
// keep-alives; and once the server's engine has nothing left in flight, the client
// has acknowledged (so delivered) everything, also after the server's close.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/common/connection_report.h"
#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/packet_model.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/kcp/zek_ikcp.h"
#include "src/kcp_connection.h"
#include "tests/support/fake_clock.h"

namespace {

using tavix::im::Connection;
using tavix::im::KcpConnection;
using zek_fuzz::FuzzInput;
using zek_fuzz::Report;

constexpr char kAccount[] = "acc";
constexpr char kApp[] = "app";
constexpr char kDevice[] = "phone";
constexpr char kToken[] = "tok";
constexpr char kDeviceId[] = "dev-1";
constexpr unsigned kPacketSize = 1200;
constexpr char kSilentText[] = "can not recv server's response, please reconnect";

int g_server_fd = -1;  // the server's socket
int g_marker_fd = -1;  // another socket, whose datagrams the client must ignore
uint16_t g_server_port = 0;
zek_test::ScopedFakeClock* g_clock = nullptr;

std::string Be16(uint32_t v) {
  return zek_fuzz::Be(v, 2);
}
std::string Be32(uint32_t v) {
  return zek_fuzz::Be(v, 4);
}

bool Readable(int fd, int timeout_ms) {
  pollfd p;
  p.fd = fd;
  p.events = POLLIN;
  p.revents = 0;
  return poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN);
}

int BindLoopbackUdp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    abort();
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (port)
    *port = ntohs(addr.sin_port);
  return fd;
}

// The client's UDP socket: the one bound to the port its login came from. Looked
// up so that the harness can tell when everything sent to it has been read.
int FindSocket(uint16_t port) {
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd == g_server_fd || fd == g_marker_fd)
      continue;
    sockaddr_in addr = {};
    socklen_t len = sizeof(addr);
    int type = 0;
    socklen_t type_len = sizeof(type);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        addr.sin_family == AF_INET && ntohs(addr.sin_port) == port &&
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_DGRAM) {
      return fd;
    }
  }
  return -1;
}

std::string Params() {
  return R"({"server_ip":"127.0.0.1","server_port_kcp":)" + std::to_string(g_server_port) +
         R"(,"server_port_ws":80,"server_port_wss":443,"account_id":")" + kAccount +
         R"(","app_id":")" + kApp + R"(","device_type":")" + kDevice + R"(","token":")" + kToken +
         R"(","deviceid":")" + kDeviceId + R"("})";
}

class Harness {
 public:
  explicit Harness(FuzzInput* in) : in_(in) {}
  ~Harness() {
    if (conn_)
      conn_->DisConnectServer();
    conn_.reset();
    if (server_kcp_)
      ikcp_release(server_kcp_);
    char sink[2048];
    while (recv(g_server_fd, sink, sizeof(sink), 0) >= 0) {
    }
  }

  bool Connect() {
    conn_.reset(new KcpConnection());
    recorder_.Attach(conn_.get());
    ZEK_FUZZ_CHECK(conn_->Init(Params()), "the parameters were refused");
    const unsigned timeout = 1 + in_->U16();
    ZEK_FUZZ_CHECK(conn_->ConnectServer(timeout, kPacketSize), "ConnectServer failed");
    connect_due_ = Now() + timeout;
    last_recv_ = Now();

    ZEK_FUZZ_CHECK(Readable(g_server_fd, 2000), "no login datagram reached the server");
    char buffer[2048];
    sockaddr_in from = {};
    socklen_t from_len = sizeof(from);
    const ssize_t n = recvfrom(g_server_fd, buffer, sizeof(buffer), 0,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
    ZEK_FUZZ_CHECK(n > 0, "reading the login failed: %s", strerror(errno));
    CheckLogin(std::string(buffer, static_cast<size_t>(n)));
    client_addr_ = from;
    client_fd_ = FindSocket(ntohs(from.sin_port));
    ZEK_FUZZ_CHECK(client_fd_ >= 0, "the client's socket was not found");
    return true;
  }

  void Run() {
    while (!in_->empty()) {
      switch (in_->Byte() % 9) {
        case 0:
          ToClient(in_->Blob(1600));
          break;
        case 1:
          ToClient(LoginReply());
          break;
        case 2:
          Advance(in_->U16());
          break;
        case 3:
          ServerSend(in_->Blob(3000));
          break;
        case 4:
          ServerSend(std::string(1, '\2') + zek_fuzz::EncodeField(in_->Blob(1600)));
          break;
        case 5: {
          const uint32_t code = in_->U32();
          ServerSend(std::string(1, '\4') + Be32(code) + zek_fuzz::EncodeField(in_->Blob(64)));
          break;
        }
        case 6:
          AppSend();
          break;
        case 7:
          Advance(in_->Byte());
          break;
        case 8:
          AdvanceToTimer(in_->Byte() % 3);
          break;
      }
      zek_fuzz::CompareReports(recorder_.reports, expected_);
    }
    zek_fuzz::MaybePrintReports(recorder_.reports);
  }

 private:
  static int Output(const char* data, int len, IKCPCB*, void* user) {
    static_cast<Harness*>(user)->SendRaw(std::string(data, static_cast<size_t>(len)));
    return 0;
  }

  int64_t Now() const { return rtc::TimeMillis(); }

  void CheckLogin(const std::string& login) {
    zek_fuzz::PacketModelReader r(login);
    const uint32_t tag = r.Int(2), b1 = r.Int(1), b2 = r.Int(1), word = r.Int(4);
    const std::string account = r.Text(), app = r.Text(), device = r.Text(), token = r.Text(),
                      nonce = r.Text();
    const uint32_t packet_size = r.Int(4);
    const std::string device_id = r.Text();
    ZEK_FUZZ_CHECK(!r.failed() && r.remaining() == 0, "the login datagram is not whole fields");
    ZEK_FUZZ_CHECK(tag == 0x63A9 && b1 == 2 && b2 == 1 && word == 0, "wrong login head");
    ZEK_FUZZ_CHECK(account == kAccount && app == kApp && device == kDevice && token == kToken &&
                       device_id == kDeviceId,
                   "the login carries other fields");
    ZEK_FUZZ_CHECK(nonce.size() == 36 && packet_size == kPacketSize, "nonce or packet size wrong");
  }

  std::string LoginReply() {
    const uint8_t how = in_->Byte();
    const uint16_t tag = in_->U16();
    const uint32_t code = (how & 1) ? 0 : in_->U32();
    const uint32_t conv = in_->U32();
    std::string reply = Be16(tag) + Be32(code) + Be32(conv) + zek_fuzz::EncodeField(in_->Blob(64));
    if (how & 2)
      reply += in_->Blob(32);
    if (how & 4)
      reply.resize(reply.size() < in_->Byte() ? reply.size() : in_->Byte());
    return reply;
  }

  // The script's own datagram to the client. It never carries the conversation's
  // tag and conv: those datagrams are the server engine's.
  void ToClient(std::string bytes) {
    if (has_session_ && bytes.size() >= 6 && bytes.compare(0, 6, Be16(tag_) + Be32(conv_)) == 0)
      bytes[0] = static_cast<char>(bytes[0] ^ 0x80);
    ModelDatagram(bytes, false);
    SendRaw(bytes);
    Pump();
  }

  void SendRaw(const std::string& bytes) {
    sendto(g_server_fd, bytes.data(), bytes.size(), 0,
           reinterpret_cast<const sockaddr*>(&client_addr_), sizeof(client_addr_));
    unread_ = true;
    // Every datagram from the server is a sign of life, read at this time.
    last_recv_ = Now();
  }

  // What the client does with a datagram from the server.
  void ModelDatagram(const std::string& bytes, bool from_engine) {
    if (connected_ || from_engine)
      return;  // the conversation's: into the engine, which reports through messages
    zek_fuzz::PacketModelReader r(bytes);
    const uint16_t tag = static_cast<uint16_t>(r.Int(2));
    const uint32_t code = r.Int(4);
    const uint32_t conv = r.Int(4);
    const std::string text = r.Text();
    if (r.failed()) {
      if (awaiting_) {
        awaiting_ = false;
        expected_.push_back(
            Report::Status(Connection::kConnFailed, 6, "login failed, response format error"));
      }
      return;
    }
    awaiting_ = false;
    if (code != 0) {
      expected_.push_back(Report::Status(Connection::kConnRefused, code, text));
      return;
    }
    connected_ = true;
    silent_ = false;
    has_session_ = true;
    tag_ = tag;
    conv_ = conv;
    tick_due_ = Now() + 5000;
    expected_.push_back(Report::Status(Connection::kConnLoggedIn, 0, text));
    // The server's side of the new conversation.
    if (server_kcp_)
      ikcp_release(server_kcp_);
    server_kcp_ = ikcp_create(conv, tag, this);
    server_kcp_->output = &Harness::Output;
    ikcp_nodelay(server_kcp_, 1, 10, 1, 1);
  }

  // What the client does with a complete message from the server's engine.
  void ModelMessage(const std::string& message) {
    if (!connected_ || silent_ || message.empty())
      return;
    zek_fuzz::PacketModelReader r(message);
    switch (r.Int(1)) {
      case 2: {
        const std::string text = r.Text();
        if (!r.failed())
          expected_.push_back(Report::Message(text));
        break;
      }
      case 4: {
        connected_ = false;
        const uint32_t code = r.Int(4);
        const std::string reason = r.Text();
        expected_.push_back(Report::Status(Connection::kConnLost, code, reason));
        break;
      }
      default:
        break;
    }
  }

  // The clock moves: due timers run, in the order they fall due.
  void Advance(uint32_t ms) {
    g_clock->AdvanceTimeMillis(ms);
    const int64_t now = Now();
    if (awaiting_ && now >= connect_due_) {
      awaiting_ = false;
      expected_.push_back(Report::Status(Connection::kConnFailed, 4, "connect server timeout"));
    }
    if (connected_ && !silent_ && now >= tick_due_) {
      if (static_cast<uint32_t>(now - last_recv_) <= 10000) {
        tick_due_ = now + 5000;
      } else {
        silent_ = true;
        expected_.push_back(Report::Status(Connection::kConnLost, 5, kSilentText));
      }
    }
    Pump();
  }

  // The clock lands just before (0), on (1) or just after (2) the next time-out the
  // connection has armed: where an off-by-one in a time comparison shows.
  void AdvanceToTimer(int where) {
    int64_t due = 0;
    if (awaiting_)
      due = connect_due_;
    else if (connected_ && !silent_)
      due = tick_due_;
    const int64_t to = due + where - 1;
    if (due > 0 && to > Now())
      Advance(static_cast<uint32_t>(to - Now()));
  }

  // Runs both sides until neither has anything left to read.
  void Pump() {
    for (int round = 0; round < 64; ++round) {
      if (unread_) {
        // A datagram from another socket, sent last: once it is waiting, everything
        // sent before it is too.
        const char marker = 0x7F;
        sendto(g_marker_fd, &marker, 1, 0, reinterpret_cast<const sockaddr*>(&client_addr_),
               sizeof(client_addr_));
        Readable(client_fd_, 2000);
        unread_ = false;
      }
      int guard = 0;
      do {
        rtc::Thread::Current()->ProcessMessages(0);
      } while (Readable(client_fd_, 0) && ++guard < 1024);

      bool got = false;
      char buffer[65536];
      sockaddr_in from = {};
      socklen_t from_len = sizeof(from);
      ssize_t n;
      while ((n = recvfrom(g_server_fd, buffer, sizeof(buffer), 0,
                           reinterpret_cast<sockaddr*>(&from), &from_len)) >= 0) {
        got = true;
        ServerInput(std::string(buffer, static_cast<size_t>(n)));
        from_len = sizeof(from);
      }
      if (server_kcp_) {
        ikcp_update(server_kcp_, rtc::Time32());
        ServerReceive();
      }
      if (!got && !unread_)
        return;
    }
  }

  void ServerInput(const std::string& datagram) {
    if (!server_kcp_ || datagram.size() < 6 ||
        datagram.compare(0, 6, Be16(server_kcp_->tag) + Be32(server_kcp_->conv)) != 0) {
      return;  // an earlier conversation's, still on its way
    }
    const int result = ikcp_input(server_kcp_, datagram.data(), static_cast<long>(datagram.size()));
    ZEK_FUZZ_CHECK(result == 0, "the server's engine refused the client's datagram with %d",
                   result);
  }

  void ServerReceive() {
    char buffer[4096];
    int n;
    while ((n = ikcp_recv(server_kcp_, buffer, sizeof(buffer))) >= 0) {
      const std::string message(buffer, static_cast<size_t>(n));
      if (message == "\5")
        continue;  // keep-alive
      ZEK_FUZZ_CHECK(received_ < app_messages_.size(),
                     "the server got a message of %d bytes the app never sent", n);
      ZEK_FUZZ_CHECK(message == app_messages_[received_], "app message %zu arrived as other bytes",
                     received_);
      received_++;
    }
  }

  // A message inside the conversation, from the server's engine.
  void ServerSend(const std::string& message) {
    if (!server_kcp_)
      return;
    if (ikcp_send(server_kcp_, message.data(), static_cast<int>(message.size())) != 0)
      return;
    ModelMessage(message);
    Settle();
  }

  void AppSend() {
    // The C API lets only the two known types through.
    const uint8_t type = in_->Byte() % 2;
    const std::string data = in_->Blob(1600);
    const int result = conn_->SendData(data.data(), static_cast<int>(data.size()),
                                       static_cast<tavix::im::ZEkMsgType>(type));
    const std::string text = data.substr(0, data.find('\0'));
    int expected = connected_ ? 0 : -1;
    std::string message;
    if (type == 0) {
      if (text.size() > static_cast<size_t>(KcpConnection::kMaxTextSize))
        expected = -1;
      message = std::string(1, '\2') + zek_fuzz::EncodeField(text);
    } else {
      message = std::string(1, '\3');
    }
    ZEK_FUZZ_CHECK(result == expected, "SendData returned %d, model %d", result, expected);
    if (result == 0)
      app_messages_.push_back(message);
    Settle();
  }

  // Moves the clock in poll steps until the server has everything acknowledged and
  // has the app's messages, then checks that it does.
  void Settle() {
    const bool flowing = has_session_ && !silent_;
    for (int step = 0; step < 300 && flowing; ++step) {
      const bool done =
          ikcp_waitsnd(server_kcp_) == 0 && (!connected_ || received_ == app_messages_.size());
      if (done && step >= 2)
        break;
      Advance(10);
    }
    if (!has_session_ || silent_)
      return;
    ZEK_FUZZ_CHECK(ikcp_waitsnd(server_kcp_) == 0,
                   "the client left %d of the server's segments unacknowledged",
                   ikcp_waitsnd(server_kcp_));
    if (connected_)
      ZEK_FUZZ_CHECK(received_ == app_messages_.size(), "the server got %zu of %zu app messages",
                     received_, app_messages_.size());
  }

  FuzzInput* in_;
  std::unique_ptr<KcpConnection> conn_;
  zek_fuzz::ReportRecorder recorder_;
  int client_fd_ = -1;
  sockaddr_in client_addr_ = {};
  bool unread_ = false;

  // The model of the connection.
  std::vector<Report> expected_;
  bool awaiting_ = true;
  int64_t connect_due_ = 0;
  bool connected_ = false;
  bool silent_ = false;  // the keep-alive found the server silent: the poll has stopped
  bool has_session_ = false;
  uint16_t tag_ = 0;
  uint32_t conv_ = 0;
  int64_t tick_due_ = 0;
  int64_t last_recv_ = 0;

  // The server's side.
  IKCPCB* server_kcp_ = nullptr;
  std::vector<std::string> app_messages_;
  size_t received_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_clock = new zek_test::ScopedFakeClock(int64_t{1000000} * rtc::kNumNanosecsPerMillisec);
  g_server_fd = BindLoopbackUdp(&g_server_port);
  g_marker_fd = BindLoopbackUdp(nullptr);
  rtc::Thread::Current();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Harness harness(&in);
  if (harness.Connect())
    harness.Run();
  return 0;
}
