#include "rtc_base/ssladapter.h"

#include "rtc_base/openssladapter.h"

namespace rtc {

SSLAdapter* SSLAdapter::Create(AsyncSocket* socket) {
  return new OpenSSLAdapter(socket, nullptr, nullptr);
}

}  // namespace rtc
