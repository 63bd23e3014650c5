// ctest-labels: threading
#include "tests/support/kcp_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/timeutils.h"
#include "src/kcp/zek_ikcp.h"
#include "src/utilities/message.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/numbered_text.h"
#include "tests/support/wait.h"

namespace zek_test {
namespace {

using std::chrono::milliseconds;

constexpr char kNonce[] = "0f8e2d4c-1b3a-4e5f-9a7b-6c5d4e3f2a1b";

std::string LoginDatagram(const std::string& token = "d") {
  mavel::msg_packet_out out;
  out << static_cast<unsigned short>(0x63A9) << static_cast<unsigned char>(2)
      << static_cast<unsigned char>(1) << 0u << "a"
      << "b"
      << "c" << token.c_str() << kNonce << 1200u << "e";
  EXPECT_FALSE(out.Failed());
  return std::string(out.GetData(), static_cast<size_t>(out.GetSize()));
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

// The replies of the default KcpLoginReply: tag 0x0A0B, conv 0x01020304, text "ok".
const std::string kAcceptReply("\x0A\x0B\0\0\0\0\x01\x02\x03\x04\0\x03ok\0", 15);

// The client side of the protocol, driven on the test's thread: a UDP socket on
// 127.0.0.1 and, once logged in, a KCP engine with the client's settings.
class RawClient {
 public:
  explicit RawClient(uint16_t server_port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    port_ = BindLoopback(fd_);
    server_ = LoopbackSockAddr(server_port);
  }
  ~RawClient() {
    if (kcp_)
      ikcp_release(kcp_);
    close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  uint16_t port() const { return port_; }
  IKCPCB* kcp() const { return kcp_; }
  const std::vector<std::string>& messages() const { return messages_; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                     sizeof(server_)));
  }

  // The next datagram within `wait_ms` (0: only one already there); its sender's port.
  bool Receive(std::string* bytes, uint16_t* from_port = nullptr, int wait_ms = 2000) {
    pollfd pfd = {fd_, POLLIN, 0};
    if (poll(&pfd, 1, wait_ms) <= 0)
      return false;
    char buffer[65536];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    const ssize_t n =
        recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
      return false;
    bytes->assign(buffer, static_cast<size_t>(n));
    if (from_port)
      *from_port = ntohs(from.sin_port);
    return true;
  }

  void StartKcp(uint32_t conv, uint16_t tag) {
    kcp_ = ikcp_create(conv, tag, this);
    ASSERT_NE(nullptr, kcp_);
    kcp_->output = &RawClient::Output;
    ikcp_nodelay(kcp_, 1, 2, 1, 1);
    ikcp_update(kcp_, Now());
  }

  void SendMessage(const std::string& bytes) {
    ASSERT_EQ(0, ikcp_send(kcp_, bytes.data(), static_cast<int>(bytes.size())));
    ikcp_update(kcp_, Now());
    ikcp_flush(kcp_);
  }

  // Feeds every datagram that arrives to the engine and runs its clock until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, milliseconds limit = milliseconds(5000)) {
    const int64_t deadline = rtc::SystemTimeMillis() + limit.count();
    for (;;) {
      std::string datagram;
      while (Receive(&datagram, nullptr, 0))
        ikcp_input(kcp_, datagram.data(), static_cast<long>(datagram.size()));
      ikcp_update(kcp_, Now());
      TakeMessages();
      if (done())
        return true;
      if (rtc::SystemTimeMillis() >= deadline)
        return false;
      pollfd pfd = {fd_, POLLIN, 0};
      poll(&pfd, 1, 2);
    }
  }

  // Only what has already arrived, without waiting.
  void PumpOnce() {
    PumpUntil([] { return true; });
  }

 private:
  static uint32_t Now() { return static_cast<uint32_t>(rtc::SystemTimeMillis()); }

  static int Output(const char* data, int length, IKCPCB* /*kcp*/, void* user) {
    auto* self = static_cast<RawClient*>(user);
    sendto(self->fd_, data, static_cast<size_t>(length), 0,
           reinterpret_cast<sockaddr*>(&self->server_), sizeof(self->server_));
    return 0;
  }

