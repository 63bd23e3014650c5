#include "tests/support/ws_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bytestring.h>
#include <openssl/err.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "rtc_base/base64.h"
#include "rtc_base/messagedigest.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/tls_server_context.h"

namespace zek_test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr size_t kReadChunk = 64 * 1024;
// Chunks read from one connection before the others and the actions get a turn.
constexpr int kReadBurst = 32;
// Pushes a stream writes in one pass of the loop before reading again.
constexpr int kStreamBurst = 8;
// An upgrade request that has not ended by then never will.
constexpr size_t kMaxRequest = 64 * 1024;
// A test that waits longer than this for an action has a stuck server.
constexpr auto kActionLimit = std::chrono::seconds(10);

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string Trim(const std::string& s) {
  const char kBlanks[] = " \t\r\n";
  size_t begin = s.find_first_not_of(kBlanks);
  if (begin == std::string::npos)
    return std::string();
  size_t end = s.find_last_not_of(kBlanks);
  return s.substr(begin, end - begin + 1);
}

WsUpgradeRequest ParseRequest(const std::string& raw) {
  WsUpgradeRequest req;
  req.raw = raw;
  size_t pos = 0;
  bool first = true;
  while (pos < raw.size()) {
    size_t eol = raw.find('\n', pos);
    if (eol == std::string::npos)
      eol = raw.size();
    std::string line = raw.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (first) {
      first = false;
      req.request_line = line;
      size_t sp1 = line.find(' ');
      size_t sp2 = line.rfind(' ');
      if (sp1 != std::string::npos && sp2 != sp1) {
        req.method = line.substr(0, sp1);
        req.path = line.substr(sp1 + 1, sp2 - sp1 - 1);
        req.version = line.substr(sp2 + 1);
      }
      continue;
    }
    if (line.empty())
      break;
    size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    req.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  return req;
}

// The frames of one text sent as `options` says.
std::string EncodeText(const std::string& text, const WsSendOptions& options) {
  const size_t count = std::max<size_t>(options.fragments, 1);
  std::string out;
  size_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    // Near-equal parts: the first `text.size() % count` parts get one byte more.
    size_t part = text.size() / count + (i < text.size() % count ? 1 : 0);
    WsFrameToSend to_send;
    to_send.opcode = i == 0 ? kWsOpText : kWsOpContinuation;
    to_send.payload = text.substr(offset, part);
    to_send.fin = i + 1 == count;
    to_send.rsv1 = i == 0 && options.rsv1;
    to_send.mask = options.mask;
    out += EncodeWsFrame(to_send);
    offset += part;
    if (i == 0 && options.pong_between) {
      WsFrameToSend pong;
      pong.opcode = kWsOpPong;
      pong.mask = options.mask;
      out += EncodeWsFrame(pong);
    }
  }
  return out;
}

int MsUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now)
    return 0;
  // Rounded up, so the timer is due when poll() returns.
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1;
  return static_cast<int>(std::min<int64_t>(ms, 60 * 1000));
}

void LowerTimeout(int* timeout_ms, int ms) {
  if (*timeout_ms < 0 || ms < *timeout_ms)
    *timeout_ms = ms;
}

}  // namespace

std::string WsAcceptFor(const std::string& key) {
  std::string hex = rtc::ComputeDigest("sha-1", key + kAcceptGuid);
  std::string digest;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    digest.push_back(static_cast<char>(HexValue(hex[i]) << 4 | HexValue(hex[i + 1])));
  std::string accept;
  rtc::Base64::EncodeFromArray(digest.data(), digest.size(), &accept);
  return accept;
}

std::string WsClosePayload(uint16_t status, const std::string& text) {
  std::string payload;
  payload.push_back(static_cast<char>(status >> 8));
  payload.push_back(static_cast<char>(status & 0xFF));
  return payload + text;
}

bool ParseJson(const std::string& text, Json::Value* out) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  *out = Json::Value();
  return reader->parse(text.data(), text.data() + text.size(), out, &errors);
}

