// The KCP engine's ikcp_input, with a second engine as its peer over a link whose
// every choice comes from the script: each datagram is delivered, dropped,
// duplicated or delayed (and so reordered), on a simulated clock that may start
// anywhere, wrap-around included. Both engines send messages of the script's sizes
// with the script's settings (no-delay modes, intervals, windows, MTU, stream
// mode), and the script also hands each engine datagrams of its own.
//
// Oracles beside the sanitizers:
// - what each engine delivers is a byte-exact, in-order prefix of what its peer
//   sent, whole messages in message mode; and once the script is done, with the
//   link made good and nothing foreign injected, everything is delivered;
// - ikcp_input's result for any datagram equals a model of the segment format
//   (-1 short or foreign, -2 a length past the end, -3 an unknown command), and a
//   datagram from the peer is always accepted;
// - every datagram an engine emits is whole segments of its own conversation within
//   its MTU; the engine's queues stay sorted, in window and counted right.
// Foreign data segments that the engine would store (inside its receive window)
// are turned into unknown commands before they go in: KCP has no integrity check,
// so stored foreign data would be a correct delivery of wrong bytes. The script may
// let them in all the same (fragment counts no peer sends, for one); from then on
// that engine's deliveries are checked for their form only.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "src/kcp/zek_ikcp.h"

namespace {

using zek_fuzz::FuzzInput;

uint32_t Be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

int32_t Diff(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b);
}

struct Segment {
  uint16_t tag;
  uint32_t conv;
  uint8_t cmd;
  uint8_t frag;
  uint32_t sn;
  uint32_t len;
  size_t offset;  // of the header in the datagram
};

// What ikcp_input must return for `bytes`, and the segments it reads up to there.
int ModelInput(const std::string& bytes, uint16_t tag, uint32_t conv, std::vector<Segment>* segs) {
  if (bytes.size() < kKcpHeaderSize)
    return -1;
  size_t pos = 0;
  while (bytes.size() - pos >= kKcpHeaderSize) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
    Segment s;
    s.tag = static_cast<uint16_t>(p[0] << 8 | p[1]);
    s.conv = Be32(p + 2);
    s.cmd = p[6];
    s.frag = p[7];
    s.sn = Be32(p + 14);
    s.len = Be32(p + 22);
    s.offset = pos;
    if (s.tag != tag || s.conv != conv)
      return -1;
    if (s.len >= 0x80000000u || s.len > bytes.size() - pos - kKcpHeaderSize)
      return -2;
    if (s.cmd < kKcpCmdPush || s.cmd > kKcpCmdWindowTell)
      return -3;
    if (segs)
      segs->push_back(s);
    pos += kKcpHeaderSize + s.len;
  }
  return 0;
}

struct Side {
  IKCPCB* kcp = nullptr;
  int index = 0;
  std::vector<std::string> sent;  // messages (message mode) accepted by ikcp_send
  std::string sent_stream;        // their bytes back to back
  std::vector<std::string> received;
  std::string received_stream;
  uint32_t counter = 0;
  // Took foreign data: what it delivers is no longer only its peer's.
  bool tainted = false;
};

class Harness {
 public:
  explicit Harness(FuzzInput* in) : in_(in) {}
  ~Harness() {
    for (Side& side : sides_)
      if (side.kcp)
        ikcp_release(side.kcp);
  }

  void Setup() {
    conv_ = in_->U32();
    tag_ = in_->U16();
    now_ = in_->U32();
    const uint8_t mode = in_->Byte();
    stream_ = mode & 1;
    for (int i = 0; i < 2; ++i) {
      Side& side = sides_[i];
      side.index = i;
      side.kcp = ikcp_create(conv_, tag_, this);
      side.kcp->output = i == 0 ? &Harness::Output0 : &Harness::Output1;
      side.kcp->stream_mode = stream_ ? 1 : 0;
      const uint8_t a = in_->Byte(), b = in_->Byte(), c = in_->Byte();
      Configure(side.kcp, a & 3, static_cast<int>(a >> 2) * 90 - 50, b & 3, (b >> 2) & 1,
                (b >> 3) % 64, c);
      if (mode & (2 << i)) {
        const int mtu = in_->U16() % 1500;
        const uint32_t before = side.kcp->mtu;
        const int result = ikcp_setmtu(side.kcp, mtu);
        ZEK_FUZZ_CHECK(result == (mtu < 50 ? -1 : 0), "ikcp_setmtu(%d) returned %d", mtu, result);
        const uint32_t expected = mtu < 50 ? before : static_cast<uint32_t>(mtu);
        ZEK_FUZZ_CHECK(side.kcp->mtu == expected && side.kcp->mss == expected - kKcpHeaderSize,
                       "mtu %u and mss %u after ikcp_setmtu(%d)", side.kcp->mtu, side.kcp->mss,
                       mtu);
      }
    }
  }

