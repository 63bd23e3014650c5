#ifndef RTC_BASE_MESSAGEQUEUE_H_
#define RTC_BASE_MESSAGEQUEUE_H_

#include <stdint.h>

#include <algorithm>
#include <list>
#include <memory>
#include <queue>
#include <vector>

#include "rtc_base/criticalsection.h"
#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/socketserver.h"

namespace rtc {

// As the id argument of Clear or Match: every id.
constexpr uint32_t kAnyMessageId = 0xFFFFFFFF;
// A message with this id is never handed out: Get deletes its payload and skips it.
constexpr uint32_t kDisposeMessageId = 0xFFFFFFFE;
// A wait without limit (Get, Peek, SocketServer::Wait); GetDelay() with nothing queued.
constexpr int kForeverMs = -1;
// A time-sensitive message is late this long after it was posted.
constexpr int kMaxMessageLatencyMs = 150;
// A handler call at least this long is logged.
constexpr int kSlowDispatchThresholdMs = 50;

class MessageQueue;

// The process-wide registry of live queues, so that a handler's destruction can purge
// its messages from all of them. Created on first use, never destroyed. Its lock is
// taken before any queue's lock.
class MessageQueueManager {
 public:
  static void Add(MessageQueue* queue);
  static void Remove(MessageQueue* queue);
  // Removes every message still queued for `handler` from every registered queue and
  // deletes their payloads.
  static void Clear(MessageHandler* handler);

 private:
  MessageQueueManager();
  static MessageQueueManager* Instance();

  // Guarded by lock_; any thread.
  std::vector<MessageQueue*> queues_;
  CriticalSection lock_;
};

// A posted message. Copying it copies the payload pointer, never the payload.
struct Message {
  Message() : handler_(nullptr), id_(0), data_(nullptr), deadline_ms_(0) {}
  Message(const Location& location, MessageHandler* handler, uint32_t id, MessageData* data)
      : location_(location), handler_(handler), id_(id), data_(data), deadline_ms_(0) {}

  // A null handler matches every handler and kAnyMessageId every id.
  bool Match(MessageHandler* handler, uint32_t id) const {
    return (handler == nullptr || handler == handler_) && (id == kAnyMessageId || id == id_);
  }

  Location location_;
  MessageHandler* handler_;
  uint32_t id_;
  MessageData* data_;
  // On the TimeMillis() clock; 0 when the message is not time-sensitive.
  int64_t deadline_ms_;
};

typedef std::list<Message> MessageList;

// A message waiting for its time.
class DelayedMessage {
 public:
  DelayedMessage(int64_t delay_ms, int64_t trigger_ms, uint32_t sequence, const Message& message)
      : delay_ms_(delay_ms), trigger_ms_(trigger_ms), sequence_(sequence), message_(message) {}

  // The queue keeps the greatest on top: the earliest trigger, and among equal
  // triggers the lowest sequence number, that is the one posted first.
  bool operator<(const DelayedMessage& other) const {
    return (other.trigger_ms_ < trigger_ms_) ||
           (other.trigger_ms_ == trigger_ms_ && other.sequence_ < sequence_);
  }

  // As asked for; nothing reads it.
  int64_t delay_ms_;
  int64_t trigger_ms_;
  uint32_t sequence_;
  Message message_;
};

// The message queue of a thread: immediate messages in post order, delayed messages
// by their time, handed out by Get on the owning thread, which waits in the queue's
// socket server while nothing is due. Post, PostDelayed, PostAt, Clear, Quit,
// Restart, IsQuitting and GetDelay may be called from any thread.
class MessageQueue {
 public:
  // `server` must not be null and must outlive the queue. With init_queue false the
  // queue joins the registry only when the subclass calls DoInit().
  MessageQueue(SocketServer* server, bool init_queue);
  MessageQueue(std::unique_ptr<SocketServer> server, bool init_queue);
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;
  virtual ~MessageQueue();

  SocketServer* socketserver() { return socket_server_; }

  // Makes Get return false once nothing queued or due is left; posts are refused
  // (their payloads deleted) until Restart. Nothing queued is discarded.
  virtual void Quit();
  virtual bool IsQuitting();
  virtual void Restart();
  virtual bool IsProcessingMessagesForTesting();

