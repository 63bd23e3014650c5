// ctest-labels: threading
#include "src/kcp_connection.h"

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/kcp/zek_ikcp.h"
#include "tests/support/fake_clock.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/kcp_wire.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"

namespace tavix {
namespace im {
namespace {

using std::chrono::milliseconds;
using zek_test::KcpLoginReply;
using zek_test::KcpSegment;
using zek_test::KcpTestServer;
using zek_test::KcpTestServerConfig;
using zek_test::RunOn;
using zek_test::WaitUntil;
using Kind = zek_test::KcpLoginReply::Kind;

// The default accepting reply of the test server.
constexpr uint16_t kTag = 0x0A0B;
constexpr uint32_t kConv = 0x01020304;
// Enough for the cases that only need the time-out to show that nothing else came.
constexpr unsigned kShortTimeoutMs = 300;

struct Status {
  Connection::ConnStatus status;
  unsigned code;
  std::string text;
  bool operator==(const Status& o) const {
    return status == o.status && code == o.code && text == o.text;
  }
};

std::ostream& operator<<(std::ostream& os, const Status& s) {
  return os << "{" << static_cast<int>(s.status) << ", " << s.code << ", \"" << s.text << "\"}";
}

const Status kLoggedIn{Connection::kConnLoggedIn, 0, "ok"};
const Status kTimedOut{Connection::kConnFailed, 4, "connect server timeout"};
const Status kFormatError{Connection::kConnFailed, 6, "login failed, response format error"};

// Collects the connection's signals, raised on the worker thread, for the test's thread.
class Recorder : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  void OnStatus(Connection*, Connection::ConnStatus status, unsigned code, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.push_back(Status{status, code, text});
  }
  void OnMessage(Connection*, std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  std::vector<Status> statuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<Status> statuses_from(size_t first) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<Status>(statuses_.begin() + std::min(first, statuses_.size()),
                               statuses_.end());
  }
  size_t status_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_.size();
  }
  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t message_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Status> statuses_;       // guarded by mutex_
  std::vector<std::string> messages_;  // guarded by mutex_
};

// The real connection, counting the polls it handles so a test can see the poll stop,
// and the wake-ups that app threads post to it.
class ObservedKcpConnection : public KcpConnection {
 public:
  void OnMessage(rtc::Message* msg) override {
    if (msg->id_ == kPollKcpId)
      polls_++;
    if (msg->id_ == kSendQueuedId)
      wakeups_++;
    KcpConnection::OnMessage(msg);
  }
  int polls() const { return polls_.load(); }
  int wakeups() const { return wakeups_.load(); }

 private:
  std::atomic<int> polls_{0};    // written on the worker, read by the test
  std::atomic<int> wakeups_{0};  // written on the worker, read by the test
};

// Holds a thread inside one message while it lives, so that work piles up behind it.
class ThreadHold : public rtc::MessageHandler {
 public:
  explicit ThreadHold(rtc::Thread* thread) {
    thread->Post(RTC_FROM_HERE, this);
    EXPECT_TRUE(WaitUntil([&] { return entered_.load(); }));
  }
  ~ThreadHold() override {
    released_ = true;
    EXPECT_TRUE(WaitUntil([&] { return left_.load(); }));
  }
  void OnMessage(rtc::Message* /*msg*/) override {
    entered_ = true;
    while (!released_)
      std::this_thread::sleep_for(milliseconds(1));
    left_ = true;
  }

