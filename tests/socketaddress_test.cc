#include "rtc_base/socketaddress.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

rtc::IPAddress Parse(const char* text) {
  rtc::IPAddress ip;
  EXPECT_TRUE(rtc::IPFromString(text, &ip)) << text;
  return ip;
}

TEST(SocketAddress, DefaultIsCleared) {
  rtc::SocketAddress addr;
  EXPECT_EQ("", addr.hostname());
  EXPECT_TRUE(rtc::IPIsUnspec(addr.ipaddr()));
  EXPECT_EQ(0, addr.port());
  EXPECT_EQ(0, addr.scope_id());
  EXPECT_EQ(AF_UNSPEC, addr.family());
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ(":0", addr.ToString());
}

// What the transports build from "server_ip" and a port, and how logs show it.
TEST(SocketAddress, FromHostText) {
  struct Case {
    const char* host;
    int port;
    int family;
    const char* uri_host;
    const char* text;
    bool unresolved;
    bool loopback;
    bool any;
  };
  const Case cases[] = {
      {"1.2.3.4", 80, AF_INET, "1.2.3.4", "1.2.3.4:80", false, false, false},
      {"::1", 443, AF_INET6, "[::1]", "[::1]:443", false, true, false},
      // A literal shows its canonical text, not the caller's: it is taken as an IP.
      {"0:0::1", 443, AF_INET6, "[::1]", "[::1]:443", false, true, false},
      {"127.0.0.1", 65535, AF_INET, "127.0.0.1", "127.0.0.1:65535", false, true, false},
      {"0.0.0.0", 0, AF_INET, "0.0.0.0", "0.0.0.0:0", false, false, true},
      {"im.example.invalid", 8080, AF_UNSPEC, "im.example.invalid", "im.example.invalid:8080", true,
       false, false},
      // An unresolved "localhost" is not loopback until it has an address.
      {"localhost", 80, AF_UNSPEC, "localhost", "localhost:80", true, false, false},
      {"", 0, AF_UNSPEC, "", ":0", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const rtc::SocketAddress addr(c.host, c.port);
    EXPECT_EQ(c.host, addr.hostname());
    EXPECT_EQ(c.port, addr.port());
    EXPECT_EQ(c.family, addr.family());
    EXPECT_EQ(c.uri_host, addr.HostAsURIString());
    EXPECT_EQ(c.uri_host, addr.HostAsSensitiveURIString());
    EXPECT_EQ(c.text, addr.ToString());
    EXPECT_EQ(c.text, addr.ToSensitiveString());
    EXPECT_EQ(c.unresolved, addr.IsUnresolvedIP());
    EXPECT_EQ(c.loopback, addr.IsLoopbackIP());
    EXPECT_EQ(c.any, addr.IsAnyIP());
  }
}

// The port is kept to its low 16 bits with no range check, so a caller that takes
// a port from outside must check it before building the address; these are the
// values such a check has to catch.
TEST(SocketAddress, PortKeepsLow16Bits) {
  struct Case {
    int in;
    int out;
  };
  const Case cases[] = {
      {0, 0}, {1, 1}, {65535, 65535}, {65536, 0}, {70000, 4464}, {-1, 65535}, {-65536, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    rtc::SocketAddress addr("1.2.3.4", c.in);
    EXPECT_EQ(c.out, addr.port());
    addr.SetPort(c.in);
    EXPECT_EQ(c.out, addr.port());
  }
  EXPECT_EQ("1.2.3.4:4464", rtc::SocketAddress("1.2.3.4", 70000).ToString());
}

TEST(SocketAddress, SetIPAddressDropsHostName) {
  rtc::SocketAddress addr("im.example.invalid", 80);
  addr.SetScopeID(4);
  addr.SetIP(Parse("10.0.0.1"));
  EXPECT_EQ("", addr.hostname());
  EXPECT_EQ("10.0.0.1:80", addr.ToString());
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ(0, addr.scope_id());

  rtc::SocketAddress v6(Parse("fe80::1"), 5);
  EXPECT_EQ("", v6.hostname());
  EXPECT_EQ("[fe80::1]:5", v6.ToString());
}

// Setting a name after an IP clears the IP: no stale address stays behind it.
TEST(SocketAddress, SetHostNameAfterIP) {
  rtc::SocketAddress addr(Parse("10.0.0.1"), 80);
  addr.SetScopeID(2);
  addr.SetIP("im.example.invalid");
  EXPECT_TRUE(rtc::IPIsUnspec(addr.ipaddr()));
  EXPECT_TRUE(addr.IsUnresolvedIP());
  EXPECT_EQ(0, addr.scope_id());
  EXPECT_EQ("im.example.invalid:80", addr.ToString());
}

TEST(SocketAddress, ResolvedNameKeepsName) {
  rtc::SocketAddress addr("im.example.invalid", 443);
  addr.SetScopeID(9);
  addr.SetResolvedIP(Parse("192.0.2.7"));
  EXPECT_EQ("im.example.invalid", addr.hostname());
  EXPECT_EQ(AF_INET, addr.family());
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ(0, addr.scope_id());
  // Logs keep showing the name the caller gave.
  EXPECT_EQ("im.example.invalid:443", addr.ToString());

  rtc::SocketAddress local("localhost", 80);
  local.SetResolvedIP(Parse("0.0.0.0"));
  EXPECT_TRUE(local.IsLoopbackIP());
  local.SetResolvedIP(Parse("::"));
  EXPECT_TRUE(local.IsLoopbackIP());
  rtc::SocketAddress other("otherhost", 80);
  other.SetResolvedIP(Parse("0.0.0.0"));
  EXPECT_FALSE(other.IsLoopbackIP());
}

TEST(SocketAddress, CopyCarriesEverything) {
  rtc::SocketAddress addr("fe80::1", 5);
  addr.SetScopeID(3);
  rtc::SocketAddress copy(addr);
  EXPECT_EQ(addr, copy);
  EXPECT_EQ(3, copy.scope_id());
  EXPECT_EQ("fe80::1", copy.hostname());
  rtc::SocketAddress assigned;
  assigned = addr;
  EXPECT_EQ(3, assigned.scope_id());
  EXPECT_EQ("[fe80::1]:5", assigned.ToString());
  addr.Clear();
  EXPECT_EQ(":0", addr.ToString());
  EXPECT_EQ("[fe80::1]:5", copy.ToString());
}

TEST(SocketAddress, Equality) {
  auto resolved = [](const char* name, const char* ip, int port) {
    rtc::SocketAddress a(name, port);
    a.SetResolvedIP(Parse(ip));
    return a;
  };
  struct Case {
    rtc::SocketAddress a;
    rtc::SocketAddress b;
    bool equal_ips;
    bool equal;
    const char* what;
  };
  const Case cases[] = {
      {rtc::SocketAddress("a.invalid", 80), rtc::SocketAddress("b.invalid", 80), false, false,
       "unresolved, different names"},
      {rtc::SocketAddress("a.invalid", 80), rtc::SocketAddress("a.invalid", 80), true, true,
       "unresolved, same name"},
      {rtc::SocketAddress("a.invalid", 80), rtc::SocketAddress("a.invalid", 81), true, false,
       "unresolved, same name, other port"},
      {resolved("a.invalid", "1.2.3.4", 80), resolved("b.invalid", "1.2.3.4", 80), true, true,
       "same IP, different names"},
      {resolved("a.invalid", "1.2.3.4", 80), rtc::SocketAddress(Parse("1.2.3.4"), 80), true, true,
       "named and bare, same IP"},
      {rtc::SocketAddress("1.2.3.4", 80), rtc::SocketAddress(Parse("1.2.3.4"), 80), true, true,
       "literal and bare"},
      {rtc::SocketAddress("1.2.3.4", 80), rtc::SocketAddress("1.2.3.5", 80), false, false,
       "different IPs"},
      {rtc::SocketAddress("1.2.3.4", 80), rtc::SocketAddress("::ffff:1.2.3.4", 80), false, false,
       "v4 and mapped v6"},
      // With an any address the names still decide.
      {resolved("a.invalid", "0.0.0.0", 80), resolved("b.invalid", "0.0.0.0", 80), false, false,
       "any IP, different names"},
      {rtc::SocketAddress("0.0.0.0", 80), rtc::SocketAddress(Parse("0.0.0.0"), 80), false, false,
       "any IP, literal text and no name"},
      {rtc::SocketAddress(), rtc::SocketAddress(), true, true, "two cleared"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.equal_ips, c.a.EqualIPs(c.b));
    EXPECT_EQ(c.equal, c.a == c.b);
    EXPECT_EQ(!c.equal, c.a != c.b);
  }
  EXPECT_TRUE(rtc::SocketAddress("1.2.3.4", 80).EqualPorts(rtc::SocketAddress("5.6.7.8", 80)));
  EXPECT_FALSE(rtc::SocketAddress("1.2.3.4", 80).EqualPorts(rtc::SocketAddress("1.2.3.4", 81)));
}

// Logging builds the text in a fixed buffer; an absurd name is cut, never overrun.
TEST(SocketAddress, ToStringOfLongNameIsCut) {
  const std::string name(2000, 'x');
  const rtc::SocketAddress addr(name, 80);
  EXPECT_EQ(std::string(1023, 'x'), addr.ToString());
  const std::string fits(1000, 'y');
  EXPECT_EQ(fits + ":80", rtc::SocketAddress(fits, 80).ToString());
}

TEST(SockAddrStorage, IPv4) {
  sockaddr_storage storage;
  memset(&storage, 0xAB, sizeof(storage));
  const size_t len = rtc::SocketAddress("192.0.2.1", 8080).ToSockAddrStorage(&storage);
  ASSERT_EQ(sizeof(sockaddr_in), len);
  const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(&storage);
  EXPECT_EQ(AF_INET, sin->sin_family);
  EXPECT_EQ(htons(8080), sin->sin_port);
  EXPECT_EQ(htonl(0xC0000201u), sin->sin_addr.s_addr);
  // The rest of the structure is zeroed, not left as it was.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&storage);
  for (size_t i = sizeof(sockaddr_in); i < sizeof(storage); ++i) {
    ASSERT_EQ(0, bytes[i]) << i;
  }

  rtc::SocketAddress back;
  ASSERT_TRUE(rtc::SocketAddressFromSockAddrStorage(storage, &back));
  EXPECT_EQ("192.0.2.1:8080", back.ToString());
  EXPECT_EQ("", back.hostname());
}

TEST(SockAddrStorage, IPv6RoundTripKeepsScope) {
  rtc::SocketAddress addr(Parse("fe80::1"), 5);
  addr.SetScopeID(3);
  sockaddr_storage storage;
  ASSERT_EQ(sizeof(sockaddr_in6), addr.ToSockAddrStorage(&storage));
  const sockaddr_in6* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  EXPECT_EQ(AF_INET6, sin6->sin6_family);
  EXPECT_EQ(htons(5), sin6->sin6_port);
  EXPECT_EQ(3u, sin6->sin6_scope_id);
  EXPECT_EQ(0u, sin6->sin6_flowinfo);

  rtc::SocketAddress back("stale.invalid", 1);
  ASSERT_TRUE(rtc::SocketAddressFromSockAddrStorage(storage, &back));
  EXPECT_EQ(addr.ipaddr(), back.ipaddr());
  EXPECT_EQ(5, back.port());
  EXPECT_EQ(3, back.scope_id());
  EXPECT_EQ("", back.hostname());
  EXPECT_FALSE(back.IsUnresolvedIP());
  EXPECT_EQ("[fe80::1]:5", back.ToString());
}

TEST(SockAddrStorage, NoFamily) {
  sockaddr_storage storage;
  memset(&storage, 0xAB, sizeof(storage));
  // An unresolved name has no IP to put in the structure.
  EXPECT_EQ(0u, rtc::SocketAddress("im.example.invalid", 80).ToSockAddrStorage(&storage));
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&storage);
  for (size_t i = 0; i < sizeof(storage); ++i) {
    ASSERT_EQ(0, bytes[i]) << i;
  }
  EXPECT_EQ(0u, rtc::SocketAddress().ToSockAddrStorage(nullptr));

  for (int family : {AF_UNSPEC, AF_UNIX}) {
    SCOPED_TRACE(family);
    sockaddr_storage in = {};
    in.ss_family = static_cast<sa_family_t>(family);
    rtc::SocketAddress out("10.1.2.3", 99);
    EXPECT_FALSE(rtc::SocketAddressFromSockAddrStorage(in, &out));
    EXPECT_EQ("10.1.2.3:99", out.ToString());
    EXPECT_EQ("10.1.2.3", out.hostname());
  }
  sockaddr_storage in = {};
  in.ss_family = AF_INET;
  EXPECT_FALSE(rtc::SocketAddressFromSockAddrStorage(in, nullptr));
}

}  // namespace