  void TakeMessages() {
    for (;;) {
      const int size = ikcp_peeksize(kcp_);
      if (size < 0)
        return;
      std::string message(static_cast<size_t>(size), '\0');
      if (ikcp_recv(kcp_, &message[0], size) != size)
        return;
      messages_.push_back(message);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in server_{};
  IKCPCB* kcp_ = nullptr;
  std::vector<std::string> messages_;
};

std::string TextMessage(const std::string& text) {
  mavel::msg_packet_out out;
  out << kKcpMsgText << text;
  EXPECT_FALSE(out.Failed());
  return std::string(out.GetData(), static_cast<size_t>(out.GetSize()));
}

class KcpTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.last_error(); }

  // Logs in with the default reply and starts the client's engine.
  void LogIn(RawClient& client) {
    client.Send(LoginDatagram());
    std::string reply;
    ASSERT_TRUE(client.Receive(&reply));
    ASSERT_EQ(Hex(kAcceptReply), Hex(reply));
    client.StartKcp(0x01020304, 0x0A0B);
  }

  KcpTestServer server_;
};

TEST_F(KcpTestServerTest, AcceptsALoginAndRecordsItExactly) {
  RawClient client(server_.port());
  const std::string login = LoginDatagram();
  ASSERT_EQ(71u, login.size());
  client.Send(login);

  std::string reply;
  uint16_t from = 0;
  ASSERT_TRUE(client.Receive(&reply, &from));
  EXPECT_EQ(Hex(kAcceptReply), Hex(reply));
  EXPECT_EQ(server_.port(), from);
  EXPECT_EQ(KcpTestServer::State::kSession, server_.state());

  const std::vector<KcpLogin> logins = server_.logins();
  ASSERT_EQ(1u, logins.size());
  const KcpLogin& l = logins[0];
  EXPECT_EQ(login, l.raw);
  EXPECT_TRUE(l.well_formed);
  EXPECT_EQ(0x63A9, l.head_tag);
  EXPECT_EQ(2, l.head_b1);
  EXPECT_EQ(1, l.head_b2);
  EXPECT_EQ(0u, l.head_word);
  EXPECT_EQ("a", l.account_id);
  EXPECT_EQ("b", l.app_id);
  EXPECT_EQ("c", l.device_type);
  EXPECT_EQ("d", l.token);
  EXPECT_EQ(kNonce, l.nonce);
  EXPECT_EQ(1200u, l.packet_size);
  EXPECT_EQ("e", l.device_id);
  EXPECT_EQ(client.port(), l.from_port);
}

TEST_F(KcpTestServerTest, RecordsDatagramsThatAreNoProperLogin) {
  RawClient client(server_.port());
  // The head and the account only: recorded as a malformed login, still answered.
  client.Send(LoginDatagram().substr(0, 12));
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  server_.ResetSession();
  // No login head and no session: only counted.
  client.Send("\x01\x02\x03");
  ASSERT_TRUE(WaitUntil([&] { return server_.stats().datagrams_unexpected == 1; }));

  const std::vector<KcpLogin> logins = server_.logins();
  ASSERT_EQ(1u, logins.size());
  EXPECT_FALSE(logins[0].well_formed);
  EXPECT_EQ("a", logins[0].account_id);
  EXPECT_EQ(2u, server_.stats().datagrams_received);
  EXPECT_EQ(2u, server_.datagrams().size());
}

struct ReplyCase {
  const char* name;
  KcpLoginReply reply;
  bool answered;
  std::string expected;  // checked when `answered` and not garbage
  KcpTestServer::State state;
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
  *os << c.name;
}

KcpLoginReply Reply(KcpLoginReply::Kind kind) {
  KcpLoginReply reply;
  reply.kind = kind;
  return reply;
}

ReplyCase Refusal() {
  KcpLoginReply reply = Reply(KcpLoginReply::Kind::kRefuse);
  reply.code = 5003;
  reply.text = "denied";
  return {"refuse", reply, true,
          std::string("\x0A\x0B\0\0\x13\x8B\x01\x02\x03\x04\0\x07"
                      "denied\0",
                      19),
          KcpTestServer::State::kWaitingLogin};
}

ReplyCase FromOtherPort() {
  KcpLoginReply reply;
  reply.from_other_port = true;
  return {"accept_from_other_port", reply, true, kAcceptReply, KcpTestServer::State::kSession};
}

class KcpTestServerReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(KcpTestServerReplyTest, SendsTheConfiguredReply) {
  const ReplyCase& c = GetParam();
  KcpTestServerConfig config;
  config.reply = c.reply;
  KcpTestServer server(config);
  ASSERT_TRUE(server.Start());
  RawClient client(server.port());
  client.Send(LoginDatagram());
  ASSERT_TRUE(WaitUntil([&] { return server.logins().size() == 1; }));