 private:
  std::atomic<bool> entered_{false};
  std::atomic<bool> released_{false};
  std::atomic<bool> left_{false};
};

struct LoginFields {
  std::string server_ip = "127.0.0.1";
  std::string account_id = "a";
  std::string app_id = "b";
  std::string device_type = "c";
  std::string token = "d";
  std::string device_id = "e";
};

std::string Params(int port, const LoginFields& f = LoginFields()) {
  Json::Value root;
  root["server_ip"] = f.server_ip;
  root["server_port_kcp"] = port;
  root["server_port_ws"] = 9001;
  root["server_port_wss"] = 9002;
  root["account_id"] = f.account_id;
  root["app_id"] = f.app_id;
  root["device_type"] = f.device_type;
  root["token"] = f.token;
  root["deviceid"] = f.device_id;
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

std::string Be16(uint16_t v) {
  return std::string{static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A text field: u16 length counting the terminating zero, the text, the zero.
std::string Field(const std::string& text) {
  return Be16(static_cast<uint16_t>(text.size() + 1)) + text + std::string(1, '\0');
}

struct ParsedSegment {
  uint16_t tag;
  uint32_t conv;
  uint8_t cmd;
  std::string data;
};

uint32_t ReadBe32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
         static_cast<unsigned char>(s[at + 3]);
}

std::vector<ParsedSegment> Segments(const std::string& datagram) {
  std::vector<ParsedSegment> out;
  size_t at = 0;
  while (datagram.size() - at >= kKcpHeaderSize) {
    ParsedSegment seg;
    seg.tag = static_cast<uint16_t>(static_cast<unsigned char>(datagram[at]) << 8 |
                                    static_cast<unsigned char>(datagram[at + 1]));
    seg.conv = ReadBe32(datagram, at + 2);
    seg.cmd = static_cast<uint8_t>(datagram[at + 6]);
    const uint32_t len = ReadBe32(datagram, at + 22);
    at += kKcpHeaderSize;
    if (len > datagram.size() - at)
      break;
    seg.data = datagram.substr(at, len);
    at += len;
    out.push_back(seg);
  }
  return out;
}

// A text without zero bytes whose content tells its number apart.
std::string Text(size_t length, int number) {
  std::string text(length, 'x');
  const std::string tag = std::to_string(number) + ":";
  for (size_t i = 0; i < length; i++)
    text[i] = i < tag.size() ? tag[i] : static_cast<char>('a' + (i * 7 + number) % 26);
  return text;
}

class KcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = rtc::Thread::CreateWithSocketServer();
    ASSERT_TRUE(thread_->Start());
  }

  void TearDown() override {
    Destroy();
    thread_->Stop();
  }

  void StartServer(const KcpTestServerConfig& config = KcpTestServerConfig()) {
    server_.reset(new KcpTestServer(config));
    ASSERT_TRUE(server_->Start()) << server_->last_error();
  }

  // Builds the connection on the worker thread, wired to the recorder.
  bool Create(const std::string& params) {
    bool ok = false;
    RunOn(thread_.get(), [&] {
      conn_.reset(new ObservedKcpConnection);
      conn_->SignalStatusChange.connect(&recorder_, &Recorder::OnStatus);
      conn_->SignalRecvMessage.connect(&recorder_, &Recorder::OnMessage);
      ok = conn_->Init(params);
    });
    return ok;
  }

  bool Connect(unsigned timeout_ms = 10000, unsigned max_packet_size = 1200) {
    bool ok = false;
    RunOn(thread_.get(), [&] { ok = conn_->ConnectServer(timeout_ms, max_packet_size); });
    return ok;
  }

  // Creates, connects and waits for the login to be reported.
  void LogIn(const LoginFields& fields = LoginFields()) {
    ASSERT_TRUE(Create(Params(server_->port(), fields)));
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(WaitForStatuses(1));
    ASSERT_EQ(kLoggedIn, recorder_.statuses()[0]);
  }

  void Destroy() {
    if (conn_)
      RunOn(thread_.get(), [&] { conn_.reset(); });
  }

  bool WaitForStatuses(size_t n, milliseconds limit = milliseconds(5000)) {
    return WaitUntil([&] { return recorder_.status_count() >= n; }, limit);
  }

  // True when no status beyond the first `n` comes within `limit`.
  bool NoMoreStatusesThan(size_t n, milliseconds limit) {
    return !WaitUntil([&] { return recorder_.status_count() > n; }, limit);
  }

  std::unique_ptr<rtc::Thread> thread_;
  std::unique_ptr<KcpTestServer> server_;
  Recorder recorder_;
  std::unique_ptr<ObservedKcpConnection> conn_;
};

TEST_F(KcpConnectionTest, LogsInReportsItAndStartsTheKeepAlive) {
  StartServer();
  ASSERT_TRUE(Create(Params(server_->port())));
  EXPECT_EQ(-1, conn_->SendData("early", 5, kMsgText));
  EXPECT_FALSE(conn_->IsConnected());

  testing::internal::CaptureStdout();
  ASSERT_TRUE(Connect());
  ASSERT_TRUE(WaitForStatuses(1));
  // The first keep-alive is queued after the line is written.
  ASSERT_TRUE(WaitUntil([&] { return server_->stats().keepalives >= 1; }));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("start send keepalive conv = 16909060\n")) << out;

  EXPECT_EQ(std::vector<Status>{kLoggedIn}, recorder_.statuses());
  EXPECT_TRUE(conn_->IsConnected());
  EXPECT_EQ(0, conn_->SendData("hi", 2, kMsgText));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() == 1; }));
  EXPECT_EQ(std::vector<std::string>{"hi"}, recorder_.messages());
}

