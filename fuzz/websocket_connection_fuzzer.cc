// The WebSocket connection (JSON login, reassembly of fragmented messages, its
// time-outs and keep-alive check) over the real client and TCP base, on a thread
// whose socket server hands out in-memory sockets and whose clock is the tests'
// fake clock. The script plays the server and the app: it completes the connect or
// not, sends the 101 response and frames (whole or fragmented messages, login
// replies, pings, closes, any bytes), moves the clock, and sends app texts. A model
// of the connection, fed with the events a model of the client derives from the
// same bytes, predicts every status report and received message, in order, and
// every frame the connection writes: the login object, then the app's texts.
#include <json/json.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/common/connection_report.h"
#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/memory_socket.h"
#include "fuzz/common/ws_model.h"
#include "fuzz/common/ws_output_model.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/websocket_connection.h"
#include "tests/support/fake_clock.h"

namespace {

using tavix::WebsocketClient;
using tavix::im::Connection;
using tavix::im::WebSocketConnection;
using zek_fuzz::FuzzInput;
using zek_fuzz::MemorySocket;
using zek_fuzz::ModelFrame;
using zek_fuzz::Report;
using zek_fuzz::WsEvent;

constexpr char kHost[] = "192.0.2.1";
constexpr char kAccount[] = "acc";
constexpr char kApp[] = "app";
constexpr char kDevice[] = "phone";
constexpr char kToken[] = "tok";
constexpr char kDeviceId[] = "dev-1";

zek_fuzz::MemorySocketServer* g_server = nullptr;
rtc::Thread* g_thread = nullptr;
zek_test::ScopedFakeClock* g_clock = nullptr;

std::string Params() {
  return std::string(R"({"server_ip":")") + kHost +
         R"(","server_port_kcp":9000,"server_port_ws":80,"server_port_wss":443,"account_id":")" +
         kAccount + R"(","app_id":")" + kApp + R"(","device_type":")" + kDevice + R"(","token":")" +
         kToken + R"(","deviceid":")" + kDeviceId + R"("})";
}

// An expected written frame: a text, or the login object (checked by content).
struct ExpectedFrame {
  int opcode;
  std::string payload;
  bool login = false;
};

// What the connection must do with the client's events and the clock.
class ConnectionModel {
 public:
  struct Timer {
    bool armed = false;
    int64_t due = 0;
  };

  ConnectionModel(int64_t now) { connect.armed = true, connect.due = now + 10000; }

  bool client_alive = true;
  bool connected = false;
  // The server fell silent: the app's end sends no close frame.
  bool link_failed = false;
  std::string fragments;
  Timer connect, login, keep_alive;
  int64_t last_recv = 0;
  std::vector<Report> reports;
  // Texts handed over by SendData, to be written at the next message loop pass.
  std::vector<std::string> posted;
  // Things the connection writes through the client: the login once open, texts.
  std::vector<ExpectedFrame> writes;

  void OnClientEvent(const WsEvent& event, int64_t now) {
    switch (event.kind) {
      case WsEvent::kOpen:
        connect.armed = false;
        login.armed = true;
        login.due = now + 5000;
        writes.push_back(ExpectedFrame{WebsocketClient::kOpText, "", true});
        break;
      case WsEvent::kMessage:
        OnFrame(event.frame, now);
        break;
      case WsEvent::kClose: {
        login.armed = connect.armed = keep_alive.armed = false;
        const unsigned code =
            event.code >= -104 && event.code <= -100 ? 3u : static_cast<unsigned>(event.code);
        reports.push_back(Report::Status(
            connected ? Connection::kConnLost : Connection::kConnRefused, code, event.text));
        connected = false;
        break;
      }
    }
  }

