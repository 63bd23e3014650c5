// ctest-labels: threading
#include "src/platform/ios/zekcoreAdapter.h"

#import <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/libzekcore.h"
#include "src/zek_manager.h"
#include "tests/support/capabilities.h"
#include "tests/support/kcp_test_server.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/recording_observer.h"
#include "tests/support/wait.h"
#include "tests/support/ws_test_server.h"

using tavix::im::ZEkEventCode;

namespace {

// What one delegate was sent. It outlives the delegate, so a test can still read it
// once the delegate is gone.
struct DelegateLog {
  struct Event {
    int code;
    int error_code;
    const char* context;
    std::string context_text;
  };
  struct Message {
    const char* data;
    int length;
    std::string text;  // up to the first zero byte
    std::thread::id thread;
  };

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }

  std::mutex mutex;
  std::vector<Event> events;      // guarded by mutex
  std::vector<Message> messages;  // guarded by mutex
  std::atomic<int> calls{0};
  std::atomic<bool> deallocated{false};
  // Set when a call reached the delegate after its -dealloc had begun.
  std::atomic<bool> called_after_dealloc{false};
  // Set by a test just before it lets go of the delegate; calls begun after that count.
  std::atomic<bool> released{false};
  std::atomic<int> calls_after_release{0};
  // When set, the delegate autoreleases an object in every call.
  bool autorelease_in_calls = false;
};

}  // namespace

namespace {
std::atomic<int> g_autoreleased_released{0};
}  // namespace

// What a delegate autoreleases inside a call; counts its releases.
@interface ZekAutoreleasedByDelegate : NSObject
@end

@implementation ZekAutoreleasedByDelegate
- (void)dealloc {
  ++g_autoreleased_released;
  [super dealloc];
}
@end

@interface ZekTestDelegate : NSObject <ZEKCoreDelegate> {
  DelegateLog* log_;
}
- (instancetype)initWithLog:(DelegateLog*)log;
@end

@implementation ZekTestDelegate
- (instancetype)initWithLog:(DelegateLog*)log {
  if ((self = [super init])) {
    log_ = log;
  }
  return self;
}

- (void)noteCall {
  if (log_->deallocated) {
    log_->called_after_dealloc = true;
  }
  if (log_->released) {
    ++log_->calls_after_release;
  }
  if (log_->autorelease_in_calls) {
    [[[ZekAutoreleasedByDelegate alloc] init] autorelease];
  }
  ++log_->calls;
}

- (void)OnZEkCoreEventWithCode:(int)code errorCode:(int)errorCode context:(const char*)context {
  [self noteCall];
  std::lock_guard<std::mutex> lock(log_->mutex);
  log_->events.push_back({code, errorCode, context, context ? context : "<null>"});
}

- (void)OnZEkCoreMessageWithMessage:(const char*)message msgLength:(int)length {
  [self noteCall];
  std::lock_guard<std::mutex> lock(log_->mutex);
  log_->messages.push_back({message, length, message, std::this_thread::get_id()});
}

- (void)dealloc {
  log_->deallocated = true;
  [super dealloc];
}
@end

// Holds the last reference to an adapter and lets go of it inside its first
// kEventConnected, as an app that drops its adapter from a delegate call.
@interface ZekAdapterReleasingDelegate : ZekTestDelegate {
  ZEKCoreAdapter* adapter_;
  std::atomic<bool>* let_go_;
}
- (instancetype)initWithLog:(DelegateLog*)log
                    adapter:(ZEKCoreAdapter*)adapter
                      letGo:(std::atomic<bool>*)letGo;
@end

@implementation ZekAdapterReleasingDelegate
- (instancetype)initWithLog:(DelegateLog*)log
                    adapter:(ZEKCoreAdapter*)adapter
                      letGo:(std::atomic<bool>*)letGo {
  if ((self = [super initWithLog:log])) {
    adapter_ = adapter;
    let_go_ = letGo;
  }
  return self;
}

