#include "src/platform/ios/zek_weak_ref.h"

#include <objc/runtime.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "rtc_base/checks.h"

namespace {

constexpr char kTrackingPrefix[] = "ZekWeakTracked_";

struct WeakTable {
  // Recursive: the weak functions are called inside ZekWithWeak's body, and a class's
  // own -release, which runs under the lock, may release other weakly held objects.
  std::recursive_mutex mutex;
  // Every object with at least one weak location, and those locations. Guarded by mutex,
  // as are the locations themselves.
  std::unordered_map<id, std::vector<id*>> locations;
  // Original class -> its tracking subclass. Guarded by mutex.
  std::unordered_map<Class, Class> subclasses;
};

// Never destroyed: objects are still released while the process exits.
WeakTable& Table() {
  static WeakTable* const table = new WeakTable;
  return *table;
}

// A -release of a tracked object under way on this thread. The class's own -release
// runs under the lock so that the count reaching zero and the clearing are one step; the
// -dealloc it then sends is put off until the lock is released, so no dealloc body (an
// adapter's shuts the core down and waits for its worker thread) ever runs under it.
struct ReleaseFrame {
  id object;
  bool dealloc_due;
  ReleaseFrame* outer;
};
thread_local ReleaseFrame* t_release_frame = nullptr;

bool IsTrackingClass(Class cls) {
  return std::strncmp(class_getName(cls), kTrackingPrefix, sizeof(kTrackingPrefix) - 1) == 0;
}

// The class the object had before it was tracked.
Class OriginalClass(id object) {
  Class cls = object_getClass(object);
  while (cls != Nil && !IsTrackingClass(cls)) {
    cls = class_getSuperclass(cls);
  }
  RTC_CHECK(cls != Nil);
  return class_getSuperclass(cls);
}

void SendToOriginalClass(id object, SEL selector) {
  IMP imp = class_getMethodImplementation(OriginalClass(object), selector);
  reinterpret_cast<void (*)(id, SEL)>(reinterpret_cast<void (*)()>(imp))(object, selector);
}

void ClearLocked(WeakTable& table, id object) {
  auto it = table.locations.find(object);
  if (it == table.locations.end()) {
    return;
  }
  for (id* location : it->second) {
    *location = nil;
  }
  table.locations.erase(it);
}

void TrackedRelease(id self, SEL selector) {
  WeakTable& table = Table();
  ReleaseFrame frame{self, false, t_release_frame};
  {
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    t_release_frame = &frame;
    SendToOriginalClass(self, selector);
    t_release_frame = frame.outer;
  }
  if (frame.dealloc_due) {
    SendToOriginalClass(self, @selector(dealloc));
  }
}

void TrackedDealloc(id self, SEL selector) {
  WeakTable& table = Table();
  {
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    ClearLocked(table, self);
    for (ReleaseFrame* frame = t_release_frame; frame != nullptr; frame = frame->outer) {
      if (frame->object == self) {
        frame->dealloc_due = true;
        return;
      }
    }
  }
  // A dealloc sent outside a release of ours (from another thread, or directly).
  SendToOriginalClass(self, selector);
}

Class TrackedClass(id self, SEL) {
  return OriginalClass(self);
}

// Keeps the original class's +initialize from running a second time for the subclass.
void TrackedInitialize(Class, SEL) {}

template <typename Function>
IMP AsImp(Function* function) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(function));
}

void AddMethod(Class cls, Method model, IMP imp) {
  RTC_CHECK(class_addMethod(cls, method_getName(model), imp, method_getTypeEncoding(model)));
}

Class TrackingSubclassLocked(WeakTable& table, Class cls) {
  auto it = table.subclasses.find(cls);
  if (it != table.subclasses.end()) {
    return it->second;
  }
  const std::string name = std::string(kTrackingPrefix) + class_getName(cls);
  Class subclass = objc_allocateClassPair(cls, name.c_str(), 0);
  RTC_CHECK(subclass != Nil) << "cannot make the class " << name;
  Class root = [NSObject class];
  AddMethod(subclass, class_getInstanceMethod(root, @selector(release)), AsImp(&TrackedRelease));
  AddMethod(subclass, class_getInstanceMethod(root, @selector(dealloc)), AsImp(&TrackedDealloc));
  AddMethod(subclass, class_getInstanceMethod(root, @selector(class)), AsImp(&TrackedClass));
  AddMethod(object_getClass(reinterpret_cast<id>(subclass)),
            class_getClassMethod(root, @selector(initialize)), AsImp(&TrackedInitialize));
  objc_registerClassPair(subclass);
  table.subclasses.emplace(cls, subclass);
  return subclass;
}

bool IsTrackedLocked(id object) {
  for (Class cls = object_getClass(object); cls != Nil; cls = class_getSuperclass(cls)) {
    if (IsTrackingClass(cls)) {
      return true;
    }
  }
  return false;
}

}  // namespace

void ZekStoreWeak(id* location, id object) {
  WeakTable& table = Table();
  std::lock_guard<std::recursive_mutex> lock(table.mutex);
  id old = *location;
  if (old == object) {
    return;
  }
  auto it = table.locations.find(old);
  if (it != table.locations.end()) {
    std::vector<id*>& locations = it->second;
    locations.erase(std::remove(locations.begin(), locations.end(), location), locations.end());
    if (locations.empty()) {
      // The object stays on its tracking subclass; its releases just find nothing to clear.
      table.locations.erase(it);
    }
  }
  *location = object;
  if (object == nil || class_isMetaClass(object_getClass(object))) {
    return;
  }
  if (!IsTrackedLocked(object)) {
    object_setClass(object, TrackingSubclassLocked(table, object_getClass(object)));
  }
  table.locations[object].push_back(location);
}

id ZekLoadWeakRetained(id* location) {
  std::lock_guard<std::recursive_mutex> lock(Table().mutex);
  return [*location retain];
}

void ZekWithWeak(id* location, void (*body)(void* context, id object), void* context) {
  std::lock_guard<std::recursive_mutex> lock(Table().mutex);
  body(context, *location);
}
