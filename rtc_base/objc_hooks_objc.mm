#include "rtc_base/objc_hooks.h"

#import <Foundation/Foundation.h>

#include <unistd.h>

#include <mutex>

#include "rtc_base/platform_thread_types.h"

namespace rtc {

namespace {

// GCC's Objective-C runtime has neither @autoreleasepool nor the runtime's pool push
// and pop, so the pools are Foundation's own objects. Every message and every socket
// event of a thread pays a push and a pop, and this runtime looks a class named in a
// message up by its name, and a method up in its tables, on every send: the class and
// the three methods are looked up once.
struct PoolMethods {
  PoolMethods()
      : pool_class([NSAutoreleasePool class]),
        alloc(reinterpret_cast<id (*)(id, SEL)>([pool_class methodForSelector:@selector(alloc)])),
        init(reinterpret_cast<id (*)(id, SEL)>(
            [pool_class instanceMethodForSelector:@selector(init)])),
        drain(reinterpret_cast<void (*)(id, SEL)>(reinterpret_cast<void (*)()>(
            [pool_class instanceMethodForSelector:@selector(drain)]))) {}

  Class const pool_class;
  id (*const alloc)(id, SEL);
  id (*const init)(id, SEL);
  void (*const drain)(id, SEL);
};

const PoolMethods& Methods() {
  static const PoolMethods methods;
  return methods;
}

}  // namespace

void* AutoreleasePoolPush() {
  const PoolMethods& m = Methods();
  return m.init(m.alloc(m.pool_class, @selector(alloc)), @selector(init));
}

void AutoreleasePoolPop(void* pool) {
  Methods().drain(static_cast<id>(pool), @selector(drain));
}

void InitCocoaMultiThreading() {
  static std::once_flag once;
  std::call_once(once, [] {
    // GNUstep takes the thread that first touches NSThread for the main thread, and
    // a detached thread that ends after that thread has gone ends the process.
    // Off the process's main thread the switch is left to Foundation, which goes
    // multithreaded by itself as soon as a thread it did not start uses it.
    if (CurrentThreadId() != getpid()) {
      return;
    }
    if ([NSThread isMultiThreaded]) {
      return;
    }
    // The new thread sends +class to NSObject and ends; its start alone switches
    // Foundation into multithreaded mode.
    [NSThread detachNewThreadSelector:@selector(class) toTarget:[NSObject class] withObject:nil];
  });
}

}  // namespace rtc
