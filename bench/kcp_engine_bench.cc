// Messages per second between two KCP engines joined in memory. The link's clock is
// simulated, so the figure is the engines' processing cost (plus the link's copying);
// "sim_msgs_per_s" gives the rate on the simulated clock, which shows what the protocol
// settings allow over a link with 5 to 20 ms of one-way delay.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "src/kcp/zek_ikcp.h"
#include "tests/support/kcp_link.h"

namespace {

constexpr int kBatch = 64;  // messages queued at once per iteration

// Arguments: loss in percent, message size, 1 for the KCP client's settings (no-delay,
// 10 ms interval, fast resend after one skip, no congestion window) or 0 for the defaults.
void BM_KcpMessages(benchmark::State& state) {
  zek_test::KcpLinkConfig config;
  config.loss = static_cast<double>(state.range(0)) / 100.0;
  config.min_delay_ms = 5;
  config.max_delay_ms = 20;
  config.seed = 42;
  zek_test::KcpLink link(1, 1, config);
  if (state.range(2) != 0) {
    for (int side = 0; side < 2; side++)
      ikcp_nodelay(link.engine(side), 1, 2, 1, 1);
  }
  IKCPCB* sender = link.engine(0);
  IKCPCB* receiver = link.engine(1);
  const int size = static_cast<int>(state.range(1));
  const std::string message(static_cast<size_t>(size), 'm');
  std::vector<char> buffer(static_cast<size_t>(size));

  int64_t delivered = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; i++)
      ikcp_send(sender, message.data(), size);
    int got = 0;
    while (got < kBatch) {
      link.Step();
      while (ikcp_recv(receiver, buffer.data(), size) == size)
        got++;
    }
    delivered += got;
  }
  state.SetItemsProcessed(delivered);
  state.SetBytesProcessed(delivered * size);
  state.counters["sim_msgs_per_s"] =
      static_cast<double>(delivered) / (static_cast<double>(link.elapsed_ms()) / 1000.0);
  state.counters["dropped_share"] =
      static_cast<double>(link.datagrams_dropped()) / static_cast<double>(link.datagrams_sent());
}

BENCHMARK(BM_KcpMessages)
    ->ArgNames({"loss%", "bytes", "client"})
    ->ArgsProduct({{0, 10}, {64, 1400}, {1, 0}});

}  // namespace
