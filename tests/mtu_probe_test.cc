// ctest-labels: threading
#include "src/mtu/mtu_probe.h"

#include <linux/filter.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "src/mtu/ping.h"
#include "tests/support/capabilities.h"
#include "tests/support/wait.h"

namespace {

using tavix::MtuProber;
using Requests = std::vector<std::pair<unsigned short, size_t>>;

// A loopback address (all of 127.0.0.0/8 answers echo requests) that no other process
// of the test run probes: made from the process id, which no two live processes share.
// Other tests ping 127.0.0.1 with the same identifier at the same time, so only
// requests to this address are this test's own.
std::string OwnLoopbackAddress() {
  const unsigned pid = static_cast<unsigned>(getpid());
  return "127." + std::to_string(64 + ((pid >> 16) & 63)) + "." + std::to_string((pid >> 8) & 255) +
         "." + std::to_string(pid & 255);
}

// The echo requests with the probe's identifier sent to OwnLoopbackAddress() while it
// lives: (sequence, size of the ICMP part).
class RequestRecorder {
 public:
  RequestRecorder() : socket_(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {
    inet_pton(AF_INET, OwnLoopbackAddress().c_str(), &address_);
    // Only datagrams to that address are queued: the other tests' ICMP traffic would
    // fill the socket's buffer while this process waits to be scheduled, and what comes
    // after would be dropped.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16),  // the IPv4 destination
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address_.s_addr), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog program = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
    if (socket_ >= 0) {
      EXPECT_EQ(0, setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)));
    }
  }
  ~RequestRecorder() {
    if (socket_ >= 0)
      close(socket_);
  }
  bool ok() const { return socket_ >= 0; }

  // What has arrived, without waiting: a request lies here before its reply reaches the
  // prober, so every request of a probe that has returned is here already. (What came
  // before the filter was attached is sorted out here.)
  Requests Take() {
    Requests requests;
    char buf[4096];
    for (;;) {
      const ssize_t got = recv(socket_, buf, sizeof(buf), MSG_DONTWAIT);
      if (got <= 0)
        break;
      const int ihl = (buf[0] & 0x0F) * 4;
      if (got < ihl + 8 || buf[ihl] != 8 || memcmp(buf + 16, &address_, 4) != 0)
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
  in_addr address_ = {};
};

TEST(MtuProberTest, TheFirstProbeIsAnsweredOnLoopbackAndNoOtherIsSent) {
  if (!zek_test::CanOpenRawSocket())
    GTEST_SKIP() << "needs a raw ICMP socket: run as root or with CAP_NET_RAW";
  RequestRecorder recorder;
  ASSERT_TRUE(recorder.ok());
  MtuProber prober(OwnLoopbackAddress());
  EXPECT_EQ(prober.MaxRtpPacketSize(), tavix::kDefaultMaxRtpPacketSize);

  prober.DoProbe();
  EXPECT_EQ(prober.MaxRtpPacketSize(), 1200);
  EXPECT_EQ(recorder.Take(), (Requests{{0, 1208}}));
}

// A resolver under the test's control: it counts its look-ups and answers as told, or
// not at all until released. Its state outlives it, as an abandoned look-up may.
class TestResolver {
 public:
  // kOwnAddress answers OwnLoopbackAddress().
  enum class Answer { kNever, kNoAddress, kOwnAddress };

  explicit TestResolver(Answer answer) : state_(std::make_shared<State>()) {
    state_->answer = answer;
  }
  ~TestResolver() { Release(); }

  tavix::HostLookup Lookup() const {
    std::shared_ptr<State> state = state_;
    return [state](const std::string& /*host*/, in_addr* address) {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->calls++;
      state->released_cv.wait(lock,
                              [&] { return state->answer != Answer::kNever || state->released; });
      state->returned++;
      if (state->answer != Answer::kOwnAddress)
        return false;
      return inet_pton(AF_INET, OwnLoopbackAddress().c_str(), address) == 1;
    };
  }

  // Lets a look-up that never answers return (without an address).
  void Release() {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->released = true;
    }
    state_->released_cv.notify_all();
  }
  int calls() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->calls;
  }
  int returned() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->returned;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable released_cv;
    Answer answer = Answer::kNever;
    bool released = false;
    int calls = 0;
    int returned = 0;
  };
  std::shared_ptr<State> state_;
};

