#include "src/kcp/zek_ikcp.h"

// The engine's preconditions are asserted in every build, release builds included.
#undef NDEBUG
#include <assert.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void* (*g_allocate_hook)(size_t) = nullptr;
void (*g_release_hook)(void*) = nullptr;

// A segment's own time-out may grow on each time-out retransmission; past 2^31 ms a
// resend time would read as already due under wrap-around comparison and the segment
// would go out on every flush, so its growth stops here (about 12 days).
constexpr uint32_t kSegmentRtoLimit = 1u << 30;

// Sequence numbers and times wrap: a is before b when a - b, read signed, is negative.
inline int32_t _itimediff(uint32_t later, uint32_t earlier) {
  return static_cast<int32_t>(later - earlier);
}
inline uint32_t _imin_(uint32_t a, uint32_t b) {
  return a <= b ? a : b;
}
inline uint32_t _imax_(uint32_t a, uint32_t b) {
  return a >= b ? a : b;
}
inline uint32_t _ibound_(uint32_t lower, uint32_t middle, uint32_t upper) {
  return _imin_(_imax_(lower, middle), upper);
}

void* ikcp_malloc(size_t size) {
  return g_allocate_hook ? g_allocate_hook(size) : malloc(size);
}
void ikcp_free(void* ptr) {
  if (g_release_hook)
    g_release_hook(ptr);
  else
    free(ptr);
}

void iqueue_init(IQUEUEHEAD* head) {
  head->next = head;
  head->prev = head;
}
bool iqueue_is_empty(const IQUEUEHEAD* head) {
  return head->next == head;
}
void iqueue_insert_after(IQUEUEHEAD* node, IQUEUEHEAD* pos) {
  node->prev = pos;
  node->next = pos->next;
  pos->next->prev = node;
  pos->next = node;
}
void iqueue_add_tail(IQUEUEHEAD* node, IQUEUEHEAD* head) {
  iqueue_insert_after(node, head->prev);
}
void iqueue_del(IQUEUEHEAD* node) {
  node->next->prev = node->prev;
  node->prev->next = node->next;
  node->next = nullptr;
  node->prev = nullptr;
}
// `node` is the first member of IKCPSEG.
IKCPSEG* iqueue_entry(IQUEUEHEAD* node) {
  return reinterpret_cast<IKCPSEG*>(node);
}
const IKCPSEG* iqueue_entry(const IQUEUEHEAD* node) {
  return reinterpret_cast<const IKCPSEG*>(node);
}

char* ikcp_encode8u(char* p, uint8_t v) {
  *p = static_cast<char>(v);
  return p + 1;
}
const char* ikcp_decode8u(const char* p, uint8_t* v) {
  *v = static_cast<uint8_t>(*p);
  return p + 1;
}
char* ikcp_encode16u(char* p, uint16_t v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v);
  return p + 2;
}
const char* ikcp_decode16u(const char* p, uint16_t* v) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  *v = static_cast<uint16_t>((b[0] << 8) | b[1]);
  return p + 2;
}
char* ikcp_encode32u(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
  return p + 4;
}
const char* ikcp_decode32u(const char* p, uint32_t* v) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  *v = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
       (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
  return p + 4;
}

char* ikcp_encode_seg(char* p, const IKCPSEG* seg) {
  p = ikcp_encode16u(p, seg->tag);
  p = ikcp_encode32u(p, seg->conv);
  p = ikcp_encode8u(p, static_cast<uint8_t>(seg->cmd));
  p = ikcp_encode8u(p, static_cast<uint8_t>(seg->frag));
  // A receive window above 65535 segments is announced as 65535, not as its low bits
  // (65536 would read as a closed window).
  p = ikcp_encode16u(p, static_cast<uint16_t>(_imin_(seg->window, 0xFFFF)));
  p = ikcp_encode32u(p, seg->ts);
  p = ikcp_encode32u(p, seg->sn);
  p = ikcp_encode32u(p, seg->recv_next);
  p = ikcp_encode32u(p, seg->len);
  return p;
}

IKCPSEG* ikcp_segment_new(IKCPCB* /*kcp*/, size_t size) {
  auto* seg = static_cast<IKCPSEG*>(ikcp_malloc(sizeof(IKCPSEG) + size));
  if (seg)
    memset(seg, 0, sizeof(IKCPSEG));
  return seg;
}
void ikcp_segment_delete(IKCPCB* /*kcp*/, IKCPSEG* seg) {
  ikcp_free(seg);
}

