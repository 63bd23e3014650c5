// ctest-labels: threading
#include "rtc_base/physicalsocketserver.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/messagequeue.h"
#include "rtc_base/objc_hooks.h"
#include "rtc_base/platform_thread_types.h"
#include "tests/support/count_text.h"
#include "tests/support/file_limit.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/socket_pair.h"
#include "tests/support/test_dispatcher.h"
#include "tests/support/thread_state.h"
#include "tests/support/wait.h"

namespace rtc {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using zek_test::CountOf;
using zek_test::ScopedFileLimit;
using zek_test::SocketPair;
using zek_test::TestDispatcher;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string ErrnoSuffix(int error) {
  char buf[128];
  snprintf(buf, sizeof(buf), " : [0x%08X] %s", static_cast<unsigned>(error), strerror(error));
  return buf;
}

// A loopback TCP socket, non-blocking, closed at the end of the test.
struct TcpSocket {
  TcpSocket() : fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) { EXPECT_GE(fd, 0); }
  ~TcpSocket() {
    if (fd >= 0) {
      close(fd);
    }
  }
  // Binds to 127.0.0.1 on a free port and returns it.
  int BindLoopback() { return zek_test::BindLoopback(fd); }
  void ConnectLoopback(int port) {
    const sockaddr_in addr = zek_test::LoopbackSockAddr(static_cast<uint16_t>(port));
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    EXPECT_TRUE(result == 0 || errno == EINPROGRESS) << strerror(errno);
  }
  int fd;
};

// A dispatcher that is neither registered nor polled, for Add and Remove alone.
class BareDispatcher : public Dispatcher {
 public:
  uint32_t GetRequestedEvents() override { return 0; }
  void OnPreEvent(uint32_t) override {}
  void OnEvent(uint32_t, int) override {}
  int GetDescriptor() override { return -1; }
  bool IsDescriptorClosed() override { return false; }
};

// Waits in short slices until `dispatcher` has a record; bounded.
bool WaitForEvent(PhysicalSocketServer* server, const TestDispatcher& dispatcher) {
  for (int i = 0; i < 250 && dispatcher.event_count() == 0; ++i) {
    server->Wait(20, true);
  }
  return dispatcher.event_count() != 0;
}

TEST(PhysicalSocketServerTest, WaitZeroPollsEveryDescriptorOnce) {
  PhysicalSocketServer server;
  SocketPair pairs[4];
  std::vector<std::unique_ptr<TestDispatcher>> dispatchers;
  for (SocketPair& pair : pairs) {
    dispatchers.push_back(std::make_unique<TestDispatcher>(&server, pair.fds[0], kIoRead));
  }
  // Each dispatch runs in an autorelease pool; Foundation's one-time start-up at the
  // first pool is no part of a zero wait.
  { rtc::ScopedAutoreleasePool warm_up; }
  for (int i = 0; i < 3; ++i) {
    pairs[i].Write();
  }
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const auto records = dispatchers[i]->records();
    ASSERT_EQ(i < 3 ? 1u : 0u, records.size());
    if (i < 3) {
      EXPECT_EQ(kIoRead, records[0].events);
      EXPECT_EQ(0, records[0].error);
    }
  }
}

// Builds the descriptor of one case; the objects it needs live in `keep`.
struct CaseSetup {
  std::vector<std::shared_ptr<void>> keep;
  int fd = -1;
};

struct EventCase {
  const char* name;
  uint32_t requested;
  std::function<void(CaseSetup*)> setup;
  uint32_t expected_events;
  int expected_error;
};

// The case's descriptor is the first end of a socket pair that the case keeps.
SocketPair* UsePair(CaseSetup* s) {
  auto pair = std::make_shared<SocketPair>();
  s->keep.push_back(pair);
  s->fd = pair->fds[0];
  return pair.get();
}

