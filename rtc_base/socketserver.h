#ifndef RTC_BASE_SOCKETSERVER_H_
#define RTC_BASE_SOCKETSERVER_H_

#include <memory>

#include "rtc_base/ipaddress.h"
#include "rtc_base/socketfactory.h"

namespace rtc {

class MessageQueue;

// Binds a socket's descriptor to a chosen network before bind(). Nothing in the
// library installs one; a socket server without a binder binds as the platform
// does.
class NetworkBinderInterface {
 public:
  // Result of BindDescriptor: 0 bound, kNotImplemented when the platform cannot
  // bind to a network, anything else failed.
  static constexpr int kNotImplemented = -2;

  virtual int BindDescriptor(int descriptor, const IPAddress& address) = 0;

 protected:
  virtual ~NetworkBinderInterface() {}
};

// A socket factory that is also the blocking wait of a thread's message queue:
// the thread sleeps in Wait() and, when asked to process I/O, its sockets' signals
// are emitted from inside Wait().
class SocketServer : public SocketFactory {
 public:
  // A new PhysicalSocketServer.
  static std::unique_ptr<SocketServer> CreateDefault();

  SocketServer() {}
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // A queue calls this with itself when it takes the server and with null when it
  // goes away. No server of the library needs to know.
  virtual void SetMessageQueue(MessageQueue* /*queue*/) {}

  // Blocks until `milliseconds` have passed (-1: no limit) or WakeUp() is called.
  // False only when the wait itself failed; a time-out and a wake-up are both true.
  virtual bool Wait(int milliseconds, bool process_io) = 0;
  // Any thread may call this: the current or the next Wait() returns soon.
  virtual void WakeUp() = 0;

  NetworkBinderInterface* network_binder() const { return network_binder_; }
  // Borrowed; must outlive the sockets of this server.
  void set_network_binder(NetworkBinderInterface* binder) { network_binder_ = binder; }

 private:
  NetworkBinderInterface* network_binder_ = nullptr;
};

}  // namespace rtc

#endif  // RTC_BASE_SOCKETSERVER_H_
