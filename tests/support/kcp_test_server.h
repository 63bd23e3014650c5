#ifndef TESTS_SUPPORT_KCP_TEST_SERVER_H_
#define TESTS_SUPPORT_KCP_TEST_SERVER_H_

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/kcp/zek_ikcp.h"

namespace zek_test {

// The fixed head of a login datagram: u16 0x63A9, u8 2, u8 1, u32 0.
constexpr int kLoginHeaderSize = 8;
// Message types inside the KCP conversation (the first byte of each message).
constexpr uint8_t kKcpMsgText = 2;
constexpr uint8_t kKcpMsgNoPayload = 3;
constexpr uint8_t kKcpMsgClose = 4;
constexpr uint8_t kKcpMsgKeepAlive = 5;
// The key of the numbered texts the server's stream pushes.
constexpr char kKcpPushKey[] = "push";
// The longest text one message carries beside its type byte, length field and zero.
constexpr size_t kKcpMaxText = 1496;

// What the server answers to a login. Only a kAccept starts a session; after any other
// kind the server waits for the next login.
struct KcpLoginReply {
  enum class Kind {
    kAccept,       // [u16 tag][u32 0][u32 conv][string text]; a KCP session starts
    kRefuse,       // [u16 tag][u32 code][u32 conv][string text]
    kNone,         // nothing at all
    kTruncated,    // the first `truncate_to` bytes of the accepting reply
    kEmpty,        // a datagram of 0 bytes
    kLyingLength,  // the accepting reply whose string length counts 10 bytes too many
    kGarbage,      // `garbage_size` seeded random bytes
  };
  Kind kind = Kind::kAccept;
  uint16_t tag = 0x0A0B;
  uint32_t conv = 0x01020304;
  uint32_t code = 0;  // kRefuse only; kAccept always sends 0
  std::string text = "ok";
  size_t truncate_to = 5;
  size_t garbage_size = 16;
  // Sends the reply from a second socket of the server (other_port()), so that a client
  // that checks the sender's address must ignore it. A kAccept still starts the session.
  bool from_other_port = false;
};

// The client's KCP settings, ikcp_nodelay's arguments.
struct KcpEngineSettings {
  int nodelay = 1;
  int interval = 2;
  int fast_resend = 1;
  int no_cwnd = 1;
};

struct KcpTestServerConfig {
  uint16_t port = 0;  // 0 picks a free one
  // The IPv4 address both sockets bind to; another one only for a benchmark that puts
  // the server behind a simulated link.
  std::string address = "127.0.0.1";
  KcpLoginReply reply;  // the answer to every login (see QueueLoginReply)
  KcpEngineSettings engine;
  bool echo = true;  // a text message is sent back as [u8 2][string text]
  // Shares (0..1) of the KCP datagrams of a session dropped in each direction; logins and
  // replies are never dropped (KcpLoginReply::Kind::kNone stands for a lost reply).
  double drop_in = 0;
  double drop_out = 0;
  uint64_t seed = 1;                  // drops and garbage replies
  size_t datagram_log_limit = 10000;  // datagrams() keeps at most this many
};

// One login datagram (a datagram that starts with the login head) as received, raw and
// read field by field.
struct KcpLogin {
  std::string raw;
  bool well_formed = false;  // every field present, nothing after the last one
  uint16_t head_tag = 0;
  uint8_t head_b1 = 0;
  uint8_t head_b2 = 0;
  uint32_t head_word = 0;
  std::string account_id;
  std::string app_id;
  std::string device_type;
  std::string token;
  std::string nonce;
  uint32_t packet_size = 0;
  std::string device_id;
  uint16_t from_port = 0;  // the client's UDP port (on 127.0.0.1)
  int64_t time_ms = 0;     // rtc::SystemTimeMillis() at arrival
};

// One complete message the client sent through KCP.
struct KcpClientMessage {
  std::string bytes;
  int type = -1;             // the first byte; -1 for an empty message
  std::string text;          // type 2: the text field
  bool well_formed = false;  // type 2: [u8][string] and nothing after; others: 1 byte
  int64_t time_ms = 0;       // rtc::SystemTimeMillis() when the engine delivered it
};

// One datagram that reached the server's main socket.
struct KcpDatagram {
  std::string bytes;
  int64_t time_ms = 0;
  bool dropped = false;  // by drop_in or while silent
};

struct KcpTestServerStats {
  uint64_t datagrams_received = 0;  // on the main socket, every kind
  uint64_t datagrams_dropped_in = 0;
  uint64_t datagrams_ignored_silent = 0;
  uint64_t datagrams_foreign = 0;     // in a session, from an address other than the client's
  uint64_t datagrams_unexpected = 0;  // neither a login nor within a session
  uint64_t datagrams_refused_by_engine = 0;  // ikcp_input failed (foreign tag or conv, short)
  uint64_t datagrams_other_port = 0;         // that reached the second socket
  uint64_t kcp_datagrams_sent = 0;           // engine output actually sent
  uint64_t kcp_datagrams_dropped_out = 0;
  uint64_t replies_sent = 0;
  // While a session is closed: the client's datagrams that are segments of its
  // conversation, and the engine datagrams the server sent, the close's first
  // transmission and its retransmissions included.
  uint64_t kcp_datagrams_in_after_close = 0;
  uint64_t kcp_datagrams_out_after_close = 0;
  uint64_t keepalives = 0;
};

// A KCP server peer on 127.0.0.1 for the transport's tests, on plain POSIX sockets with a
// thread of its own, so it shares nothing with the code under test.
//
// Every datagram with the login head is a login (also within a session: a reconnect); it
// ends the current session, is recorded (malformed or not) and gets the queued or the
// configured reply; a kAccept starts a fresh KCP session with the login's sender. Within a session
// the other datagrams from the client go to the engine, which runs on the server's 10 ms tick and
// is also updated and flushed right after each input and each send, so the echo path adds no delay
// of its own.
//
// All methods may be called on any thread. A reply, and the engine output caused by an
// input, has been sent by the time that input shows in the accessors, so a test that has
// seen a login recorded can check at once, without waiting, that no reply came. Times
// are rtc::SystemTimeMillis(), the platform clock, which a fake clock does not move.
class KcpTestServer {
 public:
  enum class State { kWaitingLogin, kSession, kClosed };