void ikcp_free_list(IKCPCB* kcp, IQUEUEHEAD* head) {
  while (!iqueue_is_empty(head)) {
    IKCPSEG* seg = iqueue_entry(head->next);
    iqueue_del(&seg->node);
    ikcp_segment_delete(kcp, seg);
  }
}

bool ikcp_canlog(const IKCPCB* kcp, int mask) {
  return (mask & kcp->log_mask) != 0 && kcp->log_writer != nullptr;
}

int ikcp_output(IKCPCB* kcp, const char* data, int size) {
  if (size == 0)
    return 0;
  assert(kcp->output);
  if (ikcp_canlog(kcp, kKcpLogOutput))
    ikcp_log(kcp, kKcpLogOutput, "[RO] %ld bytes", static_cast<long>(size));
  return kcp->output(data, size, kcp, kcp->user);
}

uint32_t ikcp_wnd_unused(const IKCPCB* kcp) {
  if (kcp->recv_queue_count < kcp->recv_window)
    return kcp->recv_window - kcp->recv_queue_count;
  return 0;
}

// RTT arithmetic runs in 64 bits: a sample may be as large as 2^31 - 1 ms (an
// acknowledgement echoing a very old or forged time), and 7 * srtt or 4 * rttvar of such
// values would overflow 32 bits.
void ikcp_update_ack(IKCPCB* kcp, int32_t rtt) {
  int64_t srtt = kcp->srtt;
  int64_t rttvar = kcp->rttvar;
  const int64_t r = rtt;
  if (srtt == 0) {
    srtt = r;
    rttvar = r / 2;
  } else {
    int64_t delta = r - srtt;
    if (delta < 0)
      delta = -delta;
    rttvar = (3 * rttvar + delta) / 4;
    srtt = (7 * srtt + r) / 8;
    if (srtt < 1)
      srtt = 1;
  }
  const int64_t spread = 4 * rttvar > kcp->interval ? 4 * rttvar : kcp->interval;
  const int64_t sum = srtt + spread;
  const uint32_t capped = sum > kKcpRtoMax ? kKcpRtoMax : static_cast<uint32_t>(sum);
  kcp->srtt = static_cast<int32_t>(srtt);
  kcp->rttvar = static_cast<int32_t>(rttvar);
  kcp->rto =
      static_cast<int32_t>(_ibound_(static_cast<uint32_t>(kcp->min_rto), capped, kKcpRtoMax));
}

void ikcp_shrink_buf(IKCPCB* kcp) {
  if (!iqueue_is_empty(&kcp->send_buf))
    kcp->send_unacked = iqueue_entry(kcp->send_buf.next)->sn;
  else
    kcp->send_unacked = kcp->send_next;
}

void ikcp_parse_ack(IKCPCB* kcp, uint32_t sn) {
  if (_itimediff(sn, kcp->send_unacked) < 0 || _itimediff(sn, kcp->send_next) >= 0)
    return;
  for (IQUEUEHEAD* p = kcp->send_buf.next; p != &kcp->send_buf; p = p->next) {
    IKCPSEG* seg = iqueue_entry(p);
    if (seg->sn == sn) {
      iqueue_del(p);
      ikcp_segment_delete(kcp, seg);
      kcp->send_buf_count--;
      break;
    }
    if (_itimediff(sn, seg->sn) < 0)
      break;
  }
}

void ikcp_parse_una(IKCPCB* kcp, uint32_t una) {
  while (!iqueue_is_empty(&kcp->send_buf)) {
    IKCPSEG* seg = iqueue_entry(kcp->send_buf.next);
    if (_itimediff(una, seg->sn) <= 0)
      break;
    iqueue_del(&seg->node);
    ikcp_segment_delete(kcp, seg);
    kcp->send_buf_count--;
  }
}

void ikcp_parse_fastack(IKCPCB* kcp, uint32_t sn) {
  if (_itimediff(sn, kcp->send_unacked) < 0 || _itimediff(sn, kcp->send_next) >= 0)
    return;
  for (IQUEUEHEAD* p = kcp->send_buf.next; p != &kcp->send_buf; p = p->next) {
    IKCPSEG* seg = iqueue_entry(p);
    if (_itimediff(sn, seg->sn) < 0)
      break;
    if (sn != seg->sn)
      seg->skip_count++;
  }
}

