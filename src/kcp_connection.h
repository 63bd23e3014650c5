#ifndef SRC_KCP_CONNECTION_H_
#define SRC_KCP_CONNECTION_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>

#include "rtc_base/socketaddress.h"
#include "src/connection.h"
#include "src/libzekcore.h"

namespace rtc {
class AsyncPacketSocket;
class AsyncUDPSocket;
struct Message;
struct PacketTime;
}  // namespace rtc

namespace tavix {
namespace im {

class ZekKcpClient;

// The fixed head of the login datagram.
struct ImLoginHeader {
  uint16_t head_tag_ = 0;
  uint8_t head_b1_ = 0;
  uint8_t head_b2_ = 0;
  uint32_t head_word_ = 0;
};

// Fills the head with 0x63A9, 2, 1 and 0.
void BuildImLoginHeader(ImLoginHeader& header);

// The reliable-UDP transport. One UDP socket carries a login datagram to the server and
// the server's login reply back; from then on a KCP conversation runs on the same
// socket: user messages and keep-alives go into the engine, the engine's datagrams go
// to the server, and complete messages from the engine are read as application texts
// or as the server's close.
//
// Everything runs on the worker thread the connection was created on, except SendData,
// which app threads may call at any time (the manager calls it under its connection
// lock): it only queues into the KCP client's locked send queue and, for the first
// message of a burst, posts one wake-up to the worker.
//
// The engine runs when there is work for it: a datagram from the server is fed to it and
// answered at once, a queued message goes out at once, and a poll (id 4) is pending only
// while something is queued or in flight, at the time the engine needs it and at most
// 10 ms ahead. An idle conversation wakes the worker only for its keep-alive.
class KcpConnection : public Connection {
 public:
  // The message types inside the KCP conversation (each message's first byte).
  enum KcpMsgType : uint8_t {
    kKcpMsgText = 2,       // [u8 2][string text], both ways
    kKcpMsgNoPayload = 3,  // [u8 3], to the server
    kKcpMsgClose = 4,      // [u8 4][u32 code][string reason], from the server
    kKcpMsgKeepAlive = 5,  // [u8 5], to the server
  };

  // The longest text one KCP message carries: the packet writer's 1500 bytes less the
  // type byte, the text's length field and its terminating zero.
  static constexpr int kMaxTextSize = 1496;
  // The longest wait for the engine while anything is queued or in flight. With nothing
  // in flight the engine is not polled at all: datagrams, the app's messages and the
  // keep-alive tick run it.
  static constexpr int kPollIntervalMs = 10;
  // A message posted to the worker by the first message an app thread queues while the
  // queue is empty: the worker drains the queue and sends at once.
  static constexpr uint32_t kSendQueuedId = 5;
  static constexpr int kKeepAliveIntervalMs = 5000;
  // Longer than this without a datagram from the server, a keep-alive tick reports
  // the connection lost.
  static constexpr uint32_t kServerSilenceLimitMs = 10000;

  KcpConnection();
  ~KcpConnection() override;

  // Sends the login datagram to `server_ip_` (an IPv4 literal; host names are not
  // resolved) and arms the connect time-out. False, with nothing sent, when the address
  // is no IPv4 literal, the login does not fit into one datagram, or the socket cannot
  // be made or bound. A second call starts over with a new socket.
  bool ConnectServer(unsigned int timeout_ms, unsigned int max_packet_size) override;
  // Any thread. 0 when the message was queued (the worker sends it at once); -1 when not
  // logged in, for a type that carries nothing (neither kMsgText nor kMsgNoPayload), or
  // when the text (up to its first zero byte) is longer than kMaxTextSize.
  int SendData(const char* data, int length, ZEkMsgType type) override;
  // Stops everything; safe to run more than once. What the app handed over before still
  // leaves, best effort: one flush before the socket closes, no wait for acknowledgements.
  void DisConnectServer() override;
  void OnMessage(rtc::Message* msg) override;

  void OnReadPacket(rtc::AsyncPacketSocket* socket,
                    const char* data,
                    size_t len,
                    const rtc::SocketAddress& remote,
                    const rtc::PacketTime& packet_time);
  void OnReadyToSend(rtc::AsyncPacketSocket* socket);

  // Runs the client's update, then posts the next poll as the engine needs it (none when
  // nothing is in flight). Does nothing once the conversation is no longer polled (the
  // server's close, a silent server, a disconnect).
  void PostPollKcpTask();
  // Queues one keep-alive, posts the next tick and runs the engine to send it.
  void PostKeepAlive();

  // Slots of the KCP client.
  void KcpOutPutDataToNet(const char* data, int len);
  void KcpOutPutDataToUser(const char* data, int len);

 private:
  // Reads a datagram that arrived while not logged in as a login reply.
  void OnLoginReply(const char* data, int len);
  void StartSession(unsigned int conv, unsigned short tag, const std::string& text);
  // A datagram from the server that carries a segment of the conversation of the
  // current client (its tag and conv).
  bool IsOwnSegment(const char* data, size_t len) const;
  void OnKeepAliveTick();
  // Ends the polls of the conversation; the client stays for what follows a close.
  void StopPolling();

  std::unique_ptr<rtc::AsyncUDPSocket> udp_socket_;  // worker thread
  unsigned int conv_ = 0;                            // worker thread; recorded only
  unsigned int max_packet_size_ = 560;               // worker thread; recorded only
  // Replaced and released on the worker thread with client_mutex_ held; SendData
  // reads it on app threads with client_mutex_ held. The worker reads it freely.
  std::unique_ptr<ZekKcpClient> kcp_client_;
  std::mutex client_mutex_;
  // `server_ip_` and `server_port_kcp_` as an address, set by ConnectServer; worker.
  rtc::SocketAddress server_address_;
  // Between ConnectServer and the first outcome of the attempt (a reply or the
  // time-out), so that a malformed reply is reported only once; worker thread.
  bool awaiting_login_reply_ = false;
  // From login until the server's close, its silence or the disconnect: the engine is
  // run for traffic and on its own timers; worker thread.
  bool polling_ = false;
  // rtc::TimeMillis() at which the pending poll falls due, -1 when none is pending;
  // worker thread.
  int64_t poll_due_ms_ = -1;
};

}  // namespace im
}  // namespace tavix

#endif  // SRC_KCP_CONNECTION_H_
