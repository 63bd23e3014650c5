// ctest-labels: threading
#include "rtc_base/asynctcpsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "rtc_base/physicalsocketserver.h"
#include "rtc_base/platform_thread_types.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "tests/support/count_text.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/paced_tcp_peer.h"
#include "tests/support/run_on.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zek_test::CountLines;
using zek_test::CountOf;
using zek_test::LoopbackTcpPeer;
using zek_test::PacedTcpPeer;

constexpr size_t kLimit = 65536;

SocketAddress Loopback(int port) {
  return SocketAddress("127.0.0.1", port);
}

// Bytes whose value depends on their offset in the stream, so that a lost, repeated
// or reordered piece shows. Never '!', which marks bytes that must not be sent.
std::string Pattern(size_t offset, size_t length) {
  std::string out(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    const uint32_t x = static_cast<uint32_t>(offset + i) * 2654435761u;
    out[i] = static_cast<char>('a' + (x >> 13) % 26);
  }
  return out;
}

// Newline framing over the base: each line, without its '\n', is one unit. It
// records what the base hands it and what the base emits; everything here belongs to
// the socket's thread.
class LineSocket : public AsyncTCPSocketBase {
 public:
  enum class Framing {
    kLines,
    kNothing,     // consumes nothing, ever
    kOverReport,  // reports one byte more left than it was handed
  };

  LineSocket(AsyncSocket* socket, size_t max_packet_size, bool listen = false)
      : AsyncTCPSocketBase(socket, listen, max_packet_size) {
    SignalStreamConnected.connect(this, &LineSocket::OnConnected);
    SignalStreamClosed.connect(this, &LineSocket::OnClosed);
    SignalSendReady.connect(this, &LineSocket::OnSendReady);
  }

  int Send(const void* data, size_t length, const PacketOptions& /*options*/) override {
    return SendRaw(data, length);
  }

  using AsyncTCPSocketBase::input_buffer_capacity;
  using AsyncTCPSocketBase::output_buffer_size;
  using AsyncTCPSocketBase::SendRaw;
  using AsyncTCPSocketBase::socket;

  Framing framing = Framing::kLines;
  std::vector<std::string> inputs;  // what each ProcessInput was handed
  std::vector<std::string> lines;
  int connected = 0;
  std::vector<int> closed;
  std::vector<size_t> send_ready;  // the output buffer's size at each SignalSendReady
  std::function<void()> on_send_ready;
  std::vector<std::unique_ptr<AsyncSocket>> accepted;
  std::vector<Socket::ConnectionState> accepted_states;

 protected:
  void ProcessInput(char* data, size_t* length) override {
    inputs.emplace_back(data, *length);
    switch (framing) {
      case Framing::kNothing:
        return;
      case Framing::kOverReport:
        *length += 1;
        return;
      case Framing::kLines:
        break;
    }
    size_t start = 0;
    while (const void* end = memchr(data + start, '\n', *length - start)) {
      const size_t line_end = static_cast<size_t>(static_cast<const char*>(end) - data);
      lines.emplace_back(data + start, line_end - start);
      start = line_end + 1;
    }
    memmove(data, data + start, *length - start);
    *length -= start;
  }

  void HandleIncomingConnection(AsyncSocket* socket) override {
    accepted.emplace_back(socket);
    accepted_states.push_back(socket->GetState());
  }

 private:
  void OnConnected(AsyncPacketSocket* /*socket*/) { ++connected; }
  void OnClosed(AsyncPacketSocket* /*socket*/, int error) { closed.push_back(error); }
  void OnSendReady(AsyncPacketSocket* /*socket*/) {
    send_ready.push_back(output_buffer_size());
    if (on_send_ready)
      on_send_ready();
  }
};

// Counts the readable events a socket raises.
class ReadCounter : public sigslot::has_slots<> {
 public:
  void OnRead(AsyncSocket* /*socket*/) { ++count; }
  std::atomic<int> count{0};
};

