#include "tests/support/run_on.h"

#include "rtc_base/location.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/thread.h"

namespace zek_test {
namespace {

class FunctorHandler : public rtc::MessageHandler {
 public:
  explicit FunctorHandler(const std::function<void()>& body) : body_(body) {}
  void OnMessage(rtc::Message*) override { body_(); }

 private:
  const std::function<void()>& body_;
};

}  // namespace

void RunOn(rtc::Thread* thread, const std::function<void()>& body) {
  FunctorHandler handler(body);
  thread->Send(RTC_FROM_HERE, &handler);
}

}  // namespace zek_test
