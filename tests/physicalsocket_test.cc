// ctest-labels: threading
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtc_base/physicalsocketserver.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "tests/support/file_limit.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/run_on.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zek_test::LoopbackTcpPeer;
using zek_test::LoopbackUdpPeer;
using zek_test::RunOn;
using zek_test::ScopedFileLimit;
using Clock = std::chrono::steady_clock;

SocketAddress LoopbackAddress(int port) {
  return SocketAddress("127.0.0.1", port);
}

// Records a socket's signals, as "connect", "read", "write" and "close:<error>", with
// the socket's state as each slot saw it.
class Recorder : public sigslot::has_slots<> {
 public:
  explicit Recorder(AsyncSocket* socket) {
    socket->SignalConnected.connect(this, &Recorder::OnConnect);
    socket->SignalReadable.connect(this, &Recorder::OnRead);
    socket->SignalWritable.connect(this, &Recorder::OnWrite);
    socket->SignalClosed.connect(this, &Recorder::OnClose);
  }
  int Count(const std::string& event) const {
    int n = 0;
    for (const std::string& e : events) {
      n += e == event;
    }
    return n;
  }
  bool Has(const std::string& event) const { return Count(event) > 0; }

  std::vector<std::string> events;
  std::vector<Socket::ConnectionState> states;
  std::vector<Thread*> threads;
  std::function<void(AsyncSocket*)> on_read;

 private:
  void Note(const std::string& event, AsyncSocket* socket) {
    events.push_back(event);
    states.push_back(socket->GetState());
    threads.push_back(Thread::Current());
  }
  void OnConnect(AsyncSocket* socket) { Note("connect", socket); }
  void OnRead(AsyncSocket* socket) {
    Note("read", socket);
    if (on_read) {
      on_read(socket);
    }
  }
  void OnWrite(AsyncSocket* socket) { Note("write", socket); }
  void OnClose(AsyncSocket* socket, int error) { Note("close:" + std::to_string(error), socket); }
};

// Runs the server's passes on this thread until `pred` holds; bounded.
bool PumpUntil(PhysicalSocketServer* server, const std::function<bool()>& pred) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (Clock::now() > end) {
      return false;
    }
    server->Wait(10, true);
  }
  return true;
}

std::unique_ptr<AsyncSocket> NewSocket(PhysicalSocketServer* server, int type) {
  return std::unique_ptr<AsyncSocket>(server->CreateAsyncSocket(AF_INET, type));
}

uint32_t RequestedEvents(AsyncSocket* socket) {
  return static_cast<SocketDispatcher*>(socket)->GetRequestedEvents();
}

int Descriptor(AsyncSocket* socket) {
  return static_cast<SocketDispatcher*>(socket)->GetDescriptor();
}