// False when the list cannot grow; the caller then neither stores nor acknowledges the
// segment, so the peer sends it again.
bool ikcp_ack_push(IKCPCB* kcp, uint32_t sn, uint32_t ts) {
  const uint32_t needed = kcp->ack_count + 1;
  if (needed > kcp->ack_capacity) {
    uint32_t capacity = kKcpAckListInit;
    while (capacity < needed)
      capacity <<= 1;
    auto* list =
        static_cast<uint32_t*>(ikcp_malloc(static_cast<size_t>(capacity) * 2 * sizeof(uint32_t)));
    if (!list)
      return false;
    if (kcp->acklist) {
      memcpy(list, kcp->acklist, static_cast<size_t>(kcp->ack_count) * 2 * sizeof(uint32_t));
      ikcp_free(kcp->acklist);
    }
    kcp->acklist = list;
    kcp->ack_capacity = capacity;
  }
  kcp->acklist[kcp->ack_count * 2] = sn;
  kcp->acklist[kcp->ack_count * 2 + 1] = ts;
  kcp->ack_count++;
  return true;
}

void ikcp_ack_get(const IKCPCB* kcp, uint32_t index, uint32_t* sn, uint32_t* ts) {
  *sn = kcp->acklist[index * 2];
  *ts = kcp->acklist[index * 2 + 1];
}

// Moves the in-order head of recv_buf to recv_queue while the queue has room.
void ikcp_move_ready(IKCPCB* kcp) {
  while (!iqueue_is_empty(&kcp->recv_buf)) {
    IKCPSEG* seg = iqueue_entry(kcp->recv_buf.next);
    if (seg->sn != kcp->recv_next || kcp->recv_queue_count >= kcp->recv_window)
      break;
    iqueue_del(&seg->node);
    kcp->recv_buf_count--;
    iqueue_add_tail(&seg->node, &kcp->recv_queue);
    kcp->recv_queue_count++;
    kcp->recv_next++;
  }
}

void ikcp_parse_data(IKCPCB* kcp, IKCPSEG* newseg) {
  const uint32_t sn = newseg->sn;
  if (_itimediff(sn, kcp->recv_next + kcp->recv_window) >= 0 ||
      _itimediff(sn, kcp->recv_next) < 0) {
    ikcp_segment_delete(kcp, newseg);
    return;
  }
  // Walking from the tail makes in-order arrival one comparison.
  IQUEUEHEAD* p = kcp->recv_buf.prev;
  bool repeat = false;
  for (; p != &kcp->recv_buf; p = p->prev) {
    const IKCPSEG* seg = iqueue_entry(p);
    if (seg->sn == sn) {
      repeat = true;
      break;
    }
    if (_itimediff(sn, seg->sn) > 0)
      break;
  }
  if (repeat) {
    ikcp_segment_delete(kcp, newseg);
  } else {
    iqueue_insert_after(&newseg->node, p);
    kcp->recv_buf_count++;
  }
  ikcp_move_ready(kcp);
}

}  // namespace

IKCPCB* ikcp_create(uint32_t conv, uint16_t tag, void* user) {
  auto* kcp = static_cast<IKCPCB*>(ikcp_malloc(sizeof(IKCPCB)));
  if (!kcp)
    return nullptr;
  memset(kcp, 0, sizeof(IKCPCB));
  kcp->buffer = static_cast<char*>(ikcp_malloc(3 * (kKcpMtuDefault + kKcpHeaderSize)));
  if (!kcp->buffer) {
    ikcp_free(kcp);
    return nullptr;
  }
  kcp->conv = conv;
  kcp->tag = tag;
  kcp->user = user;
  kcp->mtu = kKcpMtuDefault;
  kcp->mss = kKcpMtuDefault - kKcpHeaderSize;
  kcp->ssthresh = kKcpSsthreshInit;
  kcp->rto = kKcpRtoDefault;
  kcp->min_rto = kKcpRtoMin;
  kcp->send_window = kKcpSendWindow;
  kcp->recv_window = kKcpRecvWindow;
  kcp->remote_window = kKcpRecvWindow;
  kcp->interval = kKcpIntervalDefault;
  kcp->next_flush = kKcpIntervalDefault;
  kcp->dead_link_limit = kKcpDeadLink;
  kcp->fast_limit = kKcpFastLimit;
  iqueue_init(&kcp->send_queue);
  iqueue_init(&kcp->recv_queue);
  iqueue_init(&kcp->send_buf);
  iqueue_init(&kcp->recv_buf);
  return kcp;
}

