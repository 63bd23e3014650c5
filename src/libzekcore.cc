#include "src/libzekcore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "rtc_base/logging.h"
#include "src/libzekcore_testing.h"
#include "src/zek_manager.h"

using tavix::im::g_zek_manager;
using tavix::im::ZekManager;

namespace {

// Every read and write of the manager pointer: a shut-down clears it while app threads'
// calls may still read it.
ZekManager* LoadManager() {
  return __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST);
}

void StoreManager(ZekManager* manager) {
  __atomic_store_n(&g_zek_manager, manager, __ATOMIC_SEQ_CST);
}

// The calls of ConnectImServer, DisConnectImServer and SendUserMessage under way,
// counted by era: a shut-down clears the manager, opens a new era and waits only for the
// calls of the era before. A call counts itself before it reads the manager, so a call
// of the new era reads the cleared pointer (or a later core's) and never the manager
// being shut down; and a call that reads no manager stops counting at once, whatever its
// era. However many calls keep coming, the wait ends once the calls that hold the
// manager being shut down have left. The calls share nothing but atomics; the last one
// to leave a closed era wakes the shut-down under a mutex only the two of them take.
class CallEras {
 public:
  // Counts a call in the current era and returns it, for Leave.
  int Enter() {
    while (true) {
      const int era = era_.load();
      in_flight_[era].fetch_add(1);
      // Counted in an era that is still current: a shut-down that closes it waits for
      // this call. Otherwise one closed it meanwhile and may already have stopped
      // counting it: count again in the era now open.
      if (era_.load() == era)
        return era;
      Leave(era);
    }
  }

  void Leave(int era) {
    if (in_flight_[era].fetch_sub(1) == 1 && era_.load() != era) {
      std::lock_guard<std::mutex> lock(mutex_);
      drained_.notify_all();
    }
  }

  // With the manager already cleared, by the one shut-down under way: returns once every
  // call that may have read it has left.
  void CloseEraAndWait() {
    const int closed = era_.load();
    era_.store(1 - closed);
    std::unique_lock<std::mutex> lock(mutex_);
    drained_.wait(lock, [&] { return in_flight_[closed].load() == 0; });
  }

 private:
  std::atomic<int> era_{0};
  std::atomic<int> in_flight_[2] = {{0}, {0}};
  std::mutex mutex_;
  std::condition_variable drained_;
};

// Never destroyed: app threads may still call while the process exits.
CallEras& Eras() {
  static CallEras* const eras = new CallEras;
  return *eras;
}

std::atomic<tavix::im::ApiCallHook> g_api_call_hook{nullptr};

// One call of the three, counted from before its read of the manager until it returns,
// or only until that read when it finds no manager.
class CallInFlight {
 public:
  CallInFlight() : era_(Eras().Enter()) {}
  ~CallInFlight() { Leave(); }
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;

  ZekManager* Manager() {
    ZekManager* const manager = LoadManager();
    if (!manager)
      Leave();
    if (tavix::im::ApiCallHook hook = g_api_call_hook.load(std::memory_order_relaxed))
      hook(manager);
    return manager;
  }

 private:
  void Leave() {
    if (counted_)
      Eras().Leave(era_);
    counted_ = false;
  }

  const int era_;
  bool counted_ = true;
};

// A call made without a core is reported once until the next core is created, so an
// app that keeps calling does not flood the log.
struct NoCoreWarnings {
  std::atomic<bool> connect{false};
  std::atomic<bool> disconnect{false};
  std::atomic<bool> send{false};

  void Reset() {
    connect = false;
    disconnect = false;
    send = false;
  }
};

NoCoreWarnings g_no_core_warned;

void WarnNoCore(std::atomic<bool>* warned, const char* text) {
  if (!warned->exchange(true))
    RTC_LOG(LS_WARNING) << text;
}