TEST_F(KcpConnectionTest, LoginDatagramAndKeepAliveAreByteExact) {
  StartServer();
  std::vector<std::string> nonces;
  for (int attempt = 0; attempt < 2; attempt++) {
    ASSERT_TRUE(Create(Params(server_->port())));
    ASSERT_TRUE(Connect(10000, 1200));
    ASSERT_TRUE(WaitUntil([&] { return server_->logins().size() == size_t(attempt + 1); }));
    const zek_test::KcpLogin login = server_->logins()[attempt];
    ASSERT_EQ(71u, login.raw.size());
    const std::string nonce = login.raw.substr(26, 36);
    const std::string expected = std::string("\x63\xA9\x02\x01\0\0\0\0", 8) + Field("a") +
                                 Field("b") + Field("c") + Field("d") + Field(nonce) +
                                 std::string("\0\0\x04\xB0", 4) + Field("e");
    EXPECT_EQ(expected, login.raw);
    EXPECT_TRUE(login.well_formed);
    EXPECT_TRUE(std::regex_match(
        nonce, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << nonce;
    nonces.push_back(nonce);
    // The keep-alive queued at login, before the next login ends this session.
    ASSERT_TRUE(WaitUntil(
        [&] { return server_->stats().keepalives >= static_cast<uint64_t>(attempt + 1); }));
    Destroy();
  }
  EXPECT_NE(nonces[0], nonces[1]);
  EXPECT_EQ(std::string("\0\x02\x61\0", 4), Field("a"));
  EXPECT_EQ(std::string("\0\x25", 2), Field(nonces[0]).substr(0, 2));

  // The keep-alive: the single byte 5 as one KCP data segment of the conversation the
  // reply gave.
  bool found = false;
  for (const zek_test::KcpDatagram& d : server_->datagrams()) {
    for (const ParsedSegment& seg : Segments(d.bytes)) {
      if (seg.cmd == kKcpCmdPush && seg.data == "\x05") {
        EXPECT_EQ(kTag, seg.tag);
        EXPECT_EQ(kConv, seg.conv);
        found = true;
      }
    }
  }
  EXPECT_TRUE(found);
  for (const zek_test::KcpClientMessage& m : server_->messages()) {
    if (m.type == zek_test::kKcpMsgKeepAlive) {
      EXPECT_EQ("\x05", m.bytes);
    }
  }
}

// The whole login must fit into one 1500-byte datagram; a field is never left out.
TEST_F(KcpConnectionTest, LoginThatDoesNotFitIsNotSent) {
  StartServer();
  struct Case {
    size_t token_length;
    bool sent;
  };
  // 70 bytes besides the token's text (see the byte-exact login).
  const Case cases[] = {{1430, true}, {1431, false}, {60000, false}};
  size_t logins = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token_length);
    LoginFields fields;
    fields.token = std::string(c.token_length, 't');
    ASSERT_TRUE(Create(Params(server_->port(), fields)));
    EXPECT_EQ(c.sent, Connect());
    if (c.sent) {
      logins++;
      ASSERT_TRUE(WaitUntil([&] { return server_->logins().size() == logins; }));
      EXPECT_EQ(1500u, server_->logins().back().raw.size());
      EXPECT_EQ(fields.token, server_->logins().back().token);
    }
    Destroy();
  }
  // A sound login after the refused ones is the next datagram the server sees: nothing
  // of theirs went out.
  ASSERT_TRUE(Create(Params(server_->port())));
  ASSERT_TRUE(Connect());
  ASSERT_TRUE(WaitUntil([&] { return server_->logins().size() == logins + 1; }));
  EXPECT_EQ("d", server_->logins().back().token);
}

TEST_F(KcpConnectionTest, ServerAddressMustBeAnIpv4Literal) {
  for (const char* ip : {"localhost", "::1", "0.0.0.0", "127.0.0.1.5", "", "127.0.0.1:9000"}) {
    SCOPED_TRACE(ip);
    LoginFields fields;
    fields.server_ip = ip;
    ASSERT_TRUE(Create(Params(9000, fields)));
    EXPECT_FALSE(Connect(kShortTimeoutMs));
    EXPECT_TRUE(NoMoreStatusesThan(0, milliseconds(0)));
    Destroy();
  }
  // Without parameters there is no address at all.
  RunOn(thread_.get(), [&] {
    conn_.reset(new ObservedKcpConnection);
    EXPECT_FALSE(conn_->ConnectServer(kShortTimeoutMs, 1200));
  });
}

TEST_F(KcpConnectionTest, RefusedLoginReportsTheServersCodeAndNoTimeout) {
  KcpTestServerConfig config;
  config.reply.kind = Kind::kRefuse;
  config.reply.code = 5003;
  config.reply.text = "account frozen";
  StartServer(config);
  ASSERT_TRUE(Create(Params(server_->port())));
  ASSERT_TRUE(Connect(kShortTimeoutMs));
  ASSERT_TRUE(WaitForStatuses(1));
  EXPECT_TRUE(NoMoreStatusesThan(1, milliseconds(2 * kShortTimeoutMs)));
  EXPECT_EQ((std::vector<Status>{{Connection::kConnRefused, 5003, "account frozen"}}),
            recorder_.statuses());
  EXPECT_FALSE(conn_->IsConnected());
  EXPECT_EQ(-1, conn_->SendData("x", 1, kMsgText));
}

// Replies that must not end the wait: only the time-out follows.
TEST_F(KcpConnectionTest, WithoutAReplyFromTheServerOnlyTheTimeoutFollows) {
  struct Case {
    const char* name;
    Kind kind;
    bool from_other_port;
  };
  const Case cases[] = {
      {"no reply", Kind::kNone, false},
      {"accept from another port", Kind::kAccept, true},
      {"refusal from another port", Kind::kRefuse, true},
      {"garbage from another port", Kind::kGarbage, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KcpTestServerConfig config;
    config.reply.kind = c.kind;
    config.reply.code = 1001;
    config.reply.from_other_port = c.from_other_port;
    StartServer(config);
    const size_t before = recorder_.status_count();
    ASSERT_TRUE(Create(Params(server_->port())));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Connect(kShortTimeoutMs));
    ASSERT_TRUE(WaitForStatuses(before + 1));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(kShortTimeoutMs - 5));
    EXPECT_EQ(std::vector<Status>{kTimedOut}, recorder_.statuses_from(before));
    if (c.from_other_port) {
      EXPECT_EQ(1u, server_->stats().replies_sent);
    }
    EXPECT_FALSE(conn_->IsConnected());
    Destroy();
  }
}

TEST_F(KcpConnectionTest, NoReplyTimesOutAfterTenSeconds_WaitsForTimeout) {
  KcpTestServerConfig config;
  config.reply.kind = Kind::kNone;
  StartServer(config);
  ASSERT_TRUE(Create(Params(server_->port())));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Connect(10000));
  ASSERT_TRUE(WaitForStatuses(1, milliseconds(12000)));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(9990));
  EXPECT_LT(elapsed, milliseconds(11000));
  EXPECT_EQ(std::vector<Status>{kTimedOut}, recorder_.statuses());
}

