#include "src/zek_manager.h"

#include <json/json.h>
#include <stdio.h>

#include <utility>

#include "rtc_base/helpers.h"
#include "rtc_base/location.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/timeutils.h"
#include "src/kcp_connection.h"
#include "src/utilities/json_reader.h"
#include "src/websocket_connection.h"

namespace tavix {
namespace im {
namespace {

constexpr char kKcpType[] = "kcp";
constexpr char kWebSocketType[] = "websocket";

constexpr int kSetupErrorCode = 2;
constexpr char kNotSupportText[] = "not support";
constexpr char kParamErrorText[] = "param parse init failed";
constexpr char kConnectErrorText[] = "connect server failed";
constexpr char kLoginFailedText[] = "login failed, start reconnect";
constexpr char kReconnectText[] = "start reconnect";

// Set on the worker around each observer call, with observer_mutex_ held.
thread_local ZekManager* t_observer_call_of = nullptr;

// Marks the calling thread as inside an observer call of `manager` while it lives.
class ObserverCallScope {
 public:
  explicit ObserverCallScope(ZekManager* manager) : outer_(t_observer_call_of) {
    t_observer_call_of = manager;
  }
  ~ObserverCallScope() { t_observer_call_of = outer_; }
  ObserverCallScope(const ObserverCallScope&) = delete;
  ObserverCallScope& operator=(const ObserverCallScope&) = delete;

