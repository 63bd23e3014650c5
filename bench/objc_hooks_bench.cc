// Cost of the autorelease pool that a thread opens around each message and each socket
// event: one push and pop of an empty pool, as a dispatch pays it (inside the pool of
// the wait around it); without Foundation, two empty calls. Beside it, for scale, the
// round trip of a datagram to a worker thread's socket and the event that takes it.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "rtc_base/asyncudpsocket.h"
#include "rtc_base/event.h"
#include "rtc_base/objc_hooks.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/thread.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/run_on.h"

namespace {

void BM_EmptyPoolPerDispatch(benchmark::State& state) {
  rtc::ScopedAutoreleasePool outer;
  for (auto _ : state) {
    rtc::ScopedAutoreleasePool pool;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EmptyPoolPerDispatch);

class Receiver : public sigslot::has_slots<> {
 public:
  void OnPacket(rtc::AsyncPacketSocket*,
                const char*,
                size_t,
                const rtc::SocketAddress&,
                const rtc::PacketTime&) {
    received.Set();
  }
  rtc::Event received{false, false};
};

// One datagram from this thread to a socket of a worker thread that sleeps in its
// socket server, and the worker's socket event that takes it.
void BM_SocketEventRoundTrip(benchmark::State& state) {
  std::unique_ptr<rtc::Thread> worker = rtc::Thread::CreateWithSocketServer();
  worker->Start();
  Receiver receiver;
  std::unique_ptr<rtc::AsyncUDPSocket> socket;
  zek_test::RunOn(worker.get(), [&] {
    socket.reset(
        rtc::AsyncUDPSocket::Create(worker->socketserver()->CreateAsyncSocket(AF_INET, SOCK_DGRAM),
                                    rtc::SocketAddress("127.0.0.1", 0)));
    socket->SignalPacketReceived.connect(&receiver, &Receiver::OnPacket);
  });
  const sockaddr_in to = zek_test::LoopbackSockAddr(socket->GetLocalAddress().port());
  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  for (auto _ : state) {
    sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    receiver.received.Wait(rtc::Event::kForever);
  }
  close(sender);
  zek_test::RunOn(worker.get(), [&] { socket.reset(); });
  worker->Stop();
}
BENCHMARK(BM_SocketEventRoundTrip)->UseRealTime();

}  // namespace