TEST(PhysicalSocketTest, UdpSocketIsNonBlockingAndWritableOnce) {
  PhysicalSocketServer server;
  std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_DGRAM);
  ASSERT_TRUE(socket);
  EXPECT_TRUE(fcntl(Descriptor(socket.get()), F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(kIoRead | kIoWrite, RequestedEvents(socket.get()));
  EXPECT_EQ(Socket::SOCKET_CLOSED, socket->GetState());
  ASSERT_EQ(0, socket->Bind(LoopbackAddress(0)));
  const SocketAddress local = socket->GetLocalAddress();
  EXPECT_EQ("127.0.0.1", local.ipaddr().ToString());
  EXPECT_NE(0, local.port());

  Recorder recorder(socket.get());
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_THAT(recorder.events, ElementsAre("write"));
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_THAT(recorder.events, ElementsAre("write"));
  EXPECT_EQ(Socket::SOCKET_CLOSED, socket->GetState());
}

TEST(PhysicalSocketTest, UdpDatagramsComeWithOneReadableEachRead) {
  PhysicalSocketServer server;
  LoopbackUdpPeer peer(/*echo=*/false);
  std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_DGRAM);
  ASSERT_EQ(0, socket->Bind(LoopbackAddress(0)));
  const int port = socket->GetLocalAddress().port();
  Recorder recorder(socket.get());

  EXPECT_EQ(5, socket->SendTo("hello", 5, LoopbackAddress(peer.port())));
  ASSERT_TRUE(peer.WaitForDatagrams(1));
  EXPECT_EQ("hello", peer.datagrams()[0]);
  EXPECT_EQ(port, peer.last_sender_port());

  const std::vector<std::string> sent = {"one", "", "three"};
  for (const std::string& datagram : sent) {
    peer.SendTo(datagram, static_cast<uint16_t>(port));
  }
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("read"); }));
  // Silent until it reads, however much is waiting.
  for (int i = 0; i < 3; ++i) {
    server.Wait(0, true);
  }
  EXPECT_EQ(1, recorder.Count("read"));

  std::vector<std::string> got;
  while (got.size() < sent.size()) {
    char buf[64];
    SocketAddress source;
    int64_t timestamp = 0;
    const int n = socket->RecvFrom(buf, sizeof(buf), &source, &timestamp);
    if (n < 0) {
      ASSERT_TRUE(socket->IsBlocking()) << socket->GetError();
      const int reads = recorder.Count("read");
      ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Count("read") > reads; }));
      continue;
    }
    EXPECT_EQ(LoopbackAddress(peer.port()), source);
    EXPECT_EQ(-1, timestamp);
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  // An empty datagram is a datagram like any other.
  EXPECT_EQ(sent, got);
}

TEST(PhysicalSocketTest, TcpConnectReadWriteAndOrderlyClose) {
  PhysicalSocketServer server;
  LoopbackTcpPeer peer;
  std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_STREAM);
  ASSERT_TRUE(socket);
  // Nothing is asked for before Connect.
  EXPECT_EQ(0u, RequestedEvents(socket.get()));
  Recorder recorder(socket.get());
  ASSERT_EQ(0, socket->Connect(LoopbackAddress(peer.port())));
  EXPECT_NE(Socket::SOCKET_CLOSED, socket->GetState());
  EXPECT_EQ(-1, socket->Connect(LoopbackAddress(peer.port())));
  EXPECT_EQ(EALREADY, socket->GetError());

  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("write"); }));
  ASSERT_TRUE(peer.WaitForConnection());
  // Connected first, writable in a later pass; the slot already saw the new state.
  EXPECT_THAT(recorder.events, ElementsAre("connect", "write"));
  EXPECT_EQ(Socket::SOCKET_CONNECTED, recorder.states[0]);
  EXPECT_EQ(LoopbackAddress(peer.port()), socket->GetRemoteAddress());

  peer.Send("ping");
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("read"); }));
  char buf[16];
  // Reading nothing is not the end of the stream.
  EXPECT_EQ(0, socket->Recv(buf, 0, nullptr));
  ASSERT_EQ(4, socket->Recv(buf, sizeof(buf), nullptr));
  EXPECT_EQ("ping", std::string(buf, 4));

  EXPECT_EQ(4, socket->Send("pong", 4));
  ASSERT_TRUE(peer.WaitForReceived(4));
  EXPECT_EQ("pong", peer.received());

  // The last data and the end of the stream arrive together: the read that meets
  // the end would block now, and the close follows in the next pass.
  peer.Send("bye");
  peer.Close();
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Count("read") == 2; }));
  // Until the end of the stream is in as well.
  ASSERT_TRUE(zek_test::WaitUntil([&] {
    tcp_info info = {};
    socklen_t len = sizeof(info);
    getsockopt(Descriptor(socket.get()), IPPROTO_TCP, TCP_INFO, &info, &len);
    return info.tcpi_state == TCP_CLOSE_WAIT;
  }));
  ASSERT_EQ(3, socket->Recv(buf, sizeof(buf), nullptr));
  CaptureStderr();
  EXPECT_EQ(-1, socket->Recv(buf, sizeof(buf), nullptr));
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("): EOF from socket; deferring close event\n"));
  EXPECT_EQ(EWOULDBLOCK, socket->GetError());
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("close:0"); }));
  EXPECT_EQ(Socket::SOCKET_CLOSED, socket->GetState());
  EXPECT_EQ(Socket::SOCKET_CLOSED, recorder.states.back());
  EXPECT_EQ(1, recorder.Count("connect"));

  // Closing twice is harmless and unregisters once, without a warning.
  CaptureStderr();
  EXPECT_EQ(0, socket->Close());
  EXPECT_EQ(0, socket->Close());
  socket.reset();
  EXPECT_EQ("", GetCapturedStderr());
}

