#ifndef TESTS_SUPPORT_LOOPBACK_SOCKET_H_
#define TESTS_SUPPORT_LOOPBACK_SOCKET_H_

#include <netinet/in.h>
#include <stdint.h>

#include <string>

namespace zek_test {

// 127.0.0.1 at `port`.
sockaddr_in LoopbackSockAddr(uint16_t port);

// Binds the socket `fd` to 127.0.0.1 at `port`, 0 for a free one, and returns the
// port it got; 0, with a test failure, when that fails.
uint16_t BindLoopback(int fd, uint16_t port = 0);
// The same on the IPv4 address `address` (a literal).
uint16_t BindTo(int fd, const std::string& address, uint16_t port = 0);

// Whether a UDP socket may be bound to `port` on every address, i.e. no socket of
// this process holds it any more.
bool UdpPortFree(uint16_t port);

// Makes the descriptor non-blocking; false when it cannot.
bool SetNonBlocking(int fd);

// A port of 127.0.0.1 that refuses connections while the object lives: a stream
// socket is bound to it and never listens, so nothing else can take the port.
class RefusingPort {
 public:
  // Fails the running test when the port cannot be held.
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  // 0 when no port is held.
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_LOOPBACK_SOCKET_H_
