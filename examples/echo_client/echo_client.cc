// A small app on zekcore's C API: it logs in to an IM server, sends one message, waits
// for the server to send it back, disconnects and shuts the core down.
//
//   echo_client <kcp|websocket> <server_ip> <port> [message]
//
// The message defaults to a small JSON text, which both transports deliver (over
// WebSocket the core hands the app only JSON texts). Exits 0 once the echo came back
// and the disconnect was confirmed.

#include <zekcore/libzekcore.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using tavix::im::ZEkEventCode;

// The core calls the observer on its own worker thread; main() waits on what it saw.
class EchoObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(ZEkEventCode code, int error_code, const char* context) override {
    printf("event %d, code %d: \"%s\"\n", static_cast<int>(code), error_code, context);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(code);
    changed_.notify_all();
  }

  void OnZEkCoreMessage(const char* data, int length) override {
    printf("message: %.*s\n", length, data);
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.emplace_back(data, static_cast<size_t>(length));
    changed_.notify_all();
  }

  bool WaitForEvent(ZEkEventCode code, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (ZEkEventCode seen : events_) {
        if (seen == code)
          return true;
      }
      return false;
    });
  }

  bool WaitForMessage(const std::string& text, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (const std::string& seen : messages_) {
        if (seen == text)
          return true;
      }
      return false;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ZEkEventCode> events_;   // guarded by mutex_
  std::vector<std::string> messages_;  // guarded by mutex_
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    fprintf(stderr, "usage: %s <kcp|websocket> <server_ip> <port> [message]\n", argv[0]);
    return 2;
  }
  const std::string transport = argv[1];
  const std::string server_ip = argv[2];
  const int port = atoi(argv[3]);
  const std::string message = argc > 4 ? argv[4] : R"({"text":"hello from echo_client"})";
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // The server's ports for both transports, and the account that logs in.
  const std::string p = std::to_string(port);
  const std::string params =
      R"({"connection_type":")" + transport + R"(","server_ip":")" + server_ip +
      R"(","server_port_kcp":)" + p + R"(,"server_port_ws":)" + p + R"(,"server_port_wss":)" + p +
      R"(,"account_id":"example","app_id":"example","device_type":"linux","token":"token",)"
      R"("deviceid":"example-device"})";

  EchoObserver observer;
  Initialize(&observer);  // blocks while the core probes the path's packet size
  ConnectImServer(params.c_str());

  bool echoed = false;
  if (observer.WaitForEvent(tavix::im::kEventConnected, std::chrono::seconds(15))) {
    SendUserMessage(message.data(), static_cast<int>(message.size()), tavix::im::kMsgText);
    echoed = observer.WaitForMessage(message, std::chrono::seconds(10));
  }
  DisConnectImServer();
  const bool disconnected =
      observer.WaitForEvent(tavix::im::kEventDisconnected, std::chrono::seconds(10));
  UnInitialize();

  printf("%s, %s\n", echoed ? "echoed" : "no echo",
         disconnected ? "disconnected" : "no disconnect");
  return echoed && disconnected ? 0 : 1;
}
