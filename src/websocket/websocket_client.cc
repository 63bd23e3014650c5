#include "src/websocket/websocket_client.h"

#include <json/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "rtc_base/base64.h"
#include "rtc_base/logging.h"
#include "rtc_base/messagedigest.h"
#include "rtc_base/openssladapter.h"
#include "rtc_base/socketaddress.h"
#include "rtc_base/socketserver.h"
#include "rtc_base/ssladapter.h"
#include "rtc_base/stringencode.h"
#include "rtc_base/stringutils.h"
#include "rtc_base/thread.h"
#include "src/utilities/json_reader.h"

namespace tavix {
namespace {

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kKeySize = 16;
constexpr int kWebSocketVersion = 13;
// Byte 1's length field: 126 announces a 16-bit length, 127 a 64-bit one.
constexpr size_t kLength16 = 126;
constexpr size_t kLength64 = 127;
constexpr size_t kMaxHeaderSize = 2 + 2 + 4;

// Every frame with a 7- or 16-bit length must fit the input buffer whole, or it
// could never be completed and the stream would stall.
static_assert(WebsocketClient::kMaxPacketSize >= kMaxHeaderSize + 0xFFFF,
              "a frame with a 16-bit length must fit the input buffer");
static_assert(WebsocketClient::kMaxPacketSize >= kMaxHeaderSize + WebsocketClient::kMaxSendPayload,
              "the largest frame written must fit the output buffer");

// Bit 7 is the most significant bit of the byte.
void SetBit(char* byte, int n) {
  *byte = static_cast<char>(static_cast<unsigned char>(*byte) | (1u << n));
}

int GetBit(char byte, int n) {
  return (static_cast<unsigned char>(byte) >> n) & 1;
}

void Set16Bit(int value, char* out) {
  out[0] = static_cast<char>((value >> 8) & 0xFF);
  out[1] = static_cast<char>(value & 0xFF);
}

unsigned int Get16Bit(const char* in) {
  return (static_cast<unsigned int>(static_cast<unsigned char>(in[0])) << 8) |
         static_cast<unsigned char>(in[1]);
}

void Set32Bit(int value, char* out) {
  const uint32_t v = static_cast<uint32_t>(value);
  out[0] = static_cast<char>((v >> 24) & 0xFF);
  out[1] = static_cast<char>((v >> 16) & 0xFF);
  out[2] = static_cast<char>((v >> 8) & 0xFF);
  out[3] = static_cast<char>(v & 0xFF);
}

// In place; masking and unmasking are the same XOR.
void MaskContent(char* data, size_t length, const char* key) {
  for (size_t i = 0; i < length; ++i)
    data[i] = static_cast<char>(data[i] ^ key[i % 4]);
}

}  // namespace

WebsocketMsg::WebsocketMsg() = default;
WebsocketMsg::~WebsocketMsg() = default;

TavixSSLCertificateVerifier::~TavixSSLCertificateVerifier() = default;

bool TavixSSLCertificateVerifier::Verify(const rtc::SSLCertificate& /*certificate*/) {
  return true;
}

TavixSSLCertificateVerifier* WebsocketClient::self_signed_cer_verifier_ = nullptr;

WebsocketClient* WebsocketClient::Create(rtc::AsyncSocket* socket,
                                         const std::string& host,
                                         size_t port,
                                         const std::string& host_header,
                                         const std::string& path,
                                         const std::string& protocol,
                                         const std::string& origin) {
  std::unique_ptr<rtc::AsyncSocket> owned(socket);
  if (!owned) {
    rtc::Thread* current = rtc::Thread::Current();
    if (!current || !current->socketserver())
      return nullptr;
    owned.reset(current->socketserver()->CreateAsyncSocket(AF_INET, SOCK_STREAM));
    if (!owned)
      return nullptr;
  }
  // A larger number would name another port once cut to 16 bits.
  if (port > 0xFFFF)
    return nullptr;
  // Small messages answered by small replies: Nagle's wait for the acknowledgement of
  // the previous segment, met by the server's delayed acknowledgement, would add a round
  // trip to a message sent while another is unacknowledged. A socket that refuses the
  // option still works.
  owned->SetOption(rtc::Socket::OPT_NODELAY, 1);
  const rtc::SocketAddress local("0.0.0.0", 0);
  const rtc::SocketAddress remote(host, static_cast<int>(port));

  if (path == "/ws") {
    rtc::AsyncSocket* connecting =
        rtc::AsyncTCPSocketBase::ConnectSocket(owned.release(), local, remote);
    if (!connecting)
      return nullptr;
    return new WebsocketClient(connecting, host, port, host_header, path, protocol, origin);
  }
  if (path != "/wss")
    return nullptr;

  if (!rtc::OpenSSLAdapter::InitializeSSL())
    return nullptr;
  if (owned->Bind(local) < 0)
    return nullptr;
  std::unique_ptr<rtc::SSLAdapter> adapter(rtc::SSLAdapter::Create(owned.release()));
  if (!adapter)
    return nullptr;
  adapter->SetRole(rtc::SSL_ROLE_CLIENT);
  adapter->SetMode(rtc::SSL_MODE_STREAM);
  adapter->SetAlpnProtocols(std::vector<std::string>());
  adapter->SetEllipticCurves(std::vector<std::string>());
  delete self_signed_cer_verifier_;
  self_signed_cer_verifier_ = new TavixSSLCertificateVerifier();
  adapter->SetCertVerifier(self_signed_cer_verifier_);
  // The socket is not connected yet: the TLS handshake waits for its connect.
  if (adapter->StartSSL(remote.hostname().c_str(), false) != 0)
    return nullptr;
  if (adapter->Connect(remote) < 0)
    return nullptr;
  return new WebsocketClient(adapter.release(), host, port, host_header, path, protocol, origin);
}

WebsocketClient::WebsocketClient(rtc::AsyncSocket* socket,
                                 const std::string& host,
                                 size_t port,
                                 const std::string& host_header,
                                 const std::string& path,
                                 const std::string& protocol,
                                 const std::string& origin)
    : rtc::AsyncTCPSocketBase(socket, false, kMaxPacketSize),
      host_(host),
      port_(port),
      host_header_(host_header),
      path_(path),
      protocol_(protocol),
      origin_(origin) {
  // After the base's own connections, so the base's handlers run first.
  this->socket()->SignalConnected.connect(this, &WebsocketClient::OnConnectEvent);
  this->socket()->SignalClosed.connect(this, &WebsocketClient::OnCloseEvent);
  SignalSendReady.connect(this, &WebsocketClient::OnSendReady);
}

WebsocketClient::~WebsocketClient() {
  Close();
  delete self_signed_cer_verifier_;
  self_signed_cer_verifier_ = nullptr;
  rtc::OpenSSLAdapter::CleanupSSL();
}

int WebsocketClient::Send(const void* data, size_t length, const rtc::PacketOptions& /*options*/) {
  return SendRaw(data, length);
}

int WebsocketClient::Close() {
  // At once, not when the owner gets round to deleting the client: up to
  // kMaxWaitingBytes that can never leave.
  DropWaitingFrames();
  return rtc::AsyncTCPSocketBase::Close();
}

void WebsocketClient::HandleIncomingConnection(rtc::AsyncSocket* /*socket*/) {}

void WebsocketClient::OnConnectEvent(rtc::AsyncSocket* /*socket*/) {
  StartHandshake();
}

void WebsocketClient::OnCloseEvent(rtc::AsyncSocket* /*socket*/, int error) {
  CloseWith(kWsSocketError, "socket error:code = " + std::to_string(error));
}

void WebsocketClient::CloseWith(int code, const std::string& text) {
  Close();
  if (close_reported_)
    return;
  close_reported_ = true;
  SignalClose(this, code, text);
}

void WebsocketClient::StartHandshake() {
  const std::string request = GenerateHandshakeRequest();
  Send(request.data(), request.size(), rtc::PacketOptions());
}

bool WebsocketClient::GenerateRandomArray(char* buffer, size_t length) {
  if (!buffer || length == 0)
    return false;
  srandom(static_cast<unsigned int>(time(nullptr)));
  for (size_t i = 0; i < length; ++i)
    buffer[i] = static_cast<char>(random() % 256);
  return true;
}

std::string WebsocketClient::GenerateHandshakeRequest() {
  if (host_header_.empty())
    host_header_ = host_;
  if (origin_.empty())
    origin_ = "http://" + host_header_;
  if (path_.empty())
    path_ = "/";

  char key[kKeySize];
  GenerateRandomArray(key, sizeof(key));
  rtc::Base64::EncodeFromArray(key, sizeof(key), &request_key_);

  std::string protocol_line;
  if (!protocol_.empty())
    protocol_line = "Sec-WebSocket-Protocol: " + protocol_ + "\r\n";

  // Built whole: a request cut at some fixed size would only be refused.
  std::string request;
  request.reserve(256 + path_.size() + host_header_.size() + origin_.size() + protocol_.size());
  request += "GET " + path_ + " HTTP/1.1\r\n";
  request += "Host: " + host_header_ + "\r\n";
  request += "Connection: Upgrade\r\n";
  request += "Upgrade: websocket\r\n";
  request += "Origin: " + origin_ + "\r\n";
  request += "Sec-WebSocket-Key: " + request_key_ + "\r\n";
  request += protocol_line;
  request += "Sec-WebSocket-Version: " + std::to_string(kWebSocketVersion) + "\r\n\r\n";
  return request;
}

std::string WebsocketClient::GenerateAccept() {
  if (request_key_.empty())
    return std::string();
  std::unique_ptr<rtc::MessageDigest> sha1(rtc::MessageDigestFactory::Create(rtc::DIGEST_SHA_1));
  if (!sha1)
    return std::string();
  const std::string input = request_key_ + kAcceptGuid;
  char digest[20];
  const size_t size =
      rtc::ComputeDigest(sha1.get(), input.data(), input.size(), digest, sizeof(digest));
  std::string accept;
  rtc::Base64::EncodeFromArray(digest, size, &accept);
  return accept;
}

bool WebsocketClient::ParseHandshakeResponse(const std::string& response) {
  // Without a key of ours there is nothing the response could answer.
  if (request_key_.empty())
    return false;
  if (response.compare(0, 12, "HTTP/1.1 101") != 0)
    return false;
  std::vector<std::string> lines;
  rtc::tokenize(response, '\n', &lines);
  std::map<std::string, std::string> headers;
  for (const std::string& line : lines) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    headers[line.substr(0, colon)] = rtc::string_trim(line.substr(colon + 1));
  }
  if (headers.count("Connection") == 0 || headers.count("Upgrade") == 0)
    return false;
  const auto accept = headers.find("Sec-WebSocket-Accept");
  if (accept == headers.end())
    return false;
  return accept->second == GenerateAccept();
}

