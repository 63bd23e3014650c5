#ifndef RTC_BASE_OPENSSLADAPTER_H_
#define RTC_BASE_OPENSSLADAPTER_H_

#include <openssl/ssl.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "rtc_base/buffer.h"
#include "rtc_base/messagehandler.h"
#include "rtc_base/opensslidentity.h"
#include "rtc_base/opensslsessioncache.h"
#include "rtc_base/ssladapter.h"

namespace rtc {

class Thread;

// The RFC 7301 wire form of a protocol-name list: each name as one length byte
// and its bytes. Empty, with an error line, when any name is empty or longer
// than 255 bytes.
std::string TransformAlpnProtocols(const std::vector<std::string>& protos);

// The TLS socket over BoringSSL. It reads and writes the wrapped socket through
// a BIO of its own and is driven by the wrapped socket's events: the handshake
// runs on readable and writable events, and once it has finished and the peer
// has been accepted (its chain through the built-in roots or the verifier, and
// its certificate for the host name in either case) the connected signal is
// raised. Failures move it to a failed state, which reports SOCKET_CLOSED, raises
// the closed signal once and sends nothing more: after StartSSL no byte goes out
// unencrypted. The peer's end reaches the owner after every byte sent before it:
// a close of the wrapped socket waits while reads still drain what the library
// and the socket hold.
//
// Every call, event and message of an adapter must come from one thread, the
// one whose socket server runs the wrapped socket; no member needs a lock.
class OpenSSLAdapter : public SSLAdapter, public MessageHandler {
 public:
  // Start-up of the TLS library; may be called any number of times.
  static bool InitializeSSL();
  // The library is never torn down: returns true.
  static bool CleanupSSL();

  // Takes ownership of `socket`; `cache` and `verifier` are borrowed and may be
  // null.
  explicit OpenSSLAdapter(AsyncSocket* socket,
                          OpenSSLSessionCache* cache = nullptr,
                          SSLCertificateVerifier* verifier = nullptr);
  ~OpenSSLAdapter() override;

  void SetIgnoreBadCert(bool ignore) override;
  void SetAlpnProtocols(const std::vector<std::string>& protos) override;
  void SetEllipticCurves(const std::vector<std::string>& curves) override;
  void SetMode(SSLMode mode) override;
  void SetCertVerifier(SSLCertificateVerifier* verifier) override;
  // `identity` must be an OpenSSLIdentity.
  void SetIdentity(SSLIdentity* identity) override;
  void SetRole(SSLRole role) override;
  int StartSSL(const char* hostname, bool restartable) override;
  bool IsResumedSession() override;

  int Send(const void* data, size_t length) override;
  int SendTo(const void* data, size_t length, const SocketAddress& address) override;
  int Recv(void* buffer, size_t capacity, int64_t* timestamp) override;
  int RecvFrom(void* buffer, size_t capacity, SocketAddress* source, int64_t* timestamp) override;
  // Server role: wraps each accepted socket in a server adapter that shares this
  // adapter's identity and has begun its handshake. Null, with EINVAL, when this
  // adapter has no identity to serve.
  AsyncSocket* Accept(SocketAddress* peer) override;
  int Close() override;
  ConnectionState GetState() const override;

  void OnMessage(Message* msg) override;

  // A new context with the built-in roots and the callbacks below; the caller
  // owns its one reference. `enable_session_cache` hands new client sessions to
  // the adapter's session cache.
  static SSL_CTX* CreateContext(SSLMode mode, bool enable_session_cache);

 protected:
  void OnConnectEvent(AsyncSocket* socket) override;
  void OnReadEvent(AsyncSocket* socket) override;
  void OnWriteEvent(AsyncSocket* socket) override;
  void OnCloseEvent(AsyncSocket* socket, int error) override;

 private:
  enum TlsState : int32_t {
    kIdle = 0,            // no TLS requested: pass-through
    kAwaitingSocket = 1,  // TLS requested, the wrapped socket not connected yet
    kHandshaking = 2,
    kEstablished = 3,  // handshake finished and the peer accepted
    kFailed = 4,
  };

  enum : uint32_t {
    kHandshakeTimeoutMsg = 0,  // DTLS retransmission timer
    kClosedMsg = 1,            // a data-path failure, reported outside the TLS call
    kPendingReadMsg = 2,       // decrypted bytes the reader has not taken yet
  };

