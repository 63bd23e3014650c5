#include "rtc_base/asyncudpsocket.h"

#include "rtc_base/logging.h"
#include "rtc_base/timeutils.h"

namespace rtc {
namespace {

// The largest UDP datagram, so no datagram is ever cut.
constexpr size_t kBufferSize = 65536;

}  // namespace

AsyncUDPSocket* AsyncUDPSocket::Create(AsyncSocket* socket, const SocketAddress& bind_address) {
  std::unique_ptr<AsyncSocket> owned(socket);
  if (owned->Bind(bind_address) < 0) {
    RTC_LOG(LS_ERROR) << "Bind() failed with error " << owned->GetError();
    return nullptr;
  }
  return new AsyncUDPSocket(owned.release());
}

AsyncUDPSocket::AsyncUDPSocket(AsyncSocket* socket)
    : socket_(socket), buffer_(new char[kBufferSize]), buffer_size_(kBufferSize) {
  socket_->SignalReadable.connect(this, &AsyncUDPSocket::OnReadEvent);
  socket_->SignalWritable.connect(this, &AsyncUDPSocket::OnWriteEvent);
}

AsyncUDPSocket::~AsyncUDPSocket() = default;

SocketAddress AsyncUDPSocket::GetLocalAddress() const {
  return socket_->GetLocalAddress();
}

SocketAddress AsyncUDPSocket::GetRemoteAddress() const {
  return socket_->GetRemoteAddress();
}

int AsyncUDPSocket::Send(const void* data, size_t length, const PacketOptions& options) {
  SentPacket sent_packet(options.packet_id_, TimeMillis(), options.info_);
  CopySocketInformationToPacketInfo(length, *this, false, &sent_packet.info_);
  const int result = socket_->Send(data, length);
  SignalPacketSent(this, sent_packet);
  return result;
}

int AsyncUDPSocket::SendTo(const void* data,
                           size_t length,
                           const SocketAddress& destination,
                           const PacketOptions& options) {
  SentPacket sent_packet(options.packet_id_, TimeMillis(), options.info_);
  CopySocketInformationToPacketInfo(length, *this, true, &sent_packet.info_);
  const int result = socket_->SendTo(data, length, destination);
  SignalPacketSent(this, sent_packet);
  return result;
}

int AsyncUDPSocket::Close() {
  return socket_->Close();
}

AsyncPacketSocket::PacketSocketState AsyncUDPSocket::GetState() const {
  return PS_BOUND;
}

int AsyncUDPSocket::GetOption(Socket::Option option, int* value) {
  return socket_->GetOption(option, value);
}

int AsyncUDPSocket::SetOption(Socket::Option option, int value) {
  return socket_->SetOption(option, value);
}

int AsyncUDPSocket::GetError() const {
  return socket_->GetError();
}

void AsyncUDPSocket::SetError(int error) {
  socket_->SetError(error);
}

void AsyncUDPSocket::OnReadEvent(AsyncSocket* socket) {
  SocketAddress remote_addr;
  int64_t timestamp = -1;
  const int len = socket->RecvFrom(buffer_.get(), buffer_size_, &remote_addr, &timestamp);
  if (len < 0) {
    RTC_LOG(LS_INFO) << "AsyncUDPSocket[" << socket->GetLocalAddress().ToSensitiveString()
                     << "] receive failed with error " << socket->GetError();
    return;
  }
  const PacketTime packet_time = timestamp >= 0 ? PacketTime(timestamp, 0) : CreatePacketTime(0);
  SignalPacketReceived(this, buffer_.get(), static_cast<size_t>(len), remote_addr, packet_time);
}

void AsyncUDPSocket::OnWriteEvent(AsyncSocket* /*socket*/) {
  SignalSendReady(this);
}

}  // namespace rtc