// A client connecting to a listener on 127.0.0.1, both kept by the case, whose
// descriptor is the listener's or the client's.
void UseConnection(CaseSetup* s, bool listener_side) {
  auto listener = std::make_shared<TcpSocket>();
  const int port = listener->BindLoopback();
  ASSERT_EQ(0, listen(listener->fd, 5));
  auto client = std::make_shared<TcpSocket>();
  client->ConnectLoopback(port);
  s->keep.push_back(listener);
  s->keep.push_back(client);
  s->fd = listener_side ? listener->fd : client->fd;
}

TEST(PhysicalSocketServerTest, ReadinessBecomesEventBits) {
  const EventCase cases[] = {
      {"data waiting", kIoRead, [](CaseSetup* s) { UsePair(s)->Write(); }, kIoRead, 0},
      {"peer ended the stream", kIoRead, [](CaseSetup* s) { UsePair(s)->CloseEnd(1); }, kIoClose,
       0},
      {"readable and writable in one pass", kIoRead | kIoWrite,
       [](CaseSetup* s) { UsePair(s)->Write(); }, kIoRead | kIoWrite, 0},
      {"writable", kIoWrite, [](CaseSetup* s) { UsePair(s); }, kIoWrite, 0},
      {"a connection to accept", kIoAccept, [](CaseSetup* s) { UseConnection(s, true); }, kIoAccept,
       0},
      {"a connect that succeeded", kIoConnect | kIoRead,
       [](CaseSetup* s) { UseConnection(s, false); }, kIoConnect, 0},
      {"a connect that was refused", kIoConnect | kIoRead,
       [](CaseSetup* s) {
         auto refusing = std::make_shared<zek_test::RefusingPort>();
         auto client = std::make_shared<TcpSocket>();
         client->ConnectLoopback(refusing->port());
         s->keep.push_back(refusing);
         s->keep.push_back(client);
         s->fd = client->fd;
       },
       kIoClose, ECONNREFUSED},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.name);
    PhysicalSocketServer server;
    CaseSetup setup;
    c.setup(&setup);
    ASSERT_GE(setup.fd, 0);
    TestDispatcher dispatcher(&server, setup.fd, c.requested);
    ASSERT_TRUE(WaitForEvent(&server, dispatcher));
    const auto records = dispatcher.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(c.expected_events, records[0].events);
    EXPECT_EQ(c.expected_events, records[0].pre_events);
    EXPECT_EQ(c.expected_error, records[0].error);
  }
}

TEST(PhysicalSocketServerTest, WaitForeverEndsOnlyAtWakeUp) {
  PhysicalSocketServer server;
  SocketPair pair;
  TestDispatcher dispatcher(&server, pair.fds[0], kIoRead);
  const PlatformThreadRef waiter = CurrentThreadRef();
  std::atomic<int> events_on_waiter{0};
  dispatcher.on_event = [&](uint32_t, int) {
    char buf[8];
    while (read(pair.fds[0], buf, sizeof(buf)) > 0) {
    }
    if (IsThreadRefEqual(CurrentThreadRef(), waiter)) {
      ++events_on_waiter;
    }
    dispatcher.Request(kIoRead);
  };
  std::atomic<bool> woken{false};
  std::thread helper([&] {
    pair.Write();
    // Once the first handler has drained its byte and asked again, so that the second
    // byte makes an event of its own.
    EXPECT_TRUE(zek_test::WaitUntil([&] { return dispatcher.handled_count() == 1; }));
    pair.Write();
    EXPECT_TRUE(zek_test::WaitUntil([&] { return dispatcher.handled_count() == 2; }));
    woken = true;
    server.WakeUp();
  });
  EXPECT_TRUE(server.Wait(kForeverMs, true));
  EXPECT_TRUE(woken);
  EXPECT_EQ(2, events_on_waiter);
  helper.join();
}

TEST(PhysicalSocketServerTest, WakeUpsBeforeWaitCountAsOne) {
  PhysicalSocketServer server;
  for (int i = 0; i < 10; ++i) {
    server.WakeUp();
  }
  auto start = Clock::now();
  EXPECT_TRUE(server.Wait(5000, true));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  // Nothing is left over to cut the next wait short.
  start = Clock::now();
  EXPECT_TRUE(server.Wait(50, true));
  EXPECT_GE(Clock::now() - start, milliseconds(49));
}