- (void)OnZEkCoreEventWithCode:(int)code errorCode:(int)errorCode context:(const char*)context {
  [super OnZEkCoreEventWithCode:code errorCode:errorCode context:context];
  if (code != tavix::im::kEventConnected || adapter_ == nil) {
    return;
  }
  ZEKCoreAdapter* adapter = adapter_;
  adapter_ = nil;
  log_->released = true;
  [adapter release];
  *let_go_ = true;
}
@end

namespace {
// Set by the -dealloc of a ZekTestAdapter; a -delegate sent after it is a fault.
std::atomic<bool> g_adapter_deallocating{false};
std::atomic<bool> g_delegate_asked_while_deallocating{false};
}  // namespace

// Notes whether the bridge asks it for its delegate once its -dealloc has begun.
@interface ZekTestAdapter : ZEKCoreAdapter
@end

@implementation ZekTestAdapter
- (id<ZEKCoreDelegate>)delegate {
  if (g_adapter_deallocating) {
    g_delegate_asked_while_deallocating = true;
  }
  return [super delegate];
}

- (void)dealloc {
  g_adapter_deallocating = true;
  [super dealloc];
}
@end

namespace {

// The parameter text for a KCP server on 127.0.0.1.
NSString* KcpParams(uint16_t port) {
  const std::string text = zek_test::JsonText(zek_test::ImParamObject(port));
  return [NSString stringWithUTF8String:text.c_str()];
}

bool HasEvent(DelegateLog& log, ZEkEventCode code) {
  for (const DelegateLog::Event& event : log.Events()) {
    if (event.code == code) {
      return true;
    }
  }
  return false;
}

// An autorelease pool for a block: the delegate getter lends what it returns to the
// reader's pool, as the worker thread's pool around each message holds it there.
class ScopedPool {
 public:
  ScopedPool() : pool_([[NSAutoreleasePool alloc] init]) {}
  ~ScopedPool() { [pool_ drain]; }
  ScopedPool(const ScopedPool&) = delete;
  ScopedPool& operator=(const ScopedPool&) = delete;

 private:
  NSAutoreleasePool* pool_;
};

// Calls a bridge over and over on a thread of its own, as the worker thread would, each
// call in an autorelease pool of its own like each of the worker's messages.
class BridgeHammer {
 public:
  explicit BridgeHammer(ZEKObserver* bridge)
      : thread_([=] {
          while (!stop_) {
            {
              ScopedPool pool;
              bridge->OnZEkCoreEvent(tavix::im::kEventConnected, 0, "");
            }
            ++calls_;
          }
        }) {}
  ~BridgeHammer() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  int calls() const { return calls_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> calls_{0};
  std::thread thread_;
};

class ZEKCoreAdapterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // GNUstep takes the first thread that uses NSThread for the main one.
    [NSThread currentThread];
    // A deallocated object becomes a zombie, and a message to one aborts: no call may
    // reach a delegate once it is gone. Set only now, since Foundation reads the
    // variable from the environment when it starts.
    setenv("CRASH_ON_ZOMBIE", "YES", 1);
    NSZombieEnabled = YES;
  }
  void SetUp() override { pool_ = [[NSAutoreleasePool alloc] init]; }
  void TearDown() override { [pool_ drain]; }

  ZekTestDelegate* NewDelegate(DelegateLog* log) {
    return [[ZekTestDelegate alloc] initWithLog:log];
  }

  // Starts the core for `adapter` on a thread that may not open raw sockets: the MTU
  // probe of the product's Initialize then gives up before any look-up, so nothing
  // leaves the machine. False where a thread cannot drop that capability.
  static bool InitializeWithoutProbe(ZEKCoreAdapter* adapter) {
    return zek_test::RunWithoutRawSockets([adapter] {
      ScopedPool pool;
      [adapter Initialize];
    });
  }

  NSAutoreleasePool* pool_ = nil;
};