void WebsocketClient::ProcessInput(char* data, size_t* length) {
  if (!handshake_done_ && !ProcessHandshake(data, length))
    return;
  ProcessFrames(data, length);
}

bool WebsocketClient::ProcessHandshake(char* data, size_t* length) {
  // The response ends at its first blank line; whatever follows is the server's
  // first frames, which stay in the buffer.
  const void* found = memmem(data, *length, kHeaderEnd, strlen(kHeaderEnd));
  if (!found)
    return false;
  const size_t response_size =
      static_cast<size_t>(static_cast<const char*>(found) - data) + strlen(kHeaderEnd);
  const std::string response(data, response_size);
  const size_t rest = *length - response_size;
  memmove(data, data + response_size, rest);
  *length = rest;

  if (!ParseHandshakeResponse(response)) {
    *length = 0;
    CloseWith(kWsHandshakeError, "handshake error");
    return false;
  }
  handshake_done_ = true;
  SignalOpen(this);
  // A slot may have closed the client.
  if (close_reported_ || GetState() == PS_CLOSED) {
    *length = 0;
    return false;
  }
  return true;
}

void WebsocketClient::ProcessFrames(char* data, size_t* length) {
  while (*length > 0) {
    std::unique_ptr<WebsocketMsg> frame(GetMsg(data, length));
    if (!frame)
      return;
    switch (frame->opcode_) {
      case kOpPing:
        printf("recv server's keepalive...\n");
        fflush(stdout);
        SendPong(frame->payload_);
        // A pong past the waiting limit has closed the client: nothing follows its close.
        if (!close_reported_)
          SignalMessage(this, frame.get());
        break;
      case kOpClose:
        HandleCloseFrame(*frame);
        break;
      case kOpContinuation:
      case kOpText:
      case kOpBinary:
      case kOpPong:
        SignalMessage(this, frame.get());
        break;
      default:
        // Reserved opcodes carry nothing we understand.
        break;
    }
    // Nothing after a close is read: the client reports one end only.
    if (close_reported_ || GetState() == PS_CLOSED) {
      *length = 0;
      return;
    }
  }
}

