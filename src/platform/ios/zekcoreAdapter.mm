#include "src/platform/ios/zekcoreAdapter.h"

#include <mutex>
#include <utility>

#include "rtc_base/objc_hooks.h"
#include "src/platform/ios/zek_weak_ref.h"

namespace {
// Strong; set once under the once flag and never released.
ZEKCoreAdapter* _sharedZEKCore = nil;
}  // namespace

@implementation ZEKCoreAdapter

+ (instancetype)sharedZEKCore {
  static std::once_flag once;
  std::call_once(once, [self] {
    if (_sharedZEKCore == nil) {
      _sharedZEKCore = [[self alloc] init];
    }
  });
  return _sharedZEKCore;
}

- (id<ZEKCoreDelegate>)delegate {
  return [ZekLoadWeakRetained(&_delegate) autorelease];
}

- (void)setDelegate:(id<ZEKCoreDelegate>)delegate {
  ZekStoreWeak(&_delegate, delegate);
}

- (void)Initialize {
  // The core keeps the first bridge it is given; the earlier ones stay with the newest,
  // since this adapter cannot tell which one the core took.
  observe = new ZEKObserver(self, std::unique_ptr<ZEKObserver>(observe));
  ::Initialize(observe);
}

- (void)ConnectImServerWithParam:(NSString*)param {
  ::ConnectImServer([param UTF8String]);
}

- (void)DisConnectImServer {
  ::DisConnectImServer();
}

- (void)SendUserMessage:(NSString*)message length:(int)length type:(int)type {
  ::SendUserMessage([message UTF8String], length, type);
}

- (void)dealloc {
  // Inside a delegate call this lets go of the bridge at once and leaves the rest of the
  // shut-down to after the call.
  ::UnInitialize();
  // No bridge of this adapter can be called any more. One may be inside the very call
  // that released the adapter: it touches nothing of its own once the delegate returns.
  delete observe;
  ZekStoreWeak(&_delegate, nil);
  [super dealloc];
}

@end

ZEKObserver::ZEKObserver(ZEKCoreAdapter* adapter, std::unique_ptr<ZEKObserver> earlier)
    : adapter_(nil), earlier_(std::move(earlier)) {
  ZekStoreWeak(&adapter_, adapter);
}

ZEKObserver::~ZEKObserver() {
  ZekStoreWeak(&adapter_, nil);
}

id<ZEKCoreDelegate> ZEKObserver::DelegateRetained() {
  id<ZEKCoreDelegate> delegate = nil;
  // The adapter is not retained: were this the last reference, its -dealloc, which
  // shuts the core down, would run on the worker thread inside this very call.
  ZekWithWeak(&adapter_, [&delegate](id adapter) {
    delegate = [[static_cast<ZEKCoreAdapter*>(adapter) delegate] retain];
  });
  return delegate;
}

// Neither call touches the bridge after the delegate's method: the delegate may have
// released the adapter, which deletes the bridge.
void ZEKObserver::OnZEkCoreEvent(tavix::im::ZEkEventCode code, int errorCode, const char* context) {
  // -delegate lends the delegate to the calling thread's pool: this pool takes that
  // back, and whatever the delegate autoreleases, when the call ends, whatever pool
  // the core happens to call from.
  rtc::ScopedAutoreleasePool pool;
  id<ZEKCoreDelegate> delegate = DelegateRetained();
  [delegate OnZEkCoreEventWithCode:code errorCode:errorCode context:context];
  [delegate release];
}

void ZEKObserver::OnZEkCoreMessage(const char* data, int length) {
  // As for an event.
  rtc::ScopedAutoreleasePool pool;
  id<ZEKCoreDelegate> delegate = DelegateRetained();
  [delegate OnZEkCoreMessageWithMessage:data msgLength:length];
  [delegate release];
}
