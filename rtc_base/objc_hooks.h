#ifndef RTC_BASE_OBJC_HOOKS_H_
#define RTC_BASE_OBJC_HOOKS_H_

// What the threads need from Foundation where it exists; empty operations elsewhere.

namespace rtc {

// Opens an autorelease pool on the calling thread and returns its token. Pools nest:
// each is closed, in reverse order, on the thread that opened it.
void* AutoreleasePoolPush();
// Closes the pool, releasing what was autoreleased inside it.
void AutoreleasePoolPop(void* pool);

// An autorelease pool for a scope: what is autoreleased inside it is released when the
// scope ends, not when some outer pool happens to drain.
class ScopedAutoreleasePool {
 public:
  ScopedAutoreleasePool() : pool_(AutoreleasePoolPush()) {}
  ~ScopedAutoreleasePool() { AutoreleasePoolPop(pool_); }
  ScopedAutoreleasePool(const ScopedAutoreleasePool&) = delete;
  ScopedAutoreleasePool& operator=(const ScopedAutoreleasePool&) = delete;

 private:
  void* const pool_;
};

// Puts Foundation into multithreaded mode, once per process, unless it already is:
// detaches a thread that does nothing. Any thread; later calls do nothing.
void InitCocoaMultiThreading();

}  // namespace rtc

#endif  // RTC_BASE_OBJC_HOOKS_H_
