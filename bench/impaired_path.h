#ifndef BENCH_IMPAIRED_PATH_H_
#define BENCH_IMPAIRED_PATH_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zek_bench {

// A network path with a fixed one-way delay and random loss, for TCP and UDP alike:
// two network namespaces, a client side and a server side, each with a TUN device on
// one subnet, and a relay thread in this process that carries every IP packet from one
// device to the other, holding it for the delay or dropping it. Needs root (namespaces
// and TUN devices); everything it made is removed again by Stop or the destructor.
class ImpairedPath {
 public:
  static constexpr char kClientIp[] = "10.77.0.1";
  static constexpr char kServerIp[] = "10.77.0.2";

  ImpairedPath();
  ~ImpairedPath();
  ImpairedPath(const ImpairedPath&) = delete;
  ImpairedPath& operator=(const ImpairedPath&) = delete;

  // False, with the reason in `error`, when the namespaces or devices cannot be made.
  bool Start(std::string* error);
  void Stop();

  // From the next packet on; each direction gets the same delay and loss.
  void Set(int delay_ms, double loss);

  // Runs `body` on a new thread inside the client's (or server's) namespace and
  // returns once it has returned. Threads and sockets that `body` creates stay in that
  // namespace.
  bool RunInClient(const std::function<void()>& body);
  bool RunInServer(const std::function<void()>& body);

  uint64_t forwarded() const { return forwarded_.load(); }
  uint64_t dropped() const { return dropped_.load(); }

 private:
  bool RunIn(const std::string& ns, const std::function<void()>& body);
  bool MakeSide(const std::string& ns, const char* address, int* tun_fd, std::string* error);
  void Relay();

  const std::string client_ns_;
  const std::string server_ns_;
  int client_tun_ = -1;
  int server_tun_ = -1;
  int stop_fd_ = -1;  // an eventfd that ends the relay
  std::thread relay_;
  std::atomic<int> delay_ms_{0};
  std::atomic<uint32_t> loss_per_million_{0};
  std::atomic<uint64_t> forwarded_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace zek_bench

#endif  // BENCH_IMPAIRED_PATH_H_
