#include "tests/support/test_dispatcher.h"

#include <sys/socket.h>

namespace zek_test {

TestDispatcher::TestDispatcher(rtc::PhysicalSocketServer* server, int fd, uint32_t requested)
    : server_(server), fd_(fd), requested_(requested) {
  server_->Add(this);
}

TestDispatcher::~TestDispatcher() {
  server_->Remove(this);
}

std::vector<TestDispatcher::Record> TestDispatcher::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

size_t TestDispatcher::event_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

void TestDispatcher::OnPreEvent(uint32_t events) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_pre_ |= events;
}

void TestDispatcher::OnEvent(uint32_t events, int error) {
  if (events & rtc::kIoClose) {
    requested_ = 0;
  } else {
    requested_ &= ~events;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(Record{pending_pre_, events, error});
    pending_pre_ = 0;
  }
  if (on_event) {
    on_event(events, error);
  }
  ++handled_;
}

bool TestDispatcher::IsDescriptorClosed() {
  char byte;
  return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace zek_test
