#include "src/libzekcore.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "rtc_base/logging.h"
#include "src/zek_manager.h"

using tavix::im::g_zek_manager;
using tavix::im::ZekManager;

namespace {

// Every read and write of the manager pointer: a callback's UnInitialize clears it on the
// worker while app threads' calls may still read it.
ZekManager* LoadManager() {
  return __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST);
}

void StoreManager(ZekManager* manager) {
  __atomic_store_n(&g_zek_manager, manager, __ATOMIC_SEQ_CST);
}

// The calls of ConnectImServer, DisConnectImServer and SendUserMessage under way. Each
// counts itself before it reads the manager, so once the manager is cleared, a count of
// zero means that no call is still inside it.
std::atomic<int> g_calls_in_flight{0};

class CallInFlight {
 public:
  CallInFlight() { g_calls_in_flight.fetch_add(1); }
  ~CallInFlight() { g_calls_in_flight.fetch_sub(1); }
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;
};

// A core shut down from inside one of its own callbacks. Its worker cannot stop and join
// itself, so a thread of its own deletes the manager, once no app thread's call is
// inside it any more; the deletion waits for the callback to return, then for the
// worker's loop to end.
class DeferredShutDown {
 public:
  DeferredShutDown() = default;
  DeferredShutDown(const DeferredShutDown&) = delete;
  DeferredShutDown& operator=(const DeferredShutDown&) = delete;
  // At exit: finishes one under way, unless the exit came on that very worker.
  ~DeferredShutDown() {
    if (!reaper_.joinable())
      return;
    if (on_its_worker_)
      reaper_.detach();
    else
      reaper_.join();
  }

  // On `manager`'s worker thread, once the manager has let go of its observer.
  void Start(ZekManager* manager) {
    Wait();
    on_its_worker_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    reaper_ = std::thread([manager] {
      while (g_calls_in_flight.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      delete manager;
    });
  }

  // Returns once a shut-down under way has ended; at once on the worker it shuts down,
  // which would wait for itself.
  void Wait() {
    if (on_its_worker_)
      return;
    std::thread reaper;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reaper = std::move(reaper_);
    }
    if (reaper.joinable())
      reaper.join();
  }

  // The calling thread is the worker of a core being shut down.
  static bool OnItsWorker() { return on_its_worker_; }

 private:
  static thread_local bool on_its_worker_;
  std::mutex mutex_;
  std::thread reaper_;  // guarded by mutex_
};

thread_local bool DeferredShutDown::on_its_worker_ = false;

DeferredShutDown& Deferred() {
  static DeferredShutDown deferred;
  return deferred;
}

}  // namespace

extern "C" {

void Initialize(tavix::im::ZEkCoreObserver* observer) {
  if (LoadManager())
    return;
  // The core being shut down still runs this thread, and two cores must not overlap.
  if (DeferredShutDown::OnItsWorker()) {
    RTC_LOG(LS_ERROR) << "Initialize inside a callback of a core that is shutting down does "
                         "nothing";
    return;
  }
  Deferred().Wait();
  StoreManager(new ZekManager(observer));
}

void UnInitialize() {
  ZekManager* const manager = LoadManager();
  if (!manager) {
    Deferred().Wait();
    return;
  }
  if (manager->IsWorkerThread()) {
    // Inside a callback: nothing reaches the app from here on, and the rest happens on
    // another thread once the callback has returned.
    manager->DetachObserver();
    StoreManager(nullptr);
    Deferred().Start(manager);
    return;
  }
  manager->Cleanup();
  delete manager;
  StoreManager(nullptr);
}

void ConnectImServer(const char* param) {
  CallInFlight call;
  ZekManager* const manager = LoadManager();
  if (manager && param)
    manager->ConnectImServer(std::string(param));
}

void DisConnectImServer() {
  CallInFlight call;
  if (ZekManager* const manager = LoadManager())
    manager->DisConnectImServer();
}

void SendUserMessage(const char* data, int length, int type) {
  CallInFlight call;
  // The enum is 32 bits wide, so every int is one of its values.
  if (ZekManager* const manager = LoadManager())
    manager->InputUserMessage(data, length, static_cast<tavix::im::ZEkMsgType>(type));
}

}  // extern "C"
