#ifndef SRC_CONNECTION_H_
#define SRC_CONNECTION_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "rtc_base/messagehandler.h"
#include "rtc_base/sigslot.h"
#include "src/libzekcore.h"

namespace rtc {
class Thread;
}

namespace tavix {
namespace im {

// The base of both transports: the connect parameters from the app's JSON text, the
// worker thread the connection lives on, the connected flag, the two signals through
// which a transport reports to the manager, and time-outs as delayed messages to the
// current thread. Everything but IsConnected and SendData runs on the worker thread.
class Connection : public virtual rtc::MessageHandler,
                   public sigslot::has_slots<sigslot::single_threaded> {
 public:
  enum ConnStatus {
    kConnRefused = 0,   // the attempt ended before login
    kConnFailed = 1,    // connecting or logging in did not complete
    kConnLoggedIn = 2,  // the login succeeded
    kConnLost = 3,      // the connection ended after login
  };

  // Ids of a connection's delayed messages to itself.
  enum TimerId {
    kConnectTimeoutId = 0,
    kLoginTimeoutId = 1,
    kKeepAliveId = 2,
    kPollKcpId = 4,
  };

  // The failures both transports find out themselves, with their codes.
  static constexpr unsigned int kConnectTimeoutCode = 4;
  static constexpr char kConnectTimeoutText[] = "connect server timeout";
  static constexpr unsigned int kServerSilentCode = 5;
  static constexpr char kServerSilentText[] = "can not recv server's response, please reconnect";
  static constexpr unsigned int kLoginFormatErrorCode = 6;
  static constexpr char kLoginFormatErrorText[] = "login failed, response format error";

  Connection();
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Fills the parameters; false when they are unusable.
  virtual bool Init(std::string param);
  // Starts connecting and logging in; false when the attempt cannot start. The outcome
  // comes later through SignalStatusChange.
  virtual bool ConnectServer(unsigned int timeout_ms, unsigned int max_packet_size) = 0;
  // Hands one user message to the transport; called on an app thread under the
  // manager's connection lock.
  virtual int SendData(const char* data, int length, ZEkMsgType type);
  // Stops everything: clears the connected flag, cancels every timer, releases sockets.
  virtual void DisConnectServer() = 0;
  // The app ends the session (its disconnect, or the core's shut-down): a transport with
  // a closing handshake of its own begins it, without waiting for the server's answer;
  // then everything stops as in DisConnectServer, which is all the base does.
  virtual void DisConnectServerByApp();
  void OnMessage(rtc::Message* msg) override;

  // A member of the parameter text: a text, or a port from 1 to 65535. A required one
  // missing or null refuses the text; an optional one missing or null keeps the field's
  // value.
  struct ParamField {
    const char* name;
    bool required;
    std::string Connection::*text;  // null for a port
    int Connection::*port;          // null for a text
  };
  static constexpr size_t kParamFieldCount = 10;
  // Every member ParseParam reads, in the order it reads them, and nothing else: the
  // C API's reference page must name each of them.
  static const ParamField kParamFields[kParamFieldCount];

  bool ParseParam(std::string param);
  // One pending time-out per id: a restart replaces the pending one. A non-positive
  // time arms nothing.
  void StartTimeout(int id, int ms);
  // Removes this connection's pending messages with that id from the current thread;
  // the all-ones id removes all of them.
  void CancelTimeout(int id);
  void CancelMessageById(int id);
  // Read on app threads, written on the worker thread.
  bool IsConnected() const { return connected_.load(); }

  sigslot::signal_with_thread_policy<sigslot::single_threaded,
                                     Connection*,
                                     ConnStatus,
                                     unsigned int,
                                     std::string>
      SignalStatusChange;
  sigslot::signal_with_thread_policy<sigslot::single_threaded, Connection*, std::string&>
      SignalRecvMessage;

 protected:
  // Not owned: the worker thread the connection was created on. Fixed at construction,
  // so app threads may post to it.
  rtc::Thread* const thread_;
  std::string server_ip_;
  int server_port_kcp_ = 0;
  int server_port_ws_ = 0;
  int server_port_wss_ = 0;
  std::string local_ip_ = "0.0.0.0";
  int local_port_ = 0;
  std::string account_id_;
  std::string device_id_;
  std::string device_type_;
  std::string app_id_;
  std::string token_;
  std::string tls_;
  // Written on the worker thread, read by app threads in IsConnected and SendData.
  std::atomic<bool> connected_{false};
  // Time32() of the last sign of life from the server.
  uint32_t last_recv_time_ = 0;
};

}  // namespace im
}  // namespace tavix

#endif  // SRC_CONNECTION_H_
