// How long UnInitialize takes while app threads keep calling SendUserMessage in a tight
// loop, as an app's sending threads may while another thread shuts the core down. The
// time per iteration is UnInitialize's alone (Initialize runs outside the clock, without
// raw sockets, so its MTU probe gives up at once); "worst_ms" is the slowest round.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "src/libzekcore.h"
#include "tests/support/capabilities.h"

namespace {

class SilentObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode, int, const char*) override {}
  void OnZEkCoreMessage(const char*, int) override {}
};

void BM_UnInitializeWhileThreadsSend(benchmark::State& state) {
  SilentObserver observer;
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int64_t t = 0; t < state.range(0); t++) {
    senders.emplace_back([&stop] {
      while (!stop)
        SendUserMessage("x", 1, tavix::im::kMsgText);
    });
  }
  double worst_ms = 0;
  for (auto _ : state) {
    if (!zek_test::RunWithoutRawSockets([&] { Initialize(&observer); })) {
      state.SkipWithError("this environment does not let a thread drop CAP_NET_RAW");
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    UnInitialize();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    worst_ms = std::max(worst_ms, took.count() * 1000);
  }
  stop = true;
  for (std::thread& sender : senders)
    sender.join();
  state.counters["worst_ms"] = worst_ms;
}
BENCHMARK(BM_UnInitializeWhileThreadsSend)
    ->ArgName("threads")
    ->Arg(0)
    ->Arg(8)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
