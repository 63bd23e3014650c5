#ifndef RTC_BASE_SOCKETFACTORY_H_
#define RTC_BASE_SOCKETFACTORY_H_

#include "rtc_base/asyncsocket.h"
#include "rtc_base/socket.h"

namespace rtc {

// Where sockets come from. What it returns belongs to the caller; null means the
// socket could not be made.
class SocketFactory {
 public:
  virtual ~SocketFactory() {}

  virtual Socket* CreateSocket(int family, int type) = 0;
  virtual AsyncSocket* CreateAsyncSocket(int family, int type) = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_SOCKETFACTORY_H_
