// ctest-labels: threading
#include "rtc_base/asyncudpsocket.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "rtc_base/physicalsocketserver.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "tests/support/count_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zek_test::CountLines;
using zek_test::RunOn;
using zek_test::WaitOnThread;
using Clock = std::chrono::steady_clock;

// A real socket of the server whose destruction the test can see.
class ProbedSocket : public SocketDispatcher {
 public:
  ProbedSocket(PhysicalSocketServer* server, bool* deleted)
      : SocketDispatcher(server), deleted_(deleted) {}
  ~ProbedSocket() override { *deleted_ = true; }

 private:
  bool* const deleted_;
};

// Records what a packet socket emits, and on which thread.
class PacketRecorder : public sigslot::has_slots<> {
 public:
  struct Packet {
    std::string data;
    SocketAddress remote;
    int64_t timestamp_us;
    int64_t second;
    Thread* thread;
  };

  void Attach(AsyncPacketSocket* socket) {
    socket->SignalPacketReceived.connect(this, &PacketRecorder::OnPacket);
    socket->SignalPacketSent.connect(this, &PacketRecorder::OnSent);
    socket->SignalSendReady.connect(this, &PacketRecorder::OnSendReady);
  }

  std::vector<Packet> packets;
  std::vector<SentPacket> sent;
  int send_ready = 0;
  // Runs inside SignalPacketReceived, after the packet is recorded.
  std::function<void(AsyncPacketSocket*, const Packet&)> on_packet;

 private:
  void OnPacket(AsyncPacketSocket* socket,
                const char* data,
                size_t length,
                const SocketAddress& remote,
                const PacketTime& time) {
    packets.push_back(Packet{std::string(data, length), remote, time.timestamp_us_,
                             time.not_before_, Thread::Current()});
    if (on_packet)
      on_packet(socket, packets.back());
  }
  void OnSent(AsyncPacketSocket* /*socket*/, const SentPacket& packet) { sent.push_back(packet); }
  void OnSendReady(AsyncPacketSocket* /*socket*/) { ++send_ready; }
};

// Notes, at each readable event, how many packets it brought.
class EventCounter : public sigslot::has_slots<> {
 public:
  EventCounter(const PacketRecorder* recorder, std::vector<size_t>* per_event)
      : recorder_(recorder), per_event_(per_event), seen_(recorder->packets.size()) {}
  void OnRead(AsyncSocket* /*socket*/) {
    per_event_->push_back(recorder_->packets.size() - seen_);
    seen_ = recorder_->packets.size();
  }

 private:
  const PacketRecorder* const recorder_;
  std::vector<size_t>* const per_event_;
  size_t seen_;
};

// Runs the server's passes on this thread until `pred` holds; bounded.
bool PumpUntil(PhysicalSocketServer* server, const std::function<bool()>& pred) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (Clock::now() > end)
      return false;
    server->Wait(10, true);
  }
  return true;
}

std::unique_ptr<AsyncUDPSocket> CreateBound(SocketServer* server,
                                            int family,
                                            const std::string& host) {
  return std::unique_ptr<AsyncUDPSocket>(AsyncUDPSocket::Create(
      server->CreateAsyncSocket(family, SOCK_DGRAM), SocketAddress(host, 0)));
}