  // One pass of the message loop at `now`: posted texts first, then a due timer.
  void Loop(int64_t now) {
    for (const std::string& text : posted) {
      if (connected && client_alive)
        writes.push_back(ExpectedFrame{WebsocketClient::kOpText, text, false});
    }
    posted.clear();
    if (connect.armed && now >= connect.due) {
      Stop();
      reports.push_back(Report::Status(Connection::kConnFailed, 4, "connect server timeout"));
    } else if (login.armed && now >= login.due) {
      Stop();
      reports.push_back(Report::Status(Connection::kConnFailed, 4, "login server timeout"));
    } else if (keep_alive.armed && now >= keep_alive.due) {
      if (static_cast<uint32_t>(now - last_recv) <= 40000) {
        keep_alive.due = now + 10000;
      } else {
        keep_alive.armed = false;
        link_failed = true;
        reports.push_back(Report::Status(Connection::kConnLost, 5,
                                         "can not recv server's response, please reconnect"));
      }
    }
  }

  // When the earliest armed timer falls due; 0 when none is armed.
  int64_t NextDue() const {
    int64_t due = 0;
    for (const Timer* t : {&connect, &login, &keep_alive}) {
      if (t->armed && (due == 0 || t->due < due))
        due = t->due;
    }
    return due;
  }

  void Stop() {
    connected = false;
    connect.armed = login.armed = keep_alive.armed = false;
    posted.clear();
    client_alive = false;
  }

 private:
  void OnFrame(const ModelFrame& frame, int64_t now) {
    if (frame.opcode == WebsocketClient::kOpPing) {
      last_recv = now;
      return;
    }
    if (fragments.empty() && frame.fin) {
      ParseData(frame.payload, now);
      return;
    }
    // A pong between fragments is no part of the message.
    if (frame.opcode == WebsocketClient::kOpPong)
      return;
    fragments += frame.payload;
    if (!frame.fin)
      return;
    const std::string message = fragments;
    fragments.clear();
    ParseData(message, now);
  }

  void ParseData(const std::string& text, int64_t now) {
    Json::Value root;
    if (!zek_fuzz::ModelParseJson(text, &root))
      return;
    if (connected) {
      reports.push_back(Report::Message(text));
      return;
    }
    login.armed = false;
    int code = 0;
    if (!root.isObject() || !root.isMember("code") ||
        !zek_fuzz::ModelJsonInt(root["code"], &code)) {
      reports.push_back(
          Report::Status(Connection::kConnFailed, 6, "login failed, response format error"));
      return;
    }
    if (code != 0) {
      reports.push_back(
          Report::Status(Connection::kConnRefused, static_cast<unsigned>(code), text));
      return;
    }
    connected = true;
    reports.push_back(Report::Status(Connection::kConnLoggedIn, 0, ""));
    keep_alive.armed = true;
    keep_alive.due = now + 10000;
    last_recv = now;
  }
};

// The login object as the connection must write it, for the "sid" it chose.
std::string ExpectedLogin(const std::string& written) {
  Json::Value got;
  if (!zek_fuzz::ModelParseJson(written, &got) || !got.isObject() || !got["sid"].isString())
    return "(not a login object)";
  const std::string sid = got["sid"].asString();
  Json::Value login(Json::objectValue);
  login["accid"] = kAccount;
  login["appid"] = kApp;
  login["device"] = kDevice;
  login["token"] = kToken;
  login["sid"] = sid.size() == 36 ? sid : "(a 36-character sid)";
  login["deviceid"] = kDeviceId;
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "   ";
  return Json::writeString(builder, login);
}

// The size of the login object the connection writes: its "sid" has 36 characters.
size_t LoginSize() {
  static const size_t size =
      ExpectedLogin(std::string(R"({"sid":")") + std::string(36, 's') + "\"}").size();
  return size;
}

struct Run {
  std::unique_ptr<WebSocketConnection> conn;
  zek_fuzz::ReportRecorder recorder;
  MemorySocket* socket = nullptr;  // the client's; null once it is gone
  bool socket_closed = false;
  std::unique_ptr<zek_fuzz::WsClientModel> client_model;  // from the connect on
  std::vector<WsEvent> client_events;
  size_t events_fed = 0;  // of client_events, those the connection model has had
  std::unique_ptr<ConnectionModel> model;
  zek_fuzz::WsOutputModel<ExpectedFrame> wout;
  std::vector<ExpectedFrame> frames;  // expected on the wire, in order
  size_t writes_seen = 0;
  std::string accept;

  int64_t now() const { return rtc::TimeMillis(); }

  bool socket_open() const { return socket && client_model && !socket_closed; }

