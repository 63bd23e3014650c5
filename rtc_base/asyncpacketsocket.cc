#include "rtc_base/asyncpacketsocket.h"

#include <sys/socket.h>

#include "rtc_base/timeutils.h"

namespace rtc {

PacketTime CreatePacketTime(int64_t not_before) {
  return PacketTime(TimeMicros(), not_before);
}

AsyncPacketSocket::AsyncPacketSocket() = default;
AsyncPacketSocket::~AsyncPacketSocket() = default;

void CopySocketInformationToPacketInfo(size_t packet_size,
                                       const AsyncPacketSocket& socket,
                                       bool /*is_connectionless*/,
                                       PacketInfo* info) {
  info->packet_size_ = packet_size;
  const SocketAddress local = socket.GetLocalAddress();
  if (local.family() != AF_UNSPEC)
    info->ip_overhead_ = net::GetIpOverhead(local.family());
}

}  // namespace rtc

namespace net {

size_t GetIpOverhead(int family) {
  switch (family) {
    case AF_INET:
      return 20;
    case AF_INET6:
      return 40;
    default:
      return 0;
  }
}

}  // namespace net
