// ctest-labels: threading
#include "src/libzekcore.h"

#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "rtc_base/platform_thread_types.h"
#include "rtc_base/timeutils.h"
#include "src/kcp_connection.h"
#include "src/libzekcore_testing.h"
#include "src/websocket_connection.h"
#include "src/zek_manager.h"
#include "tests/support/capabilities.h"
#include "tests/support/fake_clock.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/recording_observer.h"
#include "tests/support/run_on.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

// The system resolver as this binary sees it. Every name goes to the real one except
// the MTU probe's public host and kHeldHost, which never leave the machine: while
// Hold() is on, a look-up of either waits until Release(), and then finds nothing.
namespace {

constexpr char kProbeHost[] = "www.baidu.com";
constexpr char kHeldHost[] = "held.zek.test";

class HeldResolver {
 public:
  static HeldResolver& Get() {
    static HeldResolver* const resolver = new HeldResolver;  // look-ups may outlive exit
    return *resolver;
  }
  static bool Intercepts(const char* node) {
    return node && (strcmp(node, kProbeHost) == 0 || strcmp(node, kHeldHost) == 0);
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  int entered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entered_;
  }
  int returned() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return returned_;
  }
  void LookUp() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    released_.wait(lock, [this] { return !held_; });
    ++returned_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;  // guarded by mutex_
  int entered_ = 0;    // guarded by mutex_
  int returned_ = 0;   // guarded by mutex_
};

}  // namespace

extern "C" int getaddrinfo(const char* node,
                           const char* service,
                           const addrinfo* hints,
                           addrinfo** res) noexcept {
  if (HeldResolver::Intercepts(node)) {
    HeldResolver::Get().LookUp();
    return EAI_NONAME;
  }
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return real(node, service, hints, res);
}

namespace {

using tavix::im::g_zek_manager;
using zek_test::CoreEvent;
using zek_test::ImParamObject;
using zek_test::JsonText;
using zek_test::KcpLoginReply;
using zek_test::KcpTestServer;
using zek_test::RecordingObserver;
using zek_test::WaitUntil;
using zek_test::WsTestServer;

const CoreEvent kConnected{tavix::im::kEventConnected, 0, "ok"};
const CoreEvent kDisconnected{tavix::im::kEventDisconnected, 0, ""};

class LibZekCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.last_error(); }
  void TearDown() override { UnInitialize(); }

  // The product's Initialize probes a public host. On a thread that may not open raw
  // sockets the probe gives up before any look-up, so nothing leaves the machine.
  void InitializeHere(tavix::im::ZEkCoreObserver* observer) {
    if (!zek_test::RunWithoutRawSockets([&] { Initialize(observer); }))
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  }

  std::string Params() const { return JsonText(ImParamObject(server_.port())); }

  KcpTestServer server_;
  RecordingObserver observer_;
};

TEST_F(LibZekCoreTest, EveryCallWithoutACoreDoesNothing) {
  ASSERT_EQ(nullptr, g_zek_manager);
  UnInitialize();
  ConnectImServer(Params().c_str());
  DisConnectImServer();
  SendUserMessage("hello", 5, tavix::im::kMsgText);
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  EXPECT_TRUE(server_.logins().empty());
}

// Each call made without a core says so once, until the next core: an app that keeps
// calling does not flood standard error.
TEST_F(LibZekCoreTest, EachCallWithoutACoreWarnsOnceUntilTheNextInitialize) {
  const char* const warnings[] = {
      "ConnectImServer without Initialize does nothing",
      "DisConnectImServer without Initialize does nothing",
      "SendUserMessage without Initialize does nothing",
  };
  // Whole lines: "DisConnectImServer ..." holds "ConnectImServer ...".
  const auto count = [](const std::string& text, const std::string& warning) {
    const std::string line = "): " + warning + "\n";
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
      n++;
    return n;
  };
  for (int core = 0; core < 2; core++) {
    SCOPED_TRACE(core);
    // A core comes and goes first, so that what tests before may have written counts for
    // nothing here.
    ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
    if (IsSkipped())
      return;
    UnInitialize();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++) {
      ConnectImServer(Params().c_str());
      DisConnectImServer();
      SendUserMessage("hello", 5, tavix::im::kMsgText);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    for (const char* warning : warnings)
      EXPECT_EQ(1u, count(err, warning)) << warning << " in:\n" << err;
  }
  EXPECT_TRUE(server_.logins().empty());
}

TEST_F(LibZekCoreTest, SecondInitializeKeepsTheFirstObserver) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  tavix::im::ZekManager* const first = g_zek_manager;
  ASSERT_NE(nullptr, first);
  RecordingObserver second;
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&second));
  EXPECT_EQ(first, g_zek_manager);

  Json::Value quic = ImParamObject(server_.port());
  quic["connection_type"] = "quic";
  ConnectImServer(JsonText(quic).c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ((CoreEvent{tavix::im::kEventConnectFailed, 2, "not support"}), observer_.events()[0]);
  EXPECT_EQ(0u, second.event_count());

  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
}

TEST_F(LibZekCoreTest, ConnectSendReceiveDisconnect) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  // Refused quietly: no text at all.
  ConnectImServer(nullptr);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  EXPECT_EQ(kConnected, observer_.events()[0]);
  EXPECT_EQ(1u, server_.logins().size());
  // The probe never got a raw socket: the default limit.
  EXPECT_EQ(550u, server_.logins()[0].packet_size);

  SendUserMessage("hello", 5, tavix::im::kMsgText);
  // Refused quietly: no data, a negative length; and, by the KCP transport (the C API
  // passes every type through), types that would carry nothing.
  SendUserMessage(nullptr, 5, tavix::im::kMsgText);
  SendUserMessage("abc", -1, tavix::im::kMsgText);
  SendUserMessage("abc", 3, 7);
  SendUserMessage("abc", 3, -1);
  SendUserMessage("", 0, tavix::im::kMsgNoPayload);
  SendUserMessage("after", 5, tavix::im::kMsgText);
  ASSERT_TRUE(observer_.WaitForMessages(2));
  EXPECT_EQ((std::vector<std::string>{"hello", "after"}), observer_.messages());
  // The engine delivers in order, so all of them are in by now.
  std::vector<int> types;
  for (const zek_test::KcpClientMessage& m : server_.messages()) {
    if (m.type != zek_test::kKcpMsgKeepAlive)
      types.push_back(m.type);
  }
  EXPECT_EQ(
      (std::vector<int>{zek_test::kKcpMsgText, zek_test::kKcpMsgNoPayload, zek_test::kKcpMsgText}),
      types);

  DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  UnInitialize();
  EXPECT_EQ(2u, observer_.event_count());
}

TEST_F(LibZekCoreTest, UnInitializeWithAnOpenConnectionReleasesIt) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  const uint16_t port = server_.logins()[0].from_port;
  ASSERT_FALSE(zek_test::UdpPortFree(port));
  ASSERT_TRUE(server_.SendText("in flight"));
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
  EXPECT_TRUE(zek_test::UdpPortFree(port));
  EXPECT_EQ(std::vector<CoreEvent>{kConnected}, observer_.events());
}

// Over wss the server's certificate must name the host the app asked for, but no
// authority needs to stand behind it: a self-signed certificate is accepted.
TEST_F(LibZekCoreTest, WssChecksTheNameButAcceptsAnyChain) {
  const CoreEvent kNameMismatch{tavix::im::kEventReconnecting, 3, "login failed, start reconnect"};
  struct Case {
    const char* label;
    const char* server_ip;
    std::vector<std::string> dns_names;
    std::vector<std::string> ip_addresses;
    bool logs_in;
  };
  const Case cases[] = {
      {"address named", "127.0.0.1", {}, {"127.0.0.1"}, true},
      {"host named", "localhost", {"localhost"}, {}, true},
      {"another name", "127.0.0.1", {"other.example"}, {}, false},
      {"another address", "127.0.0.1", {}, {"127.0.0.2"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    zek_test::WsTestServerOptions options;
    options.tls = true;
    options.cert_self_signed = true;
    options.cert_common_name = c.dns_names.empty() ? "zekcore test" : c.dns_names[0];
    options.cert_dns_names = c.dns_names;
    options.cert_ip_addresses = c.ip_addresses;
    zek_test::WsTestServer wss(options);
    ASSERT_TRUE(wss.Start());
    RecordingObserver observer;
    ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer));
    if (IsSkipped())
      return;
    Json::Value params = ImParamObject(server_.port(), 1, wss.port());
    params["connection_type"] = "websocket";
    params["tls"] = "enable";
    params["server_ip"] = c.server_ip;
    ConnectImServer(JsonText(params).c_str());
    ASSERT_TRUE(observer.WaitForEvents(1));
    if (c.logs_in) {
      EXPECT_EQ((CoreEvent{tavix::im::kEventConnected, 0, ""}), observer.events()[0]);
      SendUserMessage("{\"over\":\"tls\"}", 15, tavix::im::kMsgText);
      ASSERT_TRUE(observer.WaitForMessages(1));
      EXPECT_EQ("{\"over\":\"tls\"}", observer.messages()[0]);
    } else {
      EXPECT_EQ(kNameMismatch, observer.events()[0]);
      EXPECT_EQ(0u, wss.login_count());
    }
    UnInitialize();
  }
}