// A LineSocket on a worker thread from CreateWithSocketServer: created, used and
// destroyed there only.
class AsyncTCPSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    worker_ = Thread::CreateWithSocketServer();
    ASSERT_TRUE(worker_->Start());
  }
  void TearDown() override {
    Run([&] { socket_.reset(); });
    worker_->Stop();
  }

  void Run(const std::function<void()>& body) { zek_test::RunOn(worker_.get(), body); }
  bool WaitOn(const std::function<bool()>& pred) {
    return zek_test::WaitOnThread(worker_.get(), pred);
  }

  // Replaces socket_ with one connecting to 127.0.0.1:`port`. `configure` runs right
  // after construction, before any event reaches the new socket.
  void Connect(int port,
               size_t max_packet_size,
               int send_buffer = 0,
               const std::function<void(LineSocket*)>& configure = nullptr) {
    Run([&] {
      socket_.reset();
      AsyncSocket* raw = worker_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM);
      ASSERT_TRUE(raw);
      if (send_buffer > 0) {
        ASSERT_EQ(0, raw->SetOption(Socket::OPT_SNDBUF, send_buffer));
      }
      AsyncSocket* connecting = AsyncTCPSocketBase::ConnectSocket(raw, Loopback(0), Loopback(port));
      ASSERT_EQ(raw, connecting);
      socket_ = std::make_unique<LineSocket>(connecting, max_packet_size);
      if (configure)
        configure(socket_.get());
    });
    ASSERT_TRUE(socket_);
  }
  void ConnectAndWait(int port, size_t max_packet_size) {
    ASSERT_NO_FATAL_FAILURE(Connect(port, max_packet_size));
    ASSERT_TRUE(WaitOn([&] { return socket_->GetState() == AsyncPacketSocket::PS_CONNECTED; }));
  }

  std::unique_ptr<Thread> worker_;
  std::unique_ptr<LineSocket> socket_;
};

struct GrowthCase {
  const char* name;
  size_t limit;
  std::vector<std::string> lines;  // sent at once, each with a '\n'
  size_t first_input;              // the bytes the first ProcessInput sees
  size_t calls;                    // ProcessInput calls until every line is in
  size_t capacity;                 // the input buffer's capacity then
};

// Its name alone: gtest would print the raw bytes, pointers included.
void PrintTo(const GrowthCase& c, std::ostream* os) {
  *os << c.name;
}

class AsyncTCPSocketGrowthTest : public AsyncTCPSocketTest,
                                 public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(AsyncTCPSocketGrowthTest, ReadsEverythingWaitingAndGrowsByDoubling) {
  const GrowthCase& c = GetParam();
  LoopbackTcpPeer peer;
  ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), c.limit));
  ASSERT_TRUE(peer.WaitForConnection());
  Run([&] { EXPECT_EQ(128u, socket_->input_buffer_capacity()); });

  std::string payload;
  for (const std::string& line : c.lines)
    payload += line + "\n";
  // One send: loopback delivers it whole, so it all waits before the read event.
  peer.Send(payload);
  ASSERT_TRUE(WaitOn([&] { return socket_->lines.size() == c.lines.size(); }));
  Run([&] {
    EXPECT_EQ(c.lines, socket_->lines);
    ASSERT_FALSE(socket_->inputs.empty());
    EXPECT_EQ(c.first_input, socket_->inputs[0].size());
    EXPECT_EQ(payload.substr(0, c.first_input), socket_->inputs[0]);
    EXPECT_EQ(c.calls, socket_->inputs.size());
    EXPECT_EQ(c.capacity, socket_->input_buffer_capacity());
  });
}

INSTANTIATE_TEST_SUITE_P(
    Reads,
    AsyncTCPSocketGrowthTest,
    ::testing::Values(
        // 128 offered, 100 read: a short read ends the event.
        GrowthCase{"ShortFirstRead", kLimit, {std::string(99, 'a')}, 100, 1, 128},
        // A read that fills the space grows the buffer before the next one.
        GrowthCase{"FirstSpaceExactlyFilled", kLimit, {std::string(127, 'b')}, 128, 1, 256},
        // 128, grow to 256, 128, grow to 512, 44.
        GrowthCase{"ThreeReads", kLimit, {std::string(299, 'c')}, 300, 1, 512},
        // 128 + 128 + 44: full at the limit; the rest comes with the next event.
        GrowthCase{"GrowthStopsAtTheLimit",
                   300,
                   {std::string(99, 'd'), std::string(99, 'e'), std::string(99, 'f'),
                    std::string(99, 'g')},
                   300,
                   2,
                   300},
        // The first 128 bytes are reserved whatever the limit.
        GrowthCase{"LimitBelowTheFirstSpace",
                   64,
                   {std::string(99, 'h'), std::string(99, 'i')},
                   128,
                   2,
                   128}),
    [](const ::testing::TestParamInfo<GrowthCase>& info) { return std::string(info.param.name); });

