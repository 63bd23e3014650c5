#include "rtc_base/asyncresolverinterface.h"

#include <sys/socket.h>

namespace rtc {

AsyncResolverInterface::AsyncResolverInterface() {}

AsyncResolverInterface::~AsyncResolverInterface() = default;

SocketAddress AsyncResolverInterface::address() const {
  SocketAddress address;
  GetResolvedAddress(AF_INET, &address);
  return address;
}

}  // namespace rtc