TEST(PhysicalSocketServerTest, TimedWaitGoesOnAfterSocketEvents) {
  PhysicalSocketServer server;
  SocketPair pair;
  TestDispatcher dispatcher(&server, pair.fds[0], kIoRead);
  const int waiter_tid = CurrentThreadId();
  std::thread helper([&] {
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(waiter_tid); }));
    pair.Write();
  });
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(300, true));
  const auto took = Clock::now() - start;
  helper.join();
  EXPECT_EQ(1u, dispatcher.event_count());
  EXPECT_GE(took, milliseconds(299));
  EXPECT_LT(took, milliseconds(3000));
}

// A descriptor that stays ready neither holds a zero wait nor keeps a timed one past
// its time: a zero wait handles it once, a timed one returns once the time is used up.
TEST(PhysicalSocketServerTest, DescriptorThatStaysReadyDoesNotHoldTheWait) {
  // Enough to show a wait that would not end by itself, which then ends once the
  // dispatcher stops asking.
  constexpr size_t kGiveUpAfter = 200000;
  const struct {
    int wait_ms;
    size_t max_events;
  } cases[] = {{0, 1}, {30, kGiveUpAfter - 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wait_ms);
    PhysicalSocketServer server;
    SocketPair pair;
    pair.Write();
    TestDispatcher dispatcher(&server, pair.fds[0], kIoRead);
    size_t events = 0;
    // Never reads its byte, so the descriptor stays readable.
    dispatcher.on_event = [&](uint32_t, int) {
      if (++events < kGiveUpAfter) {
        dispatcher.Request(kIoRead);
      }
    };
    const auto start = Clock::now();
    EXPECT_TRUE(server.Wait(c.wait_ms, true));
    const auto took = Clock::now() - start;
    EXPECT_GE(events, 1u);
    EXPECT_LE(events, c.max_events);
    EXPECT_GE(took, milliseconds(c.wait_ms));
    EXPECT_LT(took, milliseconds(c.wait_ms + 1000));
  }
}

TEST(PhysicalSocketServerTest, WaitWithoutIoPollsOnlyTheWakeUp) {
  PhysicalSocketServer server;
  SocketPair pair;
  pair.Write();
  TestDispatcher dispatcher(&server, pair.fds[0], kIoRead);
  const int waiter_tid = CurrentThreadId();
  std::thread helper([&] {
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(waiter_tid); }));
    server.WakeUp();
  });
  EXPECT_TRUE(server.Wait(kForeverMs, false));
  helper.join();
  EXPECT_EQ(0u, dispatcher.event_count());
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, dispatcher.event_count());
}

TEST(PhysicalSocketServerTest, RemovingAnUnknownDispatcherWarnsAndChangesNothing) {
  const std::string warning =
      "PhysicalSocketServer asked to remove a unknown dispatcher, potentially from a duplicate "
      "call to Add.\n";
  struct Case {
    const char* name;
    bool add_first;
    int removes;
    int expected_warnings;
  } const cases[] = {
      {"never added", false, 1, 1},
      {"removed twice", true, 2, 1},
      {"removed once", true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PhysicalSocketServer server;
    BareDispatcher bare;
    if (c.add_first) {
      server.Add(&bare);
      server.Add(&bare);  // adding again changes nothing
    }
    CaptureStderr();
    for (int i = 0; i < c.removes; ++i) {
      server.Remove(&bare);
    }
    const std::string out = GetCapturedStderr();
    EXPECT_EQ(c.expected_warnings, CountOf(out, warning)) << out;
    // The server still works.
    server.WakeUp();
    EXPECT_TRUE(server.Wait(1000, true));
  }
}

TEST(PhysicalSocketServerTest, ChangesDuringAPassTakeEffectWhenItEnds) {
  PhysicalSocketServer server;
  SocketPair pair;
  pair.Write();
  TestDispatcher trigger(&server, pair.fds[0], kIoRead);
  BareDispatcher added_and_removed;
  BareDispatcher removed_and_added;
  server.Add(&removed_and_added);
  trigger.on_event = [&](uint32_t, int) {
    server.Add(&added_and_removed);
    server.Remove(&added_and_removed);
    server.Remove(&removed_and_added);
    server.Add(&removed_and_added);
  };
  CaptureStderr();
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ("", GetCapturedStderr());
  ASSERT_EQ(1u, trigger.event_count());

  // The first is not registered, the second still is.
  CaptureStderr();
  server.Remove(&added_and_removed);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("unknown dispatcher"));
  CaptureStderr();
  server.Remove(&removed_and_added);
  EXPECT_EQ("", GetCapturedStderr());
}