  int BeginSSL();
  int ContinueSSL();
  // ContinueSSL() from a socket event or timer: a failure ends the handshake and
  // is signalled at once.
  void ContinueHandshake();
  // A readable or writable wrapped socket under TLS: during the handshake the
  // event drives it; before the socket connects and after a failure it means
  // nothing. True only once the session is established, when the event is the
  // data path's.
  bool EventIsForData();
  // Enters kFailed with `error` as the error number; with `signal`, raises the
  // closed signal with it now.
  void Error(const char* context, int error, bool signal);
  // Error() for a failure inside Send or Recv: the closed signal is posted, so
  // that it never reaches the owner from inside its own call.
  void FailDataPath(const char* context, int error);
  // FailDataPath() for an SSL_read or SSL_write that returned `ret` and failed with
  // `ssl_error`: neither would-block result, which the callers handle.
  void FailSslCall(const char* context, int ssl_error, int ret);
  // Bytes or an outcome wait that no socket event will announce.
  bool MoreToRead() const;
  // The wrapped socket's close came while a read might still give the reader
  // bytes the peer sent before its end.
  bool ReadMayYield(int close_error) const;
  // A read under a withheld close found nothing more: the close is reported after
  // the read returns.
  int FinishPeerEnd();
  // Send and Recv under TLS: true once the session is established; ENOTCONN while it
  // is being set up, and after a failure the error that ended it.
  bool SessionTakesData();
  void Cleanup();
  // One SSL_write; -1 with the error number set unless it took bytes.
  int DoSslWrite(const void* data, size_t length, int* ssl_error);
  // Hands `unsent_buffer_` to the library until it is empty (true) or the
  // library would block or failed (false).
  bool FlushUnsentBuffer();
  void RaiseClosed(int error);
  // Messages go to the thread that delivers the wrapped socket's events, even
  // when a call comes from another thread under the owner's lock.
  void NoteOwnerThread();
  Thread* OwnerThread() const;
  void PostToOwner(uint32_t id);
  void ClearFromOwner(uint32_t id);
  bool SSLPostConnectionCheck(SSL* ssl, const std::string& host);
  void CacheSession(SSL_SESSION* session);

  static int SSLVerifyCallback(int ok, X509_STORE_CTX* store);
  static void SSLInfoCallback(const SSL* ssl, int where, int ret);
  static int NewSSLSessionCallback(SSL* ssl, SSL_SESSION* session);

  OpenSSLSessionCache* session_cache_;     // Not owned.
  SSLCertificateVerifier* cert_verifier_;  // Not owned.
  // The thread of the last socket event, else the constructing thread; null
  // when neither has a thread object. Not owned.
  Thread* owner_thread_;
  TlsState tls_state_ = kIdle;
  std::unique_ptr<OpenSSLIdentity> local_identity_;
  SSLRole tls_role_ = SSL_ROLE_CLIENT;
  bool read_blocked_on_write_ = false;
  bool write_blocked_on_read_ = false;
  bool restart_on_close_ = false;
  // Bytes that Send reported as sent and the library has not taken yet, from
  // the first byte it has not taken; with partial writes it may have encrypted
  // a record of them already, so a retry starts with exactly these bytes.
  BufferT<unsigned char, false> unsent_buffer_;
  SSL* tls_session_ = nullptr;      // Owned; owns the BIO once attached.
  SSL_CTX* tls_context_ = nullptr;  // One reference owned.
  std::string server_name_;
  SSLMode tls_mode_ = SSL_MODE_STREAM;
  bool ignore_bad_cert_ = false;
  std::vector<std::string> alpn_list_;
  std::vector<std::string> curve_list_;
  bool verifier_accepted_ = false;
  // The closed signal has been raised for the current connection: it is raised
  // once, whether the failure or the wrapped socket's close comes first.
  bool closed_signalled_ = false;
  // A new session of a handshake not yet accepted, one reference owned; it
  // goes to `session_cache_` once the peer has passed the post-connection check.
  SSL_SESSION* pending_session_ = nullptr;
  // The error that a posted kClosedMsg reports.
  int pending_close_error_ = 0;
  // A kPendingReadMsg is queued.
  bool pending_read_posted_ = false;
  // The socket raised its readable event and has not been read since: it
  // announces the bytes waiting in it only after a read reaches it, which a read
  // served from records the library already holds does not.
  bool socket_read_owed_ = false;
  // A read that had already taken bytes met the end of the session or an error:
  // the next read reports it.
  bool read_stop_owed_ = false;
  // The peer's end, as the wrapped socket reported it, held back from the owner
  // until it has read every byte that came before it.
  enum class PeerEnd {
    kNone,
    kWithheld,  // the wrapped socket has closed; the reader still drains
    kDue,       // a read found nothing more; a posted message raises closed
  };
  PeerEnd peer_end_ = PeerEnd::kNone;
  // The wrapped socket's close error, for the withheld close.
  int peer_end_error_ = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSLADAPTER_H_
