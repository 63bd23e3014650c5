// ctest-labels: threading
#include "src/libzekcore.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/timeutils.h"
#include "src/kcp_connection.h"
#include "src/websocket_connection.h"
#include "src/zek_manager.h"
#include "tests/support/capabilities.h"
#include "tests/support/fake_clock.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/recording_observer.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

namespace {

using tavix::im::g_zek_manager;
using zek_test::CoreEvent;
using zek_test::ImParamObject;
using zek_test::JsonText;
using zek_test::KcpLoginReply;
using zek_test::KcpTestServer;
using zek_test::RecordingObserver;
using zek_test::WaitUntil;
using zek_test::WsTestServer;

const CoreEvent kConnected{tavix::im::kEventConnected, 0, "ok"};
const CoreEvent kDisconnected{tavix::im::kEventDisconnected, 0, ""};

class LibZekCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.last_error(); }
  void TearDown() override { UnInitialize(); }

  // The product's Initialize probes a public host. On a thread that may not open raw
  // sockets the probe gives up before any look-up, so nothing leaves the machine.
  void InitializeHere(tavix::im::ZEkCoreObserver* observer) {
    if (!zek_test::RunWithoutRawSockets([&] { Initialize(observer); }))
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  }

  std::string Params() const { return JsonText(ImParamObject(server_.port())); }

  KcpTestServer server_;
  RecordingObserver observer_;
};

TEST_F(LibZekCoreTest, EveryCallWithoutACoreDoesNothing) {
  ASSERT_EQ(nullptr, g_zek_manager);
  UnInitialize();
  ConnectImServer(Params().c_str());
  DisConnectImServer();
  SendUserMessage("hello", 5, tavix::im::kMsgText);
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  EXPECT_TRUE(server_.logins().empty());
}

TEST_F(LibZekCoreTest, SecondInitializeKeepsTheFirstObserver) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  tavix::im::ZekManager* const first = g_zek_manager;
  ASSERT_NE(nullptr, first);
  RecordingObserver second;
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&second));
  EXPECT_EQ(first, g_zek_manager);

  Json::Value quic = ImParamObject(server_.port());
  quic["connection_type"] = "quic";
  ConnectImServer(JsonText(quic).c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ((CoreEvent{tavix::im::kEventConnectFailed, 2, "not support"}), observer_.events()[0]);
  EXPECT_EQ(0u, second.event_count());

  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
}

TEST_F(LibZekCoreTest, ConnectSendReceiveDisconnect) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  // Refused quietly: no text at all.
  ConnectImServer(nullptr);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ(kConnected, observer_.events()[0]);
  EXPECT_EQ(1u, server_.logins().size());
  // The probe never got a raw socket: the default limit.
  EXPECT_EQ(550u, server_.logins()[0].packet_size);

  SendUserMessage("hello", 5, tavix::im::kMsgText);
  // Refused quietly: no data, a negative length; and, by the KCP transport (the C API
  // passes every type through), types that would carry nothing.
  SendUserMessage(nullptr, 5, tavix::im::kMsgText);
  SendUserMessage("abc", -1, tavix::im::kMsgText);
  SendUserMessage("abc", 3, 7);
  SendUserMessage("abc", 3, -1);
  SendUserMessage("", 0, tavix::im::kMsgNoPayload);
  SendUserMessage("after", 5, tavix::im::kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(2));
  EXPECT_EQ((std::vector<std::string>{"hello", "after"}), observer_.messages());
  // The engine delivers in order, so all of them are in by now.
  std::vector<int> types;
  for (const zek_test::KcpClientMessage& m : server_.messages()) {
    if (m.type != zek_test::kKcpMsgKeepAlive)
      types.push_back(m.type);
  }
  EXPECT_EQ(
      (std::vector<int>{zek_test::kKcpMsgText, zek_test::kKcpMsgNoPayload, zek_test::kKcpMsgText}),
      types);

  DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  UnInitialize();
  EXPECT_EQ(2u, observer_.event_count());
}

