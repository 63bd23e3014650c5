#ifndef SRC_WEBSOCKET_WEBSOCKET_CLIENT_H_
#define SRC_WEBSOCKET_WEBSOCKET_CLIENT_H_

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>

#include "rtc_base/asyncpacketsocket.h"
#include "rtc_base/asyncsocket.h"
#include "rtc_base/asynctcpsocket.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/sslcertificateverifier.h"

namespace tavix {

// One received frame, unmasked.
class WebsocketMsg {
 public:
  WebsocketMsg();
  ~WebsocketMsg();

  bool fin_ = false;
  bool rsv1_ = false;
  int opcode_ = 0;
  // May hold zero bytes.
  std::string payload_;
};

// Accepts every certificate chain. The adapter still requires the peer's
// certificate to name the host, so this only lifts the trust-anchor check for
// servers with self-signed or privately issued certificates.
class TavixSSLCertificateVerifier : public rtc::SSLCertificateVerifier {
 public:
  ~TavixSSLCertificateVerifier() override;
  bool Verify(const rtc::SSLCertificate& certificate) override;
};

// The client side of a WebSocket (version 13 upgrade, base framing, masking) over
// a plain TCP socket for "/ws" or a TLS adapter for "/wss". It writes the upgrade
// request once its socket reports connected, checks the 101 response, then cuts
// the byte stream into frames and reports each through SignalMessage; a close
// frame or any failure ends in Close() followed by one SignalClose.
//
// Frames the socket cannot take yet wait, whole and in order, above the 64 KiB output
// buffer, and move into it each time the socket has drained it. A control frame (a
// pong) goes ahead of waiting data frames, at a frame boundary, so that it never waits
// behind megabytes of texts. Past kMaxWaitingBytes the client gives up as on any other
// failure of its own: a server that stops reading cannot take the app's memory.
//
// A pong carries its ping's payload. The closing handshake: a server's close frame is
// answered with a close frame carrying its status before the socket closes, and the
// owner's SendClose ends the frames it writes with one; a close frame is always the last
// frame written. A failure of the client's own ends the stream without one.
//
// Everything, sends included, belongs to the thread whose socket server runs the
// socket; another thread hands its writes to that thread (the WebSocket
// connection posts them).
class WebsocketClient : public rtc::AsyncTCPSocketBase {
 public:
  enum OpCode {
    kOpContinuation = 0,
    kOpText = 1,
    kOpBinary = 2,
    kOpClose = 8,
    kOpPing = 9,
    kOpPong = 10,
  };

  // The codes of SignalClose that the client makes itself; any other code is
  // the server's own, from its close frame.
  enum CloseCode {
    kWsHandshakeError = -100,    // "handshake error"
    kWsFrameTooLong = -101,      // "context too long"
    kWsSendQueueFull = -102,     // "send queue full": past kMaxWaitingBytes
    kWsSocketError = -103,       // "socket error:code = " and the socket's error
    kWsCloseWithoutJson = -104,  // the whole close payload
  };

  // The largest payload a frame written by this client may carry.
  static constexpr size_t kMaxSendPayload = 65534;
  // The most a control frame carries; a pong answers a longer ping empty, as no pong
  // that long may be written.
  static constexpr size_t kMaxControlPayload = 125;
  // A normal closure: the status of the owner's close, and of the answer to a server's
  // close frame that named none.
  static constexpr uint16_t kCloseNormal = 1000;
  // The answer to a server's close frame whose status may not be written.
  static constexpr uint16_t kCloseProtocolError = 1002;
  // What the socket buffers each way: 64 KiB of payload plus the largest header
  // a frame with a 16-bit length can have (8 bytes, masked), so that every such
  // frame fits whole, in and out.
  static constexpr size_t kMaxPacketSize = 65536 + 8;
  // The most bytes of frames that may wait above the output buffer (16 MiB): ample for
  // any burst of an IM app, and the same kind of limit as the 1 MiB on a received
  // message.
  static constexpr size_t kMaxWaitingBytes = 16 * 1024 * 1024;

  // A client over `socket`, or over a new TCP socket of the current thread's
  // socket server when it is null, connecting to host:port. `path` must be "/ws"
  // (plain) or "/wss" (TLS); it is also the request path. Empty `host_header`
  // and `origin` mean the host and "http://" with the host header; an empty
  // `protocol` sends no sub-protocol. Takes ownership of the socket in every case;
  // null, with the socket deleted, when anything fails.
  static WebsocketClient* Create(rtc::AsyncSocket* socket,
                                 const std::string& host,
                                 size_t port,
                                 const std::string& host_header,
                                 const std::string& path,
                                 const std::string& protocol,
                                 const std::string& origin);

  // `socket` is connected or connecting (for "/wss": the TLS adapter).
  WebsocketClient(rtc::AsyncSocket* socket,
                  const std::string& host,
                  size_t port,
                  const std::string& host_header,
                  const std::string& path,
                  const std::string& protocol,
                  const std::string& origin);
  ~WebsocketClient() override;

  // Raw bytes: SendRaw's result (the length once queued, -1 when refused).
  int Send(const void* data, size_t length, const rtc::PacketOptions& options) override;
  // Also lets go of the waiting frames: a closed socket sends none of them.
  int Close() override;

