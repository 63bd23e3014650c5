#include "tests/support/loopback_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zek_test {

sockaddr_in LoopbackSockAddr(uint16_t port) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

uint16_t BindLoopback(int fd, uint16_t port) {
  return BindTo(fd, "127.0.0.1", port);
}

uint16_t BindTo(int fd, const std::string& address, uint16_t port) {
  sockaddr_in addr = LoopbackSockAddr(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    ADD_FAILURE() << "not an IPv4 address: " << address;
    return 0;
  }
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int error = errno;
    ADD_FAILURE() << "cannot bind " << address << ":" << port << ": " << strerror(error);
    return 0;
  }
  return ntohs(addr.sin_port);
}

bool UdpPortFree(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0)
    return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return bound;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

RefusingPort::RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (fd_ < 0) {
    const int error = errno;
    ADD_FAILURE() << "socket: " << strerror(error);
    return;
  }
  port_ = BindLoopback(fd_);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

}  // namespace zek_test
