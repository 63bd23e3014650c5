#ifndef SRC_LIBZEKCORE_H_
#define SRC_LIBZEKCORE_H_

// The types that cross between the IM core and the app.

namespace tavix {
namespace im {

// The first argument of every event.
enum ZEkEventCode {
  kEventConnected = 0,
  kEventConnectFailed = 1,
  kEventServerClosed = 2,  // closed by the server with code 8002; no reconnect follows
  kEventDisconnected = 3,  // at the app's request
  kEventReconnecting = 4,
  kEventReconnected = 5,
  kEventReconnectStopped = 6,  // the login was refused with 5003
};

// The type of an outgoing user message.
enum ZEkMsgType {
  kMsgText = 0,
  kMsgNoPayload = 1,
};

// Implemented by the app; the core never deletes it. Calls come on the core's worker
// thread; the pointers are valid only for the duration of the call.
class ZEkCoreObserver {
 public:
  virtual void OnZEkCoreEvent(ZEkEventCode code, int errorCode, const char* context) = 0;
  virtual void OnZEkCoreMessage(const char* data, int length) = 0;

 protected:
  ~ZEkCoreObserver() = default;
};

}  // namespace im
}  // namespace tavix

#endif  // SRC_LIBZEKCORE_H_
