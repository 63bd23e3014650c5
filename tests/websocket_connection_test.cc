// ctest-labels: threading slow
// The WebSocket transport on a worker thread against the loopback WebSocket test
// server, plain and over TLS. Timers run on the fake clock where a test would
// otherwise wait for tens of seconds; one test waits for the real login time-out.

#include "src/websocket_connection.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "tests/support/fake_clock.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

namespace tavix {
namespace im {
namespace {

using zek_test::RunOn;
using zek_test::WaitUntil;
using zek_test::WsHandshakeOptions;
using zek_test::WsHandshakeReply;
using zek_test::WsSendOptions;
using zek_test::WsTestServer;
using zek_test::WsTestServerOptions;

// Ports that nothing listens on stand in for the transport a case does not use.
constexpr int kUnusedPort = 1;

std::string Params(const std::string& ip, int ws_port, int wss_port, const char* tls) {
  std::string text = R"({"server_ip":")" + ip + R"(","server_port_kcp":9,"server_port_ws":)" +
                     std::to_string(ws_port) + R"(,"server_port_wss":)" + std::to_string(wss_port) +
                     R"(,"account_id":"acc","app_id":"app","device_type":"ios",)"
                     R"("token":"tok","deviceid":"dev")";
  if (tls)
    text += R"(,"tls":")" + std::string(tls) + "\"";
  return text + "}";
}

struct Status {
  Connection::ConnStatus status;
  unsigned int code;
  std::string text;
};

// Records the connection's two signals on the worker thread for the test thread.
class Reporter : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  void Attach(Connection* connection) {
    connection->SignalStatusChange.connect(this, &Reporter::OnStatus);
    connection->SignalRecvMessage.connect(this, &Reporter::OnMessage);
  }
  std::vector<Status> statuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  void OnStatus(Connection*, Connection::ConnStatus status, unsigned int code, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.push_back({status, code, text});
  }
  void OnMessage(Connection*, std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(text);
  }

  mutable std::mutex mutex_;
  std::vector<Status> statuses_;
  std::vector<std::string> messages_;
};

// The connection with a view of its insides and a count of its keep-alive checks.
class ProbeConnection : public WebSocketConnection {
 public:
  void OnMessage(rtc::Message* msg) override {
    if (msg->id_ == kKeepAliveId)
      ++keep_alive_checks;
    WebSocketConnection::OnMessage(msg);
  }
  WebsocketClient* client() const { return ws_client_.get(); }
  size_t buffered() const { return recv_buffer_.size(); }
  size_t buffer_capacity() const { return recv_buffer_.capacity(); }

  std::atomic<int> keep_alive_checks{0};
};

class WebSocketConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    worker_ = rtc::Thread::CreateWithSocketServer();
    ASSERT_TRUE(worker_->Start());
  }

  void TearDown() override {
    End();
    worker_->Stop();
    clock_.reset();
  }

  // Ends the connection and starts the next case with a clean record.
  void Restart() {
    End();
    reporter_ = std::make_unique<Reporter>();
  }

  // The fake clock, installed before anything arms a timer.
  void UseFakeClock() {
    clock_ = std::make_unique<zek_test::ScopedFakeClock>(int64_t{1000000} *
                                                         rtc::kNumNanosecsPerMillisec);
  }

  // Moves the fake clock and lets the worker thread run what came due: the first
  // send wakes it, the second returns only after the cycle that ran the due
  // messages.
  // The worker first finishes what it is at: a report is raised before the timer that
  // follows it is armed, and arming reads the clock.
  void Advance(int64_t ms) {
    Settle();
    clock_->AdvanceTimeMillis(ms);
    Settle();
  }

  void Settle() {
    RunOn(worker_.get(), [] {});
    RunOn(worker_.get(), [] {});
  }

  WsTestServer* StartServer(WsTestServerOptions options = WsTestServerOptions()) {
    servers_.push_back(std::make_unique<WsTestServer>(options));
    EXPECT_TRUE(servers_.back()->Start());
    return servers_.back().get();
  }

  std::string PlainParams(const WsTestServer& server) {
    return Params("127.0.0.1", server.port(), kUnusedPort, nullptr);
  }

  // "/wss" for a TLS server, "/ws" for a plain one.
  std::string ParamsFor(const WsTestServer& server) {
    return server.tls() ? Params("127.0.0.1", kUnusedPort, server.port(), "enable")
                        : PlainParams(server);
  }

  bool Connect(const std::string& params, unsigned int timeout_ms = 10000) {
    bool ok = false;
    RunOn(worker_.get(), [&] {
      conn_ = new ProbeConnection();
      EXPECT_TRUE(conn_->Init(params));
      reporter_->Attach(conn_);
      ok = conn_->ConnectServer(timeout_ms, 1400);
    });
    return ok;
  }

  // DisConnectServer and deletion, as the manager ends a connection.
  void End() {
    RunOn(worker_.get(), [&] {
      if (!conn_)
        return;
      conn_->DisConnectServer();
      delete conn_;
      conn_ = nullptr;
    });
  }

  bool WaitForStatuses(size_t count,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    return WaitUntil([&] { return reporter_->statuses().size() >= count; }, limit);
  }

  // A server (plain unless `options` ask for TLS) and a connection logged in to it.
  WsTestServer* LogIn(WsTestServerOptions options = WsTestServerOptions()) {
    WsTestServer* server = StartServer(options);
    EXPECT_TRUE(Connect(ParamsFor(*server)));
    EXPECT_TRUE(WaitForStatuses(1));
    const std::vector<Status> s = reporter_->statuses();
    EXPECT_EQ(s.size(), 1u);
    if (!s.empty()) {
      EXPECT_EQ(s[0].status, Connection::kConnLoggedIn);
    }
    return server;
  }

  bool IsConnected() {
    bool connected = false;
    RunOn(worker_.get(), [&] { connected = conn_->IsConnected(); });
    return connected;
  }

  std::vector<std::unique_ptr<WsTestServer>> servers_;
  std::unique_ptr<zek_test::ScopedFakeClock> clock_;
  std::unique_ptr<rtc::Thread> worker_;
  std::unique_ptr<Reporter> reporter_ = std::make_unique<Reporter>();
  ProbeConnection* conn_ = nullptr;  // created, used and deleted on the worker thread
};