// Texts accepted right before the app's disconnect are sent, not dropped with the
// connection: more of them than the engine keeps in flight, and the disconnect comes
// before any acknowledgement could.
TEST_F(LibZekCoreTest, TextsSentRightBeforeDisconnectReachTheServer) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(kConnected, observer_.events()[0]);

  std::vector<std::string> sent;
  for (int i = 0; i < 100; i++) {
    sent.push_back("line " + std::to_string(i));
    SendUserMessage(sent.back().data(), static_cast<int>(sent.back().size()), tavix::im::kMsgText);
  }
  DisConnectImServer();
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(kDisconnected, observer_.events()[1]);
  ASSERT_TRUE(zek_test::WaitUntil([&] { return server_.texts().size() >= sent.size(); }));
  EXPECT_EQ(sent, server_.texts());
}

// The setup failure a "quic" parameter text gives at once: a callback to shut down from.
std::string QuicParams(uint16_t kcp_port) {
  Json::Value quic = ImParamObject(kcp_port);
  quic["connection_type"] = "quic";
  return JsonText(quic);
}

constexpr char kWorkerName[] = "zek main thread";

// A callback's UnInitialize meets an app thread already inside UnInitialize, which waits
// for that callback: one of them shuts the core down, once, and neither waits for the
// other for ever.
TEST_F(LibZekCoreTest, CallbackUnInitializeWhileAnAppThreadIsInsideUnInitialize) {
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  std::atomic<bool> in_callback{false};
  std::atomic<int> app_tid{0};
  std::atomic<bool> callback_done{false};
  observer_.SetHook([&](const CoreEvent* event, const std::string*) {
    if (!event || event->code != tavix::im::kEventConnectFailed)
      return;
    in_callback = true;
    // The app thread is asleep inside its UnInitialize, on the lock this callback holds.
    EXPECT_TRUE(WaitUntil([&] { return app_tid != 0 && zek_test::IsThreadSleeping(app_tid); }));
    UnInitialize();
    callback_done = true;
  });
  ConnectImServer(QuicParams(server_.port()).c_str());
  std::thread app([&] {
    if (!WaitUntil([&] { return in_callback.load(); }))
      return;
    app_tid = rtc::CurrentThreadId();
    UnInitialize();
  });
  app.join();
  EXPECT_TRUE(callback_done);
  EXPECT_EQ(nullptr, g_zek_manager);
  EXPECT_EQ(0, zek_test::CountLiveThreadsNamed(kWorkerName));
  EXPECT_EQ(1u, observer_.event_count());

  RecordingObserver again;
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&again));
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(again.WaitForEvents(1));
  EXPECT_EQ(kConnected, again.events()[0]);
}

// An app thread's Initialize, made over and over while a callback shuts the core down,
// waits for that shut-down: a new core never runs beside the old one.
TEST_F(LibZekCoreTest, InitializeNeverOverlapsAShutDownBegunInACallback) {
  constexpr int kRounds = 3000;
  std::atomic<int> shut{0};
  observer_.SetHook([&](const CoreEvent* event, const std::string*) {
    if (event && event->code == tavix::im::kEventConnectFailed) {
      UnInitialize();
      ++shut;
    }
  });
  const std::string quic = QuicParams(server_.port());
  int rounds = 0;
  int overlaps = 0;
  int not_one = 0;
  const bool ran = zek_test::RunWithoutRawSockets([&] {
    Initialize(&observer_);
    for (; rounds < kRounds; ++rounds) {
      tavix::im::ZekManager* const old = __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST);
      if (!old)
        break;
      ConnectImServer(quic.c_str());
      // Until a new core is there: one Initialize made after the callback's
      // UnInitialize has returned always gives one.
      while (true) {
        const bool after_shut = shut.load() > rounds;
        Initialize(&observer_);
        tavix::im::ZekManager* const now = __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST);
        if (after_shut || (now && now != old))
          break;
      }
      // At once, and again once the new worker has named itself, which it does first
      // thing on its own thread.
      const int at_once = zek_test::CountLiveThreadsNamed(kWorkerName);
      zek_test::RunOn(__atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST)->main_thread(), [] {});
      const int workers = zek_test::CountLiveThreadsNamed(kWorkerName);
      if (at_once > 1 || workers > 1)
        ++overlaps;
      if (workers != 1)
        ++not_one;
    }
  });
  if (!ran)
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  EXPECT_EQ(kRounds, rounds);
  EXPECT_EQ(0, overlaps) << "rounds with two workers at once";
  EXPECT_EQ(0, not_one) << "rounds that did not end with exactly one worker";
  EXPECT_EQ(kRounds, shut.load());
}

// Lets go of the held look-ups however the test ends, so none waits for ever.
struct ReleaseLookUpsAtEnd {
  ~ReleaseLookUpsAtEnd() { HeldResolver::Get().Release(); }
};

// The look-up thread is started by the probe's thread and bears its name, cut short.
constexpr char kProbeThreadName[] = "mtu probe threa";

// An UnInitialize that comes while another thread's Initialize probes waits for that
// Initialize and then shuts down the core it made. The probe's look-up, held here,
// outlives both; it ends by itself once the resolver answers, and reaches nothing of
// the app's.
TEST_F(LibZekCoreTest, UnInitializeDuringAProbeShutsDownTheCoreThatInitializeMade) {
  if (!zek_test::CanOpenRawSocket())
    GTEST_SKIP() << "the probe looks its host up only with a raw socket: run as root or "
                    "with CAP_NET_RAW";
  HeldResolver& resolver = HeldResolver::Get();
  ReleaseLookUpsAtEnd release;
  // The probe gives its look-up 1 s. A busy machine may not bring the second thread to
  // UnInitialize's wait by then, and such a round shows nothing: it is tried again.
  bool overlapped = false;
  for (int attempt = 0; attempt < 5 && !overlapped; ++attempt) {
    SCOPED_TRACE(attempt);
    const int before = resolver.entered();
    resolver.Hold();
    std::atomic<bool> initialized{false};
    std::thread init([&] {
      Initialize(&observer_);
      initialized = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return resolver.entered() > before; }));
    std::atomic<int> tid{0};
    std::thread uninit([&] {
      tid = rtc::CurrentThreadId();
      UnInitialize();
    });
    // Asleep on the lock the probing Initialize holds, unless that Initialize is done.
    WaitUntil([&] { return initialized || (tid != 0 && zek_test::IsThreadSleeping(tid)); });
    overlapped = !initialized;
    init.join();
    uninit.join();
    // Had UnInitialize found no core and returned, the core Initialize made would be here.
    EXPECT_EQ(nullptr, g_zek_manager);
    EXPECT_EQ(0, zek_test::CountLiveThreadsNamed(kWorkerName));
    // The look-up still waits for the resolver.
    EXPECT_EQ(before, resolver.returned());
    EXPECT_EQ(1, zek_test::CountLiveThreadsNamed(kProbeThreadName));
    resolver.Release();
    EXPECT_TRUE(WaitUntil([&] { return zek_test::CountLiveThreadsNamed(kProbeThreadName) == 0; }));
    EXPECT_EQ(before + 1, resolver.returned());
  }
  EXPECT_TRUE(overlapped) << "UnInitialize never came while Initialize probed";
  EXPECT_EQ(0u, observer_.event_count());
}

// A WebSocket server's host name still being looked up when the app shuts the core
// down: UnInitialize does not wait for the resolver, the look-up's thread ends by itself
// once it answers, and nothing reaches the app.
TEST_F(LibZekCoreTest, AServersNameStillBeingLookedUpOutlivesUnInitialize) {
  HeldResolver& resolver = HeldResolver::Get();
  ReleaseLookUpsAtEnd release;
  const int before = resolver.entered();
  resolver.Hold();
  ASSERT_NO_FATAL_FAILURE(InitializeHere(&observer_));
  if (IsSkipped())
    return;
  Json::Value params = ImParamObject(server_.port());
  params["server_ip"] = kHeldHost;
  params["connection_type"] = "websocket";
  ConnectImServer(JsonText(params).c_str());
  ASSERT_TRUE(WaitUntil([&] { return resolver.entered() > before; }));
  std::atomic<bool> returned{false};
  std::thread app([&] {
    UnInitialize();
    returned = true;
  });
  const bool without_the_resolver = WaitUntil([&] { return returned.load(); });
  EXPECT_EQ(before, resolver.returned());
  resolver.Release();
  app.join();
  EXPECT_TRUE(without_the_resolver) << "UnInitialize waited for the look-up";
  EXPECT_TRUE(WaitUntil([&] { return zek_test::CountLiveThreadsNamed("SignalThread 0x") == 0; }));
  EXPECT_EQ(before + 1, resolver.returned());
  EXPECT_EQ(0u, observer_.event_count());
}

// Holds app calls at the point where they have read the manager pointer, through the
// core's call hook: one call of a sender thread that found a core, and every call begun
// after HoldWithoutCore(true) that found none. The hook is a plain function, so its
// state is the process's.
class HeldCalls {
 public:
  static HeldCalls& Get() {
    static HeldCalls held;
    return held;
  }
  static void Hook(tavix::im::ZekManager* manager) { Get().OnCall(manager); }

  // Marks the calling thread as a sender, whose calls the first kind of hold may catch.
  static void MarkSender() { t_sender_ = true; }
  // Before each call of a caller thread: when the call began.
  static void BeforeCall() { t_generation_ = Get().generation_.load(); }