  // The settings, checked against what they must give: no-delay and its shorter
  // minimum time-out, the interval clamped to 10..5000 (a negative one leaves it
  // alone), a receive window of at least 128; zero leaves a window alone.
  static void
  Configure(IKCPCB* kcp, int nodelay, int interval, int resend, int nc, int snd, int rcv) {
    const uint32_t send_window = kcp->send_window, recv_window = kcp->recv_window,
                   before = kcp->interval;
    ikcp_nodelay(kcp, nodelay, interval, resend, nc);
    ikcp_wndsize(kcp, snd, rcv);
    const uint32_t clamped = interval < 0      ? before
                             : interval < 10   ? 10
                             : interval > 5000 ? 5000
                                               : static_cast<uint32_t>(interval);
    ZEK_FUZZ_CHECK(
        kcp->nodelay == static_cast<uint32_t>(nodelay) && kcp->min_rto == (nodelay ? 30 : 100) &&
            kcp->interval == clamped && kcp->fast_resend == resend && kcp->no_cwnd == nc,
        "ikcp_nodelay(%d, %d, %d, %d) gave %u, %d, %u, %d, %d", nodelay, interval, resend, nc,
        kcp->nodelay, kcp->min_rto, kcp->interval, kcp->fast_resend, kcp->no_cwnd);
    const uint32_t want_send = snd > 0 ? static_cast<uint32_t>(snd) : send_window;
    const uint32_t want_recv =
        rcv > 0 ? std::max<uint32_t>(static_cast<uint32_t>(rcv), kKcpRecvWindow) : recv_window;
    ZEK_FUZZ_CHECK(kcp->send_window == want_send && kcp->recv_window == want_recv,
                   "ikcp_wndsize(%d, %d) gave %u, %u", snd, rcv, kcp->send_window,
                   kcp->recv_window);
  }

  void Run() {
    while (!in_->empty()) {
      const uint8_t op = in_->Byte();
      Side& side = sides_[op >> 7];
      switch (op % 6) {
        case 0:
          Send(&side);
          break;
        case 1:
          Advance(1 + in_->Byte());
          break;
        case 2:
          Step();
          break;
        case 3:
          Receive(&side, in_->Byte());
          break;
        case 4:
          Inject(&side);
          break;
        case 5:
          Advance(static_cast<uint32_t>(in_->U16()) * 8);
          break;
      }
      CheckEngines();
    }
    // The link turns good; nothing is injected any more: everything must arrive.
    // While nothing is on the way the clock jumps ahead, further each time, so that
    // retransmission time-outs grown long during the losses come round quickly.
    good_link_ = true;
    uint32_t skip = 1;
    for (int i = 0; i < 100000 && !AllDelivered() && !sides_[0].tainted && !sides_[1].tainted;
         ++i) {
      const uint64_t emitted = emitted_;
      if (in_flight_.empty())
        Advance(skip);
      else
        Step();
      Receive(&sides_[0], 0);
      Receive(&sides_[1], 0);
      if (emitted_ == emitted && in_flight_.empty())
        skip = skip < 600000 ? skip * 2 : skip;
      else
        skip = 1;
      if (i % 64 == 0)
        CheckEngines();
    }
    CheckEngines();
    if (!injected_) {
      for (int i = 0; i < 2; ++i)
        ZEK_FUZZ_CHECK(Delivered(sides_[i], sides_[1 - i]),
                       "side %d has %zu of %zu messages (%zu of %zu bytes) after %llu ms", 1 - i,
                       sides_[1 - i].received.size(), sides_[i].sent.size(),
                       sides_[1 - i].received_stream.size(), sides_[i].sent_stream.size(),
                       static_cast<unsigned long long>(elapsed_));
    }
  }

 private:
  static int Output0(const char* data, int len, IKCPCB*, void* user) {
    static_cast<Harness*>(user)->Put(0, data, len);
    return 0;
  }
  static int Output1(const char* data, int len, IKCPCB*, void* user) {
    static_cast<Harness*>(user)->Put(1, data, len);
    return 0;
  }