TEST(AsyncUDPSocketTest, ExchangesDatagramsBetweenWorkerThreads) {
  std::unique_ptr<Thread> thread_a = Thread::CreateWithSocketServer();
  std::unique_ptr<Thread> thread_b = Thread::CreateWithSocketServer();
  ASSERT_TRUE(thread_a->Start());
  ASSERT_TRUE(thread_b->Start());
  // Each socket is created, used and destroyed on its own worker only.
  std::unique_ptr<AsyncUDPSocket> a;
  std::unique_ptr<AsyncUDPSocket> b;
  PacketRecorder recorder_a;
  PacketRecorder recorder_b;
  SocketAddress address_a;
  SocketAddress address_b;
  RunOn(thread_a.get(), [&] {
    a = CreateBound(thread_a->socketserver(), AF_INET, "127.0.0.1");
    ASSERT_TRUE(a);
    recorder_a.Attach(a.get());
    address_a = a->GetLocalAddress();
  });
  RunOn(thread_b.get(), [&] {
    b = CreateBound(thread_b->socketserver(), AF_INET, "127.0.0.1");
    ASSERT_TRUE(b);
    recorder_b.Attach(b.get());
    // Answers every datagram to where it came from, from inside the signal.
    recorder_b.on_packet = [](AsyncPacketSocket* socket, const PacketRecorder::Packet& packet) {
      const std::string reply = "re:" + packet.data;
      socket->SendTo(reply.data(), reply.size(), packet.remote, PacketOptions());
    };
    address_b = b->GetLocalAddress();
  });
  ASSERT_TRUE(a && b);
  EXPECT_EQ("127.0.0.1", address_a.ipaddr().ToString());
  EXPECT_NE(0, address_a.port());
  EXPECT_NE(address_a.port(), address_b.port());

  const int64_t before_us = TimeMicros();
  const std::vector<std::string> pings = {"ping 1", "ping 2", "ping 3"};
  RunOn(thread_a.get(), [&] {
    for (const std::string& ping : pings) {
      EXPECT_EQ(static_cast<int>(ping.size()),
                a->SendTo(ping.data(), ping.size(), address_b, PacketOptions()));
    }
  });
  ASSERT_TRUE(WaitOnThread(thread_a.get(), [&] { return recorder_a.packets.size() == 3; }));
  const int64_t after_us = TimeMicros();

  RunOn(thread_b.get(), [&] {
    ASSERT_EQ(3u, recorder_b.packets.size());
    for (size_t i = 0; i < pings.size(); ++i) {
      const PacketRecorder::Packet& packet = recorder_b.packets[i];
      EXPECT_EQ(pings[i], packet.data);
      EXPECT_EQ(address_a, packet.remote);
      EXPECT_EQ(thread_b.get(), packet.thread);
      EXPECT_GE(packet.timestamp_us, before_us);
      EXPECT_LE(packet.timestamp_us, after_us);
      EXPECT_EQ(0, packet.second);
    }
    EXPECT_EQ(3u, recorder_b.sent.size());
  });
  RunOn(thread_a.get(), [&] {
    for (size_t i = 0; i < pings.size(); ++i) {
      const PacketRecorder::Packet& packet = recorder_a.packets[i];
      EXPECT_EQ("re:" + pings[i], packet.data);
      EXPECT_EQ(address_b, packet.remote);
      EXPECT_EQ(thread_a.get(), packet.thread);
    }
    EXPECT_EQ(3u, recorder_a.sent.size());
    a.reset();
  });
  RunOn(thread_b.get(), [&] { b.reset(); });
  thread_a->Stop();
  thread_b->Stop();
}

TEST(AsyncUDPSocketTest, CreateDeletesTheSocketWhenBindFails) {
  PhysicalSocketServer server;
  zek_test::LoopbackUdpPeer holder(false);
  bool deleted = false;
  ProbedSocket* socket = new ProbedSocket(&server, &deleted);
  ASSERT_TRUE(socket->Create(AF_INET, SOCK_DGRAM));
  CaptureStderr();
  // The port is taken by the peer.
  AsyncUDPSocket* packet_socket =
      AsyncUDPSocket::Create(socket, SocketAddress("127.0.0.1", holder.port()));
  const std::string log = GetCapturedStderr();
  EXPECT_EQ(nullptr, packet_socket);
  EXPECT_TRUE(deleted);
  EXPECT_EQ(1, CountLines(log));
  EXPECT_THAT(log, HasSubstr("Bind() failed with error " + std::to_string(EADDRINUSE)));
}