TEST_F(WebSocketConnectionTest, TlsSettingChoosesPathAndPort) {
  WsTestServer* plain = StartServer();
  WsTestServerOptions tls_options;
  tls_options.tls = true;
  WsTestServer* secure = StartServer(tls_options);
  struct Case {
    const char* tls;  // null: no "tls" member
    bool secure;
  };
  const Case cases[] = {{"enable", true}, {"Enable", false}, {"true", false},
                        {"", false},      {nullptr, false},  {"disable", false}};
  size_t plain_upgrades = 0, secure_upgrades = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tls ? c.tls : "(absent)");
    const size_t before = reporter_->statuses().size();
    ASSERT_TRUE(Connect(Params("127.0.0.1", plain->port(), secure->port(), c.tls)));
    ASSERT_TRUE(WaitForStatuses(before + 1));
    EXPECT_EQ(reporter_->statuses().back().status, Connection::kConnLoggedIn);
    WsTestServer* used = c.secure ? secure : plain;
    (c.secure ? secure_upgrades : plain_upgrades)++;
    EXPECT_EQ(plain->upgrade_count(), plain_upgrades);
    EXPECT_EQ(secure->upgrade_count(), secure_upgrades);
    EXPECT_EQ(used->upgrade_requests().back().path, c.secure ? "/wss" : "/ws");
    End();
  }
  EXPECT_EQ(secure->tls_handshakes(), 1u);
}

// A second ConnectServer on the same connection starts over. Over TLS the new client's
// adapter must keep a live certificate verifier: the test server's chain is trusted by
// nothing else, so the second handshake calls it.
TEST_F(WebSocketConnectionTest, ConnectingAgainOverTlsLogsInAgain) {
  WsTestServerOptions options;
  options.tls = true;
  WsTestServer* server = StartServer(options);
  ASSERT_TRUE(Connect(Params("127.0.0.1", kUnusedPort, server->port(), "enable")));
  ASSERT_TRUE(WaitForStatuses(1));
  EXPECT_EQ(reporter_->statuses().back().status, Connection::kConnLoggedIn);

  bool ok = false;
  RunOn(worker_.get(), [&] { ok = conn_->ConnectServer(10000, 1400); });
  ASSERT_TRUE(ok);
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ(reporter_->statuses().back().status, Connection::kConnLoggedIn);
  EXPECT_EQ(server->tls_handshakes(), 2u);
  EXPECT_EQ(server->login_count(), 2u);
  EXPECT_TRUE(IsConnected());
}

TEST_F(WebSocketConnectionTest, UpgradeRequestNamesTheServerIp) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "/wss" : "/ws");
    WsTestServerOptions options;
    options.tls = tls;
    WsTestServer* server = StartServer(options);
    const std::string params =
        tls ? Params("127.0.0.1", kUnusedPort, server->port(), "enable") : PlainParams(*server);
    ASSERT_TRUE(Connect(params));
    ASSERT_TRUE(WaitUntil([&] { return server->upgrade_count() == 1; }));
    const zek_test::WsUpgradeRequest request = server->upgrade_requests()[0];
    EXPECT_EQ(request.request_line, tls ? "GET /wss HTTP/1.1" : "GET /ws HTTP/1.1");
    EXPECT_EQ(request.Header("Host"), "127.0.0.1");
    EXPECT_EQ(request.Header("Origin"), "http://127.0.0.1");
    EXPECT_EQ(request.Header("Sec-WebSocket-Version"), "13");
    EXPECT_EQ(request.Header("Sec-WebSocket-Key").size(), 24u);
    End();
  }
}

TEST_F(WebSocketConnectionTest, LogsInWithTheJsonObjectAndAFreshSid) {
  WsTestServer* server = StartServer();
  std::vector<std::string> sids;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const size_t before = reporter_->statuses().size();
    ASSERT_TRUE(Connect(PlainParams(*server)));
    ASSERT_TRUE(WaitForStatuses(before + 1));
    ASSERT_EQ(server->login_count(), static_cast<size_t>(attempt + 1));
    const std::string login = server->logins().back();
    const std::string sid_field = "   \"sid\" : \"";
    const size_t at = login.find(sid_field);
    ASSERT_NE(at, std::string::npos) << login;
    const std::string sid = login.substr(at + sid_field.size(), 36);
    sids.push_back(sid);
    // Members in key order, one a line, three blanks in.
    EXPECT_EQ(login,
              "{\n"
              "   \"accid\" : \"acc\",\n"
              "   \"appid\" : \"app\",\n"
              "   \"device\" : \"ios\",\n"
              "   \"deviceid\" : \"dev\",\n"
              "   \"sid\" : \"" +
                  sid +
                  "\",\n"
                  "   \"token\" : \"tok\"\n"
                  "}");
    for (size_t i = 0; i < sid.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(sid[i], '-') << sid;
      } else {
        EXPECT_TRUE(isxdigit(static_cast<unsigned char>(sid[i]))) << sid;
      }
    }
    // The login is the first frame: one masked text frame.
    const std::vector<zek_test::WsFrame> frames = server->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].opcode, zek_test::kWsOpText);
    EXPECT_TRUE(frames[0].fin);
    EXPECT_TRUE(frames[0].masked);
    End();
  }
  EXPECT_NE(sids[0], sids[1]);
}

