#include "src/kcp_connection.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <climits>
#include <utility>

#include "rtc_base/asyncpacketsocket.h"
#include "rtc_base/asyncsocket.h"
#include "rtc_base/asyncudpsocket.h"
#include "rtc_base/helpers.h"
#include "rtc_base/ipaddress.h"
#include "rtc_base/location.h"
#include "rtc_base/logging.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"
#include "rtc_base/timeutils.h"
#include "src/kcp/zek_ikcp.h"
#include "src/kcp/zek_kcp_client.h"
#include "src/utilities/message.h"

namespace tavix {
namespace im {
namespace {

// A segment begins with its tag (u16) and its conv (u32).
constexpr int kTagConvSize = 6;

}  // namespace

void BuildImLoginHeader(ImLoginHeader& header) {
  header.head_tag_ = 25513;
  header.head_b1_ = 2;
  header.head_b2_ = 1;
  header.head_word_ = 0;
}

KcpConnection::KcpConnection() = default;

KcpConnection::~KcpConnection() {
  DisConnectServer();
}

bool KcpConnection::ConnectServer(unsigned int timeout_ms, unsigned int max_packet_size) {
  if (!thread_)
    return false;
  // The server is reached by its IPv4 address only: this transport resolves no names,
  // and a reply is accepted only from the address the login went to.
  rtc::IPAddress server_ip;
  if (!rtc::IPFromString(server_ip_, &server_ip) || server_ip.family() != AF_INET ||
      rtc::IPIsAny(server_ip)) {
    return false;
  }

  // Written before anything is opened: a login that does not fit whole would reach the
  // server with fields missing, so it is not sent at all.
  ImLoginHeader header;
  BuildImLoginHeader(header);
  mavel::msg_packet_out login;
  login << header.head_tag_ << header.head_b1_ << header.head_b2_ << header.head_word_
        << account_id_ << app_id_ << device_type_ << token_ << rtc::CreateRandomUuid()
        << static_cast<unsigned int>(max_packet_size) << device_id_;
  if (login.Failed())
    return false;

  if (udp_socket_ || kcp_client_)
    DisConnectServer();

  rtc::AsyncSocket* socket = thread_->socketserver()->CreateAsyncSocket(AF_INET, SOCK_DGRAM);
  if (!socket)
    return false;
  // Create releases the socket itself when the bind fails.
  udp_socket_.reset(
      rtc::AsyncUDPSocket::Create(socket, rtc::SocketAddress(local_ip_, local_port_)));
  if (!udp_socket_)
    return false;
  udp_socket_->SignalPacketReceived.connect(this, &KcpConnection::OnReadPacket);
  udp_socket_->SignalSendReady.connect(this, &KcpConnection::OnReadyToSend);

  max_packet_size_ = max_packet_size;
  server_address_ = rtc::SocketAddress(server_ip, server_port_kcp_);
  // Sent once; a lost login ends in the connect time-out.
  udp_socket_->SendTo(login.GetData(), static_cast<size_t>(login.GetSize()), server_address_,
                      rtc::PacketOptions());
  awaiting_login_reply_ = true;
  StartTimeout(kConnectTimeoutId, timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms));
  last_recv_time_ = rtc::Time32();
  return true;
}

void KcpConnection::OnReadPacket(rtc::AsyncPacketSocket* /*socket*/,
                                 const char* data,
                                 size_t len,
                                 const rtc::SocketAddress& remote,
                                 const rtc::PacketTime& /*packet_time*/) {
  // Only the server speaks on this socket; anything else could fake a login reply or
  // keep a dead conversation looking alive.
  if (!remote.EqualIPs(server_address_) || !remote.EqualPorts(server_address_))
    return;
  // A datagram is at most 64 KiB; the cast cannot cut it.
  const int size = static_cast<int>(len);
  // The login reply counts as well: a login long after ConnectServer (after a
  // refusal) must not look silent at its first keep-alive tick.
  last_recv_time_ = rtc::Time32();

  if (connected_) {
    if (kcp_client_) {
      kcp_client_->NetInputDataToKcp(data, size);
      // What it completes goes to the app, and its acknowledgement to the server, now.
      if (polling_)
        PostPollKcpTask();
    }
    return;
  }
  // After the server's close its engine still retransmits until the close is
  // acknowledged: a segment of the ended conversation goes to the engine, and the
  // update flushes the acknowledgement. It is never read as a login reply.
  if (kcp_client_ && IsOwnSegment(data, len)) {
    if (kcp_client_->NetInputDataToKcp(data, size))
      kcp_client_->Update();
    return;
  }
  OnLoginReply(data, size);
}

bool KcpConnection::IsOwnSegment(const char* data, size_t len) const {
  if (len < kKcpHeaderSize)
    return false;
  mavel::msg_packet_in head(data, kTagConvSize);
  unsigned short tag = 0;
  unsigned int conv = 0;
  head >> tag >> conv;
  return tag == kcp_client_->tag() && conv == kcp_client_->conv();
}

void KcpConnection::OnLoginReply(const char* data, int len) {
  mavel::msg_packet_in in(data, len);
  unsigned short tag = 0;
  unsigned int code = 0;
  unsigned int conv = 0;
  std::string text;
  in >> tag >> code >> conv >> text;
  if (in.Failed()) {
    // Reported once per attempt; once the attempt has an outcome there is nobody to
    // tell about more of them.
    if (!awaiting_login_reply_)
      return;
    awaiting_login_reply_ = false;
    CancelTimeout(kConnectTimeoutId);
    SignalStatusChange(this, kConnFailed, kLoginFormatErrorCode, kLoginFormatErrorText);
    return;
  }
  awaiting_login_reply_ = false;
  CancelTimeout(kConnectTimeoutId);
  if (code != 0) {
    SignalStatusChange(this, kConnRefused, code, text);
    return;
  }
  StartSession(conv, tag, text);
}

void KcpConnection::StartSession(unsigned int conv, unsigned short tag, const std::string& text) {
  // A login after a close replaces a conversation whose poll and tick were stopped;
  // make sure no second chain of them starts.
  StopPolling();
  CancelMessageById(kKeepAliveId);

  std::unique_ptr<ZekKcpClient> client(new ZekKcpClient(conv, tag));
  client->SignalDataToNet.connect(this, &KcpConnection::KcpOutPutDataToNet);
  client->SignalDataToUser.connect(this, &KcpConnection::KcpOutPutDataToUser);
  std::unique_ptr<ZekKcpClient> previous;
  {
    std::lock_guard<std::mutex> lock(client_mutex_);
    previous = std::move(kcp_client_);
    kcp_client_ = std::move(client);
    conv_ = conv;
    connected_ = true;
  }
  // The earlier conversation's client goes outside the lock.
  previous.reset();

  SignalStatusChange(this, kConnLoggedIn, 0, text);
  printf("start send keepalive conv = %u\n", conv);
  fflush(stdout);
  polling_ = true;
  // Queues the first keep-alive and runs the engine, which starts the polls.
  PostKeepAlive();
}

void KcpConnection::OnReadyToSend(rtc::AsyncPacketSocket* /*socket*/) {}

int KcpConnection::SendData(const char* data, int length, ZEkMsgType type) {
  mavel::msg_packet_out out;
  if (type == kMsgText) {
    if (length < 0 || (!data && length > 0))
      return -1;
    // The text ends at its first zero byte whatever the length says.
    const void* zero = length > 0 ? memchr(data, 0, static_cast<size_t>(length)) : nullptr;
    const size_t text_len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - data)
                                 : static_cast<size_t>(length);
    if (text_len > static_cast<size_t>(kMaxTextSize)) {
      RTC_LOG(LS_WARNING) << "KCP text of " << text_len << " bytes not sent: at most "
                          << kMaxTextSize << " go in one message";
      return -1;
    }
    out << static_cast<unsigned char>(kKcpMsgText)
        << std::string(text_len > 0 ? data : "", text_len);
  } else if (type == kMsgNoPayload) {
    out << static_cast<unsigned char>(kKcpMsgNoPayload);
  } else {
    // Any other type would be an empty message, which the server can make nothing of.
    RTC_LOG(LS_WARNING) << "KCP message of type " << static_cast<int>(type)
                        << " not sent: only texts (0) and no-payload messages (1) go";
    return -1;
  }
  if (out.Failed())
    return -1;

