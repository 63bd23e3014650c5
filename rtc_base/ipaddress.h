#ifndef RTC_BASE_IPADDRESS_H_
#define RTC_BASE_IPADDRESS_H_

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

namespace rtc {

// ::ffff:0.0.0.0, the prefix of an IPv4 address mapped into IPv6.
extern const in6_addr kV4MappedPrefix;

// An IPv4 or IPv6 address, or no address at all (family 0, the unspecified
// address). A plain value: copies carry the family and all 16 bytes.
class IPAddress {
 public:
  IPAddress();
  explicit IPAddress(const in_addr& ip4);
  explicit IPAddress(const in6_addr& ip6);
  // The value is in host byte order, e.g. 0x7F000001 for 127.0.0.1.
  explicit IPAddress(uint32_t ip_in_host_byte_order);
  IPAddress(const IPAddress& other);
  IPAddress& operator=(const IPAddress& other);
  virtual ~IPAddress();

  // Same family and same address bytes; two unspecified addresses are equal.
  bool operator==(const IPAddress& other) const;
  bool operator!=(const IPAddress& other) const { return !(*this == other); }

  int family() const { return family_; }
  in_addr ipv4_address() const;
  in6_addr ipv6_address() const;

  // Dotted decimal or the platform's compressed IPv6 text; "" for no address.
  std::string ToString() const;
  // Addresses are not masked in this system's logs: the same text as ToString().
  std::string ToSensitiveString() const;

  // The IPv4 address in host byte order; 0 for any other family.
  uint32_t v4AddressAsHostOrderInteger() const;

 private:
  int family_;
  union {
    in_addr ip4;
    in6_addr ip6;
  } address_;
};

// Parses an IPv4 literal, else an IPv6 literal. On failure `out` is set to the
// unspecified address and false is returned.
bool IPFromString(const std::string& text, IPAddress* out);
// The address of a getaddrinfo() result of family AF_INET or AF_INET6; any other
// family leaves `out` untouched and gives false.
bool IPFromAddrInfo(const struct addrinfo* info, IPAddress* out);

bool IPIsUnspec(const IPAddress& ip);
// 0.0.0.0, :: and ::ffff:0.0.0.0.
bool IPIsAny(const IPAddress& ip);
// 127.0.0.0/8 and ::1; an IPv4-mapped loopback is not counted.
bool IPIsLoopback(const IPAddress& ip);
// The any-address of AF_INET or AF_INET6; the unspecified address for anything else.
IPAddress GetAnyIP(int family);

inline uint16_t HostToNetwork16(uint16_t n) {
  return htons(n);
}
inline uint16_t NetworkToHost16(uint16_t n) {
  return ntohs(n);
}
inline uint32_t HostToNetwork32(uint32_t n) {
  return htonl(n);
}
inline uint32_t NetworkToHost32(uint32_t n) {
  return ntohl(n);
}

// The platform's inet_ntop and inet_pton, unchanged.
const char* inet_ntop(int family, const void* src, char* dst, unsigned int size);
int inet_pton(int family, const char* src, void* dst);

}  // namespace rtc

#endif  // RTC_BASE_IPADDRESS_H_
