#include "src/kcp/zek_kcp_client.h"

#include <stdio.h>
#include <string.h>

#include "rtc_base/timeutils.h"

namespace tavix {
namespace im {

ZekKcpClient::MsgFormat::MsgFormat() : data_(), len_(0) {}

void ZekKcpClient::MsgFormat::Init(const char* src, int len) {
  data_.reset();
  if (len > 0) {
    data_.reset(new char[len]);
    memcpy(data_.get(), src, static_cast<size_t>(len));
  }
  len_ = len;
}

void ZekKcpClient::MsgFormat::UnInit() {
  data_.reset();
  len_ = 0;
}

ZekKcpClient::ZekKcpClient(unsigned int conv, unsigned short tag)
    : kcp_(ikcp_create(conv, tag, this)),
      conv_(conv),
      tag_(tag),
      recv_buffer_(new char[kInitialRecvBufferSize]),
      recv_buffer_size_(kInitialRecvBufferSize) {
  if (kcp_) {
    // No-delay mode, the engine's shortest interval, fast resend after one skipped
    // acknowledgement and no congestion window: latency matters more than fairness.
    ikcp_nodelay(kcp_, 1, 2, 1, 1);
    kcp_->output = &ZekKcpClient::kcp_output_callback;
  }
}

ZekKcpClient::~ZekKcpClient() {
  if (kcp_)
    ikcp_release(kcp_);
}

bool ZekKcpClient::UserInputDataToKcp(const char* data, int len, bool* first) {
  if (!kcp_ || len < 0 || len > kMaxMessageSize || (!data && len > 0))
    return false;
  MsgFormat msg;
  msg.Init(data, len);
  const bool was_empty = send_queue_.push(std::move(msg));
  if (first)
    *first = was_empty;
  return true;
}

bool ZekKcpClient::NetInputDataToKcp(const char* data, int len) {
  if (!kcp_ || !data || len <= 0)
    return false;
  // The engine measures the round trip of an acknowledgement against its clock: let it
  // read the time of arrival, not that of the last update.
  kcp_->current = rtc::Time32();
  return ikcp_input(kcp_, data, len) == 0;
}

void ZekKcpClient::Update() {
  if (!kcp_)
    return;
  DoSendQueueDataToNet();
  DoRecvDataFromKcp();
  FlushNow();
}

void ZekKcpClient::FlushNow() {
  const bool first = kcp_->updated == 0;
  const uint32_t next_flush = kcp_->next_flush;
  ikcp_update(kcp_, rtc::Time32());
  // The engine flushes by itself once per interval only. A flush sends nothing twice:
  // what is in flight goes again only when due.
  if (!first && kcp_->next_flush == next_flush)
    ikcp_flush(kcp_);
}

int ZekKcpClient::NextUpdateDelay() const {
  if (!kcp_)
    return -1;
  if (ikcp_waitsnd(kcp_) == 0 && kcp_->ack_count == 0 && kcp_->probe_flags == 0)
    return -1;
  const uint32_t now = rtc::Time32();
  int32_t delay = static_cast<int32_t>(ikcp_check(kcp_, now) - now);
  // The engine's check names its interval only; a retransmission may fall due before it.
  for (const IQUEUEHEAD* p = kcp_->send_buf.next; p != &kcp_->send_buf; p = p->next) {
    const int32_t due = static_cast<int32_t>(reinterpret_cast<const IKCPSEG*>(p)->resend_ts - now);
    if (due < delay)
      delay = due;
  }
  return delay < 1 ? 1 : delay;
}

void ZekKcpClient::FlushBeforeClose() {
  if (!kcp_)
    return;
  DoSendQueueDataToNet();
  // Our own send window would hold back what the peer has room for; no later flush
  // will send the rest.
  if (kcp_->remote_window > kcp_->send_window)
    ikcp_wndsize(kcp_, static_cast<int>(kcp_->remote_window), 0);
  FlushNow();
}

void ZekKcpClient::DoSendQueueDataToNet() {
  // One swap under the lock; the engine works on the taken messages without it, so
  // senders on other threads never wait for the engine.
  std::queue<MsgFormat> pending = send_queue_.grab_all();
  for (; !pending.empty(); pending.pop()) {
    const MsgFormat& msg = pending.front();
    const int result = ikcp_send(kcp_, msg.data_.get(), msg.len_);
    if (result < 0) {
      fprintf(stderr, "kcp send error : %d\n", result);
      fflush(stderr);
    }
  }
}

void ZekKcpClient::DoRecvDataFromKcp() {
  for (;;) {
    const int r = ikcp_recv(kcp_, recv_buffer_.get(), recv_buffer_size_);
    if (r >= 0) {
      SignalDataToUser(recv_buffer_.get(), r);
      continue;
    }
    if (r != -3)
      return;
    // The next message does not fit: grow to exactly its size and never shrink, so
    // the buffer is reused by the messages that follow.
    const int needed = ikcp_peeksize(kcp_);
    if (needed <= recv_buffer_size_)
      return;  // cannot happen with a consistent engine; never loop on it
    recv_buffer_.reset(new char[needed]);
    recv_buffer_size_ = needed;
  }
}

int ZekKcpClient::KcpOutPutDataToNet(const char* data, int len, IKCPCB* /*kcp*/) {
  SignalDataToNet(data, len);
  return 0;
}

int ZekKcpClient::kcp_output_callback(const char* data, int len, IKCPCB* kcp, void* user) {
  return static_cast<ZekKcpClient*>(user)->KcpOutPutDataToNet(data, len, kcp);
}

}  // namespace im
}  // namespace tavix
