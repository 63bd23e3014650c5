#ifndef SRC_PLATFORM_IOS_ZEK_WEAK_REF_H_
#define SRC_PLATFORM_IOS_ZEK_WEAK_REF_H_

// Zeroing weak references for GCC's Objective-C runtime, which has none, under manual
// reference counting.
//
// A weak location is an `id` variable that starts nil and is read and written only
// through these functions, on any thread. It does not keep its object alive and reads
// nil as soon as the object's last release has brought its count to zero: that step and
// the clearing of the object's locations happen under the one lock under which loads
// read them, so no load ever hands out an object whose deallocation has begun.
//
// To see that moment, the first weak store of an object moves it to a subclass of its
// class made at run time (as key-value observing does) that overrides -release,
// -dealloc and -class; -class still answers the original class. The object keeps that
// subclass until it is deallocated. Class objects, which are never deallocated, are
// stored as they are.

#import <Foundation/Foundation.h>

// Stores `object` (nil allowed) in `location`, which holds nil or a value stored here.
// The caller must hold a reference to `object` for the duration of the call.
void ZekStoreWeak(id* location, id object);

// The object in `location`, retained for the caller (who releases it), or nil.
id ZekLoadWeakRetained(id* location);

// Runs `body(context, object)` with the object in `location` (nil once it is gone); the
// object's last release waits until `body` returns, and no reference is taken, so that
// release never moves to the calling thread. `body` must be short, must not release the
// object, and must not wait for another thread that stores, loads or releases a weakly
// referenced object. Weak functions may be called inside it.
void ZekWithWeak(id* location, void (*body)(void* context, id object), void* context);

#ifdef __cplusplus
// The same with a callable.
template <typename Body>
void ZekWithWeak(id* location, const Body& body) {
  ZekWithWeak(
      location, [](void* context, id object) { (*static_cast<const Body*>(context))(object); },
      const_cast<void*>(static_cast<const void*>(&body)));
}
#endif

#endif  // SRC_PLATFORM_IOS_ZEK_WEAK_REF_H_
