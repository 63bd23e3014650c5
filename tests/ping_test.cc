// ctest-labels: threading
#include "src/mtu/ping.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/capabilities.h"

namespace {

using tavix::Ping;

template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
  return os << c.name;
}

std::string Native16(unsigned short v) {
  char bytes[2];
  memcpy(bytes, &v, 2);
  return std::string(bytes, 2);
}

unsigned short Sum(const std::string& bytes) {
  std::unique_ptr<char[]> heap(new char[bytes.size() + 1]);
  memcpy(heap.get(), bytes.data(), bytes.size());
  return Ping::CheckSum(reinterpret_cast<const unsigned short*>(heap.get()),
                        static_cast<int>(bytes.size()));
}

struct ChecksumCase {
  const char* name;
  std::string bytes;
  std::string checksum;  // as it lies in memory
};

TEST(PingTest, ChecksumIsTheInternetChecksumInMemoryOrder) {
  const ChecksumCase cases[] = {
      // The worked example of RFC 1071: the sum 0xddf2 complemented, in network order.
      {"RFC 1071 example", std::string("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8), "\x22\x0d"},
      {"nothing", "", "\xff\xff"},
      {"zeros", std::string(2048, '\0'), "\xff\xff"},
      // Carries fold back into the low bits: 0xffff + 0x0001 gives 0x0001.
      {"a carry", std::string("\xff\xff\x00\x01", 4), "\xff\xfe"},
      {"an odd last byte counts padded with zero", "\x01", "\xfe\xff"},
  };
  for (const ChecksumCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Native16(Sum(c.bytes)), c.checksum);
    // A datagram that carries its own checksum sums to zero.
    if (c.bytes.size() % 2 == 0) {
      EXPECT_EQ(Sum(c.bytes + c.checksum), 0);
    }
  }
}

TEST(PingTest, EchoRequestHeaderUsesTheMachinesByteOrder) {
  char buf[16];
  memset(buf, 0x5a, sizeof(buf));
  Ping::SetupIcmpData(buf, 0x0102);
  const std::string expected =
      std::string("\x08\x00\x00\x00", 4) + Native16(110) + Native16(0x0102);
  EXPECT_EQ(std::string(buf, 8), expected);
  EXPECT_EQ(buf[8], 0x5a) << "only the 8-byte header is written";
}

// An IPv4 header of `ihl` words and then an ICMP header.
std::string Datagram(int ihl, unsigned char type, unsigned short id, unsigned short seq) {
  std::string out(static_cast<size_t>(ihl) * 4, '\0');
  out[0] = static_cast<char>(0x40 | ihl);
  out += std::string(1, static_cast<char>(type)) + std::string(3, '\0');
  return out + Native16(id) + Native16(seq);
}

struct ReplyCase {
  const char* name;
  std::string bytes;
  int result;
};

TEST(PingTest, ParseIcmpHeaderAcceptsOnlyOurEchoReply) {
  const std::string reply = Datagram(5, 0, 110, 9);
  const ReplyCase cases[] = {
      {"our echo reply", reply, 0},
      {"our echo reply after IP options", Datagram(6, 0, 110, 9), 0},
      {"with data after the header", reply + std::string(100, 'x'), 0},
      {"an echo request (ours, seen on loopback)", Datagram(5, 8, 110, 9), -1},
      {"destination unreachable", Datagram(5, 3, 110, 9), -1},
      {"another program's echo reply", Datagram(5, 0, 111, 9), -2},
      {"an ICMP header short by one byte", reply.substr(0, reply.size() - 1), -1},
      {"an IP header alone", reply.substr(0, 20), -1},
      {"options longer than the datagram", Datagram(15, 0, 110, 9).substr(0, 40), -1},
      {"nothing", "", -1},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly sized, so that reading past the datagram shows under the address sanitizer.
    std::unique_ptr<char[]> heap(new char[c.bytes.size()]);
    memcpy(heap.get(), c.bytes.data(), c.bytes.size());
    unsigned short seq = 0;
    EXPECT_EQ(Ping::ParseIcmpHeader(heap.get(), static_cast<int>(c.bytes.size()), &seq), c.result);
    if (c.result == 0) {
      EXPECT_EQ(seq, 9);
    }
  }
}

class PingLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zek_test::CanOpenRawSocket())
      GTEST_SKIP() << "needs a raw ICMP socket: run as root or with CAP_NET_RAW";
  }
};

