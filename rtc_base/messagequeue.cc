#include "rtc_base/messagequeue.h"

#include <algorithm>

#include "rtc_base/atomicops.h"
#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/numerics/safe_conversions.h"
#include "rtc_base/timeutils.h"

namespace rtc {
namespace {

// Messages handed out in a row, while more keep coming, before the sockets get a look.
constexpr int kMessagesPerSocketLook = 32;

// Payloads are deleted only after the queue's lock is released: a payload's
// destructor may destroy a handler, whose purge takes the registry's lock, and that
// lock comes before any queue's.
void DeletePayloads(MessageList* dropped) {
  for (Message& msg : *dropped) {
    delete msg.data_;
  }
  dropped->clear();
}

}  // namespace

// MessageQueueManager

MessageQueueManager::MessageQueueManager() {}

MessageQueueManager* MessageQueueManager::Instance() {
  static MessageQueueManager* const instance = new MessageQueueManager();
  return instance;
}

void MessageQueueManager::Add(MessageQueue* queue) {
  MessageQueueManager* self = Instance();
  CritScope cs(&self->lock_);
  self->queues_.push_back(queue);
}

void MessageQueueManager::Remove(MessageQueue* queue) {
  MessageQueueManager* self = Instance();
  CritScope cs(&self->lock_);
  auto it = std::find(self->queues_.begin(), self->queues_.end(), queue);
  if (it != self->queues_.end()) {
    self->queues_.erase(it);
  }
}

void MessageQueueManager::Clear(MessageHandler* handler) {
  MessageQueueManager* self = Instance();
  MessageList dropped;
  {
    // Held for the whole walk, so no queue can leave the registry (and be freed)
    // while it is being cleared.
    CritScope cs(&self->lock_);
    for (MessageQueue* queue : self->queues_) {
      queue->Clear(handler, kAnyMessageId, &dropped);
    }
  }
  // After the walk: a payload's destructor may destroy a handler, or a queue, which
  // changes the registry.
  DeletePayloads(&dropped);
}

// MessageQueue

MessageQueue::MessageQueue(SocketServer* server, bool init_queue)
    : peek_kept_(false),
      next_sequence_(0),
      registered_(false),
      destroyed_(false),
      quitting_(0),
      socket_server_(server) {
  RTC_CHECK(server) << "a message queue needs a socket server";
  socket_server_->SetMessageQueue(this);
  if (init_queue) {
    DoInit();
  }
}

MessageQueue::MessageQueue(std::unique_ptr<SocketServer> server, bool init_queue)
    : MessageQueue(server.get(), init_queue) {
  owned_socket_server_ = std::move(server);
}

MessageQueue::~MessageQueue() {
  DoDestroy();
}

void MessageQueue::DoInit() {
  if (registered_) {
    return;
  }
  registered_ = true;
  MessageQueueManager::Add(this);
}

void MessageQueue::DoDestroy() {
  if (destroyed_) {
    return;
  }
  destroyed_ = true;
  SignalQueueDestroying();
  MessageQueueManager::Remove(this);
  // Another thread may still be posting while the queue goes down: from here on its
  // posts are refused, and what came before is cleared under the lock.
  AtomicOps::ReleaseStore(&quitting_, 1);
  MessageList dropped;
  {
    CritScope cs(&lock_);
    ClearInternal(nullptr, kAnyMessageId, &dropped);
  }
  DeletePayloads(&dropped);
  socket_server_->SetMessageQueue(nullptr);
}

void MessageQueue::WakeUpSocketServer() {
  socket_server_->WakeUp();
}

void MessageQueue::Quit() {
  AtomicOps::ReleaseStore(&quitting_, 1);
  WakeUpSocketServer();
}

bool MessageQueue::IsQuitting() {
  return AtomicOps::AcquireLoad(&quitting_) != 0;
}

void MessageQueue::Restart() {
  AtomicOps::ReleaseStore(&quitting_, 0);
}

bool MessageQueue::IsProcessingMessagesForTesting() {
  return !IsQuitting();
}

bool MessageQueue::Peek(Message* out, int wait_ms) {
  {
    CritScope cs(&lock_);
    if (peek_kept_) {
      *out = peeked_message_;
      return true;
    }
  }
  if (!Get(out, wait_ms, true)) {
    return false;
  }
  CritScope cs(&lock_);
  peeked_message_ = *out;
  peek_kept_ = true;
  return true;
}

bool MessageQueue::Get(Message* out, int wait_ms, bool process_io) {
  {
    CritScope cs(&lock_);
    if (peek_kept_) {
      *out = peeked_message_;
      peek_kept_ = false;
      return true;
    }
  }

  const int64_t total = wait_ms;
  int64_t elapsed = 0;
  const int64_t start = TimeMillis();
  int64_t now = start;
  while (true) {
    ReceiveSends();

    // Threads that keep posting must not starve the sockets: their events (a read, a
    // write that drains what waits to be sent) get a look-in between messages.
    if (process_io && handed_out_since_io_ >= kMessagesPerSocketLook) {
      handed_out_since_io_ = 0;
      if (!socket_server_->Wait(0, true)) {
        return false;
      }
      now = TimeMillis();
    }

    int64_t next_delay = kForeverMs;
    bool first_pass = true;
    while (true) {
      {
        CritScope cs(&lock_);
        // Due delayed messages join the FIFO behind everything already in it, once
        // per cycle.
        if (first_pass) {
          first_pass = false;
          while (!delayed_messages_.empty()) {
            const DelayedMessage& top = delayed_messages_.top();
            if (now < top.trigger_ms_) {
              next_delay = TimeDiff(top.trigger_ms_, now);
              break;
            }
            messages_.push_back(top.message_);
            delayed_messages_.pop();
          }
        }
        if (messages_.empty()) {
          break;
        }
        *out = messages_.front();
        messages_.pop_front();
      }

      if (out->deadline_ms_ != 0) {
        const int64_t late = TimeDiff(now, out->deadline_ms_);
        if (late > 0) {
          RTC_LOG(LS_WARNING) << "virtual bool rtc::MessageQueue::Get(rtc::Message *, int, bool)"
                              << ": "
                              << "id: " << out->id_
                              << "  delay: " << static_cast<long long>(late + kMaxMessageLatencyMs)
                              << "ms";
        }
      }
      if (out->id_ == kDisposeMessageId) {
        delete out->data_;
        *out = Message();
        continue;
      }
      ++handed_out_since_io_;
      return true;
    }

    if (IsQuitting()) {
      return false;
    }

    int64_t wait;
    if (wait_ms == kForeverMs) {
      wait = next_delay;
    } else {
      wait = std::max<int64_t>(0, total - elapsed);
      if (next_delay != kForeverMs && next_delay < wait) {
        wait = next_delay;
      }
    }
    handed_out_since_io_ = 0;
    if (!socket_server_->Wait(saturated_cast<int>(wait), process_io)) {
      return false;
    }

    now = TimeMillis();
    elapsed = TimeDiff(now, start);
    if (wait_ms != kForeverMs && elapsed >= wait_ms) {
      return false;
    }
  }
}

void MessageQueue::ReceiveSends() {}

void MessageQueue::Post(const Location& posted_from,
                        MessageHandler* handler,
                        uint32_t id,
                        MessageData* data,
                        bool time_sensitive) {
  bool accepted = false;
  {
    CritScope cs(&lock_);
    // Checked under the lock so that a post racing with DoDestroy is either cleared
    // by it or refused, never left behind.
    if (!IsQuitting()) {
      Message msg(posted_from, handler, id, data);
      if (time_sensitive) {
        msg.deadline_ms_ = TimeMillis() + kMaxMessageLatencyMs;
      }
      messages_.push_back(msg);
      accepted = true;
    }
  }
  EndPost(accepted, data);
}

void MessageQueue::PostDelayed(const Location& posted_from,
                               int delay_ms,
                               MessageHandler* handler,
                               uint32_t id,
                               MessageData* data) {
  DoDelayPost(posted_from, delay_ms, TimeAfter(delay_ms), handler, id, data);
}

void MessageQueue::PostAt(const Location& posted_from,
                          int64_t run_at_ms,
                          MessageHandler* handler,
                          uint32_t id,
                          MessageData* data) {
  DoDelayPost(posted_from, TimeUntil(run_at_ms), run_at_ms, handler, id, data);
}

void MessageQueue::PostAt(const Location& posted_from,
                          uint32_t run_at_ms,
                          MessageHandler* handler,
                          uint32_t id,
                          MessageData* data) {
  const int64_t trigger = static_cast<int64_t>(static_cast<uint64_t>(run_at_ms));
  DoDelayPost(posted_from, TimeUntil(trigger), trigger, handler, id, data);
}

void MessageQueue::DoDelayPost(const Location& posted_from,
                               int64_t delay_ms,
                               int64_t trigger_ms,
                               MessageHandler* handler,
                               uint32_t id,
                               MessageData* data) {
  bool accepted = false;
  {
    CritScope cs(&lock_);
    if (!IsQuitting()) {
      delayed_messages_.push(DelayedMessage(delay_ms, trigger_ms, next_sequence_,
                                            Message(posted_from, handler, id, data)));
      // Wraps from 2^32 - 1 to 0; unsigned arithmetic does it.
      ++next_sequence_;
      accepted = true;
    }
  }
  EndPost(accepted, data);
}

void MessageQueue::EndPost(bool accepted, MessageData* data) {
  if (!accepted) {
    delete data;
    return;
  }
  WakeUpSocketServer();
}

int MessageQueue::GetDelay() {
  CritScope cs(&lock_);
  if (!messages_.empty()) {
    return 0;
  }
  if (delayed_messages_.empty()) {
    return kForeverMs;
  }
  const int64_t delay = TimeUntil(delayed_messages_.top().trigger_ms_);
  return delay < 0 ? 0 : saturated_cast<int>(delay);
}

void MessageQueue::Clear(MessageHandler* handler, uint32_t id, MessageList* removed) {
  MessageList dropped;
  {
    CritScope cs(&lock_);
    ClearInternal(handler, id, removed ? removed : &dropped);
  }
  DeletePayloads(&dropped);
}

void MessageQueue::ClearInternal(MessageHandler* handler, uint32_t id, MessageList* removed) {
  if (peek_kept_ && peeked_message_.Match(handler, id)) {
    removed->push_back(peeked_message_);
    peek_kept_ = false;
  }

  for (auto it = messages_.begin(); it != messages_.end();) {
    if (it->Match(handler, id)) {
      removed->push_back(*it);
      it = messages_.erase(it);
    } else {
      ++it;
    }
  }

  auto& delayed = delayed_messages_.container();
  auto kept = delayed.begin();
  for (auto it = delayed.begin(); it != delayed.end(); ++it) {
    if (it->message_.Match(handler, id)) {
      removed->push_back(it->message_);
    } else {
      if (kept != it) {
        *kept = std::move(*it);
      }
      ++kept;
    }
  }
  delayed.erase(kept, delayed.end());
  delayed_messages_.reheap();
}

void MessageQueue::Dispatch(Message* msg) {
  const int64_t start = TimeMillis();
  msg->handler_->OnMessage(msg);
  const int64_t took = TimeDiff(TimeMillis(), start);
  if (took >= kSlowDispatchThresholdMs) {
    RTC_LOG(LS_INFO) << "Message took " << static_cast<long long>(took)
                     << "ms to dispatch. Posted from: " << msg->location_.ToString();
  }
}

}  // namespace rtc
