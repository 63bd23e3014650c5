// The TCP packet socket base over an in-memory stream socket, with a framing of its
// own (a unit is [u8 n] and n bytes, or [0xFF][u16 n] and n bytes) in a small
// subclass, against a model of the base's reading and writing: the input buffer
// starting at 128 bytes and doubling up to the limit, each read event reading until
// a short read and handing everything unconsumed to the framing once, a unit that
// can never fit ending the stream with EMSGSIZE, a framing that claims more than
// it was given losing the buffer; the output buffer taking whole writes up to the
// limit and passing on what the socket takes. The script chooses the limit, the
// size of every read, how much each send may take, what arrives, and read events
// that find nothing or fail.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/memory_socket.h"
#include "fuzz/common/output_model.h"
#include "rtc_base/asynctcpsocket.h"

namespace {

using zek_fuzz::FuzzInput;
using zek_fuzz::MemorySocket;

constexpr size_t kMinRecvSpace = 128;

// The bytes of the whole units at the front of `size` bytes at `data`; each unit's
// body goes to `units`.
size_t TakeUnits(const char* data, size_t size, std::vector<std::string>* units) {
  size_t pos = 0;
  while (pos < size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data + pos);
    const size_t left = size - pos;
    size_t header = 1;
    size_t n = p[0];
    if (n == 0xFF) {
      header = 3;
      if (left < header)
        break;
      n = static_cast<size_t>(p[1]) << 8 | p[2];
    }
    if (left < header + n)
      break;
    units->emplace_back(data + pos + header, n);
    pos += header + n;
  }
  return pos;
}

class UnitSocket : public rtc::AsyncTCPSocketBase {
 public:
  UnitSocket(rtc::AsyncSocket* socket, size_t max) : rtc::AsyncTCPSocketBase(socket, false, max) {
    SignalSendReady.connect(this, &UnitSocket::OnSendReady);
    SignalStreamClosed.connect(this, &UnitSocket::OnClosed);
    SignalStreamConnected.connect(this, &UnitSocket::OnConnected);
  }

  int Send(const void* data, size_t length, const rtc::PacketOptions&) override {
    return SendRaw(data, length);
  }
  size_t capacity() const { return input_buffer_capacity(); }
  size_t output_size() const { return output_buffer_size(); }
  void LieNextTime(size_t extra) { lie_ = extra; }

  std::vector<std::string> units;
  std::vector<size_t> inputs;  // the length of each ProcessInput call
  int send_ready = 0;
  int connected = 0;
  int closed = 0;
  int closed_error = 0;

 protected:
  void ProcessInput(char* data, size_t* length) override {
    inputs.push_back(*length);
    const size_t taken = TakeUnits(data, *length, &units);
    if (taken > 0)
      memmove(data, data + taken, *length - taken);
    *length = *length - taken + lie_;
    lie_ = 0;
  }
  void HandleIncomingConnection(rtc::AsyncSocket* socket) override { delete socket; }

 private:
  void OnSendReady(rtc::AsyncPacketSocket*) { send_ready++; }
  void OnClosed(rtc::AsyncPacketSocket*, int error) {
    closed++;
    closed_error = error;
  }
  void OnConnected(rtc::AsyncPacketSocket*) { connected++; }

  size_t lie_ = 0;
};

// What the base must do, step by step.
struct Model {
  size_t max = 0;
  size_t capacity = kMinRecvSpace;
  std::string buffer;   // input not consumed
  std::string pending;  // delivered; read up to pending_pos
  size_t pending_pos = 0;
  size_t recv_limit = 0;
  size_t lie = 0;
  rtc::Socket::ConnectionState state = rtc::Socket::SOCKET_CONNECTING;
  std::vector<std::string> units;
  std::vector<size_t> inputs;
  int closed = 0;
  int closed_error = 0;

  zek_fuzz::OutputModel out;

  void SetState(rtc::Socket::ConnectionState new_state) {
    state = new_state;
    out.connected = state == rtc::Socket::SOCKET_CONNECTED;
  }

  void Overflow() {
    SetState(rtc::Socket::SOCKET_CLOSED);
    closed++;
    closed_error = EMSGSIZE;
  }

