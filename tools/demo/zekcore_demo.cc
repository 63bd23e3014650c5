// Drives the core through its C API as an app would: connects, prints every event and
// received message, and sends each line read from standard input as a text message.
//
//   zekcore_demo                 against a loopback KCP echo server started here
//   zekcore_demo '<json params>' against the server the parameters name
//
// Ends at the end of the input (or after a few sample messages when the input is not a
// terminal and is empty), then disconnects and shuts the core down.

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "src/libzekcore.h"
#include "tests/support/kcp_test_server.h"

namespace {

const char* EventName(tavix::im::ZEkEventCode code) {
  switch (code) {
    case tavix::im::kEventConnected:
      return "connected";
    case tavix::im::kEventConnectFailed:
      return "connect failed";
    case tavix::im::kEventServerClosed:
      return "server closed";
    case tavix::im::kEventDisconnected:
      return "disconnected";
    case tavix::im::kEventReconnecting:
      return "reconnecting";
    case tavix::im::kEventReconnected:
      return "reconnected";
    case tavix::im::kEventReconnectStopped:
      return "reconnect stopped";
  }
  return "event";
}

// Called on the core's worker thread.
class PrintingObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int error_code, const char* context) override {
    printf("event: %s (%d, %d) \"%s\"\n", EventName(code), static_cast<int>(code), error_code,
           context);
    fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    last_event_ = code;
    ++events_;
    changed_.notify_all();
  }
  void OnZEkCoreMessage(const char* data, int length) override {
    printf("message: %.*s\n", length, data);
    fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    ++messages_;
    changed_.notify_all();
  }

  // Waits for the first event; true when it says connected.
  bool WaitForConnect(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return events_ > 0; });
    return events_ > 0 && last_event_ == tavix::im::kEventConnected;
  }
  void WaitForMessages(int count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return messages_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  tavix::im::ZEkEventCode last_event_ = tavix::im::kEventConnected;  // guarded by mutex_
  int events_ = 0;                                                   // guarded by mutex_
  int messages_ = 0;                                                 // guarded by mutex_
};

std::string LoopbackParams(uint16_t port) {
  const std::string p = std::to_string(port);
  return R"({"connection_type":"kcp","server_ip":"127.0.0.1","server_port_kcp":)" + p +
         R"(,"server_port_ws":)" + p + R"(,"server_port_wss":)" + p +
         R"(,"account_id":"demo","app_id":"demo","device_type":"linux","token":"t",)"
         R"("deviceid":"demo-device"})";
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<zek_test::KcpTestServer> server;
  std::string params;
  if (argc > 1) {
    params = argv[1];
  } else {
    server = std::make_unique<zek_test::KcpTestServer>();
    if (!server->Start()) {
      fprintf(stderr, "cannot start the loopback server\n");
      return 1;
    }
    params = LoopbackParams(server->port());
    printf("loopback KCP echo server on 127.0.0.1:%u\n", static_cast<unsigned>(server->port()));
  }

  PrintingObserver observer;
  Initialize(&observer);
  ConnectImServer(params.c_str());
  if (!observer.WaitForConnect(std::chrono::seconds(15))) {
    UnInitialize();
    return 1;
  }

  int sent = 0;
  std::string line;
  const bool interactive = isatty(STDIN_FILENO);
  while (std::getline(std::cin, line)) {
    SendUserMessage(line.data(), static_cast<int>(line.size()), tavix::im::kMsgText);
    ++sent;
  }
  if (sent == 0 && !interactive) {
    for (const char* text : {"hello", "from", "zekcore"}) {
      SendUserMessage(text, static_cast<int>(std::string(text).size()), tavix::im::kMsgText);
      ++sent;
    }
  }
  if (server)
    observer.WaitForMessages(sent, std::chrono::seconds(5));

  DisConnectImServer();
  UnInitialize();
  return 0;
}
