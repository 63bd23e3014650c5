#include "fuzz/common/memory_socket.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

namespace zek_fuzz {

MemorySocket::MemorySocket() = default;

MemorySocket::~MemorySocket() {
  if (destroyed_flag_)
    *destroyed_flag_ = true;
  if (sent_on_destroy_)
    *sent_on_destroy_ = sent_;
}

void MemorySocket::CompleteConnect() {
  if (state_ != SOCKET_CONNECTING)
    return;
  state_ = SOCKET_CONNECTED;
  SignalConnected(this);
}

bool MemorySocket::Deliver(const std::string& bytes) {
  if (state_ == SOCKET_CLOSED)
    return true;
  if (inbound_pos_ == inbound_.size()) {
    inbound_.clear();
    inbound_pos_ = 0;
  }
  inbound_ += bytes;
  // A platform socket stays readable while bytes are waiting; each event must take
  // some of them or end the stream.
  while (pending() > 0 && state_ != SOCKET_CLOSED) {
    const size_t before = pending();
    SignalReadable(this);
    if (state_ != SOCKET_CLOSED && pending() == before)
      return false;
  }
  return true;
}

void MemorySocket::RaiseClosed(int error) {
  if (state_ == SOCKET_CLOSED)
    return;
  state_ = SOCKET_CLOSED;
  error_ = error;
  SignalClosed(this, error);
}

void MemorySocket::RaiseWritable() {
  if (state_ == SOCKET_CONNECTED)
    SignalWritable(this);
}

void MemorySocket::RaiseReadableFailing(int error) {
  if (state_ == SOCKET_CLOSED)
    return;
  // Bytes already waiting are kept out of this event: it reads nothing.
  fail_next_recv_ = error != 0 ? error : EWOULDBLOCK;
  SignalReadable(this);
  fail_next_recv_ = 0;
}

rtc::SocketAddress MemorySocket::GetLocalAddress() const {
  return local_;
}

rtc::SocketAddress MemorySocket::GetRemoteAddress() const {
  return remote_;
}

int MemorySocket::Bind(const rtc::SocketAddress& address) {
  local_ = address;
  return 0;
}

int MemorySocket::Connect(const rtc::SocketAddress& address) {
  remote_ = address;
  state_ = SOCKET_CONNECTING;
  return 0;
}

int MemorySocket::Send(const void* data, size_t length) {
  if (state_ != SOCKET_CONNECTED) {
    error_ = ENOTCONN;
    return -1;
  }
  size_t take = length;
  if (send_budget_ >= 0 && take > static_cast<size_t>(send_budget_))
    take = static_cast<size_t>(send_budget_);
  if (take == 0 && length > 0) {
    error_ = EWOULDBLOCK;
    return -1;
  }
  sent_.append(static_cast<const char*>(data), take);
  if (send_budget_ >= 0)
    send_budget_ -= static_cast<long>(take);
  error_ = 0;
  return static_cast<int>(take);
}

int MemorySocket::SendTo(const void* /*data*/,
                         size_t /*length*/,
                         const rtc::SocketAddress& /*address*/) {
  error_ = ENOTCONN;
  return -1;
}

int MemorySocket::Recv(void* buffer, size_t capacity, int64_t* timestamp) {
  if (timestamp)
    *timestamp = -1;
  if (state_ == SOCKET_CLOSED) {
    error_ = ENOTCONN;
    return -1;
  }
  if (fail_next_recv_ != 0) {
    error_ = fail_next_recv_;
    fail_next_recv_ = 0;
    return -1;
  }
  size_t take = pending();
  if (take == 0) {
    error_ = EWOULDBLOCK;
    return -1;
  }
  if (take > capacity)
    take = capacity;
  if (recv_limit_ > 0 && take > recv_limit_)
    take = recv_limit_;
  memcpy(buffer, inbound_.data() + inbound_pos_, take);
  inbound_pos_ += take;
  error_ = 0;
  return static_cast<int>(take);
}

int MemorySocket::RecvFrom(void* buffer,
                           size_t capacity,
                           rtc::SocketAddress* source,
                           int64_t* timestamp) {
  if (source)
    *source = remote_;
  return Recv(buffer, capacity, timestamp);
}

int MemorySocket::Listen(int /*backlog*/) {
  error_ = EOPNOTSUPP;
  return -1;
}

rtc::AsyncSocket* MemorySocket::Accept(rtc::SocketAddress* /*peer*/) {
  error_ = EOPNOTSUPP;
  return nullptr;
}

int MemorySocket::Close() {
  state_ = SOCKET_CLOSED;
  return 0;
}

int MemorySocket::GetError() const {
  return error_;
}

void MemorySocket::SetError(int error) {
  error_ = error;
}

rtc::Socket::ConnectionState MemorySocket::GetState() const {
  return state_;
}

int MemorySocket::GetOption(Option /*option*/, int* value) {
  *value = 0;
  return 0;
}

int MemorySocket::SetOption(Option /*option*/, int /*value*/) {
  return 0;
}

rtc::Socket* MemorySocketServer::CreateSocket(int /*family*/, int /*type*/) {
  return nullptr;
}

rtc::AsyncSocket* MemorySocketServer::CreateAsyncSocket(int /*family*/, int type) {
  if (fail_next_ || type != SOCK_STREAM) {
    fail_next_ = false;
    return nullptr;
  }
  latest_ = new MemorySocket();
  destroyed_ = false;
  latest_->set_destroyed_flag(&destroyed_);
  return latest_;
}

bool MemorySocketServer::Wait(int /*milliseconds*/, bool /*process_io*/) {
  return true;
}

void MemorySocketServer::WakeUp() {}

}  // namespace zek_fuzz
