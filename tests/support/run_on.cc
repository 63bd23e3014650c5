#include "tests/support/run_on.h"

#include <atomic>

#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "tests/support/wait.h"

namespace zek_test {
namespace {

class Runner : public rtc::MessageHandler {
 public:
  explicit Runner(const std::function<void()>& body) : body_(body) {}
  void OnMessage(rtc::Message* /*message*/) override { body_(); }

 private:
  const std::function<void()>& body_;
};

// Counts the messages it handles.
class Barrier : public rtc::MessageHandler {
 public:
  void OnMessage(rtc::Message* /*message*/) override { handled_++; }
  std::atomic<int> handled_{0};
};

}  // namespace

bool Drain(rtc::Thread* thread) {
  Barrier barrier;
  for (int target = 1; target <= 2; target++) {
    thread->Post(RTC_FROM_HERE, &barrier);
    // Should the thread be stuck, the barrier's destructor takes its messages back.
    if (!WaitUntil([&] { return barrier.handled_.load() >= target; }))
      return false;
  }
  return true;
}

void RunOn(rtc::Thread* thread, const std::function<void()>& body) {
  Runner runner(body);
  thread->Send(RTC_FROM_HERE, &runner);
}

bool WaitOnThread(rtc::Thread* thread,
                  const std::function<bool()>& pred,
                  std::chrono::milliseconds limit) {
  return WaitUntil(
      [&] {
        bool result = false;
        RunOn(thread, [&] { result = pred(); });
        return result;
      },
      limit);
}

}  // namespace zek_test