TEST_F(WebSocketConnectionTest, ReadsTheLoginReply) {
  struct Case {
    const char* name;
    std::string reply;
    Connection::ConnStatus status;
    unsigned int code;
    std::string text;
    bool connected;
  };
  const std::string denied = R"({"code":5003,"msg":"denied"})";
  const std::string format = "login failed, response format error";
  const Case cases[] = {
      {"code 0", R"({"code":0,"msg":"ok"})", Connection::kConnLoggedIn, 0, "", true},
      {"code 5003", denied, Connection::kConnRefused, 5003, denied, false},
      {"negative code", R"({"code":-7})", Connection::kConnRefused, static_cast<unsigned>(-7),
       R"({"code":-7})", false},
      {"no code", R"({"msg":"x"})", Connection::kConnFailed, 6, format, false},
      {"code null", R"({"code":null})", Connection::kConnFailed, 6, format, false},
      {"array", "[1,2]", Connection::kConnFailed, 6, format, false},
      {"code a string", R"({"code":"abc"})", Connection::kConnFailed, 6, format, false},
      {"code an object", R"({"code":{"a":0}})", Connection::kConnFailed, 6, format, false},
      {"code out of range", R"({"code":4294967296})", Connection::kConnFailed, 6, format, false},
      {"code a boolean", R"({"code":false})", Connection::kConnFailed, 6, format, false},
      {"a number", "0", Connection::kConnFailed, 6, format, false},
  };
  WsTestServer* server = StartServer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server->SetLoginReply(true, c.reply);
    const size_t before = reporter_->statuses().size();
    ASSERT_TRUE(Connect(PlainParams(*server)));
    ASSERT_TRUE(WaitForStatuses(before + 1));
    Settle();
    const std::vector<Status> s = reporter_->statuses();
    ASSERT_EQ(s.size(), before + 1);
    EXPECT_EQ(s.back().status, c.status);
    EXPECT_EQ(s.back().code, c.code);
    EXPECT_EQ(s.back().text, c.text);
    EXPECT_EQ(IsConnected(), c.connected);
    End();
  }
}

TEST_F(WebSocketConnectionTest, IgnoresRepliesThatAreNotJson) {
  // Nesting past the reader's limit makes the reader throw; that is no JSON either.
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  for (const std::string& junk : {std::string("this is not json"), deep, std::string()}) {
    WsTestServerOptions options;
    options.send_login_reply = false;
    WsTestServer* server = StartServer(options);
    ASSERT_TRUE(Connect(PlainParams(*server)));
    ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
    ASSERT_TRUE(server->SendText(junk));
    ASSERT_TRUE(server->SendText(R"({"code":0})"));
    ASSERT_TRUE(WaitForStatuses(1));
    Settle();
    ASSERT_EQ(reporter_->statuses().size(), 1u);
    EXPECT_EQ(reporter_->statuses()[0].status, Connection::kConnLoggedIn);
    Restart();
  }
}

TEST_F(WebSocketConnectionTest, NoLoginReplyTimesOutAfterFiveSeconds) {
  WsTestServerOptions options;
  options.login_reply = "this is not json";
  WsTestServer* server = StartServer(options);
  ASSERT_TRUE(Connect(PlainParams(*server)));
  ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForStatuses(1, std::chrono::milliseconds(8000)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4800));
  const Status s = reporter_->statuses()[0];
  EXPECT_EQ(s.status, Connection::kConnFailed);
  EXPECT_EQ(s.code, 4u);
  EXPECT_EQ(s.text, "login server timeout");
  // The connection stopped itself: the client and its socket are gone.
  EXPECT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
  RunOn(worker_.get(), [&] { EXPECT_EQ(conn_->client(), nullptr); });
}

TEST_F(WebSocketConnectionTest, ConnectTimeOutEndsTheAttempt) {
  WsTestServerOptions options;
  options.handshake.reply = WsHandshakeReply::kNone;
  WsTestServer* server = StartServer(options);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Connect(PlainParams(*server), 300));
  ASSERT_TRUE(WaitForStatuses(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  const Status s = reporter_->statuses()[0];
  EXPECT_EQ(s.status, Connection::kConnFailed);
  EXPECT_EQ(s.code, 4u);
  EXPECT_EQ(s.text, "connect server timeout");
  EXPECT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
  RunOn(worker_.get(), [&] { EXPECT_EQ(conn_->client(), nullptr); });
  Settle();
  EXPECT_EQ(reporter_->statuses().size(), 1u);
}

TEST_F(WebSocketConnectionTest, ConnectTimeOutOfTheManagerIsTenSeconds) {
  UseFakeClock();
  WsTestServerOptions options;
  options.handshake.reply = WsHandshakeReply::kNone;
  WsTestServer* server = StartServer(options);
  ASSERT_TRUE(Connect(PlainParams(*server), 10000));
  ASSERT_TRUE(WaitUntil([&] { return server->upgrade_count() == 1; }));
  Advance(9999);
  EXPECT_TRUE(reporter_->statuses().empty());
  Advance(1);
  ASSERT_TRUE(WaitForStatuses(1));
  EXPECT_EQ(reporter_->statuses()[0].text, "connect server timeout");
  // An opened connection cancels it.
  End();
  WsTestServer* answering = StartServer();
  ASSERT_TRUE(Connect(PlainParams(*answering), 10000));
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ(reporter_->statuses()[1].status, Connection::kConnLoggedIn);
  Advance(10000);
  EXPECT_EQ(reporter_->statuses().size(), 2u);
}

TEST_F(WebSocketConnectionTest, ConnectServerFailsWhenNoClientCanBeMade) {
  UseFakeClock();
  // An IPv6 address for the IPv4 socket: the connect fails at once.
  for (const char* tls : {"disable", "enable"}) {
    SCOPED_TRACE(tls);
    EXPECT_FALSE(Connect(Params("::1", 80, 443, tls)));
    RunOn(worker_.get(), [&] { EXPECT_EQ(conn_->client(), nullptr); });
    // No timer was armed.
    Advance(60000);
    EXPECT_TRUE(reporter_->statuses().empty());
    End();
  }
}

TEST_F(WebSocketConnectionTest, HandsOnJsonMessagesAfterLogin) {
  WsTestServer* server = LogIn();
  ASSERT_TRUE(server->SendText(R"({"a":1})"));
  ASSERT_TRUE(server->SendText("not json"));
  WsSendOptions masked;
  masked.mask = true;
  ASSERT_TRUE(server->SendText(R"({"b":2})", masked));
  // The manager cuts at a zero byte; the transport hands on every byte.
  const std::string with_zero = std::string(R"({"c":3})") + '\0' + "tail";
  ASSERT_TRUE(server->SendText(with_zero));
  ASSERT_TRUE(WaitUntil([&] { return reporter_->messages().size() >= 3; }));
  Settle();
  const std::vector<std::string> m = reporter_->messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], R"({"a":1})");
  EXPECT_EQ(m[1], R"({"b":2})");
  EXPECT_EQ(m[2], with_zero);
  EXPECT_EQ(reporter_->statuses().size(), 1u);
}