TEST_F(AsyncTCPSocketTest, UnconsumedBytesComeFirstOnTheNextEvent) {
  LoopbackTcpPeer peer;
  ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), kLimit));
  ASSERT_TRUE(peer.WaitForConnection());
  peer.Send(std::string(289, 'x') + "\n" + "0123456789");
  ASSERT_TRUE(WaitOn([&] { return socket_->inputs.size() == 1; }));
  Run([&] {
    EXPECT_EQ(300u, socket_->inputs[0].size());
    EXPECT_THAT(socket_->lines, ElementsAre(std::string(289, 'x')));
  });
  peer.Send("abc\n");
  ASSERT_TRUE(WaitOn([&] { return socket_->lines.size() == 2; }));
  Run([&] {
    ASSERT_EQ(2u, socket_->inputs.size());
    EXPECT_EQ("0123456789abc\n", socket_->inputs[1]);
    EXPECT_EQ("0123456789abc", socket_->lines[1]);
  });
}

TEST_F(AsyncTCPSocketTest, ReadEventsThatReadNothing) {
  struct Case {
    const char* name;
    bool close_first;
    std::string log;  // what the event writes
  };
  const Case cases[] = {
      // The first Recv would block: quiet.
      {"would block", false, ""},
      // Any other failure is one line.
      {"closed socket", true, "Recv() returned error: " + std::to_string(EBADF)},
  };
  LoopbackTcpPeer peer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), kLimit));
    std::string log;
    Run([&] {
      if (c.close_first)
        socket_->Close();
      CaptureStderr();
      socket_->socket()->SignalReadable(socket_->socket());
      log = GetCapturedStderr();
      EXPECT_THAT(socket_->inputs, IsEmpty());
    });
    if (c.log.empty()) {
      EXPECT_EQ("", log);
    } else {
      EXPECT_EQ(1, CountLines(log));
      EXPECT_THAT(log, HasSubstr(c.log));
    }
  }
}

