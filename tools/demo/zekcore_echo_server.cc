// A loopback IM server to try the core against, by hand or from scripts: a KCP server,
// a plain WebSocket server and a WebSocket server over TLS on 127.0.0.1 that accept
// every login and send each text message back; the WebSocket ones ping every 20 s, as
// the core expects a server to. The TLS server's certificate names 127.0.0.1 and
// localhost, so "server_ip" may be either. It prints "kcp <port>", "websocket <port>"
// and "wss <port>", one line each, once all listen, then serves until SIGINT or SIGTERM.
//
//   zekcore_echo_server [kcp_port [websocket_port [wss_port]]]   (0 or nothing: a free port)

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/support/kcp_test_server.h"
#include "tests/support/ws_test_server.h"

namespace {

// Well inside the 40 s of silence after which the core gives a WebSocket session up.
constexpr int kPingIntervalMs = 20000;

bool ParsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0 || value > 65535)
    return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zek_test::KcpTestServerConfig kcp_config;
  zek_test::WsTestServerOptions ws_options;
  ws_options.ping_interval_ms = kPingIntervalMs;
  zek_test::WsTestServerOptions wss_options = ws_options;
  wss_options.tls = true;
  if (argc > 4 || (argc > 1 && !ParsePort(argv[1], &kcp_config.port)) ||
      (argc > 2 && !ParsePort(argv[2], &ws_options.port)) ||
      (argc > 3 && !ParsePort(argv[3], &wss_options.port))) {
    fprintf(stderr, "usage: %s [kcp_port [websocket_port [wss_port]]]\n", argv[0]);
    return 2;
  }

  // A shell starts a background job with SIGINT ignored, and an ignored signal never
  // reaches sigwait. The servers' threads inherit the mask, so only sigwait below sees
  // these signals.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  zek_test::KcpTestServer kcp(kcp_config);
  if (!kcp.Start()) {
    fprintf(stderr, "cannot start the KCP server: %s\n", kcp.last_error().c_str());
    return 1;
  }
  zek_test::WsTestServer websocket(ws_options);
  if (!websocket.Start()) {
    fprintf(stderr, "cannot start the WebSocket server\n");
    return 1;
  }
  zek_test::WsTestServer wss(wss_options);
  if (!wss.Start()) {
    fprintf(stderr, "cannot start the WebSocket server over TLS\n");
    return 1;
  }
  printf("kcp %u\nwebsocket %u\nwss %u\n", static_cast<unsigned>(kcp.port()),
         static_cast<unsigned>(websocket.port()), static_cast<unsigned>(wss.port()));
  fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  wss.Stop();
  websocket.Stop();
  kcp.Stop();
  return 0;
}
