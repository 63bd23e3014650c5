// ctest-labels: threading
#include "src/zek_manager.h"

#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/kcp_connection.h"
#include "src/websocket_connection.h"
#include "tests/support/capabilities.h"
#include "tests/support/fake_clock.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/recording_observer.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

namespace tavix {
namespace im {
namespace {

using std::chrono::milliseconds;
using zek_test::CoreEvent;
using zek_test::ImParamObject;
using zek_test::JsonText;
using zek_test::KcpLoginReply;
using zek_test::KcpTestServer;
using zek_test::RecordingObserver;
using zek_test::RunOn;
using zek_test::WaitOnThread;
using zek_test::WaitUntil;
using zek_test::WsHandshakeOptions;
using zek_test::WsTestServer;
using Kind = zek_test::KcpLoginReply::Kind;

constexpr char kLoginFailed[] = "login failed, start reconnect";
const CoreEvent kConnected{kEventConnected, 0, "ok"};
const CoreEvent kDisconnected{kEventDisconnected, 0, ""};
const CoreEvent kReconnected{kEventReconnected, 0, "ok"};
// The WebSocket login reports no text.
const CoreEvent kWsConnected{kEventConnected, 0, ""};
constexpr char kWsBusy[] = R"({"code":1,"msg":"busy"})";
// Long enough for a datagram on loopback, to show that none came.
constexpr milliseconds kQuiet(300);

CoreEvent SetupFailed(const char* text) {
  return CoreEvent{kEventConnectFailed, 2, text};
}

KcpLoginReply Refuse(uint32_t code, const std::string& text) {
  KcpLoginReply reply;
  reply.kind = Kind::kRefuse;
  reply.code = code;
  reply.text = text;
  return reply;
}

// Holds the worker thread inside one message until released, so that work piles up
// behind it.
class Blocker : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message* /*msg*/) override {
    entered_ = true;
    while (!released_)
      std::this_thread::sleep_for(milliseconds(1));
  }
  std::atomic<bool> entered_{false};
  std::atomic<bool> released_{false};
};

// Standard output from construction on, handed back by Take; should the test end
// early, the output (with the failures gtest wrote into it) is written out after all.
class StdoutCapture {
 public:
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_)
      fputs(Take().c_str(), stdout);
  }
  std::string Take() {
    taken_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

class ZekManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << server_.last_error();
    ASSERT_TRUE(ws_server_.Start());
  }
  void TearDown() override { manager_.reset(); }

  // The probe stays on loopback.
  void StartManager() { manager_.reset(new ZekManager(&observer_, "127.0.0.1")); }
  // Both servers' ports; KCP unless `type` names a transport.
  std::string Params(const std::string& type = "") const {
    Json::Value root = ImParamObject(server_.port(), ws_server_.port());
    if (!type.empty())
      root["connection_type"] = type;
    return JsonText(root);
  }
  rtc::Thread* worker() const { return manager_->main_thread(); }

  void ConnectAndLogIn() {
    const size_t before = observer_.event_count();
    manager_->ConnectImServer(Params());
    ASSERT_TRUE(observer_.WaitForEvents(before + 1));
    ASSERT_EQ(kConnected, observer_.events()[before]);
  }

  // Returns once everything queued on the worker thread, and every delayed message due
  // by now, has been handled.
  void Drain() { ASSERT_TRUE(zek_test::Drain(worker())); }

  // The delay of the worker's next delayed message (kForeverMs: none).
  int PendingDelayMs() {
    int delay = 0;
    RunOn(worker(), [&] { delay = worker()->GetDelay(); });
    return delay;
  }

  uint8_t ReconnectInterval() {
    uint8_t interval = 0;
    RunOn(worker(), [&] { interval = manager_->reconnect_interval(); });
    return interval;
  }

  // Over both transports.
  size_t LoginCount() const { return server_.logins().size() + ws_server_.login_count(); }

  KcpTestServer server_;
  WsTestServer ws_server_;
  RecordingObserver observer_;
  std::unique_ptr<ZekManager> manager_;
};

TEST_F(ZekManagerTest, KcpConnectEchoAndDisconnect) {
  StartManager();
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
  EXPECT_EQ(ZekManager::kImConnected, manager_->conn_status());
  ASSERT_EQ(1u, LoginCount());
  const zek_test::KcpLogin login = server_.logins()[0];
  EXPECT_TRUE(login.well_formed);
  EXPECT_EQ("10001", login.account_id);
  // The probed limit: on loopback the largest probe is answered.
  EXPECT_EQ(zek_test::CanOpenRawSocket() ? 1200u : 550u, login.packet_size);

  manager_->InputUserMessage("hello", 5, kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(1));
  EXPECT_EQ("hello", observer_.messages()[0]);

  // A received text ends at its first zero byte, and so does a sent one.
  ASSERT_TRUE(server_.SendText(std::string("ab\0de", 5)));
  ASSERT_TRUE(observer_.WaitForMessages(2));
  EXPECT_EQ("ab", observer_.messages()[1]);
  manager_->InputUserMessage("xy\0zw", 5, kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(3));
  EXPECT_EQ("xy", observer_.messages()[2]);
  EXPECT_EQ((std::vector<std::string>{"hello", "xy"}), server_.texts());
  EXPECT_TRUE(observer_.messages_zero_terminated());

  EXPECT_FALSE(zek_test::UdpPortFree(login.from_port));
  manager_->DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  EXPECT_EQ(ZekManager::kImIdle, manager_->conn_status());
  EXPECT_TRUE(zek_test::UdpPortFree(login.from_port));

  // Without a connection a send goes nowhere.
  manager_->InputUserMessage("late", 4, kMsgText);
  manager_->InputUserMessage(nullptr, 4, kMsgText);
  Drain();
  EXPECT_EQ(2u, observer_.event_count());
}