TEST(PhysicalSocketServerTest, DispatcherDestroyedEarlierInThePassIsNotTouched) {
  PhysicalSocketServer server;
  SocketPair first_pair;
  SocketPair second_pair;
  first_pair.Write();
  second_pair.Write();
  auto a = std::make_unique<TestDispatcher>(&server, first_pair.fds[0], kIoRead);
  auto b = std::make_unique<TestDispatcher>(&server, second_pair.fds[0], kIoRead);
  // The pass visits dispatchers in address order: the lower one destroys the other.
  TestDispatcher* earlier = a.get() < b.get() ? a.get() : b.get();
  std::unique_ptr<TestDispatcher>& later = a.get() < b.get() ? b : a;
  earlier->on_event = [&](uint32_t, int) { later.reset(); };
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, earlier->event_count());
  EXPECT_FALSE(later);
}

TEST(PhysicalSocketServerTest, DescriptorClosedBehindTheServersBackIsReportedOnce) {
  PhysicalSocketServer server;
  SocketPair pair;
  const int stale = dup(pair.fds[0]);
  ASSERT_GE(stale, 0);
  TestDispatcher dispatcher(&server, stale, kIoRead);
  // It keeps asking to be polled after it is told the descriptor is gone.
  dispatcher.on_event = [&](uint32_t events, int) {
    if (events & kIoClose) {
      dispatcher.Request(kIoRead);
    }
  };
  // Capturing opens a file: it must not take the number about to be freed.
  CaptureStderr();
  close(stale);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_THAT(GetCapturedStderr(),
              HasSubstr("descriptor " + std::to_string(stale) + " polled but not open"));
  auto records = dispatcher.records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(kIoClose, records[0].events);
  EXPECT_EQ(EBADF, records[0].error);

  // Not polled again: a wait lasts its time and nothing more is reported, and a
  // wake-up from another thread still ends a wait without limit.
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(50, true));
  EXPECT_GE(Clock::now() - start, milliseconds(49));
  EXPECT_EQ(1u, dispatcher.event_count());
  const int waiter_tid = CurrentThreadId();
  std::thread helper([&] {
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(waiter_tid); }));
    server.WakeUp();
  });
  EXPECT_TRUE(server.Wait(kForeverMs, true));
  helper.join();

  // The number opened again by someone else is still not polled for it, even
  // while readable (the helper above may have reused it, too).
  pair.Write();
  ASSERT_EQ(stale, dup2(pair.fds[0], stale));
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, dispatcher.event_count());
  close(stale);

  // Given another descriptor, it is polled again.
  dispatcher.set_descriptor(pair.fds[0]);
  EXPECT_TRUE(server.Wait(0, true));
  records = dispatcher.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(kIoRead, records[1].events);
}

// The descriptors of this process that are pipes.
std::set<int> OpenPipes() {
  std::set<int> pipes;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) {
    return pipes;
  }
  const int dir_fd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    const int fd = atoi(entry->d_name);
    struct stat st;
    if (entry->d_name[0] != '.' && fd != dir_fd && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
      pipes.insert(fd);
    }
  }
  closedir(dir);
  return pipes;
}