TEST_F(WebSocketConnectionTest, ReassemblesFragmentedMessages) {
  WsTestServer* server = LogIn();
  std::string big = R"({"payload":")";
  big += std::string(30000, 'x');
  big += R"("})";
  struct Case {
    const char* name;
    std::string text;
    WsSendOptions options;
  };
  WsSendOptions three;
  three.fragments = 3;
  WsSendOptions masked = three;
  masked.mask = true;
  WsSendOptions with_pong = three;
  with_pong.pong_between = true;
  const Case cases[] = {
      {"three frames", R"({"part":"one two three"})", three},
      {"longer than the first buffer", big, three},
      {"masked", big, masked},
      {"a pong between the fragments", R"({"part":"one two three"})", with_pong},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(server->SendText(c.text, c.options));
    ++expected;
    ASSERT_TRUE(WaitUntil([&] { return reporter_->messages().size() >= expected; }));
    EXPECT_TRUE(reporter_->messages().back() == c.text);
    RunOn(worker_.get(), [&] { EXPECT_EQ(conn_->buffered(), 0u); });
  }
  RunOn(worker_.get(), [&] {
    // Grown for the long message and kept for the next.
    EXPECT_GE(conn_->buffer_capacity(), big.size());
  });
  EXPECT_EQ(reporter_->messages().size(), expected);
}

// A message collected from fragments may reach the limit; past it the connection ends
// as the client ends on a frame too long, the grown buffer goes at once, and the
// closed client reports nothing more of its own. The fragments are near the largest a
// frame may be, which over TLS spreads each over several records.
TEST_F(WebSocketConnectionTest, FragmentedMessagesHaveASizeLimit) {
  const size_t limit = WebSocketConnection::kWsMaxMessageSize;
  // Megabytes through TLS on a loaded machine, or under a sanitizer.
  const std::chrono::milliseconds transfer(20000);
  const auto json_of_size = [](size_t size) {
    return R"({"p":")" + std::string(size - 8, 'x') + R"("})";
  };
  const std::string at_limit = json_of_size(limit);
  const std::string over_limit = json_of_size(limit + 1);
  // About 58 KiB each.
  WsSendOptions large;
  large.fragments = 18;
  struct Case {
    const char* name;
    bool log_in;
    std::function<bool(WsTestServer*)> send;
    bool delivered;
    Connection::ConnStatus status;  // of the end, when not delivered
  };
  const Case cases[] = {
      {"exactly the limit", true, [&](WsTestServer* s) { return s->SendText(at_limit, large); },
       true, Connection::kConnLoggedIn},
      {"one byte over", true, [&](WsTestServer* s) { return s->SendText(over_limit, large); },
       false, Connection::kConnLost},
      {"never finished", true,
       [&](WsTestServer* s) { return s->SendUnfinishedMessage(limit + 200000); }, false,
       Connection::kConnLost},
      {"never finished, before login", false,
       [&](WsTestServer* s) { return s->SendUnfinishedMessage(limit + 200000); }, false,
       Connection::kConnRefused},
  };
  for (bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tls ? " over TLS" : ""));
      WsTestServerOptions options;
      options.tls = tls;
      options.send_login_reply = c.log_in;
      options.echo = false;
      WsTestServer* server = StartServer(options);
      ASSERT_TRUE(Connect(tls ? Params("127.0.0.1", kUnusedPort, server->port(), "enable")
                              : PlainParams(*server)));
      const size_t reports = c.log_in ? 1 : 0;
      if (c.log_in) {
        ASSERT_TRUE(WaitForStatuses(1));
      } else {
        ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
      }
      ASSERT_TRUE(c.send(server));
      if (c.delivered) {
        ASSERT_TRUE(WaitUntil([&] { return reporter_->messages().size() == 1; }, transfer));
        EXPECT_TRUE(reporter_->messages()[0] == at_limit);
        EXPECT_TRUE(IsConnected());
        RunOn(worker_.get(), [&] {
          EXPECT_EQ(conn_->buffered(), 0u);
          EXPECT_GE(conn_->buffer_capacity(), limit);
        });
      } else {
        ASSERT_TRUE(WaitForStatuses(reports + 1, transfer));
        const Status end = reporter_->statuses().back();
        EXPECT_EQ(end.status, c.status);
        EXPECT_EQ(end.code, 3u);
        EXPECT_EQ(end.text, "context too long");
        EXPECT_FALSE(IsConnected());
        EXPECT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }, transfer));
        RunOn(worker_.get(), [&] {
          EXPECT_EQ(conn_->buffered(), 0u);
          EXPECT_EQ(conn_->buffer_capacity(), WebSocketConnection::kWsRecvBufferSize);
        });
        EXPECT_TRUE(reporter_->messages().empty());
      }
      Settle();
      EXPECT_EQ(reporter_->statuses().size(), reports + (c.delivered ? 0 : 1));
      Restart();
    }
  }
}