  explicit KcpTestServer(const KcpTestServerConfig& config = KcpTestServerConfig());
  ~KcpTestServer();
  KcpTestServer(const KcpTestServer&) = delete;
  KcpTestServer& operator=(const KcpTestServer&) = delete;

  // Binds both sockets and starts the thread; false (see last_error()) when binding fails.
  bool Start();
  // Joins the thread and closes the sockets; the records stay readable.
  void Stop();

  // Valid from a successful Start() on.
  uint16_t port() const { return port_; }
  uint16_t other_port() const { return other_port_; }

  // Server actions. The Send* ones need a session (or, after a close, its engine) and
  // return false without one.
  bool SendText(const std::string& text);      // [u8 2][string text]
  bool SendMessage(const std::string& bytes);  // any KCP message
  // [u8 4][u32 code][string reason]; the engine keeps retransmitting it until acknowledged.
  bool SendClose(uint32_t code, const std::string& reason);
  // Sends `reply` to the latest login's address as if that login had just arrived again:
  // the current session ends, and a kAccept starts a new one; false before any login.
  bool SendLoginReply(const KcpLoginReply& reply);
  // One raw datagram to the latest login's address; false before any login.
  bool SendDatagram(const std::string& bytes, bool from_other_port = false);
  // Pushes text messages until StopStream or the session's end: numbered texts of `size`
  // bytes (NumberedText with kKcpPushKey), queued whenever the engine holds less than two
  // send windows of segments, its send window opened to the client's receive window, so
  // as fast as the client acknowledges them; the client's messages are read, recorded
  // and echoed meanwhile. The first pushes are queued and sent before this returns. The
  // numbers go on from pushes_sent(). False without a session or for a size over
  // kKcpMaxText.
  bool StartStream(size_t size);
  // No push is queued once this returns; pushes_sent() is then final.
  void StopStream();

