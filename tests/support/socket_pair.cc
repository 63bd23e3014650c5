#include "tests/support/socket_pair.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zek_test {

SocketPair::SocketPair() {
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
}

SocketPair::~SocketPair() {
  for (int fd : fds) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void SocketPair::Write(int end) {
  ASSERT_EQ(1, write(fds[end], "x", 1));
}

void SocketPair::CloseEnd(int end) {
  close(fds[end]);
  fds[end] = -1;
}

}  // namespace zek_test
