#ifndef TESTS_SUPPORT_PACED_TCP_PEER_H_
#define TESTS_SUPPORT_PACED_TCP_PEER_H_

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/loopback_peer.h"

namespace zek_test {

// A TCP server on 127.0.0.1 (a free port) with a small receive buffer that takes in
// at most `chunk` bytes each time its connection is readable, and nothing while
// reading is off, so that a client's sends back up and come out in pieces. It
// records what it reads. A new connection replaces the previous one.
class PacedTcpPeer : public PeerLoop {
 public:
  // `receive_buffer` is the SO_RCVBUF of the accepted connections (0: the default).
  PacedTcpPeer(int receive_buffer, size_t chunk);
  ~PacedTcpPeer() override;

  uint16_t port() const { return port_; }
  bool WaitForConnection(std::chrono::milliseconds limit = std::chrono::seconds(5));
  bool WaitForReceived(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
  std::string received() const;
  size_t received_size() const;

  // Runs on the peer's thread, in order with the reads.
  void SetReading(bool reading);

 private:
  void AddPollFds(std::vector<struct pollfd>* fds) override;
  void OnReady(int fd, short revents) override;

  const size_t chunk_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  // The peer thread's own.
  int conn_fd_ = -1;
  bool reading_ = true;
  std::vector<char> buffer_;
  // Guarded by mutex_.
  std::string received_;
  int connections_ = 0;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_PACED_TCP_PEER_H_
