#include "tests/support/recording_observer.h"

#include <string.h>

#include <utility>

#include "tests/support/wait.h"

namespace zek_test {

std::ostream& operator<<(std::ostream& os, const CoreEvent& e) {
  return os << "{" << static_cast<int>(e.code) << ", " << e.error_code << ", \"" << e.text << "\"}";
}

void RecordingObserver::OnZEkCoreEvent(tavix::im::ZEkEventCode code,
                                       int errorCode,
                                       const char* context) {
  const CoreEvent event{code, errorCode, context ? context : "<null>"};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
      calls_after_close_++;
    events_.push_back(event);
  }
  if (hook_)
    hook_(&event, nullptr);
}

void RecordingObserver::OnZEkCoreMessage(const char* data, int length) {
  std::string message;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
      calls_after_close_++;
    if (!data || length < 0 || data[length] != '\0' ||
        memchr(data, 0, static_cast<size_t>(length)) != nullptr) {
      malformed_message_ = true;
      return;
    }
    message.assign(data, static_cast<size_t>(length));
    messages_.push_back(message);
  }
  if (hook_)
    hook_(nullptr, &message);
}

void RecordingObserver::SetHook(Hook hook) {
  hook_ = std::move(hook);
}

std::vector<CoreEvent> RecordingObserver::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingObserver::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

size_t RecordingObserver::event_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

size_t RecordingObserver::message_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_.size();
}

bool RecordingObserver::WaitForEvents(size_t count, std::chrono::milliseconds limit) const {
  return WaitUntil([&] { return event_count() >= count; }, limit);
}

bool RecordingObserver::WaitForMessages(size_t count, std::chrono::milliseconds limit) const {
  return WaitUntil([&] { return message_count() >= count; }, limit);
}

void RecordingObserver::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

int RecordingObserver::calls_after_close() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_after_close_;
}

bool RecordingObserver::messages_zero_terminated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !malformed_message_;
}

Json::Value ImParamObject(uint16_t kcp_port, uint16_t ws_port, uint16_t wss_port) {
  Json::Value root(Json::objectValue);
  root["server_ip"] = "127.0.0.1";
  root["server_port_kcp"] = kcp_port;
  root["server_port_ws"] = ws_port;
  root["server_port_wss"] = wss_port;
  root["account_id"] = "10001";
  root["app_id"] = "zek-test";
  root["device_type"] = "linux";
  root["token"] = "token-1";
  root["deviceid"] = "device-1";
  return root;
}

std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

}  // namespace zek_test