TEST(PhysicalSocketServerTest, WakeUpPipeClosedBehindTheServersBackIsReplaced) {
  const std::set<int> before = OpenPipes();
  PhysicalSocketServer server;
  int read_end = -1;
  int write_end = -1;
  for (int fd : OpenPipes()) {
    if (before.count(fd) == 0) {
      ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY ? read_end : write_end) = fd;
    }
  }
  ASSERT_GE(read_end, 0);
  ASSERT_GE(write_end, 0);

  // A wake-up already in the pipe, then its read end goes.
  server.WakeUp();
  CaptureStderr();
  close(read_end);
  auto start = Clock::now();
  EXPECT_TRUE(server.Wait(2000, true));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("polled but not open"));

  // The new pipe carries wake-ups from other threads.
  const int waiter_tid = CurrentThreadId();
  std::thread helper([&] {
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(waiter_tid); }));
    server.WakeUp();
  });
  start = Clock::now();
  EXPECT_TRUE(server.Wait(2000, true));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  helper.join();
  // The server leaves the old write end alone; it is this test's to close.
  close(write_end);
}

TEST(PhysicalSocketServerTest, ServesDescriptorsPastFdSetSizeAndManyAtOnce) {
  constexpr int kHigh = FD_SETSIZE + 500;
  ScopedFileLimit limit(kHigh + 100);
  if (!limit.ok()) {
    GTEST_SKIP() << "the descriptor limit cannot be raised past " << kHigh;
  }
  PhysicalSocketServer server;
  SocketPair high_pair;
  const int high = fcntl(high_pair.fds[0], F_DUPFD, kHigh);
  ASSERT_GE(high, kHigh);
  std::vector<std::unique_ptr<SocketPair>> pairs(200);
  std::vector<std::unique_ptr<TestDispatcher>> dispatchers;
  for (auto& pair : pairs) {
    pair = std::make_unique<SocketPair>();
    dispatchers.push_back(std::make_unique<TestDispatcher>(&server, pair->fds[0], kIoRead));
  }
  dispatchers.push_back(std::make_unique<TestDispatcher>(&server, high, kIoRead));
  for (auto& pair : pairs) {
    pair->Write();
  }
  high_pair.Write();
  EXPECT_TRUE(server.Wait(0, true));
  for (size_t i = 0; i < dispatchers.size(); ++i) {
    ASSERT_EQ(1u, dispatchers[i]->event_count()) << i;
    EXPECT_EQ(kIoRead, dispatchers[i]->records()[0].events);
  }
  dispatchers.clear();
  close(high);
}

TEST(PhysicalSocketServerTest, PollFailureIsLoggedOnceAndEndsOnlyThatWait) {
  PhysicalSocketServer server;
  SocketPair pairs[20];
  std::vector<std::unique_ptr<TestDispatcher>> dispatchers;
  for (SocketPair& pair : pairs) {
    dispatchers.push_back(std::make_unique<TestDispatcher>(&server, pair.fds[0], kIoRead));
  }
  const std::string line = "): select" + ErrnoSuffix(EINVAL) + "\n";
  // One wait first, so that a sanitizer's checks of the types involved are settled
  // while descriptors are still free.
  EXPECT_TRUE(server.Wait(0, true));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    CaptureStderr();
    {
      // poll() refuses more descriptors than the process may have open.
      ScopedFileLimit limit(8);
      ASSERT_TRUE(limit.ok());
      for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_TRUE(server.Wait(2000, true));
        EXPECT_LT(Clock::now() - start, milliseconds(1000));
      }
    }
    // Once per run of failures, however many waits fail.
    EXPECT_EQ(1, CountOf(GetCapturedStderr(), line));

    // The next wait serves the sockets as before, and ends the run.
    pairs[round].Write();
    EXPECT_TRUE(server.Wait(0, true));
    EXPECT_EQ(1u, dispatchers[round]->event_count());
  }
}

void IgnoreSignal(int) {}