TEST_F(AsyncTCPSocketTest, CloseEventsReachTheStreamClosedSignal) {
  struct Case {
    const char* name;
    bool connects;
    std::function<void(LoopbackTcpPeer*)> end;
    int error;
  };
  const Case cases[] = {
      // Data sent just before an orderly end is read before the close.
      {"orderly end", true,
       [](LoopbackTcpPeer* peer) {
         peer->Send("last\n");
         peer->Close();
       },
       0},
      {"reset", true, [](LoopbackTcpPeer* peer) { peer->Reset(); }, ECONNRESET},
      {"nobody listening", false, nullptr, ECONNREFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackTcpPeer peer;
    zek_test::RefusingPort refusing;
    ASSERT_NE(0, refusing.port());
    ASSERT_NO_FATAL_FAILURE(Connect(c.connects ? peer.port() : refusing.port(), kLimit));
    if (c.connects) {
      ASSERT_TRUE(peer.WaitForConnection());
      ASSERT_TRUE(WaitOn([&] { return socket_->GetState() == AsyncPacketSocket::PS_CONNECTED; }));
      c.end(&peer);
    }
    ASSERT_TRUE(WaitOn([&] { return !socket_->closed.empty(); }));
    Run([&] {
      EXPECT_THAT(socket_->closed, ElementsAre(c.error));
      EXPECT_EQ(AsyncPacketSocket::PS_CLOSED, socket_->GetState());
      EXPECT_EQ(c.connects ? 1 : 0, socket_->connected);
      if (c.error == 0) {
        EXPECT_THAT(socket_->lines, ElementsAre("last"));
        // The read that met the end handed nothing over.
        EXPECT_EQ(1u, socket_->inputs.size());
      }
    });
  }
}

TEST_F(AsyncTCPSocketTest, StateFollowsTheSocket) {
  LoopbackTcpPeer peer;
  Run([&] {
    SocketServer* server = worker_->socketserver();
    {
      SCOPED_TRACE("never connected");
      LineSocket idle(server->CreateAsyncSocket(AF_INET, SOCK_STREAM), kLimit);
      EXPECT_EQ(AsyncPacketSocket::PS_CLOSED, idle.GetState());
    }
    {
      SCOPED_TRACE("listening");
      AsyncSocket* raw = server->CreateAsyncSocket(AF_INET, SOCK_STREAM);
      ASSERT_EQ(0, raw->Bind(Loopback(0)));
      LineSocket listener(raw, kLimit, true);
      EXPECT_EQ(AsyncPacketSocket::PS_BOUND, listener.GetState());
    }
  });
  ASSERT_NO_FATAL_FAILURE(Connect(peer.port(), kLimit));
  Run([&] {
    SCOPED_TRACE("connecting");
    // A loopback connect may also complete at once.
    const Socket::ConnectionState state = socket_->socket()->GetState();
    EXPECT_EQ(state == Socket::SOCKET_CONNECTING ? AsyncPacketSocket::PS_CONNECTING
                                                 : AsyncPacketSocket::PS_CONNECTED,
              socket_->GetState());
    EXPECT_NE(Socket::SOCKET_CLOSED, state);
  });
  ASSERT_TRUE(WaitOn([&] { return socket_->GetState() == AsyncPacketSocket::PS_CONNECTED; }));
  Run([&] {
    EXPECT_EQ(Socket::SOCKET_CONNECTED, socket_->socket()->GetState());
    EXPECT_EQ(Loopback(peer.port()), socket_->GetRemoteAddress());
    EXPECT_EQ(0, socket_->Close());
    EXPECT_EQ(AsyncPacketSocket::PS_CLOSED, socket_->GetState());
  });
}

TEST_F(AsyncTCPSocketTest, ListeningSocketHandsOverEachConnection) {
  SocketAddress address;
  std::unique_ptr<LineSocket> listener;
  Run([&] {
    AsyncSocket* raw = worker_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM);
    ASSERT_EQ(0, raw->Bind(Loopback(0)));
    listener = std::make_unique<LineSocket>(raw, kLimit, true);
    address = listener->GetLocalAddress();
  });
  ASSERT_NO_FATAL_FAILURE(Connect(address.port(), kLimit));
  ASSERT_TRUE(WaitOn([&] { return listener->accepted.size() == 1; }));
  Run([&] {
    EXPECT_THAT(listener->accepted_states, ElementsAre(Socket::SOCKET_CONNECTED));
    EXPECT_EQ(socket_->GetLocalAddress(), listener->accepted[0]->GetRemoteAddress());
    listener.reset();
  });

  // A socket that cannot listen: the object is built all the same.
  std::string log;
  Run([&] {
    CaptureStderr();
    LineSocket datagram(worker_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_DGRAM), kLimit,
                        true);
    log = GetCapturedStderr();
  });
  EXPECT_EQ(1, CountLines(log));
  EXPECT_THAT(log, HasSubstr("Listen() failed with error " + std::to_string(EOPNOTSUPP)));
}

// A real socket of the server whose destruction the test can see.
class ProbedSocket : public SocketDispatcher {
 public:
  ProbedSocket(PhysicalSocketServer* server, bool* deleted)
      : SocketDispatcher(server), deleted_(deleted) {}
  ~ProbedSocket() override { *deleted_ = true; }

 private:
  bool* const deleted_;
};

TEST(AsyncTCPSocketConnectTest, ConnectSocketDeletesTheSocketWhenItFails) {
  LoopbackTcpPeer peer;
  struct Case {
    const char* name;
    SocketAddress bind;
    SocketAddress remote;
    std::string log;  // empty: success
  };
  const Case cases[] = {
      {"bind address taken", Loopback(peer.port()), Loopback(peer.port()),
       "Bind() failed with error " + std::to_string(EADDRINUSE)},
      {"connect refused at once", Loopback(0), SocketAddress("::1", peer.port()),
       "Connect() failed with error " + std::to_string(EAFNOSUPPORT)},
      // Still under way when ConnectSocket returns.
      {"connect under way", Loopback(0), Loopback(peer.port()), ""},
  };
  PhysicalSocketServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool deleted = false;
    ProbedSocket* socket = new ProbedSocket(&server, &deleted);
    ASSERT_TRUE(socket->Create(AF_INET, SOCK_STREAM));
    CaptureStderr();
    AsyncSocket* result = AsyncTCPSocketBase::ConnectSocket(socket, c.bind, c.remote);
    const std::string log = GetCapturedStderr();
    if (c.log.empty()) {
      EXPECT_EQ(socket, result);
      EXPECT_FALSE(deleted);
      EXPECT_NE(Socket::SOCKET_CLOSED, socket->GetState());
      EXPECT_EQ("", log);
      delete result;
    } else {
      EXPECT_EQ(nullptr, result);
      EXPECT_TRUE(deleted);
      EXPECT_EQ(1, CountLines(log));
      EXPECT_THAT(log, HasSubstr(c.log));
    }
  }
}

