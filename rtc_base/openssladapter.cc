#include "rtc_base/openssladapter.h"

#include <errno.h>
#include <limits.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <string.h>
#include <sys/time.h>

#include <algorithm>

#include "rtc_base/checks.h"
#include "rtc_base/ipaddress.h"
#include "rtc_base/location.h"
#include "rtc_base/logging.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/numerics/safe_conversions.h"
#include "rtc_base/opensslcertificate.h"
#include "rtc_base/opensslutility.h"
#include "rtc_base/stringencode.h"
#include "rtc_base/thread.h"

namespace rtc {

namespace {

// The socket BIO: the TLS library's reads and writes become the wrapped
// socket's Recv and Send, and a call that would block becomes the library's
// retry indication, so that a TLS call reports "wants read" or "wants write"
// and the adapter tries again on the socket's next event. The BIO borrows the
// socket; the adapter owns it.

int socket_write(BIO* bio, const char* data, int length) {
  if (!data)
    return -1;
  AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int result = socket->Send(data, static_cast<size_t>(length));
  if (result > 0)
    return result;
  if (socket->IsBlocking())
    BIO_set_retry_write(bio);
  return -1;
}

int socket_read(BIO* bio, char* buffer, int length) {
  if (!buffer)
    return -1;
  AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int result = socket->Recv(buffer, static_cast<size_t>(length), nullptr);
  if (result > 0)
    return result;
  if (socket->IsBlocking())
    BIO_set_retry_read(bio);
  return -1;
}

int socket_puts(BIO* bio, const char* text) {
  return socket_write(bio, text, checked_cast<int>(strlen(text)));
}

long socket_ctrl(BIO* bio, int cmd, long /*num*/, void* /*ptr*/) {
  switch (cmd) {
    case BIO_CTRL_RESET:
      return 0;
    case BIO_CTRL_EOF: {
      AsyncSocket* socket = static_cast<AsyncSocket*>(BIO_get_data(bio));
      return socket->GetState() == Socket::SOCKET_CLOSED ? 1 : 0;
    }
    case BIO_CTRL_WPENDING:
    case BIO_CTRL_PENDING:
      return 0;
    case BIO_CTRL_FLUSH:
      // Writes go straight to the socket.
      return 1;
    default:
      return 0;
  }
}

int socket_new(BIO* bio) {
  BIO_set_shutdown(bio, 0);
  BIO_set_init(bio, 1);
  BIO_set_data(bio, nullptr);
  return 1;
}

int socket_free(BIO* bio) {
  return bio == nullptr ? 0 : 1;
}

BIO_METHOD* BIO_socket_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_TYPE_BIO, "socket");
    RTC_CHECK(m != nullptr);
    BIO_meth_set_write(m, socket_write);
    BIO_meth_set_read(m, socket_read);
    BIO_meth_set_puts(m, socket_puts);
    BIO_meth_set_ctrl(m, socket_ctrl);
    BIO_meth_set_create(m, socket_new);
    BIO_meth_set_destroy(m, socket_free);
    return m;
  }();
  return method;
}

// Not the library's BIO_new_socket(int, int), which wraps a descriptor.
BIO* BIO_new_socket(AsyncSocket* socket) {
  BIO* bio = BIO_new(BIO_socket_method());
  if (bio == nullptr)
    return nullptr;
  BIO_set_data(bio, socket);
  return bio;
}

// Logs the oldest error of the TLS library itself, then empties the queue: a
// stale error left there would make the next SSL_get_error on this thread
// report a failure that did not happen.
void LogSslError() {
  const char* file = nullptr;
  int line = 0;
  for (uint32_t error = ERR_get_error_line(&file, &line); error != 0;
       error = ERR_get_error_line(&file, &line)) {
    if (ERR_GET_LIB(error) == ERR_LIB_SSL) {
      RTC_LOG(LS_ERROR) << "ERR_LIB_SSL: " << error << ", " << file << ":" << line;
      break;
    }
  }
  ERR_clear_error();
}

// The error a TLS call that failed in the socket underneath it reports: the
// socket's own error number when it has one.
int SocketErrorOr(const AsyncSocket* socket, int fallback) {
  int error = socket ? socket->GetError() : 0;
  return error != 0 && !IsBlockingError(error) ? error : fallback;
}

}  // namespace

