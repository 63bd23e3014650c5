// The WebSocket client over an in-memory socket, through the real TCP packet socket
// base: the upgrade request it writes is checked against the request the protocol
// asks for, then the server's side comes from the script (a valid 101 response or
// any bytes, frames built from fields or raw, in pieces of any size, the socket's
// close) and every event the client reports must equal what a model of the
// handshake and the framing derives from the same bytes: open, each data, ping and
// pong frame with its bits and unmasked payload, the close with its code and text,
// nothing after a close. What the client writes must be whole masked frames: a pong
// with its ping's payload for each ping, the texts the script sends, and the answer to a
// server's close frame (its status), in the order a model of the client's way out
// gives: a frame the output buffer cannot take waits, pongs ahead of waiting texts, the
// close answer last and as far as the socket takes it at once, a closed client refuses,
// and one frame too many for the waiting limit closes the client.
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/memory_socket.h"
#include "fuzz/common/ws_model.h"
#include "fuzz/common/ws_output_model.h"
#include "src/websocket/websocket_client.h"

namespace {

using tavix::WebsocketClient;
using tavix::WebsocketMsg;
using zek_fuzz::FuzzInput;
using zek_fuzz::MemorySocket;
using zek_fuzz::ModelFrame;
using zek_fuzz::WsEvent;

constexpr char kHost[] = "192.0.2.1";

// Records the client's events; asked to, its slot closes the client from inside
// an event, as an owner may.
class Recorder : public sigslot::has_slots<> {
 public:
  void OnOpen(WebsocketClient* client) {
    WsEvent event;
    event.kind = WsEvent::kOpen;
    events.push_back(event);
    MaybeClose(client);
  }
  void OnMessage(WebsocketClient* client, WebsocketMsg* msg) {
    WsEvent event;
    event.kind = WsEvent::kMessage;
    event.frame.fin = msg->fin_;
    event.frame.rsv1 = msg->rsv1_;
    event.frame.opcode = msg->opcode_;
    event.frame.payload = msg->payload_;
    events.push_back(event);
    MaybeClose(client);
  }
  void OnClose(WebsocketClient*, int code, std::string text) {
    WsEvent event;
    event.kind = WsEvent::kClose;
    event.code = code;
    event.text = text;
    events.push_back(event);
  }

  std::vector<WsEvent> events;
  bool close_on_next_event = false;

 private:
  void MaybeClose(WebsocketClient* client) {
    if (!close_on_next_event)
      return;
    close_on_next_event = false;
    client->Close();
  }
};

void CompareEvents(const std::vector<WsEvent>& real, const std::vector<WsEvent>& model) {
  for (size_t i = 0; i < real.size() || i < model.size(); ++i) {
    ZEK_FUZZ_CHECK(i < real.size() && i < model.size() && real[i] == model[i],
                   "event %zu: client %s, model %s", i,
                   i < real.size() ? real[i].ToString().c_str() : "(none)",
                   i < model.size() ? model[i].ToString().c_str() : "(none)");
  }
}

// What the client wrote so far must be the upgrade request and then whole masked
// frames, the expected ones in order. It is read as it comes, each byte once: a
// script may have megabytes written.
class OutputChecker {
 public:
  void Check(const MemorySocket& socket,
             const zek_fuzz::OutputModel& out,
             const std::vector<ModelFrame>& expected,
             bool all_sent) {
    const std::string& sent = socket.sent();
    ZEK_FUZZ_CHECK(sent.size() == out.sent.size(), "the socket took %zu bytes, model %zu",
                   sent.size(), out.sent.size());
    if (!past_request_) {
      const size_t blank = sent.find("\r\n\r\n");
      if (blank == std::string::npos) {
        ZEK_FUZZ_CHECK(!all_sent, "no complete upgrade request");
        return;
      }
      pos_ = blank + 4;
      past_request_ = true;
    }
    while (pos_ < sent.size()) {
      ModelFrame frame;
      size_t consumed = 0;
      const zek_fuzz::FrameParse parsed = zek_fuzz::ModelParseFrame(sent, pos_, &frame, &consumed);
      ZEK_FUZZ_CHECK(parsed != zek_fuzz::FrameParse::kLength64, "the client wrote a 64-bit length");
      if (parsed == zek_fuzz::FrameParse::kNeedMore) {
        ZEK_FUZZ_CHECK(!all_sent, "the client's output ends inside a frame");
        break;
      }
      ZEK_FUZZ_CHECK(frame.masked, "the client wrote an unmasked frame");
      ZEK_FUZZ_CHECK(checked_ < expected.size(), "%zu frames written, %zu expected", checked_ + 1,
                     expected.size());
      const ModelFrame& e = expected[checked_];
      ZEK_FUZZ_CHECK(
          frame.fin && !frame.rsv1 && frame.opcode == e.opcode && frame.payload == e.payload,
          "written frame %zu: opcode %d, %zu bytes; expected opcode %d, %zu bytes", checked_,
          frame.opcode, frame.payload.size(), e.opcode, e.payload.size());
      ++checked_;
      pos_ += consumed;
    }
    if (all_sent)
      ZEK_FUZZ_CHECK(checked_ == expected.size(), "%zu frames written, %zu expected", checked_,
                     expected.size());
  }

 private:
  bool past_request_ = false;
  size_t pos_ = 0;      // the first byte of `sent` not read as a whole frame
  size_t checked_ = 0;  // frames read and found as expected
};

struct Session {
  MemorySocket* socket = nullptr;  // owned by the client
  std::unique_ptr<WebsocketClient> client;
  Recorder recorder;
  std::unique_ptr<zek_fuzz::WsClientModel> model;
  std::vector<WsEvent> expected_events;
  zek_fuzz::WsOutputModel<ModelFrame> wout;
  std::vector<ModelFrame> expected_frames;
  OutputChecker checker;
  std::string accept;

