// Both transports side by side, through the C API, against the loopback test servers:
// echo latency of paced texts, the completion of a burst, closed-loop throughput, what
// an idle connection costs, and how long Initialize takes when the network misbehaves.
// The impaired rows carry every packet, TCP and UDP alike, through a relay between two
// network namespaces that delays and drops it. Run as root:
//
//   transport_compare [--quick] [--only=clean,delay,loss,initialize]
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
#include <condition_variable>
#include <fstream>
#include <functional>
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
  // The parts to run: clean loopback, 30 ms each way, 30 ms with 10 % loss, Initialize.
  bool clean = true;
  bool delay = true;
  bool loss = true;
  bool initialize = true;
};

struct Servers {
  std::unique_ptr<zek_test::KcpTestServer> kcp;
  std::unique_ptr<zek_test::WsTestServer> ws;
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
    if (!kcp->Start()) {
      fprintf(stderr, "KCP server: %s\n", kcp->last_error().c_str());
      return false;
    }
    return ws->Start();
  }
  void Stop() {
    if (kcp)
      kcp->Stop();
    if (ws)
      ws->Stop();
  }
  std::string Params(const std::string& transport) const {
    Json::Value root = zek_test::ImParamObject(kcp->port(), ws->port());
    root["server_ip"] = address;
    root["connection_type"] = transport;
    return zek_test::JsonText(root);
  }
};

// Initialize (on `initialize_on`, so that the core's threads join its namespace),
// connect on a clean link, then measure with `impair` in force.
bool Measure(const Servers& servers,
             const std::string& transport,
             const std::function<void(const std::function<void()>&)>& initialize_on,
             const std::function<void(bool)>& impair,
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
    } else {
      fprintf(stderr, "usage: %s [--quick] [--only=clean,delay,loss,initialize]\n", argv[0]);
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

  printf("\n== all rows ==");
  PrintRows(rows);

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