std::string EncodeWsFrame(const WsFrameToSend& to_send) {
  std::string out;
  out.push_back(static_cast<char>((to_send.fin ? 0x80 : 0) | (to_send.rsv1 ? 0x40 : 0) |
                                  (to_send.rsv2 ? 0x20 : 0) | (to_send.rsv3 ? 0x10 : 0) |
                                  (to_send.opcode & 0x0F)));
  const uint64_t length = to_send.declared_length >= 0
                              ? static_cast<uint64_t>(to_send.declared_length)
                              : to_send.payload.size();
  WsLengthForm form = to_send.length_form;
  if (form == WsLengthForm::kShortest)
    form = length < 126 ? WsLengthForm::k7 : length < 65536 ? WsLengthForm::k16 : WsLengthForm::k64;
  const char mask_bit = to_send.mask ? '\x80' : '\0';
  switch (form) {
    case WsLengthForm::k16:
      out.push_back(static_cast<char>(mask_bit | 126));
      out.push_back(static_cast<char>((length >> 8) & 0xFF));
      out.push_back(static_cast<char>(length & 0xFF));
      break;
    case WsLengthForm::k64:
      out.push_back(static_cast<char>(mask_bit | 127));
      for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((length >> shift) & 0xFF));
      break;
    default:
      out.push_back(static_cast<char>(mask_bit | (length & 0x7F)));
      break;
  }
  if (!to_send.mask)
    return out + to_send.payload;
  char key[4];
  for (int i = 0; i < 4; ++i)
    key[i] = static_cast<char>((to_send.mask_key >> (24 - 8 * i)) & 0xFF);
  out.append(key, 4);
  const size_t start = out.size();
  out += to_send.payload;
  for (size_t i = 0; i < to_send.payload.size(); ++i)
    out[start + i] ^= key[i % 4];
  return out;
}

WsDecode DecodeWsFrame(const char* data,
                       size_t size,
                       WsFrame* frame,
                       size_t* consumed,
                       uint64_t max_payload) {
  const auto* u = reinterpret_cast<const unsigned char*>(data);
  if (size < 2)
    return WsDecode::kNeedMore;
  size_t header = 2;
  const int code = u[1] & 0x7F;
  uint64_t length = static_cast<uint64_t>(code);
  if (code == 126) {
    header = 4;
    if (size < header)
      return WsDecode::kNeedMore;
    length = static_cast<uint64_t>(u[2]) << 8 | u[3];
  } else if (code == 127) {
    header = 10;
    if (size < header)
      return WsDecode::kNeedMore;
    length = 0;
    for (int i = 2; i < 10; ++i)
      length = length << 8 | u[i];
  }
  if (length > max_payload)
    return WsDecode::kTooLarge;
  const bool masked = (u[1] & 0x80) != 0;
  uint32_t mask_key = 0;
  if (masked) {
    if (size < header + 4)
      return WsDecode::kNeedMore;
    for (int i = 0; i < 4; ++i)
      mask_key = mask_key << 8 | u[header + i];
    header += 4;
  }
  if (size - header < length)
    return WsDecode::kNeedMore;
  frame->fin = (u[0] & 0x80) != 0;
  frame->rsv1 = (u[0] & 0x40) != 0;
  frame->rsv2 = (u[0] & 0x20) != 0;
  frame->rsv3 = (u[0] & 0x10) != 0;
  frame->opcode = u[0] & 0x0F;
  frame->masked = masked;
  frame->mask_key = mask_key;
  frame->length_code = code;
  frame->payload.assign(data + header, static_cast<size_t>(length));
  if (masked) {
    for (size_t i = 0; i < frame->payload.size(); ++i)
      frame->payload[i] ^= static_cast<char>((mask_key >> (24 - 8 * (i % 4))) & 0xFF);
  }
  *consumed = header + static_cast<size_t>(length);
  return WsDecode::kFrame;
}

std::string WsUpgradeRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0)
      return header.second;
  }
  return std::string();
}

bool WsUpgradeRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0)
      return true;
  }
  return false;
}

struct WsTestServer::Action {
  std::function<bool()> fn;
  bool done = false;
  bool result = false;
};

// Server thread only, apart from the count in the destructor.
struct WsTestServer::Connection {
  Connection(WsTestServer* server, int fd, size_t id) : server(server), fd(fd), id(id) {}
  ~Connection() {
    if (fd >= 0)
      close(fd);
    std::lock_guard<std::recursive_mutex> lock(server->mutex_);
    --server->open_connections_;
  }

  WsTestServer* const server;
  int fd;
  const size_t id;

  bssl::UniquePtr<SSL> ssl;  // TLS only
  BIO* rbio = nullptr;       // owned by `ssl`
  BIO* wbio = nullptr;       // owned by `ssl`
  bool tls_done = false;
  // No more TLS processing: the session failed or the client sent close_notify.
  bool tls_dead = false;
  // Stream bytes written before the TLS handshake ended.
  std::string pending_app;

