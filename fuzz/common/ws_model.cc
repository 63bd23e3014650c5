#include "fuzz/common/ws_model.h"

#include <errno.h>
#include <json/json.h>
#include <openssl/base64.h>
#include <openssl/sha.h>
#include <string.h>

#include <climits>
#include <map>
#include <memory>

namespace zek_fuzz {
namespace {

constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kBlankLine[] = "\r\n\r\n";

std::string Base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const size_t n = EVP_EncodeBlock(reinterpret_cast<uint8_t*>(&out[0]), data, size);
  out.resize(n);
  return out;
}

std::string Trim(const std::string& s) {
  static const char kBlanks[] = " \n\r\t";
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string::npos)
    return std::string();
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool ModelParseJson(const std::string& text, Json::Value* root) {
  *root = Json::Value();
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(text.data(), text.data() + text.size(), root, nullptr);
  } catch (const Json::Exception&) {
    *root = Json::Value();
    return false;
  }
}

bool ModelJsonInt(const Json::Value& value, int* out) {
  switch (value.type()) {
    case Json::intValue:
      if (value.asLargestInt() < INT_MIN || value.asLargestInt() > INT_MAX)
        return false;
      *out = static_cast<int>(value.asLargestInt());
      return true;
    case Json::uintValue:
      if (value.asLargestUInt() > static_cast<Json::LargestUInt>(INT_MAX))
        return false;
      *out = static_cast<int>(value.asLargestUInt());
      return true;
    case Json::realValue: {
      const double d = value.asDouble();
      if (!(d >= static_cast<double>(INT_MIN) && d <= static_cast<double>(INT_MAX)))
        return false;
      *out = static_cast<int>(d);
      return true;
    }
    default:
      return false;
  }
}

std::string ModelAccept(const std::string& key) {
  const std::string input = key + kGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(input.data()), input.size(), digest);
  return Base64(digest, sizeof(digest));
}

std::string ModelCheckRequest(const std::string& request,
                              const std::string& path,
                              const std::string& host,
                              std::string* why) {
  static const char kKeyHeader[] = "Sec-WebSocket-Key: ";
  const size_t at = request.find(kKeyHeader);
  if (at == std::string::npos) {
    *why = "no key header";
    return std::string();
  }
  const size_t key_start = at + strlen(kKeyHeader);
  const size_t key_end = request.find("\r\n", key_start);
  if (key_end == std::string::npos) {
    *why = "unterminated key header";
    return std::string();
  }
  const std::string key = request.substr(key_start, key_end - key_start);
  uint8_t raw[32];
  size_t raw_len = 0;
  if (key.size() != 24 ||
      !EVP_DecodeBase64(raw, &raw_len, sizeof(raw), reinterpret_cast<const uint8_t*>(key.data()),
                        key.size()) ||
      raw_len != 16) {
    *why = "the key is not 16 bytes in base64: " + key;
    return std::string();
  }
  const std::string expected = "GET " + path + " HTTP/1.1\r\nHost: " + host +
                               "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nOrigin: http://" +
                               host + "\r\nSec-WebSocket-Key: " + key +
                               "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (request != expected) {
    *why = "request differs from the one expected:\n" + request;
    return std::string();
  }
  return key;
}

bool ModelAcceptsResponse(const std::string& response, const std::string& accept) {
  if (response.compare(0, 12, "HTTP/1.1 101") != 0)
    return false;
  std::map<std::string, std::string> headers;
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find('\n', start);
    if (end == std::string::npos)
      end = response.size();
    const std::string line = response.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos)
      headers[line.substr(0, colon)] = Trim(line.substr(colon + 1));
    start = end + 1;
  }
  if (!headers.count("Connection") || !headers.count("Upgrade"))
    return false;
  const auto found = headers.find("Sec-WebSocket-Accept");
  return found != headers.end() && found->second == accept;
}

std::string ModelValidResponse(const std::string& accept, const std::string& extra) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         accept + "\r\n" + extra + "\r\n";
}

