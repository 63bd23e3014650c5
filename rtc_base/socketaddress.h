#ifndef RTC_BASE_SOCKETADDRESS_H_
#define RTC_BASE_SOCKETADDRESS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

#include "rtc_base/ipaddress.h"

namespace rtc {

// A host, given as an IP address or as a host name still to be resolved, and a
// 16-bit port. A plain value type.
class SocketAddress {
 public:
  SocketAddress();
  // `host` is parsed as an IP literal; anything else is kept as a host name with
  // an unspecified IP until SetResolvedIP.
  SocketAddress(const std::string& host, int port);
  SocketAddress(const IPAddress& ip, int port);
  SocketAddress(const SocketAddress& other) = default;
  SocketAddress& operator=(const SocketAddress& other) = default;

  void Clear();

  void SetIP(const std::string& host);
  void SetIP(const IPAddress& ip);
  // Fills in the IP of a named address; the host name stays.
  void SetResolvedIP(const IPAddress& ip);
  // Keeps the low 16 bits of `port` and nothing more: 70000 becomes 4464 and -1
  // becomes 65535. A caller holding a port from outside the program must check
  // the range 0..65535 itself before building an address.
  void SetPort(int port);
  void SetScopeID(int id) { scope_id_ = id; }

  const std::string& hostname() const { return hostname_; }
  const IPAddress& ipaddr() const { return ipaddr_; }
  int port() const { return port_; }
  int scope_id() const { return scope_id_; }
  int family() const { return ipaddr_.family(); }

  // The host name when there is one that is not an IP literal, otherwise the IP
  // text, IPv6 in brackets.
  std::string HostAsURIString() const;
  std::string HostAsSensitiveURIString() const;
  // HostAsURIString(), ":" and the decimal port: the text of an address in logs.
  std::string ToString() const;
  std::string ToSensitiveString() const;

  bool IsAnyIP() const;
  bool IsLoopbackIP() const;
  // A host name that has not been resolved yet.
  bool IsUnresolvedIP() const;

  // The IPs are equal and, when this one is any or unspecified, so are the host
  // names: two unresolved names compare by name.
  bool EqualIPs(const SocketAddress& other) const;
  bool EqualPorts(const SocketAddress& other) const;
  bool operator==(const SocketAddress& other) const;
  bool operator!=(const SocketAddress& other) const { return !(*this == other); }

  // Fills `out` for AF_INET or AF_INET6 and returns the length of the structure
  // used; 0 for an address of no family.
  size_t ToSockAddrStorage(sockaddr_storage* out) const;

 private:
  std::string hostname_;
  IPAddress ipaddr_;
  uint16_t port_;
  int scope_id_;
  bool literal_;
};

// The address of an AF_INET or AF_INET6 structure, with no host name. Any other
// family gives false and leaves `out` untouched.
bool SocketAddressFromSockAddrStorage(const sockaddr_storage& in, SocketAddress* out);

}  // namespace rtc

#endif  // RTC_BASE_SOCKETADDRESS_H_
