#ifndef RTC_BASE_ASYNCTCPSOCKET_H_
#define RTC_BASE_ASYNCTCPSOCKET_H_

#include <stddef.h>

#include <memory>

#include "rtc_base/asyncpacketsocket.h"
#include "rtc_base/asyncsocket.h"
#include "rtc_base/buffer.h"

namespace rtc {

// A stream AsyncSocket as a packet socket: everything the socket offers is read into
// a growing input buffer and handed to the subclass's framing (ProcessInput);
// outgoing bytes queue in an output buffer that is written whenever the socket can
// take them. Both buffers are limited to the maximum packet size. Runs on the thread
// whose socket server owns the socket; callers on other threads must serialise with
// it.
class AsyncTCPSocketBase : public AsyncPacketSocket {
 public:
  // Binds and connects `socket`, which it takes over; on failure logs, deletes the
  // socket and returns null. A connect still under way counts as success.
  static AsyncSocket* ConnectSocket(AsyncSocket* socket,
                                    const SocketAddress& bind_address,
                                    const SocketAddress& remote_address);

  AsyncTCPSocketBase(AsyncSocket* socket, bool listen, size_t max_packet_size);
  ~AsyncTCPSocketBase() override;

  int Send(const void* data, size_t length, const PacketOptions& options) override = 0;
  // Only to the peer: anything else fails with ENOTCONN.
  int SendTo(const void* data,
             size_t length,
             const SocketAddress& destination,
             const PacketOptions& options) override;
  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;
  int Close() override;
  PacketSocketState GetState() const override;
  int GetOption(Socket::Option option, int* value) override;
  int SetOption(Socket::Option option, int value) override;
  int GetError() const override;
  void SetError(int error) override;

 protected:
  // The subclass's framing: consume whole units from the front of `data`, move what
  // is left to the front and set `*length` to its count. The pointer must not be kept.
  virtual void ProcessInput(char* data, size_t* length) = 0;
  virtual void HandleIncomingConnection(AsyncSocket* socket) = 0;
  // Queues the bytes and tries to write them. Returns `length` once they are queued
  // (what the socket could not take goes out on later write events). Returns -1,
  // with nothing queued, when they would overflow the output buffer (EMSGSIZE) or
  // when the socket refuses them with an error other than a would-block (its own
  // error number).
  virtual int SendRaw(const void* data, size_t length);
  // One Send of the whole output buffer; removes what the socket took.
  int FlushOutBuffer();

  AsyncSocket* socket() const { return socket_.get(); }
  size_t input_buffer_capacity() const { return input_buffer_.capacity(); }
  size_t output_buffer_size() const { return output_buffer_.size(); }

  void OnConnectEvent(AsyncSocket* socket);
  void OnReadEvent(AsyncSocket* socket);
  void OnWriteEvent(AsyncSocket* socket);
  void OnCloseEvent(AsyncSocket* socket, int error);

 private:
  // Closes the socket and reports EMSGSIZE through its closed signal.
  void FailInputOverflow();

  std::unique_ptr<AsyncSocket> socket_;
  bool listening_;
  BufferT<unsigned char, false> input_buffer_;
  BufferT<unsigned char, false> output_buffer_;
  size_t max_input_size_;
  size_t max_output_size_;
};

}  // namespace rtc

#endif  // RTC_BASE_ASYNCTCPSOCKET_H_
