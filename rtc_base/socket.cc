#include "rtc_base/socket.h"

#include <errno.h>

namespace rtc {

bool IsBlockingError(int error) {
  // EAGAIN and EWOULDBLOCK are one value on Linux but not everywhere.
  return error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS;
}

}  // namespace rtc