struct Probed {
  int result = 0;
  std::chrono::steady_clock::duration took{};
};

Probed Probe(const TestResolver& resolver, const std::string& host = "probe-target.example") {
  MtuProber prober(host, resolver.Lookup());
  const auto start = std::chrono::steady_clock::now();
  prober.DoProbe();
  return Probed{prober.MaxRtpPacketSize(), std::chrono::steady_clock::now() - start};
}

// "At once": nothing is looked up and nothing is sent, so neither the look-up's 1 s nor
// a reply's 1 s can be waited for. The resolver would answer, and its address would
// answer a probe.
TEST(MtuProberTest, WithoutARawSocketTheResultIs550AtOnce) {
  RequestRecorder recorder;  // on this thread, which keeps its raw sockets if it has any
  TestResolver resolver(TestResolver::Answer::kOwnAddress);
  int result = 0;
  const bool dropped = zek_test::RunWithoutRawSockets([&] { result = Probe(resolver).result; });
  if (!dropped)
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  EXPECT_EQ(result, 550);
  EXPECT_EQ(resolver.calls(), 0);
  if (recorder.ok()) {
    EXPECT_EQ(recorder.Take(), Requests{});
  }
}

TEST(MtuProberTest, AHostNameThatCannotResolveGives550AtOnce) {
  // With a raw socket the name is refused without asking the resolver; without one
  // nothing is looked up at all.
  TestResolver resolver(TestResolver::Answer::kOwnAddress);
  EXPECT_EQ(Probe(resolver, "name.invalid").result, 550);
  EXPECT_EQ(resolver.calls(), 0);
}

// One look-up serves all three probes, whatever it answers.
TEST(MtuProberTest, LooksTheHostUpOnceForTheThreeProbes) {
  if (!zek_test::CanOpenRawSocket())
    GTEST_SKIP() << "the look-up follows the raw socket: run as root or with CAP_NET_RAW";
  const struct {
    const char* name;
    TestResolver::Answer answer;
    int result;
    Requests sent;  // the first probe is answered at once, or nothing can be sent
  } cases[] = {
      {"no address", TestResolver::Answer::kNoAddress, 550, {}},
      {"an address that answers", TestResolver::Answer::kOwnAddress, 1200, {{0, 1208}}},
  };
  RequestRecorder recorder;
  ASSERT_TRUE(recorder.ok());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestResolver resolver(c.answer);
    EXPECT_EQ(Probe(resolver).result, c.result);
    EXPECT_EQ(resolver.calls(), 1);
    EXPECT_EQ(recorder.Take(), c.sent);
  }
}

// A resolver that never answers holds the probe for the look-up's 1 s and no longer;
// the look-up's thread ends by itself once the resolver returns. While it is still
// stuck, the next probe does not start another one behind it.
TEST(MtuProberTest, ALookUpThatNeverAnswersEndsTheProbeWithinItsBound) {
  if (!zek_test::CanOpenRawSocket())
    GTEST_SKIP() << "the look-up follows the raw socket: run as root or with CAP_NET_RAW";
  TestResolver silent(TestResolver::Answer::kNever);
  const Probed probed = Probe(silent);
  EXPECT_EQ(probed.result, 550);
  EXPECT_GE(probed.took, std::chrono::milliseconds(tavix::Ping::kTimeoutMs - 50));
  EXPECT_LT(probed.took, std::chrono::milliseconds(2 * tavix::Ping::kTimeoutMs));
  EXPECT_EQ(silent.calls(), 1);

  TestResolver next(TestResolver::Answer::kOwnAddress);
  EXPECT_EQ(Probe(next).result, 550);
  EXPECT_EQ(next.calls(), 0);

  silent.Release();
  EXPECT_TRUE(zek_test::WaitUntil([&] { return silent.returned() == 1; }));
  // Once it has ended, look-ups run again.
  EXPECT_TRUE(zek_test::WaitUntil([&] { return Probe(next).result == 1200; }));
}

}  // namespace