  // The next sender call that finds a core waits until ReleaseWithCore.
  void CatchOneWithCore() {
    std::lock_guard<std::mutex> lock(mutex_);
    catch_with_core_ = true;
    keep_with_core_ = true;
    armed_ = true;
  }
  void ReleaseWithCore() {
    std::lock_guard<std::mutex> lock(mutex_);
    catch_with_core_ = false;
    keep_with_core_ = false;
    Rearm();
    changed_.notify_all();
  }
  // While on, every call begun since that finds no core waits.
  void HoldWithoutCore(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hold)
      ++generation_;
    keep_without_core_ = hold;
    Rearm();
    changed_.notify_all();
  }
  int with_core() const { return with_core_.load(); }
  int without_core() const { return without_core_.load(); }

 private:
  void OnCall(tavix::im::ZekManager* manager) {
    if (!armed_.load() || (manager && !t_sender_))
      return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (manager && t_sender_ && catch_with_core_) {
      catch_with_core_ = false;
      ++with_core_;
      changed_.wait(lock, [this] { return !keep_with_core_; });
      --with_core_;
    } else if (!manager && keep_without_core_ && t_generation_ == generation_) {
      ++without_core_;
      changed_.wait(lock, [this] { return !keep_without_core_; });
      --without_core_;
    }
  }
  // With the mutex held.
  void Rearm() { armed_ = catch_with_core_ || keep_without_core_; }

  static thread_local bool t_sender_;
  static thread_local int t_generation_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> armed_{false};
  std::atomic<int> generation_{0};  // written under mutex_
  bool catch_with_core_ = false;    // guarded by mutex_
  bool keep_with_core_ = false;     // guarded by mutex_
  bool keep_without_core_ = false;  // guarded by mutex_
  std::atomic<int> with_core_{0};
  std::atomic<int> without_core_{0};
};

thread_local bool HeldCalls::t_sender_ = false;
thread_local int HeldCalls::t_generation_ = -1;

// Where the shut-down begins: on an app thread, or inside a callback (then a thread of
// the core's own waits for the calls, and the app's next Initialize waits for that).
enum class ShutDownOn { kAppThread, kCallback };

std::string ShutDownOnName(const testing::TestParamInfo<ShutDownOn>& info) {
  return info.param == ShutDownOn::kAppThread ? "AppThread" : "Callback";
}

void PrintTo(ShutDownOn on, std::ostream* os) {
  *os << ShutDownOnName(testing::TestParamInfo<ShutDownOn>(on, 0));
}

// App threads that never stop calling: 8 send in a tight loop, 2 connect and disconnect
// (over KCP and with "quic", which fails at once), across 100 shut-downs. A shut-down
// waits for the call that read its core, and for no call that began once the core was
// cleared: every round holds one of each kind, by the call hook, and the shut-down ends
// while the second kind is still held.
class LibZekCoreCallsDuringShutDownTest : public ::testing::TestWithParam<ShutDownOn> {
 protected:
  static constexpr int kRounds = 100;
  static constexpr int kSenders = 8;
  // Far beyond a shut-down's few milliseconds, even under a sanitizer on a busy machine.
  static constexpr std::chrono::seconds kLimit{20};

  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << server_.last_error();
    if (!InitializeNow())
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
    tavix::im::SetApiCallHookForTesting(&HeldCalls::Hook);
  }
  void TearDown() override {
    held().HoldWithoutCore(false);
    held().ReleaseWithCore();
    stop_ = true;
    for (std::thread& caller : callers_)
      caller.join();
    UnInitialize();
    tavix::im::SetApiCallHookForTesting(nullptr);
  }

  static HeldCalls& held() { return HeldCalls::Get(); }

  // No raw socket: the probe gives up before any look-up.
  bool InitializeNow() {
    return zek_test::RunWithoutRawSockets([&] { Initialize(&observer_); });
  }

  void StartCallers() {
    for (int t = 0; t < kSenders; t++) {
      callers_.emplace_back([this] {
        HeldCalls::MarkSender();
        while (!stop_) {
          HeldCalls::BeforeCall();
          SendUserMessage("x", 1, tavix::im::kMsgText);
        }
      });
    }
    // Paced by the events they bring, so that the worker's queue stays short.
    for (const std::string& params :
         {JsonText(ImParamObject(server_.port())), QuicParams(server_.port())}) {
      callers_.emplace_back([this, params] {
        while (!stop_) {
          const size_t events = observer_.event_count();
          HeldCalls::BeforeCall();
          ConnectImServer(params.c_str());
          HeldCalls::BeforeCall();
          DisConnectImServer();
          WaitUntil([&] { return stop_ || observer_.event_count() != events; },
                    std::chrono::milliseconds(10));
        }
      });
    }
  }

  KcpTestServer server_;
  RecordingObserver observer_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> callers_;
};

TEST_P(LibZekCoreCallsDuringShutDownTest, WaitsOnlyForCallsThatReadTheCore) {
  const bool in_callback = GetParam() == ShutDownOn::kCallback;
  std::atomic<bool> shut_in_callback{false};
  std::atomic<bool> shut_by_callback{false};
  if (in_callback) {
    observer_.SetHook([&](const CoreEvent* event, const std::string*) {
      if (event && event->code == tavix::im::kEventConnectFailed &&
          shut_in_callback.exchange(false)) {
        UnInitialize();
        shut_by_callback = true;
      }
    });
  }
  StartCallers();

  int rounds = 0;
  int early = 0;  // ended before the call that had read the core had left
  for (; rounds < kRounds; rounds++) {
    held().CatchOneWithCore();
    ASSERT_TRUE(WaitUntil([] { return held().with_core() == 1; }));

    // The step under test: UnInitialize on an app thread, or the app's next Initialize
    // after a callback's UnInitialize, which waits for that shut-down to end. Once the
    // manager is cleared, calls begun from then on are held.
    std::atomic<bool> done{false};
    std::thread step;
    // On a failed assertion too: nothing stays held, and the step ends.
    struct Joiner {
      std::thread* step;
      ~Joiner() {
        held().HoldWithoutCore(false);
        held().ReleaseWithCore();
        if (step->joinable())
          step->join();
      }
    } joiner{&step};
    if (in_callback) {
      shut_in_callback = true;
      ASSERT_TRUE(WaitUntil([&] { return shut_by_callback.load(); })) << "round " << rounds;
      shut_by_callback = false;
      held().HoldWithoutCore(true);
      ASSERT_TRUE(WaitUntil([] { return held().without_core() > 0; }));
      step = std::thread([&] {
        InitializeNow();
        done = true;
      });
    } else {
      step = std::thread([&] {
        UnInitialize();
        done = true;
      });
      ASSERT_TRUE(
          WaitUntil([] { return __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST) == nullptr; }));
      held().HoldWithoutCore(true);
      ASSERT_TRUE(WaitUntil([] { return held().without_core() > 0; }));
    }
    if (done)
      ++early;
    held().ReleaseWithCore();
    const bool ended = WaitUntil([&] { return done.load(); }, kLimit);
    const int still_held = held().without_core();
    held().HoldWithoutCore(false);
    step.join();
    ASSERT_TRUE(ended) << "round " << rounds << ": held up by " << still_held
                       << " calls that began after the core was cleared";
    ASSERT_GT(still_held, 0);
    EXPECT_EQ(in_callback, __atomic_load_n(&g_zek_manager, __ATOMIC_SEQ_CST) != nullptr);
    if (!in_callback) {
      ASSERT_TRUE(InitializeNow());
    }
  }
  EXPECT_EQ(kRounds, rounds);
  EXPECT_EQ(0, early) << "rounds that ended while a call that read the core was inside it";
}

INSTANTIATE_TEST_SUITE_P(ShutDowns,
                         LibZekCoreCallsDuringShutDownTest,
                         ::testing::Values(ShutDownOn::kAppThread, ShutDownOn::kCallback),
                         ShutDownOnName);

// The C API as an app uses it, against the loopback server of one transport: KCP,
// WebSocket, or WebSocket over TLS. The process clock is the test's, so the reconnect
// waits (and the KCP polls) move only when the test moves it.
enum class Transport { kKcp, kWs, kWss };

std::string TransportName(const testing::TestParamInfo<Transport>& info) {
  switch (info.param) {
    case Transport::kKcp:
      return "Kcp";
    case Transport::kWs:
      return "Ws";
    case Transport::kWss:
      return "Wss";
  }
  return "";
}

void PrintTo(Transport transport, std::ostream* os) {
  *os << TransportName(testing::TestParamInfo<Transport>(transport, 0));
}

// Long enough for a datagram on loopback, to show that none came.
constexpr std::chrono::milliseconds kQuiet(300);
constexpr char kLoginFailed[] = "login failed, start reconnect";

Transport TransportOf(Transport transport) {
  return transport;
}
template <typename Case>
Transport TransportOf(const std::tuple<Transport, Case>& param) {
  return std::get<0>(param);
}

// `Param` is the transport, or the transport and a case of the test.
template <typename Param>
class CoreOverTransportTest : public ::testing::TestWithParam<Param> {
 protected:
  CoreOverTransportTest()
      : transport_(TransportOf(this->GetParam())),
        clock_(int64_t{1000000} * rtc::kNumNanosecsPerMillisec) {}

