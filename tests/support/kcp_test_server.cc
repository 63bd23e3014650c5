#include "tests/support/kcp_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rtc_base/timeutils.h"
#include "src/utilities/message.h"
#include "tests/support/numbered_text.h"

namespace zek_test {

namespace {

constexpr char kLoginHeader[kLoginHeaderSize] = {'\x63', '\xA9', 2, 1, 0, 0, 0, 0};
constexpr int kTickMs = 10;
// Datagrams taken from a socket before the engine gets its tick again.
constexpr int kReadBurst = 256;

// The engine's clock: the platform's monotonic clock, so that a fake clock installed by a
// test for the code under test does not stop the server.
uint32_t Now32() {
  return static_cast<uint32_t>(rtc::SystemTimeMillis());
}

uint32_t ReadBe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

uint16_t ReadBe16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

bool IsLogin(const std::string& bytes) {
  return bytes.size() >= kLoginHeaderSize &&
         memcmp(bytes.data(), kLoginHeader, kLoginHeaderSize) == 0;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string Bytes(const mavel::msg_packet_out& out) {
  return std::string(out.GetData(), static_cast<size_t>(out.GetSize()));
}

int BindUdp(const std::string& address, uint16_t port, uint16_t* bound_port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  addr.sin_port = htons(port);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound_port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

KcpTestServer::KcpTestServer(const KcpTestServerConfig& config)
    : config_(config), rng_state_(config.seed), recv_buffer_(65536) {}

KcpTestServer::~KcpTestServer() {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  EndSession();
}

bool KcpTestServer::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0 || thread_.joinable()) {
    SetError("already started");
    return false;
  }
  fd_ = BindUdp(config_.address, config_.port, &port_);
  if (fd_ < 0) {
    SetError("cannot bind " + config_.address + ":" + std::to_string(config_.port) + ", errno " +
             std::to_string(errno));
    return false;
  }
  other_fd_ = BindUdp(config_.address, 0, &other_port_);
  if (other_fd_ < 0) {
    SetError("cannot bind the second socket, errno " + std::to_string(errno));
    close(fd_);
    fd_ = -1;
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void KcpTestServer::Stop() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0)
    close(fd_);
  if (other_fd_ >= 0)
    close(other_fd_);
  fd_ = -1;
  other_fd_ = -1;
}

void KcpTestServer::Run() {
  while (!stop_) {
    int timeout = kTickMs;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kcp_) {
        const uint32_t now = Now32();
        const int32_t due = static_cast<int32_t>(ikcp_check(kcp_, now) - now);
        if (due < timeout)
          timeout = due < 1 ? 1 : due;
      }
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {other_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready > 0) {
      if (fds[0].revents & POLLIN)
        ReceiveOn(fd_, true);
      if (fds[1].revents & POLLIN)
        ReceiveOn(other_fd_, false);
    }
    if (kcp_)
      ikcp_update(kcp_, Now32());
  }
}

void KcpTestServer::ReceiveOn(int fd, bool main_socket) {
  for (int i = 0; i < kReadBurst; i++) {
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    const ssize_t n = recvfrom(fd, recv_buffer_.data(), recv_buffer_.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        SetError("recvfrom failed, errno " + std::to_string(errno));
      return;
    }
    if (!main_socket) {
      stats_.datagrams_other_port++;
      continue;
    }
    HandleDatagram(std::string(recv_buffer_.data(), static_cast<size_t>(n)), from);
  }
}

void KcpTestServer::HandleDatagram(const std::string& bytes, const sockaddr_in& from) {
  stats_.datagrams_received++;
  KcpDatagram* logged = nullptr;
  if (datagrams_.size() < config_.datagram_log_limit) {
    datagrams_.push_back(KcpDatagram{bytes, rtc::SystemTimeMillis(), false});
    logged = &datagrams_.back();
  }
  if (silent_) {
    stats_.datagrams_ignored_silent++;
    if (logged)
      logged->dropped = true;
    return;
  }

  // A segment of the running conversation is KCP even should it look like a login.
  const bool own_segment =
      kcp_ && have_client_ && SameAddress(from, client_) && bytes.size() >= kKcpHeaderSize &&
      ReadBe16(bytes.data()) == session_tag_ && ReadBe32(bytes.data() + 2) == session_conv_;
  if (!own_segment && IsLogin(bytes)) {
    HandleLogin(bytes, from);
    return;
  }
  if (!kcp_) {
    stats_.datagrams_unexpected++;
    SetError("a datagram that is no login while no session runs");
    return;
  }
  if (!SameAddress(from, client_)) {
    stats_.datagrams_foreign++;
    return;
  }
  if (state_ == State::kClosed && own_segment)
    stats_.kcp_datagrams_in_after_close++;
  if (config_.drop_in > 0 && NextUnit() < config_.drop_in) {
    stats_.datagrams_dropped_in++;
    if (logged)
      logged->dropped = true;
    return;
  }
  if (ikcp_input(kcp_, bytes.data(), static_cast<long>(bytes.size())) < 0)
    stats_.datagrams_refused_by_engine++;
  Pump();
}

void KcpTestServer::HandleLogin(const std::string& bytes, const sockaddr_in& from) {
  KcpLogin login;
  login.raw = bytes;
  login.from_port = ntohs(from.sin_port);
  login.time_ms = rtc::SystemTimeMillis();
  mavel::msg_packet_in in(bytes.data(), static_cast<int>(bytes.size()));
  in >> login.head_tag >> login.head_b1 >> login.head_b2 >> login.head_word >> login.account_id >>
      login.app_id >> login.device_type >> login.token >> login.nonce >> login.packet_size >>
      login.device_id;
  int remaining = 0;
  in.ReadData(remaining);
  login.well_formed = !in.Failed() && remaining == 0;
  if (!login.well_formed)
    SetError("a malformed login datagram");
  logins_.push_back(login);

  // Whatever the answer, the client that logs in again has given up its old session.
  EndSession();
  client_ = from;
  have_client_ = true;
  KcpLoginReply reply = config_.reply;
  if (!queued_replies_.empty()) {
    reply = queued_replies_.front();
    queued_replies_.pop_front();
  }
  ApplyReply(reply);
}

void KcpTestServer::ApplyReply(const KcpLoginReply& reply) {
  using Kind = KcpLoginReply::Kind;
  if (reply.kind == Kind::kNone)
    return;

  mavel::msg_packet_out out;
  const uint32_t code = reply.kind == Kind::kRefuse ? reply.code : 0;
  out << reply.tag << code << reply.conv;
  std::string bytes;
  switch (reply.kind) {
    case Kind::kAccept:
    case Kind::kRefuse:
      out << reply.text;
      bytes = Bytes(out);
      break;
    case Kind::kTruncated:
      out << reply.text;
      bytes = Bytes(out).substr(0, reply.truncate_to);
      break;
    case Kind::kEmpty:
      break;
    case Kind::kLyingLength:
      out << static_cast<unsigned short>(reply.text.size() + 1 + 10);
      out.WriteData(reply.text.data(), static_cast<int>(reply.text.size()));
      out << static_cast<unsigned char>(0);
      bytes = Bytes(out);
      break;
    case Kind::kGarbage:
      for (size_t i = 0; i < reply.garbage_size; i++)
        bytes.push_back(static_cast<char>(static_cast<unsigned char>(NextUnit() * 256)));
      break;
    case Kind::kNone:
      break;
  }
  if (out.Failed()) {
    SetError("the login reply does not fit into a packet");
    return;
  }
  SendTo(reply.from_other_port ? other_fd_ : fd_, bytes, client_);
  stats_.replies_sent++;
  if (reply.kind == Kind::kAccept)
    StartSession(reply);
}

void KcpTestServer::StartSession(const KcpLoginReply& reply) {
  EndSession();
  kcp_ = ikcp_create(reply.conv, reply.tag, this);
  if (!kcp_) {
    SetError("cannot create the KCP engine");
    return;
  }
  kcp_->output = &KcpTestServer::Output;
  const KcpEngineSettings& e = config_.engine;
  ikcp_nodelay(kcp_, e.nodelay, e.interval, e.fast_resend, e.no_cwnd);
  session_tag_ = reply.tag;
  session_conv_ = reply.conv;
  state_ = State::kSession;
  ikcp_update(kcp_, Now32());
}

void KcpTestServer::EndSession() {
  if (kcp_)
    ikcp_release(kcp_);
  kcp_ = nullptr;
  state_ = State::kWaitingLogin;
  closing_ = false;
  stream_size_ = 0;
}

void KcpTestServer::Pump() {
  ikcp_update(kcp_, Now32());
  for (;;) {
    const int size = ikcp_peeksize(kcp_);
    if (size < 0)
      break;
    if (recv_buffer_.size() < static_cast<size_t>(size))
      recv_buffer_.resize(static_cast<size_t>(size));
    const int got = ikcp_recv(kcp_, recv_buffer_.data(), static_cast<int>(recv_buffer_.size()));
    if (got < 0)
      break;
    HandleMessage(std::string(recv_buffer_.data(), static_cast<size_t>(got)));
  }
  // What an acknowledgement made room for is queued before the flush that sends it.
  Stream();
  // Acknowledgements and echoes go out now rather than at the next interval.
  ikcp_flush(kcp_);
}

void KcpTestServer::HandleMessage(const std::string& bytes) {
  KcpClientMessage message;
  message.bytes = bytes;
  message.time_ms = rtc::SystemTimeMillis();
  if (!bytes.empty())
    message.type = static_cast<unsigned char>(bytes[0]);
  switch (message.type) {
    case kKcpMsgText: {
      ++text_count_;
      mavel::msg_packet_in in(bytes.data(), static_cast<int>(bytes.size()));
      unsigned char type = 0;
      in >> type >> message.text;
      int remaining = 0;
      in.ReadData(remaining);
      message.well_formed = !in.Failed() && remaining == 0;
      if (config_.echo) {
        mavel::msg_packet_out out;
        out << kKcpMsgText << message.text;
        if (out.Failed())
          SetError("the echo does not fit into a packet");
        else
          QueueKcp(out.GetData(), out.GetSize());
      }
      break;
    }
    case kKcpMsgKeepAlive:
      stats_.keepalives++;
      keepalive_times_.push_back(message.time_ms);
      message.well_formed = bytes.size() == 1;
      break;
    case kKcpMsgNoPayload:
      message.well_formed = bytes.size() == 1;
      break;
    default:
      break;
  }
  messages_.push_back(std::move(message));
}

void KcpTestServer::Stream() {
  if (stream_size_ == 0 || !kcp_ || state_ != State::kSession)
    return;
  // Two windows: one in flight, one ready to follow as acknowledgements come.
  const int room = static_cast<int>(2 * kcp_->send_window);
  while (ikcp_waitsnd(kcp_) < room) {
    mavel::msg_packet_out out;
    out << kKcpMsgText << NumberedText(kKcpPushKey, pushes_sent_, stream_size_);
    if (out.Failed() || !QueueKcp(out.GetData(), out.GetSize())) {
      stream_size_ = 0;
      return;
    }
    ++pushes_sent_;
  }
}

bool KcpTestServer::QueueKcp(const char* data, int length) {
  if (!kcp_)
    return false;
  const int result = ikcp_send(kcp_, data, length);
  if (result < 0) {
    SetError("ikcp_send failed: " + std::to_string(result));
    return false;
  }
  return true;
}

int KcpTestServer::Output(const char* data, int length, IKCPCB* /*kcp*/, void* user) {
  auto* self = static_cast<KcpTestServer*>(user);
  if (self->silent_)
    return 0;
  if (self->config_.drop_out > 0 && self->NextUnit() < self->config_.drop_out) {
    self->stats_.kcp_datagrams_dropped_out++;
    return 0;
  }
  self->SendTo(self->fd_, std::string(data, static_cast<size_t>(length)), self->client_);
  self->stats_.kcp_datagrams_sent++;
  if (self->state_ == State::kClosed)
    self->stats_.kcp_datagrams_out_after_close++;
  return 0;
}

void KcpTestServer::SendTo(int fd, const std::string& bytes, const sockaddr_in& to) {
  if (fd < 0)
    return;
  if (sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
             sizeof(to)) < 0)
    SetError("sendto failed, errno " + std::to_string(errno));
}

