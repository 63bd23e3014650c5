#ifndef RTC_BASE_NULLSOCKETSERVER_H_
#define RTC_BASE_NULLSOCKETSERVER_H_

#include "rtc_base/event.h"
#include "rtc_base/socketserver.h"

namespace rtc {

// The socket server of a thread that never touches the network: no sockets, nothing
// to poll, just a sleep on one event until a post wakes it or the time runs out.
class NullSocketServer : public SocketServer {
 public:
  NullSocketServer();
  ~NullSocketServer() override;

  // Refuses every request: null, with no error number stored anywhere.
  Socket* CreateSocket(int family, int type) override;
  AsyncSocket* CreateAsyncSocket(int family, int type) override;

  // Always true: a time-out and a wake-up look the same. There is no I/O, so
  // `process_io` changes nothing.
  bool Wait(int milliseconds, bool process_io) override;
  // Any thread. A wake-up is a flag, not a count: several before one Wait release
  // that Wait only.
  void WakeUp() override;

 private:
  // Auto-reset, so the Wait it releases also clears it. Set from any thread;
  // rtc::Event does its own locking.
  Event event_;
};

}  // namespace rtc

#endif  // RTC_BASE_NULLSOCKETSERVER_H_