  // Puts what the connection model wrote through the client's way out. One that
  // passes the waiting limit closes the client; the connection hears of it next.
  void TakeWrites() {
    using Result = zek_fuzz::WsOutputModel<ExpectedFrame>::Result;
    for (; writes_seen < model->writes.size(); ++writes_seen) {
      const ExpectedFrame& w = model->writes[writes_seen];
      const size_t payload = w.login ? LoginSize() : w.payload.size();
      if (payload > WebsocketClient::kMaxSendPayload)
        continue;
      const size_t header = 2 + (payload >= 126 ? 2 : 0) + 4;
      if (wout.Send(w, header + payload, false) == Result::kOverflow)
        client_model->SendQueueFull(&client_events);
    }
  }

  // The client's events not yet fed reach the connection, in order.
  void FeedEvents() {
    for (; events_fed < client_events.size(); ++events_fed) {
      const WsEvent event = client_events[events_fed];
      if (event.kind == WsEvent::kClose) {
        socket_closed = true;
        if (event.answered_status >= 0)
          AnswerClose(static_cast<uint16_t>(event.answered_status), true);
        wout.Close();
      }
      model->OnClientEvent(event, now());
      TakeWrites();
    }
  }

  // Each ping is answered with its pong before the connection hears of it, after the
  // events before it; false when the pong passed the waiting limit.
  bool AnswerPing(const ModelFrame& ping) {
    FeedEvents();
    const ModelFrame model_pong = zek_fuzz::ModelPongFor(ping);
    const ExpectedFrame pong{WebsocketClient::kOpPong, model_pong.payload, false};
    return wout.Send(pong, zek_fuzz::ModelWireSize(model_pong), true) !=
           zek_fuzz::WsOutputModel<ExpectedFrame>::Result::kOverflow;
  }

  void Deliver(const std::string& bytes) {
    if (!socket_open())
      return;
    client_model->Feed(bytes, &client_events,
                       [this](const ModelFrame& ping) { return AnswerPing(ping); });
    FeedEvents();
    ZEK_FUZZ_CHECK(socket->Deliver(bytes), "a read event took none of the waiting bytes");
  }

  // The client's close frame: the answer to a server's close (`answer`), which lets go of
  // what waits first, or the app's end, behind it.
  void AnswerClose(uint16_t status, bool answer) {
    const ModelFrame close = zek_fuzz::ModelCloseWith(status);
    const ExpectedFrame frame{WebsocketClient::kOpClose, close.payload, false};
    if (answer)
      wout.AnswerClose(frame, zek_fuzz::ModelWireSize(close));
    else
      wout.SendClose(frame, zek_fuzz::ModelWireSize(close));
  }

  void CloseSocket(int error) {
    if (!socket || socket_closed)
      return;
    if (client_model) {
      client_model->SocketClosed(error, &client_events);
    } else {
      WsEvent event;
      event.kind = WsEvent::kClose;
      event.code = WebsocketClient::kWsSocketError;
      event.text = "socket error:code = " + std::to_string(error);
      client_events.push_back(event);
    }
    FeedEvents();
    socket->RaiseClosed(error);
  }

  void Loop() {
    g_thread->ProcessMessages(0);
    model->Loop(now());
    TakeWrites();
    FeedEvents();
    const bool gone = g_server->latest() == nullptr;
    ZEK_FUZZ_CHECK(gone == !model->client_alive, "the client is %s, model %s",
                   gone ? "gone" : "there", model->client_alive ? "alive" : "gone");
    if (gone) {
      socket = nullptr;
      wout.Close();
    }
  }
};

