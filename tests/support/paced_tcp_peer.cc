#include "tests/support/paced_tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/loopback_socket.h"

namespace zek_test {

PacedTcpPeer::PacedTcpPeer(int receive_buffer, size_t chunk) : chunk_(chunk), buffer_(chunk) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_GE(listen_fd_, 0);
  // Set before listen() so that accepted connections inherit it and advertise a
  // small window from the start.
  if (receive_buffer > 0) {
    EXPECT_EQ(
        0, setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer)));
  }
  port_ = BindLoopback(listen_fd_);
  EXPECT_EQ(0, listen(listen_fd_, 16));
  StartLoop();
}

PacedTcpPeer::~PacedTcpPeer() {
  Stop();
  if (conn_fd_ >= 0)
    close(conn_fd_);
  close(listen_fd_);
}

bool PacedTcpPeer::WaitForConnection(std::chrono::milliseconds limit) {
  return WaitFor([this] { return connections_ > 0; }, limit);
}

bool PacedTcpPeer::WaitForReceived(size_t count, std::chrono::milliseconds limit) {
  return WaitFor([this, count] { return received_.size() >= count; }, limit);
}

std::string PacedTcpPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t PacedTcpPeer::received_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

void PacedTcpPeer::SetReading(bool reading) {
  Post([this, reading] { reading_ = reading; });
}

void PacedTcpPeer::AddPollFds(std::vector<pollfd>* fds) {
  fds->push_back(pollfd{listen_fd_, POLLIN, 0});
  if (conn_fd_ >= 0 && reading_)
    fds->push_back(pollfd{conn_fd_, POLLIN, 0});
}

void PacedTcpPeer::OnReady(int fd, short /*revents*/) {
  if (fd == listen_fd_) {
    const int conn = accept(listen_fd_, nullptr, nullptr);
    if (conn < 0)
      return;
    if (conn_fd_ >= 0)
      close(conn_fd_);
    conn_fd_ = conn;
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    received_.clear();
    Notify();
    return;
  }
  if (fd != conn_fd_)
    return;
  const ssize_t n = recv(conn_fd_, buffer_.data(), chunk_, 0);
  if (n <= 0) {
    // The client is gone; keep the descriptor until the next connection or the end.
    reading_ = false;
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(buffer_.data(), static_cast<size_t>(n));
  Notify();
}

}  // namespace zek_test