  std::lock_guard<std::mutex> lock(client_mutex_);
  if (!kcp_client_ || !connected_)
    return -1;
  bool first = false;
  if (!kcp_client_->UserInputDataToKcp(out.GetData(), out.GetSize(), &first))
    return -1;
  // One wake-up per burst: the messages queued behind this one go with it.
  if (first)
    thread_->Post(RTC_FROM_HERE, this, kSendQueuedId);
  return 0;
}

void KcpConnection::DisConnectServer() {
  connected_ = false;
  awaiting_login_reply_ = false;
  polling_ = false;
  poll_due_ms_ = -1;
  if (thread_)
    thread_->Clear(this);
  // Messages accepted before the disconnect were promised to the server: they leave
  // before the socket closes, though nobody waits for their acknowledgement.
  if (kcp_client_ && udp_socket_)
    kcp_client_->FlushBeforeClose();
  if (udp_socket_)
    udp_socket_->Close();
  udp_socket_.reset();
  std::unique_ptr<ZekKcpClient> client;
  {
    std::lock_guard<std::mutex> lock(client_mutex_);
    client = std::move(kcp_client_);
  }
}

void KcpConnection::OnMessage(rtc::Message* msg) {
  switch (msg->id_) {
    case kConnectTimeoutId:
      awaiting_login_reply_ = false;
      SignalStatusChange(this, kConnFailed, kConnectTimeoutCode, kConnectTimeoutText);
      break;
    case kKeepAliveId:
      OnKeepAliveTick();
      break;
    case kPollKcpId:
      poll_due_ms_ = -1;
      PostPollKcpTask();
      break;
    case kSendQueuedId:
      PostPollKcpTask();
      break;
    default:
      break;
  }
  delete msg->data_;
  msg->data_ = nullptr;
}

