// ctest-labels: threading
#include "src/mtu/mtu_probe.h"

#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "src/mtu/ping.h"
#include "tests/support/capabilities.h"

namespace {

using tavix::MtuProber;

constexpr auto kAtOnce = std::chrono::milliseconds(500);

// The echo requests with the probe's identifier seen on loopback while it lives:
// (sequence, size of the ICMP part).
class RequestRecorder {
 public:
  RequestRecorder() : socket_(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
  ~RequestRecorder() {
    if (socket_ >= 0)
      close(socket_);
  }
  bool ok() const { return socket_ >= 0; }

  // Reads what has arrived, waiting at most `quiet_ms` for more.
  std::vector<std::pair<unsigned short, size_t>> Take(int quiet_ms) {
    std::vector<std::pair<unsigned short, size_t>> requests;
    char buf[4096];
    pollfd pfd = {socket_, POLLIN, 0};
    while (poll(&pfd, 1, quiet_ms) == 1) {
      const ssize_t got = recv(socket_, buf, sizeof(buf), 0);
      if (got <= 0)
        break;
      const int ihl = (buf[0] & 0x0F) * 4;
      if (got < ihl + 8 || buf[ihl] != 8)
        continue;
      unsigned short id, seq;
      memcpy(&id, buf + ihl + 4, 2);
      memcpy(&seq, buf + ihl + 6, 2);
      if (id == tavix::Ping::kIdentifier)
        requests.emplace_back(seq, static_cast<size_t>(got - ihl));
    }
    return requests;
  }

 private:
  const int socket_;
};

TEST(MtuProberTest, TheFirstProbeIsAnsweredOnLoopbackAndNoOtherIsSent) {
  if (!zek_test::CanOpenRawSocket())
    GTEST_SKIP() << "needs a raw ICMP socket: run as root or with CAP_NET_RAW";
  RequestRecorder recorder;
  ASSERT_TRUE(recorder.ok());
  MtuProber prober("127.0.0.1");
  EXPECT_EQ(prober.MaxRtpPacketSize(), tavix::kDefaultMaxRtpPacketSize);

  prober.DoProbe();
  EXPECT_EQ(prober.MaxRtpPacketSize(), 1200);

  bool first_seen = false;
  for (const auto& request : recorder.Take(200)) {
    if (request.first == 0 && request.second == 1208)
      first_seen = true;
    // Other tests of this kind may run beside this one; only the sizes that follow
    // the first probe tell whether it went on after an answer.
    EXPECT_FALSE(request.first == 1 && request.second == 908) << "a second probe was sent";
    EXPECT_FALSE(request.first == 2 && request.second == 508) << "a third probe was sent";
  }
  EXPECT_TRUE(first_seen);
}

TEST(MtuProberTest, WithoutARawSocketTheResultIs550AtOnce) {
  int result = 0;
  std::chrono::steady_clock::duration took{};
  const bool dropped = zek_test::RunWithoutRawSockets([&] {
    MtuProber prober("127.0.0.1");
    const auto start = std::chrono::steady_clock::now();
    prober.DoProbe();
    took = std::chrono::steady_clock::now() - start;
    result = prober.MaxRtpPacketSize();
  });
  if (!dropped)
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  EXPECT_EQ(result, 550);
  EXPECT_LT(took, kAtOnce);
}

TEST(MtuProberTest, AHostNameThatCannotResolveGives550AtOnce) {
  // With a raw socket all three look-ups fail; without one nothing is looked up.
  MtuProber prober("name.invalid");
  const auto start = std::chrono::steady_clock::now();
  prober.DoProbe();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kAtOnce);
  EXPECT_EQ(prober.MaxRtpPacketSize(), 550);
}

}  // namespace