TEST_F(AsyncTCPSocketTest, SendRawRefusesWhatWouldOverflowTheOutputBuffer) {
  // The peer takes nothing in, so that bytes stay queued in the output buffer.
  PacedTcpPeer peer(4096, 4096);
  peer.SetReading(false);
  ASSERT_NO_FATAL_FAILURE(Connect(peer.port(), kLimit, 4096));
  ASSERT_TRUE(peer.WaitForConnection());
  ASSERT_TRUE(WaitOn([&] { return socket_->GetState() == AsyncPacketSocket::PS_CONNECTED; }));

  struct Case {
    const char* name;
    size_t queued;  // the output buffer holds this much before the call
    size_t length;
    bool accepted;
  };
  const Case cases[] = {
      {"over the limit on an empty buffer", 0, kLimit + 1, false},
      {"600 more, 500 short of the limit", kLimit - 500, 600, false},
      {"exactly up to the limit", kLimit - 500, 500, true},
      {"one byte over a full buffer", kLimit, 1, false},
      {"nothing on a full buffer", kLimit, 0, true},
  };
  size_t offset = 0;  // the bytes accepted so far
  size_t ready_before = 0;
  Run([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      if (c.queued > 0) {
        // Until the socket takes no more, then queue up to the mark; every call
        // returns the whole length once its bytes are queued.
        for (int i = 0; i < 10000 && socket_->output_buffer_size() == 0; ++i) {
          ASSERT_EQ(4096, socket_->SendRaw(Pattern(offset, 4096).data(), 4096));
          offset += 4096;
        }
        for (int i = 0; i < 100 && socket_->output_buffer_size() < c.queued; ++i) {
          const size_t more = c.queued - socket_->output_buffer_size();
          ASSERT_EQ(static_cast<int>(more), socket_->SendRaw(Pattern(offset, more).data(), more));
          offset += more;
        }
      }
      ASSERT_EQ(c.queued, socket_->output_buffer_size());
      socket_->SetError(0);
      const std::string data = c.accepted ? Pattern(offset, c.length) : std::string(c.length, '!');
      const int result = socket_->SendRaw(data.data(), data.size());
      if (c.accepted) {
        EXPECT_EQ(static_cast<int>(c.length), result);
        // The socket takes nothing now; should it take a little, never more is held.
        EXPECT_LE(socket_->output_buffer_size(), c.queued + c.length);
        offset += c.length;
      } else {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(EMSGSIZE, socket_->GetError());
        EXPECT_EQ(c.queued, socket_->output_buffer_size());
      }
    }
    ready_before = socket_->send_ready.size();
  });

  // Everything accepted arrives once and in order, and nothing refused.
  peer.SetReading(true);
  ASSERT_TRUE(peer.WaitForReceived(offset));
  // The drained buffer is reported, and no report came while bytes were queued.
  ASSERT_TRUE(WaitOn([&] { return socket_->send_ready.size() > ready_before; }));
  EXPECT_EQ(Pattern(0, offset), peer.received());
  Run([&] {
    EXPECT_EQ(0u, socket_->output_buffer_size());
    for (size_t size : socket_->send_ready)
      EXPECT_EQ(0u, size);
  });
}

