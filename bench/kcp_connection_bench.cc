// Round-trip latency of one text through the KCP connection and the loopback KCP test
// server, which echoes it: per iteration one SendData on the caller's thread and a wait
// for the echo to reach the connection's received-message signal on the worker thread.
// The connection polls its engine every 10 ms, on the way out and on the way back, so
// the figures show the poll more than the loopback link. Run on a clean link and with
// 10% of the datagrams lost in each direction; p50 and p99 come as counters.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "rtc_base/sigslot.h"
#include "rtc_base/thread.h"
#include "src/kcp_connection.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/run_on.h"

namespace {

using tavix::im::Connection;
using tavix::im::KcpConnection;

// Counts echoes and status reports, raised on the worker thread, for the bench's thread.
class Waiter : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  void OnStatus(Connection*, Connection::ConnStatus status, unsigned, std::string) {
    std::lock_guard<std::mutex> lock(mutex_);
    logged_in_ = status == Connection::kConnLoggedIn;
    cv_.notify_all();
  }
  void OnMessage(Connection*, std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    echoes_++;
    cv_.notify_all();
  }
  bool WaitLoggedIn() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return logged_in_; });
  }
  bool WaitEchoes(long count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return echoes_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool logged_in_ = false;  // guarded by mutex_
  long echoes_ = 0;         // guarded by mutex_
};

std::string Params(int port) {
  Json::Value root;
  root["server_ip"] = "127.0.0.1";
  root["server_port_kcp"] = port;
  root["server_port_ws"] = 9001;
  root["server_port_wss"] = 9002;
  root["account_id"] = "bench";
  root["app_id"] = "app";
  root["device_type"] = "linux";
  root["token"] = "token";
  root["deviceid"] = "device";
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

double Percentile(std::vector<double> sorted, double share) {
  if (sorted.empty())
    return 0;
  std::sort(sorted.begin(), sorted.end());
  const size_t index = static_cast<size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

// range(0): the share of datagrams lost in each direction, in percent.
void BM_EchoRoundTrip(benchmark::State& state) {
  zek_test::KcpTestServerConfig config;
  config.drop_in = static_cast<double>(state.range(0)) / 100;
  config.drop_out = config.drop_in;
  config.seed = 11;
  zek_test::KcpTestServer server(config);
  if (!server.Start()) {
    state.SkipWithError("the test server did not start");
    return;
  }
  std::unique_ptr<rtc::Thread> worker = rtc::Thread::CreateWithSocketServer();
  worker->Start();
  Waiter waiter;
  std::unique_ptr<KcpConnection> conn;
  bool started = false;
  zek_test::RunOn(worker.get(), [&] {
    conn.reset(new KcpConnection);
    conn->SignalStatusChange.connect(&waiter, &Waiter::OnStatus);
    conn->SignalRecvMessage.connect(&waiter, &Waiter::OnMessage);
    started = conn->Init(Params(server.port())) && conn->ConnectServer(10000, 1200);
  });
  if (!started || !waiter.WaitLoggedIn()) {
    state.SkipWithError("no login");
  } else {
    const std::string text(64, 'p');
    std::vector<double> micros;
    long echoes = 0;
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      conn->SendData(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
      if (!waiter.WaitEchoes(++echoes)) {
        state.SkipWithError("an echo did not come back");
        break;
      }
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    state.counters["p50_us"] = Percentile(micros, 0.50);
    state.counters["p99_us"] = Percentile(micros, 0.99);
  }
  zek_test::RunOn(worker.get(), [&] { conn.reset(); });
  worker->Stop();
  server.Stop();
}

BENCHMARK(BM_EchoRoundTrip)
    ->ArgName("loss_percent")
    ->Arg(0)
    ->Arg(10)
    ->Iterations(500)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
