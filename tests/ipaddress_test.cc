#include "rtc_base/ipaddress.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

in6_addr V6(const char* text) {
  in6_addr addr;
  EXPECT_EQ(1, ::inet_pton(AF_INET6, text, &addr)) << text;
  return addr;
}

rtc::IPAddress Parse(const char* text) {
  rtc::IPAddress ip;
  EXPECT_TRUE(rtc::IPFromString(text, &ip)) << text;
  return ip;
}

TEST(IPAddress, DefaultIsUnspecified) {
  rtc::IPAddress ip;
  EXPECT_EQ(AF_UNSPEC, ip.family());
  EXPECT_TRUE(rtc::IPIsUnspec(ip));
  EXPECT_EQ("", ip.ToString());
  EXPECT_EQ(0u, ip.v4AddressAsHostOrderInteger());
  const in6_addr bytes = ip.ipv6_address();
  EXPECT_EQ(0, memcmp(&bytes, &in6addr_any, sizeof(bytes)));
}

// The integer is host order; what is stored and handed out as in_addr is network order.
TEST(IPAddress, FromHostOrderInteger) {
  rtc::IPAddress ip(0x01020304u);
  EXPECT_EQ(AF_INET, ip.family());
  EXPECT_EQ("1.2.3.4", ip.ToString());
  EXPECT_EQ(0x01020304u, ip.v4AddressAsHostOrderInteger());
  const in_addr raw = ip.ipv4_address();
  const unsigned char expected[4] = {1, 2, 3, 4};
  EXPECT_EQ(0, memcmp(&raw, expected, 4));
  // The unused twelve bytes are zero, so an IPv4 address never carries old IPv6 bytes.
  const in6_addr all = ip.ipv6_address();
  const unsigned char zeros[12] = {0};
  EXPECT_EQ(0, memcmp(reinterpret_cast<const unsigned char*>(&all) + 4, zeros, 12));
}

TEST(IPAddress, FromStructsAndCopies) {
  in_addr v4;
  v4.s_addr = htonl(0xC0A80001u);
  rtc::IPAddress a(v4);
  EXPECT_EQ("192.168.0.1", a.ToString());
  EXPECT_EQ(0xC0A80001u, a.v4AddressAsHostOrderInteger());

  rtc::IPAddress b(V6("2001:db8::7"));
  EXPECT_EQ(AF_INET6, b.family());
  EXPECT_EQ("2001:db8::7", b.ToString());
  EXPECT_EQ(0u, b.v4AddressAsHostOrderInteger());

  rtc::IPAddress copy(b);
  EXPECT_EQ(b, copy);
  copy = a;
  EXPECT_EQ(a, copy);
  EXPECT_EQ(AF_INET, copy.family());
  EXPECT_NE(b, copy);
  EXPECT_EQ(a.ToSensitiveString(), a.ToString());
  EXPECT_EQ(b.ToSensitiveString(), b.ToString());
}

