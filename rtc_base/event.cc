#include "rtc_base/event.h"

#include <pthread.h>
#include <time.h>

#include "rtc_base/checks.h"

namespace rtc {

namespace {

constexpr long kNanosPerSecond = 1000000000L;
constexpr long kNanosPerMilli = 1000000L;

// The absolute time `milliseconds` from now on the clock the condition variable waits
// on. The nanosecond part stays below one second, or the wait would be refused;
// `milliseconds` is not negative, so both nanosecond parts are below one second and
// a single carry is enough.
timespec DeadlineAfter(int milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += (milliseconds % 1000) * kNanosPerMilli;
  if (deadline.tv_nsec >= kNanosPerSecond) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= kNanosPerSecond;
  }
  return deadline;
}

}  // namespace

void Event::Set() {
  pthread_mutex_lock(&event_mutex_);
  is_set_ = true;
  pthread_cond_broadcast(&event_cond_);
  pthread_mutex_unlock(&event_mutex_);
}

bool Event::Wait(int milliseconds) {
  // A time below zero other than kForever is a deadline already passed.
  if (milliseconds < 0 && milliseconds != kForever)
    milliseconds = 0;
  timespec deadline = {};
  if (milliseconds != kForever)
    deadline = DeadlineAfter(milliseconds);

  pthread_mutex_lock(&event_mutex_);
  int result = 0;
  // Set wakes every waiter: those that find an auto-reset event already taken wait on.
  while (!is_set_ && result == 0) {
    if (milliseconds == kForever)
      result = pthread_cond_wait(&event_cond_, &event_mutex_);
    else
      result = pthread_cond_timedwait(&event_cond_, &event_mutex_, &deadline);
  }
  // A failed wait (not a time-out) ends like a time-out: the event was not seen set.
  if (result == 0 && !manual_reset_)
    is_set_ = false;
  pthread_mutex_unlock(&event_mutex_);
  return result == 0;
}

Event::~Event() {
  pthread_mutex_destroy(&event_mutex_);
  pthread_cond_destroy(&event_cond_);
}

// The constructor's checks are known by their lines, 74, 76 and 80 of this file: the
// fatal block names them that way in every build, so they stay where they are. A
// failure leaves an event that can be neither waited on nor set.
Event::Event(bool manual_reset, bool initially_signaled)
    : manual_reset_(manual_reset), is_set_(initially_signaled) {
  RTC_CHECK(pthread_mutex_init(&event_mutex_, nullptr) == 0);
  pthread_condattr_t cond_attr;
  RTC_CHECK(pthread_condattr_init(&cond_attr) == 0);
  // Deadlines are taken on the monotonic clock, so that a change of the wall clock
  // neither shortens nor stretches a timed wait.
  RTC_CHECK(pthread_condattr_setclock(&cond_attr, CLOCK_MONOTONIC) == 0);
  RTC_CHECK(pthread_cond_init(&event_cond_, &cond_attr) == 0);
  pthread_condattr_destroy(&cond_attr);
}

}  // namespace rtc
