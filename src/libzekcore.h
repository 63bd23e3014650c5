#ifndef SRC_LIBZEKCORE_H_
#define SRC_LIBZEKCORE_H_

// zekcore's C API: five functions with C linkage and the types they exchange with the
// app. The header is C++ (the observer is a C++ class in a namespace): include it from
// C++, not from C. docs/api.md is the reference page: the parameter text, the events
// in the order they come, the message types, and what the core does on its own (its
// threads, the MTU probe at Initialize, keep-alives, reconnects, and its lines on
// standard output and standard error), and what a server must answer.

#include <stdint.h>

namespace tavix {
namespace im {

// The first argument of every event; errorCode and context are given for each code.
enum ZEkEventCode {
  // The first login after ConnectImServer succeeded: messages flow from now on.
  // errorCode 0; context: over KCP the server's login reply text, over WebSocket "".
  // May follow: kEventReconnecting, kEventServerClosed, kEventDisconnected.
  kEventConnected = 0,
  // ConnectImServer failed for good; nothing is retried.
  // errorCode 2: the set-up failed, context "not support" (a "connection_type" other
  // than "kcp" and "websocket"), "param parse init failed" (a parameter text the core
  // cannot use) or "connect server failed" (the connection could not start); no
  // connection is kept, so the next ConnectImServer goes ahead.
  // errorCode 5003: the server refused the login; context: its text (over WebSocket its
  // whole JSON reply). The refused connection is kept: DisConnectImServer comes first.
  kEventConnectFailed = 1,
  // The server ended the session with code 8002: errorCode 8002; context: its reason
  // (over WebSocket the close frame's JSON text). Nothing is retried and texts are
  // dropped; DisConnectImServer comes before the next ConnectImServer.
  kEventServerClosed = 2,
  // DisConnectImServer ended the connection and any pending reconnect: errorCode 0,
  // context "". Only when a connection existed (also one ended by 5003 or 8002).
  kEventDisconnected = 3,
  // The core reconnects on its own: waits of 1, 2, 4 ... 32 s, then the other transport.
  // The wait is one counter across sessions: every reconnect scheduled doubles it, also
  // one the app cancels, and only kEventReconnected starts it over (not kEventConnected,
  // not a new ConnectImServer). Texts are dropped until kEventReconnected, and the failed
  // attempts meanwhile raise nothing. context "login failed, start reconnect": the first
  // login failed, errorCode the server's refusal code, 4 (no answer in time), 6 (an
  // unreadable login reply) or 3 (the WebSocket link failed: refused, a bad handshake, a
  // socket error, a size limit passed). context "start reconnect": a logged-in session
  // was lost, errorCode 5 (the server fell silent), 3 (the WebSocket link failed) or the
  // code of the server's close.
  // May follow: kEventReconnected, kEventReconnectStopped, kEventDisconnected.
  kEventReconnecting = 4,
  // A reconnect attempt logged in: errorCode 0; context as for kEventConnected, of the
  // transport now in use. Resend what was dropped meanwhile.
  // May follow: as after kEventConnected.
  kEventReconnected = 5,
  // A reconnect attempt's login was refused with 5003: errorCode 5003; context: the
  // server's text. Reconnecting stops; DisConnectImServer comes before the next
  // ConnectImServer.
  kEventReconnectStopped = 6,
};

// The type of an outgoing user message. 32 bits wide whatever its values: the C API
// hands any int through unchanged, and each transport decides what a type means.
enum ZEkMsgType : int32_t {
  // The data as a text message.
  kMsgText = 0,
  // Over KCP a message of its type alone, without the data (an echo server answers
  // nothing); over WebSocket the type is not looked at: the data go as a text.
  kMsgNoPayload = 1,
};

// Marks what the shared library exports; everything else in it stays hidden.
#ifndef ZEKCORE_EXPORT
#define ZEKCORE_EXPORT __attribute__((visibility("default")))
#endif

// Implemented by the app; the core never deletes it. It must stay valid until
// UnInitialize has returned (or, for an UnInitialize inside a callback, until that
// callback has returned). Calls come one at a time on the core's worker thread "zek main
// thread"; the pointers are valid only during the call. Inside a call the app may call
// SendUserMessage, ConnectImServer, DisConnectImServer and UnInitialize (no call comes
// after that one); Initialize there does nothing. A call must not wait for another of
// the app's threads that is inside Initialize or UnInitialize: those wait for the call
// to return.
class ZEKCORE_EXPORT ZEkCoreObserver {
 public:
  virtual void OnZEkCoreEvent(ZEkEventCode code, int errorCode, const char* context) = 0;
  // A received text, cut at its first zero byte, and its length (0 for an empty KCP
  // text); only while connected. Over WebSocket only texts that are JSON reach the app,
  // from text and binary frames alike.
  virtual void OnZEkCoreMessage(const char* data, int length) = 0;

