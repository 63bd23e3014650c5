#ifndef TESTS_SUPPORT_WS_TEST_SERVER_H_
#define TESTS_SUPPORT_WS_TEST_SERVER_H_

#include <json/json.h>
#include <openssl/ssl.h>
#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/numbered_text.h"
#include "tests/support/test_certs.h"

namespace zek_test {

// Frame opcodes.
constexpr int kWsOpContinuation = 0;
constexpr int kWsOpText = 1;
constexpr int kWsOpBinary = 2;
constexpr int kWsOpClose = 8;
constexpr int kWsOpPing = 9;
constexpr int kWsOpPong = 10;

// Texts a test commonly has the server send.
constexpr char kWsLoginOk[] = R"({"code":0,"msg":"ok"})";
constexpr char kWsLoginDenied[] = R"({"code":5003,"msg":"denied"})";
// JSON, but without a usable "code".
constexpr char kWsLoginFormatError[] = R"({"msg":"x"})";
constexpr char kWsNotJson[] = "this is not json";
constexpr char kWsCloseJson[] = R"({"code":8002,"msg":"x"})";
// The key of the numbered texts the server's stream pushes.
constexpr char kWsPushKey[] = "push";

// The Sec-WebSocket-Accept value that answers the key `key`: the base64 text of
// the SHA-1 digest of the key followed by the protocol's fixed GUID.
std::string WsAcceptFor(const std::string& key);

// A close frame's payload: the status code big-endian, then `text`.
std::string WsClosePayload(uint16_t status, const std::string& text);

// Parses `text` with JsonCpp's default reader; false when it is not JSON.
bool ParseJson(const std::string& text, Json::Value* out);

// How the payload length is written in a frame's header.
enum class WsLengthForm {
  kShortest,  // 7 bits below 126, else 16 bits below 65536, else 64 bits
  k7,         // the 7-bit field alone (a declared length above 125 is cut to 7 bits)
  k16,        // 126 and a 16-bit length, whatever the size
  k64,        // 127 and a 64-bit length, whatever the size
};

// One frame to build. Any opcode 0..15 and any length form may be asked for;
// nothing is checked, so a test can build frames that break the protocol.
struct WsFrameToSend {
  int opcode = kWsOpText;
  std::string payload;
  bool fin = true;
  bool rsv1 = false;
  bool rsv2 = false;
  bool rsv3 = false;
  bool mask = false;
  uint32_t mask_key = 0x37FA213D;
  WsLengthForm length_form = WsLengthForm::kShortest;
  // The length the header announces; -1 announces the payload's size. Lets a
  // test send a header that promises more (or less) than follows.
  int64_t declared_length = -1;
};

// Header and payload (masked when asked) of one frame.
std::string EncodeWsFrame(const WsFrameToSend& to_send);

// One frame as it was read.
struct WsFrame {
  bool fin = false;
  bool rsv1 = false;
  bool rsv2 = false;
  bool rsv3 = false;
  int opcode = 0;
  bool masked = false;
  uint32_t mask_key = 0;
  // The 7-bit length field as sent: 0..125, or 126 (16-bit form), 127 (64-bit form).
  int length_code = 0;
  std::string payload;  // unmasked
  // Set by the server: which connection, 1 for the first one accepted.
  size_t connection = 0;
};

enum class WsDecode { kFrame, kNeedMore, kTooLarge };

// Reads one frame from the front of `size` bytes. kFrame fills *frame and sets
// *consumed to the frame's size on the wire; kNeedMore when the bytes end
// before the frame does; kTooLarge for a declared length over `max_payload`.
WsDecode DecodeWsFrame(const char* data,
                       size_t size,
                       WsFrame* frame,
                       size_t* consumed,
                       uint64_t max_payload = 16 * 1024 * 1024);

// One upgrade request as the server read it.
struct WsUpgradeRequest {
  std::string raw;           // every byte up to and including the blank line
  std::string request_line;  // e.g. "GET /ws HTTP/1.1"
  std::string method;
  std::string path;
  std::string version;
  // In order; the name as sent, the value without blanks around it. Lines
  // without ':' are left out.
  std::vector<std::pair<std::string, std::string>> headers;
  size_t connection = 0;  // 1 for the first connection accepted