TEST(PhysicalSocketTest, EndsOfAConnectionComeAsCloseWithTheirError) {
  struct Case {
    const char* name;
    std::function<void(LoopbackTcpPeer*)> after_connect;
    bool refused;
    int expected_error;
  } const cases[] = {
      {"nothing listens", nullptr, true, ECONNREFUSED},
      {"the peer resets", [](LoopbackTcpPeer* peer) { peer->Reset(); }, false, ECONNRESET},
      {"the peer closes with nothing unread", [](LoopbackTcpPeer* peer) { peer->Close(); }, false,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhysicalSocketServer server;
    LoopbackTcpPeer peer;
    std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_STREAM);
    Recorder recorder(socket.get());
    zek_test::RefusingPort refusing;
    ASSERT_EQ(0, socket->Connect(LoopbackAddress(c.refused ? refusing.port() : peer.port())));
    if (c.after_connect) {
      ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("write"); }));
      ASSERT_TRUE(peer.WaitForConnection());
      c.after_connect(&peer);
    }
    const std::string expected = "close:" + std::to_string(c.expected_error);
    ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has(expected); }));
    EXPECT_EQ(c.refused ? 0 : 1, recorder.Count("connect"));
    EXPECT_EQ(Socket::SOCKET_CLOSED, socket->GetState());
    // Dead to the server: nothing more comes.
    const size_t seen = recorder.events.size();
    server.Wait(20, true);
    EXPECT_EQ(seen, recorder.events.size());
  }
}