TEST_F(WebSocketConnectionTest, PingsKeepTheConnectionAliveAndSilenceLosesItOnce) {
  UseFakeClock();
  WsTestServer* server = LogIn();
  // A ping every 30 s for 150 s: the checks every 10 s find it alive.
  int checks = 0;
  for (int second = 10; second <= 150; second += 10) {
    Advance(10000);
    ++checks;
    ASSERT_TRUE(WaitUntil([&] { return conn_->keep_alive_checks.load() == checks; }));
    if (second % 30 == 0) {
      const size_t pongs = server->pongs_received();
      ASSERT_TRUE(server->SendPing());
      ASSERT_TRUE(WaitUntil([&] { return server->pongs_received() == pongs + 1; }));
      // The pong goes out before the connection hears of the ping.
      Settle();
    }
  }
  EXPECT_EQ(reporter_->statuses().size(), 1u);
  // Silence from 150 s: the checks at 160 to 190 s still pass (40 s is allowed),
  // the one at 200 s reports the loss.
  for (int second = 160; second <= 190; second += 10) {
    Advance(10000);
    ++checks;
    ASSERT_TRUE(WaitUntil([&] { return conn_->keep_alive_checks.load() == checks; }));
    EXPECT_EQ(reporter_->statuses().size(), 1u) << second;
  }
  Advance(10000);
  ASSERT_TRUE(WaitForStatuses(2));
  const Status lost = reporter_->statuses()[1];
  EXPECT_EQ(lost.status, Connection::kConnLost);
  EXPECT_EQ(lost.code, 5u);
  EXPECT_EQ(lost.text, "can not recv server's response, please reconnect");
  // Once: no further check is made, and the flag stays up for the manager.
  Advance(60000);
  EXPECT_EQ(conn_->keep_alive_checks.load(), checks + 1);
  EXPECT_EQ(reporter_->statuses().size(), 2u);
  EXPECT_TRUE(IsConnected());
}

TEST_F(WebSocketConnectionTest, DataFramesAndPongsAreNoSignOfLife) {
  UseFakeClock();
  WsTestServer* server = LogIn();
  for (int i = 0; i < 5; ++i) {
    Advance(10000);
    ASSERT_TRUE(server->SendText(R"({"still":"here"})"));
    zek_test::WsFrameToSend pong;
    pong.opcode = zek_test::kWsOpPong;
    ASSERT_TRUE(server->SendFrame(pong));
    ASSERT_TRUE(
        WaitUntil([&] { return reporter_->messages().size() == static_cast<size_t>(i + 1); }));
  }
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ(reporter_->statuses()[1].code, 5u);
}

// A strict server pings with data and ends the session at a pong that does not carry
// it: every pong carries its ping's payload, masked, and the session holds.
TEST_F(WebSocketConnectionTest, PongsCarryThePingsDataAndTheSessionHolds) {
  const std::string payloads[] = {"", "x", std::string("\0\x01\xFE\xFF", 4), std::string(125, 'k')};
  constexpr size_t kPings = 20;
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "/wss" : "/ws");
    WsTestServerOptions options;
    options.tls = tls;
    options.strict_pongs = true;
    WsTestServer* server = LogIn(options);
    for (size_t i = 0; i < kPings; ++i) {
      ASSERT_TRUE(server->SendPing(payloads[i % 4])) << i;
      ASSERT_TRUE(WaitUntil([&] { return server->pongs_received() == i + 1; })) << i;
    }
    EXPECT_EQ(server->pong_mismatches(), 0u);
    std::vector<zek_test::WsFrame> pongs;
    for (const zek_test::WsFrame& frame : server->frames()) {
      if (frame.opcode == zek_test::kWsOpPong)
        pongs.push_back(frame);
    }
    ASSERT_EQ(pongs.size(), kPings);
    for (size_t i = 0; i < kPings; ++i) {
      const std::string& payload = payloads[i % 4];
      // An empty one is 0x8A 0x80 and the key.
      EXPECT_TRUE(pongs[i].fin && !pongs[i].rsv1 && pongs[i].masked) << i;
      EXPECT_EQ(pongs[i].length_code, static_cast<int>(payload.size())) << i;
      EXPECT_TRUE(pongs[i].payload == payload) << i;
    }
    Settle();
    EXPECT_EQ(reporter_->statuses().size(), 1u);
    EXPECT_TRUE(IsConnected());
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_EQ(server->peer_closes(), 0u);
    Restart();
  }
}

// The closing handshake the server begins: before the stream ends the server reads one
// close frame carrying its own status (1000 when it named none), and the connection
// reports the close as it always has.
TEST_F(WebSocketConnectionTest, AnswersTheServersCloseWithItsStatus) {
  struct Case {
    const char* name;
    std::string payload;
    uint16_t answer;
    unsigned int code;
    std::string text;
  };
  const std::string kicked = R"({"code":4001,"msg":"kicked"})";
  const Case cases[] = {
      {"8002", zek_test::WsClosePayload(1000, zek_test::kWsCloseJson), 1000, 8002,
       zek_test::kWsCloseJson},
      {"another code and status", zek_test::WsClosePayload(4000, kicked), 4000, 4001, kicked},
      {"no JSON", zek_test::WsClosePayload(1001, "bye"), 1001, 3,
       zek_test::WsClosePayload(1001, "bye")},
      {"no status", "", 1000, 3, ""},
      {"a status no endpoint may write", zek_test::WsClosePayload(1005, kicked), 1002, 4001,
       kicked},
      {"a status below 1000", zek_test::WsClosePayload(999, kicked), 1002, 4001, kicked},
  };
  for (bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(tls ? "/wss " : "/ws ") + c.name);
      WsTestServerOptions options;
      options.tls = tls;
      WsTestServer* server = LogIn(options);
      ASSERT_TRUE(server->SendClose(c.payload));
      ASSERT_TRUE(WaitForStatuses(2));
      ASSERT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
      const std::vector<zek_test::WsFrame> frames = server->frames();
      ASSERT_EQ(frames.size(), 2u);  // the login, then the answer
      EXPECT_EQ(frames[1].opcode, zek_test::kWsOpClose);
      EXPECT_TRUE(frames[1].masked);
      EXPECT_TRUE(frames[1].payload == zek_test::WsClosePayload(c.answer, ""));
      Settle();
      const std::vector<Status> s = reporter_->statuses();
      ASSERT_EQ(s.size(), 2u);
      EXPECT_EQ(s[1].status, Connection::kConnLost);
      EXPECT_EQ(s[1].code, c.code);
      EXPECT_TRUE(s[1].text == c.text) << s[1].text;
      EXPECT_FALSE(IsConnected());
      Restart();
    }
  }
}