  // A datagram from side `from` enters the link.
  void Put(int from, const char* data, int len) {
    const IKCPCB* kcp = sides_[from].kcp;
    const std::string bytes(data, static_cast<size_t>(len));
    emitted_++;
    std::vector<Segment> segs;
    ZEK_FUZZ_CHECK(len > 0 && static_cast<uint32_t>(len) <= kcp->mtu,
                   "side %d emitted %d bytes with an MTU of %u", from, len, kcp->mtu);
    ZEK_FUZZ_CHECK(ModelInput(bytes, tag_, conv_, &segs) == 0,
                   "side %d emitted a datagram that is not whole segments of its conversation",
                   from);
    size_t total = 0;
    for (const Segment& s : segs) {
      total += kKcpHeaderSize + s.len;
      ZEK_FUZZ_CHECK(s.cmd == kKcpCmdPush || s.len == 0, "a command %u segment carries data",
                     s.cmd);
      ZEK_FUZZ_CHECK(s.len <= kcp->mss, "a segment of %u bytes with an mss of %u", s.len, kcp->mss);
      ZEK_FUZZ_CHECK(stream_ ? s.frag == 0 : s.frag < kKcpRecvWindow, "fragment count %u", s.frag);
    }
    ZEK_FUZZ_CHECK(total == bytes.size(), "%zu bytes after the last whole segment",
                   bytes.size() - total);

    const uint8_t fate = good_link_ ? 0 : in_->BackByte();
    int copies = 1;
    uint64_t delay = 0;
    switch (fate & 3) {
      case 1:
        return;  // lost
      case 2:
        copies = 2;
        break;
      case 3:
        delay = fate >> 2;  // up to 63 ms late, so later datagrams may pass it
        break;
    }
    for (int i = 0; i < copies; ++i)
      in_flight_.emplace(std::make_pair(elapsed_ + delay + static_cast<uint64_t>(i), order_++),
                         std::make_pair(1 - from, bytes));
  }

  void Deliver() {
    while (!in_flight_.empty() && in_flight_.begin()->first.first <= elapsed_) {
      const int to = in_flight_.begin()->second.first;
      const std::string bytes = std::move(in_flight_.begin()->second.second);
      in_flight_.erase(in_flight_.begin());
      // An exactly sized block, so a read past the datagram shows.
      std::unique_ptr<char[]> exact(new char[bytes.size()]);
      memcpy(exact.get(), bytes.data(), bytes.size());
      const int result = ikcp_input(sides_[to].kcp, exact.get(), static_cast<long>(bytes.size()));
      ZEK_FUZZ_CHECK(result == 0, "side %d refused its peer's datagram with %d", to, result);
    }
  }

  void Update() {
    ikcp_update(sides_[0].kcp, now_);
    ikcp_update(sides_[1].kcp, now_);
  }

  void Advance(uint32_t ms) {
    elapsed_ += ms;
    now_ += ms;
    Deliver();
    Update();
  }

  // To the next moment either engine or the link has work.
  void Step() {
    int64_t wait = 10000;
    for (const Side& side : sides_) {
      const int32_t d = Diff(ikcp_check(side.kcp, now_), now_);
      if (d < wait)
        wait = d;
    }
    if (!in_flight_.empty()) {
      const int64_t d = static_cast<int64_t>(in_flight_.begin()->first.first - elapsed_);
      if (d < wait)
        wait = d;
    }
    Advance(wait < 1 ? 1 : static_cast<uint32_t>(wait));
  }

  void Send(Side* side) {
    const IKCPCB* kcp = side->kcp;
    size_t len = in_->U16();
    if (len == 0xFFFF) {
      const int result = ikcp_send(side->kcp, "x", -1);
      ZEK_FUZZ_CHECK(result == -1, "ikcp_send of a negative length returned %d", result);
      return;
    }
    // Stream mode must never refuse part of a message; message mode may ask for too
    // many fragments now and then.
    const size_t limit = stream_ ? 100 * kcp->mss : 130 * kcp->mss;
    len %= limit + 1;
    std::string message(len, '\0');
    for (size_t i = 0; i < len; ++i)
      message[i] = static_cast<char>(side->index * 101 + side->counter * 31 + i * 7 + (i >> 8));
    side->counter++;
    const size_t fragments = len <= kcp->mss ? 1 : (len + kcp->mss - 1) / kcp->mss;
    const int expected = fragments >= kKcpRecvWindow ? -2 : 0;
    const int result = ikcp_send(side->kcp, message.data(), static_cast<int>(len));
    ZEK_FUZZ_CHECK(result == expected, "ikcp_send of %zu bytes (mss %u) returned %d, model %d", len,
                   kcp->mss, result, expected);
    if (result == 0) {
      if (!stream_ || len > 0)
        side->sent.push_back(message);
      side->sent_stream += message;
    }
  }

