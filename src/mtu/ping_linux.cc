#include <netinet/in.h>
#include <sys/socket.h>

#include "src/mtu/ping.h"

namespace tavix {

bool Ping::SetDontFragment(int sock) {
  // Also turns the kernel's path-MTU discovery on: a send larger than the MTU it has
  // learned for the route fails at once with EMSGSIZE.
  const int mode = IP_PMTUDISC_DO;
  return setsockopt(sock, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof(mode)) == 0;
}

}  // namespace tavix