void ikcp_release(IKCPCB* kcp) {
  assert(kcp);
  ikcp_free_list(kcp, &kcp->send_buf);
  ikcp_free_list(kcp, &kcp->recv_buf);
  ikcp_free_list(kcp, &kcp->send_queue);
  ikcp_free_list(kcp, &kcp->recv_queue);
  ikcp_free(kcp->buffer);
  if (kcp->acklist)
    ikcp_free(kcp->acklist);
  kcp->buffer = nullptr;
  kcp->acklist = nullptr;
  kcp->recv_buf_count = 0;
  kcp->send_buf_count = 0;
  kcp->recv_queue_count = 0;
  kcp->send_queue_count = 0;
  kcp->ack_count = 0;
  ikcp_free(kcp);
}

void ikcp_setoutput(IKCPCB* kcp, ikcp_output_fn output) {
  kcp->output = output;
}

void ikcp_allocator(void* (*allocate)(size_t), void (*release)(void*)) {
  g_allocate_hook = allocate;
  g_release_hook = release;
}

int ikcp_send(IKCPCB* kcp, const char* data, int len) {
  assert(kcp->mss > 0);
  if (len < 0)
    return -1;

  if (kcp->stream_mode) {
    if (!iqueue_is_empty(&kcp->send_queue)) {
      IKCPSEG* old = iqueue_entry(kcp->send_queue.prev);
      if (old->len < kcp->mss) {
        const uint32_t extend = _imin_(static_cast<uint32_t>(len), kcp->mss - old->len);
        IKCPSEG* seg = ikcp_segment_new(kcp, old->len + extend);
        if (!seg)
          return -2;
        iqueue_insert_after(&seg->node, &old->node);
        memcpy(seg->data, old->data, old->len);
        if (data) {
          memcpy(seg->data + old->len, data, extend);
          // The rest of the message follows the bytes that went into the old segment.
          data += extend;
        } else {
          memset(seg->data + old->len, 0, extend);
        }
        seg->len = old->len + extend;
        seg->frag = 0;
        len -= static_cast<int>(extend);
        iqueue_del(&old->node);
        ikcp_segment_delete(kcp, old);
      }
    }
    if (len <= 0)
      return 0;
  }

  // In 64 bits: len + mss - 1 overflows an int for lengths near INT_MAX.
  const uint64_t count =
      static_cast<uint32_t>(len) <= kcp->mss
          ? 1
          : (static_cast<uint64_t>(len) + kcp->mss - 1) / static_cast<uint64_t>(kcp->mss);
  if (count >= kKcpRecvWindow)
    return -2;

  for (uint64_t i = 0; i < count; i++) {
    const uint32_t size = _imin_(static_cast<uint32_t>(len), kcp->mss);
    IKCPSEG* seg = ikcp_segment_new(kcp, size);
    if (!seg)
      return -2;
    if (size > 0) {
      if (data)
        memcpy(seg->data, data, size);
      else
        memset(seg->data, 0, size);
    }
    seg->len = size;
    seg->frag = kcp->stream_mode ? 0 : static_cast<uint32_t>(count - i - 1);
    iqueue_add_tail(&seg->node, &kcp->send_queue);
    kcp->send_queue_count++;
    if (data)
      data += size;
    len -= static_cast<int>(size);
  }
  return 0;
}

int ikcp_peeksize(const IKCPCB* kcp) {
  assert(kcp);
  if (iqueue_is_empty(&kcp->recv_queue))
    return -1;
  const IKCPSEG* first = iqueue_entry(kcp->recv_queue.next);
  if (first->frag == 0)
    return static_cast<int>(first->len);
  if (kcp->recv_queue_count < first->frag + 1)
    return -1;
  // The walk ends at the queue's end too: a peer may send fragment counts that never
  // reach 0 within the queue, and the head is not a segment.
  int64_t size = 0;
  for (const IQUEUEHEAD* p = kcp->recv_queue.next; p != &kcp->recv_queue; p = p->next) {
    const IKCPSEG* seg = iqueue_entry(p);
    size += seg->len;
    if (seg->frag == 0)
      return size <= INT32_MAX ? static_cast<int>(size) : -1;
  }
  return -1;
}

