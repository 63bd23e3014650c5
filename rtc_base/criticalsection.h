#ifndef RTC_BASE_CRITICALSECTION_H_
#define RTC_BASE_CRITICALSECTION_H_

#include <atomic>

#include "rtc_base/platform_thread_types.h"
#include "rtc_base/semaphore.h"

namespace rtc {

// A recursive lock. A thread that wants it spins briefly, yielding the processor on
// each attempt, and then sleeps on a semaphore; a released section passes to one
// sleeper at a time. The owner may enter again any number of times and leaves as
// often, on the same thread. A section must be free when it is destroyed.
//
// Enter and Leave are const so that const methods of the objects it guards can lock.
class CriticalSection {
 public:
  CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection();

  void Enter() const;
  // Only the owner calls it, once per Enter.
  void Leave() const;

 private:
  // 0 when free; otherwise the owner's entries plus one for every thread that gave up
  // spinning and sleeps (or is about to) on semaphore_. Every thread touches it, only
  // through AtomicOps.
  mutable volatile int lock_count_;
  // The owner's recursion depth; only the owning thread touches it.
  mutable int depth_;
  // Where threads that gave up spinning sleep.
  mutable Semaphore semaphore_;
  // The owning thread while depth_ > 0, none otherwise. Written by the owner, read by
  // every thread that enters, hence atomic; the lock itself orders what it guards.
  mutable std::atomic<PlatformThreadRef> owner_;
};

// Holds a section for its scope.
class CritScope {
 public:
  explicit CritScope(const CriticalSection* section);
  CritScope(const CritScope&) = delete;
  CritScope& operator=(const CritScope&) = delete;
  ~CritScope();

 private:
  const CriticalSection* const section_;
};

}  // namespace rtc

#endif  // RTC_BASE_CRITICALSECTION_H_