struct MalformedCase {
  const char* name;
  KcpLoginReply reply;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
  *os << c.name;
}

KcpLoginReply Malformed(Kind kind, size_t size = 0) {
  KcpLoginReply reply;
  reply.kind = kind;
  reply.truncate_to = size;
  reply.garbage_size = size;
  return reply;
}

class KcpConnectionMalformedReplyTest : public KcpConnectionTest,
                                        public ::testing::WithParamInterface<MalformedCase> {};

// A reply from the server that is not a whole login reply is one format error; it is
// no login, and no time-out follows it.
TEST_P(KcpConnectionMalformedReplyTest, IsReportedOnceAsFormatError) {
  KcpTestServerConfig config;
  config.reply = GetParam().reply;
  StartServer(config);
  ASSERT_TRUE(Create(Params(server_->port())));
  ASSERT_TRUE(Connect(kShortTimeoutMs));
  ASSERT_TRUE(WaitForStatuses(1));
  EXPECT_TRUE(NoMoreStatusesThan(1, milliseconds(2 * kShortTimeoutMs)));
  EXPECT_EQ(std::vector<Status>{kFormatError}, recorder_.statuses());
  EXPECT_FALSE(conn_->IsConnected());

  // Once reported, a further malformed datagram says nothing; a sound reply still
  // logs in, and is the next report.
  ASSERT_TRUE(server_->SendDatagram("abc"));
  KcpLoginReply accept;
  ASSERT_TRUE(server_->SendLoginReply(accept));
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ((std::vector<Status>{kFormatError, kLoggedIn}), recorder_.statuses());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes,
    KcpConnectionMalformedReplyTest,
    ::testing::Values(MalformedCase{"empty", Malformed(Kind::kEmpty)},
                      MalformedCase{"three_bytes", Malformed(Kind::kTruncated, 3)},
                      MalformedCase{"cut_in_code", Malformed(Kind::kTruncated, 5)},
                      MalformedCase{"without_text", Malformed(Kind::kTruncated, 10)},
                      MalformedCase{"cut_in_text", Malformed(Kind::kTruncated, 13)},
                      MalformedCase{"without_zero", Malformed(Kind::kTruncated, 14)},
                      MalformedCase{"lying_length", Malformed(Kind::kLyingLength)},
                      MalformedCase{"garbage", Malformed(Kind::kGarbage, 16)},
                      MalformedCase{"long_garbage", Malformed(Kind::kGarbage, 600)}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

struct EchoCase {
  const char* name;
  double loss;
};

void PrintTo(const EchoCase& c, std::ostream* os) {
  *os << c.name;
}

class KcpConnectionEchoTest : public KcpConnectionTest,
                              public ::testing::WithParamInterface<EchoCase> {};

// Texts of every size a message carries go out and come back whole and in order.
TEST_P(KcpConnectionEchoTest, ManyTextsComeBackIntactAndInOrder) {
  KcpTestServerConfig config;
  config.drop_in = GetParam().loss;
  config.drop_out = GetParam().loss;
  config.seed = 7;
  StartServer(config);
  LogIn();

  constexpr int kCount = 500;
  std::vector<std::string> sent;
  for (int i = 0; i < kCount; i++) {
    const size_t length = i == 0 ? 1 : i == 1 ? 1496 : 1 + (static_cast<size_t>(i) * 997) % 1496;
    sent.push_back(Text(length, i));
    ASSERT_EQ(0, conn_->SendData(sent.back().data(), static_cast<int>(length), kMsgText));
  }
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() >= kCount; }, milliseconds(60000)))
      << recorder_.message_count();
  EXPECT_EQ(sent, server_->texts());
  EXPECT_EQ(sent, recorder_.messages());
  EXPECT_EQ(std::vector<Status>{kLoggedIn}, recorder_.statuses());
  if (GetParam().loss > 0) {
    EXPECT_GT(server_->stats().datagrams_dropped_in, 0u);
    EXPECT_GT(server_->stats().kcp_datagrams_dropped_out, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Links,
                         KcpConnectionEchoTest,
                         ::testing::Values(EchoCase{"clean", 0}, EchoCase{"lossy", 0.1}),
                         [](const ::testing::TestParamInfo<EchoCase>& info) {
                           return info.param.name;
                         });

TEST_F(KcpConnectionTest, SendDataWritesEachTypeAndRefusesTooLongTexts) {
  StartServer();
  LogIn();
  const std::string longest(1496, 'L');
  const std::string too_long(1497, 'T');
  std::string cut_early(2000, 'C');
  cut_early[10] = '\0';
  struct Case {
    const char* name;
    const char* data;
    int length;
    int type;
    int result;
    // What the refusal logs; null: nothing.
    const char* logged;
  };
  const Case cases[] = {
      {"zero byte inside", "ab\0cd", 5, kMsgText, 0, nullptr},
      {"longest text", longest.data(), 1496, kMsgText, 0, nullptr},
      {"one byte too long", too_long.data(), 1497, kMsgText, -1,
       "KCP text of 1497 bytes not sent: at most 1496 go in one message"},
      {"long buffer, short text", cut_early.data(), 2000, kMsgText, 0, nullptr},
      {"empty text", "", 0, kMsgText, 0, nullptr},
      {"negative length", "abc", -1, kMsgText, -1, nullptr},
      {"no payload", "ignored", 7, kMsgNoPayload, 0, nullptr},
      {"no payload without data", nullptr, 0, kMsgNoPayload, 0, nullptr},
      // A type that writes nothing is refused: nothing is queued for it.
      {"unknown type", "abc", 3, 7, -1,
       "KCP message of type 7 not sent: only texts (0) and no-payload messages (1) go"},
      {"unknown type without data", nullptr, 0, 2, -1, "KCP message of type 2 not sent"},
      {"marker", "end", 3, kMsgText, 0, nullptr},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, conn_->SendData(c.data, c.length, static_cast<ZEkMsgType>(c.type)))
        << c.name;
    const std::string logged = ::testing::internal::GetCapturedStderr();
    if (c.logged) {
      EXPECT_NE(std::string::npos, logged.find(c.logged)) << c.name << ": " << logged;
    } else {
      EXPECT_EQ("", logged) << c.name;
    }
  }

  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> texts = server_->texts();
    return !texts.empty() && texts.back() == "end";
  }));
  std::vector<std::string> bytes;
  for (const zek_test::KcpClientMessage& m : server_->messages()) {
    if (m.type != zek_test::kKcpMsgKeepAlive)
      bytes.push_back(m.bytes);
  }
  auto text = [](const std::string& t) { return std::string("\x02", 1) + Field(t); };
  const std::vector<std::string> expected = {
      text("ab"), text(longest), text("CCCCCCCCCC"), text(""), "\x03", "\x03", text("end")};
  EXPECT_EQ(expected, bytes);
}