// What the tests here rely on: a message to a delegate that is gone aborts the test
// instead of running on freed memory.
TEST_F(ZEKCoreAdapterTest, CallToAFreedDelegateAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DelegateLog log;
        ZekTestDelegate* delegate = NewDelegate(&log);
        ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
        adapter.delegate = delegate;
        [delegate release];
        [delegate OnZEkCoreMessageWithMessage:"m" msgLength:1];
      },
      "deallocated instance");
}

TEST_F(ZEKCoreAdapterTest, SharedAdapterIsOneObjectFromEveryThread) {
  constexpr int kThreads = 8;
  std::vector<ZEKCoreAdapter*> seen(kThreads, nil);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&](int index) {
          while (!go) {
          }
          ScopedPool pool;
          seen[index] = [ZEKCoreAdapter sharedZEKCore];
        },
        i);
  }
  go = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  ZEKCoreAdapter* shared = [ZEKCoreAdapter sharedZEKCore];
  ASSERT_NE(nil, shared);
  EXPECT_EQ([ZEKCoreAdapter class], [shared class]);
  for (ZEKCoreAdapter* adapter : seen) {
    EXPECT_EQ(shared, adapter);
  }
  EXPECT_EQ(shared, [ZEKCoreAdapter sharedZEKCore]);
}

TEST_F(ZEKCoreAdapterTest, BridgePassesEventsOnUnchanged) {
  DelegateLog log;
  ZekTestDelegate* delegate = NewDelegate(&log);
  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  adapter.delegate = delegate;
  ZEKObserver bridge(adapter);

  struct Case {
    int code;
    int error_code;
    const char* context;
  };
  static const char kEmbeddedZero[] = "ab\0cd";
  const Case cases[] = {
      {tavix::im::kEventConnected, 0, ""},
      {tavix::im::kEventConnectFailed, 2, "not support"},
      {tavix::im::kEventServerClosed, 8002, "kicked"},
      {tavix::im::kEventDisconnected, 0, ""},
      {tavix::im::kEventReconnecting, 4, "login failed, start reconnect"},
      {tavix::im::kEventReconnected, INT_MAX, "ok"},
      {tavix::im::kEventReconnectStopped, 5003, "refused"},
      // Neither the code nor the error code is checked on the way.
      {99, INT_MIN, kEmbeddedZero},
      {-1, -1, nullptr},
  };
  for (const Case& c : cases) {
    bridge.OnZEkCoreEvent(static_cast<ZEkEventCode>(c.code), c.error_code, c.context);
  }
  const std::vector<DelegateLog::Event> events = log.Events();
  ASSERT_EQ(std::size(cases), events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].code, events[i].code);
    EXPECT_EQ(cases[i].error_code, events[i].error_code);
    // The very text, not a copy.
    EXPECT_EQ(cases[i].context, events[i].context);
  }

  struct MessageCase {
    const char* data;
    int length;
  };
  const MessageCase messages[] = {
      {"hello", 5},
      {"", 0},
      {kEmbeddedZero, 5},  // the length stays as given
      {"x", INT_MAX},
  };
  for (const MessageCase& m : messages) {
    bridge.OnZEkCoreMessage(m.data, m.length);
  }
  const std::vector<DelegateLog::Message> received = log.Messages();
  ASSERT_EQ(std::size(messages), received.size());
  for (size_t i = 0; i < received.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(messages[i].data, received[i].data);
    EXPECT_EQ(messages[i].length, received[i].length);
  }

  [adapter release];
  [delegate release];
}