// The core's life as every entry point sees it: gone, running, or shutting down. One
// mutex covers the state, the manager pointer's changes and the shut-down under way,
// so each step from one state to the next is taken by exactly one thread, and that
// thread alone stops and deletes the manager it took.
//
// A shut-down begun on an app thread runs on that thread; one begun inside a callback
// runs on a thread of its own (the worker cannot stop and join itself), once the
// callback has returned. Either way the others wait for it, except a callback of the
// core being shut down, which the shutting-down thread is itself waiting for.
class Lifecycle {
 public:
  Lifecycle() = default;
  Lifecycle(const Lifecycle&) = delete;
  Lifecycle& operator=(const Lifecycle&) = delete;
  // At exit: finishes a shut-down under way, unless the exit came inside a callback of
  // the core being shut down, which that shut-down waits for.
  ~Lifecycle() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!reaper_.joinable())
      return;
    if (InCallbackOfTheDying(ZekManager::InObserverCallOf())) {
      reaper_.detach();
      return;
    }
    WaitForShutDown(&lock);
  }

  void Initialize(tavix::im::ZEkCoreObserver* observer) {
    ZekManager* const in_call_of = ZekManager::InObserverCallOf();
    std::unique_lock<std::mutex> lock(mutex_);
    if (in_call_of) {
      // The core of this callback still exists, or is being shut down and waits for
      // this callback to return: either way a new one cannot start here.
      if (InCallbackOfTheDying(in_call_of)) {
        RTC_LOG(LS_ERROR) << "Initialize inside a callback of a core that is shutting "
                             "down does nothing";
      }
      return;
    }
    WaitForShutDown(&lock);
    if (state_ == State::kRunning)
      return;
    // Under the lock: a second Initialize waits for this one and then finds the core.
    StoreManager(new ZekManager(observer));
    state_ = State::kRunning;
    g_no_core_warned.Reset();
  }

  void UnInitialize() {
    ZekManager* const in_call_of = ZekManager::InObserverCallOf();
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::kRunning) {
      ZekManager* const manager = LoadManager();
      StoreManager(nullptr);
      state_ = State::kShuttingDown;
      dying_ = manager;
      if (in_call_of == manager) {
        // Nothing reaches the app from here on; the rest happens once the callback
        // has returned.
        manager->DetachObserver();
        reaper_ = std::thread([this, manager] {
          Eras().CloseEraAndWait();
          delete manager;
          Finish();
        });
        return;
      }
      lock.unlock();
      Eras().CloseEraAndWait();
      // Waits for a callback under way to return, then stops the worker.
      manager->Cleanup();
      delete manager;
      Finish();
      return;
    }
    if (InCallbackOfTheDying(in_call_of)) {
      // The thread shutting this core down waits for this callback to return.
      in_call_of->DetachObserver();
      return;
    }
    WaitForShutDown(&lock);
  }

 private:
  enum class State { kGone, kRunning, kShuttingDown };

  // With the lock held: `in_call_of` is the manager being shut down, whose shut-down
  // waits for the callback under way. dying_ is set exactly while shutting down.
  bool InCallbackOfTheDying(ZekManager* in_call_of) const {
    return in_call_of != nullptr && in_call_of == dying_;
  }

  // With the lock held: returns once no shut-down is under way and its thread, if it
  // had one, has ended.
  void WaitForShutDown(std::unique_lock<std::mutex>* lock) {
    ended_.wait(*lock, [this] { return state_ != State::kShuttingDown; });
    // Past Finish, the reaper no longer needs the lock.
    if (reaper_.joinable())
      reaper_.join();
  }

  // The shut-down's last step, on the thread that owned it.
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kGone;
    dying_ = nullptr;
    ended_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable ended_;
  State state_ = State::kGone;   // guarded by mutex_
  ZekManager* dying_ = nullptr;  // guarded by mutex_; only compared, never followed
  std::thread reaper_;           // guarded by mutex_
};

Lifecycle& Life() {
  static Lifecycle life;
  return life;
}

}  // namespace

void tavix::im::SetApiCallHookForTesting(ApiCallHook hook) {
  g_api_call_hook.store(hook);
}

extern "C" {

void Initialize(tavix::im::ZEkCoreObserver* observer) {
  Life().Initialize(observer);
}

void UnInitialize() {
  Life().UnInitialize();
}

void ConnectImServer(const char* param) {
  CallInFlight call;
  ZekManager* const manager = call.Manager();
  if (!manager) {
    WarnNoCore(&g_no_core_warned.connect, "ConnectImServer without Initialize does nothing");
    return;
  }
  if (!param) {
    RTC_LOG(LS_WARNING) << "ConnectImServer with a null parameter text does nothing";
    return;
  }
  manager->ConnectImServer(std::string(param));
}

void DisConnectImServer() {
  CallInFlight call;
  ZekManager* const manager = call.Manager();
  if (!manager) {
    WarnNoCore(&g_no_core_warned.disconnect, "DisConnectImServer without Initialize does nothing");
    return;
  }
  manager->DisConnectImServer();
}

void SendUserMessage(const char* data, int length, int type) {
  CallInFlight call;
  ZekManager* const manager = call.Manager();
  if (!manager) {
    WarnNoCore(&g_no_core_warned.send, "SendUserMessage without Initialize does nothing");
    return;
  }
  if (!data || length < 0) {
    RTC_LOG(LS_WARNING) << "SendUserMessage with null data or a negative length does nothing";
    return;
  }
  // The enum is 32 bits wide, so every int is one of its values.
  manager->InputUserMessage(data, length, static_cast<tavix::im::ZEkMsgType>(type));
}

}  // extern "C"
