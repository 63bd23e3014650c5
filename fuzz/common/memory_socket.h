#ifndef FUZZ_COMMON_MEMORY_SOCKET_H_
#define FUZZ_COMMON_MEMORY_SOCKET_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/asyncsocket.h"
#include "rtc_base/socketserver.h"

namespace zek_fuzz {

// A stream socket whose far end is the fuzz harness: what the harness delivers is
// read by Recv, in pieces as small as it chooses, and what the code sends is
// collected for the harness to check. Sends can be made to block or to go out
// partly, so the writer's buffering is exercised too. Events are raised only when
// the harness asks, on the calling thread.
class MemorySocket : public rtc::AsyncSocket {
 public:
  MemorySocket();
  ~MemorySocket() override;

  // Harness side.
  // The connect completed: state connected and SignalConnected.
  void CompleteConnect();
  // Queues bytes for Recv and raises SignalReadable until they are all read or the
  // socket is closed. False when the reader stopped taking them: bytes pending, the
  // socket still open, and a readable event that read nothing.
  bool Deliver(const std::string& bytes);
  // The peer ended the connection with `error` (0 for an orderly end).
  void RaiseClosed(int error);
  // Raises SignalWritable, as a socket does once it can take bytes again.
  void RaiseWritable();
  // A readable event whose first Recv fails with `error` (0: finds nothing to read).
  void RaiseReadableFailing(int error);
  // The most bytes one Recv returns (0: no limit).
  void set_recv_limit(size_t limit) { recv_limit_ = limit; }
  // How many bytes Send may still take before it would block (-1: no limit).
  void set_send_budget(long budget) { send_budget_ = budget; }
  long send_budget() const { return send_budget_; }
  // The peer read some: the socket takes `more` bytes more (when it has a limit)
  // and says it can take them.
  void Drain(long more) {
    if (send_budget_ >= 0)
      send_budget_ += more;
    RaiseWritable();
  }
  const std::string& sent() const { return sent_; }
  size_t pending() const { return inbound_.size() - inbound_pos_; }
  // Set to true when the socket is destroyed, so that a harness holding a raw
  // pointer to it knows when it is gone.
  void set_destroyed_flag(bool* flag) { destroyed_flag_ = flag; }
  // Gets everything sent when the socket is destroyed, so that a harness can check the
  // last writes of an owner that deletes it.
  void set_sent_on_destroy(std::string* out) { sent_on_destroy_ = out; }

  // rtc::AsyncSocket.
  rtc::SocketAddress GetLocalAddress() const override;
  rtc::SocketAddress GetRemoteAddress() const override;
  int Bind(const rtc::SocketAddress& address) override;
  int Connect(const rtc::SocketAddress& address) override;
  int Send(const void* data, size_t length) override;
  int SendTo(const void* data, size_t length, const rtc::SocketAddress& address) override;
  int Recv(void* buffer, size_t capacity, int64_t* timestamp) override;
  int RecvFrom(void* buffer,
               size_t capacity,
               rtc::SocketAddress* source,
               int64_t* timestamp) override;
  int Listen(int backlog) override;
  rtc::AsyncSocket* Accept(rtc::SocketAddress* peer) override;
  int Close() override;
  int GetError() const override;
  void SetError(int error) override;
  ConnectionState GetState() const override;
  int GetOption(Option option, int* value) override;
  int SetOption(Option option, int value) override;

 private:
  ConnectionState state_ = SOCKET_CLOSED;
  int error_ = 0;
  rtc::SocketAddress local_;
  rtc::SocketAddress remote_;
  std::string inbound_;
  size_t inbound_pos_ = 0;
  size_t recv_limit_ = 0;
  long send_budget_ = -1;
  std::string sent_;
  bool* destroyed_flag_ = nullptr;
  std::string* sent_on_destroy_ = nullptr;
  int fail_next_recv_ = 0;
};

// A socket server whose stream sockets are MemorySockets and whose Wait never
// blocks, for a thread driven entirely by the harness: the harness moves the fake
// clock and calls ProcessMessages(0). It keeps track of the sockets it made.
class MemorySocketServer : public rtc::SocketServer {
 public:
  rtc::Socket* CreateSocket(int family, int type) override;
  rtc::AsyncSocket* CreateAsyncSocket(int family, int type) override;
  bool Wait(int milliseconds, bool process_io) override;
  void WakeUp() override;

  // The latest socket made and whether it has been destroyed since.
  MemorySocket* latest() const { return destroyed_ ? nullptr : latest_; }
  // Makes the next CreateAsyncSocket fail.
  void FailNextCreate() { fail_next_ = true; }

 private:
  MemorySocket* latest_ = nullptr;
  bool destroyed_ = true;
  bool fail_next_ = false;
};

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_MEMORY_SOCKET_H_