TEST_F(ZEKCoreAdapterTest, DelegateChangesTakeEffectForTheNextCall) {
  DelegateLog log_a, log_b;
  ZekTestDelegate* a = NewDelegate(&log_a);
  ZekTestDelegate* b = NewDelegate(&log_b);
  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  ZEKObserver bridge(adapter);

  // Each step sets the delegate, then sends one event (its error code numbers the step)
  // and one message; nil drops both without error.
  struct Step {
    ZekTestDelegate* delegate;
  };
  const Step steps[] = {{nil}, {a}, {b}, {nil}, {a}, {a}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    adapter.delegate = steps[i].delegate;
    EXPECT_EQ(steps[i].delegate, adapter.delegate);
    bridge.OnZEkCoreEvent(tavix::im::kEventConnected, static_cast<int>(i), "");
    bridge.OnZEkCoreMessage("m", 1);
  }
  auto steps_seen = [](DelegateLog& log) {
    std::vector<int> seen;
    for (const DelegateLog::Event& event : log.Events()) {
      seen.push_back(event.error_code);
    }
    return seen;
  };
  EXPECT_EQ((std::vector<int>{1, 4, 5}), steps_seen(log_a));
  EXPECT_EQ((std::vector<int>{2}), steps_seen(log_b));
  EXPECT_EQ(3u, log_a.Messages().size());
  EXPECT_EQ(1u, log_b.Messages().size());

  [adapter release];
  [a release];
  [b release];
}

TEST_F(ZEKCoreAdapterTest, AdapterDoesNotKeepItsDelegateAlive) {
  DelegateLog log, other_log;
  ZekTestDelegate* delegate = NewDelegate(&log);
  ZekTestDelegate* other = NewDelegate(&other_log);
  ZEKCoreAdapter* first = [[ZEKCoreAdapter alloc] init];
  ZEKCoreAdapter* second = [[ZEKCoreAdapter alloc] init];
  ZEKCoreAdapter* moved_on = [[ZEKCoreAdapter alloc] init];
  ZEKObserver bridge(first);

  const NSUInteger count = [delegate retainCount];
  first.delegate = delegate;
  second.delegate = delegate;
  moved_on.delegate = delegate;
  moved_on.delegate = other;
  EXPECT_EQ(count, [delegate retainCount]);
  // Reading the delegate lends it to the reader's pool only.
  {
    ScopedPool pool;
    EXPECT_EQ(delegate, first.delegate);
    bridge.OnZEkCoreEvent(tavix::im::kEventConnected, 0, "");
  }
  EXPECT_EQ(count, [delegate retainCount]);
  EXPECT_EQ(1, log.calls);
  // Being held weakly does not show in the delegate's class.
  EXPECT_EQ([ZekTestDelegate class], [delegate class]);
  EXPECT_TRUE([delegate isKindOfClass:[ZekTestDelegate class]]);
  EXPECT_TRUE([delegate conformsToProtocol:@protocol(ZEKCoreDelegate)]);

  // The app's release is the last: the delegate goes, and every adapter reads nil.
  [delegate release];
  EXPECT_TRUE(log.deallocated);
  {
    ScopedPool pool;
    EXPECT_EQ(nil, first.delegate);
    EXPECT_EQ(nil, second.delegate);
    EXPECT_EQ(other, moved_on.delegate);
    bridge.OnZEkCoreEvent(tavix::im::kEventConnected, 0, "");
    bridge.OnZEkCoreMessage("m", 1);
  }
  EXPECT_EQ(1, log.calls);
  EXPECT_FALSE(log.called_after_dealloc);

  // A new object, perhaps at the old one's address, is not taken for it.
  DelegateLog fresh_log;
  ZekTestDelegate* fresh = NewDelegate(&fresh_log);
  {
    ScopedPool pool;
    EXPECT_EQ(nil, first.delegate);
  }
  [fresh release];

  [first release];
  [second release];
  [moved_on release];
  EXPECT_FALSE(other_log.deallocated);
  [other release];
  EXPECT_TRUE(other_log.deallocated);
}

