#include "src/mtu/ping.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "rtc_base/timeutils.h"

namespace tavix {

const std::string kTargetName = "www.baidu.com";

namespace {

constexpr unsigned char kEchoRequest = 8;
constexpr unsigned char kEchoReply = 0;

// Names under "invalid" never resolve (RFC 6761), so they fail here without asking a
// resolver that may not answer for seconds.
bool IsInvalidName(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.')
    name.pop_back();
  for (char& c : name)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  static const char kSuffix[] = ".invalid";
  const size_t suffix_len = sizeof(kSuffix) - 1;
  return name.empty() || name == "invalid" ||
         (name.size() > suffix_len &&
          name.compare(name.size() - suffix_len, suffix_len, kSuffix) == 0);
}

// 1 while a look-up thread is running, abandoned or not; it clears it as it ends.
std::atomic<int> g_lookups_running{0};

// What a look-up thread hands to the one waiting for it; shared, as the waiter may give
// up and go first.
struct LookupResult {
  std::mutex mutex;
  std::condition_variable done_cv;
  // Guarded by mutex.
  bool done = false;
  bool found = false;
  in_addr address = {};
};

bool SetTimeout(int sock, int option) {
  timeval tv;
  tv.tv_sec = Ping::kTimeoutMs / 1000;
  tv.tv_usec = 0;
  return setsockopt(sock, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

}  // namespace

bool SystemHostLookup(const std::string& host, in_addr* address) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
    return false;
  bool found = false;
  if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in)) {
    *address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    found = true;
  }
  freeaddrinfo(result);
  return found;
}

bool LookUpWithin(const HostLookup& lookup,
                  const std::string& host,
                  int limit_ms,
                  in_addr* address) {
  int running = 0;
  if (!g_lookups_running.compare_exchange_strong(running, 1))
    return false;
  auto result = std::make_shared<LookupResult>();
  try {
    // The thread owns copies of everything it reads: its caller may be long gone when
    // the resolver returns.
    std::thread([result, lookup, host] {
      in_addr found_address = {};
      const bool found = lookup(host, &found_address);
      // Before the answer: a caller that has it may look up again at once.
      g_lookups_running--;
      {
        std::lock_guard<std::mutex> lock(result->mutex);
        result->found = found;
        result->address = found_address;
        result->done = true;
      }
      result->done_cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    g_lookups_running--;
    return false;
  }
  std::unique_lock<std::mutex> lock(result->mutex);
  if (!result->done_cv.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                [&] { return result->done; }) ||
      !result->found) {
    return false;
  }
  *address = result->address;
  return true;
}

Ping::Ping() : Ping(kTargetName) {}

Ping::Ping(std::string target_host, HostLookup lookup)
    : sock_(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)),
      buf_len_(kBufferSize),
      send_buf_(new char[kBufferSize]()),
      recv_buf_(new char[kBufferSize]()),
      target_host_(std::move(target_host)),
      lookup_(std::move(lookup)) {}

Ping::~Ping() {
  if (sock_ >= 0)
    close(sock_);
}

bool Ping::Init() {
  if (sock_ < 0)
    return false;
  // Without don't-fragment every size would come back answered, in fragments, and the
  // probe would measure nothing.
  return SetTimeout(sock_, SO_RCVTIMEO) && SetTimeout(sock_, SO_SNDTIMEO) && SetDontFragment(sock_);
}

bool Ping::DoProbe(unsigned short seq, const char* ip, int size) {
  if (sock_ < 0 || size < kIcmpHeaderSize || size > buf_len_)
    return false;
  sockaddr_in dest;
  if (!Destination(ip, &dest))
    return false;

  memset(send_buf_.get(), 0, static_cast<size_t>(buf_len_));
  memset(recv_buf_.get(), 0, static_cast<size_t>(buf_len_));
  SetupIcmpData(send_buf_.get(), seq);
  const unsigned short sum =
      CheckSum(reinterpret_cast<const unsigned short*>(send_buf_.get()), buf_len_);
  memcpy(send_buf_.get() + 2, &sum, sizeof(sum));

  if (sendto(sock_, send_buf_.get(), static_cast<size_t>(size), 0,
             reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) < 0) {
    return false;  // EMSGSIZE among others: larger than the path's known MTU
  }
  return AwaitReply(seq, dest);
}