// The same through the WebSocket server, which carries JSON texts.
TEST_F(ZekManagerTest, WebSocketConnectEchoAndDisconnect) {
  StartManager();
  manager_->ConnectImServer(Params("websocket"));
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ(kWsConnected, observer_.events()[0]);
  EXPECT_EQ(ZekManager::kImConnected, manager_->conn_status());
  ASSERT_EQ(1u, ws_server_.upgrade_count());
  EXPECT_EQ("/ws", ws_server_.upgrade_requests()[0].path);
  EXPECT_TRUE(server_.logins().empty());

  const std::string hello = R"({"text":"hello"})";
  manager_->InputUserMessage(hello.c_str(), static_cast<int>(hello.size()), kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(1));
  EXPECT_EQ(hello, observer_.messages()[0]);
  EXPECT_EQ(std::vector<std::string>{hello}, ws_server_.texts());

  // A received message ends at its first zero byte.
  ASSERT_TRUE(ws_server_.SendText(std::string("{\"n\":1}\0{\"n\":2}", 15)));
  ASSERT_TRUE(observer_.WaitForMessages(2));
  EXPECT_EQ(R"({"n":1})", observer_.messages()[1]);
  EXPECT_TRUE(observer_.messages_zero_terminated());

  manager_->DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  EXPECT_EQ(ZekManager::kImIdle, manager_->conn_status());
  EXPECT_TRUE(WaitUntil([&] { return ws_server_.peer_closes() == 1; }));
}

