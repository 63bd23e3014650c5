#ifndef RTC_BASE_NETHELPERS_H_
#define RTC_BASE_NETHELPERS_H_

#include <string>
#include <vector>

#include "rtc_base/asyncresolverinterface.h"
#include "rtc_base/ipaddress.h"
#include "rtc_base/signalthread.h"
#include "rtc_base/socketaddress.h"

namespace rtc {

// Resolves one host name with getaddrinfo on a signal thread. Created, started, read
// and destroyed on one thread, which must have a Thread running its loop to get
// SignalResolved.
class AsyncResolver : public SignalThread, public AsyncResolverInterface {
 public:
  AsyncResolver();

  // Ignored, address included, while a look-up runs.
  void Start(const SocketAddress& address) override;
  bool GetResolvedAddress(int family, SocketAddress* out) const override;
  int GetError() const override;
  void Destroy(bool wait) override;

  // Every address found, in getaddrinfo's order.
  const std::vector<IPAddress>& addresses() const { return resolved_ips_; }

 protected:
  ~AsyncResolver() override;

  void OnWorkStart() override;
  void DoWork() override;
  void OnWorkDone() override;

 private:
  // The fields below belong to the owner's thread; the worker reads address_ only
  // while it runs, which Start orders before it.
  SocketAddress address_;
  std::vector<IPAddress> resolved_ips_;
  int error_;
  // What Start was given, taken into address_ only when a look-up really starts.
  SocketAddress requested_;

  // The worker's results, written by DoWork and read on the owner's thread only after
  // the completion message, which the worker posts after DoWork.
  std::vector<IPAddress> work_ips_;
  int work_error_;
};

// The blocking look-up: the addresses of `hostname` of `family` (0: every family) on
// interfaces configured on this host, in getaddrinfo's order. 0, or the getaddrinfo
// error code (addresses then empty); -1 when `addresses` is null.
int ResolveHostname(const std::string& hostname, int family, std::vector<IPAddress>* addresses);

}  // namespace rtc

#endif  // RTC_BASE_NETHELPERS_H_
