#ifndef SRC_KCP_ZEK_KCP_CLIENT_H_
#define SRC_KCP_ZEK_KCP_CLIENT_H_

#include <memory>
#include <mutex>
#include <queue>
#include <utility>

#include "rtc_base/sigslot.h"
#include "src/kcp/zek_ikcp.h"

namespace tavix {
namespace im {

// A first-in-first-out queue that any thread may push to while one thread takes
// everything out at once. The lock is held only for the append or the swap, never
// while the consumer works on what it took.
template <typename T>
class ZekQueue {
 public:
  ZekQueue() = default;
  ~ZekQueue() = default;
  ZekQueue(const ZekQueue&) = delete;
  ZekQueue& operator=(const ZekQueue&) = delete;

  // True when the queue was empty before: the item starts a new batch for the consumer.
  bool push(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was_empty = queue_.empty();
    queue_.push(std::move(item));
    return was_empty;
  }

  // Everything queued so far, oldest first; the queue is empty afterwards.
  std::queue<T> grab_all() {
    std::queue<T> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::swap(taken, queue_);
    }
    return taken;
  }

 private:
  std::queue<T> queue_;  // guarded by mutex_
  std::mutex mutex_;
};

// One KCP conversation for the KCP connection. Messages to send may be handed over on
// any thread: they are copied into a locked queue. Everything that touches the engine
// (Update, NetInputDataToKcp, FlushBeforeClose, the destructor) runs on the one worker
// thread that owns the client; Update drains the queue into the engine, hands every
// complete message to SignalDataToUser, runs the engine's clock and sends at once what
// the engine owes, whose datagrams leave through SignalDataToNet. The owner runs Update
// when traffic comes or goes and at the time NextUpdateDelay names. A slot of either
// signal must not destroy the client.
class ZekKcpClient : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  // The largest message the engine can carry: it refuses one that needs a full receive
  // window of fragments. The client never changes the engine's MTU or windows.
  static constexpr int kMaxMessageSize =
      static_cast<int>((kKcpRecvWindow - 1) * (kKcpMtuDefault - kKcpHeaderSize));
  static constexpr int kInitialRecvBufferSize = 10240;

  // One queued message: a private copy of the caller's bytes.
  struct MsgFormat {
    MsgFormat();
    // Copies `len` bytes of `src`; 0 gives an empty copy. `len` must not be negative.
    void Init(const char* src, int len);
    void UnInit();

    std::unique_ptr<char[]> data_;  // null when empty
    int len_;
  };

  ZekKcpClient(unsigned int conv, unsigned short tag);
  virtual ~ZekKcpClient();
  ZekKcpClient(const ZekKcpClient&) = delete;
  ZekKcpClient& operator=(const ZekKcpClient&) = delete;

  // Any thread. Queues a copy of the message for the next Update, so the caller may
  // reuse its buffer at once. The bytes go out as they are (zero bytes included).
  // False, with nothing queued, for a negative length, null data with a length, a
  // message over kMaxMessageSize, or a client without an engine. `first`, when given,
  // tells whether the message found the queue empty: only then need the worker be woken,
  // as the wake-up for the messages before it is still to come.
  bool UserInputDataToKcp(const char* data, int len, bool* first = nullptr);
  // Worker thread. Feeds one received datagram to the engine; false when the engine
  // refused it (short, malformed, another conversation or tag) or there is no engine.
  // Its acknowledgement and what it completes wait for the next Update.
  bool NetInputDataToKcp(const char* data, int len);
  // Worker thread. Drains the queue into the engine, hands out every complete message,
  // runs the engine's clock, then sends what the engine owes now (new messages,
  // acknowledgements, retransmissions that are due) instead of leaving it to the
  // engine's next 10 ms interval.
  void Update();
  // Worker thread. Milliseconds until the engine next has work that no datagram or
  // message will bring (a retransmission, its interval), at least 1; -1 when it has none:
  // nothing is queued, in flight or owed.
  int NextUpdateDelay() const;
  // Worker thread, before the client goes: what was handed over leaves now, as far as the
  // peer's announced window takes it, in one flush. Nothing is received, nothing waits for
  // acknowledgements.
  void FlushBeforeClose();

  // The engine's datagrams, one at a time (bytes, length); worker thread.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, const char*, int> SignalDataToNet;
  // Complete received messages, one at a time (bytes, length), valid during the call;
  // worker thread.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, const char*, int> SignalDataToUser;

  // Worker thread, for diagnostics: the engine (null when it could not be created) and
  // the current size of the receive buffer.
  const IKCPCB* kcp() const { return kcp_; }
  unsigned int conv() const { return conv_; }
  unsigned short tag() const { return tag_; }
  int recv_buffer_size() const { return recv_buffer_size_; }

 private:
  void DoSendQueueDataToNet();
  void DoRecvDataFromKcp();
  // Runs the engine's clock and, when that did not flush, flushes.
  void FlushNow();
  int KcpOutPutDataToNet(const char* data, int len, IKCPCB* kcp);
  static int kcp_output_callback(const char* data, int len, IKCPCB* kcp, void* user);

  // Set in the constructor only, so app threads may test it; the engine behind it is
  // used on the worker thread only.
  IKCPCB* const kcp_;
  const unsigned int conv_;
  const unsigned short tag_;
  std::unique_ptr<char[]> recv_buffer_;  // worker thread
  int recv_buffer_size_;                 // worker thread
  ZekQueue<MsgFormat> send_queue_;       // any thread; locks itself
};

}  // namespace im
}  // namespace tavix

#endif  // SRC_KCP_ZEK_KCP_CLIENT_H_