// App threads hand messages over at the same time as the worker drains the queue.
TEST_F(KcpConnectionTest, SendDataFromSeveralThreadsAtOnce) {
  StartServer();
  LogIn();
  constexpr int kThreads = 4;
  constexpr int kEach = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; t++) {
    senders.emplace_back([&, t] {
      for (int n = 0; n < kEach; n++) {
        const std::string text = "t" + std::to_string(t) + "-" + std::to_string(n);
        if (conn_->SendData(text.data(), static_cast<int>(text.size()), kMsgText) != 0)
          failures++;
      }
    });
  }
  for (std::thread& s : senders)
    s.join();
  EXPECT_EQ(0, failures.load());
  ASSERT_TRUE(WaitUntil([&] { return server_->texts().size() >= size_t(kThreads * kEach); }));
  // Each thread's messages arrive in its own order.
  std::vector<int> next(kThreads, 0);
  for (const std::string& text : server_->texts()) {
    const int t = text[1] - '0';
    ASSERT_EQ("t" + std::to_string(t) + "-" + std::to_string(next[t]), text);
    next[t]++;
  }
  EXPECT_EQ(std::vector<int>(kThreads, kEach), next);
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() >= size_t(kThreads * kEach); }));
}

// What the network may bring after login: the engine refuses what is not a segment of
// the conversation, and a message that is not a sound text is not delivered.
TEST_F(KcpConnectionTest, MalformedInputAfterLoginIsRefused) {
  StartServer();
  LogIn();
  const std::vector<std::string> datagrams = {
      "",
      "abc",
      KcpSegment(kTag, kConv, kKcpCmdPush, 0, 0, "").substr(0, 25),
      KcpSegment(0x0B0A, kConv, kKcpCmdPush, 0, 1, "x"),
      KcpSegment(kTag, kConv + 1, kKcpCmdPush, 0, 1, "x"),
      KcpSegment(kTag, kConv, kKcpCmdPush, 0, 100, "abcd"),
      KcpSegment(kTag, kConv, kKcpCmdPush, 0, 0xFFFFFFFF, "abcd"),
      KcpSegment(kTag, kConv, 99, 0, 0, ""),
      KcpSegment(kTag, kConv, kKcpCmdAck, 0, 0, "") + "tail",
      std::string("\x0A\x0B\0\0\0\0\x01\x02\x03\x04\0\x03ok\0", 15),
  };
  for (const std::string& d : datagrams)
    ASSERT_TRUE(server_->SendDatagram(d));
  const std::vector<std::string> messages = {
      "",
      "\x02",
      std::string("\x02\x00\x50"
                  "ab",
                  5),
      std::string("\x02\x00\x03"
                  "abc",
                  6),
      "\x07xyz",
      "\x03",
      "\x05",
  };
  for (const std::string& m : messages)
    ASSERT_TRUE(server_->SendMessage(m));
  ASSERT_TRUE(server_->SendText("still alive"));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() >= 1; }));
  EXPECT_EQ(std::vector<std::string>{"still alive"}, recorder_.messages());

  ASSERT_EQ(0, conn_->SendData("ping", 4, kMsgText));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() >= 2; }));
  EXPECT_EQ((std::vector<std::string>{"still alive", "ping"}), recorder_.messages());
  EXPECT_EQ(std::vector<Status>{kLoggedIn}, recorder_.statuses());
  EXPECT_TRUE(conn_->IsConnected());
}

struct CloseCase {
  const char* name;
  bool lose_acks;  // the client's acknowledgements are lost for a while
};

void PrintTo(const CloseCase& c, std::ostream* os) {
  *os << c.name;
}

class KcpConnectionCloseTest : public KcpConnectionTest,
                               public ::testing::WithParamInterface<CloseCase> {};