// An empty text goes out over both transports, but only KCP brings an empty one back:
// over WebSocket it is no JSON text. A binary frame reaches the app as a text does.
TEST_F(ZekManagerTest, EmptyTextsAndBinaryFrames) {
  const auto binary = [](const std::string& payload) {
    zek_test::WsFrameToSend frame;
    frame.opcode = zek_test::kWsOpBinary;
    frame.payload = payload;
    return frame;
  };
  const std::string end = R"({"end":1})";
  const struct {
    const char* type;
    std::vector<zek_test::WsFrameToSend> pushed;  // by the WebSocket server
    std::vector<std::string> app_gets;            // before the echo of `end`
  } rows[] = {
      {"kcp", {}, {"", ""}},
      {"websocket", {binary(R"({"bin":1})"), binary("not json")}, {R"({"bin":1})"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    RecordingObserver observer;
    ZekManager manager(&observer, "127.0.0.1");
    manager.ConnectImServer(Params(row.type));
    ASSERT_TRUE(observer.WaitForEvents(1));
    ASSERT_EQ(kEventConnected, observer.events()[0].code);
    manager.InputUserMessage("", 0, kMsgText);
    manager.InputUserMessage("x", 0, kMsgText);
    for (const zek_test::WsFrameToSend& frame : row.pushed)
      ASSERT_TRUE(ws_server_.SendFrame(frame));
    // Its echo comes after every answer to what went before.
    manager.InputUserMessage(end.c_str(), static_cast<int>(end.size()), kMsgText);
    std::vector<std::string> expected = row.app_gets;
    expected.push_back(end);
    ASSERT_TRUE(observer.WaitForMessages(expected.size()));
    EXPECT_EQ(expected, observer.messages());
    EXPECT_TRUE(observer.messages_zero_terminated());
    const std::vector<std::string> texts =
        std::string(row.type) == "kcp" ? server_.texts() : ws_server_.texts();
    EXPECT_EQ((std::vector<std::string>{"", "", end}), texts);
  }
}

TEST_F(ZekManagerTest, RefusesNullDataAndNegativeLengths) {
  StartManager();
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
  manager_->InputUserMessage(nullptr, 5, kMsgText);
  manager_->InputUserMessage(nullptr, 0, kMsgNoPayload);
  manager_->InputUserMessage("abc", -1, kMsgText);
  manager_->InputUserMessage("end", 3, kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(1));
  EXPECT_EQ("end", observer_.messages()[0]);
  // The engine delivers in order: anything sent before "end" would have come first.
  std::vector<int> types;
  for (const zek_test::KcpClientMessage& m : server_.messages()) {
    if (m.type != zek_test::kKcpMsgKeepAlive)
      types.push_back(m.type);
  }
  EXPECT_EQ(std::vector<int>{zek_test::kKcpMsgText}, types);
}

// A connect while a connection exists, whatever its state, is ignored without an event;
// the app's disconnect then ends that connection.
TEST_F(ZekManagerTest, ConnectWhileAConnectionExistsIsIgnored) {
  KcpLoginReply silent;
  silent.kind = Kind::kNone;
  const struct {
    const char* name;
    KcpLoginReply reply;
    std::vector<CoreEvent> events;
    ZekManager::ImConnStatus status;
  } cases[] = {
      {"connecting", silent, {}, ZekManager::kImConnecting},
      {"connected", KcpLoginReply(), {kConnected}, ZekManager::kImConnected},
      {"refused with 5003",
       Refuse(5003, "frozen"),
       {{kEventConnectFailed, 5003, "frozen"}},
       ZekManager::kImIdle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KcpTestServer server;
    ASSERT_TRUE(server.Start());
    server.SetLoginReply(c.reply);
    RecordingObserver observer;
    ZekManager manager(&observer, "127.0.0.1");
    const std::string params = JsonText(ImParamObject(server.port()));
    manager.ConnectImServer(params);
    ASSERT_TRUE(WaitUntil([&] { return server.logins().size() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return manager.conn_status() == c.status; }));
    ASSERT_TRUE(observer.WaitForEvents(c.events.size()));

    // Nothing reaches a server that has not logged the client in.
    manager.InputUserMessage("early", 5, kMsgText);
    Json::Value quic = ImParamObject(server.port());
    quic["connection_type"] = "quic";
    manager.ConnectImServer(JsonText(quic));
    manager.ConnectImServer(params);
    manager.DisConnectImServer();
    ASSERT_TRUE(observer.WaitForEvents(c.events.size() + 1));
    std::vector<CoreEvent> expected = c.events;
    expected.push_back(kDisconnected);
    EXPECT_EQ(expected, observer.events());
    EXPECT_EQ(1u, server.logins().size());
    EXPECT_EQ(ZekManager::kImIdle, manager.conn_status());
    if (c.status != ZekManager::kImConnected) {
      EXPECT_TRUE(server.texts().empty());
    }
  }
}

TEST_F(ZekManagerTest, DisconnectWithoutConnectionRaisesNothing) {
  StartManager();
  manager_->DisConnectImServer();
  Json::Value quic = ImParamObject(server_.port());
  quic["connection_type"] = "quic";
  manager_->ConnectImServer(JsonText(quic));
  // After a failed set-up there is no connection either.
  manager_->DisConnectImServer();
  Drain();
  EXPECT_EQ(std::vector<CoreEvent>{SetupFailed("not support")}, observer_.events());
  EXPECT_EQ(ZekManager::kImConnecting, manager_->conn_status());
  EXPECT_EQ(rtc::kForeverMs, PendingDelayMs());
  // And the next connect goes ahead.
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
}

// Every parameter text gives one event and never lets an exception out of the worker.
TEST_F(ZekManagerTest, ParameterTexts) {
  using Edit = std::function<void(Json::Value&)>;
  const uint16_t ws_port = ws_server_.port();
  const auto edited = [ws_port](uint16_t port, const Edit& edit) {
    Json::Value root = ImParamObject(port, ws_port);
    edit(root);
    return JsonText(root);
  };
  const auto object = [edited](const Edit& edit) {
    return [edited, edit](uint16_t port) { return edited(port, edit); };
  };
  const auto text = [](const std::string& t) { return [t](uint16_t) { return t; }; };
  // The reader stops after the first complete value and takes comments.
  const auto around = [edited](const std::string& before, const std::string& after) {
    return [edited, before, after](uint16_t port) {
      return before + edited(port, [](Json::Value&) {}) + after;
    };
  };
  const auto websocket = [](const Edit& edit) {
    return [edit](Json::Value& v) {
      v["connection_type"] = "websocket";
      edit(v);
    };
  };
  const std::string deep(5000, '[');
  const std::string not_support = "not support";
  const std::string param_failed = "param parse init failed";
  const std::string connect_failed = "connect server failed";
  const struct {
    const char* name;
    std::function<std::string(uint16_t)> param;
    CoreEvent expected;
  } cases[] = {
      {"no connection_type", object([](Json::Value&) {}), kConnected},
      {"kcp", object([](Json::Value& v) { v["connection_type"] = "kcp"; }), kConnected},
      {"connection_type null", object([](Json::Value& v) { v["connection_type"] = Json::Value(); }),
       kConnected},
      {"connection_type array",
       object([](Json::Value& v) { v["connection_type"].append("websocket"); }), kConnected},
      {"connection_type object",
       object([](Json::Value& v) { v["connection_type"]["a"] = "websocket"; }), kConnected},
      {"quic", object([](Json::Value& v) { v["connection_type"] = "quic"; }),
       SetupFailed("not support")},
      {"KCP in capitals", object([](Json::Value& v) { v["connection_type"] = "KCP"; }),
       SetupFailed("not support")},
      {"empty connection_type", object([](Json::Value& v) { v["connection_type"] = ""; }),
       SetupFailed("not support")},
      {"numeric connection_type", object([](Json::Value& v) { v["connection_type"] = 1; }),
       SetupFailed("not support")},
      {"boolean connection_type", object([](Json::Value& v) { v["connection_type"] = true; }),
       SetupFailed("not support")},
      {"not JSON", text("server_ip=127.0.0.1"), SetupFailed("param parse init failed")},
      {"empty text", text(""), SetupFailed("param parse init failed")},
      {"number", text("42"), SetupFailed("param parse init failed")},
      {"string root", text("\"kcp\""), SetupFailed("param parse init failed")},
      {"array root",
       [](uint16_t port) {
         Json::Value root(Json::arrayValue);
         root.append(ImParamObject(port));
         return JsonText(root);
       },
       SetupFailed("param parse init failed")},
      {"nested too deep", text(deep), SetupFailed("param parse init failed")},
      {"nested too deep inside the object", text("{\"connection_type\":\"kcp\",\"x\":" + deep),
       SetupFailed("param parse init failed")},
      {"server_ip missing", object([](Json::Value& v) { v.removeMember("server_ip"); }),
       SetupFailed("param parse init failed")},
      {"deviceid null", object([](Json::Value& v) { v["deviceid"] = Json::Value(); }),
       SetupFailed("param parse init failed")},
      {"port as a string",
       object([](Json::Value& v) { v["server_port_kcp"] = v["server_port_kcp"].asString(); }),
       SetupFailed("param parse init failed")},
      {"port 0", object([](Json::Value& v) { v["server_port_kcp"] = 0; }),
       SetupFailed("param parse init failed")},
      {"port 65536", object([](Json::Value& v) { v["server_port_ws"] = 65536; }),
       SetupFailed("param parse init failed")},
      {"port -1", object([](Json::Value& v) { v["server_port_wss"] = -1; }),
       SetupFailed("param parse init failed")},
      {"host name", object([](Json::Value& v) { v["server_ip"] = "localhost"; }),
       SetupFailed("connect server failed")},
      {"IPv6 address", object([](Json::Value& v) { v["server_ip"] = "::1"; }),
       SetupFailed("connect server failed")},
      {"login too long for one datagram",
       object([](Json::Value& v) { v["token"] = std::string(2000, 't'); }),
       SetupFailed("connect server failed")},
      {"text after the object", around("", " xyz"), kConnected},
      {"two objects in a row, the second over WebSocket",
       [edited](uint16_t port) {
         return edited(port, [](Json::Value&) {}) +
                edited(port, [](Json::Value& v) { v["connection_type"] = "websocket"; });
       },
       kConnected},
      {"comments", around("/* params */ ", " // end\n"), kConnected},
      // "tls" is a text like the others, but optional: only what cannot be one refuses.
      {"tls 1", object(websocket([](Json::Value& v) { v["tls"] = 1; })), kWsConnected},
      {"tls true", object(websocket([](Json::Value& v) { v["tls"] = true; })), kWsConnected},
      {"tls null", object(websocket([](Json::Value& v) { v["tls"] = Json::Value(); })),
       kWsConnected},
      {"tls array", object(websocket([](Json::Value& v) { v["tls"].append("enable"); })),
       SetupFailed("param parse init failed")},
      {"tls object", object(websocket([](Json::Value& v) { v["tls"]["tls"] = "enable"; })),
       SetupFailed("param parse init failed")},
      {"tls array over KCP", object([](Json::Value& v) { v["tls"].append("enable"); }),
       SetupFailed("param parse init failed")},
      {"port with a fraction",
       object([](Json::Value& v) { v["server_port_kcp"] = v["server_port_kcp"].asInt() + 0.75; }),
       kConnected},
      {"numeric token", object([](Json::Value& v) { v["token"] = 12345; }), kConnected},
  };
  StartManager();
  size_t logins = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = observer_.event_count();
    manager_->ConnectImServer(c.param(server_.port()));
    ASSERT_TRUE(observer_.WaitForEvents(before + 1));
    EXPECT_EQ(c.expected, observer_.events()[before]);
    const bool connected = c.expected.code == kEventConnected;
    if (connected) {
      logins++;
      manager_->DisConnectImServer();
      ASSERT_TRUE(observer_.WaitForEvents(before + 2));
      EXPECT_EQ(kDisconnected, observer_.events()[before + 1]);
    }
    Drain();
    EXPECT_EQ(before + (connected ? 2 : 1), observer_.event_count());
  }
  ASSERT_EQ(logins, LoginCount());
  EXPECT_EQ("12345", server_.logins().back().token);
}

// The server's close: 8002 ends the session for good, any other code starts reconnecting.
TEST_F(ZekManagerTest, ServerClose) {
  const std::string ws_kicked = R"({"code":8002,"msg":"kicked"})";
  const std::string ws_bye = R"({"code":4001,"msg":"bye"})";
  const struct {
    const char* transport;
    uint32_t code;
    std::string reason;
    CoreEvent event;
    ZekManager::ImConnStatus status;
    bool reconnect;
  } cases[] = {
      {"kcp",
       8002,
       "kicked",
       {kEventServerClosed, 8002, "kicked"},
       ZekManager::kImConnected,
       false},
      {"kcp",
       4001,
       "bye",
       {kEventReconnecting, 4001, "start reconnect"},
       ZekManager::kImReconnecting,
       true},
      // The WebSocket close reports the JSON text it carried.
      {"websocket",
       8002,
       ws_kicked,
       {kEventServerClosed, 8002, ws_kicked},
       ZekManager::kImConnected,
       false},
      {"websocket",
       4001,
       ws_bye,
       {kEventReconnecting, 4001, "start reconnect"},
       ZekManager::kImReconnecting,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.transport) + " " + std::to_string(c.code));
    const bool kcp = std::string(c.transport) == "kcp";
    KcpTestServer server;
    ASSERT_TRUE(server.Start());
    WsTestServer ws_server;
    ASSERT_TRUE(ws_server.Start());
    RecordingObserver observer;
    ZekManager manager(&observer, "127.0.0.1");
    Json::Value params = ImParamObject(server.port(), ws_server.port());
    params["connection_type"] = c.transport;
    manager.ConnectImServer(JsonText(params));
    ASSERT_TRUE(observer.WaitForEvents(1));
    ASSERT_EQ(kcp ? kConnected : kWsConnected, observer.events()[0]);
    const auto texts = [&] { return kcp ? server.texts().size() : ws_server.text_count(); };
    const std::string one = R"({"m":"one"})";
    manager.InputUserMessage(one.c_str(), static_cast<int>(one.size()), kMsgText);
    ASSERT_TRUE(observer.WaitForMessages(1));
    ASSERT_EQ(1u, texts());

    ASSERT_TRUE(kcp ? server.SendClose(c.code, c.reason)
                    : ws_server.SendClose(zek_test::WsClosePayload(1000, c.reason)));
    ASSERT_TRUE(observer.WaitForEvents(2));
    EXPECT_EQ(c.event, observer.events()[1]);
    EXPECT_EQ(c.status, manager.conn_status());
    int delay = 0;
    RunOn(manager.main_thread(), [&] { delay = manager.main_thread()->GetDelay(); });
    if (c.reconnect) {
      EXPECT_GT(delay, 0);
      EXPECT_LE(delay, 1000);
    } else {
      EXPECT_EQ(rtc::kForeverMs, delay);
    }

    // The closed connection carries nothing more, whatever the manager's state.
    const std::string two = R"({"m":"two"})";
    manager.InputUserMessage(two.c_str(), static_cast<int>(two.size()), kMsgText);
    EXPECT_FALSE(WaitUntil([&] { return texts() > 1; }, kQuiet));
    EXPECT_EQ(1u, server.logins().size() + ws_server.login_count());
  }
}

// Shut-down with a logged-in connection: its socket is released on the worker thread
// before that thread ends, and the app hears nothing more.
TEST_F(ZekManagerTest, CleanupDisconnectsAndDeletesTheOpenConnection) {
  StartManager();
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
  const uint16_t port = server_.logins()[0].from_port;
  ASSERT_FALSE(zek_test::UdpPortFree(port));
  manager_->Cleanup();
  observer_.Close();
  EXPECT_EQ(nullptr, manager_->main_thread());
  EXPECT_TRUE(zek_test::UdpPortFree(port));
  manager_.reset();
  EXPECT_EQ(std::vector<CoreEvent>{kConnected}, observer_.events());
  EXPECT_EQ(0, observer_.calls_after_close());
}

TEST_F(ZekManagerTest, CleanupClosesTheOpenWebSocket) {
  StartManager();
  manager_->ConnectImServer(Params("websocket"));
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(kWsConnected, observer_.events()[0]);
  ASSERT_EQ(0u, ws_server_.peer_closes());
  manager_->Cleanup();
  observer_.Close();
  EXPECT_TRUE(WaitUntil([&] { return ws_server_.peer_closes() == 1; }));
  manager_.reset();
  EXPECT_EQ(std::vector<CoreEvent>{kWsConnected}, observer_.events());
  EXPECT_EQ(0, observer_.calls_after_close());
}

// Work still queued when the shut-down begins runs, but reaches no observer.
TEST_F(ZekManagerTest, NoObserverCallAfterCleanupEvenForQueuedWork) {
  StartManager();
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
  const uint16_t port = server_.logins()[0].from_port;
  rtc::Thread* const worker_thread = worker();
  Blocker blocker;
  worker_thread->Post(RTC_FROM_HERE, &blocker);
  ASSERT_TRUE(WaitUntil([&] { return blocker.entered_.load(); }));
  // Each would reach the observer: a disconnect event, received messages.
  manager_->DisConnectImServer();
  for (int i = 0; i < 3; i++)
    ASSERT_TRUE(server_.SendText("late"));

  std::thread cleanup([&] { manager_->Cleanup(); });
  // The loop quits only once Cleanup has let go of the observer.
  ASSERT_TRUE(WaitUntil([&] { return worker_thread->IsQuitting(); }));
  observer_.Close();
  blocker.released_ = true;
  cleanup.join();

  EXPECT_EQ(std::vector<CoreEvent>{kConnected}, observer_.events());
  EXPECT_TRUE(observer_.messages().empty());
  EXPECT_EQ(0, observer_.calls_after_close());
  EXPECT_TRUE(zek_test::UdpPortFree(port));
}

TEST_F(ZekManagerTest, CleanupWhileMessagesFlow) {
  StartManager();
  ASSERT_NO_FATAL_FAILURE(ConnectAndLogIn());
  std::atomic<bool> stop{false};
  std::thread pump([&] {
    while (!stop) {
      server_.SendText("flood");
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  ASSERT_TRUE(observer_.WaitForMessages(20));
  manager_->Cleanup();
  observer_.Close();
  stop = true;
  pump.join();
  manager_.reset();
  EXPECT_EQ(0, observer_.calls_after_close());
  EXPECT_TRUE(observer_.messages_zero_terminated());
}

// The back-off runs on delayed messages of the worker's queue, which follow the fake
// clock: the test moves it and wakes the worker instead of waiting.
class ZekManagerBackoffTest : public ZekManagerTest {
 protected:
  ZekManagerBackoffTest() : clock_(int64_t{1000000} * rtc::kNumNanosecsPerMillisec) {}

  void TearDown() override {
    // The worker reads the clock until it stops.
    manager_.reset();
  }

  // Moves the clock by `wait_ms` and shows that the reconnect attempt comes at its very
  // end and not a millisecond earlier.
  void PassReconnectWait(int wait_ms) {
    ASSERT_TRUE(WaitOnThread(worker(), [&] { return worker()->GetDelay() == wait_ms; }))
        << "next delay " << PendingDelayMs();
    const size_t logins = LoginCount();
    clock_.AdvanceTimeMillis(wait_ms - 1);
    Drain();
    EXPECT_EQ(1, PendingDelayMs());
    clock_.AdvanceTimeMillis(1);
    Drain();
    ASSERT_TRUE(WaitUntil([&] { return LoginCount() == logins + 1; }));
  }

  static std::vector<std::string> ReconnectLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t at = 0;
    while ((at = output.find("start reconnecting", at)) != std::string::npos) {
      const size_t end = output.find('\n', at);
      lines.push_back(output.substr(at, end == std::string::npos ? end : end - at + 1));
      at = end;
    }
    return lines;
  }

  zek_test::ScopedFakeClock clock_;
};

// Every row of the manager's events table: each status a transport can report, in each
// state of the manager, and the app's own requests. A row starts a fresh manager with
// its own servers, connects, lets `after` drive the servers and the clock, and then
// finds the events, the state, the back-off counter (one doubling for each failure
// acted on), the next delayed message of the worker and the logins the servers saw.
// The last rows are reports that come after the outcome is settled: a second report of
// the same connection, or a report while nothing is being attempted. They change
// nothing.
TEST_F(ZekManagerBackoffTest, EventsTable) {
  struct Peers {
    KcpTestServer& kcp;
    WsTestServer& ws;
    RecordingObserver& observer;
  };
  using Step = std::function<void(Peers&)>;
  // A live KCP session may have a poll pending: the next delay says nothing of reconnects.
  constexpr int kAnyDelay = -2;
  const int forever = rtc::kForeverMs;
  // The worker first finishes what it is at: an event is raised before the reconnect it
  // announces is scheduled, and the schedule reads the clock.
  const auto advance = [this](int64_t ms) {
    Drain();
    clock_.AdvanceTimeMillis(ms);
    Drain();
  };
  const auto events = [](Peers& p, size_t n) { ASSERT_TRUE(p.observer.WaitForEvents(n)); };
  const auto refuse_again = [](Peers& p) {
    ASSERT_TRUE(p.kcp.SendLoginReply(Refuse(1234, "busy")));
  };
  // The client has closed its end once the server sees it: the report is out by then.
  const auto ws_close_and_wait = [this](Peers& p, WsTestServer::CloseHow how) {
    ASSERT_TRUE(p.ws.CloseConnection(how));
    if (how == WsTestServer::CloseHow::kFin) {
      ASSERT_TRUE(WaitUntil([&] { return p.ws.peer_closes() == 1; }));
    }
    Drain();
  };
  const auto kcp_silence = [&](Peers& p) {
    p.kcp.SetSilent(true);
    // Keep-alive ticks at 5, 10 and 15 s; more than 10 s of silence is a loss. A
    // datagram the server sent before it fell silent may be read only after the first
    // tick, which moves the loss to the fourth; the clock stops once it is reported.
    for (int i = 0; i < 4 && p.observer.event_count() < 2; i++)
      advance(KcpConnection::kKeepAliveIntervalMs);
  };
  const auto ws_silence = [&](Peers&) {
    // Checks every 10 s; more than 40 s without a ping is a loss.
    for (int i = 0; i < 5; i++)
      advance(10000);
  };
  KcpLoginReply silent;
  silent.kind = Kind::kNone;
  KcpLoginReply truncated;
  truncated.kind = Kind::kTruncated;
  const auto login_failed = [](int code) {
    return CoreEvent{kEventReconnecting, code, kLoginFailed};
  };
  const auto lost = [](int code) { return CoreEvent{kEventReconnecting, code, "start reconnect"}; };
  const CoreEvent kcp_stopped{kEventConnectFailed, 5003, "frozen"};
  const CoreEvent ws_stopped{kEventConnectFailed, 5003, zek_test::kWsLoginDenied};
  const std::string ws_kicked = R"({"code":8002,"msg":"kicked"})";
  const std::string ws_bye = R"({"code":4001,"msg":"bye"})";
  WsHandshakeOptions no_handshake;
  no_handshake.reply = zek_test::WsHandshakeReply::kNone;
  WsHandshakeOptions wrong_accept;
  wrong_accept.reply = zek_test::WsHandshakeReply::kWrongAccept;

  const struct {
    const char* name;
    const char* type;  // "connection_type"
    Step before;       // server settings before the connect
    Step after;        // what happens once the connect is posted
    std::vector<CoreEvent> events;
    ZekManager::ImConnStatus status;
    uint8_t interval;
    int next_delay_ms;
    size_t logins;
    // A second report that leaves no trace of its own may still be on its way: watch
    // the events and the counter for a while.
    bool watch = false;
  } rows[] = {
      // The first connect.
      {"login", "kcp", nullptr, nullptr, {kConnected}, ZekManager::kImConnected, 1, kAnyDelay, 1},
      {"login over WebSocket",
       "websocket",
       nullptr,
       nullptr,
       {kWsConnected},
       ZekManager::kImConnected,
       1,
       WebSocketConnection::kWsKeepAliveCheckMs,
       1},
      {"refused with 5003",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(5003, "frozen")); },
       nullptr,
       {kcp_stopped},
       ZekManager::kImIdle,
       1,
       forever,
       1},
      {"refused with another code",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(1234, "busy")); },
       nullptr,
       {login_failed(1234)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"malformed reply",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(truncated); },
       nullptr,
       {login_failed(6)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"no reply: connect time-out",
       "kcp",
       [&](Peers& p) { p.kcp.SetLoginReply(silent); },
       [&](Peers& p) {
         ASSERT_TRUE(WaitUntil([&] { return p.kcp.logins().size() == 1; }));
         advance(ZekManager::kConnectTimeoutMs);
       },
       {login_failed(4)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"refused with 5003 over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, zek_test::kWsLoginDenied); },
       nullptr,
       {ws_stopped},
       ZekManager::kImIdle,
       1,
       forever,
       1},
      {"refused with another code over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, kWsBusy); },
       nullptr,
       {login_failed(1)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"reply without a code over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, zek_test::kWsLoginFormatError); },
       nullptr,
       {login_failed(6)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"handshake refused over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetHandshake(wrong_accept); },
       nullptr,
       {login_failed(3)},
       ZekManager::kImReconnecting,
       2,
       1000,
       0},
      {"no handshake: connect time-out over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetHandshake(no_handshake); },
       [&](Peers& p) {
         ASSERT_TRUE(WaitUntil([&] { return p.ws.upgrade_count() == 1; }));
         advance(ZekManager::kConnectTimeoutMs);
       },
       {login_failed(4)},
       ZekManager::kImReconnecting,
       2,
       1000,
       0},
      {"no reply: login time-out over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(false); },
       [&](Peers& p) {
         ASSERT_TRUE(WaitUntil([&] { return p.ws.login_count() == 1; }));
         advance(WebSocketConnection::kWsLoginTimeoutMs);
       },
       {login_failed(4)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"socket error before login over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(false); },
       [&](Peers& p) {
         ASSERT_TRUE(WaitUntil([&] { return p.ws.login_count() == 1; }));
         ws_close_and_wait(p, WsTestServer::CloseHow::kReset);
       },
       {login_failed(3)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"set-up failure",
       "quic",
       nullptr,
       nullptr,
       {SetupFailed("not support")},
       ZekManager::kImConnecting,
       1,
       forever,
       0},

      // Reconnect attempts.
      {"refused with 5003 while reconnecting",
       "kcp",
       [&](Peers& p) {
         p.kcp.QueueLoginReply(Refuse(1, "busy"));
         p.kcp.QueueLoginReply(Refuse(5003, "frozen"));
       },
       [&](Peers& p) {
         events(p, 1);
         advance(1000);
       },
       {login_failed(1), {kEventReconnectStopped, 5003, "frozen"}},
       ZekManager::kImIdle,
       2,
       forever,
       2},
      {"refused with another code while reconnecting",
       "kcp",
       [&](Peers& p) { p.kcp.SetLoginReply(Refuse(1, "busy")); },
       [&](Peers& p) {
         events(p, 1);
         advance(1000);
         ASSERT_TRUE(WaitUntil([&] { return p.kcp.logins().size() == 2; }));
       },
       {login_failed(1)},
       ZekManager::kImReconnecting,
       4,
       2000,
       2},
      {"a reconnect logs in",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(1, "busy")); },
       [&](Peers& p) {
         events(p, 1);
         advance(1000);
       },
       {login_failed(1), kReconnected},
       ZekManager::kImConnected,
       1,
       kAnyDelay,
       2},

      // The logged-in connection ends.
      {"server close 8002",
       "kcp",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.kcp.SendClose(8002, "kicked"));
         events(p, 2);
       },
       {kConnected, {kEventServerClosed, 8002, "kicked"}},
       ZekManager::kImConnected,
       1,
       forever,
       1},
      {"server close 8002 over WebSocket",
       "websocket",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.ws.SendClose(zek_test::WsClosePayload(1000, ws_kicked)));
       },
       {kWsConnected, {kEventServerClosed, 8002, ws_kicked}},
       ZekManager::kImConnected,
       1,
       forever,
       1},
      {"other server close",
       "kcp",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.kcp.SendClose(4001, "bye"));
         events(p, 2);
       },
       {kConnected, lost(4001)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"other server close over WebSocket",
       "websocket",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.ws.SendClose(zek_test::WsClosePayload(1000, ws_bye)));
       },
       {kWsConnected, lost(4001)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"keep-alive loss",
       "kcp",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         kcp_silence(p);
       },
       {kConnected, lost(5)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"keep-alive loss over WebSocket",
       "websocket",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ws_silence(p);
       },
       {kWsConnected, lost(5)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"socket error after login over WebSocket",
       "websocket",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ws_close_and_wait(p, WsTestServer::CloseHow::kReset);
       },
       {kWsConnected, lost(3)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},

      // The app's disconnect.
      {"app disconnect",
       "kcp",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         manager_->DisConnectImServer();
       },
       {kConnected, kDisconnected},
       ZekManager::kImIdle,
       1,
       forever,
       1},
      {"app disconnect with a reconnect pending",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(1, "busy")); },
       [&](Peers& p) {
         events(p, 1);
         manager_->DisConnectImServer();
       },
       {login_failed(1), kDisconnected},
       ZekManager::kImIdle,
       2,
       forever,
       1},

      // After the outcome: nothing changes.
      {"a second reply after 5003",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(5003, "frozen")); },
       [&](Peers& p) {
         events(p, 1);
         refuse_again(p);
       },
       {kcp_stopped},
       ZekManager::kImIdle,
       1,
       forever,
       1,
       true},
      {"the server closes after 5003 over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, zek_test::kWsLoginDenied); },
       [&](Peers& p) {
         events(p, 1);
         ws_close_and_wait(p, WsTestServer::CloseHow::kFin);
       },
       {ws_stopped},
       ZekManager::kImIdle,
       1,
       forever,
       1},
      {"a second reply after 5003 while reconnecting",
       "kcp",
       [&](Peers& p) {
         p.kcp.QueueLoginReply(Refuse(1, "busy"));
         p.kcp.QueueLoginReply(Refuse(5003, "frozen"));
       },
       [&](Peers& p) {
         events(p, 1);
         advance(1000);
         events(p, 2);
         refuse_again(p);
       },
       {login_failed(1), {kEventReconnectStopped, 5003, "frozen"}},
       ZekManager::kImIdle,
       2,
       forever,
       2,
       true},
      {"refused twice",
       "kcp",
       [&](Peers& p) { p.kcp.QueueLoginReply(Refuse(1234, "busy")); },
       [&](Peers& p) {
         events(p, 1);
         refuse_again(p);
       },
       {login_failed(1234)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1,
       true},
      {"refused, then the server closes over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, kWsBusy); },
       [&](Peers& p) {
         events(p, 1);
         ws_close_and_wait(p, WsTestServer::CloseHow::kFin);
       },
       {login_failed(1)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"refused twice while reconnecting",
       "kcp",
       [&](Peers& p) { p.kcp.SetLoginReply(Refuse(1, "busy")); },
       [&](Peers& p) {
         events(p, 1);
         advance(1000);
         ASSERT_TRUE(WaitOnThread(worker(), [&] { return manager_->reconnect_interval() == 4; }));
         refuse_again(p);
       },
       {login_failed(1)},
       ZekManager::kImReconnecting,
       4,
       2000,
       2,
       true},
      {"connect time-out, then a late refusal",
       "kcp",
       [&](Peers& p) { p.kcp.SetLoginReply(silent); },
       [&](Peers& p) {
         ASSERT_TRUE(WaitUntil([&] { return p.kcp.logins().size() == 1; }));
         advance(ZekManager::kConnectTimeoutMs);
         events(p, 1);
         refuse_again(p);
       },
       {login_failed(4)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1,
       true},
      {"keep-alive loss, then the server closes over WebSocket",
       "websocket",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ws_silence(p);
         events(p, 2);
         ws_close_and_wait(p, WsTestServer::CloseHow::kFin);
       },
       {kWsConnected, lost(5)},
       ZekManager::kImReconnecting,
       2,
       1000,
       1},
      {"a reply after 8002",
       "kcp",
       nullptr,
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.kcp.SendClose(8002, "kicked"));
         events(p, 2);
         refuse_again(p);
       },
       {kConnected, {kEventServerClosed, 8002, "kicked"}},
       ZekManager::kImConnected,
       1,
       forever,
       1,
       true},
      // A login of the refused connection keeps its session: the pending reconnect goes.
      {"a login after a refusal over WebSocket",
       "websocket",
       [&](Peers& p) { p.ws.SetLoginReply(true, kWsBusy); },
       [&](Peers& p) {
         events(p, 1);
         ASSERT_TRUE(p.ws.SendText(zek_test::kWsLoginOk));
       },
       {login_failed(1), {kEventReconnected, 0, ""}},
       ZekManager::kImConnected,
       1,
       WebSocketConnection::kWsKeepAliveCheckMs,
       1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    manager_.reset();
    KcpTestServer kcp;
    ASSERT_TRUE(kcp.Start()) << kcp.last_error();
    WsTestServer ws;
    ASSERT_TRUE(ws.Start());
    RecordingObserver observer;
    Peers peers{kcp, ws, observer};
    if (row.before)
      row.before(peers);
    manager_.reset(new ZekManager(&observer, "127.0.0.1"));
    Json::Value params = ImParamObject(kcp.port(), ws.port());
    params["connection_type"] = row.type;
    manager_->ConnectImServer(JsonText(params));
    if (row.after)
      row.after(peers);

    ASSERT_TRUE(observer.WaitForEvents(row.events.size()));
    const auto settled = [&] {
      return observer.event_count() == row.events.size() &&
             manager_->reconnect_interval() == row.interval;
    };
    EXPECT_TRUE(WaitOnThread(worker(), settled));
    if (row.watch) {
      EXPECT_FALSE(WaitOnThread(
          worker(), [&] { return !settled(); }, kQuiet));
    }
    Drain();
    EXPECT_EQ(row.events, observer.events());
    EXPECT_EQ(row.status, manager_->conn_status());
    EXPECT_EQ(row.interval, ReconnectInterval());
    if (row.next_delay_ms != kAnyDelay) {
      EXPECT_EQ(row.next_delay_ms, PendingDelayMs());
    }
    EXPECT_EQ(row.logins, kcp.logins().size() + ws.login_count());
    manager_.reset();
  }
}