TEST(PhysicalSocketTest, ListenAndAcceptGiveARegisteredConnectedSocket) {
  PhysicalSocketServer server;
  std::unique_ptr<AsyncSocket> listener = NewSocket(&server, SOCK_STREAM);
  ASSERT_EQ(0, listener->Bind(LoopbackAddress(0)));
  ASSERT_EQ(0, listener->Listen(5));
  EXPECT_EQ(Socket::SOCKET_CONNECTING, listener->GetState());
  Recorder listener_events(listener.get());

  std::unique_ptr<AsyncSocket> client = NewSocket(&server, SOCK_STREAM);
  ASSERT_EQ(0, client->Connect(listener->GetLocalAddress()));
  ASSERT_TRUE(PumpUntil(&server, [&] { return listener_events.Has("read"); }));
  SocketAddress peer_address;
  std::unique_ptr<AsyncSocket> accepted(listener->Accept(&peer_address));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(client->GetLocalAddress(), peer_address);
  EXPECT_EQ(Socket::SOCKET_CONNECTED, accepted->GetState());
  EXPECT_TRUE(fcntl(Descriptor(accepted.get()), F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(kIoRead | kIoWrite, RequestedEvents(accepted.get()));

  // Registered with the same server: it raises events there.
  Recorder accepted_events(accepted.get());
  ASSERT_TRUE(PumpUntil(&server, [&] { return accepted_events.Has("write"); }));
  EXPECT_EQ(3, client->Send("abc", 3));
  ASSERT_TRUE(PumpUntil(&server, [&] { return accepted_events.Has("read"); }));
  char buf[8];
  EXPECT_EQ(3, accepted->Recv(buf, sizeof(buf), nullptr));

  // A failed accept still leaves later connections reported.
  EXPECT_EQ(nullptr, listener->Accept(nullptr));
  EXPECT_TRUE(listener->IsBlocking());
  std::unique_ptr<AsyncSocket> second = NewSocket(&server, SOCK_STREAM);
  ASSERT_EQ(0, second->Connect(listener->GetLocalAddress()));
  ASSERT_TRUE(PumpUntil(&server, [&] { return listener_events.Count("read") == 2; }));
  std::unique_ptr<AsyncSocket> accepted_second(listener->Accept(nullptr));
  EXPECT_TRUE(accepted_second);
}

TEST(PhysicalSocketTest, BlockedSendAsksForWritableAgain) {
  PhysicalSocketServer server;
  LoopbackTcpPeer peer;
  std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_STREAM);
  Recorder recorder(socket.get());
  ASSERT_EQ(0, socket->SetOption(Socket::OPT_SNDBUF, 4096));
  ASSERT_EQ(0, socket->Connect(LoopbackAddress(peer.port())));
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Has("write"); }));
  ASSERT_TRUE(peer.WaitForConnection());
  peer.SetReading(false);

  // Fill every buffer on the way until a send would block.
  const std::string chunk(16384, 'x');
  size_t total = 0;
  int result;
  while ((result = socket->Send(chunk.data(), chunk.size())) > 0) {
    total += static_cast<size_t>(result);
    ASSERT_LT(total, size_t{64} << 20);
  }
  EXPECT_EQ(-1, result);
  EXPECT_EQ(EWOULDBLOCK, socket->GetError());
  EXPECT_TRUE(RequestedEvents(socket.get()) & kIoWrite);
  server.Wait(0, true);
  EXPECT_EQ(1, recorder.Count("write"));

  // Once the peer reads, the socket says it can send again.
  peer.SetReading(true);
  ASSERT_TRUE(PumpUntil(&server, [&] { return recorder.Count("write") == 2; }));
  ASSERT_TRUE(peer.WaitForReceived(total));
}

TEST(PhysicalSocketTest, OptionsTable) {
  PhysicalSocketServer server;
  std::unique_ptr<AsyncSocket> socket = NewSocket(&server, SOCK_STREAM);
  ASSERT_EQ(0, socket->Bind(LoopbackAddress(0)));
  struct Case {
    int option;
    const char* warning;  // null: silent
  } const refused[] = {
      {Socket::OPT_DONTFRAGMENT, "Socket::OPT_DONTFRAGMENT not supported."},
      {Socket::OPT_DSCP, "Socket::OPT_DSCP not supported."},
      {4, nullptr},
      {6, nullptr},
      {7, nullptr},
      {-1, nullptr},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.option);
    int value = 0;
    CaptureStderr();
    EXPECT_EQ(-1, socket->SetOption(static_cast<Socket::Option>(c.option), 10));
    EXPECT_EQ(-1, socket->GetOption(static_cast<Socket::Option>(c.option), &value));
    const std::string out = GetCapturedStderr();
    if (c.warning) {
      EXPECT_THAT(out, HasSubstr(std::string("): ") + c.warning + "\n"));
    } else {
      EXPECT_EQ("", out);
    }
  }

  EXPECT_EQ(0, socket->SetOption(Socket::OPT_NODELAY, 1));
  int nodelay = 0;
  socklen_t len = sizeof(nodelay);
  ASSERT_EQ(0, getsockopt(Descriptor(socket.get()), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len));
  EXPECT_EQ(1, nodelay);
  int value = 0;
  EXPECT_EQ(0, socket->GetOption(Socket::OPT_NODELAY, &value));
  EXPECT_EQ(1, value);
  for (Socket::Option option : {Socket::OPT_RCVBUF, Socket::OPT_SNDBUF}) {
    EXPECT_EQ(0, socket->SetOption(option, 8192));
    EXPECT_EQ(0, socket->GetOption(option, &value));
    EXPECT_GE(value, 8192);  // the kernel doubles what it is given
  }
}