  void ReadEvent() {
    size_t total = 0;
    while (true) {
      size_t free = capacity - buffer.size();
      if (free < kMinRecvSpace && capacity < max) {
        capacity = std::min(max, capacity * 2);
        free = capacity - buffer.size();
      }
      if (free == 0) {
        if (total > 0)
          break;
        Overflow();
        return;
      }
      size_t n = std::min(free, pending.size() - pending_pos);
      if (recv_limit > 0)
        n = std::min(n, recv_limit);
      if (n == 0)
        break;  // would block
      buffer.append(pending, pending_pos, n);
      pending_pos += n;
      total += n;
      if (n < free)
        break;
    }
    if (total == 0)
      return;
    inputs.push_back(buffer.size());
    const size_t given = buffer.size();
    const size_t taken = TakeUnits(buffer.data(), buffer.size(), &units);
    if (lie > 0) {
      // A claim within what the buffer holds keeps that many bytes from the front
      // (the rest moved there, then whatever the buffer held after it); a claim
      // beyond it loses the buffer ("input buffer overflow").
      const size_t rest = given - taken;
      if (rest + lie <= given) {
        const std::string kept = buffer.substr(taken) + buffer.substr(rest, lie);
        buffer = kept;
      } else {
        buffer.clear();
      }
      lie = 0;
    } else if (taken > 0) {
      buffer.erase(0, taken);
    }
    if (buffer.size() == capacity && capacity >= max && state != rtc::Socket::SOCKET_CLOSED)
      Overflow();
  }

  // A read event whose first Recv gets nothing: the buffer may still grow first.
  void EmptyReadEvent() {
    if (state == rtc::Socket::SOCKET_CLOSED)
      return;
    if (capacity - buffer.size() < kMinRecvSpace && capacity < max)
      capacity = std::min(max, capacity * 2);
    if (capacity == buffer.size())
      Overflow();
  }

  void Deliver(const std::string& bytes) {
    if (state == rtc::Socket::SOCKET_CLOSED)
      return;
    pending.erase(0, pending_pos);
    pending_pos = 0;
    pending += bytes;
    while (pending_pos < pending.size() && state != rtc::Socket::SOCKET_CLOSED)
      ReadEvent();
  }
};

