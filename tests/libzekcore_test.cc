// ctest-labels: threading
#include "src/libzekcore.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/zek_manager.h"
#include "tests/support/capabilities.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/recording_observer.h"

namespace {

using tavix::im::g_zek_manager;
using zek_test::CoreEvent;
using zek_test::ImParamObject;
using zek_test::JsonText;
using zek_test::KcpTestServer;
using zek_test::RecordingObserver;

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
  // Refused quietly: no data, a negative length. (What a type other than these two
  // means is the transport's to say; the C API passes every type through.)
  SendUserMessage(nullptr, 5, tavix::im::kMsgText);
  SendUserMessage("abc", -1, tavix::im::kMsgText);
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

}  // namespace