  // Stream bytes not handled yet, from `in_pos` on.
  std::string in;
  size_t in_pos = 0;
  // Raw bytes waiting for the socket.
  std::string out;

  bool upgraded = false;  // the request was read (and answered or not)
  bool logged_in = false;
  bool peer_closed = false;
  // poll() reported an error or hang-up; a silent server stops watching it.
  bool hup_seen = false;
  bool fin_pending = false;  // end the stream once `out` is empty
  bool write_shut = false;
  bool drop = false;  // close once `out` is empty
  bool dead = false;  // the socket is gone already

  bool ping_scheduled = false;
  Clock::time_point next_ping;
  // The payloads of the pings sent and not answered yet, oldest first.
  std::deque<std::string> unanswered_pings;
  // The server has sent a close frame of its own.
  bool close_sent = false;

  // The stream's pushes are this large; 0 while no stream runs on this connection.
  size_t stream_size = 0;

  // A paced reader waits until `next_read` before it reads again.
  bool read_paused = false;
  Clock::time_point next_read;

  // The held rest of a split handshake response.
  std::string rest;
  bool rest_held = false;
  bool rest_timed = false;
  Clock::time_point rest_at;

  bool Writable() const { return !dead && !write_shut && !fin_pending && !drop && !peer_closed; }
  bool Finished() const {
    return dead || ((drop || peer_closed) && out.empty()) || (write_shut && peer_closed);
  }
};

WsTestServer::WsTestServer() : WsTestServer(WsTestServerOptions()) {}

WsTestServer::WsTestServer(WsTestServerOptions options) : options_(std::move(options)) {
  config_.handshake = options_.handshake;
  config_.send_login_reply = options_.send_login_reply;
  config_.login_reply = options_.login_reply;
  config_.login_reply_options = options_.login_reply_options;
  config_.echo = options_.echo;
  config_.ping_interval_ms = options_.ping_interval_ms;
  config_.ping_payload = options_.ping_payload;
  config_.answer_pings = options_.answer_pings;
}

WsTestServer::~WsTestServer() {
  Stop();
}

bool WsTestServer::StartTls() {
  ctx_ = MakeTlsServerContext(options_.cert_common_name, options_.cert_dns_names,
                              options_.cert_ip_addresses, &ca_, &leaf_, options_.cert_self_signed);
  if (!ctx_)
    return false;
  SSL_CTX_set_select_certificate_cb(
      ctx_.get(), [](const SSL_CLIENT_HELLO* hello) -> ssl_select_cert_result_t {
        auto* self = static_cast<WsTestServer*>(SSL_get_app_data(hello->ssl));
        std::string name;
        ClientHelloServerName(hello, &name);
        std::lock_guard<std::recursive_mutex> lock(self->mutex_);
        self->sni_ = name;
        return ssl_select_cert_success;
      });
  return true;
}

bool WsTestServer::Start() {
  if (options_.tls && !StartTls())
    return false;
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (options_.receive_buffer > 0 &&
      setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer,
                 sizeof(options_.receive_buffer)) != 0) {
    ADD_FAILURE() << "SO_RCVBUF: " << strerror(errno);
    return false;
  }
  if (options_.max_segment > 0 &&
      setsockopt(listen_fd_, IPPROTO_TCP, TCP_MAXSEG, &options_.max_segment,
                 sizeof(options_.max_segment)) != 0) {
    ADD_FAILURE() << "TCP_MAXSEG: " << strerror(errno);
    return false;
  }
  port_ = BindTo(listen_fd_, options_.address, options_.port);
  if (port_ == 0 || listen(listen_fd_, 16) != 0 || !SetNonBlocking(listen_fd_)) {
    ADD_FAILURE() << "cannot listen on " << options_.address << ": " << strerror(errno);
    return false;
  }
  if (pipe2(wake_fds_, O_NONBLOCK | O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    running_ = true;
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void WsTestServer::Stop() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      stop_ = true;
      running_ = false;
    }
    Wake();
    thread_.join();
  }
  conns_.clear();
  {
    // Actions that came in while the thread was on its way out.
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto& action : actions_)
      action->done = true;
    actions_.clear();
    action_done_.notify_all();
  }
  for (int* fd : {&listen_fd_, &wake_fds_[0], &wake_fds_[1]}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

void WsTestServer::Wake() {
  char byte = 1;
  // A full pipe already holds a wake-up.
  ssize_t ignored = write(wake_fds_[1], &byte, 1);
  (void)ignored;
}

void WsTestServer::SetHandshake(const WsHandshakeOptions& handshake) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  config_.handshake = handshake;
}