TEST(AsyncUDPSocketTest, OwnsItsSocketAndIsAlwaysBound) {
  PhysicalSocketServer server;
  bool deleted = false;
  ProbedSocket* socket = new ProbedSocket(&server, &deleted);
  ASSERT_TRUE(socket->Create(AF_INET, SOCK_DGRAM));
  std::unique_ptr<AsyncUDPSocket> packet_socket(
      AsyncUDPSocket::Create(socket, SocketAddress("127.0.0.1", 0)));
  ASSERT_TRUE(packet_socket);
  EXPECT_EQ(AsyncPacketSocket::PS_BOUND, packet_socket->GetState());
  EXPECT_EQ(socket->GetLocalAddress(), packet_socket->GetLocalAddress());
  // Options and errors are the wrapped socket's.
  EXPECT_EQ(0, packet_socket->SetOption(Socket::OPT_RCVBUF, 8192));
  int value = 0;
  EXPECT_EQ(0, socket->GetOption(Socket::OPT_RCVBUF, &value));
  EXPECT_GE(value, 8192);
  packet_socket->SetError(EMSGSIZE);
  EXPECT_EQ(EMSGSIZE, socket->GetError());

  EXPECT_EQ(0, packet_socket->Close());
  EXPECT_EQ(AsyncPacketSocket::PS_BOUND, packet_socket->GetState());
  EXPECT_FALSE(deleted);
  packet_socket.reset();
  EXPECT_TRUE(deleted);
}

// Every send reports itself once, failed ones included, with the size and the IP
// overhead of the local address's family.
struct SentCase {
  const char* name;
  int family;
  const char* host;
  bool close_first;  // a closed socket has no local address (family 0)
  bool use_send;     // Send on an unconnected socket has no destination
  int64_t packet_id;
  size_t overhead;
  int error;  // 0: the send succeeds
};

// Its name alone: gtest would print the raw bytes, pointers included.
void PrintTo(const SentCase& c, std::ostream* os) {
  *os << c.name;
}

class AsyncUDPSocketSentTest : public ::testing::TestWithParam<SentCase> {};

TEST_P(AsyncUDPSocketSentTest, EmitsPacketSentOnce) {
  const SentCase& c = GetParam();
  PhysicalSocketServer server;
  std::unique_ptr<AsyncUDPSocket> socket = CreateBound(&server, c.family, c.host);
  ASSERT_TRUE(socket);
  PacketRecorder recorder;
  recorder.Attach(socket.get());
  const SocketAddress self = socket->GetLocalAddress();
  if (c.close_first)
    socket->Close();

  const std::string payload(100, 'p');
  PacketOptions options;
  if (c.packet_id != -1)
    options.packet_id_ = c.packet_id;
  const int64_t before_ms = TimeMillis();
  const int result = c.use_send ? socket->Send(payload.data(), payload.size(), options)
                                : socket->SendTo(payload.data(), payload.size(), self, options);
  const int64_t after_ms = TimeMillis();

  ASSERT_EQ(1u, recorder.sent.size());
  const SentPacket& sent = recorder.sent[0];
  EXPECT_EQ(c.packet_id, sent.packet_id_);
  EXPECT_GE(sent.send_time_ms_, before_ms);
  EXPECT_LE(sent.send_time_ms_, after_ms);
  EXPECT_EQ(100u, sent.info_.packet_size_);
  EXPECT_EQ(c.overhead, sent.info_.ip_overhead_);
  if (c.error == 0) {
    EXPECT_EQ(100, result);
    ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.packets.size() == 1; }));
    EXPECT_EQ(payload, recorder.packets[0].data);
    EXPECT_EQ(self, recorder.packets[0].remote);
  } else {
    EXPECT_EQ(-1, result);
    EXPECT_EQ(c.error, socket->GetError());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sends,
    AsyncUDPSocketSentTest,
    ::testing::Values(
        SentCase{"Ipv4DefaultOptions", AF_INET, "127.0.0.1", false, false, -1, 20, 0},
        SentCase{"Ipv6", AF_INET6, "::1", false, false, -1, 40, 0},
        SentCase{"PacketIdHandedBack", AF_INET, "127.0.0.1", false, false, 42, 20, 0},
        SentCase{"SendWithoutDestination", AF_INET, "127.0.0.1", false, true, -1, 20, EDESTADDRREQ},
        SentCase{"ClosedSocketHasNoOverhead", AF_INET, "127.0.0.1", true, false, -1, 0, EBADF}),
    [](const ::testing::TestParamInfo<SentCase>& info) { return std::string(info.param.name); });

