#ifndef SRC_PLATFORM_IOS_ZEKCOREADAPTER_H_
#define SRC_PLATFORM_IOS_ZEKCOREADAPTER_H_

// The Objective-C face of the IM core: ZEKCoreAdapter drives the five C functions of
// libzekcore.h and hands the core's events and messages to its delegate.

#import <Foundation/Foundation.h>

// The export mark of libzekcore.h, which Objective-C without C++ does not include.
#ifndef ZEKCORE_EXPORT
#define ZEKCORE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#include <memory>

#include "src/libzekcore.h"
class ZEKObserver;
#else
typedef struct ZEKObserver ZEKObserver;
#endif

// Implemented by the app. Both methods are called on the core's worker thread "zek main
// thread" while the core holds its observer lock, with no hop to the main thread: a
// delegate that touches the user interface dispatches to the main thread itself. Inside
// them the delegate may use the adapter, and may release its last reference: the core
// then shuts down once the call has returned, and nothing more reaches the delegate.
// The bridge does not ask whether the delegate responds: implement both.
@protocol ZEKCoreDelegate <NSObject>
// `code` is a tavix::im::ZEkEventCode; `context` is valid only during the call.
- (void)OnZEkCoreEventWithCode:(int)code errorCode:(int)errorCode context:(const char*)context;
// A received text, zero-terminated, and its length in bytes; valid only during the call.
- (void)OnZEkCoreMessageWithMessage:(const char*)message msgLength:(int)length;
@end

ZEKCORE_EXPORT @interface ZEKCoreAdapter : NSObject {
 @private
  // The bridge made by the latest -Initialize; it owns the earlier ones.
  ZEKObserver* observe;
  // The delegate, held weakly: read and written only through zek_weak_ref.h's functions.
  id _delegate;
}

// The process-wide adapter, made on the first call from any thread; it is never
// deallocated, so it never shuts the core down.
+ (instancetype)sharedZEKCore;

// Not retained; reads nil once the delegate has been deallocated. The getter returns it
// retained and autoreleased, so the caller's thread needs an autorelease pool.
@property(nonatomic, assign) id<ZEKCoreDelegate> delegate;

// Starts the core with a new bridge to this adapter's delegate; blocks for the MTU
// probe. Does nothing to a core that is already running, whose bridge stays in use.
- (void)Initialize;
// `param`: the JSON parameter text; the core reads its UTF-8 form.
- (void)ConnectImServerWithParam:(NSString*)param;
- (void)DisConnectImServer;
// Sends the message's UTF-8 form, `length` bytes of it at most (a text ends at its first
// zero byte), as the tavix::im::ZEkMsgType `type`. The core drops a nil message and a
// negative length.
- (void)SendUserMessage:(NSString*)message length:(int)length type:(int)type;

@end

#ifdef __cplusplus
// Passes the core's observer calls on to the delegate of the adapter that made it.
class ZEKObserver final : public tavix::im::ZEkCoreObserver {
 public:
  // `earlier`: the adapter's previous bridge, kept alive with this one.
  explicit ZEKObserver(ZEKCoreAdapter* adapter, std::unique_ptr<ZEKObserver> earlier = nullptr);
  ~ZEKObserver();
  ZEKObserver(const ZEKObserver&) = delete;
  ZEKObserver& operator=(const ZEKObserver&) = delete;

  void OnZEkCoreEvent(tavix::im::ZEkEventCode code, int errorCode, const char* context) override;
  void OnZEkCoreMessage(const char* data, int length) override;

 private:
  // The adapter's delegate, retained, or nil when the adapter or its delegate is gone.
  id<ZEKCoreDelegate> DelegateRetained();

  // Weak: read on the worker thread, cleared on whichever thread the adapter goes.
  id adapter_;
  std::unique_ptr<ZEKObserver> earlier_;
};
#endif

#endif  // SRC_PLATFORM_IOS_ZEKCOREADAPTER_H_