  // Each ping is answered at once with its pong; false when that pong passed the
  // waiting limit.
  bool AnswerPing(const ModelFrame& ping) {
    const ModelFrame pong = zek_fuzz::ModelPongFor(ping);
    return wout.Send(pong, zek_fuzz::ModelWireSize(pong), true) !=
           zek_fuzz::WsOutputModel<ModelFrame>::Result::kOverflow;
  }

  void Deliver(const std::string& bytes) {
    if (model->closed())
      return;
    model->Feed(bytes, &expected_events,
                [this](const ModelFrame& ping) { return AnswerPing(ping); });
    if (model->closed() && !expected_events.empty() &&
        expected_events.back().answered_status >= 0) {
      const ModelFrame close =
          zek_fuzz::ModelCloseWith(static_cast<uint16_t>(expected_events.back().answered_status));
      wout.AnswerClose(close, zek_fuzz::ModelWireSize(close));
    }
    if (model->closed())
      wout.Close();
    ZEK_FUZZ_CHECK(socket->Deliver(bytes), "a read event took none of %zu waiting bytes",
                   socket->pending());
  }

  void SendText(const std::string& text) {
    using Result = zek_fuzz::WsOutputModel<ModelFrame>::Result;
    bool expected = false;
    if (text.size() <= WebsocketClient::kMaxSendPayload) {
      const size_t header = 2 + (text.size() >= 126 ? 2 : 0) + 4;
      ModelFrame frame;
      frame.opcode = WebsocketClient::kOpText;
      frame.payload = text;
      const Result result = wout.Send(frame, header + text.size(), false);
      if (result == Result::kOverflow)
        model->SendQueueFull(&expected_events);
      expected = result == Result::kWritten || result == Result::kWaiting;
    }
    const bool sent = client->SendText(text, false);
    ZEK_FUZZ_CHECK(sent == expected, "SendText of %zu bytes returned %d, model %d", text.size(),
                   sent, expected);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.Byte();

  Session s;
  s.socket = new MemorySocket();
  s.socket->Connect(rtc::SocketAddress(kHost, 80));
  s.client.reset(new WebsocketClient(s.socket, kHost, 80, "", "/ws", "", ""));
  s.client->SignalOpen.connect(&s.recorder, &Recorder::OnOpen);
  s.client->SignalMessage.connect(&s.recorder, &Recorder::OnMessage);
  s.client->SignalClose.connect(&s.recorder, &Recorder::OnClose);

  s.socket->CompleteConnect();
  std::string why;
  const std::string key = zek_fuzz::ModelCheckRequest(s.socket->sent(), "/ws", kHost, &why);
  ZEK_FUZZ_CHECK(!key.empty(), "%s", why.c_str());
  s.accept = zek_fuzz::ModelAccept(key);
  s.wout.out.max = WebsocketClient::kMaxPacketSize;
  s.wout.out.connected = true;
  s.wout.out.sent = s.socket->sent();
  s.wout.waiting_limit = WebsocketClient::kMaxWaitingBytes;
  s.wout.written = &s.expected_frames;
  s.model.reset(new zek_fuzz::WsClientModel(s.accept, WebsocketClient::kMaxPacketSize));

  // Most scripts go on with a socket that takes only so much at a time.
  if (flags >> 1) {
    s.socket->set_send_budget((flags >> 1) * 4);
    s.wout.out.budget = (flags >> 1) * 4;
  }
  if (flags & 1)
    s.Deliver(zek_fuzz::ModelValidResponse(s.accept, ""));

  while (!in.empty()) {
    switch (in.Byte() % 9) {
      case 0:
        s.Deliver(in.Blob());
        break;
      case 1: {  // a frame from its fields
        const ModelFrame frame = zek_fuzz::FrameFromScript(&in);
        s.Deliver(zek_fuzz::ModelEncodeFrame(frame, in.U32()));
        break;
      }
      case 2: {
        const size_t limit = in.Byte();
        s.socket->set_recv_limit(limit);
        break;
      }
      case 3: {
        const uint16_t budget = in.U16();
        const long value = budget == 0xFFFF ? -1 : budget;
        s.socket->set_send_budget(value);
        s.wout.out.budget = value;
        break;
      }
      case 4: {
        const long more = in.Byte();
        s.socket->Drain(more);
        s.wout.Drain(more);
        break;
      }
      case 5: {
        std::string text = in.Blob();
        if (text.size() == 1)  // now and then a text at or beyond the largest payload
          text.assign(65530 + static_cast<unsigned char>(text[0]) % 8, 'x');
        s.SendText(text);
        break;
      }
      case 6: {
        const int error = in.Byte();
        if (!s.model->closed())
          s.model->SocketClosed(error, &s.expected_events);
        s.socket->RaiseClosed(error);
        s.wout.Close();
        break;
      }
      case 7:
        s.Deliver(zek_fuzz::ModelValidResponse(s.accept, in.Blob()));
        break;
      case 8:
        if (!s.model->closed()) {
          s.recorder.close_on_next_event = true;
          s.model->CloseOnNextEvent();
        }
        break;
    }
    CompareEvents(s.recorder.events, s.expected_events);
    s.checker.Check(*s.socket, s.wout.out, s.expected_frames, false);
  }

  // Let everything queued go out, then every expected frame must be there.
  s.socket->set_send_budget(-1);
  s.wout.out.budget = -1;
  s.socket->RaiseWritable();
  s.wout.WriteEvent();
  s.checker.Check(*s.socket, s.wout.out, s.expected_frames,
                  s.wout.out.queued.empty() && s.wout.waiting == 0);
  return 0;
}