TEST_F(ZekManagerBackoffTest, ReconnectAfterOneSecondLogsInAndResetsTheCounter) {
  StartManager();
  server_.QueueLoginReply(Refuse(1234, "busy"));
  StdoutCapture capture;
  manager_->ConnectImServer(Params());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ((CoreEvent{kEventReconnecting, 1234, kLoginFailed}), observer_.events()[0]);
  EXPECT_EQ(2, ReconnectInterval());

  // Nothing is sent while reconnecting.
  manager_->InputUserMessage("dropped", 7, kMsgText);
  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(1000));
  ASSERT_TRUE(observer_.WaitForEvents(2));
  const std::string output = capture.Take();
  EXPECT_EQ(kReconnected, observer_.events()[1]);
  EXPECT_EQ(ZekManager::kImConnected, manager_->conn_status());
  EXPECT_EQ(1, ReconnectInterval());
  EXPECT_EQ(std::vector<std::string>{"start reconnecting, connection type : kcp ...\n"},
            ReconnectLines(output));

  // Logged in again, messages flow (sent at once, no poll needed); the dropped one
  // never went out.
  manager_->InputUserMessage("again", 5, kMsgText);
  ASSERT_TRUE(WaitUntil([&] { return !server_.texts().empty(); }));
  EXPECT_EQ(std::vector<std::string>{"again"}, server_.texts());
}