bool OpenSSLAdapter::InitializeSSL() {
  if (!SSL_library_init())
    return false;
  SSL_load_error_strings();
  ERR_load_BIO_strings();
  OpenSSL_add_all_algorithms();
  RAND_poll();
  return true;
}

bool OpenSSLAdapter::CleanupSSL() {
  return true;
}

OpenSSLAdapter::OpenSSLAdapter(AsyncSocket* socket,
                               OpenSSLSessionCache* cache,
                               SSLCertificateVerifier* verifier)
    : SSLAdapter(socket),
      session_cache_(cache),
      cert_verifier_(verifier),
      owner_thread_(Thread::Current()) {
  if (session_cache_ != nullptr) {
    tls_context_ = session_cache_->GetSSLContext();
    SSL_CTX_up_ref(tls_context_);
  }
}

OpenSSLAdapter::~OpenSSLAdapter() {
  Cleanup();
}

void OpenSSLAdapter::SetIgnoreBadCert(bool ignore) {
  ignore_bad_cert_ = ignore;
}

void OpenSSLAdapter::SetAlpnProtocols(const std::vector<std::string>& protos) {
  alpn_list_ = protos;
}

void OpenSSLAdapter::SetEllipticCurves(const std::vector<std::string>& curves) {
  curve_list_ = curves;
}

void OpenSSLAdapter::SetMode(SSLMode mode) {
  tls_mode_ = mode;
}

void OpenSSLAdapter::SetCertVerifier(SSLCertificateVerifier* verifier) {
  cert_verifier_ = verifier;
}

void OpenSSLAdapter::SetIdentity(SSLIdentity* identity) {
  RTC_CHECK(identity == nullptr || dynamic_cast<OpenSSLIdentity*>(identity) != nullptr);
  local_identity_.reset(static_cast<OpenSSLIdentity*>(identity));
}

void OpenSSLAdapter::SetRole(SSLRole role) {
  tls_role_ = role;
}

int OpenSSLAdapter::StartSSL(const char* hostname, bool restartable) {
  if (tls_state_ != kIdle)
    return -1;
  server_name_ = hostname;
  restart_on_close_ = restartable;
  if (AsyncSocketAdapter::GetState() != Socket::SOCKET_CONNECTED) {
    tls_state_ = kAwaitingSocket;
    return 0;
  }
  tls_state_ = kHandshaking;
  int error = BeginSSL();
  if (error != 0) {
    Error("BeginSSL", error, false);
    return error;
  }
  return 0;
}

