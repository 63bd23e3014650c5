#include "tests/support/run_on.h"

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

}  // namespace

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