TEST_F(ZekManagerBackoffTest, ReconnectRefusedWith5003Stops) {
  StartManager();
  server_.QueueLoginReply(Refuse(1, "busy"));
  server_.QueueLoginReply(Refuse(5003, "frozen"));
  manager_->ConnectImServer(Params());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(1000));
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ((CoreEvent{kEventReconnectStopped, 5003, "frozen"}), observer_.events()[1]);
  EXPECT_EQ(ZekManager::kImIdle, manager_->conn_status());
  EXPECT_EQ(rtc::kForeverMs, PendingDelayMs());
  // The refused connection stays until the app disconnects.
  manager_->ConnectImServer(Params());
  manager_->DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ(kDisconnected, observer_.events()[2]);
  EXPECT_EQ(2u, LoginCount());
}

// Failed attempts wait 1, 2, 4, 8, 16 and 32 s; the attempt after the 32 s wait uses the
// other transport and starts the waits over.
TEST_F(ZekManagerBackoffTest, BackoffDoublesThenSwitchesTransport) {
  StartManager();
  server_.SetLoginReply(Refuse(1, "busy"));
  ws_server_.SetLoginReply(true, kWsBusy);
  StdoutCapture capture;
  manager_->ConnectImServer(Params());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  for (int wait : {1000, 2000, 4000, 8000, 16000}) {
    SCOPED_TRACE(wait);
    ASSERT_NO_FATAL_FAILURE(PassReconnectWait(wait));
  }
  EXPECT_EQ(6u, server_.logins().size());
  EXPECT_EQ(0u, ws_server_.login_count());

  // The attempt after 32 s goes over WebSocket and starts the waits over.
  ASSERT_TRUE(WaitOnThread(worker(), [&] { return worker()->GetDelay() == 32000; }));
  EXPECT_EQ(60, ReconnectInterval());
  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(32000));
  EXPECT_EQ(1u, ws_server_.login_count());
  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(1000));
  EXPECT_EQ(2u, ws_server_.login_count());
  ASSERT_TRUE(WaitOnThread(worker(), [&] { return worker()->GetDelay() == 2000; }));
  EXPECT_EQ(6u, server_.logins().size());
  const std::string output = capture.Take();

  const std::string kcp = "start reconnecting, connection type : kcp ...\n";
  const std::string ws = "start reconnecting, connection type : websocket ...\n";
  EXPECT_EQ((std::vector<std::string>{kcp, kcp, kcp, kcp, kcp, ws, ws}), ReconnectLines(output));
  EXPECT_EQ(1u, observer_.event_count());
  EXPECT_EQ(ZekManager::kImReconnecting, manager_->conn_status());
}

