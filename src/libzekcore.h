#ifndef SRC_LIBZEKCORE_H_
#define SRC_LIBZEKCORE_H_

// The types that cross between the IM core and the app.

#include <stdint.h>

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

// The type of an outgoing user message. 32 bits wide whatever its values: the C API
// hands any int through unchanged, and each transport decides what a type means.
enum ZEkMsgType : int32_t {
  kMsgText = 0,
  kMsgNoPayload = 1,
};

// Marks what the shared library exports; everything else in it stays hidden.
#ifndef ZEKCORE_EXPORT
#define ZEKCORE_EXPORT __attribute__((visibility("default")))
#endif

// Implemented by the app; the core never deletes it. Calls come one at a time on the
// core's worker thread "zek main thread"; the pointers are valid only for the duration
// of the call. Inside a call the app may call SendUserMessage, ConnectImServer,
// DisConnectImServer and UnInitialize (see there); it must not wait for another of its
// threads that is inside UnInitialize, which waits for the call to return.
class ZEKCORE_EXPORT ZEkCoreObserver {
 public:
  virtual void OnZEkCoreEvent(ZEkEventCode code, int errorCode, const char* context) = 0;
  virtual void OnZEkCoreMessage(const char* data, int length) = 0;

 protected:
  ~ZEkCoreObserver() = default;
};

}  // namespace im
}  // namespace tavix

// The app's five entry points. They share one process-wide core without a lock, so
// Initialize and UnInitialize must not run at the same time as any other of them; only
// an UnInitialize inside a callback may meet the app's other calls, which it waits for.
extern "C" {
// Creates the core with the app's observer; blocks for the MTU probe, and for the end of
// a shut-down begun inside a callback. A second call while the core exists does nothing,
// and so does a call inside a callback after UnInitialize.
ZEKCORE_EXPORT void Initialize(tavix::im::ZEkCoreObserver* observer);
// Shuts the core down; no observer call happens once it returns (it waits for one under
// way). Inside a callback it returns at once: the core stops once the callback has
// returned, on a thread of its own, and the next Initialize or UnInitialize waits for
// that.
ZEKCORE_EXPORT void UnInitialize();
// `param`: the zero-terminated JSON parameter text; copied before the call returns.
ZEKCORE_EXPORT void ConnectImServer(const char* param);
ZEKCORE_EXPORT void DisConnectImServer();
// `data`: at least `length` bytes; the text ends at its first zero byte or after
// `length` bytes, whichever comes first. `type`, a tavix::im::ZEkMsgType, goes to the
// transport unchanged: the WebSocket transport sends every type as a text, the KCP
// transport refuses a type other than kMsgText and kMsgNoPayload.
ZEKCORE_EXPORT void SendUserMessage(const char* data, int length, int type);
}

#endif  // SRC_LIBZEKCORE_H_
