#ifndef TESTS_SUPPORT_RECORDING_OBSERVER_H_
#define TESTS_SUPPORT_RECORDING_OBSERVER_H_

#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <json/json.h>

#include "src/libzekcore.h"

namespace zek_test {

struct CoreEvent {
  tavix::im::ZEkEventCode code;
  int error_code;
  std::string text;
  bool operator==(const CoreEvent& o) const {
    return code == o.code && error_code == o.error_code && text == o.text;
  }
};

std::ostream& operator<<(std::ostream& os, const CoreEvent& e);

// The app's side of the core for tests: records every event and message, on whatever
// thread they come, for the test's thread to look at.
class RecordingObserver final : public tavix::im::ZEkCoreObserver {
 public:
  RecordingObserver() = default;
  RecordingObserver(const RecordingObserver&) = delete;
  RecordingObserver& operator=(const RecordingObserver&) = delete;

  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int errorCode, const char* context) override;
  void OnZEkCoreMessage(const char* data, int length) override;

  // Called inside every callback once it is recorded, on the core's thread and with no
  // lock of the recorder held, so that it may call back into the core: with the event,
  // or with null and the message. Set it before the core can call.
  using Hook = std::function<void(const CoreEvent* event, const std::string* message)>;
  void SetHook(Hook hook);

  std::vector<CoreEvent> events() const;
  std::vector<std::string> messages() const;
  size_t event_count() const;
  size_t message_count() const;
  bool WaitForEvents(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  bool WaitForMessages(size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  // From here on every call counts as one that should not have come.
  void Close();
  int calls_after_close() const;
  // Every message so far had a terminating zero at `length` and no zero before it.
  bool messages_zero_terminated() const;

 private:
  // Written before the core calls, read on the core's thread.
  Hook hook_;
  mutable std::mutex mutex_;  // guards everything below (worker and test threads)
  std::vector<CoreEvent> events_;
  std::vector<std::string> messages_;
  bool closed_ = false;
  int calls_after_close_ = 0;
  bool malformed_message_ = false;
};

// Connection parameters for a server on 127.0.0.1 with every required member; the
// tests change members or drop them.
Json::Value ImParamObject(uint16_t kcp_port, uint16_t ws_port = 1, uint16_t wss_port = 1);
std::string JsonText(const Json::Value& value);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_RECORDING_OBSERVER_H_