  // A reply has been sent by the time the login shows, so none may be waiting.
  std::string reply;
  uint16_t from = 0;
  ASSERT_EQ(c.answered, client.Receive(&reply, &from, 0));
  if (c.answered) {
    EXPECT_EQ(c.reply.from_other_port ? server.other_port() : server.port(), from);
    if (c.reply.kind == KcpLoginReply::Kind::kGarbage) {
      EXPECT_EQ(c.reply.garbage_size, reply.size());
      EXPECT_NE(kAcceptReply.substr(0, reply.size()), reply);
    } else {
      EXPECT_EQ(Hex(c.expected), Hex(reply));
    }
  }
  EXPECT_EQ(c.state, server.state());
  EXPECT_EQ(c.answered ? 1u : 0u, server.stats().replies_sent);
}

INSTANTIATE_TEST_SUITE_P(
    Replies,
    KcpTestServerReplyTest,
    ::testing::Values(Refusal(),
                      ReplyCase{"none", Reply(KcpLoginReply::Kind::kNone), false, "",
                                KcpTestServer::State::kWaitingLogin},
                      ReplyCase{"truncated", Reply(KcpLoginReply::Kind::kTruncated), true,
                                kAcceptReply.substr(0, 5), KcpTestServer::State::kWaitingLogin},
                      ReplyCase{"empty", Reply(KcpLoginReply::Kind::kEmpty), true, "",
                                KcpTestServer::State::kWaitingLogin},
                      // The length field says 13 where 3 bytes follow.
                      ReplyCase{"lying_length", Reply(KcpLoginReply::Kind::kLyingLength), true,
                                std::string("\x0A\x0B\0\0\0\0\x01\x02\x03\x04\0\x0Dok\0", 15),
                                KcpTestServer::State::kWaitingLogin},
                      ReplyCase{"garbage", Reply(KcpLoginReply::Kind::kGarbage), true, "",
                                KcpTestServer::State::kWaitingLogin},
                      FromOtherPort()),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(KcpTestServerTest, EchoesTextsThroughKcpAndSendsItsOwn) {
  RawClient client(server_.port());
  LogIn(client);
  for (const size_t size : {size_t{1}, size_t{1496}}) {
    SCOPED_TRACE(size);
    std::string text(size, 'x');
    for (size_t i = 0; i < size; i++)
      text[i] = static_cast<char>('a' + i % 26);
    const size_t before = client.messages().size();
    client.SendMessage(TextMessage(text));
    ASSERT_TRUE(client.PumpUntil([&] { return client.messages().size() == before + 1; }));
    EXPECT_EQ(TextMessage(text), client.messages().back());
    EXPECT_EQ(text, server_.texts().back());

    ASSERT_TRUE(server_.SendText(text));
    ASSERT_TRUE(client.PumpUntil([&] { return client.messages().size() == before + 2; }));
    EXPECT_EQ(TextMessage(text), client.messages().back());
  }
  // 1497 bytes do not fit beside the type byte and the length field.
  EXPECT_FALSE(server_.SendText(std::string(1497, 'x')));

  // Other messages are recorded, not answered.
  server_.SetEcho(false);
  const size_t before = client.messages().size();
  for (const std::string& m : {std::string("\x05"), std::string("\x03"), std::string("\x09"),
                               std::string(), TextMessage("quiet")})
    client.SendMessage(m);
  ASSERT_TRUE(client.PumpUntil([&] { return server_.messages().size() == 7; }));
  client.PumpOnce();
  EXPECT_EQ(before, client.messages().size());
  EXPECT_TRUE(client.PumpUntil([&] { return ikcp_waitsnd(client.kcp()) == 0; }));

  const std::vector<KcpClientMessage> messages = server_.messages();
  const int types[] = {5, 3, 9, -1, 2};
  for (int i = 0; i < 5; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(types[i], messages[2 + i].type);
    EXPECT_EQ(types[i] != 9 && types[i] != -1, messages[2 + i].well_formed);
  }
  EXPECT_EQ("quiet", messages[6].text);
  EXPECT_EQ(1u, server_.stats().keepalives);
  ASSERT_EQ(1u, server_.keepalive_times().size());
  EXPECT_EQ(messages[2].time_ms, server_.keepalive_times()[0]);
}

// The stream fills the engine's windows while the client acknowledges nothing, and the
// server still records and echoes every text; once the client takes what came, the
// pushes are all there, whole and in order, with the echoes between them.
TEST_F(KcpTestServerTest, StreamsPushesWhileItReadsTheClient) {
  RawClient client(server_.port());
  EXPECT_FALSE(server_.StartStream(kKcpMaxText));
  LogIn(client);
  EXPECT_FALSE(server_.StartStream(kKcpMaxText + 1));
  ASSERT_TRUE(server_.StartStream(kKcpMaxText));
  ASSERT_GT(server_.pushes_sent(), 0u);
  const int full = server_.waitsnd();
  constexpr int kTexts = 20;
  std::vector<std::string> sent;
  for (int i = 0; i < kTexts; i++) {
    sent.push_back(NumberedText("app", static_cast<uint64_t>(i), 100));
    client.SendMessage(TextMessage(sent.back()));
  }
  ASSERT_TRUE(WaitUntil([&] { return server_.text_count() == sent.size(); }));
  EXPECT_EQ(sent, server_.texts());
  // Nothing was acknowledged: the pushes still wait, the echoes behind them.
  EXPECT_LE(full + kTexts, server_.waitsnd());

  ASSERT_TRUE(client.PumpUntil([&] { return server_.pushes_sent() > 100; }));
  server_.StopStream();
  const size_t pushes = server_.pushes_sent();
  ASSERT_TRUE(client.PumpUntil([&] { return client.messages().size() == pushes + sent.size(); }))
      << client.messages().size() << " of " << pushes << " pushes and " << kTexts << " echoes";
  size_t next_push = 0;
  size_t next_echo = 0;
  for (const std::string& message : client.messages()) {
    mavel::msg_packet_in in(message.data(), static_cast<int>(message.size()));
    unsigned char type = 0;
    std::string text;
    in >> type >> text;
    ASSERT_FALSE(in.Failed());
    ASSERT_EQ(kKcpMsgText, type);
    uint64_t number = 0;
    if (ReadNumberedText(kKcpPushKey, text.data(), text.size(), &number)) {
      ASSERT_EQ(next_push, number);
      ASSERT_EQ(NumberedText(kKcpPushKey, number, kKcpMaxText), text);
      ++next_push;
    } else {
      ASSERT_LT(next_echo, sent.size()) << text.substr(0, 40);
      ASSERT_EQ(sent[next_echo++], text);
    }
  }
  EXPECT_EQ(pushes, next_push);
  EXPECT_EQ(sent.size(), next_echo);
  EXPECT_TRUE(client.PumpUntil([&] { return server_.waitsnd() == 0; }));
  EXPECT_EQ(pushes, server_.pushes_sent());
}

TEST_F(KcpTestServerTest, RetransmitsTheCloseUntilTheClientAcknowledgesIt) {
  RawClient client(server_.port());
  LogIn(client);
  ASSERT_TRUE(server_.SendClose(8002, "kicked"));
  EXPECT_EQ(KcpTestServer::State::kClosed, server_.state());

  // The client keeps quiet: the close goes out again and again.
  ASSERT_TRUE(WaitUntil([&] { return server_.stats().kcp_datagrams_out_after_close >= 3; }));
  EXPECT_FALSE(server_.close_acknowledged());
  EXPECT_EQ(0u, server_.stats().kcp_datagrams_in_after_close);

  ASSERT_TRUE(client.PumpUntil([&] { return server_.close_acknowledged(); }));
  ASSERT_FALSE(client.messages().empty());
  EXPECT_EQ(Hex(std::string("\x04\0\0\x1F\x42\0\x07kicked\0", 14)), Hex(client.messages()[0]));
  EXPECT_GE(server_.stats().kcp_datagrams_in_after_close, 1u);
  EXPECT_EQ(0, server_.waitsnd());

  // A fresh login starts a new session with nothing of the closed one.
  RawClient second(server_.port());
  LogIn(second);
  EXPECT_EQ(KcpTestServer::State::kSession, server_.state());
  EXPECT_FALSE(server_.close_acknowledged());
}

TEST_F(KcpTestServerTest, MessagesGetThroughDropsInBothDirections) {
  server_.SetDropRates(0.1, 0.1);
  RawClient client(server_.port());
  LogIn(client);
  constexpr int kCount = 100;
  for (int i = 0; i < kCount; i++)
    client.SendMessage(TextMessage("message " + std::to_string(i)));
  ASSERT_TRUE(client.PumpUntil([&] { return client.messages().size() == kCount; }));
  for (int i = 0; i < kCount; i++)
    EXPECT_EQ(TextMessage("message " + std::to_string(i)), client.messages()[i]);
  EXPECT_EQ(static_cast<size_t>(kCount), server_.texts().size());
  const KcpTestServerStats stats = server_.stats();
  EXPECT_GT(stats.datagrams_dropped_in, 0u);
  EXPECT_GT(stats.kcp_datagrams_dropped_out, 0u);
}

TEST_F(KcpTestServerTest, ASilentServerTakesNothingAndSendsNothing) {
  RawClient client(server_.port());
  LogIn(client);
  server_.SetSilent(true);
  client.SendMessage(TextMessage("lost"));
  // Not even an acknowledgement comes back, so the client sends the text again.
  ASSERT_TRUE(client.PumpUntil([&] { return server_.stats().datagrams_ignored_silent >= 2; }));
  EXPECT_TRUE(server_.SendText("unheard"));
  std::string datagram;
  EXPECT_FALSE(client.Receive(&datagram, nullptr, 0));
  EXPECT_TRUE(server_.texts().empty());

  // Both engines retransmit once the server listens again.
  server_.SetSilent(false);
  ASSERT_TRUE(client.PumpUntil([&] { return client.messages().size() == 2; }));
  EXPECT_EQ(TextMessage("unheard"), client.messages()[0]);
  EXPECT_EQ(TextMessage("lost"), client.messages()[1]);
  EXPECT_EQ(std::vector<std::string>{"lost"}, server_.texts());
}

TEST_F(KcpTestServerTest, QueuedRepliesComeFirstThenTheConfiguredOne) {
  KcpLoginReply refusal = Reply(KcpLoginReply::Kind::kRefuse);
  refusal.code = 7;
  server_.QueueLoginReply(refusal);
  server_.QueueLoginReply(Reply(KcpLoginReply::Kind::kNone));
  RawClient client(server_.port());

  client.Send(LoginDatagram("t1"));
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(std::string("\0\0\0\x07", 4), reply.substr(2, 4));
  client.Send(LoginDatagram("t2"));
  ASSERT_TRUE(WaitUntil([&] { return server_.logins().size() == 2; }));
  EXPECT_FALSE(client.Receive(&reply, nullptr, 0));
  EXPECT_EQ(KcpTestServer::State::kWaitingLogin, server_.state());

  LogIn(client);
  EXPECT_EQ("d", server_.logins()[2].token);

  // An unsolicited reply starts yet another session, whose engine refuses the segments of
  // the old conversation.
  KcpLoginReply other;
  other.conv = 99;
  ASSERT_TRUE(server_.SendLoginReply(other));
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(std::string("\0\0\0\x63", 4), reply.substr(6, 4));
  client.SendMessage(TextMessage("old conv"));
  ASSERT_TRUE(WaitUntil([&] { return server_.stats().datagrams_refused_by_engine >= 1; }));
  EXPECT_TRUE(server_.texts().empty());
}

}  // namespace
}  // namespace zek_test