int OpenSSLAdapter::BeginSSL() {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::BeginSSL: " << server_name_;
  BIO* bio = nullptr;
  int error = -1;

  if (session_cache_ == nullptr) {
    if (tls_context_ != nullptr)
      SSL_CTX_free(tls_context_);
    tls_context_ = CreateContext(tls_mode_, false);
  } else if (tls_context_ == nullptr) {
    // A clean-up released the reference taken at construction; the shared
    // context is still the cache's.
    tls_context_ = session_cache_->GetSSLContext();
    SSL_CTX_up_ref(tls_context_);
  }
  if (tls_context_ == nullptr)
    goto fail;
  if (local_identity_ && !local_identity_->ConfigureIdentity(tls_context_))
    goto fail;
  if (!socket_)
    goto fail;
  bio = BIO_new_socket(socket_.get());
  if (bio == nullptr)
    goto fail;
  tls_session_ = SSL_new(tls_context_);
  if (tls_session_ == nullptr)
    goto fail;
  SSL_set_ex_data(tls_session_, 0, this);
  // Partial writes let one call take one record at a time; a moving buffer lets
  // a blocked write be retried from `unsent_buffer_`.
  SSL_set_mode(tls_session_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  if (!server_name_.empty()) {
    // RFC 6066 allows only host names in the server_name extension.
    if (openssl::IpLiteral(server_name_).empty())
      SSL_set_tlsext_host_name(tls_session_, server_name_.c_str());
    if (session_cache_ != nullptr) {
      SSL_SESSION* cached = session_cache_->LookupSession(server_name_);
      if (cached != nullptr) {
        if (SSL_set_session(tls_session_, cached) == 0) {
          RTC_LOG(LS_WARNING) << "Failed to apply SSL session from cache";
          goto fail;
        }
        RTC_LOG(LS_INFO) << "Attempting to resume SSL session to " << server_name_;
      }
    }
  }

  // Only requested; the answers are not examined.
  SSL_enable_ocsp_stapling(tls_session_);
  SSL_enable_signed_cert_timestamps(tls_session_);

  if (!alpn_list_.empty()) {
    std::string wire = TransformAlpnProtocols(alpn_list_);
    if (!wire.empty()) {
      SSL_set_alpn_protos(tls_session_, reinterpret_cast<const uint8_t*>(wire.data()),
                          static_cast<unsigned>(wire.size()));
    }
  }
  if (!curve_list_.empty())
    SSL_set1_curves_list(tls_session_, join(curve_list_, ':').c_str());
  // Neither result matters; a refused setting must not read as a failure of
  // the handshake that follows.
  ERR_clear_error();

  SSL_set_bio(tls_session_, bio, bio);
  bio = nullptr;

  error = ContinueSSL();
  if (error != 0)
    goto fail;
  return 0;

fail:
  Cleanup();
  if (bio != nullptr)
    BIO_free(bio);
  return error;
}

int OpenSSLAdapter::ContinueSSL() {
  ClearFromOwner(kHandshakeTimeoutMsg);
  ERR_clear_error();
  int code = tls_role_ == SSL_ROLE_CLIENT ? SSL_connect(tls_session_) : SSL_accept(tls_session_);
  switch (SSL_get_error(tls_session_, code)) {
    case SSL_ERROR_NONE:
      if (!SSLPostConnectionCheck(tls_session_, server_name_)) {
        RTC_LOG(LS_ERROR) << "TLS post connection check failed";
        Cleanup();
        return -1;
      }
      tls_state_ = kEstablished;
      if (pending_session_ != nullptr) {
        CacheSession(pending_session_);
        pending_session_ = nullptr;
      }
      AsyncSocketAdapter::OnConnectEvent(this);
      return 0;
    case SSL_ERROR_WANT_READ: {
      RTC_LOG(LS_VERBOSE) << " -- error want read";
      timeval timeout;
      if (DTLSv1_get_timeout(tls_session_, &timeout)) {
        int delay = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
        Thread* thread = OwnerThread();
        if (thread != nullptr)
          thread->PostDelayed(RTC_FROM_HERE, delay, this, kHandshakeTimeoutMsg, nullptr);
      }
      return 0;
    }
    case SSL_ERROR_WANT_WRITE:
      return 0;
    default:
      LogSslError();
      RTC_LOG(LS_WARNING) << "ContinueSSL -- error " << code;
      return code != 0 ? code : -1;
  }
}

void OpenSSLAdapter::Error(const char* context, int error, bool signal) {
  RTC_LOG(LS_WARNING) << "OpenSSLAdapter::Error(" << context << ", " << error << ")";
  tls_state_ = kFailed;
  SetError(error);
  if (signal)
    RaiseClosed(error);
}

void OpenSSLAdapter::FailDataPath(const char* context, int error) {
  Error(context, error, false);
  pending_close_error_ = error;
  PostToOwner(kClosedMsg);
}

void OpenSSLAdapter::FailSslCall(const char* context, int ssl_error, int ret) {
  const int code = ret != 0 ? ret : -1;
  switch (ssl_error) {
    case SSL_ERROR_ZERO_RETURN:
      // close_notify: the peer has ended the session, and nothing more will come
      // even if the TCP stream stays.
      FailDataPath(context, ECONNRESET);
      return;
    case SSL_ERROR_SSL:
      LogSslError();
      FailDataPath(context, code);
      return;
    default:
      FailDataPath(context, SocketErrorOr(socket_.get(), code));
      return;
  }
}

bool OpenSSLAdapter::SessionTakesData() {
  switch (tls_state_) {
    case kEstablished:
      return true;
    case kAwaitingSocket:
    case kHandshaking:
      SetError(ENOTCONN);
      return false;
    case kIdle:
    case kFailed:
      return false;
  }
  return false;
}

void OpenSSLAdapter::Cleanup() {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::Cleanup";
  tls_state_ = kIdle;
  read_blocked_on_write_ = false;
  write_blocked_on_read_ = false;
  verifier_accepted_ = false;
  unsent_buffer_.Clear();
  if (tls_session_ != nullptr) {
    SSL_free(tls_session_);
    tls_session_ = nullptr;
  }
  if (tls_context_ != nullptr) {
    SSL_CTX_free(tls_context_);
    tls_context_ = nullptr;
  }
  if (pending_session_ != nullptr) {
    SSL_SESSION_free(pending_session_);
    pending_session_ = nullptr;
  }
  // The identity stays: a restarted server adapter needs it for its next
  // handshake.

  // Whatever was pending belongs to the session just freed.
  ClearFromOwner(kAnyMessageId);
  pending_read_posted_ = false;
  socket_read_owed_ = false;
  read_stop_owed_ = false;
  peer_end_ = PeerEnd::kNone;
  peer_end_error_ = 0;
}

int OpenSSLAdapter::Close() {
  Cleanup();
  tls_state_ = restart_on_close_ ? kAwaitingSocket : kIdle;
  closed_signalled_ = false;
  return AsyncSocketAdapter::Close();
}

Socket::ConnectionState OpenSSLAdapter::GetState() const {
  ConnectionState state = AsyncSocketAdapter::GetState();
  if (tls_state_ == kFailed)
    return SOCKET_CLOSED;
  // The owner still reads, as from a plain socket whose end it has not been told
  // of yet.
  if (peer_end_ != PeerEnd::kNone && !closed_signalled_)
    return SOCKET_CONNECTED;
  if (state == SOCKET_CONNECTED && (tls_state_ == kAwaitingSocket || tls_state_ == kHandshaking))
    return SOCKET_CONNECTING;
  return state;
}

int OpenSSLAdapter::DoSslWrite(const void* data, size_t length, int* ssl_error) {
  write_blocked_on_read_ = false;
  ERR_clear_error();
  int ret = SSL_write(tls_session_, data, checked_cast<int>(length));
  *ssl_error = SSL_get_error(tls_session_, ret);
  switch (*ssl_error) {
    case SSL_ERROR_NONE:
      return ret;
    case SSL_ERROR_WANT_READ:
      RTC_LOG(LS_INFO) << " -- error want read";
      write_blocked_on_read_ = true;
      SetError(EWOULDBLOCK);
      return -1;
    case SSL_ERROR_WANT_WRITE:
      RTC_LOG(LS_INFO) << " -- error want write";
      SetError(EWOULDBLOCK);
      return -1;
    default:
      FailSslCall("SSL_write", *ssl_error, ret);
      return -1;
  }
}

bool OpenSSLAdapter::FlushUnsentBuffer() {
  while (!unsent_buffer_.empty()) {
    int ssl_error = 0;
    int taken = DoSslWrite(unsent_buffer_.data(), unsent_buffer_.size(), &ssl_error);
    if (taken <= 0)
      return false;
    // Those bytes are the library's now; offering them again would send them
    // twice.
    size_t rest = unsent_buffer_.size() - static_cast<size_t>(taken);
    memmove(unsent_buffer_.data(), unsent_buffer_.data() + taken, rest);
    unsent_buffer_.SetSize(rest);
  }
  return true;
}

int OpenSSLAdapter::Send(const void* data, size_t length) {
  if (tls_state_ == kIdle)
    return AsyncSocketAdapter::Send(data, length);
  if (!SessionTakesData())
    return -1;

  if (!unsent_buffer_.empty() && !FlushUnsentBuffer()) {
    // Older bytes still wait: the new ones are not taken.
    if (tls_state_ == kEstablished)
      SetError(EWOULDBLOCK);
    return -1;
  }
  if (length == 0)
    return 0;

  // The result is an int, so one call takes at most INT_MAX bytes.
  length = std::min(length, static_cast<size_t>(INT_MAX));
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  size_t offset = 0;
  // The library takes one record per call; the socket raises no event while it
  // takes everything, so keep going until it is all taken or the socket blocks.
  while (offset < length) {
    int ssl_error = 0;
    int taken = DoSslWrite(bytes + offset, length - offset, &ssl_error);
    if (taken > 0) {
      offset += static_cast<size_t>(taken);
      continue;
    }
    if (ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE) {
      RTC_LOG(LS_WARNING) << "SSL_write couldn't write to the underlying socket; buffering data.";
      unsent_buffer_.SetData(bytes + offset, length - offset);
      break;
    }
    return -1;
  }
  return static_cast<int>(length);
}

int OpenSSLAdapter::SendTo(const void* data, size_t length, const SocketAddress& address) {
  if (AsyncSocketAdapter::GetState() == SOCKET_CONNECTED && address == GetRemoteAddress())
    return Send(data, length);
  SetError(ENOTCONN);
  return -1;
}

int OpenSSLAdapter::Recv(void* buffer, size_t capacity, int64_t* timestamp) {
  if (tls_state_ == kIdle)
    return AsyncSocketAdapter::Recv(buffer, capacity, timestamp);
  if (!SessionTakesData())
    return -1;
  if (capacity == 0)
    return 0;

  read_blocked_on_write_ = false;
  read_stop_owed_ = false;
  capacity = std::min(capacity, static_cast<size_t>(INT_MAX));
  // Records while they fit and come without waiting, as a plain socket hands over
  // everything it holds: one read event takes in a buffer's worth, not one record.
  char* const out = static_cast<char*>(buffer);
  size_t total = 0;
  int ret;
  int ssl_error;
  do {
    ERR_clear_error();
    const size_t taken_in = BIO_number_read(SSL_get_rbio(tls_session_));
    ret = SSL_read(tls_session_, out + total, checked_cast<int>(capacity - total));
    ssl_error = SSL_get_error(tls_session_, ret);
    // Read, or found empty: either way the socket announces its next bytes.
    if (ssl_error == SSL_ERROR_WANT_READ || BIO_number_read(SSL_get_rbio(tls_session_)) != taken_in)
      socket_read_owed_ = false;
    if (ret > 0)
      total += static_cast<size_t>(ret);
  } while (ret > 0 && total < capacity);

  if (total == 0) {
    switch (ssl_error) {
      case SSL_ERROR_WANT_READ:
        if (peer_end_ != PeerEnd::kNone)
          return FinishPeerEnd();
        SetError(EWOULDBLOCK);
        return -1;
      case SSL_ERROR_WANT_WRITE:
        read_blocked_on_write_ = true;
        SetError(EWOULDBLOCK);
        return -1;
      default:
        FailSslCall("SSL_read", ssl_error, ret);
        return -1;
    }
  }
  // What ended the read comes up after the bytes already read: at the next write
  // event, or at the next read, which a posted read brings about.
  if (ssl_error == SSL_ERROR_WANT_WRITE)
    read_blocked_on_write_ = true;
  else if (ret <= 0 && ssl_error != SSL_ERROR_WANT_READ)
    read_stop_owed_ = true;
  // Bytes of a record that the caller had no room for: the socket has nothing left
  // to announce them with. Nor has it when its readable event went on bytes the
  // library already held: the socket was not read, so it stays silent about what
  // waits in it.
  if (MoreToRead() && !pending_read_posted_) {
    pending_read_posted_ = true;
    PostToOwner(kPendingReadMsg);
  }
  return static_cast<int>(total);
}

bool OpenSSLAdapter::MoreToRead() const {
  return SSL_pending(tls_session_) > 0 || socket_read_owed_ || read_stop_owed_ ||
         peer_end_ == PeerEnd::kWithheld;
}

bool OpenSSLAdapter::ReadMayYield(int close_error) const {
  // An orderly end is seen only once the socket holds nothing more, but a socket
  // error (a reset after data) may leave bytes in it that came before the error.
  return close_error != 0 || pending_read_posted_ || MoreToRead();
}

int OpenSSLAdapter::FinishPeerEnd() {
  // As a plain socket ends: the read finds nothing and the closed signal follows;
  // the error the socket closed with is this read's error too.
  SetError(peer_end_error_ != 0 ? peer_end_error_ : EWOULDBLOCK);
  if (peer_end_ == PeerEnd::kWithheld) {
    peer_end_ = PeerEnd::kDue;
    pending_close_error_ = peer_end_error_;
    PostToOwner(kClosedMsg);
  }
  return -1;
}

int OpenSSLAdapter::RecvFrom(void* buffer,
                             size_t capacity,
                             SocketAddress* source,
                             int64_t* timestamp) {
  if (AsyncSocketAdapter::GetState() == SOCKET_CONNECTED) {
    int result = Recv(buffer, capacity, timestamp);
    *source = GetRemoteAddress();
    return result;
  }
  SetError(ENOTCONN);
  return -1;
}

AsyncSocket* OpenSSLAdapter::Accept(SocketAddress* peer) {
  if (!local_identity_) {
    // A server adapter without a certificate could only fail every handshake.
    SetError(EINVAL);
    return nullptr;
  }
  AsyncSocket* socket = AsyncSocketAdapter::Accept(peer);
  if (socket == nullptr)
    return nullptr;
  SSLAdapter* adapter = SSLAdapter::Create(socket);
  adapter->SetIdentity(local_identity_->GetReference());
  adapter->SetRole(SSL_ROLE_SERVER);
  adapter->SetIgnoreBadCert(ignore_bad_cert_);
  // A failure leaves the new adapter failed, never passing plaintext.
  adapter->StartSSL("", false);
  return adapter;
}

bool OpenSSLAdapter::IsResumedSession() {
  return tls_session_ != nullptr && SSL_session_reused(tls_session_) == 1;
}

void OpenSSLAdapter::RaiseClosed(int error) {
  closed_signalled_ = true;
  AsyncSocketAdapter::OnCloseEvent(this, error);
}

void OpenSSLAdapter::NoteOwnerThread() {
  Thread* current = Thread::Current();
  if (current != nullptr)
    owner_thread_ = current;
}

Thread* OpenSSLAdapter::OwnerThread() const {
  return owner_thread_ != nullptr ? owner_thread_ : Thread::Current();
}

void OpenSSLAdapter::PostToOwner(uint32_t id) {
  Thread* thread = OwnerThread();
  if (thread != nullptr) {
    thread->Post(RTC_FROM_HERE, this, id);
  } else if (id == kClosedMsg) {
    // No queue to post to on this thread: the owner learns of the failure at
    // once rather than never.
    RaiseClosed(pending_close_error_);
  }
}

void OpenSSLAdapter::ClearFromOwner(uint32_t id) {
  Thread* thread = OwnerThread();
  if (thread != nullptr)
    thread->Clear(this, id);
}

void OpenSSLAdapter::OnMessage(Message* msg) {
  switch (msg->id_) {
    case kHandshakeTimeoutMsg: {
      if (tls_state_ != kHandshaking || tls_session_ == nullptr)
        return;
      RTC_LOG(LS_INFO) << "DTLS timeout expired";
      DTLSv1_handle_timeout(tls_session_);
      ContinueHandshake();
      return;
    }
    case kClosedMsg:
      if ((tls_state_ == kFailed || peer_end_ == PeerEnd::kDue) && !closed_signalled_)
        RaiseClosed(pending_close_error_);
      return;
    case kPendingReadMsg:
      pending_read_posted_ = false;
      if (tls_state_ != kEstablished || !MoreToRead())
        return;
      AsyncSocketAdapter::OnReadEvent(this);
      // A reader that took nothing has left no read to follow this one: the
      // withheld end must not wait on it for ever.
      if (tls_state_ == kEstablished && peer_end_ == PeerEnd::kWithheld && !pending_read_posted_) {
        peer_end_ = PeerEnd::kDue;
        RaiseClosed(peer_end_error_);
      }
      return;
    default:
      return;
  }
}

void OpenSSLAdapter::ContinueHandshake() {
  int error = ContinueSSL();
  if (error != 0)
    Error("ContinueSSL", error, true);
}

bool OpenSSLAdapter::EventIsForData() {
  switch (tls_state_) {
    case kHandshaking:
      ContinueHandshake();
      return false;
    case kEstablished:
      return true;
    case kIdle:
    case kAwaitingSocket:
    case kFailed:
      return false;
  }
  return false;
}

void OpenSSLAdapter::OnConnectEvent(AsyncSocket* socket) {
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::OnConnectEvent";
  NoteOwnerThread();
  closed_signalled_ = false;
  if (tls_state_ == kIdle) {
    AsyncSocketAdapter::OnConnectEvent(socket);
    return;
  }
  // Under TLS the adapter's own connected signal comes with the accepted
  // handshake, never with the TCP connection.
  if (tls_state_ != kAwaitingSocket)
    return;
  tls_state_ = kHandshaking;
  int error = BeginSSL();
  if (error != 0)
    Error("BeginSSL", error, true);
}

void OpenSSLAdapter::OnReadEvent(AsyncSocket* socket) {
  NoteOwnerThread();
  if (tls_state_ == kIdle) {
    AsyncSocketAdapter::OnReadEvent(socket);
    return;
  }
  if (!EventIsForData())
    return;
  if (write_blocked_on_read_) {
    // The write that waited for incoming data can go now, buffered bytes
    // first, even if the owner has nothing new to send.
    if (FlushUnsentBuffer() && tls_state_ == kEstablished)
      AsyncSocketAdapter::OnWriteEvent(this);
    if (tls_state_ != kEstablished)
      return;
  }
  // Until a read reaches the socket, the socket raises no further readable event.
  socket_read_owed_ = true;
  AsyncSocketAdapter::OnReadEvent(this);
}

void OpenSSLAdapter::OnWriteEvent(AsyncSocket* socket) {
  NoteOwnerThread();
  if (tls_state_ == kIdle) {
    AsyncSocketAdapter::OnWriteEvent(socket);
    return;
  }
  if (!EventIsForData())
    return;
  if (read_blocked_on_write_) {
    AsyncSocketAdapter::OnReadEvent(this);
    if (tls_state_ != kEstablished)
      return;
  }
  // While bytes still wait the owner cannot send; the socket blocked again, so
  // another write event follows.
  if (!FlushUnsentBuffer())
    return;
  AsyncSocketAdapter::OnWriteEvent(this);
}

void OpenSSLAdapter::OnCloseEvent(AsyncSocket* /*socket*/, int error) {
  NoteOwnerThread();
  RTC_LOG(LS_INFO) << "OpenSSLAdapter::OnCloseEvent(" << error << ")";
  // The first close stands; a read after it may make the socket report its end
  // again.
  if (closed_signalled_ || peer_end_ != PeerEnd::kNone)
    return;
  if (tls_state_ == kEstablished && OwnerThread() != nullptr && ReadMayYield(error)) {
    // What the peer sent before its end reaches the reader first: the reads
    // that drain it bring the closed signal once one finds nothing more.
    peer_end_ = PeerEnd::kWithheld;
    peer_end_error_ = error;
    if (!pending_read_posted_) {
      pending_read_posted_ = true;
      PostToOwner(kPendingReadMsg);
    }
    return;
  }
  RaiseClosed(error);
}

// Context and verification.

SSL_CTX* OpenSSLAdapter::CreateContext(SSLMode mode, bool enable_session_cache) {
  SSL_CTX* ctx = SSL_CTX_new(mode == SSL_MODE_DATAGRAM ? DTLS_method() : TLS_method());
  if (ctx == nullptr) {
    uint32_t error = ERR_get_error();
    const char* reason = ERR_reason_error_string(error);
    RTC_LOG(LS_WARNING) << "SSL_CTX creation failed: "
                        << "\"" << (reason ? reason : "") << "\" "
                        << "(error=" << error << ")";
    return nullptr;
  }
  if (!openssl::LoadBuiltinSSLRootCertificates(ctx)) {
    RTC_LOG(LS_ERROR) << "SSL_CTX creation failed: Failed to load any trusted ssl root "
                         "certificates.";
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_info_callback(ctx, SSLInfoCallback);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, SSLVerifyCallback);
  SSL_CTX_set_verify_depth(ctx, 4);
  SSL_CTX_set_cipher_list(ctx, "ALL:!SHA256:!SHA384:!aPSK:!ECDSA+SHA1:!ADH:!LOW:!EXP:!MD5");
  if (mode == SSL_MODE_DATAGRAM)
    SSL_CTX_set_read_ahead(ctx, 1);
  if (enable_session_cache) {
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
    SSL_CTX_sess_set_new_cb(ctx, NewSSLSessionCallback);
  }
  // Rules of the cipher list that this library does not know leave errors
  // behind; they must not be taken for a failure of a later call.
  ERR_clear_error();
  return ctx;
}

int OpenSSLAdapter::SSLVerifyCallback(int ok, X509_STORE_CTX* store) {
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (!ok && cert != nullptr) {
    int depth = X509_STORE_CTX_get_error_depth(store);
    int error = X509_STORE_CTX_get_error(store);
    char data[256];
    RTC_LOG(LS_INFO) << "Error with certificate at depth: " << depth;
    X509_NAME_oneline(X509_get_issuer_name(cert), data, sizeof(data));
    RTC_LOG(LS_INFO) << "  issuer  = " << data;
    X509_NAME_oneline(X509_get_subject_name(cert), data, sizeof(data));
    RTC_LOG(LS_INFO) << "  subject = " << data;
    RTC_LOG(LS_INFO) << "  err     = " << error << ":" << X509_verify_cert_error_string(error);
  }

  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  OpenSSLAdapter* stream = static_cast<OpenSSLAdapter*>(SSL_get_ex_data(ssl, 0));
  if (stream == nullptr)
    return ok;  // A session of another owner over one of our contexts.

  if (!ok && cert != nullptr && stream->cert_verifier_ != nullptr) {
    RTC_LOG(LS_INFO) << "Invoking SSL Verify Callback.";
    const OpenSSLCertificate certificate(cert);
    if (stream->cert_verifier_->Verify(certificate)) {
      stream->verifier_accepted_ = true;
      RTC_LOG(LS_INFO) << "Validated certificate using custom callback";
      ok = 1;
    } else {
      RTC_LOG(LS_INFO) << "Failed to verify certificate using custom callback";
    }
  }

  if (!ok && stream->ignore_bad_cert_) {
    RTC_LOG(LS_WARNING) << "Ignoring cert error while verifying cert chain";
    ok = 1;
  }
  return ok;
}

bool OpenSSLAdapter::SSLPostConnectionCheck(SSL* ssl, const std::string& host) {
  bool ok;
  if (tls_role_ == SSL_ROLE_SERVER) {
    // A server names no host to match; a client certificate, when one came,
    // went through the verify callback.
    ok = SSL_get_verify_result(ssl) == X509_V_OK || verifier_accepted_;
  } else {
    // Host names and IP literals alike; a literal is matched against the IP
    // subject alternative names.
    ok = openssl::VerifyPeerCertMatchesHost(ssl, host);
    // A resumed session verified its chain when it was made, and only sessions
    // that passed this check are cached.
    if (ok)
      ok = SSL_get_verify_result(ssl) == X509_V_OK || verifier_accepted_ ||
           SSL_session_reused(ssl) == 1;
  }
  if (!ok && ignore_bad_cert_) {
    RTC_LOG(LS_WARNING) << "Other TLS post connection checks failed. ignore_bad_cert_ set to "
                           "true. Overriding name verification failure!";
    ok = true;
  }
  return ok;
}

void OpenSSLAdapter::SSLInfoCallback(const SSL* ssl, int where, int ret) {
  const char* label = "undefined";
  if (where & SSL_ST_CONNECT) {
    label = "SSL_connect";
  } else if (where & SSL_ST_ACCEPT) {
    label = "SSL_accept";
  }
  if (where & SSL_CB_LOOP) {
    RTC_LOG(LS_INFO) << label << ":" << SSL_state_string_long(ssl);
  } else if (where & SSL_CB_ALERT) {
    RTC_LOG(LS_INFO) << "SSL3 alert " << ((where & SSL_CB_READ) ? "read" : "write") << ":"
                     << SSL_alert_type_string_long(ret) << ":" << SSL_alert_desc_string_long(ret);
  } else if (where & SSL_CB_EXIT) {
    if (ret == 0) {
      RTC_LOG(LS_INFO) << label << ":failed in " << SSL_state_string_long(ssl);
    } else if (ret < 0) {
      RTC_LOG(LS_INFO) << label << ":error in " << SSL_state_string_long(ssl);
    }
  }
}

int OpenSSLAdapter::NewSSLSessionCallback(SSL* ssl, SSL_SESSION* session) {
  OpenSSLAdapter* stream = static_cast<OpenSSLAdapter*>(SSL_get_ex_data(ssl, 0));
  // A connection that no adapter owns (another user of a cached context) keeps its
  // session to itself.
  if (!stream)
    return 0;
  if (stream->tls_state_ != kEstablished) {
    // A resumed handshake verifies no chain, so the cache may hold only
    // sessions whose peer passed the post-connection check: keep this one
    // until the check has run.
    if (stream->pending_session_ != nullptr)
      SSL_SESSION_free(stream->pending_session_);
    stream->pending_session_ = session;
    return 1;
  }
  stream->CacheSession(session);
  return 1;
}

void OpenSSLAdapter::CacheSession(SSL_SESSION* session) {
  RTC_LOG(LS_INFO) << "Caching SSL session for " << server_name_;
  // The cache takes over the reference.
  session_cache_->AddSession(server_name_, session);
}

std::string TransformAlpnProtocols(const std::vector<std::string>& protos) {
  std::string transformed;
  for (const std::string& proto : protos) {
    if (proto.empty() || proto.size() > 255) {
      RTC_LOG(LS_ERROR) << "OpenSSLAdapter::Error("
                        << "TransformAlpnProtocols received proto with size " << proto.size()
                        << ")";
      return std::string();
    }
    transformed += static_cast<char>(proto.size());
    transformed += proto;
    RTC_LOG(LS_VERBOSE) << "TransformAlpnProtocols: Adding proto: " << proto;
  }
  return transformed;
}

}  // namespace rtc
