#include "bench/impaired_path.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <vector>

namespace zek_bench {
namespace {

constexpr char kTunName[] = "zt0";
constexpr size_t kMaxPacket = 65536;

int64_t NowNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool Run(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Held {
  int64_t due_ns;
  std::vector<char> bytes;
};

}  // namespace

constexpr char ImpairedPath::kClientIp[];
constexpr char ImpairedPath::kServerIp[];

ImpairedPath::ImpairedPath()
    : client_ns_("zekb" + std::to_string(getpid()) + "c"),
      server_ns_("zekb" + std::to_string(getpid()) + "s") {}

ImpairedPath::~ImpairedPath() {
  Stop();
}

bool ImpairedPath::Start(std::string* error) {
  for (const std::string& ns : {client_ns_, server_ns_}) {
    Run("ip netns del " + ns);
    if (!Run("ip netns add " + ns)) {
      *error = "ip netns add " + ns + " failed (root and the ip tool are needed)";
      Stop();
      return false;
    }
  }
  if (!MakeSide(client_ns_, kClientIp, &client_tun_, error) ||
      !MakeSide(server_ns_, kServerIp, &server_tun_, error)) {
    Stop();
    return false;
  }
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    *error = "eventfd failed";
    Stop();
    return false;
  }
  relay_ = std::thread([this] { Relay(); });
  return true;
}

void ImpairedPath::Stop() {
  if (relay_.joinable()) {
    const uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof(one)) != sizeof(one))
      perror("eventfd write");
    relay_.join();
  }
  for (int* fd : {&client_tun_, &server_tun_, &stop_fd_}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
  Run("ip netns del " + client_ns_);
  Run("ip netns del " + server_ns_);
}

void ImpairedPath::Set(int delay_ms, double loss) {
  delay_ms_ = delay_ms;
  loss_per_million_ = static_cast<uint32_t>(loss * 1000000);
}

bool ImpairedPath::RunInClient(const std::function<void()>& body) {
  return RunIn(client_ns_, body);
}

bool ImpairedPath::RunInServer(const std::function<void()>& body) {
  return RunIn(server_ns_, body);
}

bool ImpairedPath::RunIn(const std::string& ns, const std::function<void()>& body) {
  bool entered = false;
  // A namespace belongs to a thread; a fresh one joins it so that the caller keeps its own.
  std::thread runner([&] {
    const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return;
    entered = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    if (entered)
      body();
  });
  runner.join();
  return entered;
}

bool ImpairedPath::MakeSide(const std::string& ns,
                            const char* address,
                            int* tun_fd,
                            std::string* error) {
  // The device is made inside the namespace; its descriptor then works from anywhere.
  const bool entered = RunIn(ns, [&] {
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      return;
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    strncpy(ifr.ifr_name, kTunName, IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
      close(fd);
      return;
    }
    *tun_fd = fd;
  });
  if (!entered || *tun_fd < 0) {
    *error = "cannot make a TUN device in " + ns;
    return false;
  }
  const std::string ip = "ip -n " + ns + " ";
  if (!Run(ip + "link set lo up") ||
      !Run(ip + "addr add " + std::string(address) + "/24 dev " + kTunName) ||
      !Run(ip + "link set " + kTunName + " up")) {
    *error = "cannot configure " + std::string(kTunName) + " in " + ns;
    return false;
  }
  return true;
}

void ImpairedPath::Relay() {
  std::mt19937_64 random(20240611);
  std::uniform_int_distribution<uint32_t> per_million(0, 999999);
  // Index 0 holds what goes from the client to the server, 1 the way back. The delay is
  // the same for every packet of a direction, so each queue stays in arrival order.
  std::deque<Held> held[2];
  const int from[2] = {client_tun_, server_tun_};
  const int to[2] = {server_tun_, client_tun_};
  std::vector<char> buffer(kMaxPacket);

  for (;;) {
    const int64_t now = NowNanos();
    for (int dir = 0; dir < 2; dir++) {
      while (!held[dir].empty() && held[dir].front().due_ns <= now) {
        const std::vector<char>& bytes = held[dir].front().bytes;
        // A full device queue drops the packet, as a congested link would.
        if (write(to[dir], bytes.data(), bytes.size()) > 0)
          forwarded_++;
        held[dir].pop_front();
      }
    }
    int64_t wait_ns = -1;
    for (int dir = 0; dir < 2; dir++) {
      if (!held[dir].empty()) {
        const int64_t left = held[dir].front().due_ns - now;
        if (wait_ns < 0 || left < wait_ns)
          wait_ns = left < 0 ? 0 : left;
      }
    }
    pollfd fds[3] = {{from[0], POLLIN, 0}, {from[1], POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    timespec timeout = {static_cast<time_t>(wait_ns / 1000000000),
                        static_cast<long>(wait_ns % 1000000000)};
    const int ready = ppoll(fds, 3, wait_ns < 0 ? nullptr : &timeout, nullptr);
    if (ready < 0 && errno != EINTR)
      return;
    if (fds[2].revents & POLLIN)
      return;
    for (int dir = 0; dir < 2; dir++) {
      if (!(fds[dir].revents & POLLIN))
        continue;
      for (;;) {
        const ssize_t n = read(from[dir], buffer.data(), buffer.size());
        if (n <= 0)
          break;
        if (per_million(random) < loss_per_million_.load()) {
          dropped_++;
          continue;
        }
        held[dir].push_back(Held{NowNanos() + int64_t{delay_ms_.load()} * 1000000,
                                 std::vector<char>(buffer.begin(), buffer.begin() + n)});
      }
    }
  }
}

}  // namespace zek_bench
