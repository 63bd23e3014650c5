// ctest-labels: threading
#include "rtc_base/platform_thread_types.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

std::string CurrentName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
}

TEST(PlatformThreadTypesTest, RefsEqualOnOneThreadAndDifferAcrossLiveThreads) {
  const rtc::PlatformThreadRef main_ref = rtc::CurrentThreadRef();
  EXPECT_TRUE(rtc::IsThreadRefEqual(main_ref, rtc::CurrentThreadRef()));

  rtc::PlatformThreadRef other_ref;
  bool other_equal_to_itself = false;
  // The main thread is alive while the other runs, so their refs must differ.
  std::thread other([&] {
    other_ref = rtc::CurrentThreadRef();
    other_equal_to_itself = rtc::IsThreadRefEqual(other_ref, rtc::CurrentThreadRef());
  });
  other.join();
  EXPECT_TRUE(other_equal_to_itself);
  EXPECT_FALSE(rtc::IsThreadRefEqual(main_ref, other_ref));
}

TEST(PlatformThreadTypesTest, IdIsStablePerThreadAndDistinctAcrossLiveThreads) {
  const rtc::PlatformThreadId main_id = rtc::CurrentThreadId();
  EXPECT_EQ(main_id, rtc::CurrentThreadId());
  // The kernel's number: the main thread's is the process id.
  EXPECT_EQ(getpid(), main_id);

  rtc::PlatformThreadId first = 0, second = 0;
  std::thread other([&] {
    first = rtc::CurrentThreadId();
    second = rtc::CurrentThreadId();
  });
  other.join();
  EXPECT_EQ(first, second);
  EXPECT_NE(main_id, first);
}

TEST(PlatformThreadTypesTest, SetCurrentThreadNameKeepsWhatTheKernelTakes) {
  struct Case {
    const char* name;
    const char* want;
  };
  const Case cases[] = {
      {"short", "short"},
      {"", ""},
      {"fifteen chars!!", "fifteen chars!!"},
      {"sixteen chars!!!", "sixteen chars!!"},
      // A worker thread's name with its owner's address appended.
      {"zek main thread 0x7ffd5e8c1a40", "zek main thread"},
      // Eight two-byte characters: the eighth would straddle byte 15, so it goes whole.
      {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
       "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},
  };
  for (const Case& c : cases) {
    std::string got;
    // A thread of its own each time: naming the main thread would rename the process.
    std::thread t([&] {
      rtc::SetCurrentThreadName(c.name);
      got = CurrentName();
    });
    t.join();
    EXPECT_EQ(c.want, got) << "name: " << c.name;
  }
}

TEST(PlatformThreadTypesTest, NullNameLeavesTheNameAlone) {
  std::string got;
  std::thread t([&] {
    rtc::SetCurrentThreadName("before");
    rtc::SetCurrentThreadName(nullptr);
    got = CurrentName();
  });
  t.join();
  EXPECT_EQ("before", got);
}

}  // namespace
