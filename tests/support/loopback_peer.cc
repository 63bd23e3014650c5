#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/loopback_socket.h"

namespace zek_test {

// PeerLoop

PeerLoop::PeerLoop() {
  EXPECT_EQ(0, pipe(wake_fds_));
}

PeerLoop::~PeerLoop() {
  for (int fd : wake_fds_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void PeerLoop::StartLoop() {
  thread_ = std::thread([this] { Loop(); });
}

void PeerLoop::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  const char b = 0;
  EXPECT_EQ(1, write(wake_fds_[1], &b, 1));
  if (thread_.joinable()) {
    thread_.join();
  }
}

void PeerLoop::Post(std::function<void()> command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(std::move(command));
  }
  const char b = 0;
  EXPECT_EQ(1, write(wake_fds_[1], &b, 1));
}

void PeerLoop::PostAndWait(std::function<void()> command) {
  auto ran = std::make_shared<std::promise<void>>();
  std::future<void> done = ran->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
      return;  // nothing runs on a stopped loop
  }
  Post([command, ran] {
    command();
    ran->set_value();
  });
  done.wait();
}

bool PeerLoop::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, pred);
}

void PeerLoop::Loop() {
  std::vector<pollfd> fds;
  while (true) {
    std::deque<std::function<void()>> commands;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
      commands.swap(commands_);
    }
    for (auto& command : commands) {
      command();
    }
    fds.clear();
    fds.push_back(pollfd{wake_fds_[0], POLLIN, 0});
    AddPollFds(&fds);
    if (poll(fds.data(), fds.size(), -1) < 0) {
      continue;
    }
    if (fds[0].revents) {
      char buf[64];
      (void)!read(wake_fds_[0], buf, sizeof(buf));
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents) {
        OnReady(fds[i].fd, fds[i].revents);
      }
    }
  }
}

// LoopbackTcpPeer

LoopbackTcpPeer::LoopbackTcpPeer() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_GE(listen_fd_, 0);
  port_ = BindLoopback(listen_fd_);
  EXPECT_EQ(0, listen(listen_fd_, 16));
  StartLoop();
}

bool LoopbackTcpPeer::SetReceiveBuffer(int bytes) {
  // An accepted socket takes its listening socket's buffer sizes.
  return setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0;
}

LoopbackTcpPeer::~LoopbackTcpPeer() {
  Stop();
  DropConnection();
  close(listen_fd_);
}

bool LoopbackTcpPeer::WaitForConnection(std::chrono::milliseconds limit) {
  return WaitFor([this] { return connections_ > 0; }, limit);
}

bool LoopbackTcpPeer::WaitForReceived(size_t count, std::chrono::milliseconds limit) {
  return WaitFor([this, count] { return received_.size() >= count; }, limit);
}

bool LoopbackTcpPeer::WaitForClientClose(std::chrono::milliseconds limit) {
  return WaitFor([this] { return client_closed_; }, limit);
}

std::string LoopbackTcpPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int LoopbackTcpPeer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void LoopbackTcpPeer::Send(const std::string& data) {
  Post([this, data] {
    size_t done = 0;
    while (conn_fd_ >= 0 && done < data.size()) {
      const ssize_t n = send(conn_fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        break;
      }
      done += static_cast<size_t>(n);
    }
  });
}

void LoopbackTcpPeer::Close() {
  Post([this] { DropConnection(); });
}

void LoopbackTcpPeer::Reset() {
  Post([this] {
    if (conn_fd_ >= 0) {
      linger lin = {1, 0};
      setsockopt(conn_fd_, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));
    }
    DropConnection();
  });
}

void LoopbackTcpPeer::SetReading(bool reading) {
  PostAndWait([this, reading] { reading_ = reading; });
}

void LoopbackTcpPeer::DropConnection() {
  if (conn_fd_ >= 0) {
    close(conn_fd_);
    conn_fd_ = -1;
  }
}

void LoopbackTcpPeer::AddPollFds(std::vector<pollfd>* fds) {
  fds->push_back(pollfd{listen_fd_, POLLIN, 0});
  if (conn_fd_ >= 0 && reading_) {
    fds->push_back(pollfd{conn_fd_, POLLIN, 0});
  }
}

void LoopbackTcpPeer::OnReady(int fd, short /*revents*/) {
  if (fd == listen_fd_) {
    const int conn = accept(listen_fd_, nullptr, nullptr);
    if (conn < 0) {
      return;
    }
    DropConnection();
    conn_fd_ = conn;
    reading_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    received_.clear();
    client_closed_ = false;
    Notify();
    return;
  }
  if (fd != conn_fd_) {
    return;
  }
  char buf[4096];
  const ssize_t n = recv(conn_fd_, buf, sizeof(buf), 0);
  std::lock_guard<std::mutex> lock(mutex_);
  if (n > 0) {
    received_.append(buf, static_cast<size_t>(n));
  } else {
    client_closed_ = true;
    // Nothing more to read; keep the descriptor for the test's own close or reset.
    reading_ = false;
  }
  Notify();
}

// LoopbackUdpPeer

LoopbackUdpPeer::LoopbackUdpPeer(bool echo) : echo_(echo) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GE(fd_, 0);
  port_ = BindLoopback(fd_);
  StartLoop();
}

LoopbackUdpPeer::~LoopbackUdpPeer() {
  Stop();
  close(fd_);
}

bool LoopbackUdpPeer::WaitForDatagrams(size_t count, std::chrono::milliseconds limit) {
  return WaitFor([this, count] { return datagrams_.size() >= count; }, limit);
}

std::vector<std::string> LoopbackUdpPeer::datagrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return datagrams_;
}

uint16_t LoopbackUdpPeer::last_sender_port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_sender_port_;
}

void LoopbackUdpPeer::SendTo(const std::string& data, uint16_t port) {
  Post([this, data, port] {
    const sockaddr_in to = LoopbackSockAddr(port);
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  });
}

void LoopbackUdpPeer::AddPollFds(std::vector<pollfd>* fds) {
  fds->push_back(pollfd{fd_, POLLIN, 0});
}

void LoopbackUdpPeer::OnReady(int /*fd*/, short /*revents*/) {
  char buf[65536];
  sockaddr_in from = {};
  socklen_t len = sizeof(from);
  const ssize_t n =
      recvfrom(fd_, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) {
    return;
  }
  if (echo_) {
    sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  datagrams_.emplace_back(buf, static_cast<size_t>(n));
  last_sender_port_ = ntohs(from.sin_port);
  Notify();
}

}  // namespace zek_test