void KcpConnection::PostPollKcpTask() {
  if (!polling_ || !kcp_client_)
    return;
  kcp_client_->Update();
  // A close handled inside the update has ended the polls.
  if (!polling_)
    return;
  const int delay = kcp_client_->NextUpdateDelay();
  if (delay < 0) {
    // Nothing in flight: no poll until traffic or the keep-alive tick.
    if (poll_due_ms_ >= 0)
      CancelMessageById(kPollKcpId);
    poll_due_ms_ = -1;
    return;
  }
  const int wait = delay < kPollIntervalMs ? delay : kPollIntervalMs;
  const int64_t due = rtc::TimeMillis() + wait;
  // A pending poll that comes no later serves; it looks again when it runs.
  if (poll_due_ms_ >= 0 && poll_due_ms_ <= due)
    return;
  if (poll_due_ms_ >= 0)
    CancelMessageById(kPollKcpId);
  rtc::Thread::Current()->PostDelayed(RTC_FROM_HERE, wait, this, kPollKcpId);
  poll_due_ms_ = due;
}

void KcpConnection::StopPolling() {
  polling_ = false;
  poll_due_ms_ = -1;
  CancelMessageById(kPollKcpId);
}

void KcpConnection::PostKeepAlive() {
  if (kcp_client_) {
    const char keep_alive = static_cast<char>(kKcpMsgKeepAlive);
    kcp_client_->UserInputDataToKcp(&keep_alive, 1);
  }
  rtc::Thread::Current()->PostDelayed(RTC_FROM_HERE, kKeepAliveIntervalMs, this, kKeepAliveId);
  PostPollKcpTask();
}

void KcpConnection::OnKeepAliveTick() {
  if (!connected_)
    return;
  const uint32_t silent_for = rtc::Time32() - last_recv_time_;
  if (silent_for <= kServerSilenceLimitMs) {
    PostKeepAlive();
    return;
  }
  // The connection stays flagged as connected; the manager decides what follows.
  StopPolling();
  SignalStatusChange(this, kConnLost, kServerSilentCode, kServerSilentText);
}

void KcpConnection::KcpOutPutDataToNet(const char* data, int len) {
  // Also after the server's close: the engine's acknowledgement of that close must
  // still go out, or the server retransmits it for ever.
  if (udp_socket_ && len > 0)
    udp_socket_->SendTo(data, static_cast<size_t>(len), server_address_, rtc::PacketOptions());
}

void KcpConnection::KcpOutPutDataToUser(const char* data, int len) {
  if (!connected_ || len <= 0)
    return;
  mavel::msg_packet_in in(data, len);
  unsigned char type = 0;
  in >> type;
  switch (type) {
    case kKcpMsgText: {
      std::string text;
      in >> text;
      // A text field that lies about its length is dropped, not delivered empty.
      if (in.Failed())
        return;
      SignalRecvMessage(this, text);
      break;
    }
    case kKcpMsgClose: {
      connected_ = false;
      unsigned int code = 0;
      std::string reason;
      in >> code >> reason;
      StopPolling();
      CancelMessageById(kKeepAliveId);
      SignalStatusChange(this, kConnLost, code, reason);
      break;
    }
    default:
      break;
  }
}

}  // namespace im
}  // namespace tavix