 protected:
  ~ZEkCoreObserver() = default;
};

}  // namespace im
}  // namespace tavix

// The app's five entry points; none returns a result: outcomes come as events. Any app
// thread may call ConnectImServer, DisConnectImServer and SendUserMessage at any time,
// also while another thread is inside Initialize or UnInitialize; until Initialize has
// returned, and while no core exists or it is being shut down, they do nothing (and
// UnInitialize waits only for the calls already under way when it begins). Mistakes
// that do nothing write a warning line to standard error, "(libzekcore.cc:NN): " and the
// text quoted below; each "without Initialize" line comes once for each function until
// the next Initialize.
extern "C" {
// Creates the core with the app's observer (null: events and messages are dropped).
// Blocks for the MTU probe: a look-up of a public host name and up to three ICMP
// echoes, a few seconds at most, over at once where raw sockets are refused. While a
// core exists it does nothing (the first observer stays). While a shut-down is under way
// (an UnInitialize on another app thread, or one made inside a callback) it waits for it
// to end, then creates the core. Inside a callback it does nothing; if that core is
// being shut down it also logs the error "Initialize inside a callback of a core that is
// shutting down does nothing".
ZEKCORE_EXPORT void Initialize(tavix::im::ZEkCoreObserver* observer);
// Shuts the core down, an open connection included (no kEventDisconnected comes), and
// returns once the core has stopped: its worker thread has ended and its sockets are
// closed. No observer call begins after it returns (it waits for one under way). Only a
// host-name look-up that the resolver has not answered yet (the MTU probe's, or a
// WebSocket server's) may outlive it, on a thread of its own that ends once the resolver
// answers and touches nothing of the app's. While another thread's shut-down is under
// way (another app thread's, or one begun inside a callback) it waits for that one to
// end instead. While another app thread is inside Initialize it waits for it to return,
// then shuts down the core just made. Without a core, and with no Initialize under way,
// it returns at once. Of the other three functions' calls it waits only for those that
// found the core and are still inside it (each only posts or hands a text over), never
// for one that began after it had cleared the core, however many threads keep calling.
// Inside a callback it returns at once: no observer call comes after this callback, and
// the core stops once the callback has returned (on a thread of its own, or by the app
// thread whose UnInitialize is already waiting for the callback).
ZEKCORE_EXPORT void UnInitialize();
// Connects with `param`, the zero-terminated JSON parameter text (docs/api.md), copied
// before the call returns. The text is read leniently: comments pass, and only its first
// complete JSON value counts. Returns at once; then comes kEventConnected,
// kEventConnectFailed or kEventReconnecting. While a connection exists (connecting,
// connected, reconnecting, or ended by 5003 or 8002) it is ignored without an event:
// DisConnectImServer first. Without a core: "ConnectImServer without Initialize does
// nothing"; a null `param`: "ConnectImServer with a null parameter text does nothing".
ZEKCORE_EXPORT void ConnectImServer(const char* param);
// Ends the connection and cancels a pending reconnect; returns at once, then comes
// kEventDisconnected. Without a connection (none made yet, or a failed set-up) nothing
// happens and no event comes. Without a core: "DisConnectImServer without Initialize
// does nothing".
ZEKCORE_EXPORT void DisConnectImServer();
// Sends one message, only while connected (from kEventConnected or kEventReconnected to
// the next kEventReconnecting, kEventServerClosed or kEventDisconnected); at any other
// time it is dropped without an event or a log line, so resend it after the next of
// those two events. Never waits for the network.
// `data`: at least `length` bytes, copied before the call returns; the text ends at its
// first zero byte or after `length` bytes, whichever comes first; an empty text goes out
// too (over WebSocket its echo, not being JSON, never comes back). `type`, a
// tavix::im::ZEkMsgType, goes to the transport unchanged: over KCP kMsgText carries a
// text of at most 1496 bytes, kMsgNoPayload its type alone, and a longer text or another
// type is dropped with a warning line on standard error; over WebSocket every type goes
// as a text of at most 65534 bytes, and a longer one is dropped with two lines there.
// Without a core: "SendUserMessage without Initialize does nothing"; null data or a
// negative length: "SendUserMessage with null data or a negative length does nothing".
ZEKCORE_EXPORT void SendUserMessage(const char* data, int length, int type);
}

#endif  // SRC_LIBZEKCORE_H_