  void SetUp() override {
    ASSERT_TRUE(kcp_server_.Start()) << kcp_server_.last_error();
    if (!kcp()) {
      zek_test::WsTestServerOptions options = ws_options_;
      options.tls = transport_ == Transport::kWss;
      ws_server_.reset(new WsTestServer(options));
      ASSERT_TRUE(ws_server_->Start());
    }
    // No raw socket: the probe gives up before any look-up.
    if (!zek_test::RunWithoutRawSockets([&] { Initialize(core_observer_); }))
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
    ASSERT_NE(nullptr, g_zek_manager);
  }
  // Before the clock goes: the worker reads it until it stops.
  void TearDown() override { UnInitialize(); }

  bool kcp() const { return transport_ == Transport::kKcp; }

  std::string Params() const {
    const uint16_t ws_port = kcp() ? 1 : ws_server_->port();
    Json::Value root = ImParamObject(kcp_server_.port(), ws_port, ws_port);
    if (!kcp())
      root["connection_type"] = "websocket";
    if (transport_ == Transport::kWss)
      root["tls"] = "enable";
    return JsonText(root);
  }

  rtc::Thread* worker() const { return g_zek_manager->main_thread(); }
  // Everything posted to the worker by now, and every delayed message due by now, has
  // run.
  void Drain() { ASSERT_TRUE(zek_test::Drain(worker())); }
  // The worker first finishes what it is at: an event is raised before the reconnect it
  // announces is scheduled, and the schedule reads the clock.
  void Advance(int64_t ms) {
    Drain();
    clock_.AdvanceTimeMillis(ms);
    Drain();
  }
  uint8_t ReconnectInterval() {
    uint8_t interval = 0;
    zek_test::RunOn(worker(), [&] { interval = g_zek_manager->reconnect_interval(); });
    return interval;
  }
  size_t Logins() const { return kcp() ? kcp_server_.logins().size() : ws_server_->login_count(); }

  // The KCP login reply carries a text; the WebSocket login reports none.
  CoreEvent Connected() const { return {tavix::im::kEventConnected, 0, kcp() ? "ok" : ""}; }
  CoreEvent Reconnected() const { return {tavix::im::kEventReconnected, 0, kcp() ? "ok" : ""}; }

  // The next login is refused with `code`; what the refusal reports as its text.
  std::string RefuseNextLogin(uint32_t code) {
    if (kcp()) {
      KcpLoginReply reply;
      reply.kind = KcpLoginReply::Kind::kRefuse;
      reply.code = code;
      reply.text = "busy";
      kcp_server_.QueueLoginReply(reply);
      return reply.text;
    }
    const std::string text = R"({"code":)" + std::to_string(code) + R"(,"msg":"busy"})";
    ws_server_->SetLoginReply(true, text);
    return text;
  }
  void AcceptLogins() {
    if (!kcp())
      ws_server_->SetLoginReply(true, zek_test::kWsLoginOk);
  }

  // The refused connection reports once more: over KCP a second reply datagram, over
  // WebSocket the end of the TCP stream after the refusal.
  void ReportAgain() {
    const size_t events = observer_.event_count();
    const uint8_t interval = ReconnectInterval();
    if (kcp()) {
      KcpLoginReply reply;
      reply.kind = KcpLoginReply::Kind::kRefuse;
      reply.code = 1234;
      reply.text = "again";
      ASSERT_TRUE(kcp_server_.SendLoginReply(reply));
      // Nothing on the wire shows when the client has read the datagram: watch for a
      // while that neither an event nor a reconnect comes of it.
      EXPECT_FALSE(zek_test::WaitOnThread(
          worker(),
          [&] {
            return observer_.event_count() != events ||
                   g_zek_manager->reconnect_interval() != interval;
          },
          kQuiet));
    } else {
      ASSERT_TRUE(ws_server_->CloseConnection(WsTestServer::CloseHow::kFin));
      // The client closes its end as it reports the close.
      ASSERT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }));
    }
    Drain();
    EXPECT_EQ(events, observer_.event_count());
    EXPECT_EQ(interval, ReconnectInterval());
  }

  // Sends a JSON text and waits for the server's echo of it, at `observer` (the core's).
  bool Echoes(const std::string& text, RecordingObserver* observer = nullptr) {
    if (!observer)
      observer = &observer_;
    const size_t before = observer->message_count();
    SendUserMessage(text.c_str(), static_cast<int>(text.size()), tavix::im::kMsgText);
    const bool echoed = WaitUntil([&] {
      // KCP messages leave and arrive on the engine's polls, which follow the clock.
      if (kcp())
        Advance(tavix::im::KcpConnection::kPollIntervalMs);
      return observer->message_count() > before;
    });
    return echoed && observer->messages().back() == text;
  }

  const Transport transport_;
  zek_test::ScopedFakeClock clock_;
  KcpTestServer kcp_server_;
  // What a fixture wants of the WebSocket server; the transport decides "tls".
  zek_test::WsTestServerOptions ws_options_;
  std::unique_ptr<WsTestServer> ws_server_;
  RecordingObserver observer_;
  // What Initialize is given; a fixture with an observer of its own sets it.
  tavix::im::ZEkCoreObserver* core_observer_ = &observer_;
};

class LibZekCoreTransportTest : public CoreOverTransportTest<Transport> {};

// After a login refused with 5003 the refused connection may still report (a second
// reply, the server closing): the app hears nothing more, and nothing changes until the
// app disconnects.
TEST_P(LibZekCoreTransportTest, SecondReportAfterA5003RefusalRaisesNothing) {
  const CoreEvent refused{tavix::im::kEventConnectFailed, 5003, RefuseNextLogin(5003)};
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(refused, observer_.events()[0]);

  ASSERT_NO_FATAL_FAILURE(ReportAgain());
  EXPECT_EQ(std::vector<CoreEvent>{refused}, observer_.events());
  EXPECT_EQ(tavix::im::ZekManager::kImIdle, g_zek_manager->conn_status());

  // The refused connection stays until the app disconnects: a connect is ignored.
  AcceptLogins();
  ConnectImServer(Params().c_str());
  Drain();
  EXPECT_EQ(tavix::im::ZekManager::kImIdle, g_zek_manager->conn_status());
  DisConnectImServer();
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ((std::vector<CoreEvent>{refused, kDisconnected, Connected()}), observer_.events());
  EXPECT_EQ(2u, Logins());
  EXPECT_TRUE(Echoes(R"({"after":"refusal"})"));
}

// A refused connection that reports its end twice gives one reconnect attempt, and the
// session that attempt builds is still the one in use seconds later.
TEST_P(LibZekCoreTransportTest, FailureReportedTwiceGivesOneReconnectThatStaysUp) {
  RefuseNextLogin(1234);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ((CoreEvent{tavix::im::kEventReconnecting, 1234, kLoginFailed}), observer_.events()[0]);
  AcceptLogins();
  ASSERT_NO_FATAL_FAILURE(ReportAgain());

  Advance(999);
  EXPECT_EQ(1u, Logins());
  Advance(1);
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(Reconnected(), observer_.events()[1]);
  EXPECT_EQ(2u, Logins());

  // Five seconds on, well past where a second attempt would have come.
  for (int i = 0; i < 50; i++)
    Advance(100);
  EXPECT_EQ(2u, Logins());
  EXPECT_EQ(2u, observer_.event_count());
  EXPECT_EQ(tavix::im::ZekManager::kImConnected, g_zek_manager->conn_status());
  EXPECT_TRUE(Echoes(R"({"still":"up"})"));
}

// A refused connection that logs in after all keeps its session: the reconnect that its
// refusal scheduled does not come.
TEST_P(LibZekCoreTransportTest, LoginAfterARefusalCancelsThePendingReconnect) {
  RefuseNextLogin(1234);
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  AcceptLogins();
  // Over KCP an accepting reply; over WebSocket a reply that the connection, refused,
  // still reads as its login's.
  if (kcp()) {
    ASSERT_TRUE(kcp_server_.SendLoginReply(KcpLoginReply()));
  } else {
    ASSERT_TRUE(ws_server_->SendText(zek_test::kWsLoginOk));
  }
  ASSERT_TRUE(observer_.WaitForEvents(2));
  EXPECT_EQ(Reconnected(), observer_.events()[1]);
  for (int i = 0; i < 50; i++)
    Advance(100);
  EXPECT_EQ(1u, Logins());
  EXPECT_EQ(2u, observer_.event_count());
  EXPECT_TRUE(Echoes(R"({"same":"session"})"));
}