// Units already compared are not compared again.
void Compare(const UnitSocket& real,
             const MemorySocket& socket,
             const Model& model,
             size_t* units_checked) {
  ZEK_FUZZ_CHECK(real.inputs == model.inputs,
                 "ProcessInput calls differ: %zu calls, model %zu (last %zu, model %zu)",
                 real.inputs.size(), model.inputs.size(),
                 real.inputs.empty() ? 0 : real.inputs.back(),
                 model.inputs.empty() ? 0 : model.inputs.back());
  ZEK_FUZZ_CHECK(real.units.size() == model.units.size(), "%zu units read, model %zu",
                 real.units.size(), model.units.size());
  for (; *units_checked < model.units.size(); ++*units_checked)
    ZEK_FUZZ_CHECK(real.units[*units_checked] == model.units[*units_checked],
                   "unit %zu differs from the model's", *units_checked);
  ZEK_FUZZ_CHECK(real.capacity() == model.capacity, "input capacity %zu, model %zu",
                 real.capacity(), model.capacity);
  ZEK_FUZZ_CHECK(real.closed == model.closed && real.closed_error == model.closed_error,
                 "closed %d times with %d, model %d with %d", real.closed, real.closed_error,
                 model.closed, model.closed_error);
  ZEK_FUZZ_CHECK(socket.sent() == model.out.sent, "the socket got %zu bytes, model %zu",
                 socket.sent().size(), model.out.sent.size());
  ZEK_FUZZ_CHECK(real.output_size() == model.out.queued.size(), "%zu bytes queued, model %zu",
                 real.output_size(), model.out.queued.size());
  ZEK_FUZZ_CHECK(real.send_ready == model.out.send_ready, "SignalSendReady %d times, model %d",
                 real.send_ready, model.out.send_ready);
  rtc::AsyncPacketSocket::PacketSocketState expected_state = rtc::AsyncPacketSocket::PS_CLOSED;
  if (model.state == rtc::Socket::SOCKET_CONNECTING)
    expected_state = rtc::AsyncPacketSocket::PS_CONNECTING;
  else if (model.state == rtc::Socket::SOCKET_CONNECTED)
    expected_state = rtc::AsyncPacketSocket::PS_CONNECTED;
  ZEK_FUZZ_CHECK(real.GetState() == expected_state, "state %d, model %d", real.GetState(),
                 expected_state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Model model;
  model.max = 1 + in.U32() % 70000;
  model.out.max = model.max;
  const rtc::SocketAddress remote("192.0.2.1", 4000);

  auto* socket = new MemorySocket();
  socket->Connect(remote);
  UnitSocket real(socket, model.max);
  ZEK_FUZZ_CHECK(real.capacity() == kMinRecvSpace, "the first capacity is %zu", real.capacity());
  // Most scripts start with a socket that takes only so much at a time.
  const uint8_t first_budget = in.Byte();
  if (first_budget > 0) {
    socket->set_send_budget(first_budget);
    model.out.budget = first_budget;
  }
  if (in.Byte() & 1) {
    socket->CompleteConnect();
    model.SetState(rtc::Socket::SOCKET_CONNECTED);
    ZEK_FUZZ_CHECK(real.connected == 1, "no SignalStreamConnected");
  }

  int fill = 0;
  size_t units_checked = 0;
  while (!in.empty()) {
    switch (in.Byte() % 11) {
      case 0: {  // bytes from the input
        const std::string bytes = in.Blob();
        const bool progressed = socket->Deliver(bytes);
        ZEK_FUZZ_CHECK(progressed, "a read event took none of %zu waiting bytes",
                       socket->pending());
        model.Deliver(bytes);
        break;
      }
      case 1: {  // a long run: units of 0xFF bytes, or one long unit's header and body
        const size_t n = in.U16();
        const std::string bytes(n, static_cast<char>(fill++ % 2 ? 0xFF : 0x10));
        ZEK_FUZZ_CHECK(socket->Deliver(bytes), "a read event took none of the waiting bytes");
        model.Deliver(bytes);
        break;
      }
      case 2: {
        const size_t limit = in.U16();
        socket->set_recv_limit(limit);
        model.recv_limit = limit;
        break;
      }
      case 3: {
        const uint16_t budget = in.U16();
        const long value = budget == 0xFFFF ? -1 : budget;
        socket->set_send_budget(value);
        model.out.budget = value;
        break;
      }
      case 4: {  // a write of bytes from the input
        std::string bytes = in.Blob();
        if (bytes.size() == 1)  // a long write now and then, to reach the limit
          bytes.assign(static_cast<size_t>(static_cast<unsigned char>(bytes[0])) << 8, 'w');
        int error = 0;
        const int expected = model.out.Write(bytes, &error);
        const int result = real.Send(bytes.data(), bytes.size(), rtc::PacketOptions());
        ZEK_FUZZ_CHECK(result == expected, "SendRaw of %zu returned %d, model %d", bytes.size(),
                       result, expected);
        if (expected < 0)
          ZEK_FUZZ_CHECK(real.GetError() == error, "error %d after a refused write, model %d",
                         real.GetError(), error);
        break;
      }
      case 5: {
        const long more = in.Byte();
        socket->Drain(more);
        model.out.Drain(more);
        break;
      }
      case 6: {
        const size_t extra = 1 + in.Byte() * 3u;
        real.LieNextTime(extra);
        model.lie = extra;
        break;
      }
      case 7: {  // SendTo the peer, or to another address
        const bool to_peer = in.Byte() & 1;
        const std::string bytes = in.Blob(64);
        const rtc::SocketAddress to = to_peer ? remote : rtc::SocketAddress("192.0.2.2", 4000);
        int error = ENOTCONN;
        const int expected = to_peer ? model.out.Write(bytes, &error) : -1;
        const int result = real.SendTo(bytes.data(), bytes.size(), to, rtc::PacketOptions());
        ZEK_FUZZ_CHECK(result == expected, "SendTo returned %d, model %d", result, expected);
        if (expected < 0)
          ZEK_FUZZ_CHECK(real.GetError() == error, "error %d, model %d", real.GetError(), error);
        break;
      }
      case 8:
        if (in.Byte() & 1) {
          real.Close();
          model.SetState(rtc::Socket::SOCKET_CLOSED);
        } else {
          const int error = in.Byte();
          if (model.state != rtc::Socket::SOCKET_CLOSED) {
            model.closed++;
            model.closed_error = error;
          }
          socket->RaiseClosed(error);
          model.SetState(rtc::Socket::SOCKET_CLOSED);
        }
        break;
      case 10:  // a read event that reads nothing: a would-block, or an error
        socket->RaiseReadableFailing(in.Byte() & 1 ? ECONNRESET : 0);
        model.EmptyReadEvent();
        break;
      case 9:
        if (model.state == rtc::Socket::SOCKET_CONNECTING) {
          socket->CompleteConnect();
          model.SetState(rtc::Socket::SOCKET_CONNECTED);
        }
        break;
    }
    Compare(real, *socket, model, &units_checked);
  }
  return 0;
}
