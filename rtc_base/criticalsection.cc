#include "rtc_base/criticalsection.h"

#include <sched.h>

#include "rtc_base/atomicops.h"

namespace rtc {

namespace {

// Attempts before a contending thread sleeps. Sections guard short stretches, so a
// waiter usually gets in while spinning and never touches the semaphore.
constexpr int kSpinCount = 3000;

}  // namespace

CriticalSection::CriticalSection() : lock_count_(0), depth_(0), owner_(PlatformThreadRef()) {}

CriticalSection::~CriticalSection() = default;

void CriticalSection::Enter() const {
  const PlatformThreadRef self = CurrentThreadRef();
  bool acquired = false;
  for (int attempt = 0; attempt < kSpinCount && !acquired; ++attempt) {
    if (IsThreadRefEqual(owner_.load(std::memory_order_relaxed), self)) {
      AtomicOps::Increment(&lock_count_);
      acquired = true;
    } else if (AtomicOps::AcquireLoad(&lock_count_) == 0 &&
               AtomicOps::CompareAndSwap(&lock_count_, 0, 1) == 0) {
      acquired = true;
    } else {
      sched_yield();
    }
  }
  // Counted as a claim: when the section was released meanwhile (the count comes out
  // at 1) it is taken; otherwise the owner's last Leave signals exactly one sleeper,
  // which then owns it without competing again.
  if (!acquired && AtomicOps::Increment(&lock_count_) > 1)
    semaphore_.Wait();
  owner_.store(self, std::memory_order_relaxed);
  ++depth_;
}

void CriticalSection::Leave() const {
  // Read before the count drops: after that another thread may own the section.
  const bool released = --depth_ == 0;
  if (released)
    owner_.store(PlatformThreadRef(), std::memory_order_relaxed);
  if (AtomicOps::Decrement(&lock_count_) > 0 && released)
    semaphore_.Signal();
}

CritScope::CritScope(const CriticalSection* section) : section_(section) {
  section_->Enter();
}

CritScope::~CritScope() {
  section_->Leave();
}

}  // namespace rtc