TEST_P(KcpConnectionCloseTest, ServerCloseIsReportedAcknowledgedAndEndsThePoll) {
  StartServer();
  LogIn();
  if (GetParam().lose_acks)
    server_->SetDropRates(1.0, 0);
  ASSERT_TRUE(server_->SendClose(8002, "logged in elsewhere"));
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ((std::vector<Status>{kLoggedIn, {Connection::kConnLost, 8002, "logged in elsewhere"}}),
            recorder_.statuses());
  EXPECT_FALSE(conn_->IsConnected());
  EXPECT_EQ(-1, conn_->SendData("late", 4, kMsgText));

  // The poll stops with the close.
  const int polls = conn_->polls();
  EXPECT_FALSE(WaitUntil([&] { return conn_->polls() > polls; }, milliseconds(100)));

  if (GetParam().lose_acks) {
    // The server retransmits its close; each copy is acknowledged, none is a login reply.
    ASSERT_TRUE(WaitUntil([&] { return server_->stats().kcp_datagrams_in_after_close >= 3; }));
    EXPECT_FALSE(server_->close_acknowledged());
    server_->SetDropRates(0, 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->close_acknowledged(); }));
  EXPECT_TRUE(NoMoreStatusesThan(2, milliseconds(200)));
  EXPECT_EQ(2u, recorder_.statuses().size());
}

INSTANTIATE_TEST_SUITE_P(Acks,
                         KcpConnectionCloseTest,
                         ::testing::Values(CloseCase{"delivered", false},
                                           CloseCase{"lost_for_a_while", true}),
                         [](const ::testing::TestParamInfo<CloseCase>& info) {
                           return info.param.name;
                         });

// The silence is counted from the server's last datagram, the login reply included: a
// login that comes long after ConnectServer (here after a refusal) is not lost at its
// first tick, only once the server has been silent for more than 10 s.
TEST_F(KcpConnectionTest, SilentServerIsReportedLost_WaitsForTimeout) {
  KcpTestServerConfig config;
  config.reply.kind = Kind::kRefuse;
  config.reply.code = 1001;
  StartServer(config);
  ASSERT_TRUE(Create(Params(server_->port())));
  ASSERT_TRUE(Connect(kShortTimeoutMs));
  ASSERT_TRUE(WaitForStatuses(1));
  // The time since ConnectServer is what matters here: let it pass.
  std::this_thread::sleep_for(milliseconds(5500));
  // A silent server still sends this reply, then drops everything and answers nothing.
  server_->SetSilent(true);
  ASSERT_TRUE(server_->SendLoginReply(KcpLoginReply()));
  ASSERT_TRUE(WaitForStatuses(2));
  const auto login = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForStatuses(3, milliseconds(17000)));
  const auto elapsed = std::chrono::steady_clock::now() - login;
  // The tick at 5 s still finds the server within its limit; a later one does not.
  EXPECT_GE(elapsed, milliseconds(9950));
  EXPECT_LT(elapsed, milliseconds(16000));
  EXPECT_EQ((std::vector<Status>{
                {Connection::kConnRefused, 1001, "ok"},
                kLoggedIn,
                {Connection::kConnLost, 5, "can not recv server's response, please reconnect"}}),
            recorder_.statuses());
  // The keep-alive went out at each tick but went unanswered.
  EXPECT_GE(server_->stats().datagrams_ignored_silent, 2u);
  // Nothing polls the engine any more; the flag stays as it was.
  const int polls = conn_->polls();
  EXPECT_FALSE(WaitUntil([&] { return conn_->polls() > polls; }, milliseconds(100)));
  EXPECT_TRUE(conn_->IsConnected());
}

struct ReloginCase {
  const char* name;
  bool after_close;  // otherwise after a refusal
};

void PrintTo(const ReloginCase& c, std::ostream* os) {
  *os << c.name;
}

class KcpConnectionReloginTest : public KcpConnectionTest,
                                 public ::testing::WithParamInterface<ReloginCase> {};

// A later accepting reply logs in again with a new client on the new conversation;
// the old client is released.
TEST_P(KcpConnectionReloginTest, LogsInAgainWithAFreshClient) {
  KcpTestServerConfig config;
  if (!GetParam().after_close) {
    config.reply.kind = Kind::kRefuse;
    config.reply.code = 1001;
    config.reply.text = "busy";
  }
  StartServer(config);
  ASSERT_TRUE(Create(Params(server_->port())));
  ASSERT_TRUE(Connect(kShortTimeoutMs));
  ASSERT_TRUE(WaitForStatuses(1));
  std::vector<Status> expected;
  if (GetParam().after_close) {
    expected = {kLoggedIn, {Connection::kConnLost, 8001, "bye"}};
    ASSERT_TRUE(server_->SendClose(8001, "bye"));
    ASSERT_TRUE(WaitForStatuses(2));
    ASSERT_TRUE(WaitUntil([&] { return server_->close_acknowledged(); }));
  } else {
    expected = {{Connection::kConnRefused, 1001, "busy"}};
  }
  ASSERT_EQ(expected, recorder_.statuses());

  KcpLoginReply again;
  again.tag = 0x0C0D;
  again.conv = 77;
  again.text = "again";
  ASSERT_TRUE(server_->SendLoginReply(again));
  ASSERT_TRUE(WaitForStatuses(expected.size() + 1));
  expected.push_back({Connection::kConnLoggedIn, 0, "again"});
  EXPECT_EQ(expected, recorder_.statuses());
  EXPECT_TRUE(conn_->IsConnected());

  ASSERT_EQ(0, conn_->SendData("after", 5, kMsgText));
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> m = recorder_.messages();
    return !m.empty() && m.back() == "after";
  }));
  bool on_new_conversation = false;
  for (const zek_test::KcpDatagram& d : server_->datagrams()) {
    for (const ParsedSegment& seg : Segments(d.bytes)) {
      if (seg.cmd == kKcpCmdPush && seg.data.find("after") != std::string::npos)
        on_new_conversation = seg.tag == 0x0C0D && seg.conv == 77;
    }
  }
  EXPECT_TRUE(on_new_conversation);
  EXPECT_EQ(expected.size(), recorder_.statuses().size());
}