TEST_F(LibZekCoreTest, UnInitializeWithAnOpenConnectionReleasesIt) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  const uint16_t port = server_.logins()[0].from_port;
  ASSERT_FALSE(zek_test::UdpPortFree(port));
  ASSERT_TRUE(server_.SendText("in flight"));
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  EXPECT_TRUE(zek_test::UdpPortFree(port));
  EXPECT_EQ(std::vector<CoreEvent>{kConnected}, observer_.events());
}

// Over wss the server's certificate must name the host the app asked for, but no
// authority needs to stand behind it: a self-signed certificate is accepted.
TEST_F(LibZekCoreTest, WssChecksTheNameButAcceptsAnyChain) {
  const CoreEvent kNameMismatch{tavix::im::kEventReconnecting, 3, "login failed, start reconnect"};
  struct Case {
    const char* label;
    const char* server_ip;
    std::vector<std::string> dns_names;
    std::vector<std::string> ip_addresses;
    bool logs_in;
  };
  const Case cases[] = {
      {"address named", "127.0.0.1", {}, {"127.0.0.1"}, true},
      {"host named", "localhost", {"localhost"}, {}, true},
      {"another name", "127.0.0.1", {"other.example"}, {}, false},
      {"another address", "127.0.0.1", {}, {"127.0.0.2"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    zek_test::WsTestServerOptions options;
    options.tls = true;
    options.cert_self_signed = true;
    options.cert_common_name = c.dns_names.empty() ? "zekcore test" : c.dns_names[0];
    options.cert_dns_names = c.dns_names;
    options.cert_ip_addresses = c.ip_addresses;
    zek_test::WsTestServer wss(options);
    ASSERT_TRUE(wss.Start());
    RecordingObserver observer;
    ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer));
    if (IsSkipped())
      return;
    Json::Value params = ImParamObject(server_.port(), 1, wss.port());
    params["connection_type"] = "websocket";
    params["tls"] = "enable";
    params["server_ip"] = c.server_ip;
    ConnectImServer(JsonText(params).c_str());
    ASSERT_TRUE(observer.WaitForEvents(1));
    if (c.logs_in) {
      EXPECT_EQ((CoreEvent{tavix::im::kEventConnected, 0, ""}), observer.events()[0]);
      SendUserMessage("{\"over\":\"tls\"}", 15, tavix::im::kMsgText);
      ASSERT_TRUE(observer.WaitForMessages(1));
      EXPECT_EQ("{\"over\":\"tls\"}", observer.messages()[0]);
    } else {
      EXPECT_EQ(kNameMismatch, observer.events()[0]);
      EXPECT_EQ(0u, wss.login_count());
    }
    UnInitialize();
  }
}

// Texts accepted right before the app's disconnect are sent, not dropped with the
// connection: more of them than the engine keeps in flight, and the disconnect comes
// before any acknowledgement could.
TEST_F(LibZekCoreTest, TextsSentRightBeforeDisconnectReachTheServer) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(kConnected, observer_.events()[0]);

  std::vector<std::string> sent;
  for (int i = 0; i < 100; i++) {
    sent.push_back("line " + std::to_string(i));
    SendUserMessage(sent.back().data(), static_cast<int>(sent.back().size()), tavix::im::kMsgText);
  }
  DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  ASSERT_TRUE(zek_test::WaitUntil([&] { return server_.texts().size() >= sent.size(); }));
  EXPECT_EQ(sent, server_.texts());
}

// The C API as an app uses it, against the loopback server of one transport: KCP,
// WebSocket, or WebSocket over TLS. The process clock is the test's, so the reconnect
// waits (and the KCP polls) move only when the test moves it.
enum class Transport { kKcp, kWs, kWss };

std::string TransportName(const testing::TestParamInfo<Transport>& info) {
  switch (info.param) {
    case Transport::kKcp:
      return "Kcp";
    case Transport::kWs:
      return "Ws";
    case Transport::kWss:
      return "Wss";
  }
  return "";
}