// An attempt that cannot even start sets the counter to 60: the long wait follows, and
// then the other transport.
TEST_F(ZekManagerBackoffTest, AttemptFailingAtOnceWaitsSixtySecondsThenSwitches) {
  StartManager();
  ws_server_.SetLoginReply(true, kWsBusy);
  // A token too long for the KCP login datagram; a WebSocket frame carries it.
  Json::Value root = ImParamObject(server_.port(), ws_server_.port());
  root["connection_type"] = "websocket";
  root["token"] = std::string(2000, 't');
  StdoutCapture capture;
  manager_->ConnectImServer(JsonText(root));
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ((CoreEvent{kEventReconnecting, 1, kLoginFailed}), observer_.events()[0]);
  for (int wait : {1000, 2000, 4000, 8000, 16000}) {
    SCOPED_TRACE(wait);
    ASSERT_NO_FATAL_FAILURE(PassReconnectWait(wait));
  }
  EXPECT_EQ(6u, ws_server_.login_count());

  ASSERT_TRUE(WaitOnThread(worker(), [&] { return worker()->GetDelay() == 32000; }));
  clock_.AdvanceTimeMillis(32000);
  Drain();
  EXPECT_EQ(60000, PendingDelayMs());
  EXPECT_EQ(60, ReconnectInterval());
  EXPECT_EQ("kcp", [&] {
    std::string type;
    RunOn(worker(), [&] { type = manager_->conn_type(); });
    return type;
  }());

  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(60000));
  EXPECT_EQ(7u, ws_server_.login_count());
  ASSERT_TRUE(WaitOnThread(worker(), [&] { return worker()->GetDelay() == 1000; }));
  EXPECT_EQ(2, ReconnectInterval());
  EXPECT_TRUE(server_.logins().empty());
  const std::string output = capture.Take();

  const std::string kcp = "start reconnecting, connection type : kcp ...\n";
  const std::string ws = "start reconnecting, connection type : websocket ...\n";
  EXPECT_EQ((std::vector<std::string>{ws, ws, ws, ws, ws, kcp, ws}), ReconnectLines(output));
  EXPECT_EQ(1u, observer_.event_count());
}