// The core may call from inside a pool that drains much later: a bridge call gives back
// the delegate it borrowed, and what the delegate autoreleased, when it ends.
TEST_F(ZEKCoreAdapterTest, BridgeCallGivesBackWhatItAutoreleasedWhenItEnds) {
  DelegateLog log;
  log.autorelease_in_calls = true;
  g_autoreleased_released = 0;
  ZekTestDelegate* delegate = NewDelegate(&log);
  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  adapter.delegate = delegate;
  ZEKObserver bridge(adapter);
  const NSUInteger count = [delegate retainCount];
  // The fixture's pool stays open around every call.
  const std::function<void()> calls[] = {
      [&] { bridge.OnZEkCoreEvent(tavix::im::kEventConnected, 0, ""); },
      [&] { bridge.OnZEkCoreMessage("m", 1); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    SCOPED_TRACE(i);
    calls[i]();
    EXPECT_EQ(count, [delegate retainCount]);
    EXPECT_EQ(static_cast<int>(i + 1), g_autoreleased_released);
  }
  // So the app's release is the last one.
  [delegate release];
  EXPECT_TRUE(log.deallocated);
  [adapter release];
}

TEST_F(ZEKCoreAdapterTest, BridgeOutlivingItsAdapterSendsNothing) {
  DelegateLog log;
  ZekTestDelegate* delegate = NewDelegate(&log);
  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  adapter.delegate = delegate;
  ZEKObserver bridge(adapter);
  {
    ScopedPool pool;
    bridge.OnZEkCoreEvent(tavix::im::kEventConnected, 0, "");
  }
  EXPECT_EQ(1, log.calls);

  [adapter release];
  {
    ScopedPool pool;
    bridge.OnZEkCoreEvent(tavix::im::kEventConnected, 0, "");
    bridge.OnZEkCoreMessage("m", 1);
  }
  EXPECT_EQ(1, log.calls);
  // The adapter held the delegate weakly: it is still the app's.
  EXPECT_FALSE(log.deallocated);
  [delegate release];
  EXPECT_TRUE(log.deallocated);
}

// The app releases its delegate, or its adapter, on its own thread while the worker
// thread is calling through the bridge: nothing may reach an object whose -dealloc has
// begun, and the calls stop.
TEST_F(ZEKCoreAdapterTest, ReleasesRaceWithBridgeCalls) {
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    DelegateLog log;
    ZekTestDelegate* delegate = NewDelegate(&log);
    ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
    adapter.delegate = delegate;
    ZEKObserver bridge(adapter);
    BridgeHammer hammer(&bridge);
    ASSERT_TRUE(zek_test::WaitUntil([&] { return log.calls > 0; }));
    [delegate release];
    // The worker may hold the last reference for a moment, never longer than a call.
    ASSERT_TRUE(zek_test::WaitUntil([&] { return log.deallocated.load(); }));
    const int calls = hammer.calls();
    ASSERT_TRUE(zek_test::WaitUntil([&] { return hammer.calls() > calls + 2; }));
    hammer.Stop();
    EXPECT_FALSE(log.called_after_dealloc);
    EXPECT_EQ(nil, adapter.delegate);
    [adapter release];
  }

  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    DelegateLog log;
    ZekTestDelegate* delegate = NewDelegate(&log);
    ZEKCoreAdapter* adapter = [[ZekTestAdapter alloc] init];
    adapter.delegate = delegate;
    g_adapter_deallocating = false;
    ZEKObserver bridge(adapter);
    BridgeHammer hammer(&bridge);
    ASSERT_TRUE(zek_test::WaitUntil([&] { return log.calls > 0; }));
    [adapter release];
    // Calls still under way when the adapter went may end; then nothing more arrives.
    const int calls = hammer.calls();
    ASSERT_TRUE(zek_test::WaitUntil([&] { return hammer.calls() > calls + 2; }));
    const int delivered = log.calls;
    const int later = hammer.calls();
    ASSERT_TRUE(zek_test::WaitUntil([&] { return hammer.calls() > later + 2; }));
    EXPECT_EQ(delivered, log.calls);
    hammer.Stop();
    EXPECT_FALSE(g_delegate_asked_while_deallocating);
    [delegate release];
  }
}

