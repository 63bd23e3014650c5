#include "rtc_base/signalthread.h"

#include <pthread.h>

#include <memory>

#include "rtc_base/checks.h"
#include "rtc_base/location.h"
#include "rtc_base/logging.h"
#include "rtc_base/nullsocketserver.h"

namespace rtc {

// SignalThread::Worker

SignalThread::Worker::Worker(SignalThread* signal_thread)
    : Thread(std::unique_ptr<SocketServer>(new NullSocketServer()), false),
      signal_thread_(signal_thread) {
  DoInit();
}

SignalThread::Worker::~Worker() {
  if (IsCurrent()) {
    // The worker dropped the last reference after its work (the owner's queue is
    // gone) and a thread cannot join itself: the thread object lets go of its OS
    // thread, which ends right after this and is reclaimed, detached.
    ThreadManager* const manager = ThreadManager::Instance();
    manager->SetCurrentThread(nullptr);
    WrapCurrentWithThreadManager(manager, false);
    manager->SetCurrentThread(nullptr);
    pthread_detach(pthread_self());
  }
  Stop();
  // Out of the queue registry before the thread base's destructor changes what this
  // object is: another thread's purge may be walking the registry meanwhile.
  DoDestroy();
}

void SignalThread::Worker::Run() {
  signal_thread_->Run();
}

bool SignalThread::Worker::IsProcessingMessagesForTesting() {
  return false;
}

// SignalThread::EnterExit

SignalThread::EnterExit::EnterExit(SignalThread* signal_thread) : signal_thread_(signal_thread) {
  signal_thread_->lock_.Enter();
  ++signal_thread_->ref_count_;
}

SignalThread::EnterExit::~EnterExit() {
  const bool last = --signal_thread_->ref_count_ == 0;
  RTC_DCHECK_GE(signal_thread_->ref_count_, 0);
  signal_thread_->lock_.Leave();
  if (last) {
    delete signal_thread_;
  }
}

// SignalThread

SignalThread::SignalThread()
    : owner_thread_(Thread::Current()),
      worker_(this),
      state_(kWorkIdle),
      ref_count_(1),
      owner_reference_(true),
      work_done_(false),
      completion_pending_(false) {
  if (owner_thread_) {
    owner_thread_->SignalQueueDestroying.connect(this, &SignalThread::OnMainThreadDestroyed);
  } else {
    RTC_LOG(LS_WARNING) << "SignalThread created on a thread without a Thread: "
                        << "its completion has nowhere to go";
  }
  worker_.SetName("SignalThread", this);
}

SignalThread::~SignalThread() = default;

void SignalThread::Start() {
  EnterExit ee(this);
  if (state_ != kWorkIdle && state_ != kWorkComplete) {
    return;
  }
  state_ = kWorkRunning;
  work_done_ = false;
  completion_pending_ = false;
  OnWorkStart();
  if (!worker_.Start()) {
    // No completion will ever come; a Destroy releases the object at once.
    work_done_ = true;
  }
}

void SignalThread::Destroy(bool wait) {
  EnterExit ee(this);
  if (state_ == kWorkIdle || state_ == kWorkComplete) {
    DropOwnerReference();
  } else if (state_ == kWorkRunning) {
    state_ = kWorkAbandoned;
    worker_.Quit();
    OnWorkStop();
    if (wait) {
      // Dropped now, so that nothing else drops it while we wait; this guard keeps
      // the object until the end. The completion posted meanwhile goes with the
      // handler.
      DropOwnerReference();
      // The worker needs the lock to finish.
      lock_.Leave();
      worker_.Stop();
      lock_.Enter();
    } else if (CompletionCannotArrive()) {
      DropOwnerReference();
    }
  }
}

void SignalThread::OnMessage(Message* msg) {
  EnterExit ee(this);
  if (msg->id_ != kWorkDoneMessageId || !completion_pending_) {
    return;
  }
  completion_pending_ = false;
  OnWorkDone();
  bool release = false;
  if (state_ == kWorkRunning) {
    state_ = kWorkComplete;
  } else {
    release = true;
  }
  if (state_ != kWorkAbandoned) {
    // The worker has posted, so its OS thread is ending.
    worker_.Stop();
    SignalWorkFinished(this);
  }
  if (release) {
    DropOwnerReference();
  }
}

void SignalThread::Run() {
  DoWork();
  EnterExit ee(this);
  work_done_ = true;
  // A quitting queue would refuse the post; teardown or Destroy settles it then.
  if (owner_thread_ && !owner_thread_->IsQuitting()) {
    owner_thread_->Post(RTC_FROM_HERE_WITH_FUNCTION("Run"), this, kWorkDoneMessageId);
    completion_pending_ = true;
  }
  // Only with the owner's queue gone: until then that queue's teardown may reach
  // this object through its signal from another thread.
  if (!owner_thread_ && state_ == kWorkAbandoned) {
    DropOwnerReference();
  }
}

void SignalThread::OnMainThreadDestroyed() {
  EnterExit ee(this);
  if (owner_thread_) {
    // Ended here, on the emitting thread, so that whichever thread deletes this
    // object later has nothing of the dying queue to touch.
    sigslot::_signal_base_interface* const sender = &owner_thread_->SignalQueueDestroying;
    sender->slot_disconnect(this);
    signal_disconnect(sender);
  }
  owner_thread_ = nullptr;
  // The teardown drops a completion still queued.
  completion_pending_ = false;
  if (state_ == kWorkAbandoned && CompletionCannotArrive()) {
    DropOwnerReference();
  }
}

void SignalThread::DropOwnerReference() {
  if (!owner_reference_) {
    return;
  }
  owner_reference_ = false;
  --ref_count_;
}

bool SignalThread::CompletionCannotArrive() const {
  return work_done_ && !completion_pending_;
}

}  // namespace rtc
