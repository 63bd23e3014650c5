#include "tests/support/kcp_link.h"

#include <stdlib.h>

namespace zek_test {

KcpLink::KcpLink(uint32_t conv, uint16_t tag, const KcpLinkConfig& config, uint32_t start_ms)
    : config_(config), start_ms_(start_ms), rng_state_(config.seed) {
  for (int side = 0; side < 2; side++) {
    Endpoint& endpoint = endpoints_[side];
    endpoint.link = this;
    endpoint.side = side;
    endpoint.kcp = ikcp_create(conv, tag, &endpoint);
    if (!endpoint.kcp)
      abort();
    endpoint.kcp->output = &KcpLink::Output;
  }
}

KcpLink::~KcpLink() {
  for (Endpoint& endpoint : endpoints_)
    ikcp_release(endpoint.kcp);
}

int KcpLink::Output(const char* data, int length, IKCPCB* /*kcp*/, void* user) {
  auto* endpoint = static_cast<Endpoint*>(user);
  endpoint->link->Put(1 - endpoint->side, data, length);
  return 0;
}

void KcpLink::Put(int to, const char* data, int length) {
  sent_++;
  if (static_cast<size_t>(length) > largest_)
    largest_ = static_cast<size_t>(length);
  if (NextUnit() < config_.loss) {
    dropped_++;
    return;
  }
  int copies = 1;
  if (NextUnit() < config_.duplicate) {
    duplicated_++;
    copies = 2;
  }
  for (int i = 0; i < copies; i++) {
    const uint64_t arrival = elapsed_ms_ + NextDelay();
    in_flight_.emplace(std::make_pair(arrival, order_++),
                       std::make_pair(to, std::vector<char>(data, data + length)));
  }
}

// splitmix64: the same sequence on every platform for a given seed.
double KcpLink::NextUnit() {
  uint64_t z = (rng_state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) / static_cast<double>(1ull << 53);
}

uint32_t KcpLink::NextDelay() {
  const uint32_t spread = config_.max_delay_ms - config_.min_delay_ms;
  return config_.min_delay_ms + static_cast<uint32_t>(NextUnit() * (spread + 1));
}

void KcpLink::Step() {
  // Signed distance from now on the engines' wrapping clock.
  auto ahead = [this](uint32_t t) { return static_cast<int32_t>(t - now()); };
  int64_t wait = 10000;
  for (const Endpoint& endpoint : endpoints_) {
    const int32_t d = ahead(ikcp_check(endpoint.kcp, now()));
    if (d < wait)
      wait = d;
  }
  if (!in_flight_.empty()) {
    const int64_t d = static_cast<int64_t>(in_flight_.begin()->first.first - elapsed_ms_);
    if (d < wait)
      wait = d;
  }
  elapsed_ms_ += wait < 1 ? 1 : static_cast<uint64_t>(wait);

  while (!in_flight_.empty() && in_flight_.begin()->first.first <= elapsed_ms_) {
    auto node = in_flight_.extract(in_flight_.begin());
    const std::vector<char>& datagram = node.mapped().second;
    ikcp_input(endpoints_[node.mapped().first].kcp, datagram.data(),
               static_cast<long>(datagram.size()));
  }
  for (Endpoint& endpoint : endpoints_)
    ikcp_update(endpoint.kcp, now());
}

std::vector<std::string> KcpLink::Receive(int side) {
  std::vector<std::string> messages;
  IKCPCB* kcp = endpoints_[side].kcp;
  for (;;) {
    const int size = ikcp_peeksize(kcp);
    if (size < 0)
      break;
    if (receive_buffer_.size() < static_cast<size_t>(size) + 1)
      receive_buffer_.resize(static_cast<size_t>(size) + 1);
    const int got =
        ikcp_recv(kcp, receive_buffer_.data(), static_cast<int>(receive_buffer_.size()));
    if (got < 0)
      break;
    messages.emplace_back(receive_buffer_.data(), static_cast<size_t>(got));
  }
  return messages;
}

}  // namespace zek_test
