// Both transports side by side, through the C API, against the loopback test servers:
// echo latency of paced texts, the completion of a burst, closed-loop throughput, what
// an idle connection costs, and how long Initialize takes when the network misbehaves.
// The impaired rows carry every packet, TCP and UDP alike, through a relay between two
// network namespaces that delays and drops it. The big-burst part hands over 200 large
// numbered texts at once, on loopback and with 30 ms each way, and counts what the
// server and the app got back. The duplex part times how long the app takes to get
// 2,000 texts of 100 B to the server, with and without the server streaming pushes at
// the app as fast as its socket takes them (30 KB texts over ws and wss, the largest
// KCP text over KCP), on loopback and with 30 ms each way. Run as root:
//
//   transport_compare [--quick] [--only=clean,delay,loss,initialize,bigburst,duplex]
//
// The figures are printed as a table; nothing is checked.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/impaired_path.h"
#include "src/libzekcore.h"
#include "tests/support/capabilities.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/numbered_text.h"
#include "tests/support/recording_observer.h"
#include "tests/support/ws_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kTextSize = 64;
constexpr milliseconds kPace(50);
constexpr int kBurstSize = 100;
// Messages kept outstanding by the closed-loop run.
constexpr int kClosedLoopWindow = 32;
constexpr milliseconds kClosedLoopTime(2000);
constexpr milliseconds kIdleTime(10000);
constexpr milliseconds kEchoLimit(15000);

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// A 64-byte text that starts with its number.
std::string Text(uint32_t seq) {
  char head[16];
  snprintf(head, sizeof(head), "%010u", seq);
  std::string text(head);
  text.resize(kTextSize, 'x');
  return text;
}