// App threads send while the app answers every push of the server from inside its
// message callback; then the app disconnects and connects over and over while they go
// on. Every text and every answer of the steady part reaches the server once, in each
// sender's order; the churn ends in a working session.
TEST_P(LibZekCoreTransportTest, CallbacksAnswerWhileAppThreadsSendAndTheAppReconnects) {
  constexpr int kThreads = 3;
  constexpr int kTexts = 60;
  constexpr int kPushes = 60;
  observer_.SetHook([](const CoreEvent*, const std::string* message) {
    const std::string kPush = R"({"push":)";
    if (!message || message->compare(0, kPush.size(), kPush) != 0)
      return;
    const std::string answer = R"({"answer":)" + message->substr(kPush.size());
    SendUserMessage(answer.c_str(), static_cast<int>(answer.size()), tavix::im::kMsgText);
  });
  const std::string params = Params();
  ConnectImServer(params.c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  ASSERT_EQ(Connected(), observer_.events()[0]);

  const auto text_of = [](int thread, int n) {
    return R"({"t":)" + std::to_string(thread) + R"(,"n":)" + std::to_string(n) + "}";
  };
  std::atomic<bool> churn{false};
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; t++) {
    senders.emplace_back([&, t] {
      for (int n = 0; !stop; n++) {
        // The steady part's texts first; during the churn any text will do.
        if (n == kTexts && !churn)
          while (!churn && !stop)
            std::this_thread::yield();
        const std::string text = text_of(churn && n >= kTexts ? t + kThreads : t, n);
        SendUserMessage(text.c_str(), static_cast<int>(text.size()), tavix::im::kMsgText);
        if (churn)
          std::this_thread::yield();
      }
    });
  }
  for (int n = 0; n < kPushes; n++) {
    const std::string push = R"({"push":)" + std::to_string(n) + "}";
    ASSERT_TRUE(kcp() ? kcp_server_.SendText(push) : ws_server_->SendText(push));
  }
  const auto server_texts = [&] { return kcp() ? kcp_server_.texts() : ws_server_->texts(); };
  const size_t steady = kThreads * kTexts + kPushes;
  EXPECT_TRUE(WaitUntil([&] {
    if (kcp())
      Advance(tavix::im::KcpConnection::kPollIntervalMs);
    return server_texts().size() >= steady;
  }));
  const std::vector<std::string> texts = server_texts();
  for (int t = 0; t < kThreads; t++) {
    std::vector<std::string> mine;
    std::vector<std::string> expected;
    for (int n = 0; n < kTexts; n++)
      expected.push_back(text_of(t, n));
    const std::string prefix = R"({"t":)" + std::to_string(t) + ",";
    for (const std::string& text : texts) {
      if (text.compare(0, prefix.size(), prefix) == 0)
        mine.push_back(text);
    }
    EXPECT_EQ(expected, mine) << "sender " << t;
  }
  for (int n = 0; n < kPushes; n++) {
    const std::string answer = R"({"answer":)" + std::to_string(n) + "}";
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), answer)) << answer;
  }

  churn = true;
  for (int i = 0; i < 4; i++) {
    const size_t events = observer_.event_count();
    DisConnectImServer();
    ConnectImServer(params.c_str());
    ASSERT_TRUE(observer_.WaitForEvents(events + 2));
    ASSERT_TRUE(kcp() ? kcp_server_.SendText(R"({"push":-1})")
                      : ws_server_->SendText(R"({"push":-1})"));
  }
  stop = true;
  for (std::thread& sender : senders)
    sender.join();
  // The senders' last echoes may still come in around it.
  const std::string last = R"({"after":"the churn"})";
  SendUserMessage(last.c_str(), static_cast<int>(last.size()), tavix::im::kMsgText);
  EXPECT_TRUE(WaitUntil([&] {
    if (kcp())
      Advance(tavix::im::KcpConnection::kPollIntervalMs);
    const std::vector<std::string> messages = observer_.messages();
    return std::find(messages.begin(), messages.end(), last) != messages.end();
  }));
  const auto start = std::chrono::steady_clock::now();
  UnInitialize();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// A callback's UnInitialize meets app threads that keep sending: their calls go on
// until the last has left the core, and only then is the core deleted.
TEST_P(LibZekCoreTransportTest, UnInitializeInsideACallbackWhileAppThreadsSend) {
  std::atomic<bool> shut{false};
  observer_.SetHook([&shut](const CoreEvent*, const std::string* message) {
    if (message && !shut) {
      UnInitialize();
      shut = true;
    }
  });
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(observer_.WaitForEvents(1));
  std::atomic<bool> stop{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; t++) {
    senders.emplace_back([&stop, t] {
      const std::string text = R"({"t":)" + std::to_string(t) + "}";
      while (!stop) {
        SendUserMessage(text.c_str(), static_cast<int>(text.size()), tavix::im::kMsgText);
        std::this_thread::yield();
      }
    });
  }
  // The clock stays: once the callback has run, the core may be gone at any moment.
  EXPECT_TRUE(WaitUntil([&] { return shut.load(); }));
  // The core goes while they still call.
  if (kcp()) {
    EXPECT_TRUE(
        WaitUntil([&] { return zek_test::UdpPortFree(kcp_server_.logins()[0].from_port); }));
  } else {
    EXPECT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }));
  }
  stop = true;
  for (std::thread& sender : senders)
    sender.join();
  UnInitialize();
  EXPECT_EQ(nullptr, g_zek_manager);
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreTransportTest,
                         ::testing::Values(Transport::kKcp, Transport::kWs, Transport::kWss),
                         TransportName);

// Which callback of the core the app calls back from, and how a case gets there.
enum class Trigger {
  kConnected,
  kSetupFailed,  // kEventConnectFailed with code 2
  kRefused,      // kEventConnectFailed with 5003
  kReconnecting,
  kReconnected,
  kReconnectStopped,
  kServerClosed,
  kDisconnected,
  kMessage,
};

std::string TriggerName(Trigger trigger) {
  switch (trigger) {
    case Trigger::kConnected:
      return "Connected";
    case Trigger::kSetupFailed:
      return "SetupFailed";
    case Trigger::kRefused:
      return "Refused5003";
    case Trigger::kReconnecting:
      return "Reconnecting";
    case Trigger::kReconnected:
      return "Reconnected";
    case Trigger::kReconnectStopped:
      return "ReconnectStopped";
    case Trigger::kServerClosed:
      return "ServerClosed";
    case Trigger::kDisconnected:
      return "Disconnected";
    case Trigger::kMessage:
      return "Message";
  }
  return "";
}

void PrintTo(Trigger trigger, std::ostream* os) {
  *os << TriggerName(trigger);
}

std::string CallbackCaseName(const testing::TestParamInfo<std::tuple<Transport, Trigger>>& info) {
  return TransportName(testing::TestParamInfo<Transport>(std::get<0>(info.param), info.index)) +
         TriggerName(std::get<1>(info.param));
}

// An app whose callbacks call the core: from inside one callback, the first of the
// case's kind, on the core's own thread.
class LibZekCoreCallbackTest : public CoreOverTransportTest<std::tuple<Transport, Trigger>> {
 protected:
  using Hook = std::function<void()>;

  Trigger trigger() const { return std::get<1>(GetParam()); }

  // Runs `hook` inside the first callback of the case's kind, once, and not before
  // Reach has let go of the worker.
  void CallFromTrigger(Hook hook) {
    auto fired = std::make_shared<std::atomic<bool>>(false);
    const Trigger t = trigger();
    std::shared_ptr<std::atomic<bool>> let_go = let_go_;
    observer_.SetHook([fired, t, hook, let_go](const CoreEvent* event, const std::string* message) {
      if (IsTrigger(t, event, message) && !fired->exchange(true)) {
        EXPECT_TRUE(WaitUntil([&] { return let_go->load(); }));
        hook();
      }
    });
  }

  static bool IsTrigger(Trigger t, const CoreEvent* event, const std::string* message) {
    if (t == Trigger::kMessage)
      return message != nullptr;
    if (!event)
      return false;
    switch (t) {
      case Trigger::kConnected:
        return event->code == tavix::im::kEventConnected;
      case Trigger::kSetupFailed:
        return event->code == tavix::im::kEventConnectFailed && event->error_code == 2;
      case Trigger::kRefused:
        return event->code == tavix::im::kEventConnectFailed && event->error_code == 5003;
      case Trigger::kReconnecting:
        return event->code == tavix::im::kEventReconnecting;
      case Trigger::kReconnected:
        return event->code == tavix::im::kEventReconnected;
      case Trigger::kReconnectStopped:
        return event->code == tavix::im::kEventReconnectStopped;
      case Trigger::kServerClosed:
        return event->code == tavix::im::kEventServerClosed;
      case Trigger::kDisconnected:
        return event->code == tavix::im::kEventDisconnected;
      case Trigger::kMessage:
        break;
    }
    return false;
  }

  // Drives the core and the servers until the case's callback has come; the number of
  // events raised up to and including it (for a message: up to it).
  size_t Reach() {
    const std::string params = Params();
    switch (trigger()) {
      case Trigger::kConnected:
        ConnectImServer(params.c_str());
        return 1;
      case Trigger::kSetupFailed: {
        Json::Value quic;
        Json::Reader().parse(params, quic);
        quic["connection_type"] = "quic";
        ConnectImServer(JsonText(quic).c_str());
        return 1;
      }
      case Trigger::kRefused:
        RefuseNextLogin(5003);
        ConnectImServer(params.c_str());
        return 1;
      case Trigger::kReconnecting:
        RefuseNextLogin(1234);
        ConnectImServer(params.c_str());
        return 1;
      case Trigger::kReconnected:
      case Trigger::kReconnectStopped:
        *let_go_ = false;
        RefuseNextLogin(1234);
        ConnectImServer(params.c_str());
        EXPECT_TRUE(observer_.WaitForEvents(1));
        if (trigger() == Trigger::kReconnected)
          AcceptLogins();
        else
          RefuseNextLogin(5003);
        // The callback may shut the core down, and with it the worker: once the clock
        // has moved, the test wakes the worker, which then runs the reconnect, and lets
        // go of it before the callback goes on. (The worker also wakes by itself once
        // its wait has run out in real time.)
        Drain();
        clock_.AdvanceTimeMillis(1000);
        worker()->Post(RTC_FROM_HERE, &wake_);
        *let_go_ = true;
        return 2;
      case Trigger::kServerClosed:
      case Trigger::kDisconnected:
      case Trigger::kMessage:
        ConnectImServer(params.c_str());
        EXPECT_TRUE(observer_.WaitForEvents(1));
        break;
    }
    if (trigger() == Trigger::kDisconnected) {
      DisConnectImServer();
      return 2;
    }
    if (trigger() == Trigger::kMessage) {
      EXPECT_TRUE(kcp() ? kcp_server_.SendText(kPush) : ws_server_->SendText(kPush));
      return 1;
    }
    EXPECT_TRUE(
        kcp() ? kcp_server_.SendClose(8002, "bye")
              : ws_server_->SendClose(zek_test::WsClosePayload(1000, zek_test::kWsCloseJson)));
    return 2;
  }