// Long enough for a datagram on loopback, to show that none came.
constexpr std::chrono::milliseconds kQuiet(300);
constexpr char kLoginFailed[] = "login failed, start reconnect";

class LibZekCoreTransportTest : public ::testing::TestWithParam<Transport> {
 protected:
  LibZekCoreTransportTest() : clock_(int64_t{1000000} * rtc::kNumNanosecsPerMillisec) {}

  void SetUp() override {
    ASSERT_TRUE(kcp_server_.Start()) << kcp_server_.last_error();
    if (!kcp()) {
      zek_test::WsTestServerOptions options;
      options.tls = GetParam() == Transport::kWss;
      ws_server_.reset(new WsTestServer(options));
      ASSERT_TRUE(ws_server_->Start());
    }
    // No raw socket: the probe gives up before any look-up.
    if (!zek_test::RunWithoutRawSockets([&] { Initialize(&observer_); }))
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
    ASSERT_NE(nullptr, g_zek_manager);
  }
  // Before the clock goes: the worker reads it until it stops.
  void TearDown() override { UnInitialize(); }

  bool kcp() const { return GetParam() == Transport::kKcp; }

  std::string Params() const {
    const uint16_t ws_port = kcp() ? 1 : ws_server_->port();
    Json::Value root = ImParamObject(kcp_server_.port(), ws_port, ws_port);
    if (!kcp())
      root["connection_type"] = "websocket";
    if (GetParam() == Transport::kWss)
      root["tls"] = "enable";
    return JsonText(root);
  }

  rtc::Thread* worker() const { return g_zek_manager->main_thread(); }
  // Everything posted to the worker by now, and every delayed message due by now, has
  // run.
  void Drain() {
    zek_test::RunOn(worker(), [] {});
    zek_test::RunOn(worker(), [] {});
  }
  // The worker first finishes what it is at: an event is raised before the reconnect it
  // announces is scheduled, and the schedule reads the clock.
  void Advance(int64_t ms) {
    Drain();
    clock_.AdvanceTimeMillis(ms);
    Drain();
  }
  uint8_t ReconnectInterval() {
    uint8_t interval = 0;
    zek_test::RunOn(worker(), [&] { interval = g_zek_manager->reconnect_interval(); });
    return interval;
  }
  size_t Logins() const { return kcp() ? kcp_server_.logins().size() : ws_server_->login_count(); }

  // The KCP login reply carries a text; the WebSocket login reports none.
  CoreEvent Connected() const { return {tavix::im::kEventConnected, 0, kcp() ? "ok" : ""}; }
  CoreEvent Reconnected() const { return {tavix::im::kEventReconnected, 0, kcp() ? "ok" : ""}; }

  // The next login is refused with `code`; what the refusal reports as its text.
  std::string RefuseNextLogin(uint32_t code) {
    if (kcp()) {
      KcpLoginReply reply;
      reply.kind = KcpLoginReply::Kind::kRefuse;
      reply.code = code;
      reply.text = "busy";
      kcp_server_.QueueLoginReply(reply);
      return reply.text;
    }
    const std::string text = R"({"code":)" + std::to_string(code) + R"(,"msg":"busy"})";
    ws_server_->SetLoginReply(true, text);
    return text;
  }
  void AcceptLogins() {
    if (!kcp())
      ws_server_->SetLoginReply(true, zek_test::kWsLoginOk);
  }