void WsTestServer::SetLoginReply(bool send, const std::string& text, const WsSendOptions& options) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  config_.send_login_reply = send;
  config_.login_reply = text;
  config_.login_reply_options = options;
}

void WsTestServer::SetEcho(bool echo) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  config_.echo = echo;
}

void WsTestServer::SetPingInterval(int interval_ms) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    config_.ping_interval_ms = interval_ms;
  }
  RunOnServer([this, interval_ms] {
    const auto now = Clock::now();
    for (const auto& conn : conns_) {
      if (!conn->logged_in)
        continue;
      conn->ping_scheduled = interval_ms > 0;
      conn->next_ping = now + std::chrono::milliseconds(interval_ms);
    }
    return true;
  });
}

void WsTestServer::SetAnswerPings(bool answer) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  config_.answer_pings = answer;
}

void WsTestServer::SetSilent(bool silent) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    config_.silent = silent;
  }
  // A pass of the server's loop: a read under way when silence began is over
  // when this returns, and poll() watches the sockets for input again, or
  // stops doing so.
  RunOnServer([] { return true; });
}

WsTestServer::Config WsTestServer::ConfigSnapshot() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return config_;
}

bool WsTestServer::Silent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return config_.silent;
}

bool WsTestServer::RunOnServer(std::function<bool()> fn) {
  auto action = std::make_shared<Action>();
  action->fn = std::move(fn);
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!running_)
      return false;
    actions_.push_back(action);
  }
  Wake();
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  if (!action_done_.wait_for(lock, kActionLimit, [&] { return action->done; })) {
    ADD_FAILURE() << "the WebSocket test server did not run an action";
    return false;
  }
  return action->result;
}

bool WsTestServer::OnNewest(std::function<bool(Connection*)> fn) {
  // Copies throughout: an action that outlives its caller's wait must not
  // reach into the caller's frame.
  return RunOnServer([this, fn] {
    Connection* conn = Newest();
    if (!conn)
      return false;
    bool result = fn(conn);
    Flush(conn);
    return result;
  });
}

void WsTestServer::RunActions() {
  std::deque<std::shared_ptr<Action>> batch;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    batch.swap(actions_);
  }
  for (const auto& action : batch) {
    bool result = action->fn();
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    action->result = result;
    action->done = true;
  }
  if (!batch.empty()) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    action_done_.notify_all();
  }
}

WsTestServer::Connection* WsTestServer::Newest() {
  for (auto it = conns_.rbegin(); it != conns_.rend(); ++it) {
    if ((*it)->Writable())
      return it->get();
  }
  return nullptr;
}

bool WsTestServer::SendText(const std::string& text, const WsSendOptions& options) {
  return OnNewest([this, text, options](Connection* conn) {
    Write(conn, EncodeText(text, options));
    return true;
  });
}

bool WsTestServer::SendFrame(const WsFrameToSend& to_send) {
  return SendRaw(EncodeWsFrame(to_send));
}

bool WsTestServer::SendRaw(const std::string& bytes) {
  return OnNewest([this, bytes](Connection* conn) {
    Write(conn, bytes);
    return true;
  });
}

bool WsTestServer::SendUnfinishedMessage(size_t bytes, size_t frame_payload) {
  if (frame_payload == 0)
    return false;
  std::string stream;
  WsFrameToSend frame;
  frame.opcode = kWsOpText;
  frame.fin = false;
  size_t left = bytes;
  do {
    const size_t n = std::min(left, frame_payload);
    frame.payload.assign(n, 'x');
    stream += EncodeWsFrame(frame);
    frame.opcode = kWsOpContinuation;
    left -= n;
  } while (left > 0);
  return SendRaw(stream);
}

bool WsTestServer::SendPing(const std::string& payload) {
  WsFrameToSend to_send;
  to_send.opcode = kWsOpPing;
  to_send.payload = payload;
  const std::string bytes = EncodeWsFrame(to_send);
  return OnNewest([this, bytes, payload](Connection* conn) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Write(conn, bytes);
    Flush(conn);
    conn->unanswered_pings.push_back(payload);
    ++pings_sent_;
    return true;
  });
}

bool WsTestServer::SendClose(const std::string& payload) {
  WsFrameToSend to_send;
  to_send.opcode = kWsOpClose;
  to_send.payload = payload;
  const std::string bytes = EncodeWsFrame(to_send);
  return OnNewest([this, bytes](Connection* conn) {
    Write(conn, bytes);
    conn->close_sent = true;
    return true;
  });
}

