#include "rtc_base/semaphore.h"

namespace rtc {

Semaphore::Semaphore(int initial_count) : count_(initial_count) {}

Semaphore::~Semaphore() = default;

void Semaphore::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  cond_.notify_one();
}

void Semaphore::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

}  // namespace rtc
