#ifndef RTC_BASE_ATOMICOPS_H_
#define RTC_BASE_ATOMICOPS_H_

namespace rtc {

// Atomic operations on plain 32-bit ints that several threads share. Increment,
// Decrement and CompareAndSwap are sequentially consistent; AcquireLoad and
// ReleaseStore carry a flag and what was written before it from one thread to another.
class AtomicOps {
 public:
  // Returns the new value.
  static int Increment(volatile int* i) { return __atomic_add_fetch(i, 1, __ATOMIC_SEQ_CST); }
  // Returns the new value.
  static int Decrement(volatile int* i) { return __atomic_sub_fetch(i, 1, __ATOMIC_SEQ_CST); }
  static int AcquireLoad(const volatile int* i) { return __atomic_load_n(i, __ATOMIC_ACQUIRE); }
  static void ReleaseStore(volatile int* i, int value) {
    __atomic_store_n(i, value, __ATOMIC_RELEASE);
  }
  // Stores new_value only if *i is old_value. Returns what *i held before, which is
  // old_value exactly when the store happened.
  static int CompareAndSwap(volatile int* i, int old_value, int new_value) {
    __atomic_compare_exchange_n(i, &old_value, new_value, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return old_value;
  }
};

}  // namespace rtc

#endif  // RTC_BASE_ATOMICOPS_H_
