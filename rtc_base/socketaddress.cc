#include "rtc_base/socketaddress.h"

#include <netinet/in.h>
#include <string.h>

#include "rtc_base/array_view.h"
#include "rtc_base/numerics/safe_conversions.h"
#include "rtc_base/strings/string_builder.h"

namespace rtc {

namespace {

size_t ToSockAddrStorageHelper(sockaddr_storage* out, IPAddress ip, uint16_t port, int scope_id) {
  memset(out, 0, sizeof(*out));
  out->ss_family = static_cast<sa_family_t>(ip.family());
  if (ip.family() == AF_INET6) {
    sockaddr_in6* saddr = reinterpret_cast<sockaddr_in6*>(out);
    saddr->sin6_addr = ip.ipv6_address();
    saddr->sin6_port = HostToNetwork16(port);
    saddr->sin6_scope_id = static_cast<uint32_t>(scope_id);
    return sizeof(sockaddr_in6);
  }
  if (ip.family() == AF_INET) {
    sockaddr_in* saddr = reinterpret_cast<sockaddr_in*>(out);
    saddr->sin_addr = ip.ipv4_address();
    saddr->sin_port = HostToNetwork16(port);
    return sizeof(sockaddr_in);
  }
  return 0;
}

}  // namespace

SocketAddress::SocketAddress() {
  Clear();
}

SocketAddress::SocketAddress(const std::string& host, int port) {
  Clear();
  SetIP(host);
  SetPort(port);
}

SocketAddress::SocketAddress(const IPAddress& ip, int port) {
  Clear();
  SetIP(ip);
  SetPort(port);
}

void SocketAddress::Clear() {
  hostname_.clear();
  ipaddr_ = IPAddress();
  port_ = 0;
  scope_id_ = 0;
  literal_ = false;
}

void SocketAddress::SetIP(const std::string& host) {
  hostname_ = host;
  // IPFromString leaves the unspecified address behind when the text is a name.
  literal_ = IPFromString(hostname_, &ipaddr_);
  scope_id_ = 0;
}

void SocketAddress::SetIP(const IPAddress& ip) {
  hostname_.clear();
  literal_ = false;
  ipaddr_ = ip;
  scope_id_ = 0;
}

void SocketAddress::SetResolvedIP(const IPAddress& ip) {
  ipaddr_ = ip;
  scope_id_ = 0;
}

void SocketAddress::SetPort(int port) {
  // The wrap is deliberate and documented: range checks belong to the callers.
  port_ = dchecked_cast<unsigned short>(port);
}

std::string SocketAddress::HostAsURIString() const {
  if (!literal_ && !hostname_.empty()) {
    return hostname_;
  }
  if (ipaddr_.family() == AF_INET6) {
    return "[" + ipaddr_.ToString() + "]";
  }
  return ipaddr_.ToString();
}

std::string SocketAddress::HostAsSensitiveURIString() const {
  if (!literal_ && !hostname_.empty()) {
    return hostname_;
  }
  if (ipaddr_.family() == AF_INET6) {
    return "[" + ipaddr_.ToSensitiveString() + "]";
  }
  return ipaddr_.ToSensitiveString();
}

std::string SocketAddress::ToString() const {
  char buf[1024];
  SimpleStringBuilder sb(buf);
  sb << HostAsURIString() << ":" << port();
  return sb.str();
}

std::string SocketAddress::ToSensitiveString() const {
  char buf[1024];
  SimpleStringBuilder sb(buf);
  sb << HostAsSensitiveURIString() << ":" << port();
  return sb.str();
}

bool SocketAddress::IsAnyIP() const {
  return IPIsAny(ipaddr_);
}

bool SocketAddress::IsLoopbackIP() const {
  return IPIsLoopback(ipaddr_) || (IPIsAny(ipaddr_) && hostname_ == "localhost");
}

bool SocketAddress::IsUnresolvedIP() const {
  return IPIsUnspec(ipaddr_) && !literal_ && !hostname_.empty();
}

bool SocketAddress::EqualIPs(const SocketAddress& other) const {
  return ipaddr_ == other.ipaddr_ &&
         ((!IPIsAny(ipaddr_) && !IPIsUnspec(ipaddr_)) || hostname_ == other.hostname_);
}

bool SocketAddress::EqualPorts(const SocketAddress& other) const {
  return port_ == other.port_;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  return EqualIPs(other) && EqualPorts(other);
}

size_t SocketAddress::ToSockAddrStorage(sockaddr_storage* out) const {
  if (!out) {
    return 0;
  }
  return ToSockAddrStorageHelper(out, ipaddr_, port_, scope_id_);
}

bool SocketAddressFromSockAddrStorage(const sockaddr_storage& in, SocketAddress* out) {
  if (!out) {
    return false;
  }
  if (in.ss_family == AF_INET) {
    const sockaddr_in* saddr = reinterpret_cast<const sockaddr_in*>(&in);
    *out = SocketAddress(IPAddress(saddr->sin_addr), NetworkToHost16(saddr->sin_port));
    return true;
  }
  if (in.ss_family == AF_INET6) {
    const sockaddr_in6* saddr = reinterpret_cast<const sockaddr_in6*>(&in);
    *out = SocketAddress(IPAddress(saddr->sin6_addr), NetworkToHost16(saddr->sin6_port));
    out->SetScopeID(static_cast<int>(saddr->sin6_scope_id));
    return true;
  }
  return false;
}

}  // namespace rtc
