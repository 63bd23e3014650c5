// ctest-labels: threading
#include "src/connection.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"

namespace tavix {
namespace im {
namespace {

// The base on its own: records its timer messages and shows its parameters.
class TestConnection : public Connection {
 public:
  bool ConnectServer(unsigned int, unsigned int) override { return true; }
  void DisConnectServer() override { thread_->Clear(this); }
  void OnMessage(rtc::Message* msg) override { fired.push_back(msg->id_); }

  const std::string& server_ip() const { return server_ip_; }
  int port_kcp() const { return server_port_kcp_; }
  int port_ws() const { return server_port_ws_; }
  int port_wss() const { return server_port_wss_; }
  const std::string& account_id() const { return account_id_; }
  const std::string& app_id() const { return app_id_; }
  const std::string& device_type() const { return device_type_; }
  const std::string& token() const { return token_; }
  const std::string& device_id() const { return device_id_; }
  const std::string& tls() const { return tls_; }
  rtc::Thread* thread() const { return thread_; }

  std::vector<uint32_t> fired;  // on the connection's thread
};

const char kFull[] =
    R"({"server_ip":"127.0.0.1","server_port_kcp":9000,"server_port_ws":9001,)"
    R"("server_port_wss":9002,"account_id":"acc","app_id":"app","device_type":"ios",)"
    R"("token":"tok","deviceid":"dev"})";

// kFull with one member's value replaced (or the member removed when value is empty).
std::string With(const std::string& key, const std::string& value) {
  std::string text = kFull;
  const std::string quoted = "\"" + key + "\":";
  const size_t start = text.find(quoted);
  if (start == std::string::npos) {
    text.insert(text.size() - 1, "," + quoted + value);
    return text;
  }
  size_t end = text.find_first_of(",}", start + quoted.size());
  if (text[start + quoted.size()] == '"')
    end = text.find('"', start + quoted.size() + 1) + 1;
  if (value.empty()) {
    const size_t from = (text[start - 1] == ',') ? start - 1 : start;
    const size_t to = (text[start - 1] == ',') ? end : end + 1;
    text.erase(from, to - from);
  } else {
    text.replace(start + quoted.size(), end - start - quoted.size(), value);
  }
  return text;
}

struct ParamCase {
  const char* name;
  std::string text;
  bool ok;
};

// Its name alone: gtest would print the raw bytes, pointers included.
void PrintTo(const ParamCase& c, std::ostream* os) {
  *os << c.name;
}

class ConnectionParamTest : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ConnectionParamTest, InitAcceptsOnlyUsableParameters) {
  TestConnection connection;
  bool ok = false;
  EXPECT_NO_THROW(ok = connection.Init(GetParam().text));
  EXPECT_EQ(GetParam().ok, ok) << GetParam().text;
  if (!ok) {
    EXPECT_EQ("", connection.server_ip()) << "a refused text stores nothing";
  }
}

std::string Nested(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Texts,
    ConnectionParamTest,
    ::testing::Values(ParamCase{"complete", kFull, true},
                      ParamCase{"extra_keys_ignored", With("extra", "[1,2]"), true},
                      ParamCase{"with_tls", With("tls", "\"enable\""), true},
                      ParamCase{"tls_null", With("tls", "null"), true},
                      ParamCase{"tls_object", With("tls", "{}"), false},
                      ParamCase{"server_ip_missing", With("server_ip", ""), false},
                      ParamCase{"deviceid_missing", With("deviceid", ""), false},
                      ParamCase{"token_null", With("token", "null"), false},
                      ParamCase{"server_ip_array", With("server_ip", "[\"1.2.3.4\"]"), false},
                      ParamCase{"account_object", With("account_id", "{\"a\":1}"), false},
                      ParamCase{"port_string", With("server_port_kcp", "\"9000\""), false},
                      ParamCase{"port_array", With("server_port_ws", "[9001]"), false},
                      ParamCase{"port_bool", With("server_port_wss", "true"), false},
                      ParamCase{"port_zero", With("server_port_kcp", "0"), false},
                      ParamCase{"port_negative", With("server_port_kcp", "-1"), false},
                      ParamCase{"port_too_large", With("server_port_kcp", "70000"), false},
                      ParamCase{"port_beyond_int", With("server_port_ws", "4294967296"), false},
                      ParamCase{"port_largest", With("server_port_wss", "65535"), true},
                      ParamCase{"port_fraction", With("server_port_kcp", "8080.9"), true},
                      ParamCase{"token_number", With("token", "12345"), true},
                      ParamCase{"array_root", "[1,2,3]", false},
                      ParamCase{"number_root", "42", false},
                      ParamCase{"string_root", "\"text\"", false},
                      ParamCase{"null_root", "null", false},
                      ParamCase{"empty_text", "", false},
                      ParamCase{"not_json", "server_ip=1.2.3.4", false},
                      ParamCase{"truncated", std::string(kFull).substr(0, 40), false},
                      ParamCase{"nested_beyond_reader_limit", Nested(5000), false}),
    [](const ::testing::TestParamInfo<ParamCase>& info) { return info.param.name; });

TEST(ConnectionParams, StoresEveryMember) {
  TestConnection connection;
  ASSERT_TRUE(connection.Init(With("tls", "\"enable\"")));
  EXPECT_EQ("127.0.0.1", connection.server_ip());
  EXPECT_EQ(9000, connection.port_kcp());
  EXPECT_EQ(9001, connection.port_ws());
  EXPECT_EQ(9002, connection.port_wss());
  EXPECT_EQ("acc", connection.account_id());
  EXPECT_EQ("app", connection.app_id());
  EXPECT_EQ("ios", connection.device_type());
  EXPECT_EQ("tok", connection.token());
  EXPECT_EQ("dev", connection.device_id());
  EXPECT_EQ("enable", connection.tls());
}

TEST(ConnectionParams, ConversionsFollowTheJsonLibrary) {
  TestConnection connection;
  ASSERT_TRUE(connection.Init(With("token", "12345")));
  EXPECT_EQ("12345", connection.token());
  ASSERT_TRUE(connection.Init(With("token", "true")));
  EXPECT_EQ("true", connection.token());
  ASSERT_TRUE(connection.Init(With("server_port_kcp", "8080.9")));
  EXPECT_EQ(8080, connection.port_kcp());
  // Without "tls" the earlier value stays.
  ASSERT_TRUE(connection.Init(With("tls", "\"enable\"")));
  ASSERT_TRUE(connection.Init(kFull));
  EXPECT_EQ("enable", connection.tls());
}

class ConnectionTimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = rtc::Thread::CreateWithSocketServer();
    ASSERT_TRUE(thread_->Start());
    zek_test::RunOn(thread_.get(), [this] { connection_ = std::make_unique<TestConnection>(); });
  }
  void TearDown() override {
    zek_test::RunOn(thread_.get(), [this] { connection_.reset(); });
    thread_->Stop();
  }

