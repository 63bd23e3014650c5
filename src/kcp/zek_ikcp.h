#ifndef SRC_KCP_ZEK_IKCP_H_
#define SRC_KCP_ZEK_IKCP_H_

// The KCP engine: a selective-repeat ARQ protocol that turns an unreliable datagram
// channel into a reliable, ordered message channel. C-style and single-threaded: one
// control block per conversation, no threads, timers or sockets of its own. The caller
// feeds received datagrams (ikcp_input), queues messages (ikcp_send), takes complete
// messages out (ikcp_recv) and drives the clock (ikcp_update); every datagram the engine
// wants sent goes to the block's `output` hook from inside ikcp_update.
//
// A segment on the wire is a 26-byte big-endian header followed by `len` data bytes:
//   0 tag(2)  2 conv(4)  6 cmd(1)  7 frag(1)  8 window(2)  10 ts(4)  14 sn(4)
//   18 recv_next(4)  22 len(4)

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t kKcpHeaderSize = 26;
constexpr uint32_t kKcpCmdPush = 81;        // data segment
constexpr uint32_t kKcpCmdAck = 82;         // acknowledgement
constexpr uint32_t kKcpCmdWindowAsk = 83;   // asks the peer to announce its window
constexpr uint32_t kKcpCmdWindowTell = 84;  // announces the own window
constexpr uint32_t kKcpAskSend = 1;         // probe_flags: a window ask is due
constexpr uint32_t kKcpAskTell = 2;         // probe_flags: a window tell is due
constexpr uint32_t kKcpMtuDefault = 1400;
constexpr uint32_t kKcpRtoDefault = 200;
constexpr uint32_t kKcpRtoMin = 100;
constexpr uint32_t kKcpRtoNoDelay = 30;
constexpr uint32_t kKcpRtoMax = 60000;
constexpr uint32_t kKcpSendWindow = 32;
// Also the smallest receive window: a message needs fewer than this many fragments.
constexpr uint32_t kKcpRecvWindow = 128;
constexpr uint32_t kKcpIntervalDefault = 100;
constexpr uint32_t kKcpSsthreshInit = 2;
constexpr uint32_t kKcpSsthreshMin = 2;
constexpr uint32_t kKcpProbeInit = 7000;
constexpr uint32_t kKcpProbeLimit = 120000;
constexpr uint32_t kKcpDeadLink = 20;
constexpr uint32_t kKcpFastLimit = 5;
constexpr uint32_t kKcpAckListInit = 8;

// Log categories of `log_mask`.
constexpr int kKcpLogOutput = 1;      // each datagram handed to `output`
constexpr int kKcpLogInput = 2;       // each ikcp_input call
constexpr int kKcpLogRecv = 8;        // each segment taken by ikcp_recv
constexpr int kKcpLogInData = 16;     // each data segment received
constexpr int kKcpLogInAck = 32;      // each acknowledgement received
constexpr int kKcpLogInProbe = 64;    // each window ask received
constexpr int kKcpLogInWindow = 128;  // each window tell received

// Intrusive circular doubly linked list; a head whose `next` is itself is empty.
struct IQUEUEHEAD {
  IQUEUEHEAD* next;
  IQUEUEHEAD* prev;
};

// One segment in memory; the record and its data are one allocation.
struct IKCPSEG {
  IQUEUEHEAD node;  // links in one of the control block's four lists
  uint16_t tag;
  uint32_t conv;
  uint32_t cmd;
  // Fragments of the same message that follow this one; 0 on the last one and in stream mode.
  uint32_t frag;
  uint32_t window;  // the sender's free receive window, in segments
  uint32_t ts;      // time of its latest transmission, on the sender's clock
  uint32_t sn;
  uint32_t recv_next;  // the sender's recv_next at its latest transmission
  uint32_t len;
  uint32_t resend_ts;   // clock value at which it is due for retransmission
  uint32_t rto;         // this segment's retransmission time-out, ms
  uint32_t skip_count;  // datagrams whose highest acknowledgement lay above this segment
  uint32_t send_count;  // transmissions so far
  char data[];
};

struct IKCPCB;

typedef int (*ikcp_output_fn)(const char* data, int length, IKCPCB* kcp, void* user);
typedef void (*ikcp_log_fn)(const char* text, IKCPCB* kcp, void* user);