TEST_F(WebSocketConnectionTest, ReportsHowTheClientClosed) {
  struct Case {
    const char* name;
    bool log_in;
    std::function<void(WsTestServer*)> end;
    Connection::ConnStatus status;
    unsigned int code;
    std::string text;
  };
  const std::string close_json = R"({"code":8002,"msg":"x"})";
  const Case cases[] = {
      {"close 8002 after login", true,
       [&](WsTestServer* s) { s->SendClose(zek_test::WsClosePayload(1000, close_json)); },
       Connection::kConnLost, 8002, close_json},
      {"close without JSON after login", true,
       [&](WsTestServer* s) { s->SendClose(zek_test::WsClosePayload(1000, "bye")); },
       Connection::kConnLost, 3, zek_test::WsClosePayload(1000, "bye")},
      {"close 8002 before login", false,
       [&](WsTestServer* s) { s->SendClose(zek_test::WsClosePayload(1000, close_json)); },
       Connection::kConnRefused, 8002, close_json},
      {"end of stream after login", true,
       [&](WsTestServer* s) { s->CloseConnection(WsTestServer::CloseHow::kFin); },
       Connection::kConnLost, 3, "socket error:code = 0"},
      {"reset after login", true,
       [&](WsTestServer* s) { s->CloseConnection(WsTestServer::CloseHow::kReset); },
       Connection::kConnLost, 3, "socket error:code = " + std::to_string(ECONNRESET)},
      {"reset before login", false,
       [&](WsTestServer* s) { s->CloseConnection(WsTestServer::CloseHow::kReset); },
       Connection::kConnRefused, 3, "socket error:code = " + std::to_string(ECONNRESET)},
      {"64-bit frame length after login", true,
       [&](WsTestServer* s) {
         zek_test::WsFrameToSend spec;
         spec.payload = "{}";
         spec.length_form = zek_test::WsLengthForm::k64;
         s->SendFrame(spec);
       },
       Connection::kConnLost, 3, "context too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WsTestServerOptions options;
    options.send_login_reply = c.log_in;
    WsTestServer* server = StartServer(options);
    ASSERT_TRUE(Connect(PlainParams(*server)));
    const size_t reports = c.log_in ? 1 : 0;
    if (c.log_in) {
      ASSERT_TRUE(WaitForStatuses(1));
    } else {
      ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
    }
    c.end(server);
    ASSERT_TRUE(WaitForStatuses(reports + 1));
    Settle();
    const std::vector<Status> s = reporter_->statuses();
    ASSERT_EQ(s.size(), reports + 1);
    EXPECT_EQ(s.back().status, c.status);
    EXPECT_EQ(s.back().code, c.code);
    EXPECT_TRUE(s.back().text == c.text) << s.back().text;
    EXPECT_FALSE(IsConnected());
    Restart();
  }
}

TEST_F(WebSocketConnectionTest, RejectedHandshakeIsRefused) {
  for (WsHandshakeReply reply :
       {WsHandshakeReply::kStatus200, WsHandshakeReply::kHttp10,
        WsHandshakeReply::kLowerCaseConnection, WsHandshakeReply::kWrongAccept}) {
    SCOPED_TRACE(static_cast<int>(reply));
    WsTestServerOptions options;
    options.handshake.reply = reply;
    WsTestServer* server = StartServer(options);
    ASSERT_TRUE(Connect(PlainParams(*server)));
    ASSERT_TRUE(WaitForStatuses(1));
    const Status s = reporter_->statuses()[0];
    EXPECT_EQ(s.status, Connection::kConnRefused);
    EXPECT_EQ(s.code, 3u);
    EXPECT_EQ(s.text, "handshake error");
    EXPECT_EQ(server->login_count(), 0u);
    Restart();
  }
}

TEST_F(WebSocketConnectionTest, SendDataFromManyThreadsKeepsEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 150;
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "/wss" : "/ws");
    WsTestServerOptions options;
    options.tls = tls;
    options.echo = false;
    WsTestServer* server = StartServer(options);
    const std::string params =
        tls ? Params("127.0.0.1", kUnusedPort, server->port(), "enable") : PlainParams(*server);
    ASSERT_TRUE(Connect(params));
    ASSERT_TRUE(WaitForStatuses(1));
    ASSERT_EQ(reporter_->statuses()[0].status, Connection::kConnLoggedIn);

    Connection* connection = conn_;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([connection, t] {
        for (int i = 0; i < kPerThread; ++i) {
          const std::string text =
              R"({"t":)" + std::to_string(t) + R"(,"i":)" + std::to_string(i) + "}";
          EXPECT_EQ(connection->SendData(text.c_str(), static_cast<int>(text.size()),
                                         ZEkMsgType::kMsgText),
                    0);
        }
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    ASSERT_TRUE(WaitUntil([&] { return server->text_count() == kThreads * kPerThread; }));
    std::map<int, int> next;
    for (const std::string& text : server->texts()) {
      int t = -1, i = -1;
      ASSERT_EQ(sscanf(text.c_str(), R"({"t":%d,"i":%d})", &t, &i), 2) << text;
      EXPECT_EQ(i, next[t]) << "thread " << t;
      next[t] = i + 1;
    }
    for (int t = 0; t < kThreads; ++t)
      EXPECT_EQ(next[t], kPerThread);
    Restart();
  }
}

TEST_F(WebSocketConnectionTest, SendDataOnlyWhileLoggedIn) {
  WsTestServerOptions options;
  options.send_login_reply = false;
  options.echo = false;
  WsTestServer* server = StartServer(options);
  ASSERT_TRUE(Connect(PlainParams(*server)));
  ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
  // Before login: nothing goes out.
  EXPECT_EQ(conn_->SendData("early", 5, ZEkMsgType::kMsgText), 0);
  Settle();
  ASSERT_TRUE(server->SendText(R"({"code":0})"));
  ASSERT_TRUE(WaitForStatuses(1));
  // The text ends at its first zero byte, whatever the length says.
  EXPECT_EQ(conn_->SendData("ab\0cd", 5, ZEkMsgType::kMsgText), 0);
  EXPECT_EQ(conn_->SendData("whole", 3, ZEkMsgType::kMsgNoPayload), 0);
  ASSERT_TRUE(WaitUntil([&] { return server->text_count() == 2; }));
  EXPECT_EQ(server->texts()[0], "ab");
  EXPECT_EQ(server->texts()[1], "who");

  // Handed over while logged in, but lost before the worker thread wrote it: the
  // worker looks again and drops it.
  RunOn(worker_.get(), [&] {
    EXPECT_EQ(conn_->SendData("stale", 5, ZEkMsgType::kMsgText), 0);
    conn_->OnWsClose(conn_->client(), 8002, "{}");
  });
  Settle();
  RunOn(worker_.get(), [&] { EXPECT_TRUE(conn_->client()->SendText("marker", false)); });
  ASSERT_TRUE(WaitUntil([&] { return server->text_count() == 3; }));
  EXPECT_EQ(server->texts()[2], "marker");
  End();
}

TEST_F(WebSocketConnectionTest, SendDataAfterDisconnectSendsNothing) {
  WsTestServerOptions options;
  options.echo = false;
  WsTestServer* server = LogIn(options);
  // One handed over just before the disconnect, one after it.
  RunOn(worker_.get(), [&] {
    EXPECT_EQ(conn_->SendData("queued", 6, ZEkMsgType::kMsgText), 0);
    conn_->DisConnectServer();
  });
  EXPECT_EQ(conn_->SendData("after", 5, ZEkMsgType::kMsgText), 0);
  Settle();
  ASSERT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
  EXPECT_EQ(server->text_count(), 0u);
  EXPECT_FALSE(IsConnected());
  RunOn(worker_.get(), [&] { EXPECT_EQ(conn_->client(), nullptr); });
}

// The app's end of a session that works: the texts accepted before it, then a close
// frame 1000, then the end of the stream, without waiting for the server's answer. The
// connection's own stop (for a reconnect, at a time-out) sends none, as before.
TEST_F(WebSocketConnectionTest, AppsEndSendsACloseFrameAfterTheTexts) {
  struct Case {
    const char* name;
    bool log_in;
    bool by_app;
  };
  const Case cases[] = {
      {"the app's end, logged in", true, true},
      {"the app's end while logging in", false, true},
      {"a stop for a reconnect", true, false},
  };
  for (bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(tls ? "/wss " : "/ws ") + c.name);
      WsTestServerOptions options;
      options.tls = tls;
      // Nothing comes back: unread bytes at the close would turn it into a reset.
      options.echo = false;
      options.send_login_reply = c.log_in;
      WsTestServer* server = StartServer(options);
      ASSERT_TRUE(Connect(ParamsFor(*server)));
      std::vector<std::string> sent;
      if (c.log_in) {
        ASSERT_TRUE(WaitForStatuses(1));
        for (int i = 0; i < 5; ++i) {
          sent.push_back(R"({"n":)" + std::to_string(i) + "}");
          conn_->SendData(sent.back().c_str(), static_cast<int>(sent.back().size()),
                          ZEkMsgType::kMsgText);
        }
        // Handed over before the end, as the app's texts come before its disconnect.
        ASSERT_TRUE(zek_test::Drain(worker_.get()));
      } else {
        ASSERT_TRUE(WaitUntil([&] { return server->login_count() == 1; }));
      }
      RunOn(worker_.get(), [&] {
        if (c.by_app)
          conn_->DisConnectServerByApp();
        else
          conn_->DisConnectServer();
        EXPECT_EQ(conn_->client(), nullptr);
      });
      ASSERT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
      EXPECT_TRUE(server->texts() == sent);
      const std::vector<zek_test::WsFrame> frames = server->frames();
      ASSERT_EQ(frames.size(), 1 + sent.size() + (c.by_app ? 1 : 0));
      if (c.by_app) {
        EXPECT_EQ(frames.back().opcode, zek_test::kWsOpClose);
        EXPECT_TRUE(frames.back().masked);
        EXPECT_TRUE(frames.back().payload == zek_test::WsClosePayload(1000, ""));
      }
      // The end is no report of the connection's.
      Settle();
      EXPECT_EQ(reporter_->statuses().size(), c.log_in ? 1u : 0u);
      Restart();
    }
  }
}

