#ifndef TESTS_SUPPORT_KCP_LINK_H_
#define TESTS_SUPPORT_KCP_LINK_H_

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "src/kcp/zek_ikcp.h"

namespace zek_test {

// What the simulated link does to each datagram. Delays are drawn per datagram (and per
// copy), so a spread between the smallest and largest delay reorders them.
struct KcpLinkConfig {
  double loss = 0;       // chance that a datagram is dropped
  double duplicate = 0;  // chance that a datagram that gets through arrives twice
  uint32_t min_delay_ms = 0;
  uint32_t max_delay_ms = 0;
  uint64_t seed = 1;
};

// Two KCP engines (sides 0 and 1) of one conversation whose output hooks feed each other
// through an in-memory link with seeded, deterministic loss, duplication and reordering,
// on a simulated millisecond clock. Nothing sleeps: Step() jumps the clock to the next
// moment at which an engine or the link has work.
class KcpLink {
 public:
  KcpLink(uint32_t conv, uint16_t tag, const KcpLinkConfig& config, uint32_t start_ms = 0);
  ~KcpLink();
  KcpLink(const KcpLink&) = delete;
  KcpLink& operator=(const KcpLink&) = delete;

  IKCPCB* engine(int side) const { return endpoints_[side].kcp; }
  // The engines' clock (wraps at 2^32).
  uint32_t now() const { return static_cast<uint32_t>(start_ms_ + elapsed_ms_); }
  // Simulated milliseconds since construction.
  uint64_t elapsed_ms() const { return elapsed_ms_; }

  // Advances the clock to the earliest of the engines' ikcp_check and the next arrival
  // (at least 1 ms), hands the datagrams due by then to their ikcp_input, then runs
  // ikcp_update on both engines.
  void Step();

  // Takes every complete message out of one side's engine, in order.
  std::vector<std::string> Receive(int side);

  uint64_t datagrams_sent() const { return sent_; }
  uint64_t datagrams_dropped() const { return dropped_; }
  uint64_t datagrams_duplicated() const { return duplicated_; }
  size_t largest_datagram() const { return largest_; }
  size_t in_flight() const { return in_flight_.size(); }

 private:
  struct Endpoint {
    KcpLink* link = nullptr;
    int side = 0;
    IKCPCB* kcp = nullptr;  // owned
  };

  static int Output(const char* data, int length, IKCPCB* kcp, void* user);
  void Put(int to, const char* data, int length);
  double NextUnit();  // uniform in [0, 1)
  uint32_t NextDelay();

  const KcpLinkConfig config_;
  const uint32_t start_ms_;
  uint64_t elapsed_ms_ = 0;
  uint64_t rng_state_;
  uint64_t order_ = 0;  // breaks ties between datagrams due at the same time
  Endpoint endpoints_[2];
  // (arrival time, order) -> (receiving side, bytes). Each datagram is an exactly sized
  // heap block, so that an engine reading past its end shows under the address sanitizer.
  std::map<std::pair<uint64_t, uint64_t>, std::pair<int, std::vector<char>>> in_flight_;
  std::vector<char> receive_buffer_;
  uint64_t sent_ = 0;
  uint64_t dropped_ = 0;
  uint64_t duplicated_ = 0;
  size_t largest_ = 0;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_KCP_LINK_H_
