#ifndef RTC_BASE_ASYNCRESOLVERINTERFACE_H_
#define RTC_BASE_ASYNCRESOLVERINTERFACE_H_

#include "rtc_base/sigslot.h"
#include "rtc_base/socketaddress.h"

namespace rtc {

// A host-name look-up that runs off the caller's thread and reports back to it.
class AsyncResolverInterface {
 public:
  AsyncResolverInterface();
  AsyncResolverInterface(const AsyncResolverInterface&) = delete;
  AsyncResolverInterface& operator=(const AsyncResolverInterface&) = delete;
  virtual ~AsyncResolverInterface();

  // Starts looking up the host name of `address`; its port is kept for the result.
  virtual void Start(const SocketAddress& address) = 0;
  // The address given to Start with the first resolved IP of `family`. False when
  // the look-up failed, has not finished or found nothing (`out` untouched), or found
  // no address of that family (`out` then holds the unresolved address).
  virtual bool GetResolvedAddress(int family, SocketAddress* out) const = 0;
  // -1 until the look-up has finished, then 0 or the resolver's own error code.
  virtual int GetError() const = 0;
  // Releases the resolver; `wait` waits for a look-up under way. The resolver must
  // not be touched afterwards.
  virtual void Destroy(bool wait) = 0;

  // The resolved IPv4 address, or the unresolved address when there is none.
  SocketAddress address() const;

  // Emitted on the caller's thread when the look-up has finished, failed or not.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, AsyncResolverInterface*>
      SignalResolved;
};

}  // namespace rtc

#endif  // RTC_BASE_ASYNCRESOLVERINTERFACE_H_
