#include "src/websocket_connection.h"

#include <json/json.h>
#include <string.h>

#include <utility>

#include "rtc_base/helpers.h"
#include "rtc_base/location.h"
#include "rtc_base/logging.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/utilities/json_reader.h"

namespace tavix {
namespace im {
namespace {

// The payload of a kSendTextId message.
struct SendTextData : public rtc::MessageData {
  explicit SendTextData(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

constexpr char kLoginTimeoutText[] = "login server timeout";
// What the client says of a frame too long to take in; a message too long to collect
// ends the same way.
constexpr char kTooLongText[] = "context too long";
// What the manager hears of any failure of the client itself.
constexpr int kClientFailureCode = 3;

// The reply's "code", when it has one.
bool ReadCode(const Json::Value& root, int* code) {
  return root.isObject() && ReadJsonInt(root["code"], code);
}

}  // namespace

WebSocketConnection::WebSocketConnection() = default;

// The owner calls DisConnectServer first; a client left over is deleted here.
WebSocketConnection::~WebSocketConnection() = default;

bool WebSocketConnection::ConnectServer(unsigned int timeout_ms, unsigned int /*max_packet_size*/) {
  // A second call starts over. The old client goes first: its destructor deletes the
  // one shared certificate verifier, which the new client's TLS adapter must keep.
  if (ws_client_)
    DisConnectServer();
  link_failed_ = false;
  std::string path = "/ws";
  int port = server_port_ws_;
  if (tls_ == "enable") {
    path = "/wss";
    port = server_port_wss_;
  }
  ws_client_.reset(
      WebsocketClient::Create(nullptr, server_ip_, static_cast<size_t>(port), "", path, "", ""));
  if (!ws_client_)
    return false;
  StartTimeout(kConnectTimeoutId, static_cast<int>(timeout_ms));
  ws_client_->SignalOpen.connect(this, &WebSocketConnection::OnWsOpen);
  ws_client_->SignalMessage.connect(this, &WebSocketConnection::OnWsRevMsg);
  ws_client_->SignalClose.connect(this, &WebSocketConnection::OnWsClose);
  recv_buffer_.Init(kWsRecvBufferSize);
  return true;
}

int WebSocketConnection::SendData(const char* data, int length, ZEkMsgType /*type*/) {
  if (!data || length < 0 || !connected_.load())
    return 0;
  // The text ends at its first zero byte or after `length` bytes: nothing past the
  // app's buffer is read.
  const size_t text_length = strnlen(data, static_cast<size_t>(length));
  // The worker thread drives the same socket and TLS state; the queue keeps the
  // order of the posts of each thread.
  thread_->Post(RTC_FROM_HERE, this, kSendTextId, new SendTextData(std::string(data, text_length)));
  return 0;
}

void WebSocketConnection::WriteText(const std::string& text) {
  // The connection may have been lost or stopped since the text was handed over.
  if (!connected_.load() || !ws_client_)
    return;
  // A text the socket cannot take yet waits in the client; false means it is gone: too
  // long for a frame, a failing socket, or the client's queue past its bound, which
  // ends the connection with a report of its own.
  if (!ws_client_->SendText(text, false))
    RTC_LOG(LS_WARNING) << "text of " << text.size() << " bytes not sent";
}

void WebSocketConnection::DisConnectServer() {
  Stop(false);
}

void WebSocketConnection::DisConnectServerByApp() {
  Stop(!link_failed_);
}

void WebSocketConnection::Stop(bool close_frame) {
  connected_.store(false);
  thread_->Clear(this);
  // Texts accepted before the disconnect leave now as far as the socket takes them,
  // as the KCP transport flushes its queue; nobody waits for the network. The app's end
  // of a working session follows them with the close frame; a client not open yet, or
  // closed already, sends none.
  const bool open = ws_client_ && ws_client_->handshake_done() &&
                    ws_client_->GetState() != rtc::AsyncPacketSocket::PS_CLOSED;
  if (close_frame && open) {
    if (!ws_client_->SendClose(WebsocketClient::kCloseNormal))
      RTC_LOG(LS_WARNING) << "closing with " << ws_client_->unsent_bytes()
                          << " bytes the socket has not taken, the close frame among them";
  } else if (ws_client_) {
    ws_client_->SendWaitingNow();
  }
  ws_client_.reset();
}

void WebSocketConnection::OnMessage(rtc::Message* msg) {
  switch (msg->id_) {
    case kConnectTimeoutId:
      DisConnectServer();
      SignalStatusChange(this, kConnFailed, kConnectTimeoutCode, kConnectTimeoutText);
      break;
    case kLoginTimeoutId:
      DisConnectServer();
      SignalStatusChange(this, kConnFailed, kConnectTimeoutCode, kLoginTimeoutText);
      break;
    case kKeepAliveId: {
      // Unsigned arithmetic stays right across a wrap of the 32-bit clock.
      const uint32_t elapsed = rtc::Time32() - last_recv_time_;
      if (elapsed <= kWsKeepAliveLimitMs) {
        PostKeepAlive();
      } else {
        link_failed_ = true;
        SignalStatusChange(this, kConnLost, kServerSilentCode, kServerSilentText);
      }
      break;
    }
    case kSendTextId: {
      std::unique_ptr<SendTextData> data(static_cast<SendTextData*>(msg->data_));
      msg->data_ = nullptr;
      if (data)
        WriteText(data->text_);
      break;
    }
    default:
      break;
  }
}

void WebSocketConnection::OnWsOpen(WebsocketClient* /*client*/) {
  CancelTimeout(kConnectTimeoutId);
  StartLogin();
}

void WebSocketConnection::StartLogin() {
  Json::Value login(Json::objectValue);
  login["accid"] = account_id_;
  login["appid"] = app_id_;
  login["device"] = device_type_;
  login["token"] = token_;
  login["sid"] = rtc::CreateRandomUuid();
  login["deviceid"] = device_id_;
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "   ";
  const std::string text = Json::writeString(builder, login);

  StartTimeout(kLoginTimeoutId, kWsLoginTimeoutMs);
  if (ws_client_)
    ws_client_->SendText(text, false);
}

void WebSocketConnection::OnWsRevMsg(WebsocketClient* /*client*/, WebsocketMsg* msg) {
  if (msg->opcode_ == WebsocketClient::kOpPing) {
    last_recv_time_ = rtc::Time32();
    return;
  }
  // A whole message in one frame is parsed straight from the frame.
  if (recv_buffer_.IsEmpty() && msg->fin_) {
    ParseData(msg->payload_.data(), msg->payload_.size(), msg->rsv1_);
    return;
  }
  // A server may put a control frame between the fragments of a message; it is
  // no part of the message and does not end it.
  if (msg->opcode_ == WebsocketClient::kOpPong)
    return;
  // The collected bytes never pass the limit, so the difference cannot wrap.
  if (msg->payload_.size() > kWsMaxMessageSize - recv_buffer_.size()) {
    FailOversizedMessage();
    return;
  }
  if (!recv_buffer_.Write(msg->payload_.data(), msg->payload_.size())) {
    // Storage that cannot grow: the message is lost, the next one starts clean.
    recv_buffer_.Clear();
    return;
  }
  if (!msg->fin_)
    return;
  ParseData(recv_buffer_.c_str(), recv_buffer_.size(), msg->rsv1_);
  recv_buffer_.Clear();
}

void WebSocketConnection::FailOversizedMessage() {
  // Back to the starting storage: the grown one goes now, not when the connection is
  // deleted.
  recv_buffer_.Clear();
  recv_buffer_.Init(kWsRecvBufferSize);
  // Closing the client from inside its own frame signal is safe: it reads no further
  // frame once its socket is closed, and it raises no close signal of its own then.
  if (ws_client_)
    ws_client_->Close();
  OnWsClose(ws_client_.get(), WebsocketClient::kWsFrameTooLong, kTooLongText);
}

void WebSocketConnection::ParseData(const char* data, size_t length, bool /*rsv1*/) {
  Json::Value root;
  if (!ParseJson(data, length, &root))
    return;
  if (connected_.load()) {
    std::string text(data, length);
    SignalRecvMessage(this, text);
    return;
  }

  CancelTimeout(kLoginTimeoutId);
  int code = 0;
  if (!ReadCode(root, &code)) {
    SignalStatusChange(this, kConnFailed, kLoginFormatErrorCode, kLoginFormatErrorText);
    return;
  }
  if (code != 0) {
    SignalStatusChange(this, kConnRefused, static_cast<unsigned int>(code),
                       std::string(data, length));
    return;
  }
  connected_.store(true);
  SignalStatusChange(this, kConnLoggedIn, 0, "");
  PostKeepAlive();
  last_recv_time_ = rtc::Time32();
}

void WebSocketConnection::OnWsClose(WebsocketClient* /*client*/, int code, std::string text) {
  CancelTimeout(kLoginTimeoutId);
  CancelTimeout(kConnectTimeoutId);
  CancelTimeout(kKeepAliveId);
  // The client's own failures are one local failure to the manager.
  if (code >= WebsocketClient::kWsCloseWithoutJson && code <= WebsocketClient::kWsHandshakeError)
    code = kClientFailureCode;
  SignalStatusChange(this, connected_.load() ? kConnLost : kConnRefused,
                     static_cast<unsigned int>(code), text);
  connected_.store(false);
}

void WebSocketConnection::PostKeepAlive() {
  rtc::Thread::Current()->PostDelayed(RTC_FROM_HERE, kWsKeepAliveCheckMs, this, kKeepAliveId);
}

}  // namespace im
}  // namespace tavix