WebsocketMsg* WebsocketClient::GetMsg(char* data, size_t* length) {
  const size_t n = *length;
  if (n < 2)
    return nullptr;
  const bool fin = GetBit(data[0], 7) != 0;
  const bool rsv1 = GetBit(data[0], 6) != 0;
  const int opcode = static_cast<unsigned char>(data[0]) & 0x0F;
  const bool masked = GetBit(data[1], 7) != 0;
  size_t payload_size = static_cast<unsigned char>(data[1]) & 0x7F;
  size_t header_size = 2;

  if (payload_size == kLength16) {
    header_size = 4;
    if (n < header_size)
      return nullptr;
    payload_size = Get16Bit(data + 2);
  } else if (payload_size == kLength64) {
    RTC_LOG(LS_ERROR) << "Don't support len is bigger than 64KB";
    CloseWith(kWsFrameTooLong, "context too long");
    return nullptr;
  }
  const char* key = nullptr;
  if (masked) {
    header_size += 4;
    if (n < header_size)
      return nullptr;
    key = data + header_size - 4;
  }
  if (n - header_size < payload_size)
    return nullptr;

  auto* frame = new WebsocketMsg();
  frame->fin_ = fin;
  frame->rsv1_ = rsv1;
  frame->opcode_ = opcode;
  char* payload = data + header_size;
  if (payload_size > 0) {
    if (masked)
      MaskContent(payload, payload_size, key);
    frame->payload_.assign(payload, payload_size);
  }
  const size_t consumed = header_size + payload_size;
  *length = n - consumed;
  if (*length > 0)
    memmove(data, data + consumed, *length);
  return frame;
}