  // The next message to dispatch, waiting up to `wait_ms` (kForeverMs: no limit) and
  // delivering socket events meanwhile when `process_io`. False when the time ran
  // out, the queue is quitting with nothing ready, or the server's wait failed.
  virtual bool Get(Message* out, int wait_ms = kForeverMs, bool process_io = true);
  // Like Get, but the message stays for the next Get.
  virtual bool Peek(Message* out, int wait_ms = 0);
  // `data` belongs to the queue from here on. Every post wakes the server.
  virtual void Post(const Location& posted_from,
                    MessageHandler* handler,
                    uint32_t id = 0,
                    MessageData* data = nullptr,
                    bool time_sensitive = false);
  virtual void PostDelayed(const Location& posted_from,
                           int delay_ms,
                           MessageHandler* handler,
                           uint32_t id = 0,
                           MessageData* data = nullptr);
  virtual void PostAt(const Location& posted_from,
                      int64_t run_at_ms,
                      MessageHandler* handler,
                      uint32_t id = 0,
                      MessageData* data = nullptr);
  // A 32-bit time, widened without sign extension and compared as it is with the
  // 64-bit clock.
  virtual void PostAt(const Location& posted_from,
                      uint32_t run_at_ms,
                      MessageHandler* handler,
                      uint32_t id = 0,
                      MessageData* data = nullptr);
  // Removes the matching messages not yet handed out: into `removed` when it is not
  // null (the payloads go with them), otherwise deleting their payloads. In order:
  // a peeked message, the immediate ones in order, the delayed ones in heap order.
  virtual void Clear(MessageHandler* handler,
                     uint32_t id = kAnyMessageId,
                     MessageList* removed = nullptr);
  // Calls the handler. The payload is the handler's to delete.
  virtual void Dispatch(Message* msg);
  // Called at the start of every cycle of Get; nothing to do here.
  virtual void ReceiveSends();
  // 0 with a message ready, kForeverMs with nothing queued, otherwise the
  // milliseconds until the next delayed message.
  virtual int GetDelay();

  // Emitted once, when the queue is torn down, on the thread that tears it down.
  sigslot::signal_with_thread_policy<sigslot::single_threaded> SignalQueueDestroying;

 protected:
  // The delayed messages: a heap whose storage can be walked and compacted.
  class PriorityQueue : public std::priority_queue<DelayedMessage> {
   public:
    container_type& container() { return c; }
    void reheap() { std::make_heap(c.begin(), c.end(), comp); }
  };

  // Registers the queue, once.
  void DoInit();
  // Unregisters the queue and deletes every pending payload, once; a subclass calls
  // it from its own destructor so that nothing reaches it half destroyed.
  void DoDestroy();
  void WakeUpSocketServer();
  // The end of a post: an accepted one wakes the server, a refused one's payload is
  // deleted.
  void EndPost(bool accepted, MessageData* data);
  void DoDelayPost(const Location& posted_from,
                   int64_t delay_ms,
                   int64_t trigger_ms,
                   MessageHandler* handler,
                   uint32_t id,
                   MessageData* data);
  // Moves the matching messages into `removed`. The caller holds lock_, and deletes
  // their payloads only once it has released it.
  void ClearInternal(MessageHandler* handler, uint32_t id, MessageList* removed);

  // Guarded by lock_ (posting threads and the owning thread).
  bool peek_kept_;
  Message peeked_message_;
  MessageList messages_;
  PriorityQueue delayed_messages_;
  uint32_t next_sequence_;
  CriticalSection lock_;

 private:
  // Touched by the owner of the queue object only.
  bool registered_;
  bool destroyed_;
  // The thread that gets the messages: those handed out since its sockets were last
  // looked at.
  int handed_out_since_io_ = 0;
  // Any thread; only through AtomicOps.
  volatile int quitting_;
  SocketServer* const socket_server_;
  std::unique_ptr<SocketServer> owned_socket_server_;
};

}  // namespace rtc

#endif  // RTC_BASE_MESSAGEQUEUE_H_
