#ifndef RTC_BASE_ASYNCPACKETSOCKET_H_
#define RTC_BASE_ASYNCPACKETSOCKET_H_

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <vector>

#include "rtc_base/sigslot.h"
#include "rtc_base/socket.h"
#include "rtc_base/socketaddress.h"

namespace rtc {

// Carried with a packet for senders that rewrite send times; nothing here uses it.
struct PacketTimeUpdateParams {
  int rtp_sendtime_extension_id = -1;
  std::vector<char> srtp_auth_key;
  int srtp_auth_tag_len = -1;
  int64_t srtp_packet_index = -1;
};

// What a send tells about its packet; filled in on send.
struct PacketInfo {
  bool included_in_feedback = false;
  bool included_in_allocation = false;
  int packet_type = 0;
  int protocol = 0;
  std::optional<uint16_t> network_id;
  size_t packet_size_ = 0;
  size_t turn_overhead_bytes = 0;
  size_t ip_overhead_ = 0;
};

// The options of one send; callers build a default one for every packet.
struct PacketOptions {
  int dscp = -1;
  int64_t packet_id_ = -1;  // handed back in the SentPacket of this send
  PacketTimeUpdateParams time_update_params_;
  PacketInfo info_;
};

struct SentPacket {
  SentPacket(int64_t packet_id, int64_t send_time_ms, const PacketInfo& info)
      : packet_id_(packet_id), send_time_ms_(send_time_ms), info_(info) {}

  int64_t packet_id_;
  int64_t send_time_ms_;  // TimeMillis() just before the send
  PacketInfo info_;
};

struct PacketTime {
  PacketTime(int64_t timestamp_us, int64_t not_before)
      : timestamp_us_(timestamp_us), not_before_(not_before) {}

  int64_t timestamp_us_;  // receive time, microseconds of the monotonic clock
  int64_t not_before_;
};

// A receive time of now.
PacketTime CreatePacketTime(int64_t not_before);

// The packet-level socket: whole packets go out through Send and SendTo and arrive
// through SignalPacketReceived with the sender's address and a receive time.
class AsyncPacketSocket : public sigslot::has_slots<sigslot::single_threaded> {
 public:
  enum PacketSocketState {
    PS_CLOSED = 0,
    PS_BINDING = 1,
    PS_BOUND = 2,
    PS_CONNECTING = 3,
    PS_CONNECTED = 4,
  };

  AsyncPacketSocket();
  ~AsyncPacketSocket() override;
  AsyncPacketSocket(const AsyncPacketSocket&) = delete;
  AsyncPacketSocket& operator=(const AsyncPacketSocket&) = delete;

  virtual SocketAddress GetLocalAddress() const = 0;
  virtual SocketAddress GetRemoteAddress() const = 0;
  virtual int Send(const void* data, size_t length, const PacketOptions& options) = 0;
  virtual int SendTo(const void* data,
                     size_t length,
                     const SocketAddress& destination,
                     const PacketOptions& options) = 0;
  virtual int Close() = 0;
  virtual PacketSocketState GetState() const = 0;
  virtual int GetOption(Socket::Option option, int* value) = 0;
  virtual int SetOption(Socket::Option option, int value) = 0;
  virtual int GetError() const = 0;
  virtual void SetError(int error) = 0;

  // The data pointer is valid only during the emission.
  sigslot::signal<AsyncPacketSocket*, const char*, size_t, const SocketAddress&, const PacketTime&>
      SignalPacketReceived;
  sigslot::signal<AsyncPacketSocket*, const SentPacket&> SignalPacketSent;
  sigslot::signal<AsyncPacketSocket*> SignalSendReady;
  sigslot::signal<AsyncPacketSocket*, const SocketAddress&> SignalLocalAddressReady;
  sigslot::signal<AsyncPacketSocket*> SignalStreamConnected;
  sigslot::signal<AsyncPacketSocket*, int> SignalStreamClosed;
  sigslot::signal<AsyncPacketSocket*, AsyncPacketSocket*> SignalIncomingConnection;
};

// Fills the packet size and, when the socket has a local address, the IP header
// overhead of its family.
void CopySocketInformationToPacketInfo(size_t packet_size,
                                       const AsyncPacketSocket& socket,
                                       bool is_connectionless,
                                       PacketInfo* info);

}  // namespace rtc

namespace net {

// IP header bytes of a packet of the family: 20 for IPv4, 40 for IPv6, else 0.
size_t GetIpOverhead(int family);

}  // namespace net

#endif  // RTC_BASE_ASYNCPACKETSOCKET_H_
