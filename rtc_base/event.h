#ifndef RTC_BASE_EVENT_H_
#define RTC_BASE_EVENT_H_

#include <pthread.h>

namespace rtc {

// A manual- or auto-reset event. Set may be called from any thread and wakes every
// waiter; an auto-reset event lets exactly one of them through per Set and is clear
// again afterwards, a manual-reset one stays set for good (there is no reset).
class Event {
 public:
  // The time of a Wait without limit.
  static constexpr int kForever = -1;

  Event(bool manual_reset, bool initially_signaled);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  void Set();
  // Waits until the event is set or `milliseconds` have passed on the monotonic clock
  // (kForever: no limit). True when the event was set; an already set event returns
  // true at once. 0, or any other negative time, reports the current state without
  // waiting. A successful wait clears an auto-reset event.
  bool Wait(int milliseconds);

 private:
  pthread_mutex_t event_mutex_;
  pthread_cond_t event_cond_;
  const bool manual_reset_;
  bool is_set_;  // Guarded by event_mutex_.
};

}  // namespace rtc

#endif  // RTC_BASE_EVENT_H_