// Everything written after the request must be the expected frames, in order.
void CompareWire(const std::string& sent, const std::vector<ExpectedFrame>& expected, bool all) {
  std::string request, why;
  std::vector<ModelFrame> frames;
  ZEK_FUZZ_CHECK(zek_fuzz::ModelSplitClientOutput(sent, true, &request, &frames, &why), "%s",
                 why.c_str());
  ZEK_FUZZ_CHECK(frames.size() <= expected.size(), "%zu frames written, %zu expected",
                 frames.size(), expected.size());
  if (all)
    ZEK_FUZZ_CHECK(frames.size() == expected.size(), "%zu frames written, %zu expected",
                   frames.size(), expected.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    const ExpectedFrame& e = expected[i];
    ZEK_FUZZ_CHECK(frames[i].fin && frames[i].opcode == e.opcode,
                   "written frame %zu has opcode %d, expected %d", i, frames[i].opcode, e.opcode);
    if (e.login) {
      ZEK_FUZZ_CHECK(frames[i].payload == ExpectedLogin(frames[i].payload),
                     "the login object differs:\n%s", frames[i].payload.c_str());
    } else {
      ZEK_FUZZ_CHECK(frames[i].payload == e.payload, "written frame %zu carries other bytes", i);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_server = new zek_fuzz::MemorySocketServer();
  g_thread = new rtc::Thread(std::unique_ptr<rtc::SocketServer>(g_server));
  rtc::ThreadManager::Instance()->SetCurrentThread(g_thread);
  g_clock = new zek_test::ScopedFakeClock(int64_t{1000000} * rtc::kNumNanosecsPerMillisec);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();

  Run r;
  r.conn.reset(new WebSocketConnection());
  r.recorder.Attach(r.conn.get());
  ZEK_FUZZ_CHECK(r.conn->Init(Params()), "the parameters were refused");
  if (flags & 0x80) {
    g_server->FailNextCreate();
    ZEK_FUZZ_CHECK(!r.conn->ConnectServer(10000, 1200), "a connect without a socket succeeded");
    r.conn->DisConnectServer();
    return 0;
  }
  ZEK_FUZZ_CHECK(r.conn->ConnectServer(10000, 1200), "ConnectServer failed");
  r.socket = g_server->latest();
  ZEK_FUZZ_CHECK(r.socket != nullptr, "no socket was made");
  r.model.reset(new ConnectionModel(r.now()));
  r.wout.out.max = WebsocketClient::kMaxPacketSize;
  r.wout.waiting_limit = WebsocketClient::kMaxWaitingBytes;
  r.wout.written = &r.frames;

  if (!(flags & 1)) {
    r.socket->CompleteConnect();
    std::string why;
    const std::string key = zek_fuzz::ModelCheckRequest(r.socket->sent(), "/ws", kHost, &why);
    ZEK_FUZZ_CHECK(!key.empty(), "%s", why.c_str());
    r.accept = zek_fuzz::ModelAccept(key);
    r.wout.out.connected = true;
    r.wout.out.sent = r.socket->sent();
    r.client_model.reset(new zek_fuzz::WsClientModel(r.accept, WebsocketClient::kMaxPacketSize));
    if (flags & 2)
      r.Deliver(zek_fuzz::ModelValidResponse(r.accept, ""));
  }

  int fill = 0;
  while (!in.empty()) {
    switch (in.Byte() % 10) {
      case 0:
        r.Deliver(in.Blob());
        break;
      case 1:  // one frame from its fields
        r.Deliver(zek_fuzz::ModelEncodeFrame(zek_fuzz::FrameFromScript(&in), 0x12345678));
        break;
      case 2: {  // one text in several frames, maybe with a ping or a pong among them
        const uint8_t bits = in.Byte();
        std::string text = in.Blob();
        if ((bits & 0x80) && text.size() == 1)  // a long message, past the buffer's start size
          text = "\"" + std::string(20000 + 1000u * (fill++ % 8), 'm') + "\"";
        const size_t pieces = 1 + bits % 5;
        const size_t step = text.size() / pieces + 1;
        std::string bytes;
        for (size_t i = 0; i < pieces; ++i) {
          ModelFrame frame;
          frame.opcode = i == 0 ? WebsocketClient::kOpText : WebsocketClient::kOpContinuation;
          frame.fin = i + 1 == pieces;
          frame.payload = text.substr(std::min(text.size(), i * step), step);
          bytes += zek_fuzz::ModelEncodeFrame(frame, 0);
          if (i == 0 && (bits & 0x30)) {
            ModelFrame control;
            control.fin = true;
            control.opcode = (bits & 0x10) ? WebsocketClient::kOpPing : WebsocketClient::kOpPong;
            bytes += zek_fuzz::ModelEncodeFrame(control, 0);
          }
        }
        r.Deliver(bytes);
        break;
      }
      case 3: {  // the clock moves; timers run
        const uint16_t ms = in.U16();
        g_clock->AdvanceTimeMillis(ms);
        r.Loop();
        break;
      }
      case 4: {  // the app sends a text (up to its first zero byte)
        const std::string text = in.Blob();
        r.conn->SendData(text.c_str(), static_cast<int>(text.size()), tavix::im::kMsgText);
        if (r.model->connected)
          r.model->posted.push_back(text.substr(0, text.find('\0')));
        r.Loop();
        break;
      }
      case 5:
        r.CloseSocket(in.Byte());
        break;
      case 6:
        if (r.client_model)
          r.Deliver(zek_fuzz::ModelValidResponse(r.accept, in.Blob()));
        break;
      case 7: {  // a text frame carrying a login reply or a message
        ModelFrame frame;
        frame.fin = true;
        frame.opcode = WebsocketClient::kOpText;
        frame.payload = in.Blob();
        r.Deliver(zek_fuzz::ModelEncodeFrame(frame, 0));
        break;
      }
      case 8: {  // how the socket reads and writes
        const uint8_t what = in.Byte();
        if (!r.socket)
          break;
        if (what % 3 == 0) {
          r.socket->set_recv_limit(in.Byte());
        } else if (what % 3 == 1) {
          const uint16_t budget = in.U16();
          r.socket->set_send_budget(budget == 0xFFFF ? -1 : budget);
          r.wout.out.budget = budget == 0xFFFF ? -1 : budget;
        } else {
          const long more = in.Byte();
          r.socket->Drain(more);
          r.wout.Drain(more);
        }
        break;
      }
      case 9: {  // the clock lands just before, on or just after the next time-out
        const int64_t due = r.model->NextDue();
        const int64_t to = due + in.Byte() % 3 - 1;
        if (due > 0 && to > r.now())
          g_clock->AdvanceTimeMillis(to - r.now());
        r.Loop();
        break;
      }
    }
    zek_fuzz::CompareReports(r.recorder.reports, r.model->reports);
    if (r.socket) {
      ZEK_FUZZ_CHECK(r.socket->sent().size() == r.wout.out.sent.size(),
                     "the socket took %zu bytes, model %zu", r.socket->sent().size(),
                     r.wout.out.sent.size());
      CompareWire(r.socket->sent(), r.frames, false);
    }
  }
  // Unless the bit 0x08 leaves the socket as the script did, everything queued goes out
  // first, and then every expected frame must be there.
  if (!(flags & 0x08) && r.socket && r.wout.out.connected) {
    r.socket->set_send_budget(-1);
    r.wout.out.budget = -1;
    r.socket->RaiseWritable();
    r.wout.WriteEvent();
    CompareWire(r.socket->sent(), r.frames, true);
  }
  // The end: the app's (with the bit 0x04), which follows what waits with a close frame
  // 1000 while the WebSocket is open and its link has not failed, or the connection's
  // own stop. Either writes what waits as far as the socket takes it now and deletes the
  // client; the socket's last bytes must be the expected frames.
  const bool by_app = flags & 0x04;
  std::string last_sent;
  if (r.socket) {
    r.socket->set_sent_on_destroy(&last_sent);
    if (by_app && !r.model->link_failed && r.client_model && r.client_model->open())
      r.AnswerClose(WebsocketClient::kCloseNormal, false);
    else
      r.wout.SendNow();
  }
  if (by_app)
    r.conn->DisConnectServerByApp();
  else
    r.conn->DisConnectServer();
  if (r.socket) {
    ZEK_FUZZ_CHECK(g_server->latest() == nullptr, "the client outlived the end");
    ZEK_FUZZ_CHECK(last_sent.size() == r.wout.out.sent.size(),
                   "at the end the socket took %zu bytes, model %zu", last_sent.size(),
                   r.wout.out.sent.size());
    CompareWire(last_sent, r.frames, r.wout.out.queued.empty() && r.wout.waiting == 0);
  }
  zek_fuzz::MaybePrintReports(r.recorder.reports);
  return 0;
}
