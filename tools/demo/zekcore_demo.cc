// Drives the core through its C API as an app would: connects, prints every event and
// received message, and sends each line read from standard input as a text message.
//
//   zekcore_demo                 against a loopback KCP echo server started here
//   zekcore_demo --websocket     against a loopback WebSocket echo server started here
//   zekcore_demo '<json params>' against the server the parameters name
//   zekcore_demo --help          what it takes, and nothing else
//
// Over WebSocket the core hands the app only texts that are JSON, so a line that is not
// JSON goes out wrapped as {"text":"<line>"}, and the demo says so once.
//
// At the end of the input (or after a few sample messages when the input is not a
// terminal and is empty) it waits a bounded time for the echoes of what it sent, then
// disconnects, waits for the disconnected event and shuts the core down. When the core
// refuses the parameters it says, in one line, what they must hold.
//
// Standard output carries the demo's lines ("event: ...", "message: ...") and the core's
// own ("start send keepalive conv = ...", "start reconnecting, connection type : ...",
// "recv server's keepalive..."); the core's log lines and the demo's complaints go to
// standard error.

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "src/libzekcore.h"
#include "src/utilities/json_reader.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/ws_test_server.h"

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

// Called on the core's worker thread; main() waits on what it saw.
class PrintingObserver : public tavix::im::ZEkCoreObserver {
 public:
  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int error_code, const char* context) override {
    printf("event: %s (%d, %d) \"%s\"\n", EventName(code), static_cast<int>(code), error_code,
           context);
    fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({code, error_code, context});
    changed_.notify_all();
  }
  void OnZEkCoreMessage(const char* data, int length) override {
    printf("message: %.*s\n", length, data);
    fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    auto sent = awaited_echoes_.find(std::string(data, static_cast<size_t>(length)));
    if (sent != awaited_echoes_.end())
      awaited_echoes_.erase(sent);
    changed_.notify_all();
  }

  struct Event {
    tavix::im::ZEkEventCode code;
    int error_code;
    std::string context;
  };

  // Waits for the first event and returns it; false when none came in time.
  bool WaitForFirstEvent(std::chrono::seconds limit, Event* first) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, limit, [this] { return !events_.empty(); }))
      return false;
    *first = events_.front();
    return true;
  }
  bool WaitForEvent(tavix::im::ZEkEventCode code, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (const Event& event : events_) {
        if (event.code == code)
          return true;
      }
      return false;
    });
  }

  // Called before the text is sent, so that an echo cannot come first.
  void AwaitEcho(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    awaited_echoes_.insert(text);
  }
  // Waits until every awaited echo came back; returns how many are still missing.
  size_t WaitForEchoes(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return awaited_echoes_.empty(); });
    return awaited_echoes_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;                  // guarded by mutex_
  std::multiset<std::string> awaited_echoes_;  // guarded by mutex_
};

constexpr std::chrono::seconds kConnectWait(15);
constexpr std::chrono::seconds kEchoWait(10);
constexpr std::chrono::seconds kDisconnectWait(5);
constexpr int kServerPingIntervalMs = 20000;

// What the parameter text must hold, in one line.
constexpr char kExpectedParams[] =
    R"(demo: the parameters are one JSON object with "server_ip" (an IPv4 address for kcp), )"
    R"("server_port_kcp", "server_port_ws", "server_port_wss" (numbers), "account_id", )"
    R"("app_id", "device_type", "token", "deviceid" (texts), and optionally )"
    R"("connection_type" ("kcp", the default, or "websocket") and "tls" ("enable" for )"
    R"(WebSocket over TLS); docs/api.md describes them all)";

// The core's verdicts on a parameter text it cannot use.
bool IsParameterError(const PrintingObserver::Event& event) {
  return event.code == tavix::im::kEventConnectFailed && event.error_code == 2 &&
         (event.context == "param parse init failed" || event.context == "not support");
}

std::string LoopbackParams(const char* type, uint16_t port) {
  const std::string p = std::to_string(port);
  return R"({"connection_type":")" + std::string(type) +
         R"(","server_ip":"127.0.0.1","server_port_kcp":)" + p + R"(,"server_port_ws":)" + p +
         R"(,"server_port_wss":)" + p +
         R"(,"account_id":"demo","app_id":"demo","device_type":"linux","token":"t",)"
         R"("deviceid":"demo-device"})";
}

