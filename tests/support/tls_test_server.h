#ifndef TESTS_SUPPORT_TLS_TEST_SERVER_H_
#define TESTS_SUPPORT_TLS_TEST_SERVER_H_

#include <openssl/ssl.h>
#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_certs.h"

namespace zek_test {

// A TLS server on 127.0.0.1, written on plain POSIX sockets and the TLS library's
// own server role, so that it shares no code with the client under test. It runs
// on a thread of its own and serves any number of connections, one after the
// other or at once. What it received is recorded for the test to inspect: raw
// TCP bytes (to show that nothing arrived in plaintext) and decrypted
// application bytes (to show that nothing was lost or duplicated).
class TlsTestServer {
 public:
  enum class Mode {
    // Every application byte read is written back.
    kEcho,
    // Reads the first TLS record (the ClientHello), then closes the TCP
    // connection without answering.
    kCloseMidHandshake,
    // Answers the ClientHello with bytes that are not TLS, then keeps the
    // connection open.
    kGarbage,
    // Reads everything and answers nothing: a handshake that never ends.
    kSilent,
    // After the handshake and `fault_after_bytes` echoed bytes, sends an
    // application-data record that fails authentication; the connection stays
    // open.
    kCorruptRecord,
    // After the handshake and `fault_after_bytes` echoed bytes, sends
    // close_notify and keeps the TCP connection open (no FIN).
    kCloseNotify,
    // After the handshake and `fault_after_bytes` echoed bytes, ends the TCP
    // stream (FIN) without close_notify.
    kFin,
    // After the handshake and `fault_after_bytes` echoed bytes, resets the TCP
    // connection (RST) without close_notify.
    kReset,
  };

  struct Options {
    Mode mode = Mode::kEcho;
    // The names the server's certificate carries. The default is the localhost
    // certificate of MakeLocalhostPki().
    std::string common_name = "localhost";
    std::vector<std::string> dns_names = {"localhost"};
    std::vector<std::string> ip_addresses = {"127.0.0.1", "::1"};
    size_t fault_after_bytes = 0;
    // SO_RCVBUF / SO_SNDBUF of the accepted sockets; 0 keeps the system's.
    int receive_buffer = 0;
    int send_buffer = 0;
    // When false, the server reads no application data until SetReading(true),
    // so a client's writes back up.
    bool reading = true;
    // When not 0, echoed bytes go out in records of at most this many bytes, so
    // that one read of the server's becomes many records.
    size_t echo_record_size = 0;
  };

  TlsTestServer();
  explicit TlsTestServer(Options options);
  // Stops the server if it still runs.
  ~TlsTestServer();

  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // Makes the certificate, binds 127.0.0.1 port 0 and starts the thread. False,
  // with a test failure, when any step fails.
  bool Start();
  // Closes every connection and joins the thread. Safe to call twice.
  void Stop();

  uint16_t port() const { return port_; }
  // The authority that issued the server's certificate.
  const TestCertificate& ca() const { return ca_; }

  // Pauses or resumes reading application data on every connection.
  void SetReading(bool reading);

  // What the server saw so far; every accessor may be called from any thread.
  size_t connections() const;
  // Connections the server still holds open.
  size_t open_connections() const;
  size_t handshakes() const;
  // Connections that the client closed (FIN or reset seen by the server).
  size_t peer_closes() const;
  // Decrypted application bytes of all connections, in the order read.
  std::string received() const;
  size_t received_size() const;
  size_t sent_size() const;
  // Connections whose misbehaviour (kGarbage's answer, or the fault of a mode
  // after kSilent) has gone out whole, with its FIN or reset if any: everything
  // the server will ever send them has been sent.
  size_t faults_sent() const;
  // Raw TCP bytes of all connections, TLS records included.
  size_t raw_received_size() const;
  // True when the first bytes of some connection were not a TLS handshake
  // record: something arrived in plaintext.
  bool plaintext_seen() const;
  // The server name of the last ClientHello that reached the server, and
  // whether it carried one at all.
  bool sni_seen() const;
  std::string sni() const;
  // Blocks until `n` application bytes have arrived or `limit_ms` passed.
  bool WaitForReceived(size_t n, int limit_ms = 5000) const;

 private:
  struct Connection;

  void Run();
  bool Accept();
  // Works on one connection after poll(); false when it should be dropped.
  bool Service(Connection* conn, short revents);
  bool ReadRaw(Connection* conn);
  void MarkPeerClosed(Connection* conn);
  bool DriveTls(Connection* conn);
  bool FlushOut(Connection* conn);
  void QueueRaw(Connection* conn, const std::string& bytes);
  void MaybeFault(Connection* conn);
  void Wake();

  static int OnServerName(SSL* ssl, int* alert, void* arg);

  const Options options_;
  TestCertificate ca_;
  TestCertificate leaf_;
  bssl::UniquePtr<SSL_CTX> ctx_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
  // Server thread only.
  std::vector<std::unique_ptr<Connection>> conns_;

  // Guards everything below; `changed_` is notified whenever it changes.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stop_ = false;
  bool reading_ = true;
  size_t connections_ = 0;
  size_t open_connections_ = 0;
  size_t handshakes_ = 0;
  size_t peer_closes_ = 0;
  std::string received_;
  size_t sent_size_ = 0;
  size_t faults_sent_ = 0;
  size_t raw_received_size_ = 0;
  bool plaintext_seen_ = false;
  bool sni_seen_ = false;
  std::string sni_;
};

}  // namespace zek_test

#endif  // TESTS_SUPPORT_TLS_TEST_SERVER_H_
