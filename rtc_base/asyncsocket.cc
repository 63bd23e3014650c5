#include "rtc_base/asyncsocket.h"

#include <errno.h>

namespace rtc {

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket() = default;

AsyncSocketAdapter::AsyncSocketAdapter(AsyncSocket* socket) {
  Attach(socket);
}

AsyncSocketAdapter::~AsyncSocketAdapter() = default;

void AsyncSocketAdapter::Attach(AsyncSocket* socket) {
  socket_.reset(socket);
  if (socket_) {
    socket_->SignalConnected.connect(this, &AsyncSocketAdapter::OnConnectEvent);
    socket_->SignalReadable.connect(this, &AsyncSocketAdapter::OnReadEvent);
    socket_->SignalWritable.connect(this, &AsyncSocketAdapter::OnWriteEvent);
    socket_->SignalClosed.connect(this, &AsyncSocketAdapter::OnCloseEvent);
  }
}

// Without a socket there is nothing to forward to; every operation fails as a
// socket that is not connected would.

SocketAddress AsyncSocketAdapter::GetLocalAddress() const {
  return socket_ ? socket_->GetLocalAddress() : SocketAddress();
}

SocketAddress AsyncSocketAdapter::GetRemoteAddress() const {
  return socket_ ? socket_->GetRemoteAddress() : SocketAddress();
}

int AsyncSocketAdapter::Bind(const SocketAddress& address) {
  return socket_ ? socket_->Bind(address) : -1;
}

int AsyncSocketAdapter::Connect(const SocketAddress& address) {
  return socket_ ? socket_->Connect(address) : -1;
}

int AsyncSocketAdapter::Send(const void* data, size_t length) {
  return socket_ ? socket_->Send(data, length) : -1;
}

int AsyncSocketAdapter::SendTo(const void* data, size_t length, const SocketAddress& address) {
  return socket_ ? socket_->SendTo(data, length, address) : -1;
}

int AsyncSocketAdapter::Recv(void* buffer, size_t capacity, int64_t* timestamp) {
  return socket_ ? socket_->Recv(buffer, capacity, timestamp) : -1;
}

int AsyncSocketAdapter::RecvFrom(void* buffer,
                                 size_t capacity,
                                 SocketAddress* source,
                                 int64_t* timestamp) {
  return socket_ ? socket_->RecvFrom(buffer, capacity, source, timestamp) : -1;
}

int AsyncSocketAdapter::Listen(int backlog) {
  return socket_ ? socket_->Listen(backlog) : -1;
}

AsyncSocket* AsyncSocketAdapter::Accept(SocketAddress* peer) {
  return socket_ ? socket_->Accept(peer) : nullptr;
}

int AsyncSocketAdapter::Close() {
  return socket_ ? socket_->Close() : -1;
}

int AsyncSocketAdapter::GetError() const {
  return socket_ ? socket_->GetError() : ENOTCONN;
}

void AsyncSocketAdapter::SetError(int error) {
  if (socket_) {
    socket_->SetError(error);
  }
}

Socket::ConnectionState AsyncSocketAdapter::GetState() const {
  return socket_ ? socket_->GetState() : SOCKET_CLOSED;
}

int AsyncSocketAdapter::GetOption(Option option, int* value) {
  return socket_ ? socket_->GetOption(option, value) : -1;
}

int AsyncSocketAdapter::SetOption(Option option, int value) {
  return socket_ ? socket_->SetOption(option, value) : -1;
}

void AsyncSocketAdapter::OnConnectEvent(AsyncSocket* /*socket*/) {
  SignalConnected(this);
}

void AsyncSocketAdapter::OnReadEvent(AsyncSocket* /*socket*/) {
  SignalReadable(this);
}

void AsyncSocketAdapter::OnWriteEvent(AsyncSocket* /*socket*/) {
  SignalWritable(this);
}

void AsyncSocketAdapter::OnCloseEvent(AsyncSocket* /*socket*/, int error) {
  SignalClosed(this, error);
}

}  // namespace rtc