// The control block of one conversation. Its caller reads and writes the fields directly;
// it owns every segment of its four lists, the transmit buffer and the acknowledgement list.
struct IKCPCB {
  uint32_t conv;
  uint32_t mtu;  // largest datagram handed to `output`
  uint32_t mss;  // largest data part of one segment: mtu - 26
  // 0xFFFFFFFF once a segment reached dead_link_limit transmissions; never reset.
  uint32_t state;
  uint32_t send_unacked;  // oldest sn in send_buf, or send_next when it is empty
  uint32_t send_next;
  uint32_t recv_next;  // next sn expected in order
  uint32_t ssthresh;
  int32_t rttvar;
  int32_t srtt;  // 0: no sample yet
  int32_t rto;
  int32_t min_rto;
  uint32_t send_window;
  uint32_t recv_window;
  uint32_t remote_window;  // the peer's free receive window from its latest segment
  uint32_t cwnd;
  uint32_t probe_flags;  // kKcpAskSend | kKcpAskTell
  uint32_t current;      // time given to the latest ikcp_update
  uint32_t interval;     // flush interval, 10..5000 ms
  uint32_t next_flush;
  uint32_t retransmits;  // time-out retransmissions
  uint32_t recv_buf_count;
  uint32_t send_buf_count;
  uint32_t recv_queue_count;
  uint32_t send_queue_count;
  // 0 off; 1 on; 2 or more on, a time-out then adding half the block's rto instead.
  uint32_t nodelay;
  uint32_t updated;  // 1 from the first ikcp_update on
  uint32_t probe_time;
  uint32_t probe_delay;  // 0 while remote_window is not 0
  uint32_t dead_link_limit;
  uint32_t cwnd_incr;     // byte accumulator of congestion avoidance
  IQUEUEHEAD send_queue;  // made by ikcp_send, not yet numbered
  IQUEUEHEAD recv_queue;  // received in order, ready for ikcp_recv
  IQUEUEHEAD send_buf;    // numbered and in flight, in sequence order
  IQUEUEHEAD recv_buf;    // received above recv_next, sorted, no duplicates
  uint32_t* acklist;      // (sn, ts) pairs to acknowledge at the next flush
  uint32_t ack_count;     // pairs in acklist
  uint32_t ack_capacity;  // pairs acklist can hold
  uint16_t tag;
  void* user;       // handed back to output and log_writer; not owned
  char* buffer;     // transmit buffer in which a flush packs datagrams
  int fast_resend;  // skip count that triggers a fast retransmission; <= 0: never
  int fast_limit;   // fast retransmission only while send_count <= this; <= 0: no limit
  int no_cwnd;      // non-zero: the congestion window does not limit sending
  int stream_mode;  // non-zero: byte stream without message boundaries
  int log_mask;
  ikcp_output_fn output;  // its result is ignored
  ikcp_log_fn log_writer;
};

// A block with the default settings; null when an allocation fails.
IKCPCB* ikcp_create(uint32_t conv, uint16_t tag, void* user);
void ikcp_release(IKCPCB* kcp);
void ikcp_setoutput(IKCPCB* kcp, ikcp_output_fn output);
// Process-wide allocation hooks (null restores malloc and free); install them, if at all,
// before the first block is created.
void ikcp_allocator(void* (*allocate)(size_t), void (*release)(void*));

// Queues one message: 0, -1 for a negative length, -2 when it needs 128 or more fragments
// or a segment cannot be allocated. A null `data` queues zero bytes of that length.
int ikcp_send(IKCPCB* kcp, const char* data, int len);
// Size of the next complete message, -1 when there is none.
int ikcp_peeksize(const IKCPCB* kcp);
// Takes the next complete message: its size, -1 nothing queued, -2 incomplete, -3 larger
// than `len`. A negative `len` peeks with a capacity of -len.
int ikcp_recv(IKCPCB* kcp, char* buffer, int len);
// Processes one datagram: 0, -1 short or foreign (tag, conv), -2 a length past the end,
// -3 an unknown command. Segments before a refused one keep their effects.
int ikcp_input(IKCPCB* kcp, const char* data, long size);
void ikcp_update(IKCPCB* kcp, uint32_t current);
void ikcp_flush(IKCPCB* kcp);
// The time at which ikcp_update next has work.
uint32_t ikcp_check(const IKCPCB* kcp, uint32_t current);

int ikcp_nodelay(IKCPCB* kcp, int nodelay, int interval, int fast_resend, int no_cwnd);
int ikcp_interval(IKCPCB* kcp, int interval);
int ikcp_wndsize(IKCPCB* kcp, int send_window, int recv_window);
// 0, -1 for an MTU below 50, -2 when the new transmit buffer cannot be allocated.
int ikcp_setmtu(IKCPCB* kcp, int mtu);
int ikcp_waitsnd(const IKCPCB* kcp);
// The conversation id of a datagram's first segment; `data` holds at least 6 bytes.
uint32_t ikcp_getconv(const void* data);

void ikcp_log(IKCPCB* kcp, int mask, const char* format, ...) __attribute__((format(printf, 3, 4)));
void ikcp_qprint(const char* name, const IQUEUEHEAD* queue);

#endif  // SRC_KCP_ZEK_IKCP_H_