// A link that failed ends as before: after the server fell silent, the app's end sends
// no close frame.
TEST_F(WebSocketConnectionTest, AppsEndAfterSilenceSendsNoCloseFrame) {
  UseFakeClock();
  WsTestServerOptions options;
  options.echo = false;
  WsTestServer* server = LogIn(options);
  for (int i = 0; i < 5 && reporter_->statuses().size() < 2; ++i)
    Advance(10000);
  ASSERT_TRUE(WaitForStatuses(2));
  ASSERT_EQ(reporter_->statuses()[1].code, 5u);
  RunOn(worker_.get(), [&] { conn_->DisConnectServerByApp(); });
  ASSERT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }));
  EXPECT_EQ(server->frame_count(), 1u);
}

// A numbered JSON text of about `size` bytes.
std::string NumberedText(int i, size_t size) {
  std::string text = R"({"i":)" + std::to_string(i) + R"(,"p":")";
  text.append(size - text.size() - 2, 'p');
  return text + "\"}";
}

// Sends texts through SendData, one at a time, until `waiting` frames wait in the client
// (the server must not be reading); returns them.
std::vector<std::string> SendUntilWaiting(WebSocketConnection* connection,
                                          rtc::Thread* worker,
                                          size_t waiting,
                                          size_t size) {
  std::vector<std::string> sent;
  size_t now = 0;
  while (now < waiting && sent.size() < 2000) {
    sent.push_back(NumberedText(static_cast<int>(sent.size()), size));
    EXPECT_EQ(connection->SendData(sent.back().data(), static_cast<int>(sent.back().size()),
                                   ZEkMsgType::kMsgText),
              0);
    // Posted texts run in order behind what came before; RunOn would go ahead of them.
    EXPECT_TRUE(zek_test::Drain(worker));
    RunOn(worker,
          [&] { now = static_cast<ProbeConnection*>(connection)->client()->waiting_frames(); });
  }
  return sent;
}