TEST(IPFromString, Texts) {
  struct Case {
    const char* text;
    bool ok;
    int family;
    const char* canonical;  // ToString() of the result
  };
  const Case cases[] = {
      {"1.2.3.4", true, AF_INET, "1.2.3.4"},
      {"0.0.0.0", true, AF_INET, "0.0.0.0"},
      {"255.255.255.255", true, AF_INET, "255.255.255.255"},
      {"::1", true, AF_INET6, "::1"},
      {"0:0:0:0:0:0:0:1", true, AF_INET6, "::1"},
      {"FE80::1", true, AF_INET6, "fe80::1"},
      {"::ffff:1.2.3.4", true, AF_INET6, "::ffff:1.2.3.4"},
      {"::", true, AF_INET6, "::"},
      {"", false, AF_UNSPEC, ""},
      {"localhost", false, AF_UNSPEC, ""},
      {"example.com", false, AF_UNSPEC, ""},
      {"1.2.3", false, AF_UNSPEC, ""},
      {"256.1.1.1", false, AF_UNSPEC, ""},
      {"1.2.3.4 ", false, AF_UNSPEC, ""},
      {" 1.2.3.4", false, AF_UNSPEC, ""},
      {"1.2.3.4:80", false, AF_UNSPEC, ""},
      {"[::1]", false, AF_UNSPEC, ""},
      {"fe80::1%3", false, AF_UNSPEC, ""},
      {"1::2::3", false, AF_UNSPEC, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    // Start from a real address: a failed parse must not leave it behind.
    rtc::IPAddress ip(0x0A000001u);
    EXPECT_EQ(c.ok, rtc::IPFromString(c.text, &ip));
    EXPECT_EQ(c.family, ip.family());
    EXPECT_EQ(c.canonical, ip.ToString());
  }
}

TEST(IPFromString, NullOut) {
  EXPECT_FALSE(rtc::IPFromString("1.2.3.4", nullptr));
}

TEST(IPAddress, Equality) {
  struct Case {
    rtc::IPAddress a;
    rtc::IPAddress b;
    bool equal;
    const char* what;
  };
  const Case cases[] = {
      {rtc::IPAddress(), rtc::IPAddress(), true, "two unspecified"},
      {Parse("1.2.3.4"), rtc::IPAddress(0x01020304u), true, "same v4 two ways"},
      {Parse("1.2.3.4"), Parse("1.2.3.5"), false, "different v4"},
      {Parse("::1"), Parse("0::1"), true, "same v6"},
      {Parse("::1"), Parse("::2"), false, "different v6"},
      {Parse("1.2.3.4"), Parse("::ffff:1.2.3.4"), false, "v4 and its mapped form"},
      {Parse("0.0.0.0"), rtc::IPAddress(), false, "any and unspecified"},
      {Parse("::"), rtc::IPAddress(), false, "v6 any and unspecified"},
      {Parse("0.0.0.0"), Parse("::"), false, "v4 any and v6 any"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.equal, c.a == c.b);
    EXPECT_EQ(c.equal, c.b == c.a);
    EXPECT_EQ(!c.equal, c.a != c.b);
  }
}

TEST(IPAddress, Predicates) {
  struct Case {
    rtc::IPAddress ip;
    bool any;
    bool loopback;
    bool unspec;
    const char* what;
  };
  const Case cases[] = {
      {Parse("0.0.0.0"), true, false, false, "0.0.0.0"},
      {Parse("::"), true, false, false, "::"},
      {Parse("::ffff:0.0.0.0"), true, false, false, "::ffff:0.0.0.0"},
      {Parse("::ffff:0.0.0.1"), false, false, false, "::ffff:0.0.0.1"},
      {Parse("127.0.0.1"), false, true, false, "127.0.0.1"},
      {Parse("127.255.0.1"), false, true, false, "127.255.0.1"},
      {Parse("126.255.255.255"), false, false, false, "126.255.255.255"},
      {Parse("128.0.0.1"), false, false, false, "128.0.0.1"},
      // Only the top byte decides; a byte-order slip would test the last one.
      {Parse("1.0.0.127"), false, false, false, "1.0.0.127"},
      {Parse("::1"), false, true, false, "::1"},
      {Parse("::ffff:127.0.0.1"), false, false, false, "::ffff:127.0.0.1"},
      {Parse("::2"), false, false, false, "::2"},
      {rtc::IPAddress(), false, false, true, "unspecified"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.any, rtc::IPIsAny(c.ip));
    EXPECT_EQ(c.loopback, rtc::IPIsLoopback(c.ip));
    EXPECT_EQ(c.unspec, rtc::IPIsUnspec(c.ip));
  }
}

TEST(IPAddress, V4MappedPrefixBytes) {
  const unsigned char expected[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(&rtc::kV4MappedPrefix, expected, 16));
}

TEST(GetAnyIP, Families) {
  EXPECT_EQ(Parse("0.0.0.0"), rtc::GetAnyIP(AF_INET));
  EXPECT_EQ(Parse("::"), rtc::GetAnyIP(AF_INET6));
  for (int family : {AF_UNSPEC, AF_UNIX, -1, 12345}) {
    SCOPED_TRACE(family);
    EXPECT_TRUE(rtc::IPIsUnspec(rtc::GetAnyIP(family)));
  }
}

TEST(IPFromAddrInfo, Families) {
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(0x7F000001u);
  sockaddr_in6 sin6 = {};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  sockaddr_storage other = {};
  other.ss_family = AF_UNIX;

  addrinfo info = {};
  rtc::IPAddress ip;

  info.ai_addr = reinterpret_cast<sockaddr*>(&sin);
  info.ai_addrlen = sizeof(sin);
  EXPECT_TRUE(rtc::IPFromAddrInfo(&info, &ip));
  EXPECT_EQ("127.0.0.1", ip.ToString());

  info.ai_addr = reinterpret_cast<sockaddr*>(&sin6);
  info.ai_addrlen = sizeof(sin6);
  EXPECT_TRUE(rtc::IPFromAddrInfo(&info, &ip));
  EXPECT_EQ("::1", ip.ToString());

  // Anything that is not an IP structure leaves the output as it was.
  const rtc::IPAddress before = ip;
  info.ai_addr = reinterpret_cast<sockaddr*>(&other);
  info.ai_addrlen = sizeof(other);
  EXPECT_FALSE(rtc::IPFromAddrInfo(&info, &ip));
  EXPECT_EQ(before, ip);

  info.ai_addr = nullptr;
  EXPECT_FALSE(rtc::IPFromAddrInfo(&info, &ip));
  EXPECT_FALSE(rtc::IPFromAddrInfo(nullptr, &ip));
  EXPECT_EQ(before, ip);
}

// A structure shorter than its family claims is refused instead of read past its end.
TEST(IPFromAddrInfo, RefusesShortStructure) {
  sockaddr_in6 sin6 = {};
  sin6.sin6_family = AF_INET6;
  addrinfo info = {};
  info.ai_addr = reinterpret_cast<sockaddr*>(&sin6);
  info.ai_addrlen = sizeof(sockaddr_in);
  rtc::IPAddress ip(0x01020304u);
  EXPECT_FALSE(rtc::IPFromAddrInfo(&info, &ip));
  EXPECT_EQ("1.2.3.4", ip.ToString());
}

TEST(IPFromAddrInfo, NumericLookUp) {
  addrinfo hints = {};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  ASSERT_EQ(0, getaddrinfo("127.0.0.1", nullptr, &hints, &result));
  rtc::IPAddress ip;
  EXPECT_TRUE(rtc::IPFromAddrInfo(result, &ip));
  EXPECT_EQ("127.0.0.1", ip.ToString());
  freeaddrinfo(result);
}

TEST(ByteOrder, BigEndianOnTheWire) {
  const uint16_t n16 = rtc::HostToNetwork16(0x1234);
  const unsigned char* b16 = reinterpret_cast<const unsigned char*>(&n16);
  EXPECT_EQ(0x12, b16[0]);
  EXPECT_EQ(0x34, b16[1]);
  EXPECT_EQ(0x1234, rtc::NetworkToHost16(n16));

  const uint32_t n32 = rtc::HostToNetwork32(0x12345678u);
  const unsigned char* b32 = reinterpret_cast<const unsigned char*>(&n32);
  EXPECT_EQ(0x12, b32[0]);
  EXPECT_EQ(0x78, b32[3]);
  EXPECT_EQ(0x12345678u, rtc::NetworkToHost32(n32));
}

TEST(InetWrappers, SameAsPlatform) {
  unsigned char buf[16];
  EXPECT_EQ(1, rtc::inet_pton(AF_INET, "10.0.0.1", buf));
  EXPECT_EQ(0, rtc::inet_pton(AF_INET, "10.0.0", buf));
  char text[INET6_ADDRSTRLEN];
  EXPECT_STREQ("10.0.0.1", rtc::inet_ntop(AF_INET, buf, text, sizeof(text)));
  // Too small a buffer fails rather than writing past it.
  char small[4];
  EXPECT_EQ(nullptr, rtc::inet_ntop(AF_INET, buf, small, sizeof(small)));
}

}  // namespace
