#include "rtc_base/asynctcpsocket.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "rtc_base/logging.h"

namespace rtc {
namespace {

// A data socket's first input capacity, and the free space below which the input
// buffer grows before a read.
constexpr size_t kMinRecvSpace = 128;

}  // namespace

AsyncSocket* AsyncTCPSocketBase::ConnectSocket(AsyncSocket* socket,
                                               const SocketAddress& bind_address,
                                               const SocketAddress& remote_address) {
  std::unique_ptr<AsyncSocket> owned(socket);
  if (owned->Bind(bind_address) < 0) {
    RTC_LOG(LS_ERROR) << "Bind() failed with error " << owned->GetError();
    return nullptr;
  }
  if (owned->Connect(remote_address) < 0) {
    RTC_LOG(LS_ERROR) << "Connect() failed with error " << owned->GetError();
    return nullptr;
  }
  return owned.release();
}

AsyncTCPSocketBase::AsyncTCPSocketBase(AsyncSocket* socket, bool listen, size_t max_packet_size)
    : socket_(socket),
      listening_(listen),
      max_input_size_(max_packet_size),
      max_output_size_(max_packet_size) {
  if (!listening_)
    input_buffer_.EnsureCapacity(kMinRecvSpace);
  socket_->SignalConnected.connect(this, &AsyncTCPSocketBase::OnConnectEvent);
  socket_->SignalReadable.connect(this, &AsyncTCPSocketBase::OnReadEvent);
  socket_->SignalWritable.connect(this, &AsyncTCPSocketBase::OnWriteEvent);
  socket_->SignalClosed.connect(this, &AsyncTCPSocketBase::OnCloseEvent);
  if (listening_ && socket_->Listen(5) < 0)
    RTC_LOG(LS_ERROR) << "Listen() failed with error " << socket_->GetError();
}

AsyncTCPSocketBase::~AsyncTCPSocketBase() = default;

SocketAddress AsyncTCPSocketBase::GetLocalAddress() const {
  return socket_->GetLocalAddress();
}

SocketAddress AsyncTCPSocketBase::GetRemoteAddress() const {
  return socket_->GetRemoteAddress();
}

int AsyncTCPSocketBase::Close() {
  return socket_->Close();
}

AsyncPacketSocket::PacketSocketState AsyncTCPSocketBase::GetState() const {
  switch (socket_->GetState()) {
    case Socket::SOCKET_CONNECTING:
      return listening_ ? PS_BOUND : PS_CONNECTING;
    case Socket::SOCKET_CONNECTED:
      return PS_CONNECTED;
    case Socket::SOCKET_CLOSED:
    default:
      return PS_CLOSED;
  }
}

int AsyncTCPSocketBase::GetOption(Socket::Option option, int* value) {
  return socket_->GetOption(option, value);
}

int AsyncTCPSocketBase::SetOption(Socket::Option option, int value) {
  return socket_->SetOption(option, value);
}

int AsyncTCPSocketBase::GetError() const {
  return socket_->GetError();
}

void AsyncTCPSocketBase::SetError(int error) {
  socket_->SetError(error);
}

int AsyncTCPSocketBase::SendTo(const void* data,
                               size_t length,
                               const SocketAddress& destination,
                               const PacketOptions& options) {
  if (destination == GetRemoteAddress())
    return Send(data, length, options);
  SetError(ENOTCONN);
  return -1;
}

int AsyncTCPSocketBase::SendRaw(const void* data, size_t length) {
  const size_t queued = output_buffer_.size();
  if (queued + length > max_output_size_) {
    SetError(EMSGSIZE);
    return -1;
  }
  output_buffer_.AppendData(static_cast<const unsigned char*>(data), length);
  // Once queued the bytes are ours: whatever part this first attempt cannot write
  // leaves on later write events, and a caller told to retry would send it twice.
  // Only a socket that refuses outright (not a would-block) gets them back, since
  // they could never leave; nothing was written, so they are still the tail.
  if (FlushOutBuffer() < 0 && !socket_->IsBlocking()) {
    output_buffer_.SetSize(queued);
    return -1;
  }
  return static_cast<int>(length);
}

int AsyncTCPSocketBase::FlushOutBuffer() {
  const int res = socket_->Send(output_buffer_.data(), output_buffer_.size());
  if (res <= 0)
    return res;
  const size_t sent = static_cast<size_t>(res);
  if (sent > output_buffer_.size())
    return -1;
  const size_t left = output_buffer_.size() - sent;
  if (left > 0)
    memmove(output_buffer_.data(), output_buffer_.data() + sent, left);
  output_buffer_.SetSize(left);
  return res;
}

void AsyncTCPSocketBase::OnConnectEvent(AsyncSocket* /*socket*/) {
  SignalStreamConnected(this);
}

void AsyncTCPSocketBase::OnReadEvent(AsyncSocket* socket) {
  if (listening_) {
    SocketAddress address;
    AsyncSocket* new_socket = socket->Accept(&address);
    if (!new_socket) {
      RTC_LOG(LS_ERROR) << "TCP accept failed with error " << socket_->GetError();
      return;
    }
    HandleIncomingConnection(new_socket);
    // Data that came with the connection is read at once.
    new_socket->SignalReadable(new_socket);
    return;
  }

  size_t total = 0;
  while (true) {
    size_t free = input_buffer_.capacity() - input_buffer_.size();
    if (free < kMinRecvSpace && input_buffer_.capacity() < max_input_size_) {
      input_buffer_.EnsureCapacity(std::min(max_input_size_, input_buffer_.capacity() * 2));
      free = input_buffer_.capacity() - input_buffer_.size();
    }
    if (free == 0) {
      if (total > 0)
        break;  // the subclass gets what this event read first
      // Left full by an earlier event; reading nothing would keep the socket readable.
      FailInputOverflow();
      return;
    }
    const int n = socket_->Recv(input_buffer_.data() + input_buffer_.size(), free, nullptr);
    if (n < 0) {
      if (!socket_->IsBlocking())
        RTC_LOG(LS_ERROR) << "Recv() returned error: " << socket_->GetError();
      break;
    }
    total += static_cast<size_t>(n);
    input_buffer_.SetSize(input_buffer_.size() + static_cast<size_t>(n));
    if (n == 0 || static_cast<size_t>(n) < free)
      break;
  }
  if (total == 0)
    return;

  size_t length = input_buffer_.size();
  ProcessInput(reinterpret_cast<char*>(input_buffer_.data()), &length);
  if (length <= input_buffer_.size()) {
    input_buffer_.SetSize(length);
  } else {
    RTC_LOG(LS_ERROR) << "input buffer overflow";
    input_buffer_.Clear();
  }
  // A buffer the subclass leaves full at its limit holds a unit of its framing that
  // can never complete: no later read has room to add to it.
  if (input_buffer_.size() == input_buffer_.capacity() &&
      input_buffer_.capacity() >= max_input_size_ && socket_->GetState() != Socket::SOCKET_CLOSED) {
    FailInputOverflow();
  }
}

void AsyncTCPSocketBase::FailInputOverflow() {
  // Neither spin on a readable socket whose bytes cannot be taken in nor stall
  // silently: end the stream with an error its owner sees as a close.
  RTC_LOG(LS_ERROR) << "input buffer overflow";
  socket_->Close();
  socket_->SetError(EMSGSIZE);
  socket_->SignalClosed(socket_.get(), EMSGSIZE);
}

void AsyncTCPSocketBase::OnWriteEvent(AsyncSocket* /*socket*/) {
  if (output_buffer_.size() > 0)
    FlushOutBuffer();
  if (output_buffer_.size() == 0)
    SignalSendReady(this);
}

void AsyncTCPSocketBase::OnCloseEvent(AsyncSocket* /*socket*/, int error) {
  SignalStreamClosed(this, error);
}

}  // namespace rtc
