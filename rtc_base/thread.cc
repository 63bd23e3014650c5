#include "rtc_base/thread.h"

#include <stdio.h>

#include "rtc_base/checks.h"
#include "rtc_base/logging.h"
#include "rtc_base/objc_hooks.h"
#include "rtc_base/physicalsocketserver.h"
#include "rtc_base/timeutils.h"

namespace rtc {
namespace {

// The object Current() made for the main thread, also held here so that it stays
// reachable for the process's life.
Thread* g_main_thread_wrapper = nullptr;

// Handed from Start to the new OS thread, which deletes it.
struct ThreadStartRecord {
  Thread* thread_;
  Runnable* runnable_;
};

}  // namespace

// ThreadManager

ThreadManager* ThreadManager::Instance() {
  static ThreadManager* const instance = new ThreadManager();
  return instance;
}

ThreadManager::ThreadManager() : main_os_thread_(CurrentThreadRef()) {
  InitCocoaMultiThreading();
  RTC_CHECK_EQ(0, pthread_key_create(&tls_key_, nullptr));
}

Thread* ThreadManager::CurrentThread() {
  return static_cast<Thread*>(pthread_getspecific(tls_key_));
}

void ThreadManager::SetCurrentThread(Thread* thread) {
  if (thread && CurrentThread()) {
    RTC_LOG(LS_ERROR) << "SetCurrentThread: Overwriting an existing value?";
  }
  pthread_setspecific(tls_key_, thread);
}

bool ThreadManager::IsMainThread() {
  return IsThreadRefEqual(CurrentThreadRef(), main_os_thread_);
}

// Thread

Thread::Thread() : Thread(SocketServer::CreateDefault(), true) {}

Thread::Thread(std::unique_ptr<SocketServer> server) : Thread(std::move(server), true) {}

Thread::Thread(std::unique_ptr<SocketServer> server, bool do_init)
    : MessageQueue(std::move(server), false), os_thread_(), owns_os_thread_(true) {
  SetName("Thread", this);
  if (do_init) {
    DoInit();
  }
}

Thread::~Thread() {
  Stop();
  DoDestroy();
}

std::unique_ptr<Thread> Thread::CreateWithSocketServer() {
  return std::unique_ptr<Thread>(
      new Thread(std::unique_ptr<SocketServer>(new PhysicalSocketServer())));
}

Thread* Thread::Current() {
  ThreadManager* manager = ThreadManager::Instance();
  Thread* thread = manager->CurrentThread();
  if (thread) {
    return thread;
  }
  if (manager->IsMainThread()) {
    // Stands for the main thread from now on; never started, never destroyed.
    thread = new Thread(SocketServer::CreateDefault());
    thread->WrapCurrentWithThreadManager(manager, true);
    g_main_thread_wrapper = thread;
  }
  return thread;
}

bool Thread::IsCurrent() const {
  return ThreadManager::Instance()->CurrentThread() == this;
}

bool Thread::SetName(const std::string& name, const void* obj) {
  std::string full = name;
  if (obj) {
    char buf[30];
    snprintf(buf, sizeof(buf), " 0x%p", obj);
    full += buf;
  }
  CritScope cs(&lock_);
  name_ = full;
  return true;
}

std::string Thread::name() const {
  CritScope cs(&lock_);
  return name_;
}

bool Thread::Start(Runnable* runnable) {
  if (IsRunning()) {
    return false;
  }
  Restart();
  // The manager, and its record of the main thread, exist before the new thread
  // looks for them.
  ThreadManager::Instance();

  owns_os_thread_ = true;
  ThreadStartRecord* record = new ThreadStartRecord{this, runnable};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  const int error_code = pthread_create(&os_thread_, &attr, &Thread::PreRun, record);
  pthread_attr_destroy(&attr);
  if (error_code) {
    RTC_LOG(LS_ERROR) << "Unable to create pthread, error " << error_code;
    os_thread_ = pthread_t();
    delete record;
    return false;
  }
  return true;
}

void* Thread::PreRun(void* pv) {
  ThreadStartRecord* record = static_cast<ThreadStartRecord*>(pv);
  Thread* const thread = record->thread_;
  ThreadManager::Instance()->SetCurrentThread(thread);
  SetCurrentThreadName(thread->name().c_str());
  {
    ScopedAutoreleasePool pool;
    if (record->runnable_) {
      record->runnable_->Run(thread);
    } else {
      thread->Run();
    }
    ThreadManager::Instance()->SetCurrentThread(nullptr);
    delete record;
  }
  return nullptr;
}

void Thread::Run() {
  ProcessMessages(kForeverMs);
}

bool Thread::ProcessMessages(int max_ms) {
  const int64_t end = max_ms == kForeverMs ? 0 : TimeAfter(max_ms);
  int next = max_ms;
  while (true) {
    ScopedAutoreleasePool pool;
    Message msg;
    if (!Get(&msg, next, true)) {
      if (IsQuitting()) {
        return false;
      }
      if (max_ms != kForeverMs) {
        return true;
      }
      // A wait that failed ends nothing: only Quit ends the loop.
      continue;
    }
    Dispatch(&msg);
    if (max_ms != kForeverMs) {
      const int64_t left = TimeUntil(end);
      if (left < 0) {
        return true;
      }
      next = static_cast<int>(left);
    }
  }
}

void Thread::Stop() {
  MessageQueue::Quit();
  Join();
  // Nothing will handle them now: their senders would wait for ever.
  MessageList dropped;
  {
    CritScope cs(&lock_);
    ReleasePendingSends(nullptr, kAnyMessageId, &dropped);
  }
  for (Message& msg : dropped) {
    delete msg.data_;
  }
}

void Thread::Join() {
  if (!IsRunning()) {
    return;
  }
  if (!owns_os_thread_) {
    // A thread this object did not start is not ours to wait for.
    os_thread_ = pthread_t();
    return;
  }
  RTC_CHECK(!IsCurrent()) << "a thread cannot stop or join itself";
  pthread_join(os_thread_, nullptr);
  os_thread_ = pthread_t();
}

bool Thread::IsProcessingMessagesForTesting() {
  return (owns_os_thread_ || IsCurrent()) && MessageQueue::IsProcessingMessagesForTesting();
}

void Thread::AssertBlockingIsAllowedOnCurrentThread() {
  Thread::Current();
}

void Thread::Send(const Location& posted_from,
                  MessageHandler* handler,
                  uint32_t id,
                  MessageData* data) {
  if (IsQuitting()) {
    return;
  }

  Message msg(posted_from, handler, id, data);
  if (IsCurrent()) {
    handler->OnMessage(&msg);
    return;
  }

  AssertBlockingIsAllowedOnCurrentThread();
  // Gives the calling OS thread a thread object for the call if it has none.
  AutoThread thread;
  Thread* const current = Thread::Current();
  RTC_CHECK(current);

  bool ready = false;
  {
    CritScope cs(&lock_);
    _SendMessage send;
    send.sender_ = current;
    send.message_ = msg;
    send.ready_ = &ready;
    pending_sends_.push_back(send);
  }
  WakeUpSocketServer();

  bool waited = false;
  lock_.Enter();
  while (!ready) {
    lock_.Leave();
    // Serve what this thread sends back meanwhile, so that two threads sending to
    // each other do not block each other.
    current->ReceiveSendsFromThread(this);
    current->socketserver()->Wait(kForeverMs, false);
    waited = true;
    lock_.Enter();
  }
  lock_.Leave();

  // The wait above may have taken a wake-up meant for the caller's own loop.
  if (waited) {
    current->socketserver()->WakeUp();
  }
}

void Thread::ReceiveSends() {
  ReceiveSendsFromThread(nullptr);
}

void Thread::ReceiveSendsFromThread(const Thread* source) {
  _SendMessage send;
  lock_.Enter();
  while (PopSendMessageFromThread(source, &send)) {
    lock_.Leave();
    Dispatch(&send.message_);
    lock_.Enter();
    // Under the lock: the sender cannot return, and its server go, before this.
    *send.ready_ = true;
    send.sender_->socketserver()->WakeUp();
  }
  lock_.Leave();
}

bool Thread::PopSendMessageFromThread(const Thread* source, _SendMessage* out) {
  for (auto it = pending_sends_.begin(); it != pending_sends_.end(); ++it) {
    if (source == nullptr || it->sender_ == source) {
      *out = *it;
      pending_sends_.erase(it);
      return true;
    }
  }
  return false;
}

void Thread::ReleasePendingSends(MessageHandler* handler, uint32_t id, MessageList* removed) {
  for (auto it = pending_sends_.begin(); it != pending_sends_.end();) {
    if (!it->message_.Match(handler, id)) {
      ++it;
      continue;
    }
    const _SendMessage send = *it;
    it = pending_sends_.erase(it);
    removed->push_back(send.message_);
    *send.ready_ = true;
    send.sender_->socketserver()->WakeUp();
  }
}

void Thread::Clear(MessageHandler* handler, uint32_t id, MessageList* removed) {
  MessageList dropped;
  MessageList* const out = removed ? removed : &dropped;
  {
    CritScope cs(&lock_);
    ReleasePendingSends(handler, id, out);
    ClearInternal(handler, id, out);
  }
  // Outside the lock: a payload's destructor may destroy a handler.
  for (Message& msg : dropped) {
    delete msg.data_;
  }
}

bool Thread::WrapCurrentWithThreadManager(ThreadManager* manager,
                                          bool /*need_synchronize_access*/) {
  os_thread_ = pthread_self();
  owns_os_thread_ = false;
  manager->SetCurrentThread(this);
  return true;
}

// AutoThread

AutoThread::AutoThread() : Thread(SocketServer::CreateDefault(), false) {
  DoInit();
  if (!ThreadManager::Instance()->CurrentThread()) {
    ThreadManager::Instance()->SetCurrentThread(this);
  }
}

AutoThread::~AutoThread() {
  Stop();
  DoDestroy();
  if (ThreadManager::Instance()->CurrentThread() == this) {
    ThreadManager::Instance()->SetCurrentThread(nullptr);
  }
}

}  // namespace rtc