bool KcpTestServer::SendKcpNow(const char* data, int length) {
  if (fd_ < 0 || !QueueKcp(data, length))
    return false;
  ikcp_update(kcp_, Now32());
  ikcp_flush(kcp_);
  return true;
}

bool KcpTestServer::SendText(const std::string& text) {
  mavel::msg_packet_out out;
  out << kKcpMsgText << text;
  std::lock_guard<std::mutex> lock(mutex_);
  if (out.Failed()) {
    SetError("the text does not fit into a packet");
    return false;
  }
  return SendKcpNow(out.GetData(), out.GetSize());
}

bool KcpTestServer::SendMessage(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return SendKcpNow(bytes.data(), static_cast<int>(bytes.size()));
}

bool KcpTestServer::SendClose(uint32_t code, const std::string& reason) {
  mavel::msg_packet_out out;
  out << kKcpMsgClose << code << reason;
  std::lock_guard<std::mutex> lock(mutex_);
  if (out.Failed()) {
    SetError("the close does not fit into a packet");
    return false;
  }
  if (fd_ < 0 || !QueueKcp(out.GetData(), out.GetSize()))
    return false;
  // Every segment queued so far, the close's included, is numbered below this.
  close_end_ = kcp_->send_next + kcp_->send_queue_count;
  closing_ = true;
  state_ = State::kClosed;
  ikcp_update(kcp_, Now32());
  ikcp_flush(kcp_);
  return true;
}

