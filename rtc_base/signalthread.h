#ifndef RTC_BASE_SIGNALTHREAD_H_
#define RTC_BASE_SIGNALTHREAD_H_

#include <stdint.h>

#include "rtc_base/criticalsection.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/thread.h"

namespace rtc {

// One piece of blocking work done on a private worker thread, so that the owner's
// thread never blocks on it. The object is created on its owner's thread (which must
// have a Thread), Start runs DoWork on the worker, and the completion comes back to
// the owner's thread as a posted message, where OnWorkDone runs.
//
// The owner never deletes the object: it releases it with Destroy, and the object
// deletes itself once neither the owner nor the worker needs it. Work abandoned by
// Destroy(false) goes when its completion arrives or, when the owner's queue is
// quitting or torn down and no completion can arrive, when the worker has finished
// and that queue is gone.
class SignalThread : public sigslot::has_slots<sigslot::single_threaded>, public MessageHandler {
 public:
  // The id of the completion message posted to the owner's thread.
  static constexpr uint32_t kWorkDoneMessageId = 0;

  SignalThread();
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

  // Runs DoWork on the worker thread. Ignored while work is running or abandoned;
  // after a completion the work may be started again.
  void Start();
  // The owner's release. Before Start or after the completion the object is deleted
  // at once. While the work runs it is abandoned: with `wait` this returns once the
  // work has ended, the object deleted and no completion reported; without it the
  // object goes by itself later (see above), OnWorkDone still running if the
  // completion arrives. The object must not be touched after this call.
  void Destroy(bool wait);

  // The completion, on the owner's thread.
  void OnMessage(Message* msg) override;

  // On the owner's thread when the work is done and the owner still wants it.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, SignalThread*> SignalWorkFinished;

 protected:
  // Only the object itself deletes itself, through its reference count.
  ~SignalThread() override;

  // On the thread that calls Start, before the worker starts.
  virtual void OnWorkStart() {}
  // On the worker thread, without the lock.
  virtual void DoWork() = 0;
  // On the thread that calls Destroy, when it abandons running work.
  virtual void OnWorkStop() {}
  // On the owner's thread with the completion, whether or not the work was abandoned.
  virtual void OnWorkDone() {}

  Thread* worker() { return &worker_; }

 private:
  enum State {
    kWorkIdle = 0,
    kWorkRunning = 1,
    kWorkComplete = 3,
    kWorkAbandoned = 4,
  };

  // The private worker thread: a thread over a null socket server whose body is the
  // signal thread's Run instead of a message loop.
  class Worker : public Thread {
   public:
    explicit Worker(SignalThread* signal_thread);
    // Joins the OS thread; on that very thread (the worker dropped the last
    // reference itself) it detaches it instead, since a thread cannot join itself.
    ~Worker() override;

    void Run() override;
    bool IsProcessingMessagesForTesting() override;

   private:
    SignalThread* const signal_thread_;
  };

  // Holds lock_ and one reference for its scope; the guard that drops the last
  // reference deletes the object once the lock is released.
  class EnterExit {
   public:
    explicit EnterExit(SignalThread* signal_thread);
    EnterExit(const EnterExit&) = delete;
    EnterExit& operator=(const EnterExit&) = delete;
    ~EnterExit();

   private:
    SignalThread* const signal_thread_;
  };

  // The worker's body.
  void Run();
  // The owner's queue is being torn down, on the thread that tears it down.
  void OnMainThreadDestroyed();

  // The caller holds lock_ and a guard, so the count never reaches 0 here.
  void DropOwnerReference();
  // The caller holds lock_: the worker has finished and no completion is on its way.
  bool CompletionCannotArrive() const;

  // Guarded by lock_: read by the worker to post, cleared by whichever thread tears
  // the owner's queue down.
  Thread* owner_thread_;
  // Declared before worker_ so that the worker's OS thread, which may still be
  // leaving the lock, is joined before the lock goes.
  CriticalSection lock_;
  Worker worker_;
  // The fields below: guarded by lock_ (owner's thread, worker, queue teardown).
  int state_;
  int ref_count_;
  // The owner's reference is still counted in ref_count_. Cleared by whichever
  // operation drops it, so that it is dropped once.
  bool owner_reference_;
  // The worker has passed its posting step (or could not be started).
  bool work_done_;
  // The completion was posted and has not been handled yet.
  bool completion_pending_;
};

}  // namespace rtc

#endif  // RTC_BASE_SIGNALTHREAD_H_