int ikcp_recv(IKCPCB* kcp, char* buffer, int len) {
  assert(kcp);
  if (iqueue_is_empty(&kcp->recv_queue))
    return -1;
  const bool peek = len < 0;
  // As a 64-bit value so that INT_MIN negates.
  const int64_t capacity = peek ? -static_cast<int64_t>(len) : len;

  const int size = ikcp_peeksize(kcp);
  if (size < 0)
    return -2;
  if (size > capacity)
    return -3;

  const bool was_full = kcp->recv_queue_count >= kcp->recv_window;

  // ikcp_peeksize found a segment with frag 0 in the queue, so this walk ends there.
  IQUEUEHEAD* p = kcp->recv_queue.next;
  while (p != &kcp->recv_queue) {
    IKCPSEG* seg = iqueue_entry(p);
    p = p->next;
    if (buffer) {
      memcpy(buffer, seg->data, seg->len);
      buffer += seg->len;
    }
    const uint32_t frag = seg->frag;
    if (ikcp_canlog(kcp, kKcpLogRecv))
      ikcp_log(kcp, kKcpLogRecv, "recv sn=%lu", static_cast<unsigned long>(seg->sn));
    if (!peek) {
      iqueue_del(&seg->node);
      ikcp_segment_delete(kcp, seg);
      kcp->recv_queue_count--;
    }
    if (frag == 0)
      break;
  }

  ikcp_move_ready(kcp);

  if (kcp->recv_queue_count < kcp->recv_window && was_full)
    kcp->probe_flags |= kKcpAskTell;
  return size;
}

int ikcp_input(IKCPCB* kcp, const char* data, long size) {
  const uint32_t prev_una = kcp->send_unacked;
  bool has_ack = false;
  uint32_t max_ack = 0;

  if (ikcp_canlog(kcp, kKcpLogInput))
    ikcp_log(kcp, kKcpLogInput, "[RI] %d bytes", static_cast<int>(size));
  if (data == nullptr || size < static_cast<long>(kKcpHeaderSize))
    return -1;

  while (size >= static_cast<long>(kKcpHeaderSize)) {
    uint16_t tag;
    uint32_t conv, ts, sn, una, len;
    uint8_t cmd, frag;
    uint16_t window;

    data = ikcp_decode16u(data, &tag);
    if (tag != kcp->tag)
      return -1;
    data = ikcp_decode32u(data, &conv);
    if (conv != kcp->conv)
      return -1;
    data = ikcp_decode8u(data, &cmd);
    data = ikcp_decode8u(data, &frag);
    data = ikcp_decode16u(data, &window);
    data = ikcp_decode32u(data, &ts);
    data = ikcp_decode32u(data, &sn);
    data = ikcp_decode32u(data, &una);
    data = ikcp_decode32u(data, &len);
    size -= kKcpHeaderSize;

    if (len >= 0x80000000u || static_cast<long>(len) > size)
      return -2;
    if (cmd != kKcpCmdPush && cmd != kKcpCmdAck && cmd != kKcpCmdWindowAsk &&
        cmd != kKcpCmdWindowTell)
      return -3;

    kcp->remote_window = window;
    ikcp_parse_una(kcp, una);
    ikcp_shrink_buf(kcp);

    if (cmd == kKcpCmdAck) {
      if (_itimediff(kcp->current, ts) >= 0)
        ikcp_update_ack(kcp, _itimediff(kcp->current, ts));
      ikcp_parse_ack(kcp, sn);
      ikcp_shrink_buf(kcp);
      if (!has_ack) {
        has_ack = true;
        max_ack = sn;
      } else if (_itimediff(sn, max_ack) > 0) {
        max_ack = sn;
      }
      if (ikcp_canlog(kcp, kKcpLogInAck)) {
        ikcp_log(kcp, kKcpLogInAck, "input ack: sn=%lu rtt=%ld rto=%ld",
                 static_cast<unsigned long>(sn), static_cast<long>(_itimediff(kcp->current, ts)),
                 static_cast<long>(kcp->rto));
      }
    } else if (cmd == kKcpCmdPush) {
      if (ikcp_canlog(kcp, kKcpLogInData)) {
        ikcp_log(kcp, kKcpLogInData, "input psh: sn=%lu ts=%lu", static_cast<unsigned long>(sn),
                 static_cast<unsigned long>(ts));
      }
      if (_itimediff(sn, kcp->recv_next + kcp->recv_window) < 0) {
        if (_itimediff(sn, kcp->recv_next) >= 0) {
          // The record is made before the acknowledgement is queued: an acknowledged
          // segment that we failed to store would be lost, as the peer drops it.
          IKCPSEG* seg = ikcp_segment_new(kcp, len);
          if (seg) {
            if (ikcp_ack_push(kcp, sn, ts)) {
              seg->tag = tag;
              seg->conv = conv;
              seg->cmd = cmd;
              seg->frag = frag;
              seg->window = window;
              seg->ts = ts;
              seg->sn = sn;
              seg->recv_next = una;
              seg->len = len;
              if (len > 0)
                memcpy(seg->data, data, len);
              ikcp_parse_data(kcp, seg);
            } else {
              ikcp_segment_delete(kcp, seg);
            }
          }
        } else {
          // Already delivered: acknowledge again, as the peer missed the earlier one.
          ikcp_ack_push(kcp, sn, ts);
        }
      }
    } else if (cmd == kKcpCmdWindowAsk) {
      kcp->probe_flags |= kKcpAskTell;
      if (ikcp_canlog(kcp, kKcpLogInProbe))
        ikcp_log(kcp, kKcpLogInProbe, "input probe");
    } else {
      if (ikcp_canlog(kcp, kKcpLogInWindow))
        ikcp_log(kcp, kKcpLogInWindow, "input wins: %lu", static_cast<unsigned long>(window));
    }

    data += len;
    size -= static_cast<long>(len);
  }

  if (has_ack)
    ikcp_parse_fastack(kcp, max_ack);

  if (_itimediff(kcp->send_unacked, prev_una) > 0 && kcp->cwnd < kcp->remote_window) {
    const uint32_t mss = kcp->mss;
    if (kcp->cwnd < kcp->ssthresh) {
      kcp->cwnd++;
      kcp->cwnd_incr += mss;
    } else {
      if (kcp->cwnd_incr < mss)
        kcp->cwnd_incr = mss;
      kcp->cwnd_incr += (mss * mss) / kcp->cwnd_incr + (mss / 16);
      if ((kcp->cwnd + 1) * mss <= kcp->cwnd_incr)
        kcp->cwnd = (kcp->cwnd_incr + mss - 1) / ((mss > 0) ? mss : 1);
    }
    if (kcp->cwnd > kcp->remote_window) {
      kcp->cwnd = kcp->remote_window;
      kcp->cwnd_incr = kcp->remote_window * mss;
    }
  }
  return 0;
}