  // Removes and counts the connection's pending messages with `id`.
  size_t TakePending(uint32_t id) {
    rtc::MessageList removed;
    thread_->Clear(connection_.get(), id, &removed);
    return removed.size();
  }

  std::unique_ptr<rtc::Thread> thread_;
  std::unique_ptr<TestConnection> connection_;
};

TEST_F(ConnectionTimeoutTest, LivesOnTheThreadItWasCreatedOn) {
  EXPECT_EQ(thread_.get(), connection_->thread());
}

TEST_F(ConnectionTimeoutTest, OnePendingTimeoutPerIdAndNoneForNonPositiveTimes) {
  zek_test::RunOn(thread_.get(), [this] {
    connection_->StartTimeout(Connection::kConnectTimeoutId, 0);
    connection_->StartTimeout(Connection::kLoginTimeoutId, -5);
  });
  EXPECT_EQ(0u, TakePending(rtc::kAnyMessageId));

  zek_test::RunOn(thread_.get(), [this] {
    connection_->StartTimeout(Connection::kConnectTimeoutId, 10000);
    connection_->StartTimeout(Connection::kConnectTimeoutId, 10000);
    connection_->StartTimeout(Connection::kKeepAliveId, 10000);
  });
  EXPECT_EQ(1u, TakePending(Connection::kConnectTimeoutId));
  EXPECT_EQ(1u, TakePending(Connection::kKeepAliveId));
}

TEST_F(ConnectionTimeoutTest, CancelRemovesOneIdOrAll) {
  zek_test::RunOn(thread_.get(), [this] {
    connection_->StartTimeout(Connection::kConnectTimeoutId, 10000);
    connection_->StartTimeout(Connection::kKeepAliveId, 10000);
    connection_->StartTimeout(Connection::kPollKcpId, 10000);
    connection_->CancelMessageById(Connection::kKeepAliveId);
  });
  EXPECT_EQ(0u, TakePending(Connection::kKeepAliveId));
  zek_test::RunOn(thread_.get(), [this] { connection_->CancelTimeout(rtc::kAnyMessageId); });
  EXPECT_EQ(0u, TakePending(rtc::kAnyMessageId));
}

TEST_F(ConnectionTimeoutTest, ATimeoutComesBackToTheConnection) {
  zek_test::RunOn(thread_.get(), [this] {
    connection_->StartTimeout(Connection::kKeepAliveId, 5);
    connection_->StartTimeout(Connection::kConnectTimeoutId, 1);
  });
  std::vector<uint32_t> fired;
  ASSERT_TRUE(zek_test::WaitUntil([&] {
    zek_test::RunOn(thread_.get(), [&] { fired = connection_->fired; });
    return fired.size() == 2;
  }));
  EXPECT_EQ((std::vector<uint32_t>{Connection::kConnectTimeoutId, Connection::kKeepAliveId}),
            fired);
}

}  // namespace
}  // namespace im
}  // namespace tavix