  // A session stood when the callback came, so what it sent has somewhere to go.
  bool LoggedInAtTrigger() const {
    return trigger() == Trigger::kConnected || trigger() == Trigger::kReconnected ||
           trigger() == Trigger::kMessage;
  }
  // A connection existed when the callback came, so its disconnect has one to end.
  bool ConnectionAtTrigger() const {
    return trigger() != Trigger::kSetupFailed && trigger() != Trigger::kDisconnected;
  }

  std::vector<std::string> ServerTexts() const {
    return kcp() ? kcp_server_.texts() : ws_server_->texts();
  }

  // Given to an Initialize that must not take it.
  RecordingObserver late_observer_;
  // Cleared while Reach holds on to a worker that the callback may destroy.
  std::shared_ptr<std::atomic<bool>> let_go_ = std::make_shared<std::atomic<bool>>(true);
  // Handles nothing: posted to wake the worker.
  struct : rtc::MessageHandler {
    void OnMessage(rtc::Message*) override {}
  } wake_;
  static constexpr char kPush[] = R"({"push":1})";
  static constexpr char kInside[] = R"({"sent":"inside"})";
};

// From inside any callback the app sends, disconnects and connects. Nothing hangs, the
// events go on in their usual order, what the callback sent while logged in reaches the
// server, and the core ends up connected, echoing, and quick to shut down.
TEST_P(LibZekCoreCallbackTest, CallbackMaySendDisconnectAndConnect) {
  const std::string params = Params();
  CallFromTrigger([this, params] {
    AcceptLogins();
    SendUserMessage(kInside, static_cast<int>(strlen(kInside)), tavix::im::kMsgText);
    DisConnectImServer();
    ConnectImServer(params.c_str());
  });
  const size_t before = Reach();
  std::vector<CoreEvent> after;
  if (ConnectionAtTrigger())
    after.push_back(kDisconnected);
  after.push_back(Connected());
  ASSERT_TRUE(observer_.WaitForEvents(before + after.size()));
  const std::vector<CoreEvent> events = observer_.events();
  EXPECT_EQ(after,
            std::vector<CoreEvent>(events.begin() + static_cast<long>(before), events.end()));

  EXPECT_TRUE(Echoes(R"({"after":"the callback"})"));
  const std::vector<std::string> texts = ServerTexts();
  EXPECT_EQ(LoggedInAtTrigger() ? 1 : 0, std::count(texts.begin(), texts.end(), kInside));

  const auto start = std::chrono::steady_clock::now();
  UnInitialize();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// UnInitialize from inside a callback returns at once and no callback follows it; the
// core finishes shutting down on another thread once the callback has returned, and an
// app thread's UnInitialize or Initialize waits for that. Nothing else of the API acts
// inside the rest of that callback: Initialize there is refused.
TEST_P(LibZekCoreCallbackTest, UnInitializeInsideACallbackShutsTheCoreDownAfterIt) {
  struct Inside {
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration uninitialize{};
    tavix::im::ZekManager* manager_after = nullptr;
  };
  auto inside = std::make_shared<Inside>();
  RecordingObserver* const observer = &observer_;
  RecordingObserver* const late = &late_observer_;
  const std::string params = Params();
  CallFromTrigger([inside, observer, late, params] {
    const auto start = std::chrono::steady_clock::now();
    UnInitialize();
    inside->uninitialize = std::chrono::steady_clock::now() - start;
    observer->Close();
    Initialize(late);
    ConnectImServer(params.c_str());
    SendUserMessage(kInside, static_cast<int>(strlen(kInside)), tavix::im::kMsgText);
    DisConnectImServer();
    UnInitialize();
    inside->manager_after = g_zek_manager;
    inside->done = true;
  });
  Reach();
  ASSERT_TRUE(WaitUntil([&] { return inside->done.load(); }));
  EXPECT_LT(inside->uninitialize, std::chrono::seconds(1));
  EXPECT_EQ(nullptr, inside->manager_after);
  EXPECT_EQ(nullptr, g_zek_manager);

  // Waits for the shut-down under way.
  const auto start = std::chrono::steady_clock::now();
  UnInitialize();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  if (ConnectionAtTrigger()) {
    if (kcp()) {
      EXPECT_TRUE(zek_test::UdpPortFree(kcp_server_.logins().back().from_port));
    } else {
      EXPECT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() >= 1; }));
    }
  }
  EXPECT_EQ(0, observer_.calls_after_close());
  EXPECT_EQ(0u, late_observer_.event_count());
  const std::vector<std::string> texts = ServerTexts();
  EXPECT_EQ(0, std::count(texts.begin(), texts.end(), kInside));

  // A new core starts afresh.
  RecordingObserver again;
  ASSERT_TRUE(zek_test::RunWithoutRawSockets([&] { Initialize(&again); }));
  AcceptLogins();
  ConnectImServer(params.c_str());
  ASSERT_TRUE(again.WaitForEvents(1));
  EXPECT_EQ(Connected(), again.events()[0]);
  EXPECT_TRUE(Echoes(R"({"new":"core"})", &again));
  UnInitialize();
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks,
    LibZekCoreCallbackTest,
    ::testing::Combine(::testing::Values(Transport::kKcp, Transport::kWs, Transport::kWss),
                       ::testing::Values(Trigger::kConnected,
                                         Trigger::kSetupFailed,
                                         Trigger::kRefused,
                                         Trigger::kReconnecting,
                                         Trigger::kReconnected,
                                         Trigger::kReconnectStopped,
                                         Trigger::kServerClosed,
                                         Trigger::kDisconnected,
                                         Trigger::kMessage)),
    CallbackCaseName);

class LibZekCoreWebSocketTest : public LibZekCoreTransportTest {
 protected:
  // Connects, as the first session or after the app's disconnect of an earlier one.
  void LogIn() {
    const size_t before = observer_.event_count();
    ConnectImServer(Params().c_str());
    ASSERT_TRUE(observer_.WaitForEvents(before + 1));
    ASSERT_EQ(Connected(), observer_.events()[before]);
  }
};

// The text ends at its first zero byte or after `length` bytes, whichever comes first,
// and nothing past the app's buffer is read; every type goes out as a text.
TEST_P(LibZekCoreWebSocketTest, SendUserMessageSendsAtMostLengthBytes) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  // Exactly its `length` bytes, with no zero byte: a read past them is a read past the
  // allocation, which the address sanitizer reports.
  const std::string unterminated_text = R"({"c":2})";
  std::unique_ptr<char[]> unterminated(new char[unterminated_text.size()]);
  memcpy(unterminated.get(), unterminated_text.data(), unterminated_text.size());
  const struct {
    const char* name;
    const char* data;
    int length;
    int type;
    std::string sent;
  } cases[] = {
      {"length shorter than the text", "{\"c\":1}tail", 7, tavix::im::kMsgText, R"({"c":1})"},
      {"no zero byte within length", unterminated.get(), 7, tavix::im::kMsgText, R"({"c":2})"},
      {"zero byte before length", "{\"c\":3}\0{\"d\":4}", 14, tavix::im::kMsgText, R"({"c":3})"},
      {"no-payload type", R"({"c":5})", 7, tavix::im::kMsgNoPayload, R"({"c":5})"},
      {"another type", R"({"c":6})", 7, 7, R"({"c":6})"},
      {"a negative type", R"({"c":7})", 7, -1, R"({"c":7})"},
      {"the largest type", R"({"c":8})", 7, INT32_MAX, R"({"c":8})"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SendUserMessage(c.data, c.length, c.type);
    expected.push_back(c.sent);
  }
  ASSERT_TRUE(WaitUntil([&] { return ws_server_->text_count() >= expected.size(); }));
  EXPECT_EQ(expected, ws_server_->texts());
  // The echoes come back whole.
  ASSERT_TRUE(observer_.WaitForMessages(expected.size()));
  EXPECT_EQ(expected, observer_.messages());
}

// A server that never finishes a fragmented message: past the limit the connection
// ends as on any failure of the WebSocket itself, and the reconnect logs in anew.
TEST_P(LibZekCoreWebSocketTest, EndlessFragmentedMessageEndsTheConnection) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  ASSERT_TRUE(ws_server_->SendUnfinishedMessage(tavix::im::WebSocketConnection::kWsMaxMessageSize +
                                                200000));
  // Megabytes through TLS on a loaded machine, or under a sanitizer.
  ASSERT_TRUE(observer_.WaitForEvents(2, std::chrono::seconds(20)));
  EXPECT_EQ((CoreEvent{tavix::im::kEventReconnecting, 3, "start reconnect"}),
            observer_.events()[1]);
  EXPECT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }, std::chrono::seconds(20)));
  EXPECT_TRUE(observer_.messages().empty());

  Advance(1000);
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ(Reconnected(), observer_.events()[2]);
  EXPECT_EQ(2u, Logins());
  EXPECT_TRUE(Echoes(R"({"after":"the flood"})"));
}

