#ifndef SRC_ZEK_MANAGER_H_
#define SRC_ZEK_MANAGER_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "rtc_base/messagehandler.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/thread.h"
#include "src/connection.h"
#include "src/libzekcore.h"
#include "src/mtu/mtu_probe.h"

namespace tavix {
namespace im {

// The payload of the connect message: the app's JSON parameter text.
class ZConnMsgData : public virtual rtc::MessageData {
 public:
  explicit ZConnMsgData(std::string param);
  ~ZConnMsgData() override;

  std::string param_;
};

// The core's one controller. It owns the worker thread "zek main thread", on which every
// socket, timer, transport signal and observer call of the core runs, the MTU prober, and
// at most one transport connection. It turns the app's requests into work on the worker
// thread, runs the connect, disconnect and reconnect state machine (a growing back-off and
// a switch between the two transports), and turns the transports' reports into observer
// calls.
//
// Locks: observer_mutex_ before conn_mutex_. Every observer call is made on the worker
// with observer_mutex_ held and no other lock of the manager, so a callback may send,
// connect and disconnect; conn_mutex_ is held only to publish or take away the
// connection and around SendData, never while calling out.
class ZekManager : public rtc::MessageHandler, public sigslot::has_slots<sigslot::single_threaded> {
 public:
  enum ImConnStatus : int32_t {
    kImIdle = 0,
    kImConnecting = 1,
    kImConnected = 2,
    kImReconnecting = 4,
  };

  // Ids of the messages posted to the manager.
  enum MessageId : uint32_t {
    kDestroyConnectionMsg = 0,
    kConnectMsg = 1,
    kDisconnectMsg = 2,
    kReconnectMsg = 3,  // delayed
    kCleanupMsg = 4,
  };

  static constexpr unsigned int kConnectTimeoutMs = 10000;
  // Reconnect waits, in seconds, double up to this; an attempt made at it switches the
  // transport and starts the waits over at 1.
  static constexpr uint8_t kMaxReconnectInterval = 60;
  // A server close with this code ends the session for good: no reconnect.
  static constexpr unsigned int kServerClosedCode = 8002;
  // A login refused with this code is not retried.
  static constexpr unsigned int kLoginStopCode = 5003;

  // Probes the product's public host; blocks for the probe.
  explicit ZekManager(ZEkCoreObserver* observer);
  // Probes `probe_target` instead (a host name or an IPv4 literal).
  ZekManager(ZEkCoreObserver* observer, std::string probe_target);
  // Runs Cleanup if it has not run.
  ~ZekManager() override;
  ZekManager(const ZekManager&) = delete;
  ZekManager& operator=(const ZekManager&) = delete;

  // App threads. Both only post to the worker thread.
  void ConnectImServer(std::string param);
  void DisConnectImServer();
  // App threads: hands the message to the connection while connected, else drops it.
  // Null data or a negative length is dropped as well.
  void InputUserMessage(const char* data, int length, ZEkMsgType type);
  // No observer call happens once it has begun (it waits for one under way to return);
  // the connection is disconnected and deleted on the worker thread, whose loop then
  // ends. Must not run at the same time as any other call of the manager. On the worker
  // thread (a callback) only the observer is let go: the worker cannot stop itself, so
  // the rest is left to the manager's deletion on another thread.
  void Cleanup();
  // Lets go of the observer: no call reaches it afterwards. Any thread, also inside an
  // observer call.
  void DetachObserver();
  // The calling thread is the worker thread.
  bool IsWorkerThread() const;
  // The manager whose observer call the calling thread is inside, or null. Reads no
  // manager, so any thread may ask at any time.
  static ZekManager* InObserverCallOf();

  // Worker thread.
  void OnMessage(rtc::Message* msg) override;
  void OnConnectionStatusChange(Connection* connection,
                                Connection::ConnStatus status,
                                unsigned int code,
                                std::string text);
  void OnConnectionRecvMessage(Connection* connection, std::string& message);

  // Any thread.
  ImConnStatus conn_status() const { return conn_status_.load(); }
  // The worker thread; null after Cleanup.
  rtc::Thread* main_thread() const { return main_thread_.get(); }
  // Worker thread only.
  uint8_t reconnect_interval() const { return reconnect_interval_; }
  const std::string& conn_type() const { return conn_type_; }

 private:
  // The rest of the construction: the random generator, the probe, the worker thread.
  void Start();

  // All of these run on the worker thread.
  void DoConnectImServer(std::string param);
  void DoDisConnectImServer();
  void DoReConnectImServer();
  // Takes the connection away from app threads, then stops and deletes it; `by_app` for
  // the app's disconnect and the shut-down, which end the session in the transport's
  // orderly way.
  void DoDisConnectAndDestoryConn(bool by_app);
  // Creates, wires, publishes and starts the connection of conn_type_; on false `error`
  // says why.
  bool DoCreateConnAndConnect(std::string& error);
  // The transport named by a parameter text; "kcp" unless it names another.
  std::string GetConnectionType(std::string param);
  void UpdateConnStatus(ImConnStatus status);
  void PostReConnectTask();
  void NotifyEventObserver(ZEkEventCode code, int errorCode, std::string text);
  void NotifyMessageObserver(std::string message);

  // Guards observer_ and every observer call.
  std::mutex observer_mutex_;
  ZEkCoreObserver* observer_;  // not owned; guarded by observer_mutex_
  std::string conn_param_;     // worker thread
  std::string conn_type_;      // worker thread
  // Guards connection_ against app threads: the worker publishes and takes it away under
  // it, app threads use it under it (InputUserMessage); the worker creates, starts,
  // stops and deletes it outside, and reads it without the lock, being its only writer.
  std::mutex conn_mutex_;
  std::unique_ptr<Connection> connection_;
  // Created by the constructor, stopped and released by Cleanup; in between read by app
  // threads (posts) and the worker thread.
  std::unique_ptr<rtc::Thread> main_thread_;
  MtuProber mtu_prober_;  // read only on the constructor's thread and the worker thread
  // Written on the worker thread, read by app threads in InputUserMessage.
  std::atomic<ImConnStatus> conn_status_;
  uint8_t reconnect_interval_ = 1;  // worker thread; seconds
  // Worker thread: the current connection's failure or loss has been acted on; what it
  // reports afterwards, short of a new login, changes nothing.
  bool conn_failure_handled_ = false;
};

// The process-wide manager of the C API; null while none exists.
extern ZekManager* g_zek_manager;

}  // namespace im
}  // namespace tavix

#endif  // SRC_ZEK_MANAGER_H_