bool WsTestServer::CloseConnection(CloseHow how) {
  return OnNewest([how](Connection* conn) {
    if (how == CloseHow::kFin) {
      conn->fin_pending = true;
      return true;
    }
    // A zero linger time turns close() into an RST.
    linger lg = {1, 0};
    setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(conn->fd);
    conn->fd = -1;
    conn->dead = true;
    conn->out.clear();
    return true;
  });
}

bool WsTestServer::StartStream(size_t size) {
  return OnNewest([this, size](Connection* conn) {
    for (const auto& other : conns_)
      other->stream_size = 0;
    conn->stream_size = std::max<size_t>(size, 1);
    Stream(conn);
    return true;
  });
}

bool WsTestServer::StopStream() {
  return RunOnServer([this] {
    for (const auto& conn : conns_)
      conn->stream_size = 0;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    stream_waiting_ = false;
    return true;
  });
}

bool WsTestServer::ReleaseHandshakeRest() {
  return OnNewest([this](Connection* conn) {
    if (!conn->rest_held)
      return false;
    conn->rest_held = false;
    Write(conn, conn->rest);
    conn->rest.clear();
    return true;
  });
}

void WsTestServer::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (stop_)
        break;
    }
    RunActions();
    int timeout_ms = -1;
    for (const auto& conn : conns_) {
      RunTimers(conn.get(), &timeout_ms);
      Flush(conn.get());
      // A stream whose socket took all of its burst writes on after a look at the input;
      // one whose push waits hears from poll() when the socket has room again.
      if (conn->stream_size > 0 && conn->out.empty())
        timeout_ms = 0;
    }
    conns_.erase(std::remove_if(conns_.begin(), conns_.end(),
                                [](const std::unique_ptr<Connection>& c) { return c->Finished(); }),
                 conns_.end());
    const bool silent = Silent();
    fds.clear();
    fds.push_back({wake_fds_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& conn : conns_) {
      short events = 0;
      const bool holding = silent || conn->read_paused;
      if (!holding && !conn->peer_closed)
        events |= POLLIN;
      if (!conn->out.empty() && !conn->write_shut)
        events |= POLLOUT;
      // poll() reports a hang-up whatever is asked; a server that is not reading
      // must not spin on it.
      int fd = holding && conn->hup_seen && !(events & POLLOUT) ? -1 : conn->fd;
      fds.push_back({fd, events, 0});
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
      ADD_FAILURE() << "poll: " << strerror(errno);
      break;
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake_fds_[0], drain, sizeof(drain)) > 0) {
      }
    }
    // Connections accepted now get their turn in the next pass.
    const size_t polled = conns_.size();
    if (fds[1].revents & POLLIN)
      Accept();
    for (size_t i = 0; i < polled; ++i)
      Service(conns_[i].get(), fds[i + 2].revents);
  }
  conns_.clear();
}

void WsTestServer::Accept() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
      return;
    // Small answers go out at once instead of waiting for the client's ACK.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    auto conn = std::make_unique<Connection>(this, fd, next_connection_id_++);
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      ++connections_;
      ++open_connections_;
    }
    if (options_.tls) {
      conn->ssl.reset(SSL_new(ctx_.get()));
      conn->rbio = BIO_new(BIO_s_mem());
      conn->wbio = BIO_new(BIO_s_mem());
      if (!conn->ssl || !conn->rbio || !conn->wbio) {
        ADD_FAILURE() << "cannot make a server TLS session";
        BIO_free(conn->rbio);
        BIO_free(conn->wbio);
        continue;
      }
      SSL_set_bio(conn->ssl.get(), conn->rbio, conn->wbio);
      SSL_set_accept_state(conn->ssl.get());
      SSL_set_app_data(conn->ssl.get(), this);
    }
    conns_.push_back(std::move(conn));
  }
}

void WsTestServer::Service(Connection* conn, short revents) {
  if (conn->dead)
    return;
  if (revents & (POLLERR | POLLHUP))
    conn->hup_seen = true;
  if ((revents & (POLLIN | POLLERR | POLLHUP)) && !Silent() && !conn->read_paused)
    ReadSocket(conn);
  Flush(conn);
  Stream(conn);
}