  // Takes complete messages out of one engine, with a buffer the script sizes.
  void Receive(Side* side, uint8_t how) {
    for (int round = 0; round < 256; ++round) {
      const int peek = ikcp_peeksize(side->kcp);
      if (peek < 0) {
        char sink[16];
        const int r = ikcp_recv(side->kcp, sink, sizeof(sink));
        ZEK_FUZZ_CHECK(r == -1 || r == -2, "ikcp_recv returned %d while peeksize says %d", r, peek);
        return;
      }
      if (how & 1) {  // too small a buffer: refused, nothing taken
        if (peek > 0) {
          std::vector<char> small(static_cast<size_t>(peek - 1) + 1);
          ZEK_FUZZ_CHECK(ikcp_recv(side->kcp, small.data(), peek - 1) == -3,
                         "a buffer one byte short was not refused");
        }
      }
      std::vector<char> buffer(static_cast<size_t>(peek) + 1);
      if ((how & 2) && peek > 0) {  // a peek (negative length) must not consume
        ZEK_FUZZ_CHECK(ikcp_recv(side->kcp, buffer.data(), -peek) == peek, "a peek of %d failed",
                       peek);
      }
      const int got = ikcp_recv(side->kcp, buffer.data(), peek);
      ZEK_FUZZ_CHECK(got == peek, "ikcp_recv returned %d, peeksize %d", got, peek);
      const std::string message(buffer.data(), static_cast<size_t>(got));
      if (!side->tainted)
        CheckArrival(*side, message);
      side->received.push_back(message);
      side->received_stream += message;
      if (how & 4)
        return;
    }
  }

  // Bytes of the script's own into one engine.
  void Inject(Side* side) {
    const uint8_t how = in_->Byte();
    std::string bytes = in_->Blob(4096);
    if ((how & 1) && bytes.size() >= 6) {  // its own conversation, to get past the first check
      bytes[0] = static_cast<char>(tag_ >> 8);
      bytes[1] = static_cast<char>(tag_);
      for (int i = 0; i < 4; ++i)
        bytes[2 + i] = static_cast<char>(conv_ >> (24 - 8 * i));
    }
    std::vector<Segment> segs;
    ModelInput(bytes, tag_, conv_, &segs);
    const IKCPCB* kcp = side->kcp;
    for (const Segment& s : segs) {
      if (s.cmd == kKcpCmdPush && Diff(s.sn, kcp->recv_next + kcp->recv_window) < 0 &&
          Diff(s.sn, kcp->recv_next) >= 0) {
        if (how & 2) {
          // Let it in: from here on this side's deliveries are checked only for their
          // form (the engine's queues and ikcp_recv's sizes), not their content.
          side->tainted = true;
          break;
        }
        bytes[s.offset + 6] = 0;  // would be stored as data: an unknown command instead
        break;
      }
    }
    segs.clear();
    const int model = ModelInput(bytes, tag_, conv_, &segs);
    injected_ = true;
    std::unique_ptr<char[]> exact(new char[bytes.size()]);
    memcpy(exact.get(), bytes.data(), bytes.size());
    const int result = ikcp_input(side->kcp, exact.get(), static_cast<long>(bytes.size()));
    ZEK_FUZZ_CHECK(result == model, "ikcp_input returned %d for %zu bytes, model %d", result,
                   bytes.size(), model);
  }

  // In message mode the messages must be the peer's, whole and in order; in stream
  // mode the bytes.
  bool Delivered(const Side& from, const Side& to) const {
    if (stream_)
      return to.received_stream == from.sent_stream;
    return to.received == from.sent;
  }

  bool AllDelivered() const {
    return Delivered(sides_[0], sides_[1]) && Delivered(sides_[1], sides_[0]);
  }