TEST_F(AsyncTCPSocketTest, SendRawOverADeadSocketQueuesNothing) {
  struct Case {
    const char* name;
    bool reset_by_peer;  // else closed here
  };
  const Case cases[] = {{"reset by the peer", true}, {"closed", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackTcpPeer peer;
    ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), kLimit));
    ASSERT_TRUE(peer.WaitForConnection());
    if (c.reset_by_peer) {
      peer.Reset();
      ASSERT_TRUE(WaitOn([&] { return !socket_->closed.empty(); }));
    } else {
      Run([&] { socket_->Close(); });
    }
    Run([&] {
      // Such bytes could never leave: the caller is told, and a retry is no double.
      EXPECT_EQ(-1, socket_->SendRaw("data", 4));
      const int error = socket_->GetError();
      EXPECT_NE(0, error);
      EXPECT_FALSE(IsBlockingError(error)) << error;
      EXPECT_NE(EMSGSIZE, error);
      EXPECT_EQ(0u, socket_->output_buffer_size());
    });
  }
}

TEST_F(AsyncTCPSocketTest, LargeTransferInPiecesArrivesExactlyOnce) {
  constexpr size_t kPiece = 64 * 1024;
  constexpr size_t kPieces = 16;
  // Small buffers both ways and a peer that takes 1 KiB at a time: no piece fits.
  PacedTcpPeer peer(4096, 1024);
  size_t pieces = 0;
  std::vector<int> results;
  int left_queued = 0;  // pieces of which the first write left bytes queued
  ASSERT_NO_FATAL_FAILURE(Connect(peer.port(), kLimit, 4096, [&](LineSocket* socket) {
    // Each piece goes out from the write event that reports the buffer drained.
    socket->on_send_ready = [&pieces, &results, &left_queued, socket] {
      if (pieces == kPieces)
        return;
      const std::string piece = Pattern(pieces * kPiece, kPiece);
      results.push_back(socket->SendRaw(piece.data(), piece.size()));
      left_queued += socket->output_buffer_size() > 0;
      ++pieces;
    };
  }));
  ASSERT_TRUE(peer.WaitForReceived(kPiece * kPieces, std::chrono::seconds(20)));
  EXPECT_EQ(Pattern(0, kPiece * kPieces), peer.received());
  // Once the last piece has drained, the socket says so.
  ASSERT_TRUE(WaitOn([&] { return socket_->send_ready.size() == kPieces + 1; }));
  Run([&] {
    EXPECT_EQ(std::vector<int>(kPieces, static_cast<int>(kPiece)), results);
    EXPECT_GT(left_queued, 0);
    EXPECT_EQ(0u, socket_->output_buffer_size());
    EXPECT_THAT(socket_->send_ready, ElementsAreArray(std::vector<size_t>(kPieces + 1, 0)));
  });
  EXPECT_EQ(kPiece * kPieces, peer.received_size());
}

TEST_F(AsyncTCPSocketTest, SendToGoesOnlyToThePeer) {
  LoopbackTcpPeer peer;
  ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), kLimit));
  ASSERT_TRUE(peer.WaitForConnection());
  struct Case {
    const char* name;
    SocketAddress destination;
    bool sent;
  };
  const Case cases[] = {
      {"the peer", Loopback(peer.port()), true},
      {"another port", Loopback(peer.port() == 65535 ? 1 : peer.port() + 1), false},
      {"another address", SocketAddress("127.0.0.2", peer.port()), false},
      {"no address", SocketAddress(), false},
  };
  std::string expected;
  Run([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const std::string data = std::string(c.name) + "\n";
      socket_->SetError(0);
      const int result = socket_->SendTo(data.data(), data.size(), c.destination, PacketOptions());
      if (c.sent) {
        EXPECT_EQ(static_cast<int>(data.size()), result);
        expected += data;
      } else {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(ENOTCONN, socket_->GetError());
      }
    }
  });
  ASSERT_TRUE(peer.WaitForReceived(expected.size()));
  EXPECT_EQ(expected, peer.received());
}