  // The value of the first header named `name`, letter case ignored; "" when none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// How the server answers the upgrade request.
enum class WsHandshakeReply {
  kAccept,               // HTTP/1.1 101, Upgrade, Connection and the right accept value
  kStatus200,            // the same headers under "HTTP/1.1 200 OK"
  kHttp10,               // "HTTP/1.0 101 Switching Protocols"
  kLowerCaseConnection,  // the header key "connection" instead of "Connection"
  kWrongAccept,          // the accept value of another key
  kCustom,               // `custom_response`, with "{accept}" replaced by the right accept value
  kNone,                 // reads the request and answers nothing
  kClose,                // reads the request and closes the TCP connection (FIN)
};

struct WsHandshakeOptions {
  WsHandshakeReply reply = WsHandshakeReply::kAccept;
  std::string reason = "Switching Protocols";  // of the 101 status line
  // Header lines put before the blank line, each ending in "\r\n".
  std::string extra_headers;
  // kCustom only; every "{accept}" in it becomes the accept value that answers
  // the request's key.
  std::string custom_response;
  // Bytes sent after the response in the same write, e.g. encoded frames. They
  // count as sent by the server but start no session on their own.
  std::string trailing_bytes;
  // When not 0, only the first `split_first` bytes of the response go out at
  // once; the rest (trailing bytes included) follows `split_delay_ms` later, or,
  // when `split_delay_ms` is negative, at ReleaseHandshakeRest().
  size_t split_first = 0;
  int split_delay_ms = 50;
};

// How the server sends one text.
struct WsSendOptions {
  // The text goes out in this many frames: a text frame, then continuation
  // frames, FIN only on the last; the text is cut into near-equal parts (parts
  // may be empty when the text is shorter than the count).
  size_t fragments = 1;
  bool mask = false;
  // A pong (empty, masked like the fragments) right after the first fragment.
  bool pong_between = false;
  bool rsv1 = false;  // on the first frame
};

struct WsTestServerOptions {
  // 0 picks a free one.
  uint16_t port = 0;
  // The IPv4 address to listen on; another one only for a benchmark that puts the
  // server behind a simulated link.
  std::string address = "127.0.0.1";
  // TLS instead of plain TCP.
  bool tls = false;
  // The names on the server's certificate (TLS only), issued by ca().
  std::string cert_common_name = "localhost";
  std::vector<std::string> cert_dns_names = {"localhost"};
  std::vector<std::string> cert_ip_addresses = {"127.0.0.1", "::1"};
  // The certificate signs itself: no authority stands behind it, and ca() is empty.
  bool cert_self_signed = false;

  WsHandshakeOptions handshake;
  // The answer to the login, the first text frame after the upgrade.
  bool send_login_reply = true;
  std::string login_reply = kWsLoginOk;
  WsSendOptions login_reply_options;
  // Every later text frame is sent back as an unmasked text frame.
  bool echo = true;
  // A ping every this many ms from the login on; 0 sends none.
  int ping_interval_ms = 0;
  std::string ping_payload;
  // A ping from the client gets a pong with the same payload.
  bool answer_pings = true;
  // As a strict server: a pong must carry the payload of the oldest ping it has not had
  // an answer to; one that does not ends the connection with a close frame 1002. A pong
  // when no ping waits is taken as a heartbeat.
  bool strict_pongs = false;
  // The SO_RCVBUF of every connection, set on the listening socket so that the window
  // is small from the first segment; 0 keeps the kernel's own, which on loopback grows
  // to megabytes.
  int receive_buffer = 0;
  // The TCP_MAXSEG of every connection, set on the listening socket so that the
  // client's MSS follows it; 0 keeps loopback's own (64 KiB), which makes the client's
  // send buffer megabytes large where a phone's is tens of KB.
  int max_segment = 0;
  // A slow reader: when not 0, at most this many bytes are read from a connection at a
  // time, and then nothing for `read_pause_ms`.
  size_t read_chunk = 0;
  int read_pause_ms = 1;
};

// A WebSocket server on 127.0.0.1 (port 0 picks a free one), plain or over TLS,
// written on plain POSIX sockets with poll() on a thread of its own, so that it
// shares no code with the client under test. Its answers can be set to
// misbehave in the ways a client must survive, and a test can make it send any
// frame at any time.
//
// Per connection: the request is read up to its blank line and answered as
// WsHandshakeOptions says; then the bytes are read as frames, each recorded as
// it comes (nothing is reassembled). The first text frame (opcode 1) is the
// login; it is answered with the configured reply and starts the pings. Later
// text frames are the texts, echoed when `echo` is set. Pings are answered with
// pongs; a close frame is answered with a close frame carrying its status, then
// the server ends the stream; a close frame that answers the server's own (SendClose)
// completes the closing handshake: the server ends the stream without another.
//
// Every method may be called from any thread. An input (a request, a frame)
// and the server's answer to it (the handshake response, the login reply, an
// echo, a pong) appear together: the answer has been written to the socket by
// the time the input shows in the records, so a test that sees a frame
// recorded can check at once that no answer came; and a test that has read an
// answer finds its input recorded. The same holds for a ping and pings_sent().
// While a stream runs (StartStream), an answer may wait behind the push the socket
// is taking: it is queued by then, not yet written.
//
// The actions (Send*, CloseConnection, ReleaseHandshakeRest, StartStream) run on the
// server's thread and return once done; they work on the newest connection
// still open for writing and return false when there is none or the server is
// not running.
class WsTestServer {
 public:
  enum class CloseHow {
    kFin,    // what is queued goes out, then a FIN; the server reads on until the client closes
    kReset,  // an RST at once; what is still queued is lost
  };