  // What arrives must continue, byte for byte, what the peer sent: each message is
  // checked once, as it is taken out.
  void CheckArrival(const Side& to, const std::string& message) const {
    const Side& from = sides_[1 - to.index];
    if (stream_) {
      const size_t at = to.received_stream.size();
      ZEK_FUZZ_CHECK(
          at + message.size() <= from.sent_stream.size() &&
              from.sent_stream.compare(at, message.size(), message) == 0,
          "side %d received %zu bytes at %zu that are not what was sent there (%zu sent)", to.index,
          message.size(), at, from.sent_stream.size());
      return;
    }
    const size_t index = to.received.size();
    ZEK_FUZZ_CHECK(index < from.sent.size(), "side %d received message %zu of %zu sent", to.index,
                   index, from.sent.size());
    ZEK_FUZZ_CHECK(message == from.sent[index],
                   "side %d received message %zu as %zu bytes that differ from the %zu sent",
                   to.index, index, message.size(), from.sent[index].size());
  }

  static void CheckEngine(const IKCPCB* kcp, int index) {
    uint32_t count = 0;
    uint32_t prev = 0;
    for (const IQUEUEHEAD* p = kcp->send_buf.next; p != &kcp->send_buf; p = p->next, ++count) {
      const IKCPSEG* seg = reinterpret_cast<const IKCPSEG*>(p);
      ZEK_FUZZ_CHECK(count == 0 || Diff(seg->sn, prev) > 0, "side %d: send_buf out of order",
                     index);
      ZEK_FUZZ_CHECK(Diff(seg->sn, kcp->send_unacked) >= 0 && Diff(seg->sn, kcp->send_next) < 0,
                     "side %d: sn %u in flight outside [%u, %u)", index, seg->sn, kcp->send_unacked,
                     kcp->send_next);
      if (count == 0)
        ZEK_FUZZ_CHECK(seg->sn == kcp->send_unacked, "side %d: send_unacked %u, oldest %u", index,
                       kcp->send_unacked, seg->sn);
      prev = seg->sn;
    }
    ZEK_FUZZ_CHECK(count == kcp->send_buf_count, "side %d: send_buf holds %u, count %u", index,
                   count, kcp->send_buf_count);
    if (count == 0)
      ZEK_FUZZ_CHECK(kcp->send_unacked == kcp->send_next, "side %d: nothing in flight, una %u",
                     index, kcp->send_unacked);

    count = 0;
    for (const IQUEUEHEAD* p = kcp->recv_buf.next; p != &kcp->recv_buf; p = p->next, ++count) {
      const IKCPSEG* seg = reinterpret_cast<const IKCPSEG*>(p);
      ZEK_FUZZ_CHECK(count == 0 || Diff(seg->sn, prev) > 0, "side %d: recv_buf out of order",
                     index);
      ZEK_FUZZ_CHECK(Diff(seg->sn, kcp->recv_next) >= 0 &&
                         Diff(seg->sn, kcp->recv_next + kcp->recv_window) < 0,
                     "side %d: sn %u stored outside the window at %u", index, seg->sn,
                     kcp->recv_next);
      prev = seg->sn;
    }
    ZEK_FUZZ_CHECK(count == kcp->recv_buf_count, "side %d: recv_buf holds %u, count %u", index,
                   count, kcp->recv_buf_count);

    count = 0;
    for (const IQUEUEHEAD* p = kcp->recv_queue.next; p != &kcp->recv_queue; p = p->next)
      ++count;
    ZEK_FUZZ_CHECK(count == kcp->recv_queue_count && count <= kcp->recv_window,
                   "side %d: recv_queue holds %u, count %u", index, count, kcp->recv_queue_count);
    count = 0;
    for (const IQUEUEHEAD* p = kcp->send_queue.next; p != &kcp->send_queue; p = p->next)
      ++count;
    ZEK_FUZZ_CHECK(count == kcp->send_queue_count, "side %d: send_queue holds %u, count %u", index,
                   count, kcp->send_queue_count);
  }

  void CheckEngines() const {
    CheckEngine(sides_[0].kcp, 0);
    CheckEngine(sides_[1].kcp, 1);
  }

  FuzzInput* in_;
  Side sides_[2];
  uint32_t conv_ = 0;
  uint16_t tag_ = 0;
  bool stream_ = false;
  uint32_t now_ = 0;
  uint64_t elapsed_ = 0;
  uint64_t order_ = 0;
  uint64_t emitted_ = 0;
  bool good_link_ = false;
  bool injected_ = false;
  std::map<std::pair<uint64_t, uint64_t>, std::pair<int, std::string>> in_flight_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Harness harness(&in);
  harness.Setup();
  harness.Run();
  return 0;
}
