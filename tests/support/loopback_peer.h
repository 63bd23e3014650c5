#ifndef TESTS_SUPPORT_LOOPBACK_PEER_H_
#define TESTS_SUPPORT_LOOPBACK_PEER_H_

#include <poll.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zek_test {

// Runs a poll() loop on its own thread over one descriptor-owning peer; commands
// from the test run on that thread between polls.
class PeerLoop {
 public:
  PeerLoop();
  PeerLoop(const PeerLoop&) = delete;
  PeerLoop& operator=(const PeerLoop&) = delete;
  // Stop() must have been called by the owner's destructor.
  virtual ~PeerLoop();

 protected:
  void StartLoop();
  void Stop();
  // Runs `command` on the peer's thread.
  void Post(std::function<void()> command);
  // Runs `command` on the peer's thread and returns once it has run, so that what it
  // changes holds for every poll after it. Not on the peer's thread itself.
  void PostAndWait(std::function<void()> command);
  // Waits until `pred` holds (checked under mutex_), at most `limit`.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit);

  // On the peer's thread: the descriptors to poll and what to do when one is ready.
  virtual void AddPollFds(std::vector<struct pollfd>* fds) = 0;
  virtual void OnReady(int fd, short revents) = 0;
  // Wakes threads in WaitFor; call with mutex_ held or after changing guarded state.
  void Notify() { cv_.notify_all(); }

  mutable std::mutex mutex_;

 private:
  void Loop();

  std::condition_variable cv_;
  std::deque<std::function<void()>> commands_;  // guarded by mutex_
  bool stopping_ = false;                       // guarded by mutex_
  int wake_fds_[2] = {-1, -1};
  std::thread thread_;
};

// A TCP server on 127.0.0.1 (a free port) that accepts one connection at a time and
// records what it reads. A new connection replaces the previous one.
class LoopbackTcpPeer : public PeerLoop {
 public:
  LoopbackTcpPeer();
  ~LoopbackTcpPeer() override;

  uint16_t port() const { return port_; }
  // Gives the connections accepted from now on a receive buffer of `bytes`, which the
  // kernel then no longer grows. False when the kernel refused it.
  bool SetReceiveBuffer(int bytes);
  bool WaitForConnection(std::chrono::milliseconds limit = std::chrono::seconds(5));
  bool WaitForReceived(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // True once the client has ended its side of the current connection.
  bool WaitForClientClose(std::chrono::milliseconds limit = std::chrono::seconds(5));
  std::string received() const;
  int connections() const;

  // Each runs on the peer's thread, in order.
  void Send(const std::string& data);
  // An orderly close of the connection (the client reads the end of the stream).
  void Close();
  // An abortive close: the client's socket gets a reset.
  void Reset();
  // While false the peer reads nothing, so the client's sends back up. Returns once the
  // peer's thread has taken it: no read begins after that.
  void SetReading(bool reading);

 private:
  void AddPollFds(std::vector<struct pollfd>* fds) override;
  void OnReady(int fd, short revents) override;
  void DropConnection();

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  // The peer thread's own.
  int conn_fd_ = -1;
  bool reading_ = true;
  // Guarded by mutex_.
  std::string received_;
  int connections_ = 0;
  bool client_closed_ = false;
};

// A UDP socket on 127.0.0.1 (a free port) that records every datagram and, when
// asked, sends it back to where it came from.
class LoopbackUdpPeer : public PeerLoop {
 public:
  explicit LoopbackUdpPeer(bool echo);
  ~LoopbackUdpPeer() override;

  uint16_t port() const { return port_; }
  bool WaitForDatagrams(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
  std::vector<std::string> datagrams() const;
  // The port the last datagram came from.
  uint16_t last_sender_port() const;
  // Sends a datagram to 127.0.0.1:`port`, on the peer's thread.
  void SendTo(const std::string& data, uint16_t port);

 private:
  void AddPollFds(std::vector<struct pollfd>* fds) override;
  void OnReady(int fd, short revents) override;

  const bool echo_;
  int fd_ = -1;
  uint16_t port_ = 0;
  // Guarded by mutex_.
  std::vector<std::string> datagrams_;
  uint16_t last_sender_port_ = 0;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_LOOPBACK_PEER_H_