  // Builds one frame and writes it, or leaves it waiting for the socket. False when
  // it is too long (payload of 65535 bytes or more), when the client is closed or its
  // socket refuses it outright, and when it would take the waiting bytes past
  // kMaxWaitingBytes, which ends the connection (kWsSendQueueFull).
  bool SendFrame(const char* data, size_t length, bool fin, OpCode opcode, bool mask, bool rsv1);
  bool SendText(const std::string& text, bool rsv1);
  bool SendBinary(const char* data, size_t length);
  bool SendPing();
  // An empty pong.
  bool SendPong();
  // The pong that answers a ping: the ping's payload, identical (at most
  // kMaxControlPayload bytes).
  bool SendPong(const std::string& payload);
  // Begins the closing handshake as the last thing the client writes: a close frame with
  // `status`, behind every frame accepted before it; what waits goes out now as far as
  // the socket takes it, and no frame is taken afterwards. True when the socket has taken
  // everything, the close frame whole; false also when the client is not open or has
  // closed already. Nobody waits for the server's answer: the owner closes or deletes
  // the client when it likes, and what the socket has not taken by then is lost.
  bool SendClose(uint16_t status);
  // For the owner before it deletes the client: what waits goes out now as far as the
  // socket takes it, without waiting for the network; the rest goes with the client.
  void SendWaitingNow();
  // Frames waiting above the output buffer, and their bytes.
  size_t waiting_frames() const { return waiting_control_.size() + waiting_data_.size(); }
  size_t waiting_bytes() const { return waiting_bytes_; }
  // Bytes accepted that the socket has not taken: the output buffer and what waits.
  size_t unsent_bytes() const { return output_buffer_size() + waiting_bytes_; }

  // The upgrade request; fills the defaults of the header texts and a new
  // request key.
  std::string GenerateHandshakeRequest();
  bool ParseHandshakeResponse(const std::string& response);
  // The Sec-WebSocket-Accept value the server must answer for the current key;
  // empty while there is no key.
  std::string GenerateAccept();
  // Fills `length` bytes from random() after seeding it with the time; false
  // for a null buffer or a length of 0.
  static bool GenerateRandomArray(char* buffer, size_t length);
  // Takes one whole frame from the front of the `*length` bytes at `data`,
  // moving the rest to the front; null while no whole frame is there (and after
  // a 64-bit length, which closes the client).
  WebsocketMsg* GetMsg(char* data, size_t* length);
  // The framing step of the TCP base: the handshake response first, then frames.
  void ProcessInput(char* data, size_t* length) override;

  bool handshake_done() const { return handshake_done_; }
  // A close frame has been queued: the client takes no more frames.
  bool close_sent() const { return close_sent_; }
  const std::string& request_key() const { return request_key_; }

  sigslot::signal_with_thread_policy<sigslot::single_threaded, WebsocketClient*> SignalOpen;
  sigslot::signal_with_thread_policy<sigslot::single_threaded, WebsocketClient*, int, std::string>
      SignalClose;
  // The frame is the client's and is deleted right after the emission.
  sigslot::signal_with_thread_policy<sigslot::single_threaded, WebsocketClient*, WebsocketMsg*>
      SignalMessage;

  // The one verifier installed on TLS adapters: every secure Create replaces it
  // and every client's destruction deletes it, so it serves one live client at a
  // time. Touched only on the worker thread.
  static TavixSSLCertificateVerifier* self_signed_cer_verifier_;

 protected:
  // Never called: the client does not listen.
  void HandleIncomingConnection(rtc::AsyncSocket* socket) override;

 private:
  void OnConnectEvent(rtc::AsyncSocket* socket);
  void OnCloseEvent(rtc::AsyncSocket* socket, int error);
  // The output buffer has drained: the waiting frames move in.
  void OnSendReady(rtc::AsyncPacketSocket* socket);
  // Header and payload, masked with a new key when `mask`; `length` is at most
  // kMaxSendPayload.
  static std::string EncodeFrame(const char* data,
                                 size_t length,
                                 bool fin,
                                 OpCode opcode,
                                 bool mask,
                                 bool rsv1);
  // Writes the frame, or leaves it waiting: a data frame behind every waiting frame,
  // a control frame behind the waiting control frames only.
  bool QueueFrame(std::string frame, bool control);
  bool WriteFrame(const std::string& frame);
  // Moves waiting frames, control frames first, into the output buffer while they fit.
  void MoveWaitingFrames();
  void DropWaitingFrames();
  void StartHandshake();
  // Consumes the response once its header block is complete; true when the
  // bytes after it may be read as frames.
  bool ProcessHandshake(char* data, size_t* length);
  void ProcessFrames(char* data, size_t* length);
  void HandleCloseFrame(const WebsocketMsg& frame);
  // Close() and SignalClose, once: later causes are not reported again.
  void CloseWith(int code, const std::string& text);

  bool handshake_done_ = false;
  // Set by CloseWith; the client reports one end only.
  bool close_reported_ = false;
  // Set by SendClose: the close frame is the last frame written.
  bool close_sent_ = false;
  std::string host_;
  // Recorded with the host; the socket was connected to both at Create.
  [[maybe_unused]] size_t port_;
  std::string host_header_;
  std::string path_;
  std::string protocol_;
  std::string origin_;
  std::string request_key_;
  // Whole frames the output buffer could not take, oldest first, and their bytes;
  // control frames leave before data frames. Worker thread only, like the rest.
  std::deque<std::string> waiting_control_;
  std::deque<std::string> waiting_data_;
  size_t waiting_bytes_ = 0;
};

}  // namespace tavix

#endif  // SRC_WEBSOCKET_WEBSOCKET_CLIENT_H_