TEST(PhysicalSocketTest, FailuresKeepTheirErrorInTheirOwnSocket) {
  PhysicalSocketServer server;
  // A family the platform refuses: no socket at all.
  EXPECT_EQ(nullptr, server.CreateAsyncSocket(12345, SOCK_STREAM));
  EXPECT_EQ(nullptr, server.CreateSocket(AF_INET, 12345));

  std::unique_ptr<AsyncSocket> a = NewSocket(&server, SOCK_STREAM);
  std::unique_ptr<AsyncSocket> b = NewSocket(&server, SOCK_STREAM);
  char buf[4];
  EXPECT_EQ(-1, a->Send("x", 1));
  EXPECT_EQ(-1, b->Recv(buf, sizeof(buf), nullptr));
  EXPECT_EQ(EPIPE, a->GetError());
  EXPECT_EQ(ENOTCONN, b->GetError());
  EXPECT_FALSE(a->IsBlocking());
  // A failed Recv on a stream leaves it without read events.
  EXPECT_EQ(0u, RequestedEvents(b.get()) & kIoRead);

  CaptureStderr();
  ASSERT_EQ(0, a->Close());
  EXPECT_EQ(SocketAddress(), a->GetLocalAddress());
  EXPECT_THAT(GetCapturedStderr(),
              HasSubstr("): GetLocalAddress: unable to get local addr, socket=-1\n"));
  // Binding twice: the second fails with the platform's number.
  ASSERT_EQ(0, b->Bind(LoopbackAddress(0)));
  EXPECT_EQ(-1, b->Bind(LoopbackAddress(0)));
  EXPECT_EQ(EINVAL, b->GetError());
}

TEST(PhysicalSocketTest, BlockingSocketRaisesNoEvents) {
  PhysicalSocketServer server;
  LoopbackUdpPeer peer(/*echo=*/true);
  std::unique_ptr<Socket> socket(server.CreateSocket(AF_INET, SOCK_DGRAM));
  ASSERT_TRUE(socket);
  ASSERT_EQ(0, socket->Bind(LoopbackAddress(0)));
  EXPECT_FALSE(fcntl(static_cast<PhysicalSocket*>(socket.get())->descriptor(), F_GETFL) &
               O_NONBLOCK);
  EXPECT_EQ(4, socket->SendTo("ping", 4, LoopbackAddress(peer.port())));
  char buf[8];
  // Blocks until the echo is back.
  EXPECT_EQ(4, socket->RecvFrom(buf, sizeof(buf), nullptr, nullptr));
}

TEST(PhysicalSocketTest, ManySocketsAndDescriptorsPastFdSetSize) {
  ScopedFileLimit limit(FD_SETSIZE + 400);
  if (!limit.ok()) {
    GTEST_SKIP() << "the descriptor limit cannot be raised";
  }
  PhysicalSocketServer server;
  LoopbackUdpPeer peer(/*echo=*/true);
  const SocketAddress to = LoopbackAddress(peer.port());

  // Every number below FD_SETSIZE taken, so the next sockets land above it.
  std::vector<int> fillers;
  for (int fd = dup(0); fd >= 0 && fd < FD_SETSIZE + 50; fd = dup(0)) {
    fillers.push_back(fd);
  }
  std::vector<std::unique_ptr<AsyncSocket>> sockets;
  std::vector<std::unique_ptr<Recorder>> recorders;
  for (int i = 0; i < 200; ++i) {
    sockets.push_back(NewSocket(&server, SOCK_DGRAM));
    ASSERT_TRUE(sockets.back());
    ASSERT_EQ(0, sockets.back()->Bind(LoopbackAddress(0)));
    recorders.push_back(std::make_unique<Recorder>(sockets.back().get()));
  }
  EXPECT_GE(Descriptor(sockets.front().get()), FD_SETSIZE);
  for (size_t i = 0; i < sockets.size(); ++i) {
    const std::string text = std::to_string(i);
    ASSERT_EQ(static_cast<int>(text.size()), sockets[i]->SendTo(text.data(), text.size(), to));
  }
  ASSERT_TRUE(PumpUntil(&server, [&] {
    for (auto& recorder : recorders) {
      if (!recorder->Has("read")) {
        return false;
      }
    }
    return true;
  }));
  for (size_t i = 0; i < sockets.size(); ++i) {
    char buf[8];
    const int n = sockets[i]->RecvFrom(buf, sizeof(buf), nullptr, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::to_string(i), std::string(buf, static_cast<size_t>(n)));
  }
  sockets.clear();
  for (int fd : fillers) {
    close(fd);
  }
}