void WsTestServer::ReadSocket(Connection* conn) {
  if (conn->peer_closed || conn->dead)
    return;
  char buf[kReadChunk];
  const bool paced = options_.read_chunk > 0;
  const size_t chunk = paced ? std::min(options_.read_chunk, sizeof(buf)) : sizeof(buf);
  for (int i = 0; i < (paced ? 1 : kReadBurst); ++i) {
    ssize_t n = recv(conn->fd, buf, chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return;
    if (n <= 0) {
      MarkPeerClosed(conn);
      return;
    }
    if (conn->ssl) {
      if (!conn->tls_dead)
        BIO_write(conn->rbio, buf, static_cast<int>(n));
      DriveTls(conn);
    } else {
      conn->in.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      bytes_received_ += static_cast<size_t>(n);
    }
    ProcessInput(conn);
    if (conn->dead || conn->drop)
      return;
  }
  if (paced && options_.read_pause_ms > 0) {
    conn->read_paused = true;
    conn->next_read = Clock::now() + std::chrono::milliseconds(options_.read_pause_ms);
  }
}

void WsTestServer::DriveTls(Connection* conn) {
  if (conn->tls_dead)
    return;
  SSL* ssl = conn->ssl.get();
  if (!conn->tls_done) {
    ERR_clear_error();
    int ret = SSL_do_handshake(ssl);
    if (ret != 1) {
      int err = SSL_get_error(ssl, ret);
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
        // The client gave up (an alert) or sent something else than TLS: send
        // our alert, if any, and hang up.
        conn->tls_dead = true;
        conn->drop = true;
      }
      conn->out += DrainBio(conn->wbio);
      return;
    }
    conn->tls_done = true;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      ++tls_handshakes_;
    }
    if (!conn->pending_app.empty()) {
      std::string pending;
      pending.swap(conn->pending_app);
      SSL_write(ssl, pending.data(), static_cast<int>(pending.size()));
    }
  }
  char buf[kReadChunk];
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(ssl, buf, sizeof(buf));
    if (n <= 0) {
      int err = SSL_get_error(ssl, n);
      // close_notify from the client, or a broken record.
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
        conn->tls_dead = true;
      break;
    }
    conn->in.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bytes_received_ += static_cast<size_t>(n);
  }
  conn->out += DrainBio(conn->wbio);
}

void WsTestServer::ProcessInput(Connection* conn) {
  while (!conn->dead && !conn->drop && conn->in_pos < conn->in.size()) {
    if (!conn->upgraded) {
      size_t end = conn->in.find("\r\n\r\n", conn->in_pos);
      if (end == std::string::npos) {
        if (conn->in.size() - conn->in_pos > kMaxRequest)
          conn->drop = true;
        break;
      }
      HandleRequest(conn, end + 4);
      continue;
    }
    WsFrame frame;
    size_t consumed = 0;
    WsDecode result = DecodeWsFrame(conn->in.data() + conn->in_pos, conn->in.size() - conn->in_pos,
                                    &frame, &consumed);
    if (result == WsDecode::kNeedMore)
      break;
    if (result == WsDecode::kTooLarge) {
      conn->drop = true;
      break;
    }
    conn->in_pos += consumed;
    HandleFrame(conn, std::move(frame));
  }
  // Handled bytes go once per pass, not once per frame.
  conn->in.erase(0, conn->in_pos);
  conn->in_pos = 0;
}

void WsTestServer::HandleRequest(Connection* conn, size_t end) {
  WsUpgradeRequest req = ParseRequest(conn->in.substr(conn->in_pos, end - conn->in_pos));
  req.connection = conn->id;
  conn->in_pos = end;
  conn->upgraded = true;
  // The answer and the record are one step for the accessors.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const WsHandshakeOptions hs = config_.handshake;
  std::string accept = WsAcceptFor(req.Header("Sec-WebSocket-Key"));
  std::string status = "HTTP/1.1 101 " + hs.reason;
  std::string connection_key = "Connection";
  std::string response;
  switch (hs.reply) {
    case WsHandshakeReply::kStatus200:
      status = "HTTP/1.1 200 OK";
      break;
    case WsHandshakeReply::kHttp10:
      status = "HTTP/1.0 101 Switching Protocols";
      break;
    case WsHandshakeReply::kLowerCaseConnection:
      connection_key = "connection";
      break;
    case WsHandshakeReply::kWrongAccept:
      accept = WsAcceptFor(req.Header("Sec-WebSocket-Key") + "x");
      break;
    default:
      break;
  }
  switch (hs.reply) {
    case WsHandshakeReply::kCustom: {
      response = hs.custom_response;
      const std::string placeholder = "{accept}";
      for (size_t at = response.find(placeholder); at != std::string::npos;
           at = response.find(placeholder, at + accept.size())) {
        response.replace(at, placeholder.size(), accept);
      }
      break;
    }
    case WsHandshakeReply::kNone:
      break;
    case WsHandshakeReply::kClose:
      conn->fin_pending = true;
      break;
    default:
      response = status + "\r\nUpgrade: websocket\r\n" + connection_key +
                 ": Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n" + hs.extra_headers +
                 "\r\n";
      break;
  }
  if (!response.empty()) {
    response += hs.trailing_bytes;
    if (hs.split_first > 0 && hs.split_first < response.size()) {
      conn->rest = response.substr(hs.split_first);
      response.resize(hs.split_first);
      if (hs.split_delay_ms >= 0) {
        conn->rest_timed = true;
        conn->rest_at = Clock::now() + std::chrono::milliseconds(hs.split_delay_ms);
      } else {
        conn->rest_held = true;
      }
    }
    Write(conn, response);
  }
  Flush(conn);
  upgrade_requests_.push_back(std::move(req));
}