  // The reply to every later login, unless one is queued.
  void SetLoginReply(const KcpLoginReply& reply);
  // Replies used once each, in order, by the next logins.
  void QueueLoginReply(const KcpLoginReply& reply);
  void SetEcho(bool echo);
  // A lost server: every datagram is dropped and nothing is sent, acks included.
  void SetSilent(bool silent);
  void SetDropRates(double drop_in, double drop_out);
  // Ends the session (the engine goes) and waits for a fresh login.
  void ResetSession();

  // Snapshots.
  State state() const;
  std::vector<KcpLogin> logins() const;
  std::vector<KcpClientMessage> messages() const;
  std::vector<std::string> texts() const;  // texts of the type-2 messages, in order
  size_t text_count() const;               // cheap to poll
  std::vector<int64_t> keepalive_times() const;
  std::vector<KcpDatagram> datagrams() const;
  KcpTestServerStats stats() const;
  // The close has been sent and the client acknowledged every segment up to it.
  bool close_acknowledged() const;
  // ikcp_waitsnd of the session's engine; -1 without one.
  int waitsnd() const;
  // Pushes the stream has queued into an engine, so far.
  size_t pushes_sent() const;
  std::string last_error() const;

 private:
  static int Output(const char* data, int length, IKCPCB* kcp, void* user);

  void Run();
  // The rest run on any thread with mutex_ held.
  void ReceiveOn(int fd, bool main_socket);
  void HandleDatagram(const std::string& bytes, const sockaddr_in& from);
  void HandleLogin(const std::string& bytes, const sockaddr_in& from);
  // Sends `reply` to client_; a kAccept then starts a session.
  void ApplyReply(const KcpLoginReply& reply);
  void StartSession(const KcpLoginReply& reply);
  void EndSession();
  // Updates the engine, takes out every complete message and flushes.
  void Pump();
  void HandleMessage(const std::string& bytes);
  // Queues the stream's next pushes while the engine has room for them.
  void Stream();
  bool QueueKcp(const char* data, int length);
  // Queues one message and flushes it out at once.
  bool SendKcpNow(const char* data, int length);
  void SendTo(int fd, const std::string& bytes, const sockaddr_in& to);
  double NextUnit();
  void SetError(const std::string& error);

  // The sockets and ports are written by Start and Stop only while the thread is not
  // running, under mutex_; the thread reads them freely, callers under mutex_.
  int fd_ = -1;
  int other_fd_ = -1;
  uint16_t port_ = 0;
  uint16_t other_port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  // Everything below is guarded by mutex_ (the server thread and the callers' threads).
  mutable std::mutex mutex_;
  KcpTestServerConfig config_;
  std::deque<KcpLoginReply> queued_replies_;
  bool silent_ = false;
  uint64_t rng_state_;
  State state_ = State::kWaitingLogin;
  bool have_client_ = false;
  sockaddr_in client_{};   // the latest login's sender
  IKCPCB* kcp_ = nullptr;  // owned; the session's engine (kept after a close)
  uint16_t session_tag_ = 0;
  uint32_t session_conv_ = 0;
  size_t stream_size_ = 0;  // of the pushes; 0 while no stream runs
  size_t pushes_sent_ = 0;
  bool closing_ = false;    // a close was sent in this session
  uint32_t close_end_ = 0;  // the sequence number after the close's
  std::vector<char> recv_buffer_;
  std::vector<KcpLogin> logins_;
  std::vector<KcpClientMessage> messages_;
  size_t text_count_ = 0;  // of messages_
  std::vector<int64_t> keepalive_times_;
  std::vector<KcpDatagram> datagrams_;
  KcpTestServerStats stats_;
  std::string last_error_;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_KCP_TEST_SERVER_H_
