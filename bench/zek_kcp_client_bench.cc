// The cost of handing a message over to the KCP client's queue, from one and from
// several threads while a worker drains it, and the worker's cost of a poll that
// drains a batch into the engine (on a simulated clock, with no peer).

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "src/kcp/zek_kcp_client.h"
#include "tests/support/fake_clock.h"

namespace {

using tavix::im::ZekKcpClient;

// Threads hand 64-byte messages to the client's queue (a copy and one locked append
// each) while a worker takes everything out with one locked swap at a time, as the
// poll does, and frees it.
void BM_QueueHandOver(benchmark::State& state) {
  using Queue = tavix::im::ZekQueue<ZekKcpClient::MsgFormat>;
  static Queue* queue = nullptr;
  static std::atomic<bool> stop{false};
  static std::unique_ptr<std::thread> worker;
  if (state.thread_index() == 0) {
    queue = new Queue;
    stop = false;
    worker.reset(new std::thread([] {
      while (!stop.load(std::memory_order_relaxed)) {
        std::queue<ZekKcpClient::MsgFormat> taken = queue->grab_all();
        benchmark::DoNotOptimize(taken.size());
      }
    }));
  }
  const std::string message(64, 'm');
  for (auto _ : state) {
    ZekKcpClient::MsgFormat msg;
    msg.Init(message.data(), 64);
    queue->push(std::move(msg));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    stop = true;
    worker->join();
    worker.reset();
    delete queue;
    queue = nullptr;
  }
}
BENCHMARK(BM_QueueHandOver)->ThreadRange(1, 4)->UseRealTime();

// One poll that drains `range(0)` queued messages of 200 bytes into the engine and runs
// its clock.
void BM_UpdateDrainsBatch(benchmark::State& state) {
  zek_test::ScopedFakeClock clock;
  const int batch = static_cast<int>(state.range(0));
  const std::string message(200, 'm');
  for (auto _ : state) {
    state.PauseTiming();
    auto client = std::make_unique<ZekKcpClient>(1, 1);
    for (int i = 0; i < batch; i++)
      client->UserInputDataToKcp(message.data(), 200);
    clock.AdvanceTimeMillis(10);
    state.ResumeTiming();
    client->Update();
    state.PauseTiming();
    client.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_UpdateDrainsBatch)->Arg(1)->Arg(32)->Arg(256);

}  // namespace