// At the app's disconnect what waits in the client goes out at once, as far as the
// socket takes it, and the close frame after it, before the socket closes. Here the
// socket has just drained (the server read everything the kernel held while the worker
// was busy) and its send buffer is set larger than what waits, so it takes the output
// buffer, every waiting text and the close frame. Left to the kernel, the send buffer
// would grow with the connection's history, to little more than what waits: a close
// call that a busy machine could tip.
TEST_F(WebSocketConnectionTest, DisconnectWritesWhatWaits) {
  WsTestServerOptions options;
  // Nothing comes back: unread bytes at the close would turn it into a reset.
  options.echo = false;
  // A server's buffers of tens of KB, as a phone sees them, not loopback's megabytes.
  options.receive_buffer = 32 * 1024;
  options.max_segment = 1400;
  WsTestServer* server = LogIn(options);
  // The kernel doubles it for its bookkeeping; half of that room is ample for what waits
  // and for what is in flight to a server whose window is its 32 KB.
  constexpr int kSendBuffer = 256 * 1024;
  int send_buffer = 0;
  RunOn(worker_.get(), [&] {
    ASSERT_EQ(conn_->client()->SetOption(rtc::Socket::OPT_SNDBUF, kSendBuffer), 0);
    ASSERT_EQ(conn_->client()->GetOption(rtc::Socket::OPT_SNDBUF, &send_buffer), 0);
  });
  server->SetSilent(true);
  const size_t before = server->bytes_received();
  constexpr size_t kSize = 30000;
  const std::vector<std::string> sent = SendUntilWaiting(conn_, worker_.get(), 3, kSize);
  RunOn(worker_.get(), [&] {
    const size_t unsent = conn_->client()->unsent_bytes();
    ASSERT_GT(conn_->client()->waiting_frames(), 0u);
    ASSERT_LE(unsent, static_cast<size_t>(send_buffer) / 2);
    // No write event reaches the client while this runs: only the disconnect can send
    // what is left.
    server->SetSilent(false);
    const size_t written = before + sent.size() * (kSize + 8) - unsent;
    ASSERT_TRUE(
        WaitUntil([&] { return server->bytes_received() == written; }, std::chrono::seconds(20)))
        << server->bytes_received() << " of " << written << " bytes; " << sent.size() << " texts, "
        << unsent << " unsent, " << before << " before";
    conn_->DisConnectServerByApp();
  });
  ASSERT_TRUE(WaitUntil([&] { return server->peer_closes() == 1; }, std::chrono::seconds(20)))
      << server->text_count() << " of " << sent.size();
  EXPECT_TRUE(server->texts() == sent);
  const std::vector<zek_test::WsFrame> frames = server->frames();
  ASSERT_EQ(frames.size(), 1 + sent.size() + 1);
  EXPECT_EQ(frames.back().opcode, zek_test::kWsOpClose);
  EXPECT_TRUE(frames.back().payload == zek_test::WsClosePayload(1000, ""));
}

// Past the bound on waiting bytes the connection ends as on any failure of the client
// itself (code 3), and the waiting memory goes at once, before the manager deletes the
// connection.
TEST_F(WebSocketConnectionTest, PastTheWaitingBoundTheConnectionEndsAsALocalFailure) {
  WsTestServer* server = LogIn();
  server->SetSilent(true);
  const std::string text = NumberedText(0, 60000);
  // 24 MB: the bound and what the kernel's buffers hold.
  for (int i = 0; i < 400; ++i)
    conn_->SendData(text.data(), static_cast<int>(text.size()), ZEkMsgType::kMsgText);
  ASSERT_TRUE(WaitForStatuses(2, std::chrono::seconds(20)));
  const Status lost = reporter_->statuses()[1];
  EXPECT_EQ(lost.status, Connection::kConnLost);
  EXPECT_EQ(lost.code, 3u);
  EXPECT_EQ(lost.text, "send queue full");
  Settle();
  EXPECT_FALSE(IsConnected());
  RunOn(worker_.get(), [&] {
    ASSERT_NE(conn_->client(), nullptr);
    EXPECT_EQ(conn_->client()->waiting_bytes(), 0u);
    EXPECT_EQ(conn_->client()->waiting_frames(), 0u);
  });
  EXPECT_EQ(reporter_->statuses().size(), 2u);
}

}  // namespace
}  // namespace im
}  // namespace tavix
