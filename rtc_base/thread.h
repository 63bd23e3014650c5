#ifndef RTC_BASE_THREAD_H_
#define RTC_BASE_THREAD_H_

#include <pthread.h>
#include <stdint.h>

#include <list>
#include <memory>
#include <string>

#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/socketserver.h"

namespace rtc {

class Thread;

// Maps each OS thread to its Thread object through a thread-local slot. One per
// process, created on first use, never destroyed; the OS thread that creates it is
// the main thread.
class ThreadManager {
 public:
  static ThreadManager* Instance();

  // The calling OS thread's Thread object, or null.
  Thread* CurrentThread();
  // Replaces the calling OS thread's registration (an overwrite is logged).
  void SetCurrentThread(Thread* thread);
  bool IsMainThread();

 private:
  ThreadManager();

  pthread_key_t tls_key_;
  const PlatformThreadRef main_os_thread_;
};

// A body that a thread runs instead of its message loop.
class Runnable {
 public:
  virtual ~Runnable() {}
  virtual void Run(Thread* thread) = 0;

 protected:
  Runnable() {}
};

// One synchronous call waiting for the thread it was sent to.
struct _SendMessage {
  _SendMessage() : sender_(nullptr), ready_(nullptr) {}
  Thread* sender_;
  Message message_;
  // The sender's flag, set under the target's lock once the message was handled or
  // removed.
  bool* ready_;
};

// A message queue together with the OS thread that runs it. Start, Stop, Join,
// SetName and the destructor belong to the thread object's owner, on another thread
// than the one it starts; Post, PostDelayed, Clear and Quit may come from any thread.
class Thread : public MessageQueue {
 public:
  // Over a new PhysicalSocketServer.
  Thread();
  explicit Thread(std::unique_ptr<SocketServer> server);
  // With do_init false the subclass registers the queue (DoInit) once it is complete.
  Thread(std::unique_ptr<SocketServer> server, bool do_init);
  // Stops the thread (a queued message still runs) and deletes every pending payload.
  ~Thread() override;

  // A new thread, not started, over a new PhysicalSocketServer that it owns.
  static std::unique_ptr<Thread> CreateWithSocketServer();

  // The calling OS thread's Thread object. The main thread gets one on its first
  // call, kept for the process's life; any other OS thread that no Thread started
  // and no AutoThread covers has none (null).
  static Thread* Current();
  bool IsCurrent() const;

  // `name`, then " 0x%p" of `obj` when it is not null. The OS thread gets the name
  // (as much of it as the platform keeps) when it starts. Always true.
  bool SetName(const std::string& name, const void* obj);
  // The full name, never cut.
  std::string name() const;

  // Starts the OS thread running `runnable`, or the message loop when it is null.
  // False when the thread already runs or the platform refuses a thread. A stopped
  // thread may be started again.
  bool Start(Runnable* runnable = nullptr);
  // Quits the loop, which still hands out what is queued or due, and joins the OS
  // thread. Synchronous sends still waiting are released unhandled.
  virtual void Stop();
  // The body of a thread started without a runnable: the message loop, until Quit.
  // A subclass that overrides it stops the thread in its own destructor, before its
  // members go.
  virtual void Run();
  // Runs the message on this thread and returns when it has run (or was cleared).
  // A thread must not be destroyed while another is inside Send to it.
  virtual void Send(const Location& posted_from,
                    MessageHandler* handler,
                    uint32_t id = 0,
                    MessageData* data = nullptr);

  bool IsProcessingMessagesForTesting() override;
  // Also releases the matching synchronous sends, whose senders return unhandled.
  void Clear(MessageHandler* handler,
             uint32_t id = kAnyMessageId,
             MessageList* removed = nullptr) override;
  void ReceiveSends() override;

  // The message loop for `max_ms` (kForeverMs: until Quit). False when it ended
  // because the thread is quitting.
  bool ProcessMessages(int max_ms);

  bool IsRunning() const { return os_thread_ != pthread_t(); }
  // Waits for the OS thread to end. A thread cannot join itself.
  void Join();

  // Makes this object stand for the calling OS thread, which it did not start.
  bool WrapCurrentWithThreadManager(ThreadManager* manager, bool need_synchronize_access);

 protected:
  // Looks up the caller's thread; a hook for a check before a thread blocks.
  static void AssertBlockingIsAllowedOnCurrentThread();

 private:
  static void* PreRun(void* record);
  void ReceiveSendsFromThread(const Thread* source);
  // The caller holds lock_.
  bool PopSendMessageFromThread(const Thread* source, _SendMessage* out);
  // Releases the pending sends that match; the caller holds lock_.
  void ReleasePendingSends(MessageHandler* handler, uint32_t id, MessageList* removed);

  // Guarded by lock_.
  std::list<_SendMessage> pending_sends_;
  // Guarded by lock_: the new OS thread reads it as it starts.
  std::string name_;
  // The owner's; zero while the thread is not running.
  pthread_t os_thread_;
  bool owns_os_thread_;
};

// A thread object that registers itself as the current thread of the OS thread that
// builds it, if that OS thread has none, until it is destroyed.
class AutoThread : public Thread {
 public:
  AutoThread();
  ~AutoThread() override;
};

}  // namespace rtc

#endif  // RTC_BASE_THREAD_H_