void ikcp_flush(IKCPCB* kcp) {
  if (kcp->updated == 0)
    return;
  const uint32_t now = kcp->current;
  const uint32_t free_window = ikcp_wnd_unused(kcp);
  char* const buffer = kcp->buffer;
  char* ptr = buffer;

  // Packs one segment into the transmit buffer, handing the buffer out first when the
  // segment would make the datagram larger than mtu.
  auto emit = [&](const IKCPSEG* seg) {
    const size_t used = static_cast<size_t>(ptr - buffer);
    if (used + kKcpHeaderSize + seg->len > kcp->mtu) {
      ikcp_output(kcp, buffer, static_cast<int>(used));
      ptr = buffer;
    }
    ptr = ikcp_encode_seg(ptr, seg);
    if (seg->len > 0) {
      memcpy(ptr, seg->data, seg->len);
      ptr += seg->len;
    }
  };

  IKCPSEG seg;
  memset(&seg, 0, sizeof(seg));
  seg.tag = kcp->tag;
  seg.conv = kcp->conv;
  seg.cmd = kKcpCmdAck;
  seg.window = free_window;
  seg.recv_next = kcp->recv_next;

  for (uint32_t i = 0; i < kcp->ack_count; i++) {
    ikcp_ack_get(kcp, i, &seg.sn, &seg.ts);
    emit(&seg);
  }
  kcp->ack_count = 0;

  if (kcp->remote_window == 0) {
    if (kcp->probe_delay == 0) {
      kcp->probe_delay = kKcpProbeInit;
      kcp->probe_time = now + kcp->probe_delay;
    } else if (_itimediff(now, kcp->probe_time) >= 0) {
      if (kcp->probe_delay < kKcpProbeInit)
        kcp->probe_delay = kKcpProbeInit;
      kcp->probe_delay += kcp->probe_delay / 2;
      if (kcp->probe_delay > kKcpProbeLimit)
        kcp->probe_delay = kKcpProbeLimit;
      kcp->probe_time = now + kcp->probe_delay;
      kcp->probe_flags |= kKcpAskSend;
    }
  } else {
    kcp->probe_time = 0;
    kcp->probe_delay = 0;
  }

  if (kcp->probe_flags & kKcpAskSend) {
    seg.cmd = kKcpCmdWindowAsk;
    emit(&seg);
  }
  if (kcp->probe_flags & kKcpAskTell) {
    seg.cmd = kKcpCmdWindowTell;
    emit(&seg);
  }
  kcp->probe_flags = 0;

  uint32_t window = _imin_(kcp->send_window, kcp->remote_window);
  if (kcp->no_cwnd == 0)
    window = _imin_(kcp->cwnd, window);

  while (_itimediff(kcp->send_next, kcp->send_unacked + window) < 0 &&
         !iqueue_is_empty(&kcp->send_queue)) {
    IKCPSEG* newseg = iqueue_entry(kcp->send_queue.next);
    iqueue_del(&newseg->node);
    iqueue_add_tail(&newseg->node, &kcp->send_buf);
    kcp->send_queue_count--;
    kcp->send_buf_count++;
    newseg->tag = kcp->tag;
    newseg->conv = kcp->conv;
    newseg->cmd = kKcpCmdPush;
    newseg->window = free_window;
    newseg->ts = now;
    newseg->sn = kcp->send_next++;
    newseg->recv_next = kcp->recv_next;
    newseg->resend_ts = now;
    newseg->rto = static_cast<uint32_t>(kcp->rto);
    newseg->skip_count = 0;
    newseg->send_count = 0;
  }

  const uint32_t threshold =
      kcp->fast_resend > 0 ? static_cast<uint32_t>(kcp->fast_resend) : 0xFFFFFFFFu;
  const uint32_t extra = kcp->nodelay == 0 ? static_cast<uint32_t>(kcp->rto >> 3) : 0;
  bool lost = false;
  bool change = false;

  for (IQUEUEHEAD* p = kcp->send_buf.next; p != &kcp->send_buf; p = p->next) {
    IKCPSEG* segment = iqueue_entry(p);
    bool needsend = false;
    if (segment->send_count == 0) {
      needsend = true;
      segment->send_count = 1;
      segment->rto = static_cast<uint32_t>(kcp->rto);
      segment->resend_ts = now + segment->rto + extra;
    } else if (_itimediff(now, segment->resend_ts) >= 0) {
      needsend = true;
      segment->send_count++;
      kcp->retransmits++;
      const uint32_t block_rto = static_cast<uint32_t>(kcp->rto);
      uint32_t grown;
      if (kcp->nodelay == 0)
        grown = segment->rto + _imax_(segment->rto, block_rto);
      else if (kcp->nodelay == 1)
        grown = segment->rto + segment->rto / 2;
      else
        grown = segment->rto + static_cast<uint32_t>(kcp->rto / 2);
      // Both terms stay at or below 2^30, so the sum cannot wrap before this test.
      segment->rto = grown > kSegmentRtoLimit ? kSegmentRtoLimit : grown;
      segment->resend_ts = now + segment->rto;
      lost = true;
    } else if (segment->skip_count >= threshold &&
               (kcp->fast_limit <= 0 ||
                static_cast<int64_t>(segment->send_count) <= kcp->fast_limit)) {
      needsend = true;
      segment->send_count++;
      segment->skip_count = 0;
      segment->resend_ts = now + segment->rto;
      change = true;
    }

    if (needsend) {
      segment->ts = now;
      segment->window = free_window;
      segment->recv_next = kcp->recv_next;
      emit(segment);
      if (segment->send_count >= kcp->dead_link_limit)
        kcp->state = 0xFFFFFFFFu;
    }
  }

  ikcp_output(kcp, buffer, static_cast<int>(ptr - buffer));

  if (change) {
    const uint32_t inflight = kcp->send_next - kcp->send_unacked;
    kcp->ssthresh = inflight / 2;
    if (kcp->ssthresh < kKcpSsthreshMin)
      kcp->ssthresh = kKcpSsthreshMin;
    kcp->cwnd = kcp->ssthresh + threshold;
    kcp->cwnd_incr = kcp->cwnd * kcp->mss;
  }
  if (lost) {
    kcp->ssthresh = window / 2;
    if (kcp->ssthresh < kKcpSsthreshMin)
      kcp->ssthresh = kKcpSsthreshMin;
    kcp->cwnd = 1;
    kcp->cwnd_incr = kcp->mss;
  }
  if (kcp->cwnd < 1) {
    kcp->cwnd = 1;
    kcp->cwnd_incr = kcp->mss;
  }
}