 private:
  ZekManager* const outer_;
};

}  // namespace

ZekManager* g_zek_manager = nullptr;

ZConnMsgData::ZConnMsgData(std::string param) : param_(std::move(param)) {}

ZConnMsgData::~ZConnMsgData() = default;

ZekManager::ZekManager(ZEkCoreObserver* observer)
    : observer_(observer), mtu_prober_(), conn_status_(kImIdle) {
  Start();
}

ZekManager::ZekManager(ZEkCoreObserver* observer, std::string probe_target)
    : observer_(observer), mtu_prober_(std::move(probe_target)), conn_status_(kImIdle) {
  Start();
}

void ZekManager::Start() {
  rtc::InitRandom(static_cast<int>(rtc::Time32()));
  // Blocks until the probe has ended.
  mtu_prober_.DoProbe();
  main_thread_ = rtc::Thread::CreateWithSocketServer();
  main_thread_->SetName("zek main thread", this);
  main_thread_->Start(nullptr);
}

ZekManager::~ZekManager() {
  Cleanup();
}

void ZekManager::ConnectImServer(std::string param) {
  if (main_thread_)
    main_thread_->Post(RTC_FROM_HERE, this, kConnectMsg, new ZConnMsgData(std::move(param)));
}

void ZekManager::DisConnectImServer() {
  if (main_thread_)
    main_thread_->Post(RTC_FROM_HERE, this, kDisconnectMsg);
}

void ZekManager::InputUserMessage(const char* data, int length, ZEkMsgType type) {
  if (!data || length < 0)
    return;
  std::lock_guard<std::mutex> lock(conn_mutex_);
  if (conn_status_.load() != kImConnected || !connection_ || !connection_->IsConnected())
    return;
  connection_->SendData(data, length, type);
}

bool ZekManager::IsWorkerThread() const {
  return main_thread_ && main_thread_->IsCurrent();
}

ZekManager* ZekManager::InObserverCallOf() {
  return t_observer_call_of;
}

void ZekManager::DetachObserver() {
  // Inside an observer call the worker already holds the lock; it reads the observer
  // only before the call, so clearing it here is the last word.
  if (InObserverCallOf() == this) {
    observer_ = nullptr;
    return;
  }
  std::lock_guard<std::mutex> lock(observer_mutex_);
  observer_ = nullptr;
}

void ZekManager::Cleanup() {
  // Waits for an observer call under way on the worker to return.
  DetachObserver();
  // The worker cannot stop and join itself: the rest is for whoever deletes the manager.
  if (!main_thread_ || IsWorkerThread())
    return;
  // The connection's socket and timers belong to the worker thread: it is disconnected
  // and deleted there, behind whatever is queued already. A reconnect that falls due
  // later finds no connection and does nothing, so none is made anew.
  main_thread_->Post(RTC_FROM_HERE, this, kDestroyConnectionMsg);
  main_thread_->Post(RTC_FROM_HERE, this, kCleanupMsg);
  // Stopped before it is released: the worker still reads main_thread_ until its loop
  // has ended.
  main_thread_->Stop();
  main_thread_.reset();
}

void ZekManager::OnMessage(rtc::Message* msg) {
  switch (msg->id_) {
    case kDestroyConnectionMsg:
      // Posted by the shut-down alone: the app ends the session.
      DoDisConnectAndDestoryConn(true);
      break;
    case kConnectMsg: {
      auto* data = dynamic_cast<ZConnMsgData*>(msg->data_);
      if (data)
        DoConnectImServer(data->param_);
      break;
    }
    case kDisconnectMsg:
      DoDisConnectImServer();
      break;
    case kReconnectMsg:
      DoReConnectImServer();
      break;
    case kCleanupMsg:
    default:
      break;
  }
  delete msg->data_;
  msg->data_ = nullptr;
}

void ZekManager::DoConnectImServer(std::string param) {
  // Whatever state the existing connection is in, the app disconnects first.
  if (connection_)
    return;
  conn_param_ = std::move(param);
  UpdateConnStatus(kImConnecting);
  conn_type_ = GetConnectionType(conn_param_);
  std::string error;
  if (!DoCreateConnAndConnect(error)) {
    NotifyEventObserver(kEventConnectFailed, kSetupErrorCode, error);
    DoDisConnectAndDestoryConn(false);
  }
}

void ZekManager::DoDisConnectImServer() {
  if (!connection_)
    return;
  UpdateConnStatus(kImIdle);
  DoDisConnectAndDestoryConn(true);
  rtc::Thread::Current()->Clear(this, kReconnectMsg);
  NotifyEventObserver(kEventDisconnected, 0, "");
}

void ZekManager::DoReConnectImServer() {
  if (!connection_)
    return;
  DoDisConnectAndDestoryConn(false);
  if (reconnect_interval_ >= kMaxReconnectInterval) {
    reconnect_interval_ = 1;
    if (conn_type_ == kKcpType)
      conn_type_ = kWebSocketType;
    else if (conn_type_ == kWebSocketType)
      conn_type_ = kKcpType;
  }
  printf("start reconnecting, connection type : %s ...\n", conn_type_.c_str());
  fflush(stdout);
  std::string error;
  if (!DoCreateConnAndConnect(error)) {
    // Failed at once: the long wait follows, and then the other transport.
    reconnect_interval_ = kMaxReconnectInterval;
    PostReConnectTask();
  }
}

void ZekManager::DoDisConnectAndDestoryConn(bool by_app) {
  std::unique_ptr<Connection> connection;
  {
    // Once the lock is let go no app thread is inside the connection's SendData, and
    // none can reach the connection any more.
    std::lock_guard<std::mutex> lock(conn_mutex_);
    connection = std::move(connection_);
  }
  if (!connection)
    return;
  // Outside the lock: stopping the connection deletes its sockets, whose signals a
  // callback that sends holds while it waits for the lock.
  if (by_app)
    connection->DisConnectServerByApp();
  else
    connection->DisConnectServer();
}

bool ZekManager::DoCreateConnAndConnect(std::string& error) {
  std::unique_ptr<Connection> created;
  if (conn_type_ == kKcpType) {
    created.reset(new KcpConnection());
  } else if (conn_type_ == kWebSocketType) {
    created.reset(new WebSocketConnection());
  } else {
    error = kNotSupportText;
    return false;
  }
  conn_failure_handled_ = false;
  created->SignalStatusChange.connect(this, &ZekManager::OnConnectionStatusChange);
  created->SignalRecvMessage.connect(this, &ZekManager::OnConnectionRecvMessage);
  // Published before it starts, so that its reports are its manager's; SendData finds it
  // only once it reports itself logged in.
  Connection* const connection = created.get();
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    connection_ = std::move(created);
  }
  if (!connection->Init(conn_param_)) {
    error = kParamErrorText;
    return false;
  }
  if (!connection->ConnectServer(kConnectTimeoutMs,
                                 static_cast<unsigned int>(mtu_prober_.MaxRtpPacketSize()))) {
    error = kConnectErrorText;
    return false;
  }
  return true;
}

std::string ZekManager::GetConnectionType(std::string param) {
  std::string type = kKcpType;
  Json::Value root;
  // A text that fails to parse part-way may still have given an object with the member.
  ParseJson(param.data(), param.size(), &root);
  if (!root.isObject())
    return type;
  const Json::Value& object = root;
  ReadJsonString(object["connection_type"], &type);
  return type;
}

void ZekManager::UpdateConnStatus(ImConnStatus status) {
  conn_status_.store(status);
}

void ZekManager::PostReConnectTask() {
  // One reconnect at a time: a second one would delete what the first has built.
  main_thread_->Clear(this, kReconnectMsg);
  main_thread_->PostDelayed(RTC_FROM_HERE, reconnect_interval_ * 1000, this, kReconnectMsg);
  const int doubled = reconnect_interval_ * 2;
  reconnect_interval_ =
      static_cast<uint8_t>(doubled >= kMaxReconnectInterval ? kMaxReconnectInterval : doubled);
}

void ZekManager::OnConnectionStatusChange(Connection* connection,
                                          Connection::ConnStatus status,
                                          unsigned int code,
                                          std::string text) {
  // Only the current connection is listened to; the worker thread alone replaces it.
  if (connection != connection_.get())
    return;
  const int error_code = static_cast<int>(code);
  const ImConnStatus before = conn_status_.load();
  switch (status) {
    case Connection::kConnLoggedIn:
      // The session stands: a reconnect still pending for an earlier failure would
      // tear it down.
      main_thread_->Clear(this, kReconnectMsg);
      conn_failure_handled_ = false;
      UpdateConnStatus(kImConnected);
      if (before == kImReconnecting) {
        NotifyEventObserver(kEventReconnected, error_code, text);
        reconnect_interval_ = 1;
      } else {
        NotifyEventObserver(kEventConnected, error_code, text);
      }
      break;
    case Connection::kConnRefused:
    case Connection::kConnFailed:
      // A connection may report its end more than once (a second reply, the socket
      // closing after a refusal); the first report decides.
      if (conn_failure_handled_)
        break;
      if (before == kImConnecting) {
        conn_failure_handled_ = true;
        if (code == kLoginStopCode) {
          UpdateConnStatus(kImIdle);
          NotifyEventObserver(kEventConnectFailed, error_code, text);
        } else {
          UpdateConnStatus(kImReconnecting);
          NotifyEventObserver(kEventReconnecting, error_code, kLoginFailedText);
          PostReConnectTask();
        }
      } else if (before == kImReconnecting) {
        conn_failure_handled_ = true;
        if (code == kLoginStopCode) {
          UpdateConnStatus(kImIdle);
          NotifyEventObserver(kEventReconnectStopped, error_code, text);
        } else {
          PostReConnectTask();
        }
      }
      // Idle or connected, nothing is being attempted: the app hears nothing, least of
      // all "connected".
      break;
    case Connection::kConnLost:
      if (conn_failure_handled_)
        break;
      conn_failure_handled_ = true;
      if (code == kServerClosedCode) {
        NotifyEventObserver(kEventServerClosed, error_code, text);
      } else {
        NotifyEventObserver(kEventReconnecting, error_code, kReconnectText);
        UpdateConnStatus(kImReconnecting);
        PostReConnectTask();
      }
      break;
    default:
      NotifyEventObserver(kEventConnected, error_code, text);
      break;
  }
}

void ZekManager::OnConnectionRecvMessage(Connection* /*connection*/, std::string& message) {
  // The app gets a zero-terminated text: it ends at the first zero byte.
  NotifyMessageObserver(std::string(message.c_str()));
}

void ZekManager::NotifyEventObserver(ZEkEventCode code, int errorCode, std::string text) {
  std::lock_guard<std::mutex> lock(observer_mutex_);
  if (!observer_)
    return;
  ObserverCallScope scope(this);
  observer_->OnZEkCoreEvent(code, errorCode, text.c_str());
}

void ZekManager::NotifyMessageObserver(std::string message) {
  std::lock_guard<std::mutex> lock(observer_mutex_);
  if (conn_status_.load() != kImConnected || !observer_)
    return;
  ObserverCallScope scope(this);
  observer_->OnZEkCoreMessage(message.c_str(), static_cast<int>(message.length()));
}

}  // namespace im
}  // namespace tavix
