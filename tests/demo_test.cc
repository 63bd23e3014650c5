// The demo program as a user runs it: lines piped in, against its own loopback server or
// another one, and with a parameter text that the core refuses.

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ws_test_server.h"

namespace {

struct DemoRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs the demo with `input` on its standard input and `params`, when given, as its one
// argument. The demo's own waits are bounded, so the run is too.
DemoRun RunDemo(const std::string& input, const std::string& params = "") {
  char dir_template[] = "/tmp/zek_demo_test.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  EXPECT_NE(dir, nullptr);
  const std::string in = std::string(dir) + "/in", err = std::string(dir) + "/err";
  std::ofstream(in) << input;
  std::string command = std::string("'") + ZEK_DEMO_PROGRAM + "'";
  if (!params.empty())
    command += " '" + params + "'";  // the texts below hold no single quote
  command += " <" + in + " 2>" + err;

  DemoRun run;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    run.out.append(buffer, got);
  const int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // A busy machine can hold the worker in one message for 50 ms or more, which the core
  // reports; that line says nothing of the demo.
  std::istringstream lines(ReadFile(err));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("): Message took ") == std::string::npos)
      run.err += line + "\n";
  }
  unlink(in.c_str());
  unlink(err.c_str());
  rmdir(dir);
  return run;
}

// Each of `lines` occurs in `text`, in this order.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t from = 0;
  for (const std::string& line : lines) {
    const size_t at = text.find(line + "\n", from);
    if (at == std::string::npos)
      return ::testing::AssertionFailure() << "no \"" << line << "\" in order in:\n" << text;
    from = at + line.size();
  }
  return ::testing::AssertionSuccess();
}

TEST(DemoTest, ShowsTheEchoesOfPipedLinesBeforeTheDisconnect) {
  const DemoRun run = RunDemo("one\n\ntwo\n");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(InOrder(run.out, {"event: connected (0, 0) \"ok\"", "message: one", "message: two",
                                "event: disconnected (3, 0) \"\""}));
  EXPECT_EQ(run.err, "");
}

// Over WebSocket only JSON texts come back to the app: a plain line goes out wrapped in
// one, and a JSON line as it is.
TEST(DemoTest, WrapsPlainLinesInJsonOverItsLoopbackWebSocket) {
  const DemoRun run = RunDemo("hello \"you\"\n{\"n\":1}\n", "--websocket");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(
      InOrder(run.out, {"event: connected (0, 0) \"\"", "message: {\"text\":\"hello \\\"you\\\"\"}",
                        "message: {\"n\":1}", "event: disconnected (3, 0) \"\""}));
  EXPECT_NE(run.out.find("only JSON texts come back"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
}

// With a server of its own choosing the demo cannot peek at the server: it waits for the
// echoes it receives.
TEST(DemoTest, WaitsForTheEchoesOfAnotherServer) {
  zek_test::WsTestServer server;
  ASSERT_TRUE(server.Start());
  const std::string port = std::to_string(server.port());
  const std::string params =
      R"({"connection_type":"websocket","server_ip":"127.0.0.1","server_port_kcp":1,)"
      R"("server_port_ws":)" +
      port +
      R"(,"server_port_wss":1,"account_id":"a","app_id":"b","device_type":"linux",)"
      R"("token":"t","deviceid":"d"})";

  const DemoRun run = RunDemo("{\"n\":1}\n{\"n\":2}\n", params);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(InOrder(run.out, {"event: connected (0, 0) \"\"", "message: {\"n\":1}",
                                "message: {\"n\":2}", "event: disconnected (3, 0) \"\""}));
  EXPECT_EQ(server.texts(), (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
}

TEST(DemoTest, RefusedParametersNameTheExpectedMembersInOneLine) {
  const char* const refused[] = {
      "not json",
      R"({"server_ip":"127.0.0.1","server_port_kcp":9000})",
      R"({"connection_type":"quic"})",
  };
  for (const char* params : refused) {
    SCOPED_TRACE(params);
    const DemoRun run = RunDemo("", params);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("event: connect failed (1, 2)"), std::string::npos) << run.out;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line:\n" << run.err;
    for (const char* member :
         {"\"server_ip\"", "\"server_port_kcp\"", "\"server_port_ws\"", "\"server_port_wss\"",
          "\"account_id\"", "\"app_id\"", "\"device_type\"", "\"token\"", "\"deviceid\"",
          "\"connection_type\"", "\"tls\""}) {
      EXPECT_NE(run.err.find(member), std::string::npos) << member << " missing in " << run.err;
    }
  }
}

// Asked for its usage, the demo prints it and neither starts a server nor connects.
TEST(DemoTest, HelpPrintsTheUsageAndConnectsNowhere) {
  for (const char* flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    const DemoRun run = RunDemo("", flag);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.find("usage: "), 0u) << run.out;
    EXPECT_NE(run.out.find("--websocket"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("event: "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("loopback"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