  // The refused connection reports once more: over KCP a second reply datagram, over
  // WebSocket the end of the TCP stream after the refusal.
  void ReportAgain() {
    const size_t events = observer_.event_count();
    const uint8_t interval = ReconnectInterval();
    if (kcp()) {
      KcpLoginReply reply;
      reply.kind = KcpLoginReply::Kind::kRefuse;
      reply.code = 1234;
      reply.text = "again";
      ASSERT_TRUE(kcp_server_.SendLoginReply(reply));
      // Nothing on the wire shows when the client has read the datagram: watch for a
      // while that neither an event nor a reconnect comes of it.
      EXPECT_FALSE(zek_test::WaitOnThread(
          worker(),
          [&] {
            return observer_.event_count() != events ||
                   g_zek_manager->reconnect_interval() != interval;
          },
          kQuiet));
    } else {
      ASSERT_TRUE(ws_server_->CloseConnection(WsTestServer::CloseHow::kFin));
      // The client closes its end as it reports the close.
      ASSERT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }));
    }
    Drain();
    EXPECT_EQ(events, observer_.event_count());
    EXPECT_EQ(interval, ReconnectInterval());
  }

  // Sends a JSON text and waits for the server's echo of it.
  bool Echoes(const std::string& text) {
    const size_t before = observer_.message_count();
    SendUserMessage(text.c_str(), static_cast<int>(text.size()), tavix::im::kMsgText);
    const bool echoed = WaitUntil([&] {
      // KCP messages leave and arrive on the engine's polls, which follow the clock.
      if (kcp())
        Advance(tavix::im::KcpConnection::kPollIntervalMs);
      return observer_.message_count() > before;
    });
    return echoed && observer_.messages().back() == text;
  }

  zek_test::ScopedFakeClock clock_;
  KcpTestServer kcp_server_;
  std::unique_ptr<WsTestServer> ws_server_;
  RecordingObserver observer_;
};

// After a login refused with 5003 the refused connection may still report (a second
// reply, the server closing): the app hears nothing more, and nothing changes until the
// app disconnects.
TEST_P(LibZekCoreTransportTest, SecondReportAfterA5003RefusalRaisesNothing) {
  const CoreEvent refused{tavix::im::kEventConnectFailed, 5003, RefuseNextLogin(5003)};
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(refused, observer_.events()[0]);

  ASSERT_NO_FATAL_FAILURE(ReportAgain());
  EXPECT_EQ(std::vector<CoreEvent>{refused}, observer_.events());
  EXPECT_EQ(tavix::im::ZekManager::kImIdle, g_zek_manager->conn_status());

  // The refused connection stays until the app disconnects: a connect is ignored.
  AcceptLogins();
  ConnectImServer(Params().c_str());
  Drain();
  EXPECT_EQ(tavix::im::ZekManager::kImIdle, g_zek_manager->conn_status());
  DisConnectImServer();
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ((std::vector<CoreEvent>{refused, kDisconnected, Connected()}), observer_.events());
  EXPECT_EQ(2u, Logins());
  EXPECT_TRUE(Echoes(R"({"after":"refusal"})"));
}

// A refused connection that reports its end twice gives one reconnect attempt, and the
// session that attempt builds is still the one in use seconds later.
TEST_P(LibZekCoreTransportTest, FailureReportedTwiceGivesOneReconnectThatStaysUp) {
  RefuseNextLogin(1234);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ((CoreEvent{tavix::im::kEventReconnecting, 1234, kLoginFailed}), observer_.events()[0]);
  AcceptLogins();
  ASSERT_NO_FATAL_FAILURE(ReportAgain());

  Advance(999);
  EXPECT_EQ(1u, Logins());
  Advance(1);
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(Reconnected(), observer_.events()[1]);
  EXPECT_EQ(2u, Logins());

  // Five seconds on, well past where a second attempt would have come.
  for (int i = 0; i < 50; i++)
    Advance(100);
  EXPECT_EQ(2u, Logins());
  EXPECT_EQ(2u, observer_.event_count());
  EXPECT_EQ(tavix::im::ZekManager::kImConnected, g_zek_manager->conn_status());
  EXPECT_TRUE(Echoes(R"({"still":"up"})"));
}