// A UDP packet socket served by a socket server that the test pumps itself, so that
// it decides when events are dispatched; and a plain sender on 127.0.0.1.
class AsyncUDPSocketEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wrapped_ = server_.CreateAsyncSocket(AF_INET, SOCK_DGRAM);
    socket_.reset(AsyncUDPSocket::Create(wrapped_, SocketAddress("127.0.0.1", 0)));
    ASSERT_TRUE(socket_);
    recorder_.Attach(socket_.get());
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender_, 0);
    const uint16_t port = zek_test::BindLoopback(sender_);
    ASSERT_NE(0, port);
    sender_address_ = SocketAddress("127.0.0.1", port);
  }
  void TearDown() override {
    if (sender_ >= 0)
      close(sender_);
  }

  void SendToSocket(const std::string& data) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(socket_->GetLocalAddress().port()));
    ASSERT_EQ(
        static_cast<ssize_t>(data.size()),
        sendto(sender_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
  }

  PhysicalSocketServer server_;
  AsyncSocket* wrapped_ = nullptr;  // owned by socket_
  std::unique_ptr<AsyncUDPSocket> socket_;
  PacketRecorder recorder_;
  int sender_ = -1;
  SocketAddress sender_address_;
};

TEST_F(AsyncUDPSocketEventTest, ReadsOneDatagramPerEvent) {
  struct Case {
    const char* name;
    std::vector<std::string> datagrams;
  };
  const Case cases[] = {
      {"empty datagram", {""}},
      {"two queued before the event", {"one", "two"}},
      {"three, one empty", {"a", "", "c"}},
      // The buffer takes the largest datagram IPv4 carries, uncut.
      {"largest datagram", {std::string(65507, 'z')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.packets.clear();
    const int64_t before_us = TimeMicros();
    for (const std::string& datagram : c.datagrams)
      SendToSocket(datagram);
    // Loopback delivers within sendto, so all of them wait in the socket before the
    // first event. What each readable event of the wrapped socket brought in is
    // noted by a slot that runs after the packet socket's own.
    std::vector<size_t> per_event;
    EventCounter counter(&recorder_, &per_event);
    wrapped_->SignalReadable.connect(&counter, &EventCounter::OnRead);
    ASSERT_TRUE(
        PumpUntil(&server_, [&] { return recorder_.packets.size() >= c.datagrams.size(); }));
    const int64_t after_us = TimeMicros();
    ASSERT_EQ(c.datagrams.size(), recorder_.packets.size());
    EXPECT_EQ(std::vector<size_t>(c.datagrams.size(), 1), per_event);
    for (size_t i = 0; i < c.datagrams.size(); ++i) {
      EXPECT_EQ(c.datagrams[i], recorder_.packets[i].data);
      EXPECT_EQ(sender_address_, recorder_.packets[i].remote);
      // The physical socket has no receive time of its own: the time of reading.
      EXPECT_GE(recorder_.packets[i].timestamp_us, before_us);
      EXPECT_LE(recorder_.packets[i].timestamp_us, after_us);
      EXPECT_EQ(0, recorder_.packets[i].second);
    }
  }
}

TEST_F(AsyncUDPSocketEventTest, FailedReceiveLogsAndEmitsNothing) {
  // A readable event with nothing to read: the read would block.
  CaptureStderr();
  wrapped_->SignalReadable(wrapped_);
  const std::string log = GetCapturedStderr();
  EXPECT_TRUE(recorder_.packets.empty());
  EXPECT_EQ(1, CountLines(log));
  EXPECT_THAT(log, HasSubstr("AsyncUDPSocket[" + socket_->GetLocalAddress().ToString() +
                             "] receive failed with error " + std::to_string(EWOULDBLOCK)));

  // The socket still reads what comes later.
  SendToSocket("later");
  ASSERT_TRUE(PumpUntil(&server_, [&] { return recorder_.packets.size() == 1; }));
  EXPECT_EQ("later", recorder_.packets[0].data);
}

TEST_F(AsyncUDPSocketEventTest, EveryWritableEventEmitsSendReady) {
  // A fresh UDP socket is writable once, in the first pass, and then silent.
  for (int i = 0; i < 3; ++i)
    server_.Wait(0, true);
  EXPECT_EQ(1, recorder_.send_ready);
  wrapped_->SignalWritable(wrapped_);
  wrapped_->SignalWritable(wrapped_);
  EXPECT_EQ(3, recorder_.send_ready);
  EXPECT_TRUE(recorder_.packets.empty());
  EXPECT_TRUE(recorder_.sent.empty());
}

}  // namespace
}  // namespace rtc