void WsTestServer::HandleFrame(Connection* conn, WsFrame frame) {
  frame.connection = conn->id;
  // The answer and the record are one step for the accessors.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const Config& config = config_;
  const bool answer = !config.silent;
  bool is_login = false;
  bool is_text = false;
  switch (frame.opcode) {
    case kWsOpText:
      if (!conn->logged_in) {
        conn->logged_in = true;
        is_login = true;
        if (answer && config.send_login_reply)
          Write(conn, EncodeText(config.login_reply, config.login_reply_options));
        if (config.ping_interval_ms > 0) {
          conn->ping_scheduled = true;
          conn->next_ping = Clock::now() + std::chrono::milliseconds(config.ping_interval_ms);
        }
      } else {
        is_text = true;
        if (answer && config.echo) {
          WsFrameToSend echo;
          echo.payload = frame.payload;
          Write(conn, EncodeWsFrame(echo));
        }
      }
      break;
    case kWsOpPing:
      if (answer && config.answer_pings) {
        WsFrameToSend pong;
        pong.opcode = kWsOpPong;
        pong.payload = frame.payload;
        Write(conn, EncodeWsFrame(pong));
      }
      break;
    case kWsOpPong:
      if (!conn->unanswered_pings.empty()) {
        const bool matches = frame.payload == conn->unanswered_pings.front();
        conn->unanswered_pings.pop_front();
        if (!matches) {
          ++pong_mismatches_;
          if (options_.strict_pongs && conn->Writable()) {
            WsFrameToSend close_frame;
            close_frame.opcode = kWsOpClose;
            close_frame.payload = WsClosePayload(1002, "");
            Write(conn, EncodeWsFrame(close_frame));
            conn->close_sent = true;
            conn->fin_pending = true;
          }
        }
      }
      break;
    case kWsOpClose:
      // The answer to our own close ends the closing handshake.
      if (conn->close_sent) {
        conn->fin_pending = true;
      } else if (answer && conn->Writable()) {
        WsFrameToSend close_frame;
        close_frame.opcode = kWsOpClose;
        close_frame.payload = frame.payload.substr(0, 2);
        Write(conn, EncodeWsFrame(close_frame));
        conn->fin_pending = true;
      }
      break;
    default:
      break;
  }
  Flush(conn);
  if (is_login)
    logins_.push_back(frame.payload);
  if (is_text)
    texts_.push_back(frame.payload);
  if (frame.opcode == kWsOpPing)
    ++pings_received_;
  if (frame.opcode == kWsOpPong)
    ++pongs_received_;
  frames_.push_back(std::move(frame));
}

void WsTestServer::RunTimers(Connection* conn, int* timeout_ms) {
  if (conn->dead)
    return;
  const auto now = Clock::now();
  if (conn->read_paused) {
    if (now >= conn->next_read)
      conn->read_paused = false;
    else
      LowerTimeout(timeout_ms, MsUntil(conn->next_read, now));
  }
  if (conn->rest_timed) {
    if (now >= conn->rest_at) {
      conn->rest_timed = false;
      Write(conn, conn->rest);
      conn->rest.clear();
    } else {
      LowerTimeout(timeout_ms, MsUntil(conn->rest_at, now));
    }
  }
  if (conn->ping_scheduled && conn->Writable()) {
    if (now >= conn->next_ping) {
      const Config config = ConfigSnapshot();
      if (config.ping_interval_ms <= 0) {
        conn->ping_scheduled = false;
        return;
      }
      if (!config.silent) {
        WsFrameToSend ping;
        ping.opcode = kWsOpPing;
        ping.payload = config.ping_payload;
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        Write(conn, EncodeWsFrame(ping));
        Flush(conn);
        conn->unanswered_pings.push_back(ping.payload);
        ++pings_sent_;
      }
      conn->next_ping = now + std::chrono::milliseconds(config.ping_interval_ms);
    }
    LowerTimeout(timeout_ms, MsUntil(conn->next_ping, now));
  }
}

