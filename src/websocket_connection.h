#ifndef SRC_WEBSOCKET_CONNECTION_H_
#define SRC_WEBSOCKET_CONNECTION_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "src/connection.h"
#include "src/utilities/cycle_buffer.h"
#include "src/websocket/websocket_client.h"

namespace tavix {
namespace im {

// The WebSocket transport: connects a WebsocketClient ("/ws" on server_port_ws,
// or "/wss" on server_port_wss when "tls" is "enable"), logs in with a JSON
// object, watches the server's pings, reassembles fragmented messages and hands
// every JSON message received after login to the manager.
//
// Everything runs on the worker thread the connection was created on, except
// SendData and IsConnected: SendData posts the text to the worker thread, which
// alone writes to the client, its socket and its TLS state.
class WebSocketConnection : public Connection {
 public:
  static constexpr size_t kWsRecvBufferSize = 20480;
  static constexpr int kWsLoginTimeoutMs = 5000;
  static constexpr int kWsKeepAliveCheckMs = 10000;
  static constexpr uint32_t kWsKeepAliveLimitMs = 40000;
  // The largest message collected from fragments (1 MiB, ample for an IM text). A
  // server that goes past it ends the connection, as a failure of the client itself.
  static constexpr size_t kWsMaxMessageSize = 1024 * 1024;
  // A user message handed from an app thread to the worker thread; beside the
  // timer ids of Connection.
  static constexpr uint32_t kSendTextId = 5;

  WebSocketConnection();
  ~WebSocketConnection() override;

  // The second argument is not used. False when the client cannot be created;
  // nothing is armed then. A second call ends the earlier attempt or session first.
  bool ConnectServer(unsigned int timeout_ms, unsigned int max_packet_size) override;
  // Any thread. Sends the text, up to its first zero byte or `length` bytes, whichever
  // comes first, as one text frame, only while logged in; the type is not looked at.
  // Always 0.
  int SendData(const char* data, int length, ZEkMsgType type) override;
  // Clears the connected flag and every pending message of this connection, writes
  // what waits in the client as far as the socket takes it now, and deletes the client.
  void DisConnectServer() override;
  // The same, with a close frame 1000 behind what waits, while the WebSocket is open and
  // its link has not failed.
  void DisConnectServerByApp() override;
  void OnMessage(rtc::Message* msg) override;

  void OnWsOpen(WebsocketClient* client);
  void OnWsRevMsg(WebsocketClient* client, WebsocketMsg* msg);
  void OnWsClose(WebsocketClient* client, int code, std::string text);
  void StartLogin();
  // One complete message: the login reply before login, a message for the
  // manager after it. Texts that are not JSON are dropped.
  void ParseData(const char* data, size_t length, bool rsv1);
  void PostKeepAlive();

 protected:
  // Worker thread only.
  CycleBuffer recv_buffer_;
  // Worker thread only: created, used and deleted there.
  std::unique_ptr<WebsocketClient> ws_client_;
  // Worker thread only: the server fell silent. A link that failed ends without a close
  // frame; every other failure has closed the client already.
  bool link_failed_ = false;

 private:
  void WriteText(const std::string& text);
  // DisConnectServer, with the closing handshake begun first when `close_frame`.
  void Stop(bool close_frame);
  // A fragmented message past kWsMaxMessageSize: lets go of what was collected, closes
  // the client and reports the end like the client's own failures.
  void FailOversizedMessage();
};

}  // namespace im
}  // namespace tavix

#endif  // SRC_WEBSOCKET_CONNECTION_H_
