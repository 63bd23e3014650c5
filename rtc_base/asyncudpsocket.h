#ifndef RTC_BASE_ASYNCUDPSOCKET_H_
#define RTC_BASE_ASYNCUDPSOCKET_H_

#include <stddef.h>

#include <memory>

#include "rtc_base/asyncpacketsocket.h"
#include "rtc_base/asyncsocket.h"

namespace rtc {

// A datagram AsyncSocket as a packet socket: one datagram per send, one datagram read
// per readable event. Runs on the thread whose socket server owns the socket.
class AsyncUDPSocket : public AsyncPacketSocket {
 public:
  // Takes ownership of `socket` and binds it; on failure logs, deletes the socket and
  // returns null.
  static AsyncUDPSocket* Create(AsyncSocket* socket, const SocketAddress& bind_address);

  explicit AsyncUDPSocket(AsyncSocket* socket);
  ~AsyncUDPSocket() override;

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;
  int Send(const void* data, size_t length, const PacketOptions& options) override;
  int SendTo(const void* data,
             size_t length,
             const SocketAddress& destination,
             const PacketOptions& options) override;
  int Close() override;
  // Always PS_BOUND.
  PacketSocketState GetState() const override;
  int GetOption(Socket::Option option, int* value) override;
  int SetOption(Socket::Option option, int value) override;
  int GetError() const override;
  void SetError(int error) override;

 private:
  void OnReadEvent(AsyncSocket* socket);
  void OnWriteEvent(AsyncSocket* socket);

  std::unique_ptr<AsyncSocket> socket_;
  // Reused for every datagram; what SignalPacketReceived hands out points here.
  std::unique_ptr<char[]> buffer_;
  size_t buffer_size_;
};

}  // namespace rtc

#endif  // RTC_BASE_ASYNCUDPSOCKET_H_