void WebsocketClient::HandleCloseFrame(const WebsocketMsg& frame) {
  // The first two bytes are the close status; the JSON text after them ends at
  // the first zero byte.
  std::string text;
  if (frame.payload_.size() > 2) {
    const char* start = frame.payload_.data() + 2;
    text.assign(start, strnlen(start, frame.payload_.size() - 2));
  }
  Json::Value root;
  int code = kWsCloseWithoutJson;
  std::string reported = frame.payload_;
  if (ParseJson(text.data(), text.size(), &root) && root.isObject()) {
    const Json::Value& object = root;
    int json_code = 0;
    if (!object["msg"].isNull() && ReadJsonInt(object["code"], &json_code)) {
      code = json_code;
      reported = text;
    }
  }
  // The closing handshake ends with our close frame, its status the server's. What
  // waits would follow the server's close, which ends what the server reads: it goes.
  uint16_t status = frame.payload_.size() >= 2
                        ? static_cast<uint16_t>(Get16Bit(frame.payload_.data()))
                        : kCloseNormal;
  // Below 1000, and the three that stand for a close without a frame, no endpoint may
  // write: the server broke the protocol, and the answer says so rather than echo it.
  if (status < 1000 || status == 1005 || status == 1006 || status == 1015)
    status = kCloseProtocolError;
  DropWaitingFrames();
  SendClose(status);
  CloseWith(code, reported);
}

bool WebsocketClient::SendFrame(const char* data,
                                size_t length,
                                bool fin,
                                OpCode opcode,
                                bool mask,
                                bool rsv1) {
  if (length > kMaxSendPayload) {
    RTC_LOG(LS_ERROR) << "Don't support len is bigger than 64KB";
    return false;
  }
  if (!data && length > 0)
    return false;
  // Opcodes 8 to 15 are control frames, which may go between the frames of others.
  return QueueFrame(EncodeFrame(data, length, fin, opcode, mask, rsv1), (opcode & 0x08) != 0);
}

std::string WebsocketClient::EncodeFrame(const char* data,
                                         size_t length,
                                         bool fin,
                                         OpCode opcode,
                                         bool mask,
                                         bool rsv1) {
  size_t header_size = 2;
  if (length >= kLength16)
    header_size += 2;
  if (mask)
    header_size += 4;
  std::string frame(header_size + length, '\0');
  if (fin)
    SetBit(&frame[0], 7);
  if (rsv1)
    SetBit(&frame[0], 6);
  frame[0] = static_cast<char>(static_cast<unsigned char>(frame[0]) | (opcode & 0x0F));
  if (mask)
    SetBit(&frame[1], 7);
  size_t offset = 2;
  if (length < kLength16) {
    frame[1] = static_cast<char>(static_cast<unsigned char>(frame[1]) | length);
  } else {
    frame[1] = static_cast<char>(static_cast<unsigned char>(frame[1]) | kLength16);
    Set16Bit(static_cast<int>(length), &frame[offset]);
    offset += 2;
  }
  char* key = nullptr;
  if (mask) {
    key = &frame[offset];
    Set32Bit(static_cast<int>(random()), key);
    offset += 4;
  }
  if (length > 0) {
    memcpy(&frame[offset], data, length);
    if (mask)
      MaskContent(&frame[offset], length, key);
  }
  return frame;
}