  WsTestServer();
  explicit WsTestServer(WsTestServerOptions options);
  // Stops the server if it still runs.
  ~WsTestServer();

  WsTestServer(const WsTestServer&) = delete;
  WsTestServer& operator=(const WsTestServer&) = delete;

  // Makes the certificate (TLS), binds 127.0.0.1 and starts the thread.
  // False, with a test failure, when any step fails.
  bool Start();
  // Closes every connection and joins the thread; the records stay readable.
  // Safe to call twice.
  void Stop();

  uint16_t port() const { return port_; }
  bool tls() const { return options_.tls; }
  // The authority that issued the server's certificate (TLS only).
  const TestCertificate& ca() const { return ca_; }

  // Settings, taking effect for what comes next.
  void SetHandshake(const WsHandshakeOptions& handshake);
  void SetLoginReply(bool send,
                     const std::string& text = kWsLoginOk,
                     const WsSendOptions& options = WsSendOptions());
  void SetEcho(bool echo);
  // Reschedules the pings of every logged-in connection: the next one comes
  // `interval_ms` from now; 0 stops them.
  void SetPingInterval(int interval_ms);
  void SetAnswerPings(bool answer);
  // A silent server reads nothing and sends nothing of its own accord (no
  // answers, no pings), so a client's writes back up; the actions below still
  // send. Reading resumes with SetSilent(false). Returns once the server's
  // thread has taken it in: bytes the client sends afterwards wait unread.
  void SetSilent(bool silent);

  // Actions on the newest connection.
  bool SendText(const std::string& text, const WsSendOptions& options = WsSendOptions());
  bool SendFrame(const WsFrameToSend& to_send);
  bool SendRaw(const std::string& bytes);
  // A message that never ends: a text frame and then continuation frames, none with
  // FIN, `bytes` bytes of payload in all, at most `frame_payload` in each, all
  // written at once as a hostile server would.
  bool SendUnfinishedMessage(size_t bytes, size_t frame_payload = 60000);
  bool SendPing(const std::string& payload = std::string());
  // A close frame with `payload` as it is; see WsClosePayload().
  bool SendClose(const std::string& payload);
  bool CloseConnection(CloseHow how = CloseHow::kFin);
  // Sends the held rest of a split handshake response now.
  bool ReleaseHandshakeRest();
  // Pushes on the newest connection until StopStream (or the connection's end):
  // numbered texts of `size` bytes (NumberedText with kWsPushKey), each written once the
  // socket has taken the one before, so as fast as the client reads. The server goes on
  // reading, recording and answering the client meanwhile; its answers go out between
  // two pushes, never inside one. One stream at a time: a stream on another connection
  // ends. The numbers go on from pushes_sent(), so a second stream continues the count.
  bool StartStream(size_t size);
  // Ends the stream; once it returns, no push follows and pushes_sent() is final (what
  // the socket has not taken yet still goes out).
  bool StopStream();