TEST(PhysicalSocketServerTest, InterruptedPollGoesOnWithTheTimeLeft) {
  struct sigaction act = {};
  struct sigaction old = {};
  act.sa_handler = &IgnoreSignal;
  sigemptyset(&act.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR2, &act, &old));
  PhysicalSocketServer server;
  const pthread_t waiter = pthread_self();
  const int waiter_tid = CurrentThreadId();
  std::thread helper([&] {
    EXPECT_TRUE(zek_test::WaitUntil([&] { return zek_test::IsThreadSleeping(waiter_tid); }));
    pthread_kill(waiter, SIGUSR2);
  });
  CaptureStderr();
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(300, true));
  const auto took = Clock::now() - start;
  helper.join();
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_GE(took, milliseconds(299));
  sigaction(SIGUSR2, &old, nullptr);
}

std::atomic<int> g_routed_signals{0};
std::atomic<int> g_routed_number{0};
void CountSignal(int signal_number) {
  ++g_routed_signals;
  g_routed_number = signal_number;
}

TEST(PhysicalSocketServerTest, RoutedPosixSignalRunsItsHandlerInsideWait) {
  PhysicalSocketServer server;
  g_routed_signals = 0;
  ASSERT_TRUE(server.SetPosixSignalHandler(SIGUSR1, &CountSignal));
  // Raised twice before the next pass: handled once, with its number.
  raise(SIGUSR1);
  raise(SIGUSR1);
  EXPECT_EQ(0, g_routed_signals);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1, g_routed_signals);
  EXPECT_EQ(SIGUSR1, g_routed_number);

  // Numbers past the flags are ignored; a flag with no handler is logged.
  PosixSignalHandler* handler = PosixSignalHandler::Instance();
  handler->OnPosixSignalReceived(200);
  EXPECT_FALSE(handler->IsSignalSet(200));
  EXPECT_FALSE(handler->IsSignalSet(-1));
  handler->OnPosixSignalReceived(SIGUSR2);
  EXPECT_TRUE(handler->IsSignalSet(SIGUSR2));
  CaptureStderr();
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_THAT(GetCapturedStderr(),
              HasSubstr("): Received signal with no handler: " + std::to_string(SIGUSR2) + "\n"));
  EXPECT_FALSE(handler->IsSignalSet(SIGUSR2));
  EXPECT_EQ(1, g_routed_signals);

  // SIG_IGN drops the routing: the signal is ignored and nothing runs.
  ASSERT_TRUE(server.SetPosixSignalHandler(SIGUSR1, SIG_IGN));
  raise(SIGUSR1);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1, g_routed_signals);
  EXPECT_TRUE(server.SetPosixSignalHandler(SIGUSR1, SIG_DFL));
}

TEST(PhysicalSocketServerTest, RefusedSigactionIsReported) {
  PhysicalSocketServer server;
  CaptureStderr();
  // SIGKILL's disposition cannot be changed.
  EXPECT_FALSE(server.SetPosixSignalHandler(SIGKILL, &CountSignal));
  EXPECT_FALSE(server.SetPosixSignalHandler(SIGKILL, SIG_IGN));
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("): Couldn't set sigaction" + ErrnoSuffix(EINVAL)));
}

TEST(PhysicalSocketServerDeathTest, WakeUpPipeThatCannotBeMadeIsFatal) {
  EXPECT_DEATH(
      {
        // One server first, so that a sanitizer's checks of the types involved are
        // settled while descriptors are still free.
        { PhysicalSocketServer warm_up; }
        // Leave no descriptor free for the pipe.
        const int lowest_free = dup(0);
        close(lowest_free);
        ScopedFileLimit limit(lowest_free);
        PhysicalSocketServer server;
      },
      "pipe failed(.|\n)*cannot be woken without its pipe");
}

TEST(SocketServerTest, DefaultIsAPhysicalSocketServer) {
  std::unique_ptr<SocketServer> server = SocketServer::CreateDefault();
  EXPECT_NE(nullptr, dynamic_cast<PhysicalSocketServer*>(server.get()));
}

}  // namespace
}  // namespace rtc