// A refused connection that logs in after all keeps its session: the reconnect that its
// refusal scheduled does not come.
TEST_P(LibZekCoreTransportTest, LoginAfterARefusalCancelsThePendingReconnect) {
  RefuseNextLogin(1234);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  AcceptLogins();
  // Over KCP an accepting reply; over WebSocket a reply that the connection, refused,
  // still reads as its login's.
  if (kcp()) {
    ASSERT_TRUE(kcp_server_.SendLoginReply(KcpLoginReply()));
  } else {
    ASSERT_TRUE(ws_server_->SendText(zek_test::kWsLoginOk));
  }
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(Reconnected(), observer_.events()[1]);
  for (int i = 0; i < 50; i++)
    Advance(100);
  EXPECT_EQ(1u, Logins());
  EXPECT_EQ(2u, observer_.event_count());
  EXPECT_TRUE(Echoes(R"({"same":"session"})"));
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreTransportTest,
                         ::testing::Values(Transport::kKcp, Transport::kWs, Transport::kWss),
                         TransportName);

class LibZekCoreWebSocketTest : public LibZekCoreTransportTest {
 protected:
  void LogIn() {
    ConnectImServer(Params().c_str());
    ASSERT_TRUE(observer_.WaitForEvents(1));
    ASSERT_EQ(Connected(), observer_.events()[0]);
  }
};

// The text ends at its first zero byte or after `length` bytes, whichever comes first,
// and nothing past the app's buffer is read; every type goes out as a text.
TEST_P(LibZekCoreWebSocketTest, SendUserMessageSendsAtMostLengthBytes) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  // Exactly its `length` bytes, with no zero byte: a read past them is a read past the
  // allocation, which the address sanitizer reports.
  const std::string unterminated_text = R"({"c":2})";
  std::unique_ptr<char[]> unterminated(new char[unterminated_text.size()]);
  memcpy(unterminated.get(), unterminated_text.data(), unterminated_text.size());
  const struct {
    const char* name;
    const char* data;
    int length;
    int type;
    std::string sent;
  } cases[] = {
      {"length shorter than the text", "{\"c\":1}tail", 7, tavix::im::kMsgText, R"({"c":1})"},
      {"no zero byte within length", unterminated.get(), 7, tavix::im::kMsgText, R"({"c":2})"},
      {"zero byte before length", "{\"c\":3}\0{\"d\":4}", 14, tavix::im::kMsgText, R"({"c":3})"},
      {"no-payload type", R"({"c":5})", 7, tavix::im::kMsgNoPayload, R"({"c":5})"},
      {"another type", R"({"c":6})", 7, 7, R"({"c":6})"},
      {"a negative type", R"({"c":7})", 7, -1, R"({"c":7})"},
      {"the largest type", R"({"c":8})", 7, INT32_MAX, R"({"c":8})"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SendUserMessage(c.data, c.length, c.type);
    expected.push_back(c.sent);
  }
  ASSERT_TRUE(WaitUntil([&] { return ws_server_->text_count() >= expected.size(); }));
  EXPECT_EQ(expected, ws_server_->texts());
  // The echoes come back whole.
  ASSERT_TRUE(observer_.WaitForMessages(expected.size()));
  EXPECT_EQ(expected, observer_.messages());
}

// A server that never finishes a fragmented message: past the limit the connection
// ends as on any failure of the WebSocket itself, and the reconnect logs in anew.
TEST_P(LibZekCoreWebSocketTest, EndlessFragmentedMessageEndsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  ASSERT_TRUE(ws_server_->SendUnfinishedMessage(tavix::im::WebSocketConnection::kWsMaxMessageSize +
                                                200000));
  // Megabytes through TLS on a loaded machine, or under a sanitizer.
  ASSERT_TRUE(observer_.WaitForEvents(2, std::chrono::seconds(20)));
  EXPECT_EQ((CoreEvent{tavix::im::kEventReconnecting, 3, "start reconnect"}),
            observer_.events()[1]);
  EXPECT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }, std::chrono::seconds(20)));
  EXPECT_TRUE(observer_.messages().empty());

  Advance(1000);
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ(Reconnected(), observer_.events()[2]);
  EXPECT_EQ(2u, Logins());
  EXPECT_TRUE(Echoes(R"({"after":"the flood"})"));
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreWebSocketTest,
                         ::testing::Values(Transport::kWs, Transport::kWss),
                         TransportName);

}  // namespace
