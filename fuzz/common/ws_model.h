#ifndef FUZZ_COMMON_WS_MODEL_H_
#define FUZZ_COMMON_WS_MODEL_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"

namespace Json {
class Value;
}

namespace zek_fuzz {

// Independent models of what the WebSocket client reads and writes, written from
// the wire formats, against which the targets check the real code.

// JSON as the client and the connection read it: JsonCpp's default reader, where a
// text nested too deeply is no JSON rather than an exception.
bool ModelParseJson(const std::string& text, Json::Value* root);
// A member that counts as an int: a number in the int range, cut toward zero.
bool ModelJsonInt(const Json::Value& value, int* out);

// The Sec-WebSocket-Accept value that answers `key`: base64 of SHA-1 of the key
// and the protocol's fixed GUID, computed with the TLS library directly.
std::string ModelAccept(const std::string& key);

// Checks an upgrade request the client wrote and returns its key; empty, with
// `*why` set, when the request is not the one the client must send.
std::string ModelCheckRequest(const std::string& request,
                              const std::string& path,
                              const std::string& host,
                              std::string* why);

// Whether the client must accept `response` (everything up to and including the
// first blank line) for a request whose accept value is `accept`.
bool ModelAcceptsResponse(const std::string& response, const std::string& accept);

// A 101 response the client must accept, with `extra` header lines (each ending in
// "\r\n") put before the blank line.
std::string ModelValidResponse(const std::string& accept, const std::string& extra);

struct ModelFrame {
  bool fin = false;
  bool rsv1 = false;
  int opcode = 0;
  bool masked = false;
  std::string payload;  // unmasked
};

enum class FrameParse { kFrame, kNeedMore, kLength64 };

// Reads one frame at `pos` of `bytes`: 7- and 16-bit lengths, masked or not.
// *consumed is the frame's size on the wire.
FrameParse ModelParseFrame(const std::string& bytes,
                           size_t pos,
                           ModelFrame* frame,
                           size_t* consumed);

// A frame from a script: a byte of bits (FIN 0x80, RSV1 0x40, MASK 0x20, the opcode in
// the low four) and the payload as a length-prefixed run. With the bit 0x10 a payload
// of two bytes is instead the length of a long payload, so that a short input can
// send a frame of any size.
ModelFrame FrameFromScript(FuzzInput* in);

// A frame's bytes: the shortest length form, masked with `key` when `mask`.
std::string ModelEncodeFrame(const ModelFrame& frame, uint32_t key);

// What a close frame's payload makes the client report.
void ModelCloseFrame(const std::string& payload, int* code, std::string* text);

// The pong that answers a ping: masked, with the ping's payload, or empty for a ping too
// long for a control frame.
ModelFrame ModelPongFor(const ModelFrame& ping);
// A masked close frame with `status`: the client's answer to a server's close carries the
// server's status (1000 when it named none), the app's end 1000.
ModelFrame ModelCloseWith(uint16_t status);
uint16_t ModelAnswerStatus(const std::string& close_payload);
// The size on the wire of a masked frame the client writes.
size_t ModelWireSize(const ModelFrame& frame);

// One thing the client reports: SignalOpen, SignalMessage or SignalClose.
struct WsEvent {
  enum Kind { kOpen, kMessage, kClose } kind = kOpen;
  ModelFrame frame;  // kMessage
  int code = 0;      // kClose
  std::string text;  // kClose
  // kClose that a server's close frame brought: the client answers it with a close frame
  // of this status before its socket closes; -1 for every other end. Not compared: it
  // says what the client writes, not what it reports.
  int answered_status = -1;

  bool operator==(const WsEvent& other) const;
  std::string ToString() const;
};

// The client's reading, as a stream model: bytes go in as the server sent them, in
// any pieces, and the events the client must report come out. `input_limit` is the
// most bytes the client can buffer; a response or frame that cannot fit ends the
// stream with the socket error EMSGSIZE.
class WsClientModel {
 public:
  WsClientModel(std::string accept, size_t input_limit);

  // `answer_ping`, when given, is called for each ping as the client answers it, before
  // the ping's event; false means the pong passed the waiting limit, which closes the
  // client.
  void Feed(const std::string& bytes,
            std::vector<WsEvent>* events,
            const std::function<bool(const ModelFrame& ping)>& answer_ping = nullptr);
  // A frame to send passed the waiting limit: the client closes with -102.
  void SendQueueFull(std::vector<WsEvent>* events);
  // The socket reported its close with `error`.
  void SocketClosed(int error, std::vector<WsEvent>* events);
  // The slot of the next open or message event closes the client: nothing more is
  // read, and no close event follows.
  void CloseOnNextEvent() { close_on_next_event_ = true; }

  bool open() const { return open_; }
  bool closed() const { return closed_; }
  // Pings read so far: each must have been answered with one pong.
  int pings() const { return pings_; }

 private:
  void Close(int code, const std::string& text, std::vector<WsEvent>* events);
  // After an open or message event: whether its slot closed the client.
  bool ClosedBySlot();

  const std::string accept_;
  const size_t input_limit_;
  std::string buffer_;  // read, not consumed
  bool open_ = false;
  bool closed_ = false;
  bool close_on_next_event_ = false;
  int pings_ = 0;
};

// Splits what the client wrote into the upgrade request and the frames after it;
// false, with `*why` set, when the bytes are not a request followed by whole
// masked frames (a trailing partial frame is allowed only when `allow_partial`).
bool ModelSplitClientOutput(const std::string& sent,
                            bool allow_partial,
                            std::string* request,
                            std::vector<ModelFrame>* frames,
                            std::string* why);

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_WS_MODEL_H_