struct ProbeCase {
  const char* name;
  const char* ip;  // null: the target host
  int size;
  bool answered;
};

TEST_F(PingLoopbackTest, ProbesOfEverySizeThatFitsAreAnsweredOnLoopback) {
  Ping ping("127.0.0.1");
  ASSERT_TRUE(ping.Init());
  const ProbeCase cases[] = {
      {"largest probe", "127.0.0.1", 1208, true},
      {"middle probe", "127.0.0.1", 908, true},
      {"smallest probe", "127.0.0.1", 508, true},
      {"a bare header", "127.0.0.1", 8, true},
      {"the whole buffer", "127.0.0.1", Ping::kBufferSize, true},
      {"the target host, looked up", nullptr, 1208, true},
      {"shorter than the header", "127.0.0.1", 7, false},
      {"larger than the buffer", "127.0.0.1", Ping::kBufferSize + 1, false},
      {"a negative size", "127.0.0.1", -1, false},
      {"not an address", "not.an.address", 508, false},
      {"an address out of range", "256.0.0.1", 508, false},
  };
  // Sequence numbers of their own: the prober's test watches loopback for the
  // sequence and size pairs of its later probes.
  unsigned short seq = 100;
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ping.DoProbe(seq++, c.ip, c.size), c.answered);
  }
}

TEST_F(PingLoopbackTest, SendsAnEchoRequestOfExactlyTheProbeSize) {
  // A second raw socket sees every ICMP datagram on loopback, the probe's request too.
  const int listener = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  ASSERT_GE(listener, 0);
  constexpr unsigned short kSeq = 4321;
  constexpr int kSize = 300;
  Ping ping;
  ASSERT_TRUE(ping.Init());
  ASSERT_TRUE(ping.DoProbe(kSeq, "127.0.0.1", kSize));

  bool seen = false;
  char buf[4096];
  pollfd pfd = {listener, POLLIN, 0};
  while (!seen && poll(&pfd, 1, 2000) == 1) {
    const ssize_t got = recv(listener, buf, sizeof(buf), 0);
    ASSERT_GT(got, 0);
    const int ihl = (buf[0] & 0x0F) * 4;
    const std::string icmp(buf + ihl, static_cast<size_t>(got - ihl));
    if (icmp.size() < 8 || icmp[0] != 8 || icmp.substr(4, 4) != Native16(110) + Native16(kSeq))
      continue;  // not the request of this test
    seen = true;
    EXPECT_EQ(icmp.size(), static_cast<size_t>(kSize));
    EXPECT_EQ(icmp[1], 0) << "code";
    EXPECT_EQ(icmp.substr(8), std::string(kSize - 8, '\0'));
    EXPECT_EQ(Sum(icmp), 0) << "the checksum does not cover the request";
    // Don't-fragment: the flag bit of the IP header's fragment field.
    EXPECT_NE(buf[6] & 0x40, 0) << "sent without don't-fragment";
  }
  close(listener);
  EXPECT_TRUE(seen);
}

TEST(PingTest, AHostNameThatCannotResolveFailsAtOnce) {
  Ping ping("name.invalid");
  ping.Init();  // with or without a raw socket: the look-up must not be what is slow
  const auto start = std::chrono::steady_clock::now();
  for (unsigned short seq = 0; seq < 3; seq++)
    EXPECT_FALSE(ping.DoProbe(seq, nullptr, 508));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(PingTest, WithoutARawSocketNothingIsSent) {
  const bool dropped = zek_test::RunWithoutRawSockets([] {
    Ping ping("127.0.0.1");
    EXPECT_FALSE(ping.has_socket());
    EXPECT_FALSE(ping.Init());
    EXPECT_FALSE(ping.DoProbe(0, "127.0.0.1", 508));
  });
  if (!dropped)
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
}

}  // namespace