bool KcpTestServer::StartStream(size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || !kcp_ || state_ != State::kSession || size == 0 || size > kKcpMaxText)
    return false;
  stream_size_ = size;
  // The client's receive window, not the server's own smaller default, is what holds
  // the stream back.
  ikcp_wndsize(kcp_, static_cast<int>(kKcpRecvWindow), 0);
  Stream();
  ikcp_update(kcp_, Now32());
  ikcp_flush(kcp_);
  return true;
}

void KcpTestServer::StopStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  stream_size_ = 0;
}

bool KcpTestServer::SendLoginReply(const KcpLoginReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!have_client_ || fd_ < 0)
    return false;
  EndSession();
  ApplyReply(reply);
  return true;
}

bool KcpTestServer::SendDatagram(const std::string& bytes, bool from_other_port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!have_client_ || fd_ < 0)
    return false;
  SendTo(from_other_port ? other_fd_ : fd_, bytes, client_);
  return true;
}

void KcpTestServer::SetLoginReply(const KcpLoginReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.reply = reply;
}

void KcpTestServer::QueueLoginReply(const KcpLoginReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_replies_.push_back(reply);
}

void KcpTestServer::SetEcho(bool echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.echo = echo;
}

void KcpTestServer::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

void KcpTestServer::SetDropRates(double drop_in, double drop_out) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.drop_in = drop_in;
  config_.drop_out = drop_out;
}

