#ifndef RTC_BASE_SOCKET_H_
#define RTC_BASE_SOCKET_H_

#include <stddef.h>
#include <stdint.h>

#include "rtc_base/socketaddress.h"

namespace rtc {

// True for an error number that means "not now" rather than "failed": a send or
// receive that would block, or a connect still under way.
bool IsBlockingError(int error);

// The socket interface every network object is written against. Failures return
// -1 (null from Accept, an empty address from the address queries) and leave the
// error number in the socket, to be read with GetError().
class Socket {
 public:
  enum ConnectionState {
    SOCKET_CLOSED = 0,
    // Also the state of a listening socket.
    SOCKET_CONNECTING = 1,
    SOCKET_CONNECTED = 2,
  };

  // Values 4 and 6 are option numbers no socket of the library supports; they
  // have no name but callers may still pass them.
  enum Option {
    OPT_DONTFRAGMENT = 0,
    OPT_RCVBUF = 1,
    OPT_SNDBUF = 2,
    OPT_NODELAY = 3,
    OPT_DSCP = 5,
  };

  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  virtual ~Socket() {}

  virtual SocketAddress GetLocalAddress() const = 0;
  virtual SocketAddress GetRemoteAddress() const = 0;
  virtual int Bind(const SocketAddress& address) = 0;
  virtual int Connect(const SocketAddress& address) = 0;
  virtual int Send(const void* data, size_t length) = 0;
  virtual int SendTo(const void* data, size_t length, const SocketAddress& address) = 0;
  // `timestamp` may be null; otherwise it receives the time the data arrived.
  virtual int Recv(void* buffer, size_t capacity, int64_t* timestamp) = 0;
  virtual int RecvFrom(void* buffer,
                       size_t capacity,
                       SocketAddress* source,
                       int64_t* timestamp) = 0;
  virtual int Listen(int backlog) = 0;
  // The accepted socket belongs to the caller.
  virtual Socket* Accept(SocketAddress* peer) = 0;
  virtual int Close() = 0;
  virtual int GetError() const = 0;
  virtual void SetError(int error) = 0;
  virtual ConnectionState GetState() const = 0;
  virtual int GetOption(Option option, int* value) = 0;
  virtual int SetOption(Option option, int value) = 0;

  bool IsBlocking() const { return IsBlockingError(GetError()); }

 protected:
  Socket() {}
};

}  // namespace rtc

#endif  // RTC_BASE_SOCKET_H_