INSTANTIATE_TEST_SUITE_P(Outcomes,
                         KcpConnectionReloginTest,
                         ::testing::Values(ReloginCase{"after_refusal", false},
                                           ReloginCase{"after_close", true}),
                         [](const ::testing::TestParamInfo<ReloginCase>& info) {
                           return info.param.name;
                         });

TEST_F(KcpConnectionTest, DisConnectServerTwiceIsSafeAndStopsEverything) {
  StartServer();
  LogIn();
  RunOn(thread_.get(), [&] {
    conn_->DisConnectServer();
    conn_->DisConnectServer();
  });
  EXPECT_FALSE(conn_->IsConnected());
  EXPECT_EQ(-1, conn_->SendData("x", 1, kMsgText));
  const int polls = conn_->polls();
  EXPECT_FALSE(WaitUntil([&] { return conn_->polls() > polls; }, milliseconds(100)));
  // The destructor runs it once more.
  Destroy();
  EXPECT_EQ(std::vector<Status>{kLoggedIn}, recorder_.statuses());
}

// Destruction in every state stops the connection (the sanitizer builds check that
// nothing is left behind or touched afterwards).
TEST_F(KcpConnectionTest, DestructorStopsTheConnectionInEveryState) {
  KcpTestServerConfig config;
  StartServer(config);
  enum class State { kCreated, kWaiting, kLoggedIn, kClosed };
  for (State state : {State::kCreated, State::kWaiting, State::kLoggedIn, State::kClosed}) {
    SCOPED_TRACE(static_cast<int>(state));
    server_->SetLoginReply(state == State::kWaiting ? Malformed(Kind::kNone) : KcpLoginReply());
    const size_t before = recorder_.status_count();
    ASSERT_TRUE(Create(Params(server_->port())));
    if (state != State::kCreated) {
      ASSERT_TRUE(Connect(kShortTimeoutMs));
    }
    if (state == State::kLoggedIn || state == State::kClosed) {
      ASSERT_TRUE(WaitForStatuses(before + 1));
    }
    if (state == State::kClosed) {
      ASSERT_TRUE(server_->SendClose(8002, "bye"));
      ASSERT_TRUE(WaitForStatuses(before + 2));
    }
    Destroy();
    // A time-out, poll or keep-alive left behind would run on freed memory within this
    // wait (the sanitizer build catches that).
    const size_t after = recorder_.status_count();
    EXPECT_TRUE(NoMoreStatusesThan(after, milliseconds(state == State::kWaiting ? 400 : 50)));
  }
}

// A second ConnectServer starts over on a new socket; so does one after DisConnectServer.
TEST_F(KcpConnectionTest, ConnectServerAgainStartsOver) {
  StartServer();
  LogIn();
  ASSERT_TRUE(Connect());
  ASSERT_TRUE(WaitForStatuses(2));
  RunOn(thread_.get(), [&] { conn_->DisConnectServer(); });
  ASSERT_TRUE(Connect());
  ASSERT_TRUE(WaitForStatuses(3));
  EXPECT_EQ((std::vector<Status>{kLoggedIn, kLoggedIn, kLoggedIn}), recorder_.statuses());
  const std::vector<zek_test::KcpLogin> logins = server_->logins();
  ASSERT_EQ(3u, logins.size());
  EXPECT_NE(logins[0].from_port, logins[1].from_port);
  EXPECT_NE(logins[1].from_port, logins[2].from_port);
  ASSERT_EQ(0, conn_->SendData("third", 5, kMsgText));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() == 1; }));
}

// The worker's timers follow a clock that only the test moves: what happens while it
// stands still was not brought by a poll, and a timer falls due exactly when the test
// moves the clock onto it.
class KcpConnectionClockTest : public KcpConnectionTest {
 protected:
  KcpConnectionClockTest() : clock_(int64_t{1000000} * rtc::kNumNanosecsPerMillisec) {}

  // Moves the clock and returns once the worker has handled what fell due.
  void Advance(int ms) {
    clock_.AdvanceTimeMillis(ms);
    ASSERT_TRUE(zek_test::Drain(thread_.get()));
  }

  // The delay of the worker's next delayed message; rtc::kForeverMs when none is pending.
  int PendingDelayMs() {
    int delay = 0;
    RunOn(thread_.get(), [&] { delay = thread_->GetDelay(); });
    return delay;
  }

  // Nothing of the conversation is in flight any more: the keep-alive tick, `left_ms`
  // ahead, is the only timer.
  bool Settled(int left_ms = KcpConnection::kKeepAliveIntervalMs) {
    return WaitUntil([&] { return PendingDelayMs() == left_ms; });
  }