TEST_F(ZEKCoreAdapterTest, SwitchingDelegatesLosesNoCall) {
  DelegateLog log_a, log_b;
  ZekTestDelegate* a = NewDelegate(&log_a);
  ZekTestDelegate* b = NewDelegate(&log_b);
  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  adapter.delegate = a;
  ZEKObserver bridge(adapter);
  BridgeHammer hammer(&bridge);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int i = 0; hammer.calls() < 2000 && std::chrono::steady_clock::now() < deadline; ++i) {
    adapter.delegate = (i % 2) ? a : b;
  }
  hammer.Stop();
  EXPECT_GE(hammer.calls(), 2000);
  EXPECT_EQ(hammer.calls(), log_a.calls + log_b.calls);
  [adapter release];
  [a release];
  [b release];
}

// End to end through the core and a loopback KCP server: without a delegate the core's
// event and a message go nowhere; once one is set, the next message reaches it on the
// worker thread as the server's C text and length.
TEST_F(ZEKCoreAdapterTest, MessagesReachTheDelegateThroughTheCore) {
  zek_test::KcpTestServerConfig config;
  config.echo = false;
  zek_test::KcpTestServer server(config);
  ASSERT_TRUE(server.Start()) << server.last_error();

  ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
  if (!InitializeWithoutProbe(adapter)) {
    [adapter release];
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  }
  [adapter ConnectImServerWithParam:KcpParams(server.port())];
  ASSERT_TRUE(zek_test::WaitUntil(
      [&] { return server.state() == zek_test::KcpTestServer::State::kSession; }));
  // The client acknowledges a message only after handing it on, and it handles the
  // login reply, and so raises its event, before any message.
  ASSERT_TRUE(server.SendText("nobody"));
  ASSERT_TRUE(zek_test::WaitUntil([&] { return server.waitsnd() == 0; }));

  DelegateLog log;
  ZekTestDelegate* delegate = NewDelegate(&log);
  adapter.delegate = delegate;
  ASSERT_TRUE(server.SendText("hello"));
  ASSERT_TRUE(zek_test::WaitUntil([&] { return !log.Messages().empty(); }));
  const DelegateLog::Message message = log.Messages()[0];
  EXPECT_EQ("hello", message.text);
  EXPECT_EQ(5, message.length);
  EXPECT_NE(std::this_thread::get_id(), message.thread);
  EXPECT_EQ(1u, log.Messages().size());
  EXPECT_TRUE(log.Events().empty());

  // The app's text goes out as its UTF-8 bytes, never more than it has; a nil text or a
  // negative length sends nothing (KCP keeps the order, so they would show first).
  [adapter SendUserMessage:nil length:1 type:tavix::im::kMsgText];
  [adapter SendUserMessage:@"x" length:-1 type:tavix::im::kMsgText];
  [adapter SendUserMessage:@"hello" length:3 type:tavix::im::kMsgText];
  [adapter SendUserMessage:[NSString stringWithUTF8String:"h\xc3\xa9llo"]
                    length:64
                      type:tavix::im::kMsgText];
  ASSERT_TRUE(zek_test::WaitUntil([&] { return server.texts().size() >= 2; }));
  EXPECT_EQ((std::vector<std::string>{"hel", "h\xc3\xa9llo"}), server.texts());

  // Another delegate gets the next event; the first one nothing more.
  DelegateLog other_log;
  ZekTestDelegate* other = NewDelegate(&other_log);
  adapter.delegate = other;
  [adapter DisConnectImServer];
  ASSERT_TRUE(zek_test::WaitUntil([&] { return !other_log.Events().empty(); }));
  const DelegateLog::Event event = other_log.Events()[0];
  EXPECT_EQ(tavix::im::kEventDisconnected, event.code);
  EXPECT_EQ(0, event.error_code);
  EXPECT_EQ("", event.context_text);
  EXPECT_TRUE(log.Events().empty());

  [adapter release];
  [delegate release];
  [other release];
}