  // Records. Snapshots are copies; the counts are cheap to poll with WaitUntil.
  size_t connections() const;       // accepted
  size_t open_connections() const;  // still held by the server
  size_t peer_closes() const;       // connections the client ended (FIN or RST)
  size_t fins_sent() const;         // connections the server ended with a FIN, all sent
  size_t tls_handshakes() const;
  // The server name of the last ClientHello, "" when it carried none.
  std::string sni() const;
  std::vector<WsUpgradeRequest> upgrade_requests() const;
  size_t upgrade_count() const;
  std::vector<WsFrame> frames() const;  // every frame from the client, in order
  size_t frame_count() const;
  std::vector<std::string> logins() const;  // the login texts, one per connection at most
  size_t login_count() const;
  std::vector<std::string> texts() const;  // text frames after the login
  size_t text_count() const;
  size_t pongs_received() const;
  // Pongs whose payload was not that of the ping they answered.
  size_t pong_mismatches() const;
  size_t pings_received() const;
  size_t pings_sent() const;
  // Pushes written to a connection by the stream, so far.
  size_t pushes_sent() const;
  // The stream's socket has not taken the latest push whole: the client reads slower
  // than the server writes.
  bool stream_waiting() const;
  // Bytes of the WebSocket stream (inside TLS, when on), both ways.
  size_t bytes_received() const;
  size_t bytes_sent() const;

 private:
  struct Connection;
  struct Action;
  // The settings the server thread reads, guarded by mutex_.
  struct Config {
    WsHandshakeOptions handshake;
    bool send_login_reply = true;
    std::string login_reply;
    WsSendOptions login_reply_options;
    bool echo = true;
    int ping_interval_ms = 0;
    std::string ping_payload;
    bool answer_pings = true;
    bool silent = false;
  };

  bool StartTls();
  void Run();
  // Runs `fn` on the server thread and waits for its result; false when the
  // server is not running.
  bool RunOnServer(std::function<bool()> fn);
  bool OnNewest(std::function<bool(Connection*)> fn);
  void RunActions();
  Connection* Newest();
  void Accept();
  Config ConfigSnapshot() const;
  bool Silent() const;
  // Works on one connection after poll(); the loop drops it once Finished().
  void Service(Connection* conn, short revents);
  void ReadSocket(Connection* conn);
  void DriveTls(Connection* conn);
  void ProcessInput(Connection* conn);
  void HandleRequest(Connection* conn, size_t end);
  void HandleFrame(Connection* conn, WsFrame frame);
  void RunTimers(Connection* conn, int* timeout_ms);
  // Writes the stream's next pushes while the socket takes them, a few at a time so that
  // the loop goes back to reading.
  void Stream(Connection* conn);
  void Write(Connection* conn, const std::string& bytes);
  void Flush(Connection* conn);
  void MarkPeerClosed(Connection* conn);
  void Wake();

  const WsTestServerOptions options_;
  TestCertificate ca_;
  TestCertificate leaf_;
  bssl::UniquePtr<SSL_CTX> ctx_;
  // Set by Start and Stop while the thread is not running.
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;

  // Server thread only.
  std::vector<std::unique_ptr<Connection>> conns_;
  size_t next_connection_id_ = 1;

  // Guards everything below. The server thread holds it from sending an answer
  // to recording the input, so that no reader sees one without the other;
  // recursive because the sending path counts bytes under it too.
  mutable std::recursive_mutex mutex_;
  // Notified when an action is done.
  std::condition_variable_any action_done_;
  bool running_ = false;
  bool stop_ = false;
  std::deque<std::shared_ptr<Action>> actions_;
  Config config_;
  size_t connections_ = 0;
  size_t open_connections_ = 0;
  size_t peer_closes_ = 0;
  size_t fins_sent_ = 0;
  size_t tls_handshakes_ = 0;
  std::string sni_;
  std::vector<WsUpgradeRequest> upgrade_requests_;
  std::vector<WsFrame> frames_;
  std::vector<std::string> logins_;
  std::vector<std::string> texts_;
  size_t pongs_received_ = 0;
  size_t pong_mismatches_ = 0;
  size_t pings_received_ = 0;
  size_t pings_sent_ = 0;
  size_t pushes_sent_ = 0;
  bool stream_waiting_ = false;
  size_t bytes_received_ = 0;
  size_t bytes_sent_ = 0;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_WS_TEST_SERVER_H_