void ikcp_update(IKCPCB* kcp, uint32_t current) {
  kcp->current = current;
  if (kcp->updated == 0) {
    kcp->updated = 1;
    kcp->next_flush = current;
  }
  int32_t lag = _itimediff(current, kcp->next_flush);
  if (lag >= 10000 || lag < -10000) {
    kcp->next_flush = current;
    lag = 0;
  }
  if (lag >= 0) {
    kcp->next_flush += kcp->interval;
    if (_itimediff(current, kcp->next_flush) >= 0)
      kcp->next_flush = current + kcp->interval;
    ikcp_flush(kcp);
  }
}

// ikcp_update flushes only at next_flush (or at once after a clock jump), and that flush
// sends whatever is due, so next_flush is the next moment with work: a retransmission due
// earlier waits for it, and naming its time would have the caller wake to no effect.
uint32_t ikcp_check(const IKCPCB* kcp, uint32_t current) {
  if (kcp->updated == 0)
    return current;
  uint32_t next = kcp->next_flush;
  const int32_t lag = _itimediff(current, next);
  if (lag >= 10000 || lag < -10000)
    next = current;
  if (_itimediff(current, next) >= 0)
    return current;
  return next;
}

int ikcp_nodelay(IKCPCB* kcp, int nodelay, int interval, int fast_resend, int no_cwnd) {
  if (nodelay >= 0) {
    kcp->nodelay = static_cast<uint32_t>(nodelay);
    kcp->min_rto = nodelay ? kKcpRtoNoDelay : kKcpRtoMin;
  }
  if (interval >= 0)
    ikcp_interval(kcp, interval);
  if (fast_resend >= 0)
    kcp->fast_resend = fast_resend;
  if (no_cwnd >= 0)
    kcp->no_cwnd = no_cwnd;
  return 0;
}