// The error getaddrinfo gives for `name`, as the resolver asks.
int LookUpError(const char* name) {
  addrinfo hints = {};
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* result = nullptr;
  const int error = getaddrinfo(name, nullptr, &hints, &result);
  if (result) {
    freeaddrinfo(result);
  }
  return error;
}

// Sockets of the main thread's own server, whose loop runs the look-ups' completions.
class HostNameConnectTest : public ::testing::Test {
 protected:
  HostNameConnectTest() : main_(Thread::Current()) {}

  std::unique_ptr<AsyncSocket> NewMainSocket() {
    return std::unique_ptr<AsyncSocket>(
        main_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM));
  }
  bool RunUntil(const std::function<bool()>& pred) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (!pred()) {
      if (Clock::now() > end) {
        return false;
      }
      main_->ProcessMessages(10);
    }
    return true;
  }

  Thread* const main_;
};

TEST_F(HostNameConnectTest, ConnectsToTheFirstIpv4AddressOfTheName) {
  LoopbackTcpPeer peer;
  std::unique_ptr<AsyncSocket> socket = NewMainSocket();
  Recorder recorder(socket.get());
  CaptureStderr();
  EXPECT_EQ(0, socket->Connect(SocketAddress("localhost", peer.port())));
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_EQ(Socket::SOCKET_CONNECTING, socket->GetState());
  ASSERT_TRUE(RunUntil([&] { return recorder.Has("write"); }));
  EXPECT_THAT(recorder.events, ElementsAre("connect", "write"));
  EXPECT_EQ(Socket::SOCKET_CONNECTED, socket->GetState());
  ASSERT_TRUE(peer.WaitForConnection());
  EXPECT_EQ(LoopbackAddress(peer.port()), socket->GetRemoteAddress());
  EXPECT_EQ(2, socket->Send("hi", 2));
  EXPECT_TRUE(peer.WaitForReceived(2));
}