bool Ping::Destination(const char* ip, sockaddr_in* dest) const {
  memset(dest, 0, sizeof(*dest));
  dest->sin_family = AF_INET;
  dest->sin_port = 0;
  if (ip)
    return inet_pton(AF_INET, ip, &dest->sin_addr) == 1;
  std::string resolved;
  return Resolve(&resolved) && inet_pton(AF_INET, resolved.c_str(), &dest->sin_addr) == 1;
}

bool Ping::Resolve(std::string* ip) const {
  in_addr address = {};
  if (inet_pton(AF_INET, target_host_.c_str(), &address) != 1) {
    if (IsInvalidName(target_host_) || !lookup_ ||
        !LookUpWithin(lookup_, target_host_, kTimeoutMs, &address)) {
      return false;
    }
  }
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &address, text, sizeof(text)))
    return false;
  ip->assign(text);
  return true;
}

bool Ping::AwaitReply(unsigned short seq, const sockaddr_in& dest) {
  // A raw ICMP socket sees every ICMP datagram the host receives: other programs'
  // replies, errors and, on loopback, our own request. Only our reply ends the wait.
  const int64_t deadline = rtc::SystemTimeMillis() + kTimeoutMs;
  for (;;) {
    const int64_t left = deadline - rtc::SystemTimeMillis();
    if (left <= 0)
      return false;
    pollfd pfd;
    pfd.fd = sock_;
    pfd.events = POLLIN;
    pfd.revents = 0;
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;

    sockaddr_in from;
    socklen_t from_len = sizeof(from);
    const ssize_t got = recvfrom(sock_, recv_buf_.get(), static_cast<size_t>(buf_len_),
                                 MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        continue;
      return false;
    }
    unsigned short reply_seq = 0;
    if (ParseIcmpHeader(recv_buf_.get(), static_cast<int>(got), &reply_seq) == 0 &&
        reply_seq == seq && from_len >= sizeof(sockaddr_in) && from.sin_family == AF_INET &&
        from.sin_addr.s_addr == dest.sin_addr.s_addr) {
      return true;
    }
  }
}

void Ping::SetupIcmpData(char* buf, unsigned short seq) {
  const unsigned short id = kIdentifier;
  const unsigned short zero = 0;
  buf[0] = static_cast<char>(kEchoRequest);
  buf[1] = 0;
  memcpy(buf + 2, &zero, 2);
  memcpy(buf + 4, &id, 2);
  memcpy(buf + 6, &seq, 2);
}

unsigned short Ping::CheckSum(const unsigned short* data, int len) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < len; i += 2) {
    unsigned short word;
    memcpy(&word, bytes + i, 2);
    sum += word;
  }
  if (i < len) {
    const unsigned char last[2] = {bytes[i], 0};
    unsigned short word;
    memcpy(&word, last, 2);
    sum += word;
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<unsigned short>(~sum & 0xFFFF);
}

int Ping::ParseIcmpHeader(const char* buf, int len, unsigned short* seq) {
  if (len < 1)
    return -1;
  const int ip_header_len = (static_cast<unsigned char>(buf[0]) & 0x0F) * 4;
  if (len < ip_header_len + kIcmpHeaderSize)
    return -1;
  const char* icmp = buf + ip_header_len;
  if (static_cast<unsigned char>(icmp[0]) != kEchoReply)
    return -1;
  unsigned short id;
  memcpy(&id, icmp + 4, 2);
  if (id != kIdentifier)
    return -2;
  if (seq)
    memcpy(seq, icmp + 6, 2);
  return 0;
}

}  // namespace tavix