  zek_test::ScopedFakeClock clock_;
};

TEST_F(KcpConnectionClockTest, ReceivedTextReachesTheAppAndIsAcknowledgedWithoutAPoll) {
  StartServer();
  LogIn();
  ASSERT_TRUE(server_->SendText("at once"));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.message_count() == 1; }));
  EXPECT_EQ(std::vector<std::string>{"at once"}, recorder_.messages());
  // Its acknowledgement left with it: the server has nothing unacknowledged.
  EXPECT_TRUE(WaitUntil([&] { return server_->waitsnd() == 0; }));
  EXPECT_EQ(0, conn_->polls());
}

TEST_F(KcpConnectionClockTest, AppThreadMessagesGoOutAtOnceWithOneWakeUpPerBurst) {
  StartServer();
  LogIn();
  ASSERT_TRUE(Settled());
  std::vector<std::string> sent;
  {
    // The burst piles up while the worker is busy, as behind any other work.
    ThreadHold hold(thread_.get());
    for (int i = 0; i < 20; i++) {
      sent.push_back(Text(40, i));
      ASSERT_EQ(
          0, conn_->SendData(sent.back().data(), static_cast<int>(sent.back().size()), kMsgText));
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->texts().size() >= sent.size(); }));
  EXPECT_EQ(sent, server_->texts());
  EXPECT_EQ(1, conn_->wakeups());

  // A message on an empty queue is a burst of its own.
  ASSERT_TRUE(Settled());
  ASSERT_EQ(0, conn_->SendData("alone", 5, kMsgText));
  ASSERT_TRUE(WaitUntil([&] { return server_->texts().size() == sent.size() + 1; }));
  EXPECT_EQ("alone", server_->texts().back());
  EXPECT_EQ(2, conn_->wakeups());
  EXPECT_EQ(0, conn_->polls());
  // And the echoes came back on their own.
  EXPECT_TRUE(WaitUntil([&] { return recorder_.message_count() == sent.size() + 1; }));
}

TEST_F(KcpConnectionClockTest, AnIdleConversationSchedulesNoPolls) {
  StartServer();
  LogIn();
  // Once the keep-alive sent at login is acknowledged, only its tick is pending.
  ASSERT_TRUE(Settled());
  Advance(KcpConnection::kKeepAliveIntervalMs - 1);
  EXPECT_EQ(1, PendingDelayMs());
  EXPECT_EQ(0, conn_->polls());
}

// The keep-alive goes every 5 s from login; a server silent for 10 s is still within
// its limit at a tick, one silent for 15 s is not. While the unanswered keep-alive is in
// flight the engine is polled at most 10 ms apart.
TEST_F(KcpConnectionClockTest, KeepAliveAndSilenceCheckKeepTheirTimes) {
  constexpr int kTick = KcpConnection::kKeepAliveIntervalMs;
  StartServer();
  LogIn();
  ASSERT_TRUE(WaitUntil([&] { return server_->stats().keepalives == 1; }));
  ASSERT_TRUE(Settled());
  Advance(kTick - 1);
  EXPECT_EQ(1, PendingDelayMs());
  Advance(1);
  ASSERT_TRUE(WaitUntil([&] { return server_->stats().keepalives == 2; }));
  // Acknowledged: the server's last datagram came at this time.
  ASSERT_TRUE(Settled());

  server_->SetSilent(true);
  Advance(kTick);  // 5 s of silence
  const int poll = PendingDelayMs();
  EXPECT_GE(poll, 1);
  EXPECT_LE(poll, KcpConnection::kPollIntervalMs);
  Advance(kTick);  // 10 s of silence: still within the limit
  Advance(kTick - 1);
  EXPECT_EQ(std::vector<Status>{kLoggedIn}, recorder_.statuses());
  Advance(1);  // 15 s
  ASSERT_TRUE(WaitForStatuses(2));
  EXPECT_EQ((Status{Connection::kConnLost, 5, "can not recv server's response, please reconnect"}),
            recorder_.statuses()[1]);
  EXPECT_GE(server_->stats().datagrams_ignored_silent, 2u);
  // Neither poll nor tick is left.
  EXPECT_EQ(rtc::kForeverMs, PendingDelayMs());
}

// What the app handed over before the disconnect leaves before the socket closes, more
// than the engine's own send window included; the server's window takes it all.
TEST_F(KcpConnectionClockTest, DisconnectSendsWhatWasQueuedBeforeIt) {
  StartServer();
  LogIn();
  ASSERT_TRUE(Settled());
  std::vector<std::string> sent;
  // On the worker itself, so that the wake-up these post comes only after the
  // disconnect, which takes it back.
  RunOn(thread_.get(), [&] {
    for (int i = 0; i < 100; i++) {
      sent.push_back(Text(60, i));
      ASSERT_EQ(
          0, conn_->SendData(sent.back().data(), static_cast<int>(sent.back().size()), kMsgText));
    }
    conn_->DisConnectServer();
  });
  ASSERT_TRUE(WaitUntil([&] { return server_->texts().size() >= sent.size(); }));
  EXPECT_EQ(sent, server_->texts());
  EXPECT_EQ(0, conn_->wakeups());
  EXPECT_EQ(0, conn_->polls());
  EXPECT_FALSE(conn_->IsConnected());
}

}  // namespace
}  // namespace im
}  // namespace tavix