// The closing handshake the server begins: the server reads a close frame with its own
// status before the connection ends, and the app hears what it always did: 8002 ends the
// session, another code starts a reconnect.
TEST_P(LibZekCoreWebSocketTest, ServersCloseIsAnsweredWithItsStatus) {
  const std::string kicked = R"({"code":4001,"msg":"kicked"})";
  const struct {
    const char* name;
    uint16_t status;
    std::string json;
    CoreEvent event;
  } cases[] = {
      {"8002",
       1000,
       zek_test::kWsCloseJson,
       {tavix::im::kEventServerClosed, 8002, zek_test::kWsCloseJson}},
      {"another code", 4000, kicked, {tavix::im::kEventReconnecting, 4001, "start reconnect"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(LogIn());
    const size_t events = observer_.event_count();
    const size_t closes = ws_server_->peer_closes();
    ASSERT_TRUE(ws_server_->SendClose(zek_test::WsClosePayload(c.status, c.json)));
    ASSERT_TRUE(observer_.WaitForEvents(events + 1));
    EXPECT_EQ(c.event, observer_.events()[events]);
    ASSERT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == closes + 1; }));
    const std::vector<zek_test::WsFrame> frames = ws_server_->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(zek_test::kWsOpClose, frames.back().opcode);
    EXPECT_TRUE(frames.back().masked);
    EXPECT_EQ(zek_test::WsClosePayload(c.status, ""), frames.back().payload);
    Drain();
    EXPECT_EQ(events + 1, observer_.event_count());
    // The client closed already: the disconnect writes nothing, and cancels a reconnect.
    DisConnectImServer();
    ASSERT_TRUE(observer_.WaitForEvents(events + 2));
    EXPECT_EQ(kDisconnected, observer_.events()[events + 1]);
    EXPECT_EQ(frames.size(), ws_server_->frame_count());
  }
}

// The app's end of a working session, by DisConnectImServer or by UnInitialize: the
// server reads every text accepted before it, then a close frame 1000, then the end of
// the connection.
TEST_P(LibZekCoreWebSocketTest, AppsEndSendsTheTextsThenACloseFrame) {
  // Nothing comes back: unread bytes at the close would turn it into a reset.
  ws_server_->SetEcho(false);
  for (bool uninitialize : {false, true}) {
    SCOPED_TRACE(uninitialize ? "UnInitialize" : "DisConnectImServer");
    ASSERT_NO_FATAL_FAILURE(LogIn());
    const size_t events = observer_.event_count();
    const size_t frames_before = ws_server_->frame_count();
    const size_t closes = ws_server_->peer_closes();
    std::vector<std::string> sent;
    for (int i = 0; i < 20; ++i) {
      sent.push_back(R"({"n":)" + std::to_string(i) + "}");
      SendUserMessage(sent.back().c_str(), static_cast<int>(sent.back().size()),
                      tavix::im::kMsgText);
    }
    if (uninitialize) {
      UnInitialize();
      EXPECT_EQ(events, observer_.event_count());
    } else {
      DisConnectImServer();
      ASSERT_TRUE(observer_.WaitForEvents(events + 1));
      EXPECT_EQ(kDisconnected, observer_.events()[events]);
    }
    ASSERT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == closes + 1; }));
    const std::vector<zek_test::WsFrame> all = ws_server_->frames();
    // The login, the texts, the close frame.
    ASSERT_EQ(frames_before + sent.size() + 1, all.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(zek_test::kWsOpText, all[frames_before + i].opcode) << i;
      EXPECT_EQ(sent[i], all[frames_before + i].payload) << i;
    }
    EXPECT_EQ(zek_test::kWsOpClose, all.back().opcode);
    EXPECT_TRUE(all.back().masked);
    EXPECT_EQ(zek_test::WsClosePayload(1000, ""), all.back().payload);
  }
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreWebSocketTest,
                         ::testing::Values(Transport::kWs, Transport::kWss),
                         TransportName);

// A server that reads slower than the app sends: a small receive buffer, read a chunk
// at a time with a pause after each, so that a burst fills the kernel's buffers and
// backs up in the client (for wss, in the TLS adapter too) long before the server has
// read it.
class LibZekCoreSlowServerTest : public LibZekCoreWebSocketTest {
 protected:
  static constexpr int kThreads = 4;

  LibZekCoreSlowServerTest() {
    ws_options_.receive_buffer = 32 * 1024;
    ws_options_.max_segment = 1400;
    ws_options_.read_chunk = 16 * 1024;
    ws_options_.read_pause_ms = 2;
  }

  // A JSON text of `size` bytes naming its burst, thread and place in the thread's order.
  static std::string Text(int burst, int thread, int index, size_t size) {
    std::string text = R"({"b":)" + std::to_string(burst) + R"(,"t":)" + std::to_string(thread) +
                       R"(,"i":)" + std::to_string(index) + R"(,"p":")";
    // The padding and the closing quote and brace.
    if (size > text.size() + 2)
      text.append(size - text.size() - 2, static_cast<char>('a' + (index + thread) % 26));
    return text + "\"}";
  }

  static void Send(const std::string& text) {
    SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
  }

  // `threads` app threads at once, each sending `count` texts of `size` bytes.
  static void SendFromThreads(int burst, int threads, int count, size_t size) {
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
      senders.emplace_back([=] {
        for (int i = 0; i < count; ++i)
          Send(Text(burst, t, i, size));
      });
    }
    for (std::thread& sender : senders)
      sender.join();
  }

  // The same texts in the same order; on a difference, where it begins (the texts are
  // far too long to print whole).
  static testing::AssertionResult SameTexts(const std::vector<std::string>& expected,
                                            const std::vector<std::string>& actual) {
    const size_t common = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < common; ++i) {
      if (expected[i] != actual[i])
        return testing::AssertionFailure()
               << "text " << i << " differs: " << actual[i].substr(0, 40);
    }
    if (expected.size() != actual.size())
      return testing::AssertionFailure()
             << actual.size() << " texts instead of " << expected.size();
    return testing::AssertionSuccess();
  }

  // Every text of the burst reached the server once and in each thread's order.
  static void ExpectEachThreadsOrder(const std::vector<std::string>& texts,
                                     int burst,
                                     int threads,
                                     int count) {
    std::vector<int> next(threads, 0);
    for (const std::string& text : texts) {
      int b = -1, t = -1, i = -1;
      ASSERT_EQ(3, sscanf(text.c_str(), R"({"b":%d,"t":%d,"i":%d)", &b, &t, &i))
          << text.substr(0, 40);
      if (b != burst)
        continue;
      ASSERT_TRUE(t >= 0 && t < threads) << t;
      ASSERT_EQ(next[t], i) << "thread " << t;
      ++next[t];
    }
    for (int t = 0; t < threads; ++t)
      EXPECT_EQ(count, next[t]) << "thread " << t;
  }
};

constexpr int LibZekCoreSlowServerTest::kThreads;

// Several app threads send far more than the socket, the kernel's buffers and the
// client's 64 KiB output buffer hold, in many small texts and in texts of tens of KB:
// the server gets every one once, in each thread's order, and the app every echo.
TEST_P(LibZekCoreSlowServerTest, BurstsFromManyThreadsArriveWholeAndInOrder) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  const struct {
    const char* name;
    int count;
    size_t size;
  } bursts[] = {
      {"small texts", 2000, 200},
      {"texts of 30 KB", 20, 30000},
  };
  size_t total = 0;
  for (int b = 0; b < 2; ++b) {
    SCOPED_TRACE(bursts[b].name);
    SendFromThreads(b, kThreads, bursts[b].count, bursts[b].size);
    total += static_cast<size_t>(kThreads * bursts[b].count);
    const bool all =
        WaitUntil([&] { return ws_server_->text_count() >= total; }, std::chrono::seconds(30));
    EXPECT_TRUE(all) << ws_server_->text_count() << " of " << total << " texts arrived";
    ASSERT_NO_FATAL_FAILURE(
        ExpectEachThreadsOrder(ws_server_->texts(), b, kThreads, bursts[b].count));
    ASSERT_TRUE(observer_.WaitForMessages(total, std::chrono::seconds(30)))
        << observer_.message_count() << " of " << total << " echoes";
  }
  EXPECT_TRUE(SameTexts(ws_server_->texts(), observer_.messages()));
  EXPECT_EQ(total, ws_server_->text_count());
  EXPECT_EQ(std::vector<CoreEvent>{Connected()}, observer_.events());
}

// A server that stops reading for a while and then reads again gets everything the app
// sent meanwhile.
TEST_P(LibZekCoreSlowServerTest, SilentServerGetsEverythingSentMeanwhile) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  ws_server_->SetSilent(true);
  constexpr int kCount = 40;
  std::vector<std::string> sent;
  for (int i = 0; i < kCount; ++i) {
    sent.push_back(Text(0, 0, i, 30000));
    Send(sent.back());
  }
  // Everything handed over has reached the client, which is where the texts now wait.
  ASSERT_TRUE(zek_test::Drain(worker()));
  EXPECT_EQ(0u, ws_server_->text_count());
  ws_server_->SetSilent(false);
  const bool all =
      WaitUntil([&] { return ws_server_->text_count() >= sent.size(); }, std::chrono::seconds(30));
  EXPECT_TRUE(all) << ws_server_->text_count() << " of " << sent.size() << " texts arrived";
  EXPECT_TRUE(SameTexts(sent, ws_server_->texts()));
  ASSERT_TRUE(observer_.WaitForMessages(sent.size(), std::chrono::seconds(30)));
  EXPECT_TRUE(SameTexts(sent, observer_.messages()));
  EXPECT_EQ(std::vector<CoreEvent>{Connected()}, observer_.events());
}