TEST_F(AsyncTCPSocketTest, InputThatCanNeverCompleteEndsTheStream) {
  struct Case {
    const char* name;
    LineSocket::Framing framing;
    std::string payload;
    std::vector<std::string> lines;  // what gets through
    bool fails;
  };
  std::string many_lines;
  std::vector<std::string> many;
  for (int i = 0; i < 128; ++i) {
    many.push_back(std::string(63, static_cast<char>('a' + i % 26)));
    many_lines += many.back() + "\n";
  }
  const Case cases[] = {
      {"never consumes, twice the limit",
       LineSocket::Framing::kNothing,
       std::string(8192, 'x'),
       {},
       true},
      // Nothing more arrives, yet no later read could complete the unit either.
      {"never consumes, exactly the limit",
       LineSocket::Framing::kNothing,
       std::string(4096, 'x'),
       {},
       true},
      {"a line longer than the limit",
       LineSocket::Framing::kLines,
       "short\n" + std::string(5000, 'y') + "\n",
       {"short"},
       true},
      {"lines that fit", LineSocket::Framing::kLines, many_lines, many, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackTcpPeer peer;
    ReadCounter reads;
    ASSERT_NO_FATAL_FAILURE(Connect(peer.port(), 4096, 0, [&](LineSocket* socket) {
      socket->framing = c.framing;
      socket->socket()->SignalReadable.connect(&reads, &ReadCounter::OnRead);
    }));
    ASSERT_TRUE(peer.WaitForConnection());
    ASSERT_TRUE(WaitOn([&] { return socket_->GetState() == AsyncPacketSocket::PS_CONNECTED; }));
    CaptureStderr();
    peer.Send(c.payload);
    if (!c.fails) {
      ASSERT_TRUE(WaitOn([&] { return socket_->lines.size() == c.lines.size(); }));
      EXPECT_EQ("", GetCapturedStderr());
      Run([&] {
        EXPECT_EQ(c.lines, socket_->lines);
        EXPECT_THAT(socket_->closed, IsEmpty());
        EXPECT_EQ(AsyncPacketSocket::PS_CONNECTED, socket_->GetState());
        socket_.reset();
      });
      continue;
    }
    ASSERT_TRUE(WaitOn([&] { return !socket_->closed.empty(); }));
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(1, CountOf(log, "input buffer overflow"));
    Run([&] {
      EXPECT_THAT(socket_->closed, ElementsAre(EMSGSIZE));
      EXPECT_EQ(EMSGSIZE, socket_->GetError());
      EXPECT_EQ(AsyncPacketSocket::PS_CLOSED, socket_->GetState());
      EXPECT_EQ(c.lines, socket_->lines);
      ASSERT_FALSE(socket_->inputs.empty());
      EXPECT_EQ(4096u, socket_->inputs.back().size());
    });
    // The peer sees the end of the stream.
    EXPECT_TRUE(peer.WaitForClientClose());

    // The worker goes on serving posted messages and, with nothing to do, sleeps:
    // no readable event keeps coming back.
    class Counter : public MessageHandler {
     public:
      void OnMessage(Message* /*message*/) override { ++count; }
      std::atomic<int> count{0};
    } counter;
    const int reads_after_close = reads.count;
    for (int i = 1; i <= 3; ++i) {
      worker_->Post(RTC_FROM_HERE, &counter);
      EXPECT_TRUE(zek_test::WaitUntil([&] { return counter.count == i; }));
    }
    int tid = 0;
    Run([&] { tid = CurrentThreadId(); });
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(tid); }));
    EXPECT_EQ(reads_after_close, reads.count);
    Run([&] { socket_.reset(); });
  }
}

TEST_F(AsyncTCPSocketTest, OverReportedRemainderEmptiesTheInputBuffer) {
  LoopbackTcpPeer peer;
  ASSERT_NO_FATAL_FAILURE(ConnectAndWait(peer.port(), kLimit));
  ASSERT_TRUE(peer.WaitForConnection());
  Run([&] { socket_->framing = LineSocket::Framing::kOverReport; });
  CaptureStderr();
  peer.Send("abc");
  ASSERT_TRUE(WaitOn([&] { return socket_->inputs.size() == 1; }));
  const std::string log = GetCapturedStderr();
  EXPECT_EQ(1, CountLines(log));
  EXPECT_THAT(log, HasSubstr("input buffer overflow"));
  Run([&] { socket_->framing = LineSocket::Framing::kLines; });
  // "abc" is gone; the connection goes on.
  peer.Send("def\n");
  ASSERT_TRUE(WaitOn([&] { return socket_->lines.size() == 1; }));
  Run([&] {
    EXPECT_EQ("def\n", socket_->inputs[1]);
    EXPECT_THAT(socket_->lines, ElementsAre("def"));
    EXPECT_EQ(AsyncPacketSocket::PS_CONNECTED, socket_->GetState());
  });
}

}  // namespace
}  // namespace rtc
