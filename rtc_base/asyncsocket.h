#ifndef RTC_BASE_ASYNCSOCKET_H_
#define RTC_BASE_ASYNCSOCKET_H_

#include <memory>

#include "rtc_base/sigslot.h"
#include "rtc_base/socket.h"

namespace rtc {

// The event-driven socket: a socket registered with a socket server reports its
// readiness through these signals, emitted from inside the server's Wait().
class AsyncSocket : public Socket {
 public:
  AsyncSocket();
  ~AsyncSocket() override;

  AsyncSocket* Accept(SocketAddress* peer) override = 0;

  // Readable and writable may be raised while another thread connects to them, so
  // each holds its own mutex for the whole emission: a slot must not destroy,
  // connect to or disconnect from the signal that is calling it.
  sigslot::signal_with_thread_policy<sigslot::multi_threaded_local, AsyncSocket*> SignalReadable;
  sigslot::signal_with_thread_policy<sigslot::multi_threaded_local, AsyncSocket*> SignalWritable;
  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncSocket*> SignalConnected;
  // The error number that ended the socket, 0 for an orderly close.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncSocket*, int> SignalClosed;
};

// Owns one asynchronous socket, forwards every operation to it and raises its
// events again as its own, with the adapter as the socket. Subclasses override the
// On*Event handlers to interpose on events and the operations to interpose on data.
class AsyncSocketAdapter : public AsyncSocket, public sigslot::has_slots<sigslot::single_threaded> {
 public:
  // Takes ownership of `socket`, which may be null. An adapter without a socket
  // fails every operation: -1, null or an empty address, SOCKET_CLOSED, and
  // ENOTCONN from GetError().
  explicit AsyncSocketAdapter(AsyncSocket* socket);
  ~AsyncSocketAdapter() override;

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override;
  int Bind(const SocketAddress& address) override;
  int Connect(const SocketAddress& address) override;
  int Send(const void* data, size_t length) override;
  int SendTo(const void* data, size_t length, const SocketAddress& address) override;
  int Recv(void* buffer, size_t capacity, int64_t* timestamp) override;
  int RecvFrom(void* buffer, size_t capacity, SocketAddress* source, int64_t* timestamp) override;
  int Listen(int backlog) override;
  AsyncSocket* Accept(SocketAddress* peer) override;
  int Close() override;
  int GetError() const override;
  void SetError(int error) override;
  ConnectionState GetState() const override;
  int GetOption(Option option, int* value) override;
  int SetOption(Option option, int value) override;

 protected:
  // Only for the constructor: the adapter takes ownership and connects the four
  // signals of `socket` to the handlers below.
  void Attach(AsyncSocket* socket);

  // The argument is the wrapped socket; the base versions ignore it and raise the
  // adapter's own signal.
  virtual void OnConnectEvent(AsyncSocket* socket);
  virtual void OnReadEvent(AsyncSocket* socket);
  virtual void OnWriteEvent(AsyncSocket* socket);
  virtual void OnCloseEvent(AsyncSocket* socket, int error);

  // Destroyed before the slot base, so its signals let go of the adapter first.
  std::unique_ptr<AsyncSocket> socket_;
};

}  // namespace rtc

#endif  // RTC_BASE_ASYNCSOCKET_H_