// The transport the core starts with, read as the core reads it.
bool NamesWebSocket(const std::string& params) {
  Json::Value root;
  tavix::ParseJson(params.data(), params.size(), &root);
  if (!root.isObject())
    return false;
  const Json::Value& object = root;
  std::string type;
  return tavix::ReadJsonString(object["connection_type"], &type) && type == "websocket";
}

// A line as the WebSocket transport can bring it back: itself when it is JSON, else
// wrapped in a JSON object.
std::string AsJsonText(const std::string& line) {
  Json::Value root;
  if (tavix::ParseJson(line.data(), line.size(), &root))
    return line;
  Json::Value wrapped(Json::objectValue);
  wrapped["text"] = line;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, wrapped);
}

}  // namespace

int main(int argc, char** argv) {
  const char kUsage[] = "usage: %s [--websocket | '<json params>' | --help]\n%s\n";
  if (argc > 2) {
    fprintf(stderr, kUsage, argv[0], kExpectedParams);
    return 2;
  }
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    printf(kUsage, argv[0], kExpectedParams);
    return 0;
  }
  std::unique_ptr<zek_test::KcpTestServer> kcp_server;
  std::unique_ptr<zek_test::WsTestServer> ws_server;
  std::string params;
  if (argc > 1 && std::string(argv[1]) == "--websocket") {
    // The core ends a WebSocket session that hears no ping for 40 s.
    zek_test::WsTestServerOptions options;
    options.ping_interval_ms = kServerPingIntervalMs;
    ws_server = std::make_unique<zek_test::WsTestServer>(options);
    if (!ws_server->Start()) {
      fprintf(stderr, "cannot start the loopback server\n");
      return 1;
    }
    params = LoopbackParams("websocket", ws_server->port());
    printf("loopback WebSocket echo server on 127.0.0.1:%u\n",
           static_cast<unsigned>(ws_server->port()));
  } else if (argc > 1) {
    params = argv[1];
  } else {
    kcp_server = std::make_unique<zek_test::KcpTestServer>();
    if (!kcp_server->Start()) {
      fprintf(stderr, "cannot start the loopback server\n");
      return 1;
    }
    params = LoopbackParams("kcp", kcp_server->port());
    printf("loopback KCP echo server on 127.0.0.1:%u\n", static_cast<unsigned>(kcp_server->port()));
  }
  const bool websocket = NamesWebSocket(params);
  if (websocket) {
    printf(
        "demo: over WebSocket only JSON texts come back; a line that is not JSON goes "
        "out as {\"text\":\"<line>\"}\n");
    fflush(stdout);
  }

  PrintingObserver observer;
  Initialize(&observer);
  ConnectImServer(params.c_str());
  PrintingObserver::Event first{tavix::im::kEventConnected, 0, ""};
  if (!observer.WaitForFirstEvent(kConnectWait, &first) ||
      first.code != tavix::im::kEventConnected) {
    if (IsParameterError(first))
      fprintf(stderr, "%s\n", kExpectedParams);
    UnInitialize();
    return 1;
  }

  // Each line is sent as it is read, so that an interactive user sees its echo at once.
  int sent = 0;
  auto send = [&](const std::string& line) {
    const std::string text = websocket ? AsJsonText(line) : line;
    observer.AwaitEcho(text);
    SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
    ++sent;
  };
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty())
      send(line);
  }
  if (sent == 0 && !isatty(STDIN_FILENO)) {
    for (const char* text : {"hello", "from", "zekcore"})
      send(text);
  }

  // Whatever the server, its echoes and the disconnect are shown before the core goes.
  const size_t missing = observer.WaitForEchoes(kEchoWait);
  if (missing > 0) {
    fprintf(stderr, "demo: %zu of the %d messages sent did not come back within %d s\n", missing,
            sent, static_cast<int>(kEchoWait.count()));
  }
  DisConnectImServer();
  if (!observer.WaitForEvent(tavix::im::kEventDisconnected, kDisconnectWait))
    fprintf(stderr, "demo: no disconnected event within %d s\n",
            static_cast<int>(kDisconnectWait.count()));
  UnInitialize();
  return 0;
}