// The app's disconnect cancels the pending reconnect.
TEST_F(ZekManagerBackoffTest, DisconnectCancelsThePendingReconnect) {
  StartManager();
  server_.SetLoginReply(Refuse(1, "busy"));
  manager_->ConnectImServer(Params());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(1000, PendingDelayMs());
  manager_->DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  EXPECT_EQ(rtc::kForeverMs, PendingDelayMs());
  clock_.AdvanceTimeMillis(5000);
  Drain();
  EXPECT_FALSE(WaitUntil([&] { return LoginCount() > 1; }, kQuiet));
  // The counter is where the last connect left it.
  EXPECT_EQ(2, ReconnectInterval());
}

// The back-off goes on across the app's connects: each reconnect scheduled doubles the
// wait, also one the app cancels, and a first login does not start the waits over. So
// after five sessions that each began to reconnect and were ended by the app, a new
// WebSocket session's first loss waits 32 s, and the attempt after it goes over KCP.
TEST_F(ZekManagerBackoffTest, BackoffGoesOnAcrossTheAppsConnects) {
  StartManager();
  server_.SetLoginReply(Refuse(1, "busy"));
  size_t events = 0;
  for (int wait : {1000, 2000, 4000, 8000, 16000}) {
    SCOPED_TRACE(wait);
    manager_->ConnectImServer(Params());
    ASSERT_TRUE(observer_.WaitForEvents(events + 1));
    EXPECT_EQ((CoreEvent{kEventReconnecting, 1, kLoginFailed}), observer_.events()[events]);
    EXPECT_EQ(wait, PendingDelayMs());
    manager_->DisConnectImServer();
    ASSERT_TRUE(observer_.WaitForEvents(events + 2));
    EXPECT_EQ(kDisconnected, observer_.events()[events + 1]);
    events += 2;
  }
  EXPECT_EQ(32, ReconnectInterval());

  manager_->ConnectImServer(Params("websocket"));
  ASSERT_TRUE(observer_.WaitForEvents(events + 1));
  EXPECT_EQ(kWsConnected, observer_.events()[events]);
  EXPECT_EQ(32, ReconnectInterval());
  StdoutCapture capture;
  ASSERT_TRUE(ws_server_.CloseConnection());
  ASSERT_TRUE(observer_.WaitForEvents(events + 2));
  EXPECT_EQ((CoreEvent{kEventReconnecting, 3, "start reconnect"}), observer_.events()[events + 1]);
  ASSERT_NO_FATAL_FAILURE(PassReconnectWait(32000));
  EXPECT_EQ(6u, server_.logins().size());
  EXPECT_EQ((std::vector<std::string>{"start reconnecting, connection type : kcp ...\n"}),
            ReconnectLines(capture.Take()));
}

// A reconnect that falls due as the core shuts down finds the connection gone and makes
// no new one.
TEST_F(ZekManagerBackoffTest, ReconnectDueAtCleanupMakesNoConnection) {
  StartManager();
  server_.SetLoginReply(Refuse(1, "busy"));
  manager_->ConnectImServer(Params());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(1000, PendingDelayMs());
  clock_.AdvanceTimeMillis(1000);
  manager_->Cleanup();
  observer_.Close();
  EXPECT_FALSE(WaitUntil([&] { return LoginCount() > 1; }, kQuiet));
  EXPECT_EQ(0, observer_.calls_after_close());
}

}  // namespace
}  // namespace im
}  // namespace tavix