void KcpTestServer::ResetSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndSession();
}

KcpTestServer::State KcpTestServer::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::vector<KcpLogin> KcpTestServer::logins() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logins_;
}

std::vector<KcpClientMessage> KcpTestServer::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> KcpTestServer::texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> texts;
  for (const KcpClientMessage& message : messages_) {
    if (message.type == kKcpMsgText)
      texts.push_back(message.text);
  }
  return texts;
}

size_t KcpTestServer::text_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_count_;
}

std::vector<int64_t> KcpTestServer::keepalive_times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keepalive_times_;
}

std::vector<KcpDatagram> KcpTestServer::datagrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return datagrams_;
}

KcpTestServerStats KcpTestServer::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

bool KcpTestServer::close_acknowledged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closing_ && kcp_ && static_cast<int32_t>(kcp_->send_unacked - close_end_) >= 0;
}

int KcpTestServer::waitsnd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kcp_ ? ikcp_waitsnd(kcp_) : -1;
}

size_t KcpTestServer::pushes_sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pushes_sent_;
}

std::string KcpTestServer::last_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

// splitmix64: the same sequence on every platform for a given seed.
double KcpTestServer::NextUnit() {
  uint64_t z = (rng_state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ull << 53);
}

void KcpTestServer::SetError(const std::string& error) {
  last_error_ = error;
}

}  // namespace zek_test