// The app: records when each numbered echo arrives.
class BenchObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int /*error*/, const char* /*text*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(code);
    changed_.notify_all();
  }
  void OnZEkCoreMessage(const char* data, int length) override {
    const int64_t now = NowNanos();
    if (length < 10)
      return;
    const uint32_t seq = static_cast<uint32_t>(strtoul(std::string(data, 10).c_str(), nullptr, 10));
    std::lock_guard<std::mutex> lock(mutex_);
    if (seq < arrivals_.size() && arrivals_[seq] == 0) {
      arrivals_[seq] = now;
      received_++;
    }
    changed_.notify_all();
  }

  // Room for messages numbered below `count`, none of them arrived.
  void Reset(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    arrivals_.assign(count, 0);
    received_ = 0;
  }
  bool WaitForEvent(tavix::im::ZEkEventCode code, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return std::find(events_.begin(), events_.end(), code) != events_.end();
    });
  }
  bool WaitForReceived(size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_ >= count; });
  }
  // Waits until fewer than `window` of the `sent` messages are outstanding.
  bool WaitForWindow(size_t sent, size_t window, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return sent - received_ < window; });
  }
  size_t received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<int64_t> arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
  }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<tavix::im::ZEkEventCode> events_;
  std::vector<int64_t> arrivals_;  // nanoseconds; 0 while not arrived
  size_t received_ = 0;
};

void Send(uint32_t seq) {
  const std::string text = Text(seq);
  SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
}

struct Latency {
  double mean_ms = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  size_t lost = 0;
};

Latency Summarise(std::vector<double> ms, size_t lost) {
  Latency l;
  l.lost = lost;
  if (ms.empty())
    return l;
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms)
    sum += v;
  l.mean_ms = sum / static_cast<double>(ms.size());
  auto at = [&](double q) {
    size_t i = static_cast<size_t>(q * static_cast<double>(ms.size() - 1) + 0.5);
    return ms[std::min(i, ms.size() - 1)];
  };
  l.p50_ms = at(0.50);
  l.p99_ms = at(0.99);
  l.max_ms = ms.back();
  return l;
}

// One text every 50 ms; the latency of each is from its send to its echo.
Latency PacedEcho(BenchObserver* observer, int count) {
  observer->Reset(static_cast<size_t>(count));
  std::vector<int64_t> sent(static_cast<size_t>(count));
  Clock::time_point next = Clock::now();
  for (int i = 0; i < count; i++) {
    std::this_thread::sleep_until(next);
    next += kPace;
    sent[static_cast<size_t>(i)] = NowNanos();
    Send(static_cast<uint32_t>(i));
  }
  observer->WaitForReceived(static_cast<size_t>(count), kEchoLimit);
  const std::vector<int64_t> arrivals = observer->arrivals();
  std::vector<double> ms;
  size_t lost = 0;
  for (size_t i = 0; i < sent.size(); i++) {
    if (arrivals[i] == 0)
      lost++;
    else
      ms.push_back(static_cast<double>(arrivals[i] - sent[i]) / 1e6);
  }
  return Summarise(ms, lost);
}

// 100 texts at once; the time from the first send to the last echo. The median of
// `rounds` bursts, and the slowest.
std::pair<double, double> Bursts(BenchObserver* observer, int rounds) {
  std::vector<double> ms;
  for (int r = 0; r < rounds; r++) {
    observer->Reset(kBurstSize);
    const int64_t start = NowNanos();
    for (int i = 0; i < kBurstSize; i++)
      Send(static_cast<uint32_t>(i));
    if (!observer->WaitForReceived(kBurstSize, kEchoLimit))
      return {-1, -1};
    const std::vector<int64_t> arrivals = observer->arrivals();
    ms.push_back(static_cast<double>(*std::max_element(arrivals.begin(), arrivals.end()) - start) /
                 1e6);
    std::this_thread::sleep_for(milliseconds(200));
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

// Keeps kClosedLoopWindow texts outstanding, a new one for each echo; echoes per second.
double ClosedLoop(BenchObserver* observer) {
  const size_t room = 2000000;
  observer->Reset(room);
  size_t sent = 0;
  const Clock::time_point end = Clock::now() + kClosedLoopTime;
  const size_t start_received = observer->received();
  const int64_t start = NowNanos();
  while (Clock::now() < end && sent < room) {
    if (!observer->WaitForWindow(sent, kClosedLoopWindow, kEchoLimit))
      break;
    Send(static_cast<uint32_t>(sent++));
  }
  const size_t done = observer->received() - start_received;
  const double seconds = static_cast<double>(NowNanos() - start) / 1e9;
  // Let the rest come in before the next run.
  observer->WaitForReceived(sent, kEchoLimit);
  return static_cast<double>(done) / seconds;
}

// The core's worker thread, by the name it gives its OS thread.
int WorkerTid() {
  DIR* dir = opendir("/proc/self/task");
  if (!dir)
    return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("zek main thread", 0) == 0)
      found = atoi(entry->d_name);
  }
  closedir(dir);
  return found;
}

// Context switches (each time the thread went to sleep or was preempted) and CPU time.
bool ThreadCounters(int tid, uint64_t* switches, uint64_t* cpu_ns) {
  const std::string base = "/proc/self/task/" + std::to_string(tid);
  std::ifstream status(base + "/status");
  std::string line;
  *switches = 0;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      *switches += strtoull(line.substr(line.find(':') + 1).c_str(), nullptr, 10);
    }
  }
  std::ifstream schedstat(base + "/schedstat");
  return static_cast<bool>(schedstat >> *cpu_ns);
}

struct Idle {
  double wakeups_per_s = -1;
  double cpu_ms_per_s = -1;
};

Idle IdleCost() {
  Idle idle;
  const int tid = WorkerTid();
  uint64_t s0, c0, s1, c1;
  if (tid < 0 || !ThreadCounters(tid, &s0, &c0))
    return idle;
  std::this_thread::sleep_for(kIdleTime);
  if (!ThreadCounters(tid, &s1, &c1))
    return idle;
  const double seconds = std::chrono::duration<double>(kIdleTime).count();
  idle.wakeups_per_s = static_cast<double>(s1 - s0) / seconds;
  idle.cpu_ms_per_s = static_cast<double>(c1 - c0) / 1e6 / seconds;
  return idle;
}

struct Row {
  std::string link;
  std::string transport;
  Latency paced;
  double burst_median_ms = -1;
  double burst_max_ms = -1;
  double throughput = -1;
  Idle idle;
};

struct Options {
  bool quick = false;
  // The parts to run: clean loopback, 30 ms each way, 30 ms with 10 % loss, Initialize,
  // and the big bursts (on loopback and with 30 ms each way).
  bool clean = true;
  bool delay = true;
  bool loss = true;
  bool initialize = true;
  bool bigburst = true;
  bool duplex = true;
};

struct Servers {
  std::unique_ptr<zek_test::KcpTestServer> kcp;
  std::unique_ptr<zek_test::WsTestServer> ws;
  std::unique_ptr<zek_test::WsTestServer> wss;  // its certificate names `address`
  std::string address;

  bool Start(const std::string& at) {
    address = at;
    zek_test::KcpTestServerConfig config;
    config.address = at;
    config.datagram_log_limit = 0;
    kcp.reset(new zek_test::KcpTestServer(config));
    zek_test::WsTestServerOptions options;
    options.address = at;
    ws.reset(new zek_test::WsTestServer(options));
    options.tls = true;
    options.cert_ip_addresses = {at};
    wss.reset(new zek_test::WsTestServer(options));
    if (!kcp->Start()) {
      fprintf(stderr, "KCP server: %s\n", kcp->last_error().c_str());
      return false;
    }
    return ws->Start() && wss->Start();
  }
  void Stop() {
    if (kcp)
      kcp->Stop();
    if (ws)
      ws->Stop();
    if (wss)
      wss->Stop();
  }
  std::string Params(const std::string& transport, bool tls = false) const {
    Json::Value root = zek_test::ImParamObject(kcp->port(), ws->port(), wss->port());
    root["server_ip"] = address;
    root["connection_type"] = transport;
    if (tls)
      root["tls"] = "enable";
    return zek_test::JsonText(root);
  }
};

// Runs a body where the core is to be initialised (on the impaired path: in the
// client's network), and switches the link's impairment on and off.
using InitializeOn = std::function<void(const std::function<void()>&)>;
using Impair = std::function<void(bool)>;

// Initialize (on `initialize_on`, so that the core's threads join its namespace),
// connect on a clean link, then measure with `impair` in force.
bool Measure(const Servers& servers,
             const std::string& transport,
             const InitializeOn& initialize_on,
             const Impair& impair,
             const Options& options,
             bool loopback,
             int paced_count,
             Row* row) {
  BenchObserver observer;
  initialize_on([&] { Initialize(&observer); });
  impair(false);
  ConnectImServer(servers.Params(transport).c_str());
  if (!observer.WaitForEvent(tavix::im::kEventConnected, milliseconds(15000))) {
    fprintf(stderr, "%s: no connection\n", transport.c_str());
    UnInitialize();
    return false;
  }
  // Past the login's own traffic and the first keep-alive.
  std::this_thread::sleep_for(milliseconds(500));
  impair(true);
  row->transport = transport;
  row->paced = PacedEcho(&observer, paced_count);
  const std::pair<double, double> burst = Bursts(&observer, options.quick ? 3 : 10);
  row->burst_median_ms = burst.first;
  row->burst_max_ms = burst.second;
  if (loopback) {
    row->throughput = ClosedLoop(&observer);
    std::this_thread::sleep_for(milliseconds(1000));
    row->idle = IdleCost();
  }
  impair(false);
  DisConnectImServer();
  observer.WaitForEvent(tavix::im::kEventDisconnected, milliseconds(5000));
  UnInitialize();
  return true;
}

void PrintRows(const std::vector<Row>& rows) {
  printf("\n%-22s %-10s %8s %8s %8s %8s %5s %11s %10s %12s %9s %9s\n", "link", "transport",
         "mean ms", "p50 ms", "p99 ms", "max ms", "lost", "burst100 ms", "(slowest)",
         "closed msg/s", "wakeup/s", "cpu ms/s");
  for (const Row& r : rows) {
    printf("%-22s %-10s %8.2f %8.2f %8.2f %8.2f %5zu %11.2f %10.2f", r.link.c_str(),
           r.transport.c_str(), r.paced.mean_ms, r.paced.p50_ms, r.paced.p99_ms, r.paced.max_ms,
           r.paced.lost, r.burst_median_ms, r.burst_max_ms);
    if (r.throughput >= 0)
      printf(" %12.0f %9.2f %9.3f", r.throughput, r.idle.wakeups_per_s, r.idle.cpu_ms_per_s);
    printf("\n");
  }
  fflush(stdout);
}

// ---- A burst of 200 large texts at once ----

constexpr int kBigBurstSize = 200;
// A round ends once every echo is in, or once none has come for this long: a text the
// core lost never comes, and no healthy link of these pauses for seconds.
constexpr milliseconds kBigBurstQuiet(5000);
constexpr milliseconds kConnectLimit(15000);

// Exactly `size` bytes of JSON, numbered by round and place in the burst; the WebSocket
// transport passes on only received texts that parse.
std::string BigText(uint32_t round, uint32_t seq, size_t size) {
  char head[64];
  snprintf(head, sizeof(head), "{\"r\":%u,\"n\":%u,\"pad\":\"", round, seq);
  const std::string tail = "\"}";
  std::string text(head);
  text.resize(std::max(size, text.size() + tail.size()) - tail.size(), 'x');
  return text + tail;
}

bool ReadBigText(const char* data, size_t length, uint32_t* round, uint32_t* seq) {
  Json::Value root;
  if (!zek_test::ParseJson(std::string(data, length), &root) || !root.isObject() ||
      !root["r"].isUInt() || !root["n"].isUInt())
    return false;
  *round = root["r"].asUInt();
  *seq = root["n"].asUInt();
  return true;
}

// What came of the numbers of one burst, in the order they arrived.
struct Tally {
  size_t distinct = 0;
  size_t duplicates = 0;
  size_t out_of_order = 0;  // first arrivals below a number seen before
  std::string missing;      // the numbers that never came, as ranges
};

Tally Count(const std::vector<uint32_t>& seqs, size_t count) {
  Tally tally;
  std::vector<bool> seen(count, false);
  int64_t highest = -1;
  for (uint32_t seq : seqs) {
    if (seq >= count)
      continue;
    if (seen[seq]) {
      tally.duplicates++;
      continue;
    }
    seen[seq] = true;
    tally.distinct++;
    if (static_cast<int64_t>(seq) < highest)
      tally.out_of_order++;
    highest = std::max<int64_t>(highest, seq);
  }
  for (size_t i = 0; i < count; i++) {
    if (seen[i])
      continue;
    size_t end = i;
    while (end + 1 < count && !seen[end + 1])
      end++;
    tally.missing += (tally.missing.empty() ? "" : ",") + std::to_string(i);
    if (end > i)
      tally.missing += "-" + std::to_string(end);
    i = end;
  }
  return tally;
}

// The app for the big bursts: every event, and the echoes of the current round.
class BurstObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int /*error*/, const char* /*text*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(code);
    changed_.notify_all();
  }
  void OnZEkCoreMessage(const char* data, int length) override {
    const int64_t now = NowNanos();
    uint32_t round = 0, seq = 0;
    const bool ours = ReadBigText(data, static_cast<size_t>(length), &round, &seq);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ours || round != round_) {
      strays_++;
      return;
    }
    echoes_.push_back(seq);
    last_echo_ns_ = now;
    if (seq < seen_.size() && !seen_[seq]) {
      seen_[seq] = true;
      distinct_++;
    }
    changed_.notify_all();
  }

  void StartRound(uint32_t round, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    round_ = round;
    seen_.assign(count, false);
    distinct_ = 0;
    echoes_.clear();
    last_echo_ns_ = 0;
  }
  size_t EventCount(tavix::im::ZEkEventCode code) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), code));
  }
  bool WaitForEvents(tavix::im::ZEkEventCode code, size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return static_cast<size_t>(std::count(events_.begin(), events_.end(), code)) >= count;
    });
  }
  // Waits for every echo of the round, until none has come for `quiet`.
  void WaitForEchoes(milliseconds quiet) {
    std::unique_lock<std::mutex> lock(mutex_);
    size_t before = echoes_.size();
    while (distinct_ < seen_.size()) {
      if (!changed_.wait_for(lock, quiet,
                             [&] { return distinct_ == seen_.size() || echoes_.size() != before; }))
        return;
      before = echoes_.size();
    }
  }
  size_t event_mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  std::vector<tavix::im::ZEkEventCode> EventsSince(size_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<tavix::im::ZEkEventCode>(events_.begin() + static_cast<long>(mark),
                                                events_.end());
  }
  std::vector<uint32_t> echoes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return echoes_;
  }
  int64_t last_echo_ns() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_echo_ns_;
  }
  size_t strays() {
    std::lock_guard<std::mutex> lock(mutex_);
    return strays_;
  }

 private:
  // Guards everything below: the core's worker thread writes, the driver reads.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<tavix::im::ZEkEventCode> events_;
  uint32_t round_ = 0;
  std::vector<bool> seen_;
  size_t distinct_ = 0;
  std::vector<uint32_t> echoes_;  // in arrival order
  int64_t last_echo_ns_ = 0;
  size_t strays_ = 0;  // echoes of no burst or of an earlier round
};

struct BigRound {
  Tally server;
  Tally echoes;
  double ms = -1;  // from the first send to the last echo
  std::string events;
};

struct BigRow {
  std::string link;
  std::string transport;
  size_t text_size = 0;
  std::vector<BigRound> rounds;
  size_t strays = 0;
  std::string failure;  // why the row stopped early
};

std::string EventList(const std::vector<tavix::im::ZEkEventCode>& codes) {
  std::string list;
  for (tavix::im::ZEkEventCode code : codes)
    list += (list.empty() ? "" : ",") + std::to_string(static_cast<int>(code));
  return list.empty() ? "-" : list;
}

// The numbers of `round` among the texts the server has recorded, in its order.
std::vector<uint32_t> ServerSeqs(const std::vector<std::string>& texts, uint32_t round) {
  std::vector<uint32_t> seqs;
  for (const std::string& text : texts) {
    uint32_t r = 0, seq = 0;
    if (ReadBigText(text.data(), text.size(), &r, &seq) && r == round)
      seqs.push_back(seq);
  }
  return seqs;
}

void PrintBigRound(const BigRow& row, size_t index) {
  const BigRound& r = row.rounds[index];
  printf(
      "  %-16s %-10s %5zu B round %zu: server %zu, echoes %zu, lost %zu, dup %zu/%zu, "
      "out of order %zu/%zu, %.1f ms, events %s%s%s\n",
      row.link.c_str(), row.transport.c_str(), row.text_size, index + 1, r.server.distinct,
      r.echoes.distinct, kBigBurstSize - r.server.distinct, r.server.duplicates,
      r.echoes.duplicates, r.server.out_of_order, r.echoes.out_of_order, r.ms, r.events.c_str(),
      r.server.missing.empty() ? "" : ", lost numbers ", r.server.missing.c_str());
  fflush(stdout);
}

// Initialize once, then per round: connect, hand over the burst, wait for the echoes,
// disconnect. A fresh connection each round, so that a round that lost texts leaves
// nothing behind for the next.
void MeasureBigBurst(const Servers& servers,
                     const std::string& transport,
                     size_t text_size,
                     const InitializeOn& initialize_on,
                     const Impair& impair,
                     int rounds,
                     uint32_t* next_round,
                     BigRow* row) {
  row->transport = transport;
  row->text_size = text_size;
  BurstObserver observer;
  impair(false);
  initialize_on([&] { Initialize(&observer); });
  impair(true);
  for (int i = 0; i < rounds; i++) {
    const uint32_t round = (*next_round)++;
    const size_t connected = observer.EventCount(tavix::im::kEventConnected);
    ConnectImServer(servers.Params(transport).c_str());
    if (!observer.WaitForEvents(tavix::im::kEventConnected, connected + 1, kConnectLimit)) {
      row->failure = "no connection";
      DisConnectImServer();
      break;
    }
    // Past the login's own traffic.
    std::this_thread::sleep_for(milliseconds(300));
    std::vector<std::string> texts;
    for (int seq = 0; seq < kBigBurstSize; seq++)
      texts.push_back(BigText(round, static_cast<uint32_t>(seq), text_size));
    observer.StartRound(round, kBigBurstSize);
    const size_t mark = observer.event_mark();
    const int64_t start = NowNanos();
    for (const std::string& text : texts)
      SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
    observer.WaitForEchoes(kBigBurstQuiet);

    BigRound result;
    result.events = EventList(observer.EventsSince(mark));
    const size_t disconnected = observer.EventCount(tavix::im::kEventDisconnected);
    DisConnectImServer();
    observer.WaitForEvents(tavix::im::kEventDisconnected, disconnected + 1, milliseconds(5000));
    result.echoes = Count(observer.echoes(), kBigBurstSize);
    if (observer.last_echo_ns() > 0)
      result.ms = static_cast<double>(observer.last_echo_ns() - start) / 1e6;
    result.server =
        Count(ServerSeqs(transport == "kcp" ? servers.kcp->texts() : servers.ws->texts(), round),
              kBigBurstSize);
    row->rounds.push_back(result);
    PrintBigRound(*row, row->rounds.size() - 1);
  }
  row->strays = observer.strays();
  impair(false);
  UnInitialize();
}

void PrintBigRows(const std::vector<BigRow>& rows) {
  printf("\n== burst of %d texts at once, every round summed ==\n", kBigBurstSize);
  printf(
      "KCP refuses texts over 1496 bytes: its rows, and one WebSocket row to compare "
      "like for like, use 1496-byte texts.\n");
  printf(
      "ms: from the first send to the last echo; dup and ooo (out of order): server/app; "
      "events: codes the app got during the rounds (4 reconnecting, 5 reconnected).\n");
  printf("Where texts were lost, ms is to the last echo that came, not to a whole burst.\n");
  printf("%-16s %-10s %6s %6s %6s %7s %7s %6s %7s %7s %10s %10s  %s\n", "link", "transport",
         "text B", "rounds", "sent", "server", "echoes", "lost", "dup", "ooo", "median ms",
         "slowest ms", "events");
  for (const BigRow& row : rows) {
    size_t server = 0, echoes = 0, dup_server = 0, dup_app = 0, ooo_server = 0, ooo_app = 0;
    std::vector<double> ms;
    std::string events;
    for (const BigRound& r : row.rounds) {
      server += r.server.distinct;
      echoes += r.echoes.distinct;
      dup_server += r.server.duplicates;
      dup_app += r.echoes.duplicates;
      ooo_server += r.server.out_of_order;
      ooo_app += r.echoes.out_of_order;
      if (r.ms >= 0)
        ms.push_back(r.ms);
      if (r.events != "-")
        events += (events.empty() ? "" : ";") + r.events;
    }
    std::sort(ms.begin(), ms.end());
    const size_t sent = row.rounds.size() * kBigBurstSize;
    const std::string dup = std::to_string(dup_server) + "/" + std::to_string(dup_app);
    const std::string ooo = std::to_string(ooo_server) + "/" + std::to_string(ooo_app);
    printf("%-16s %-10s %6zu %6zu %6zu %7zu %7zu %6zu %7s %7s %10.1f %10.1f  %s%s%s\n",
           row.link.c_str(), row.transport.c_str(), row.text_size, row.rounds.size(), sent, server,
           echoes, sent - server, dup.c_str(), ooo.c_str(), ms.empty() ? -1 : ms[ms.size() / 2],
           ms.empty() ? -1 : ms.back(), events.empty() ? "-" : events.c_str(),
           row.failure.empty() ? "" : "  stopped: ", row.failure.c_str());
    if (row.strays > 0)
      printf("  (%zu echoes of no current round)\n", row.strays);
  }
  fflush(stdout);
}

// Runs `measure` once with servers on clean loopback, then once with servers behind the
// impaired path at 30 ms each way (when the path can be set up), and reports the
// relay's figures after the second.
void OnBothLinks(const std::function<void(const char* link,
                                          const Servers& servers,
                                          const InitializeOn& initialize_on,
                                          const Impair& impair)>& measure) {
  {
    Servers servers;
    if (servers.Start("127.0.0.1"))
      measure(
          "clean loopback", servers, [](const std::function<void()>& body) { body(); },
          [](bool) {});
    servers.Stop();
  }

  zek_bench::ImpairedPath path;
  std::string error;
  if (!path.Start(&error)) {
    fprintf(stderr, "no impaired path: %s\n", error.c_str());
    return;
  }
  Servers servers;
  bool started = false;
  path.RunInServer([&] { started = servers.Start(zek_bench::ImpairedPath::kServerIp); });
  if (started) {
    measure(
        "30 ms each way", servers,
        [&](const std::function<void()>& body) { path.RunInClient(body); },
        [&](bool on) { path.Set(on ? 30 : 0, 0); });
  }
  servers.Stop();
  printf("relay: %llu packets forwarded, %llu dropped\n",
         static_cast<unsigned long long>(path.forwarded()),
         static_cast<unsigned long long>(path.dropped()));
}

void RunBigBursts(const Options& options) {
  struct Case {
    const char* transport;
    size_t text_size;
  };
  const Case cases[] = {{"kcp", 1496}, {"websocket", 1496}, {"websocket", 2048}};
  const int rounds = options.quick ? 3 : 5;
  uint32_t next_round = 1;
  std::vector<BigRow> rows;
  OnBothLinks([&](const char* link, const Servers& servers, const InitializeOn& initialize_on,
                  const Impair& impair) {
    for (const Case& c : cases) {
      BigRow row;
      row.link = link;
      MeasureBigBurst(servers, c.transport, c.text_size, initialize_on, impair, rounds, &next_round,
                      &row);
      rows.push_back(row);
    }
  });
  PrintBigRows(rows);
}

// ---- The app's texts while the server streams pushes at it ----

constexpr int kDuplexTexts = 2000;
constexpr size_t kDuplexTextSize = 100;
constexpr char kDuplexKey[] = "app";
constexpr size_t kDuplexPushSize = 30000;
// A round whose texts have not all reached the server by then is cut; how many had
// arrived is counted.
constexpr milliseconds kDuplexLimit(10000);

// The app for the duplex rounds: every event, and the pushes, counted and checked for
// order as they come; the echoes of its own texts are let go.
class DuplexObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int /*error*/, const char* /*text*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(code);
    changed_.notify_all();
  }
  void OnZEkCoreMessage(const char* data, int length) override {
    uint64_t number = 0;
    if (length <= 0 || !zek_test::ReadNumberedText(zek_test::kWsPushKey, data,
                                                   static_cast<size_t>(length), &number))
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (number != next_push_)
      push_faults_++;
    next_push_ = number + 1;
    pushes_++;
    changed_.notify_all();
  }

  // The next push of a new stream is numbered `first`; the faults are counted anew.
  void StartStream(uint64_t first) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_push_ = first;
    push_faults_ = 0;
  }
  size_t pushes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pushes_;
  }
  // Pushes of the current stream that did not follow the one before.
  size_t push_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    return push_faults_;
  }
  bool WaitForPushes(size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return pushes_ >= count; });
  }
  size_t EventCount(tavix::im::ZEkEventCode code) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), code));
  }
  bool WaitForEvents(tavix::im::ZEkEventCode code, size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return static_cast<size_t>(std::count(events_.begin(), events_.end(), code)) >= count;
    });
  }
  size_t event_mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  std::vector<tavix::im::ZEkEventCode> EventsSince(size_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<tavix::im::ZEkEventCode>(events_.begin() + static_cast<long>(mark),
                                                events_.end());
  }

 private:
  // Guards everything below: the core's worker thread writes, the driver reads.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<tavix::im::ZEkEventCode> events_;
  uint64_t next_push_ = 0;
  size_t pushes_ = 0;
  size_t push_faults_ = 0;
};

// One transport's server, whichever it is.
struct DuplexServer {
  zek_test::KcpTestServer* kcp = nullptr;
  zek_test::WsTestServer* ws = nullptr;

  size_t text_count() const { return kcp ? kcp->text_count() : ws->text_count(); }
  std::vector<std::string> texts() const { return kcp ? kcp->texts() : ws->texts(); }
  size_t pushes_sent() const { return kcp ? kcp->pushes_sent() : ws->pushes_sent(); }
  bool StartStream(size_t size) const {
    return kcp ? kcp->StartStream(size) : ws->StartStream(size);
  }
  void StopStream() const {
    if (kcp)
      kcp->StopStream();
    else
      ws->StopStream();
  }
};

struct DuplexRound {
  double ms = -1;              // from the first send until the server had all; -1 when cut
  size_t arrived_in_time = 0;  // texts at the server by then, or at the limit
  double after_stop_ms = -1;   // a cut round: from the stream's end until all had come
  double pushes_per_s = 0;     // at the app, while the texts were on their way
  Tally server;
  size_t push_faults = 0;
  std::string events;
};

struct DuplexRow {
  std::string link;
  std::string transport;
  size_t push_size = 0;  // 0: no stream
  std::vector<DuplexRound> rounds;
  std::string failure;  // why the row stopped early
};

void PrintDuplexRound(const DuplexRow& row, size_t index) {
  const DuplexRound& r = row.rounds[index];
  printf("  %-16s %-4s %-8s round %zu: ", row.link.c_str(), row.transport.c_str(),
         row.push_size ? (std::to_string(row.push_size) + " B").c_str() : "none", index + 1);
  if (r.ms >= 0)
    printf("%d texts in %.1f ms", kDuplexTexts, r.ms);
  else
    printf("cut at %.0f s with %zu of %d at the server, all %s", kDuplexLimit.count() / 1e3,
           r.arrived_in_time, kDuplexTexts,
           r.after_stop_ms >= 0 ? ("+" + std::to_string(static_cast<int>(r.after_stop_ms)) +
                                   " ms after the stream stopped")
                                      .c_str()
                                : "never");
  if (row.push_size)
    printf(", %.0f pushes/s at the app, push order faults %zu", r.pushes_per_s, r.push_faults);
  printf(", server lost %d dup %zu ooo %zu, events %s\n",
         kDuplexTexts - static_cast<int>(r.server.distinct), r.server.duplicates,
         r.server.out_of_order, r.events.c_str());
  fflush(stdout);
}

// Initialize once, then per round: connect, start the stream (when `push_size` is not
// 0) and let it run, hand over the texts from this thread, time their way to the server,
// stop the stream, disconnect. A fresh connection each round, so that a cut round
// leaves nothing behind for the next.
void MeasureDuplex(const Servers& servers,
                   const std::string& label,
                   size_t push_size,
                   const InitializeOn& initialize_on,
                   const Impair& impair,
                   int rounds,
                   DuplexRow* row) {
  const bool kcp = label == "kcp";
  DuplexServer server;
  if (kcp)
    server.kcp = servers.kcp.get();
  else
    server.ws = label == "wss" ? servers.wss.get() : servers.ws.get();
  const std::string params = servers.Params(kcp ? "kcp" : "websocket", label == "wss");
  row->transport = label;
  row->push_size = push_size;
  DuplexObserver observer;
  impair(false);
  initialize_on([&] { Initialize(&observer); });
  impair(true);
  std::vector<std::string> texts;
  for (int i = 0; i < kDuplexTexts; i++)
    texts.push_back(zek_test::NumberedText(kDuplexKey, static_cast<uint64_t>(i), kDuplexTextSize));
  for (int i = 0; i < rounds; i++) {
    const size_t connected = observer.EventCount(tavix::im::kEventConnected);
    ConnectImServer(params.c_str());
    if (!observer.WaitForEvents(tavix::im::kEventConnected, connected + 1, kConnectLimit)) {
      row->failure = "no connection";
      DisConnectImServer();
      break;
    }
    // Past the login's own traffic.
    std::this_thread::sleep_for(milliseconds(300));
    const size_t mark = observer.event_mark();
    size_t pushes_before = 0;
    if (push_size) {
      observer.StartStream(server.pushes_sent());
      const size_t pushed = observer.pushes();
      if (!server.StartStream(push_size) || !observer.WaitForPushes(pushed + 1, kConnectLimit)) {
        row->failure = "no stream";
        DisConnectImServer();
        break;
      }
      // At full flow before the texts go.
      std::this_thread::sleep_for(milliseconds(200));
      pushes_before = observer.pushes();
    }
    const size_t first_text = server.text_count();
    const size_t goal = first_text + kDuplexTexts;
    DuplexRound result;
    const Clock::time_point start = Clock::now();
    for (const std::string& text : texts)
      SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
    while (server.text_count() < goal && Clock::now() - start < kDuplexLimit)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    const Clock::time_point end = Clock::now();
    const size_t arrived = server.text_count();
    result.arrived_in_time = arrived - first_text;
    if (arrived >= goal)
      result.ms = std::chrono::duration<double, std::milli>(end - start).count();
    if (push_size) {
      result.pushes_per_s = static_cast<double>(observer.pushes() - pushes_before) /
                            std::chrono::duration<double>(end - start).count();
      server.StopStream();
    }
    if (arrived < goal) {
      const Clock::time_point stopped = Clock::now();
      while (server.text_count() < goal && Clock::now() - stopped < kDuplexLimit)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (server.text_count() >= goal)
        result.after_stop_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - stopped).count();
    }
    const std::vector<std::string> all = server.texts();
    std::vector<uint32_t> seqs;
    for (size_t t = first_text; t < all.size(); t++) {
      uint64_t number = 0;
      if (zek_test::ReadNumberedText(kDuplexKey, all[t].data(), all[t].size(), &number))
        seqs.push_back(static_cast<uint32_t>(number));
    }
    result.server = Count(seqs, kDuplexTexts);
    result.push_faults = observer.push_faults();
    result.events = EventList(observer.EventsSince(mark));
    const size_t disconnected = observer.EventCount(tavix::im::kEventDisconnected);
    DisConnectImServer();
    observer.WaitForEvents(tavix::im::kEventDisconnected, disconnected + 1, milliseconds(5000));
    row->rounds.push_back(result);
    PrintDuplexRound(*row, row->rounds.size() - 1);
  }
  impair(false);
  UnInitialize();
}

void PrintDuplexRows(const std::vector<DuplexRow>& rows) {
  printf("\n== %d texts of %zu B from one app thread, with and without the server pushing ==\n",
         kDuplexTexts, kDuplexTextSize);
  printf(
      "ms: from the first send until the server had every text, over every round; a round "
      "cut at %.0f s counts as longer, with the texts that had arrived by then.\n",
      kDuplexLimit.count() / 1e3);
  printf("%-16s %-9s %-8s %6s %10s %10s %-24s %6s %7s %7s %10s  %s\n", "link", "transport",
         "pushes", "rounds", "median ms", "slowest ms", "cut (arrived)", "lost", "dup", "ooo",
         "push/s", "events");
  // A cut round sorts last and shows as longer than the limit.
  auto figure = [](double ms) {
    char text[32];
    if (std::isinf(ms))
      snprintf(text, sizeof(text), ">%.1f", static_cast<double>(kDuplexLimit.count()));
    else
      snprintf(text, sizeof(text), "%.1f", ms);
    return std::string(text);
  };
  for (const DuplexRow& row : rows) {
    std::vector<double> ms;
    size_t cuts = 0;
    std::string cut;
    size_t lost = 0, dup = 0, ooo = 0;
    double pushes_per_s = 0;
    std::string events;
    for (const DuplexRound& r : row.rounds) {
      ms.push_back(r.ms >= 0 ? r.ms : std::numeric_limits<double>::infinity());
      if (r.ms < 0) {
        cuts++;
        cut += (cut.empty() ? "" : ",") + std::to_string(r.arrived_in_time);
      }
      lost += kDuplexTexts - r.server.distinct;
      dup += r.server.duplicates;
      ooo += r.server.out_of_order;
      pushes_per_s += r.pushes_per_s / static_cast<double>(row.rounds.size());
      if (r.events != "-")
        events += (events.empty() ? "" : ";") + r.events;
    }
    std::sort(ms.begin(), ms.end());
    const std::string pushes = row.push_size ? std::to_string(row.push_size) + " B" : "none";
    cut = cut.empty() ? "-" : std::to_string(cuts) + " (" + cut + ")";
    const std::string median = ms.empty() ? "-" : figure(ms[ms.size() / 2]);
    const std::string slowest = ms.empty() ? "-" : figure(ms.back());
    printf("%-16s %-9s %-8s %6zu %10s %10s %-24s %6zu %7zu %7zu %10.0f  %s%s%s\n", row.link.c_str(),
           row.transport.c_str(), pushes.c_str(), row.rounds.size(), median.c_str(),
           slowest.c_str(), cut.c_str(), lost, dup, ooo, pushes_per_s,
           events.empty() ? "-" : events.c_str(),
           row.failure.empty() ? "" : "  stopped: ", row.failure.c_str());
  }
  fflush(stdout);
}

void RunDuplex(const Options& options) {
  struct Case {
    const char* transport;
    size_t push_size;
  };
  const Case cases[] = {
      {"kcp", 0}, {"kcp", zek_test::kKcpMaxText}, {"ws", 0}, {"ws", kDuplexPushSize},
      {"wss", 0}, {"wss", kDuplexPushSize},
  };
  const int rounds = options.quick ? 3 : 5;
  std::vector<DuplexRow> rows;
  OnBothLinks([&](const char* link, const Servers& servers, const InitializeOn& initialize_on,
                  const Impair& impair) {
    for (const Case& c : cases) {
      DuplexRow row;
      row.link = link;
      MeasureDuplex(servers, c.transport, c.push_size, initialize_on, impair, rounds, &row);
      rows.push_back(row);
    }
  });
  PrintDuplexRows(rows);
}

// ---- Initialize under a hostile network, each case in a fresh process of its own ----

class NullObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode, int, const char*) override {}
  void OnZEkCoreMessage(const char*, int) override {}
};

bool LoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

double TimeInitialize() {
  NullObserver observer;
  const Clock::time_point start = Clock::now();
  Initialize(&observer);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  UnInitialize();
  return ms;
}

// Runs in the child: prints the milliseconds Initialize took, or nothing on failure.
int InitializeChild(const std::string& mode) {
  double ms = -1;
  if (mode == "silent-dns") {
    // A name server on loopback that takes every query and never answers.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !LoopbackUp())
      return 1;
    char path[] = "/tmp/zekb-resolv-XXXXXX";
    const int fd = mkstemp(path);
    const char kConf[] = "nameserver 127.0.0.1\n";
    if (fd < 0 || write(fd, kConf, sizeof(kConf) - 1) != sizeof(kConf) - 1)
      return 1;
    close(fd);
    const bool mounted = mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    unlink(path);
    if (!mounted)
      return 1;
    const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(53);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (dns < 0 || bind(dns, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
      return 1;
    ms = TimeInitialize();
  } else if (mode == "no-route") {
    // No interface is up: nothing can be sent anywhere.
    if (unshare(CLONE_NEWNET) != 0)
      return 1;
    ms = TimeInitialize();
  } else if (mode == "no-raw-socket") {
    if (!zek_test::RunWithoutRawSockets([&] { ms = TimeInitialize(); }))
      return 1;
  }
  if (ms < 0)
    return 1;
  printf("%.3f\n", ms);
  return 0;
}

double RunInitializeChild(const std::string& mode) {
  int out[2];
  if (pipe(out) != 0)
    return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    const std::string arg = "--initialize-child=" + mode;
    execl("/proc/self/exe", "transport_compare", arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof(buf))) > 0)
    text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  // The core writes lines of its own to standard output; the figure is the last line.
  std::istringstream lines(text);
  std::string line, last;
  while (std::getline(lines, line))
    if (!line.empty())
      last = line;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || last.empty())
    return -1;
  return atof(last.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    const std::string child = "--initialize-child=";
    if (arg.rfind(child, 0) == 0)
      return InitializeChild(arg.substr(child.size()));
    const std::string only = "--only=";
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg.rfind(only, 0) == 0) {
      const std::string parts = "," + arg.substr(only.size()) + ",";
      auto has = [&](const char* part) {
        return parts.find("," + std::string(part) + ",") != std::string::npos;
      };
      options.clean = has("clean");
      options.delay = has("delay");
      options.loss = has("loss");
      options.initialize = has("initialize");
      options.bigburst = has("bigburst");
      options.duplex = has("duplex");
    } else {
      fprintf(stderr, "usage: %s [--quick] [--only=clean,delay,loss,initialize,bigburst,duplex]\n",
              argv[0]);
      return 2;
    }
  }
  const int clean_count = options.quick ? 60 : 200;
  const int delayed_count = options.quick ? 60 : 200;
  const int lossy_count = options.quick ? 100 : 600;

  std::vector<Row> rows;
  auto here = [](const std::function<void()>& body) { body(); };
  auto no_impairment = [](bool) {};

  if (options.clean) {
    Servers servers;
    if (!servers.Start("127.0.0.1"))
      return 1;
    for (const char* transport : {"kcp", "websocket"}) {
      Row row;
      row.link = "clean loopback";
      if (Measure(servers, transport, here, no_impairment, options, true, clean_count, &row))
        rows.push_back(row);
      PrintRows({row});
    }
    servers.Stop();
  }

  if (options.delay || options.loss) {
    zek_bench::ImpairedPath path;
    std::string error;
    if (!path.Start(&error)) {
      fprintf(stderr, "no impaired path: %s\n", error.c_str());
    } else {
      Servers servers;
      bool started = false;
      path.RunInServer([&] { started = servers.Start(zek_bench::ImpairedPath::kServerIp); });
      auto in_client = [&](const std::function<void()>& body) { path.RunInClient(body); };
      struct Link {
        const char* name;
        int delay_ms;
        double loss;
        int count;
      };
      const Link links[] = {{"30 ms each way", 30, 0, delayed_count},
                            {"30 ms + 10% loss each", 30, 0.10, lossy_count}};
      for (const Link& link : links) {
        if (!started)
          break;
        if (!(link.loss > 0 ? options.loss : options.delay))
          continue;
        for (const char* transport : {"kcp", "websocket"}) {
          Row row;
          row.link = link.name;
          auto impair = [&](bool on) { path.Set(link.delay_ms, on ? link.loss : 0); };
          if (Measure(servers, transport, in_client, impair, options, false, link.count, &row))
            rows.push_back(row);
          PrintRows({row});
        }
      }
      servers.Stop();
      printf("relay: %llu packets forwarded, %llu dropped\n",
             static_cast<unsigned long long>(path.forwarded()),
             static_cast<unsigned long long>(path.dropped()));
    }
  }

  if (!rows.empty()) {
    printf("\n== all rows ==");
    PrintRows(rows);
  }

  if (options.bigburst)
    RunBigBursts(options);

  if (options.duplex)
    RunDuplex(options);

  if (options.initialize) {
    printf("\nInitialize (ms):\n");
    for (const char* mode : {"silent-dns", "no-route", "no-raw-socket"}) {
      const double ms = RunInitializeChild(mode);
      printf("  %-14s %10.1f\n", mode, ms);
      fflush(stdout);
    }
  }
  return 0;
}