FrameParse ModelParseFrame(const std::string& bytes,
                           size_t pos,
                           ModelFrame* frame,
                           size_t* consumed) {
  const size_t n = bytes.size() - pos;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
  if (n < 2)
    return FrameParse::kNeedMore;
  size_t header = 2;
  size_t length = p[1] & 0x7F;
  if (length == 127)
    return FrameParse::kLength64;
  if (length == 126) {
    header = 4;
    if (n < header)
      return FrameParse::kNeedMore;
    length = static_cast<size_t>(p[2]) << 8 | p[3];
  }
  const bool masked = (p[1] & 0x80) != 0;
  unsigned char key[4] = {0, 0, 0, 0};
  if (masked) {
    if (n < header + 4)
      return FrameParse::kNeedMore;
    memcpy(key, p + header, 4);
    header += 4;
  }
  if (n < header + length)
    return FrameParse::kNeedMore;
  frame->fin = (p[0] & 0x80) != 0;
  frame->rsv1 = (p[0] & 0x40) != 0;
  frame->opcode = p[0] & 0x0F;
  frame->masked = masked;
  frame->payload.assign(reinterpret_cast<const char*>(p + header), length);
  for (size_t i = 0; masked && i < length; ++i)
    frame->payload[i] = static_cast<char>(frame->payload[i] ^ key[i % 4]);
  *consumed = header + length;
  return FrameParse::kFrame;
}

ModelFrame FrameFromScript(FuzzInput* in) {
  const uint8_t bits = in->Byte();
  ModelFrame frame;
  frame.fin = bits & 0x80;
  frame.rsv1 = bits & 0x40;
  frame.masked = bits & 0x20;
  frame.opcode = bits & 0x0F;
  frame.payload = in->Blob();
  if ((bits & 0x10) && frame.payload.size() == 2) {
    const size_t size = static_cast<size_t>(static_cast<unsigned char>(frame.payload[0])) << 8 |
                        static_cast<unsigned char>(frame.payload[1]);
    frame.payload.assign(size, static_cast<char>('a' + size % 26));
  }
  return frame;
}

std::string ModelEncodeFrame(const ModelFrame& frame, uint32_t key) {
  std::string out;
  out.push_back(
      static_cast<char>((frame.fin ? 0x80 : 0) | (frame.rsv1 ? 0x40 : 0) | (frame.opcode & 0x0F)));
  const size_t length = frame.payload.size();
  const char mask_bit = frame.masked ? static_cast<char>(0x80) : 0;
  if (length < 126) {
    out.push_back(static_cast<char>(mask_bit | static_cast<char>(length)));
  } else {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(length & 0xFF));
  }
  std::string payload = frame.payload;
  if (frame.masked) {
    const char k[4] = {static_cast<char>(key >> 24), static_cast<char>(key >> 16),
                       static_cast<char>(key >> 8), static_cast<char>(key)};
    out.append(k, 4);
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<char>(payload[i] ^ k[i % 4]);
  }
  return out + payload;
}

void ModelCloseFrame(const std::string& payload, int* code, std::string* text) {
  std::string json;
  if (payload.size() > 2)
    json =
        payload.substr(2, payload.find('\0', 2) == std::string::npos ? std::string::npos
                                                                     : payload.find('\0', 2) - 2);
  Json::Value root;
  int value = 0;
  if (ModelParseJson(json, &root) && root.isObject() && root.isMember("msg") &&
      !root["msg"].isNull() && root.isMember("code") && ModelJsonInt(root["code"], &value)) {
    *code = value;
    *text = json;
    return;
  }
  *code = -104;
  *text = payload;
}

ModelFrame ModelPongFor(const ModelFrame& ping) {
  ModelFrame pong;
  pong.fin = true;
  pong.opcode = 10;
  pong.masked = true;
  if (ping.payload.size() <= 125)
    pong.payload = ping.payload;
  return pong;
}

ModelFrame ModelCloseWith(uint16_t status) {
  ModelFrame close;
  close.fin = true;
  close.opcode = 8;
  close.masked = true;
  close.payload = {static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)};
  return close;
}

uint16_t ModelAnswerStatus(const std::string& close_payload) {
  if (close_payload.size() < 2)
    return 1000;
  const uint16_t status = static_cast<uint16_t>(static_cast<unsigned char>(close_payload[0]) << 8 |
                                                static_cast<unsigned char>(close_payload[1]));
  // Statuses no endpoint may write are answered as the protocol error they are.
  if (status < 1000 || status == 1005 || status == 1006 || status == 1015)
    return 1002;
  return status;
}

size_t ModelWireSize(const ModelFrame& frame) {
  return 2 + (frame.payload.size() >= 126 ? 2 : 0) + 4 + frame.payload.size();
}

bool WsEvent::operator==(const WsEvent& other) const {
  if (kind != other.kind)
    return false;
  if (kind == kMessage)
    return frame.fin == other.frame.fin && frame.rsv1 == other.frame.rsv1 &&
           frame.opcode == other.frame.opcode && frame.payload == other.frame.payload;
  if (kind == kClose)
    return code == other.code && text == other.text;
  return true;
}