// A server that never reads cannot take the app's memory: once the texts waiting for
// the socket pass the bound, the connection ends as a failure of the WebSocket itself
// (code 3) and the manager reconnects.
TEST_P(LibZekCoreSlowServerTest, NeverReadingServerEndsTheConnectionPastTheBound) {
  ASSERT_NO_FATAL_FAILURE(LogIn());
  ws_server_->SetSilent(true);
  // 24 MB: past the bound with room for what the kernel buffers hold.
  constexpr int kCount = 400;
  for (int i = 0; i < kCount; ++i)
    Send(Text(0, 0, i, 60000));
  ASSERT_TRUE(observer_.WaitForEvents(2, std::chrono::seconds(30)));
  EXPECT_EQ((CoreEvent{tavix::im::kEventReconnecting, 3, "start reconnect"}),
            observer_.events()[1]);

  ws_server_->SetSilent(false);
  EXPECT_TRUE(WaitUntil([&] { return ws_server_->peer_closes() == 1; }, std::chrono::seconds(30)));
  // Of the texts only those the socket had taken before the end can have arrived.
  EXPECT_LT(ws_server_->text_count(), static_cast<size_t>(kCount));
  // The reconnect is scheduled by the handler that raised the event, on the clock as it
  // then stood: let that handler finish before the clock moves.
  ASSERT_TRUE(zek_test::Drain(worker()));
  Advance(1000);
  ASSERT_TRUE(observer_.WaitForEvents(3));
  EXPECT_EQ(Reconnected(), observer_.events()[2]);
  EXPECT_EQ(2u, Logins());
  EXPECT_TRUE(Echoes(R"({"after":"the backlog"})"));
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreSlowServerTest,
                         ::testing::Values(Transport::kWs, Transport::kWss),
                         TransportName);

// A server that writes 30 KB texts to the app as fast as its socket takes them, so that
// the worker's socket never runs dry, while the app sends 2,000 small texts from one
// thread. The server echoes each text, so the app's own texts come back between the
// pushes.
class LibZekCoreDuplexTest : public CoreOverTransportTest<Transport> {
 protected:
  LibZekCoreDuplexTest() { core_observer_ = &app_; }

  static constexpr size_t kPushSize = 30000;
  static constexpr int kTexts = 2000;
  static constexpr size_t kTextSize = 100;
  // Pushes the app may take after its last send before the server has every text: the
  // core takes 65 to 150, also under the sanitizers on a busy machine; a worker held by
  // its socket took 6,000 and more.
  static constexpr size_t kPushBudget = 1000;
  static constexpr char kTextKey[] = "app";

  // The app: checks every message as it comes and keeps counts only, as the stream is
  // far too large to record.
  class DuplexApp final : public tavix::im::ZEkCoreObserver {
   public:
    void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int error_code, const char* text) override {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(CoreEvent{code, error_code, text ? text : ""});
    }
    void OnZEkCoreMessage(const char* data, int length) override {
      const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
      uint64_t number = 0;
      const bool push = zek_test::ReadNumberedText(zek_test::kWsPushKey, data, size, &number);
      if (!push && !zek_test::ReadNumberedText(kTextKey, data, size, &number)) {
        std::lock_guard<std::mutex> lock(mutex_);
        Fault("a stray message: " + std::string(data, std::min<size_t>(size, 40)));
        return;
      }
      const std::string expected =
          push ? zek_test::NumberedText(zek_test::kWsPushKey, number, kPushSize)
               : zek_test::NumberedText(kTextKey, number, kTextSize);
      const bool whole = size == expected.size() && memcmp(data, expected.data(), size) == 0;
      const std::string what = (push ? "push " : "echo ") + std::to_string(number);
      std::lock_guard<std::mutex> lock(mutex_);
      uint64_t* next = push ? &pushes_ : &echoes_;
      if (number != *next)
        Fault(what + " where " + std::to_string(*next) + " was due");
      else if (!whole)
        Fault(what + " not whole: " + std::to_string(size) + " bytes");
      // A gap or a repeat is one fault; the count goes on from what came.
      *next = number + 1;
    }

    std::vector<CoreEvent> events() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return events_;
    }
    // The number after the latest push (echo): all that came, when no fault was seen.
    size_t pushes() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return static_cast<size_t>(pushes_);
    }
    size_t echoes() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return static_cast<size_t>(echoes_);
    }
    // How many messages came out of order, broken or unknown, and the first of them.
    std::string faults() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return faults_ == 0 ? "" : std::to_string(faults_) + " faults, first " + first_fault_;
    }

   private:
    void Fault(const std::string& what) {
      if (faults_++ == 0)
        first_fault_ = what;
    }

    mutable std::mutex mutex_;  // guards everything below (worker and test threads)
    std::vector<CoreEvent> events_;
    uint64_t pushes_ = 0;
    uint64_t echoes_ = 0;
    size_t faults_ = 0;
    std::string first_fault_;
  };

  // Where the server's texts first differ from `sent`; "" when they are the same.
  static std::string FirstDifference(const std::vector<std::string>& sent,
                                     const std::vector<std::string>& got) {
    for (size_t i = 0; i < std::min(sent.size(), got.size()); ++i) {
      if (sent[i] != got[i])
        return "text " + std::to_string(i) + " is " + got[i].substr(0, 40);
    }
    if (sent.size() != got.size())
      return std::to_string(got.size()) + " texts instead of " + std::to_string(sent.size());
    return "";
  }

  DuplexApp app_;
};

constexpr size_t LibZekCoreDuplexTest::kPushSize;
constexpr int LibZekCoreDuplexTest::kTexts;
constexpr size_t LibZekCoreDuplexTest::kTextSize;
constexpr size_t LibZekCoreDuplexTest::kPushBudget;
constexpr char LibZekCoreDuplexTest::kTextKey[];

// The app's texts get their turn while the socket stays readable: all of them reach the
// server in order before the app has taken kPushBudget more pushes, every push reaches the app whole and in
// order, and the session holds.
TEST_P(LibZekCoreDuplexTest, TextsReachTheServerWhileItStreamsPushes) {
  ConnectImServer(Params().c_str());
  ASSERT_TRUE(WaitUntil([&] { return !app_.events().empty(); }));
  ASSERT_EQ(Connected(), app_.events()[0]);
  ASSERT_TRUE(ws_server_->StartStream(kPushSize));
  // The pushes come, and faster than the app takes them.
  ASSERT_TRUE(WaitUntil([&] { return app_.pushes() > 0 && ws_server_->stream_waiting(); }))
      << app_.pushes() << " pushes reached the app";

  std::vector<std::string> sent;
  for (int i = 0; i < kTexts; ++i)
    sent.push_back(zek_test::NumberedText(kTextKey, static_cast<uint64_t>(i), kTextSize));
  for (const std::string& text : sent)
    SendUserMessage(text.data(), static_cast<int>(text.size()), tavix::im::kMsgText);
  // The stream is the clock, not the machine's speed: a worker held by its socket goes
  // on taking pushes while the texts wait, one that gives the texts their turn has them
  // all out after a few of its socket's turns, each a few pushes at most.
  const size_t pushes_at_last_send = app_.pushes();
  size_t pushes_meanwhile = 0;
  const bool in_time = WaitUntil(
      [&] {
        pushes_meanwhile = app_.pushes() - pushes_at_last_send;
        return ws_server_->text_count() >= sent.size() || pushes_meanwhile > kPushBudget;
      },
      std::chrono::seconds(60));
  const size_t arrived = ws_server_->text_count();
  ASSERT_TRUE(ws_server_->StopStream());
  EXPECT_TRUE(in_time && arrived >= sent.size())
      << arrived << " of " << kTexts << " texts reached the server while " << pushes_meanwhile
      << " pushes reached the app after the last send";

  // Once the stream ends, whatever is still on its way comes through.
  const size_t pushes = ws_server_->pushes_sent();
  EXPECT_TRUE(
      WaitUntil([&] { return ws_server_->text_count() >= sent.size(); }, std::chrono::seconds(20)))
      << ws_server_->text_count() << " of " << kTexts << " texts reached the server at all";
  EXPECT_EQ("", FirstDifference(sent, ws_server_->texts()));
  EXPECT_TRUE(WaitUntil([&] { return app_.pushes() >= pushes && app_.echoes() >= sent.size(); },
                        std::chrono::seconds(20)))
      << app_.pushes() << " of " << pushes << " pushes and " << app_.echoes() << " of " << kTexts
      << " echoes reached the app";
  EXPECT_EQ("", app_.faults());
  EXPECT_EQ(pushes, app_.pushes());
  EXPECT_EQ(sent.size(), app_.echoes());
  EXPECT_EQ(std::vector<CoreEvent>{Connected()}, app_.events());
  EXPECT_EQ(1u, ws_server_->connections());
  EXPECT_EQ(0u, ws_server_->peer_closes());
}

INSTANTIATE_TEST_SUITE_P(Transports,
                         LibZekCoreDuplexTest,
                         ::testing::Values(Transport::kWs, Transport::kWss),
                         TransportName);

}  // namespace
