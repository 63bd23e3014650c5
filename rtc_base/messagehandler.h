#ifndef RTC_BASE_MESSAGEHANDLER_H_
#define RTC_BASE_MESSAGEHANDLER_H_

namespace rtc {

struct Message;

// The polymorphic base of message payloads. A payload belongs to its message: the
// handler deletes it after handling it, and a queue deletes it when it drops the
// message unhandled.
class MessageData {
 public:
  MessageData() {}
  virtual ~MessageData() {}
};

// The receiver of posted messages.
//
// Destroying a handler removes the messages still queued for it from every live
// queue and deletes their payloads, so no queued message reaches a destroyed
// handler. It does not wait for a dispatch already running on another thread: a
// handler whose messages another thread may be handling at that moment must not be
// destroyed (that thread must be stopped, or known to be busy elsewhere, first).
class MessageHandler {
 public:
  MessageHandler() {}
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;
  virtual ~MessageHandler();

  virtual void OnMessage(Message* msg) = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_MESSAGEHANDLER_H_