int ikcp_interval(IKCPCB* kcp, int interval) {
  if (interval > 5000)
    interval = 5000;
  else if (interval < 10)
    interval = 10;
  kcp->interval = static_cast<uint32_t>(interval);
  return 0;
}

int ikcp_wndsize(IKCPCB* kcp, int send_window, int recv_window) {
  if (kcp) {
    if (send_window > 0)
      kcp->send_window = static_cast<uint32_t>(send_window);
    if (recv_window > 0)
      kcp->recv_window = _imax_(static_cast<uint32_t>(recv_window), kKcpRecvWindow);
  }
  return 0;
}

int ikcp_setmtu(IKCPCB* kcp, int mtu) {
  if (mtu < 50)
    return -1;
  size_t capacity = 3 * (static_cast<size_t>(mtu) + kKcpHeaderSize);
  // Segments already made keep their size and each goes out whole, alone in its datagram
  // when it exceeds the new mtu: the buffer must hold the largest of them.
  const IQUEUEHEAD* lists[] = {&kcp->send_queue, &kcp->send_buf};
  for (const IQUEUEHEAD* head : lists) {
    for (const IQUEUEHEAD* p = head->next; p != head; p = p->next) {
      const size_t needed = kKcpHeaderSize + static_cast<size_t>(iqueue_entry(p)->len);
      if (needed > capacity)
        capacity = needed;
    }
  }
  auto* buffer = static_cast<char*>(ikcp_malloc(capacity));
  if (!buffer)
    return -2;
  kcp->mtu = static_cast<uint32_t>(mtu);
  kcp->mss = kcp->mtu - kKcpHeaderSize;
  ikcp_free(kcp->buffer);
  kcp->buffer = buffer;
  return 0;
}

int ikcp_waitsnd(const IKCPCB* kcp) {
  return static_cast<int>(kcp->send_buf_count + kcp->send_queue_count);
}

uint32_t ikcp_getconv(const void* data) {
  uint32_t conv = 0;
  ikcp_decode32u(static_cast<const char*>(data) + 2, &conv);
  return conv;
}

void ikcp_log(IKCPCB* kcp, int mask, const char* format, ...) {
  if (!ikcp_canlog(kcp, mask))
    return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  kcp->log_writer(line, kcp, kcp->user);
}

void ikcp_qprint(const char* /*name*/, const IQUEUEHEAD* /*queue*/) {}