// The app lets its delegate go while the server keeps pushing messages, over each
// transport. The worker holds the delegate for the call under way at most, so it goes
// at once and hears nothing more, and the adapter reads nil.
TEST_F(ZEKCoreAdapterTest, ReleasedDelegateGoesAtOnceWhileTheServerPushes) {
  for (const char* transport : {"websocket", "kcp"}) {
    SCOPED_TRACE(transport);
    const bool kcp = std::strcmp(transport, "kcp") == 0;
    zek_test::KcpTestServerConfig kcp_config;
    kcp_config.echo = false;
    zek_test::KcpTestServer kcp_server(kcp_config);
    ASSERT_TRUE(kcp_server.Start()) << kcp_server.last_error();
    zek_test::WsTestServerOptions ws_options;
    ws_options.echo = false;
    zek_test::WsTestServer ws_server(ws_options);
    ASSERT_TRUE(ws_server.Start());
    // JSON texts, which both transports carry.
    auto push = [&](const std::string& text) {
      return kcp ? kcp_server.SendText(text) : ws_server.SendText(text);
    };

    DelegateLog log;
    ZekTestDelegate* delegate = NewDelegate(&log);
    ZEKCoreAdapter* adapter = [[ZEKCoreAdapter alloc] init];
    adapter.delegate = delegate;
    if (!InitializeWithoutProbe(adapter)) {
      [adapter release];
      [delegate release];
      GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
    }
    Json::Value params = zek_test::ImParamObject(kcp_server.port(), ws_server.port());
    params["connection_type"] = transport;
    const std::string param_text = zek_test::JsonText(params);
    [adapter ConnectImServerWithParam:[NSString stringWithUTF8String:param_text.c_str()]];
    EXPECT_TRUE(zek_test::WaitUntil([&] { return HasEvent(log, tavix::im::kEventConnected); }));

    // The server keeps a few messages ahead of the delegate until the app lets go, then
    // sends a burst as fast as it can.
    constexpr size_t kAhead = 4;
    constexpr int kAfterRelease = 20;
    std::thread pusher([&] {
      size_t sent = 0;
      for (int after = 0; after < kAfterRelease;) {
        if (!log.released) {
          zek_test::WaitUntil(
              [&] { return log.released || log.Messages().size() + kAhead > sent; });
        }
        const bool released = log.released;
        if (!push("{\"n\":" + std::to_string(sent) + "}")) {
          return;
        }
        ++sent;
        after += released ? 1 : 0;
      }
    });
    EXPECT_TRUE(zek_test::WaitUntil([&] { return log.Messages().size() >= 10; }));
    log.released = true;
    [delegate release];
    pusher.join();

    EXPECT_TRUE(zek_test::WaitUntil([&] { return log.deallocated.load(); }));
    {
      ScopedPool pool;
      EXPECT_EQ(nil, adapter.delegate);
    }
    // Once the next delegate has the server's last text, every earlier one was handled.
    const std::string last = R"({"last":true})";
    DelegateLog next_log;
    ZekTestDelegate* next = NewDelegate(&next_log);
    adapter.delegate = next;
    EXPECT_TRUE(push(last));
    EXPECT_TRUE(zek_test::WaitUntil([&] {
      const std::vector<DelegateLog::Message> messages = next_log.Messages();
      return !messages.empty() && messages.back().text == last;
    }));
    EXPECT_TRUE(log.deallocated);
    EXPECT_LE(log.calls_after_release, 1);
    EXPECT_FALSE(log.called_after_dealloc);

    [adapter release];
    [next release];
  }
}

