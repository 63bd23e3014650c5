#ifndef SRC_MTU_PING_H_
#define SRC_MTU_PING_H_

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

namespace tavix {

// The public host that the MTU probe sends its echo requests to.
extern const std::string kTargetName;

// Looks a host name up: true, with its first IPv4 address, when it has one. Blocks its
// caller for as long as the resolver takes.
using HostLookup = std::function<bool(const std::string& host, in_addr* address)>;

// The system resolver (getaddrinfo, IPv4 only).
bool SystemHostLookup(const std::string& host, in_addr* address);

// Runs `lookup` on a thread of its own and waits at most `limit_ms` for it. A look-up
// that has not answered by then counts as failed; its thread ends by itself whenever
// the resolver gives up, holding nobody up. While such an abandoned look-up is still
// running, a new one fails at once: a resolver that does not answer the one will not
// answer the next, and no threads pile up behind it.
bool LookUpWithin(const HostLookup& lookup,
                  const std::string& host,
                  int limit_ms,
                  in_addr* address);

// ICMP echo over a raw socket (root or CAP_NET_RAW): one request of a given size, with
// don't-fragment set so that a size the path cannot carry goes unanswered, and a wait of
// at most 1 s for its reply. Identifier and sequence are written and compared in the
// machine's own byte order. Single-threaded; blocks its caller.
class Ping {
 public:
  static constexpr unsigned short kIdentifier = 110;
  static constexpr int kBufferSize = 2048;
  static constexpr int kIcmpHeaderSize = 8;
  static constexpr int kTimeoutMs = 1000;

  // Probes kTargetName.
  Ping();
  // Probes `target_host` (a host name or an IPv4 literal) when DoProbe gets no address,
  // looked up with `lookup`.
  explicit Ping(std::string target_host, HostLookup lookup = SystemHostLookup);
  ~Ping();
  Ping(const Ping&) = delete;
  Ping& operator=(const Ping&) = delete;

  // Sets the send and receive time-outs and don't-fragment; false without a raw socket
  // or when any of them cannot be set.
  bool Init();
  // Sends one echo request of `size` bytes (ICMP header included) to `ip`, an IPv4
  // literal, or, when `ip` is null, to the target host, looked up anew (see Resolve).
  // True when its reply (our identifier and `seq`, from that address) came within
  // kTimeoutMs; other ICMP traffic that reaches the raw socket meanwhile is skipped.
  bool DoProbe(unsigned short seq, const char* ip, int size);
  // The target host's IPv4 address as text, looked up within kTimeoutMs (an IPv4
  // literal is its own address); false when it has none or the look-up did not answer.
  bool Resolve(std::string* ip) const;

  bool has_socket() const { return sock_ >= 0; }

  // Writes the 8-byte echo request header with a zero checksum.
  static void SetupIcmpData(char* buf, unsigned short seq);
  // The Internet checksum (RFC 1071) of `len` bytes read as 16-bit words in the
  // machine's order; an odd last byte counts as if followed by a zero.
  static unsigned short CheckSum(const unsigned short* data, int len);
  // Reads a received IP datagram: 0 for an echo reply with our identifier (its sequence
  // into `seq` when given), -1 when it is no echo reply or too short to hold one, -2
  // for an echo reply with another identifier.
  static int ParseIcmpHeader(const char* buf, int len, unsigned short* seq = nullptr);

 private:
  bool Destination(const char* ip, sockaddr_in* dest) const;
  bool AwaitReply(unsigned short seq, const sockaddr_in& dest);
  // Platform seam: makes the kernel refuse to fragment what the socket sends.
  static bool SetDontFragment(int sock);

  int sock_;  // -1 when no raw socket could be opened
  const int buf_len_;
  std::unique_ptr<char[]> send_buf_;
  std::unique_ptr<char[]> recv_buf_;
  const std::string target_host_;
  const HostLookup lookup_;
};

}  // namespace tavix

#endif  // SRC_MTU_PING_H_