TEST_F(HostNameConnectTest, FailuresAfterTheLookUpComeAsClose) {
  struct Case {
    const char* name;
    const char* host;
    bool listening;
    int expected_error;
  } const cases[] = {
      // Refused by the resolver itself, without any network.
      {"a name that does not resolve", "bad..name", true, LookUpError("bad..name")},
      {"a name resolved where nothing listens", "localhost", false, ECONNREFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(0, c.expected_error);
    LoopbackTcpPeer peer;
    std::unique_ptr<AsyncSocket> socket = NewMainSocket();
    Recorder recorder(socket.get());
    zek_test::RefusingPort refusing;
    const int port = c.listening ? peer.port() : refusing.port();
    EXPECT_EQ(0, socket->Connect(SocketAddress(c.host, port)));
    const std::string expected = "close:" + std::to_string(c.expected_error);
    ASSERT_TRUE(RunUntil([&] { return recorder.Has(expected); }));
    EXPECT_EQ(0, recorder.Count("connect"));
    EXPECT_EQ(Socket::SOCKET_CLOSED, socket->GetState());
    if (c.listening) {
      // The failed look-up closed the socket, error kept; a new Connect makes a new
      // descriptor, registered as the old one was.
      EXPECT_EQ(c.expected_error, socket->GetError());
      EXPECT_EQ(0, socket->Connect(LoopbackAddress(peer.port())));
      ASSERT_TRUE(RunUntil([&] { return recorder.Has("connect"); }));
    }
  }
}

TEST_F(HostNameConnectTest, SocketClosedOrDestroyedDuringTheLookUpHearsNothing) {
  LoopbackTcpPeer peer;
  std::unique_ptr<AsyncSocket> closed = NewMainSocket();
  std::unique_ptr<AsyncSocket> destroyed = NewMainSocket();
  Recorder closed_events(closed.get());
  EXPECT_EQ(0, closed->Connect(SocketAddress("localhost", peer.port())));
  EXPECT_EQ(0, destroyed->Connect(SocketAddress("localhost", peer.port())));
  EXPECT_EQ(0, closed->Close());
  EXPECT_EQ(Socket::SOCKET_CLOSED, closed->GetState());
  destroyed.reset();

  // A look-up started later has finished, and so, most likely, have those two.
  std::unique_ptr<AsyncSocket> later = NewMainSocket();
  Recorder later_events(later.get());
  EXPECT_EQ(0, later->Connect(SocketAddress("localhost", peer.port())));
  ASSERT_TRUE(RunUntil([&] { return later_events.Has("connect"); }));
  main_->ProcessMessages(50);
  EXPECT_TRUE(closed_events.events.empty());
  EXPECT_EQ(1, peer.connections());
}

TEST(PhysicalSocketTest, WorkerThreadRunsSocketEventsAndTimersTogether) {
  LoopbackTcpPeer peer;
  std::unique_ptr<Thread> worker = Thread::CreateWithSocketServer();
  ASSERT_TRUE(worker->Start());
  // The socket lives and is used on the worker only.
  std::unique_ptr<AsyncSocket> socket;
  std::unique_ptr<Recorder> recorder;
  std::string received;
  class Timer : public MessageHandler {
   public:
    void OnMessage(Message*) override {
      ran_on = Thread::Current();
      ++count;
    }
    std::atomic<Thread*> ran_on{nullptr};
    std::atomic<int> count{0};
  } timer;
  RunOn(worker.get(), [&] {
    socket.reset(worker->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM));
    recorder = std::make_unique<Recorder>(socket.get());
    recorder->on_read = [&](AsyncSocket* s) {
      char buf[64];
      const int n = s->Recv(buf, sizeof(buf), nullptr);
      if (n > 0) {
        received.append(buf, static_cast<size_t>(n));
      }
    };
    EXPECT_EQ(0, socket->Connect(LoopbackAddress(peer.port())));
    worker->PostDelayed(RTC_FROM_HERE, 30, &timer, 1);
  });
  ASSERT_TRUE(peer.WaitForConnection());
  peer.Send("data");
  auto on_worker = [&](const std::function<bool()>& pred) {
    return zek_test::WaitUntil([&] {
      bool result = false;
      RunOn(worker.get(), [&] { result = pred(); });
      return result;
    });
  };
  ASSERT_TRUE(on_worker([&] { return received == "data"; }));
  RunOn(worker.get(), [&] { EXPECT_EQ(4, socket->Send("back", 4)); });
  ASSERT_TRUE(peer.WaitForReceived(4));
  EXPECT_EQ("back", peer.received());
  peer.Close();
  ASSERT_TRUE(on_worker([&] { return recorder->Has("close:0"); }));
  EXPECT_TRUE(zek_test::WaitUntil([&] { return timer.count == 1; }));
  RunOn(worker.get(), [&] {
    EXPECT_EQ(1, recorder->Count("connect"));
    EXPECT_TRUE(recorder->Has("write"));
    for (Thread* thread : recorder->threads) {
      EXPECT_EQ(worker.get(), thread);
    }
    recorder.reset();
    socket.reset();
  });
  EXPECT_EQ(worker.get(), timer.ran_on.load());
  worker->Stop();
}

}  // namespace
}  // namespace rtc