std::string WsEvent::ToString() const {
  switch (kind) {
    case kOpen:
      return "open";
    case kMessage:
      return "message fin=" + std::to_string(frame.fin) + " rsv1=" + std::to_string(frame.rsv1) +
             " opcode=" + std::to_string(frame.opcode) +
             " size=" + std::to_string(frame.payload.size());
    case kClose:
      return "close " + std::to_string(code) + " \"" + text + "\"";
  }
  return "?";
}

WsClientModel::WsClientModel(std::string accept, size_t input_limit)
    : accept_(std::move(accept)), input_limit_(input_limit) {}

void WsClientModel::Close(int code, const std::string& text, std::vector<WsEvent>* events) {
  closed_ = true;
  buffer_.clear();
  WsEvent event;
  event.kind = WsEvent::kClose;
  event.code = code;
  event.text = text;
  events->push_back(event);
}

bool WsClientModel::ClosedBySlot() {
  if (!close_on_next_event_)
    return false;
  close_on_next_event_ = false;
  closed_ = true;
  buffer_.clear();
  return true;
}

void WsClientModel::SocketClosed(int error, std::vector<WsEvent>* events) {
  if (closed_)
    return;
  Close(-103, "socket error:code = " + std::to_string(error), events);
}

void WsClientModel::SendQueueFull(std::vector<WsEvent>* events) {
  if (!closed_)
    Close(-102, "send queue full", events);
}

void WsClientModel::Feed(const std::string& bytes,
                         std::vector<WsEvent>* events,
                         const std::function<bool(const ModelFrame& ping)>& answer_ping) {
  if (closed_)
    return;
  buffer_ += bytes;
  size_t pos = 0;
  while (!closed_) {
    if (!open_) {
      const size_t blank = buffer_.find(kBlankLine, pos);
      if (blank == std::string::npos || blank + 4 - pos > input_limit_)
        break;
      const std::string response = buffer_.substr(pos, blank + 4 - pos);
      pos = blank + 4;
      if (!ModelAcceptsResponse(response, accept_)) {
        Close(-100, "handshake error", events);
        return;
      }
      open_ = true;
      WsEvent event;
      event.kind = WsEvent::kOpen;
      events->push_back(event);
      if (ClosedBySlot())
        return;
      continue;
    }
    ModelFrame frame;
    size_t consumed = 0;
    const FrameParse parsed = ModelParseFrame(buffer_, pos, &frame, &consumed);
    if (parsed == FrameParse::kNeedMore)
      break;
    if (parsed == FrameParse::kLength64) {
      Close(-101, "context too long", events);
      return;
    }
    pos += consumed;
    switch (frame.opcode) {
      case 9:
        pings_++;
        if (answer_ping && !answer_ping(frame)) {
          SendQueueFull(events);
          return;
        }
        [[fallthrough]];
      case 0:
      case 1:
      case 2:
      case 10: {
        WsEvent event;
        event.kind = WsEvent::kMessage;
        event.frame = frame;
        events->push_back(event);
        if (ClosedBySlot())
          return;
        break;
      }
      case 8: {
        int code = 0;
        std::string text;
        ModelCloseFrame(frame.payload, &code, &text);
        Close(code, text, events);
        events->back().answered_status = ModelAnswerStatus(frame.payload);
        return;
      }
      default:
        break;
    }
  }
  buffer_.erase(0, pos);
  // What is left is the start of one response or frame; once it fills the whole
  // input buffer it can never be completed.
  if (!closed_ && buffer_.size() >= input_limit_)
    Close(-103, "socket error:code = " + std::to_string(EMSGSIZE), events);
}

bool ModelSplitClientOutput(const std::string& sent,
                            bool allow_partial,
                            std::string* request,
                            std::vector<ModelFrame>* frames,
                            std::string* why) {
  const size_t blank = sent.find(kBlankLine);
  if (blank == std::string::npos) {
    *request = sent;
    if (!allow_partial) {
      *why = "no complete upgrade request";
      return false;
    }
    return true;
  }
  *request = sent.substr(0, blank + 4);
  size_t pos = blank + 4;
  while (pos < sent.size()) {
    ModelFrame frame;
    size_t consumed = 0;
    const FrameParse parsed = ModelParseFrame(sent, pos, &frame, &consumed);
    if (parsed == FrameParse::kLength64) {
      *why = "the client wrote a 64-bit length";
      return false;
    }
    if (parsed == FrameParse::kNeedMore) {
      if (allow_partial)
        return true;
      *why = "the client's output ends inside a frame";
      return false;
    }
    if (!frame.masked) {
      *why = "the client wrote an unmasked frame";
      return false;
    }
    frames->push_back(frame);
    pos += consumed;
  }
  return true;
}

}  // namespace zek_fuzz
