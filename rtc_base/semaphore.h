#ifndef RTC_BASE_SEMAPHORE_H_
#define RTC_BASE_SEMAPHORE_H_

#include <condition_variable>
#include <mutex>

namespace rtc {

// A counting semaphore: Signal adds one and wakes one waiter, Wait takes one and
// blocks, without a time limit, while there is none. A signal given before anyone
// waits is kept for the next Wait.
class Semaphore {
 public:
  explicit Semaphore(int initial_count = 0);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  ~Semaphore();

  void Signal();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  int count_;  // Guarded by mutex_.
};

}  // namespace rtc

#endif  // RTC_BASE_SEMAPHORE_H_
