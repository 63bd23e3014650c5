#include "rtc_base/ipaddress.h"

#include <string.h>

namespace rtc {

const in6_addr kV4MappedPrefix = {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0}}};

IPAddress::IPAddress() : family_(AF_UNSPEC) {
  memset(&address_, 0, sizeof(address_));
}

IPAddress::IPAddress(const in_addr& ip4) : family_(AF_INET) {
  // All 16 bytes are copied and the IPv6 bytes compared, so none may be left stale.
  memset(&address_, 0, sizeof(address_));
  address_.ip4 = ip4;
}

IPAddress::IPAddress(const in6_addr& ip6) : family_(AF_INET6) {
  address_.ip6 = ip6;
}

IPAddress::IPAddress(uint32_t ip_in_host_byte_order) : family_(AF_INET) {
  memset(&address_, 0, sizeof(address_));
  address_.ip4.s_addr = HostToNetwork32(ip_in_host_byte_order);
}

IPAddress::IPAddress(const IPAddress& other) : family_(other.family_) {
  memcpy(&address_, &other.address_, sizeof(address_));
}

IPAddress& IPAddress::operator=(const IPAddress& other) {
  family_ = other.family_;
  memcpy(&address_, &other.address_, sizeof(address_));
  return *this;
}

IPAddress::~IPAddress() = default;

bool IPAddress::operator==(const IPAddress& other) const {
  if (family_ != other.family_) {
    return false;
  }
  switch (family_) {
    case AF_INET:
      return memcmp(&address_.ip4, &other.address_.ip4, sizeof(address_.ip4)) == 0;
    case AF_INET6:
      return memcmp(&address_.ip6, &other.address_.ip6, sizeof(address_.ip6)) == 0;
    case AF_UNSPEC:
      return true;
    default:
      return false;
  }
}

in_addr IPAddress::ipv4_address() const {
  return address_.ip4;
}

in6_addr IPAddress::ipv6_address() const {
  return address_.ip6;
}

std::string IPAddress::ToString() const {
  if (family_ != AF_INET && family_ != AF_INET6) {
    return std::string();
  }
  char buf[INET6_ADDRSTRLEN] = {0};
  if (!rtc::inet_ntop(family_, &address_, buf, sizeof(buf))) {
    return std::string();
  }
  return std::string(buf);
}

std::string IPAddress::ToSensitiveString() const {
  return ToString();
}

uint32_t IPAddress::v4AddressAsHostOrderInteger() const {
  if (family_ != AF_INET) {
    return 0;
  }
  return NetworkToHost32(address_.ip4.s_addr);
}

bool IPFromString(const std::string& text, IPAddress* out) {
  if (!out) {
    return false;
  }
  in_addr addr4;
  if (rtc::inet_pton(AF_INET, text.c_str(), &addr4) > 0) {
    *out = IPAddress(addr4);
    return true;
  }
  in6_addr addr6;
  if (rtc::inet_pton(AF_INET6, text.c_str(), &addr6) > 0) {
    *out = IPAddress(addr6);
    return true;
  }
  *out = IPAddress();
  return false;
}

bool IPFromAddrInfo(const struct addrinfo* info, IPAddress* out) {
  if (!info || !info->ai_addr || !out) {
    return false;
  }
  if (info->ai_addr->sa_family == AF_INET) {
    if (info->ai_addrlen < sizeof(sockaddr_in)) {
      return false;
    }
    // ai_addr points at storage of the family's own structure; copy rather
    // than cast so that no alignment is assumed.
    sockaddr_in addr;
    memcpy(&addr, info->ai_addr, sizeof(addr));
    *out = IPAddress(addr.sin_addr);
    return true;
  }
  if (info->ai_addr->sa_family == AF_INET6) {
    if (info->ai_addrlen < sizeof(sockaddr_in6)) {
      return false;
    }
    sockaddr_in6 addr;
    memcpy(&addr, info->ai_addr, sizeof(addr));
    *out = IPAddress(addr.sin6_addr);
    return true;
  }
  return false;
}

bool IPIsUnspec(const IPAddress& ip) {
  return ip.family() == AF_UNSPEC;
}

bool IPIsAny(const IPAddress& ip) {
  switch (ip.family()) {
    case AF_INET:
      return ip == IPAddress(static_cast<uint32_t>(INADDR_ANY));
    case AF_INET6:
      return ip == IPAddress(in6addr_any) || ip == IPAddress(kV4MappedPrefix);
    default:
      return false;
  }
}

bool IPIsLoopback(const IPAddress& ip) {
  switch (ip.family()) {
    case AF_INET:
      return (ip.v4AddressAsHostOrderInteger() >> 24) == 127;
    case AF_INET6:
      return ip == IPAddress(in6addr_loopback);
    default:
      return false;
  }
}

IPAddress GetAnyIP(int family) {
  if (family == AF_INET) {
    return IPAddress(static_cast<uint32_t>(INADDR_ANY));
  }
  if (family == AF_INET6) {
    return IPAddress(in6addr_any);
  }
  return IPAddress();
}

const char* inet_ntop(int family, const void* src, char* dst, unsigned int size) {
  return ::inet_ntop(family, src, dst, size);
}

int inet_pton(int family, const char* src, void* dst) {
  return ::inet_pton(family, src, dst);
}

}  // namespace rtc