bool WebsocketClient::QueueFrame(std::string frame, bool control) {
  // Nothing follows a close frame.
  if (GetState() == PS_CLOSED || close_sent_)
    return false;
  // Nothing goes ahead of what waits of its own kind; the output buffer ends at a
  // frame boundary, so a control frame appended to it does not split a data frame.
  const bool behind_others = !waiting_control_.empty() || (!control && !waiting_data_.empty());
  if (!behind_others && output_buffer_size() + frame.size() <= kMaxPacketSize)
    return WriteFrame(frame);
  if (frame.size() > kMaxWaitingBytes - waiting_bytes_) {
    RTC_LOG(LS_ERROR) << "send queue full: " << waiting_bytes_ << " bytes wait for the socket";
    CloseWith(kWsSendQueueFull, "send queue full");
    return false;
  }
  waiting_bytes_ += frame.size();
  (control ? waiting_control_ : waiting_data_).push_back(std::move(frame));
  return true;
}

bool WebsocketClient::WriteFrame(const std::string& frame) {
  return Send(frame.data(), frame.size(), rtc::PacketOptions()) != -1;
}

void WebsocketClient::OnSendReady(rtc::AsyncPacketSocket* /*socket*/) {
  MoveWaitingFrames();
}

void WebsocketClient::MoveWaitingFrames() {
  for (;;) {
    std::deque<std::string>& from = waiting_control_.empty() ? waiting_data_ : waiting_control_;
    if (from.empty())
      return;
    const std::string& frame = from.front();
    if (output_buffer_size() + frame.size() > kMaxPacketSize)
      return;
    // A socket that refuses outright is failing; its close event follows.
    if (!WriteFrame(frame))
      return;
    waiting_bytes_ -= frame.size();
    from.pop_front();
  }
}

void WebsocketClient::SendWaitingNow() {
  if (GetState() == PS_CLOSED)
    return;
  for (;;) {
    MoveWaitingFrames();
    // Empty, the output buffer would have taken any waiting frame.
    if (output_buffer_size() == 0)
      return;
    if (FlushOutBuffer() <= 0)
      return;
  }
}

void WebsocketClient::DropWaitingFrames() {
  // Swapped out so that the deques' storage goes too.
  std::deque<std::string>().swap(waiting_control_);
  std::deque<std::string>().swap(waiting_data_);
  waiting_bytes_ = 0;
}

bool WebsocketClient::SendText(const std::string& text, bool rsv1) {
  return SendFrame(text.data(), text.size(), true, kOpText, true, rsv1);
}

bool WebsocketClient::SendBinary(const char* data, size_t length) {
  return SendFrame(data, length, true, kOpBinary, true, false);
}

bool WebsocketClient::SendPing() {
  return SendFrame(nullptr, 0, true, kOpPing, true, false);
}

bool WebsocketClient::SendPong() {
  return SendFrame(nullptr, 0, true, kOpPong, true, false);
}

bool WebsocketClient::SendPong(const std::string& payload) {
  // A ping too long for a control frame is the server's fault; the empty pong it always
  // got still says the client is there.
  if (payload.size() > kMaxControlPayload)
    return SendPong();
  return SendFrame(payload.data(), payload.size(), true, kOpPong, true, false);
}

bool WebsocketClient::SendClose(uint16_t status) {
  if (!handshake_done_ || close_sent_ || GetState() == PS_CLOSED)
    return false;
  close_sent_ = true;
  char payload[2];
  Set16Bit(status, payload);
  // Behind every waiting frame, data and control alike, and not among the control
  // frames: what the client accepted before its close goes first.
  std::string frame = EncodeFrame(payload, sizeof(payload), true, kOpClose, true, false);
  waiting_bytes_ += frame.size();
  waiting_data_.push_back(std::move(frame));
  SendWaitingNow();
  return unsent_bytes() == 0;
}

}  // namespace tavix