// An adapter that the app made and released shuts the core down: the next adapter's
// -Initialize builds a new core around its own bridge.
TEST_F(ZEKCoreAdapterTest, ReleasedAdapterShutsTheCoreDown) {
  zek_test::KcpTestServer server;
  ASSERT_TRUE(server.Start()) << server.last_error();

  DelegateLog first_log;
  ZekTestDelegate* first_delegate = NewDelegate(&first_log);
  ZEKCoreAdapter* first = [[ZEKCoreAdapter alloc] init];
  first.delegate = first_delegate;
  if (!InitializeWithoutProbe(first)) {
    [first release];
    [first_delegate release];
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  }
  ASSERT_NE(nullptr, tavix::im::g_zek_manager);
  [first release];
  EXPECT_EQ(nullptr, tavix::im::g_zek_manager);

  DelegateLog log;
  ZekTestDelegate* delegate = NewDelegate(&log);
  ZEKCoreAdapter* second = [[ZEKCoreAdapter alloc] init];
  second.delegate = delegate;
  ASSERT_TRUE(InitializeWithoutProbe(second));
  [second ConnectImServerWithParam:KcpParams(server.port())];
  EXPECT_TRUE(zek_test::WaitUntil([&] { return HasEvent(log, tavix::im::kEventConnected); }));
  EXPECT_EQ(0, first_log.calls);

  [second release];
  EXPECT_EQ(nullptr, tavix::im::g_zek_manager);
  [first_delegate release];
  [delegate release];
}

// An adapter whose last reference goes inside a delegate call: its -dealloc shuts the
// core down from the core's own thread. The call returns, nothing more reaches the
// delegate (a zombie would abort), the core ends its connection, and a new adapter
// starts a new core.
TEST_F(ZEKCoreAdapterTest, AdapterReleasedInsideADelegateCallShutsTheCoreDownAfterIt) {
  zek_test::KcpTestServer server;
  ASSERT_TRUE(server.Start()) << server.last_error();
  g_adapter_deallocating = false;
  g_delegate_asked_while_deallocating = false;

  DelegateLog log;
  std::atomic<bool> let_go{false};
  ZekTestAdapter* adapter = [[ZekTestAdapter alloc] init];
  ZekAdapterReleasingDelegate* delegate = [[ZekAdapterReleasingDelegate alloc] initWithLog:&log
                                                                                   adapter:adapter
                                                                                     letGo:&let_go];
  adapter.delegate = delegate;
  if (!InitializeWithoutProbe(adapter)) {
    [adapter release];
    [delegate release];
    GTEST_SKIP() << "this environment does not let a thread drop CAP_NET_RAW";
  }
  // From here the delegate holds the adapter's only reference.
  [adapter ConnectImServerWithParam:KcpParams(server.port())];
  ASSERT_TRUE(zek_test::WaitUntil([&] { return let_go.load(); }));
  EXPECT_TRUE(g_adapter_deallocating);
  // Pushed at a core that is shutting down: it must not reach the delegate.
  server.SendText("{\"late\":1}");

  // Waits for the shut-down begun inside the call.
  ::UnInitialize();
  EXPECT_EQ(nullptr, tavix::im::g_zek_manager);
  ASSERT_EQ(1u, server.logins().size());
  EXPECT_TRUE(zek_test::UdpPortFree(server.logins()[0].from_port));
  EXPECT_EQ(0, log.calls_after_release);
  EXPECT_FALSE(g_delegate_asked_while_deallocating);
  EXPECT_TRUE(log.Messages().empty());

  DelegateLog next_log;
  ZekTestDelegate* next_delegate = NewDelegate(&next_log);
  ZEKCoreAdapter* next = [[ZEKCoreAdapter alloc] init];
  next.delegate = next_delegate;
  ASSERT_TRUE(InitializeWithoutProbe(next));
  [next ConnectImServerWithParam:KcpParams(server.port())];
  EXPECT_TRUE(zek_test::WaitUntil([&] { return HasEvent(next_log, tavix::im::kEventConnected); }));
  [next release];
  EXPECT_EQ(nullptr, tavix::im::g_zek_manager);
  [next_delegate release];
  [delegate release];
  EXPECT_EQ(0, log.calls_after_release);
}

}  // namespace