void WsTestServer::Stream(Connection* conn) {
  if (conn->stream_size == 0)
    return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!conn->Writable()) {
    // Nothing more can reach the client.
    conn->stream_size = 0;
    stream_waiting_ = false;
    return;
  }
  // Whole pushes only, each once the one before has gone into the socket: what the
  // server answers meanwhile is queued behind the push being written, not inside it.
  for (int i = 0; i < kStreamBurst && conn->out.empty() && conn->Writable(); ++i) {
    WsFrameToSend push;
    push.payload = NumberedText(kWsPushKey, pushes_sent_, conn->stream_size);
    Write(conn, EncodeWsFrame(push));
    ++pushes_sent_;
    Flush(conn);
  }
  stream_waiting_ = !conn->out.empty();
}

void WsTestServer::Write(Connection* conn, const std::string& bytes) {
  if (bytes.empty() || conn->dead || conn->write_shut)
    return;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bytes_sent_ += bytes.size();
  }
  if (!conn->ssl) {
    conn->out += bytes;
    return;
  }
  if (!conn->tls_done) {
    conn->pending_app += bytes;
    return;
  }
  // The memory BIO takes every byte, so SSL_write never comes back short.
  if (SSL_write(conn->ssl.get(), bytes.data(), static_cast<int>(bytes.size())) !=
      static_cast<int>(bytes.size()))
    ADD_FAILURE() << "server SSL_write failed";
  conn->out += DrainBio(conn->wbio);
}

void WsTestServer::Flush(Connection* conn) {
  if (conn->dead)
    return;
  while (!conn->out.empty() && !conn->write_shut) {
    ssize_t n = send(conn->fd, conn->out.data(), conn->out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return;
      // The client is gone; nothing more can reach it.
      conn->out.clear();
      MarkPeerClosed(conn);
      return;
    }
    conn->out.erase(0, static_cast<size_t>(n));
  }
  if (conn->out.empty() && conn->fin_pending && !conn->write_shut) {
    shutdown(conn->fd, SHUT_WR);
    conn->write_shut = true;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++fins_sent_;
  }
}

void WsTestServer::MarkPeerClosed(Connection* conn) {
  if (conn->peer_closed)
    return;
  conn->peer_closed = true;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++peer_closes_;
}

size_t WsTestServer::connections() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return connections_;
}

size_t WsTestServer::open_connections() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return open_connections_;
}

size_t WsTestServer::pong_mismatches() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pong_mismatches_;
}

size_t WsTestServer::peer_closes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return peer_closes_;
}

size_t WsTestServer::fins_sent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return fins_sent_;
}

size_t WsTestServer::tls_handshakes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return tls_handshakes_;
}

std::string WsTestServer::sni() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return sni_;
}

std::vector<WsUpgradeRequest> WsTestServer::upgrade_requests() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return upgrade_requests_;
}

size_t WsTestServer::upgrade_count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return upgrade_requests_.size();
}

std::vector<WsFrame> WsTestServer::frames() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return frames_;
}

size_t WsTestServer::frame_count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return frames_.size();
}

std::vector<std::string> WsTestServer::logins() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return logins_;
}

size_t WsTestServer::login_count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return logins_.size();
}

std::vector<std::string> WsTestServer::texts() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return texts_;
}

size_t WsTestServer::text_count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return texts_.size();
}

size_t WsTestServer::pongs_received() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pongs_received_;
}

size_t WsTestServer::pings_received() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pings_received_;
}

size_t WsTestServer::pings_sent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pings_sent_;
}

size_t WsTestServer::pushes_sent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return pushes_sent_;
}

bool WsTestServer::stream_waiting() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return stream_waiting_;
}

size_t WsTestServer::bytes_received() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return bytes_received_;
}

size_t WsTestServer::bytes_sent() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return bytes_sent_;
}

}  // namespace zek_test
