#include "tests/support/tls_test_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <openssl/bytestring.h>
#include <openssl/err.h>

#include "tests/support/loopback_socket.h"
#include "tests/support/tls_server_context.h"

namespace zek_test {

namespace {

// Output waiting for the socket beyond which the server stops reading, so a
// client that does not read sees the server stop reading too.
constexpr size_t kMaxPendingOut = 256 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

}  // namespace

struct TlsTestServer::Connection {
  int fd = -1;
  bssl::UniquePtr<SSL> ssl;
  BIO* rbio = nullptr;  // Owned by `ssl`.
  BIO* wbio = nullptr;  // Owned by `ssl`.
  // The first raw bytes, to tell TLS from plaintext.
  std::string head;
  // The raw bytes of the first record, in kCloseMidHandshake.
  std::string hello;
  bool head_checked = false;
  std::string out;  // Raw bytes waiting for the socket.
  bool handshake_done = false;
  size_t app_in = 0;
  bool faulted = false;
  // No more TLS processing: the fault was sent or the session failed.
  bool tls_dead = false;
  bool fin_after_flush = false;
  bool reset_after_flush = false;
  bool fault_counted = false;
  bool write_shut = false;
  bool close_after_flush = false;
  bool peer_closed = false;

  explicit Connection(TlsTestServer* server) : server(server) {}
  ~Connection() {
    if (fd >= 0)
      close(fd);
    std::lock_guard<std::mutex> lock(server->mutex_);
    --server->open_connections_;
    server->changed_.notify_all();
  }

  TlsTestServer* const server;
};

TlsTestServer::TlsTestServer() : TlsTestServer(Options()) {}

TlsTestServer::TlsTestServer(Options options) : options_(std::move(options)) {
  reading_ = options_.reading;
}

TlsTestServer::~TlsTestServer() {
  Stop();
}

bool TlsTestServer::Start() {
  ctx_ = MakeTlsServerContext(options_.common_name, options_.dns_names, options_.ip_addresses, &ca_,
                              &leaf_);
  if (!ctx_)
    return false;
  SSL_CTX_set_select_certificate_cb(
      ctx_.get(), [](const SSL_CLIENT_HELLO* hello) -> ssl_select_cert_result_t {
        TlsTestServer* self = static_cast<TlsTestServer*>(SSL_get_app_data(hello->ssl));
        std::string name;
        const bool present = ClientHelloServerName(hello, &name);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->sni_seen_ = present;
        self->sni_ = name;
        self->changed_.notify_all();
        return ssl_select_cert_success;
      });

  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // Set before listen() so that accepted sockets inherit them and the window
  // is announced accordingly.
  if (options_.receive_buffer > 0)
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer,
               sizeof(options_.receive_buffer));
  if (options_.send_buffer > 0)
    setsockopt(listen_fd_, SOL_SOCKET, SO_SNDBUF, &options_.send_buffer,
               sizeof(options_.send_buffer));
  port_ = BindLoopback(listen_fd_);
  if (port_ == 0 || listen(listen_fd_, 16) != 0 || !SetNonBlocking(listen_fd_)) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1: " << strerror(errno);
    return false;
  }
  if (pipe(wake_fds_) != 0 || !SetNonBlocking(wake_fds_[0]) || !SetNonBlocking(wake_fds_[1])) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TlsTestServer::Stop() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    Wake();
    thread_.join();
  }
  conns_.clear();
  for (int* fd : {&listen_fd_, &wake_fds_[0], &wake_fds_[1]}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

void TlsTestServer::SetReading(bool reading) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = reading;
  }
  Wake();
}

void TlsTestServer::Wake() {
  char byte = 1;
  // A full pipe already holds a wake-up.
  ssize_t ignored = write(wake_fds_[1], &byte, 1);
  (void)ignored;
}

size_t TlsTestServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

size_t TlsTestServer::open_connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_connections_;
}

size_t TlsTestServer::handshakes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handshakes_;
}

size_t TlsTestServer::peer_closes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_closes_;
}

std::string TlsTestServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t TlsTestServer::received_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

size_t TlsTestServer::sent_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_size_;
}

size_t TlsTestServer::faults_sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_sent_;
}

size_t TlsTestServer::raw_received_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_received_size_;
}

bool TlsTestServer::plaintext_seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return plaintext_seen_;
}

bool TlsTestServer::sni_seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sni_seen_;
}

std::string TlsTestServer::sni() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sni_;
}

bool TlsTestServer::WaitForReceived(size_t n, int limit_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms),
                           [&] { return received_.size() >= n; });
}

void TlsTestServer::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    bool reading;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_)
        break;
      reading = reading_;
    }
    fds.clear();
    fds.push_back({wake_fds_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& conn : conns_) {
      short events = 0;
      bool wants_input = !conn->handshake_done || reading || conn->tls_dead;
      if (!conn->peer_closed && wants_input && conn->out.size() < kMaxPendingOut)
        events |= POLLIN;
      if (!conn->out.empty())
        events |= POLLOUT;
      fds.push_back({conn->fd, events, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
      ADD_FAILURE() << "poll: " << strerror(errno);
      break;
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake_fds_[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      while (Accept()) {
      }
    }
    // Connections accepted just now have no entry in `fds` yet.
    size_t polled = fds.size() - 2;
    for (size_t i = 0; i < conns_.size();) {
      short revents = i < polled ? fds[i + 2].revents : 0;
      if (Service(conns_[i].get(), revents)) {
        ++i;
      } else {
        conns_.erase(conns_.begin() + i);
        if (i < polled) {
          fds.erase(fds.begin() + 2 + i);
          --polled;
        }
      }
    }
  }
  conns_.clear();
}

bool TlsTestServer::Accept() {
  int fd = accept(listen_fd_, nullptr, nullptr);
  if (fd < 0)
    return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    ++open_connections_;
    changed_.notify_all();
  }
  auto conn = std::make_unique<Connection>(this);
  conn->fd = fd;
  // Small answers go out at once instead of waiting for the client's ACK.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (!SetNonBlocking(fd)) {
    ADD_FAILURE() << "fcntl: " << strerror(errno);
    return true;
  }
  conn->ssl.reset(SSL_new(ctx_.get()));
  conn->rbio = BIO_new(BIO_s_mem());
  conn->wbio = BIO_new(BIO_s_mem());
  if (!conn->ssl || !conn->rbio || !conn->wbio) {
    ADD_FAILURE() << "cannot make a server TLS session";
    BIO_free(conn->rbio);
    BIO_free(conn->wbio);
    return true;
  }
  SSL_set_bio(conn->ssl.get(), conn->rbio, conn->wbio);
  SSL_set_accept_state(conn->ssl.get());
  SSL_set_app_data(conn->ssl.get(), this);
  conns_.push_back(std::move(conn));
  return true;
}

bool TlsTestServer::Service(Connection* conn, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    if (!ReadRaw(conn))
      return false;
  }
  if (!DriveTls(conn))
    return false;
  if (!FlushOut(conn))
    return false;
  // A client that went away gets no more service once its answers are out.
  return !(conn->peer_closed && conn->out.empty());
}

void TlsTestServer::MarkPeerClosed(Connection* conn) {
  if (conn->peer_closed)
    return;
  conn->peer_closed = true;
  std::lock_guard<std::mutex> lock(mutex_);
  ++peer_closes_;
  changed_.notify_all();
}

bool TlsTestServer::ReadRaw(Connection* conn) {
  if (conn->peer_closed)
    return true;
  char buf[kReadChunk];
  for (;;) {
    ssize_t n = recv(conn->fd, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
      return true;
    if (n <= 0) {
      MarkPeerClosed(conn);
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      raw_received_size_ += static_cast<size_t>(n);
      if (!conn->head_checked) {
        conn->head.append(buf, std::min<size_t>(static_cast<size_t>(n), 5));
        // A TLS stream starts with a handshake record: type 22, version 3.x.
        if (conn->head.size() >= 2) {
          conn->head_checked = true;
          if (static_cast<uint8_t>(conn->head[0]) != 0x16 ||
              static_cast<uint8_t>(conn->head[1]) != 0x03)
            plaintext_seen_ = true;
        }
      }
      changed_.notify_all();
    }
    switch (options_.mode) {
      case Mode::kCloseMidHandshake: {
        // Wait for the whole first record, then hang up without a word.
        conn->hello.append(buf, static_cast<size_t>(n));
        if (conn->hello.size() >= 5) {
          size_t record =
              (static_cast<uint8_t>(conn->hello[3]) << 8) | static_cast<uint8_t>(conn->hello[4]);
          if (conn->hello.size() >= 5 + record)
            return false;
        }
        continue;
      }
      case Mode::kSilent:
        continue;
      case Mode::kGarbage:
        if (!conn->faulted) {
          conn->faulted = true;
          conn->tls_dead = true;
          QueueRaw(conn, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        }
        continue;
      default:
        break;
    }
    if (!conn->tls_dead)
      BIO_write(conn->rbio, buf, static_cast<int>(n));
    if (conn->out.size() >= kMaxPendingOut)
      return true;
  }
}

bool TlsTestServer::DriveTls(Connection* conn) {
  if (conn->tls_dead)
    return true;
  SSL* ssl = conn->ssl.get();
  if (!conn->handshake_done) {
    ERR_clear_error();
    int ret = SSL_do_handshake(ssl);
    if (ret == 1) {
      conn->handshake_done = true;
      std::lock_guard<std::mutex> lock(mutex_);
      ++handshakes_;
      changed_.notify_all();
    } else {
      int err = SSL_get_error(ssl, ret);
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
        // The client gave up (an alert) or sent something that is not TLS:
        // send our alert, if any, and hang up.
        conn->tls_dead = true;
        conn->close_after_flush = true;
      }
      QueueRaw(conn, DrainBio(conn->wbio));
      return true;
    }
  }
  MaybeFault(conn);
  bool reading;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading = reading_;
  }
  char buf[kReadChunk];
  while (!conn->tls_dead && reading && conn->out.size() < kMaxPendingOut) {
    ERR_clear_error();
    int n = SSL_read(ssl, buf, sizeof(buf));
    if (n <= 0) {
      int err = SSL_get_error(ssl, n);
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
        // close_notify from the client, or a broken record.
        conn->tls_dead = true;
      }
      break;
    }
    conn->app_in += static_cast<size_t>(n);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buf, static_cast<size_t>(n));
      changed_.notify_all();
    }
    // The memory BIO takes every byte, so SSL_write never comes back short.
    const int record =
        options_.echo_record_size > 0
            ? static_cast<int>(std::min<size_t>(options_.echo_record_size, kReadChunk))
            : n;
    for (int offset = 0; offset < n; offset += record) {
      const int piece = std::min(record, n - offset);
      if (SSL_write(ssl, buf + offset, piece) != piece) {
        ADD_FAILURE() << "server SSL_write failed";
        return false;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_size_ += static_cast<size_t>(n);
    }
    MaybeFault(conn);
  }
  QueueRaw(conn, DrainBio(conn->wbio));
  return true;
}

void TlsTestServer::MaybeFault(Connection* conn) {
  if (conn->faulted || !conn->handshake_done || conn->app_in < options_.fault_after_bytes)
    return;
  switch (options_.mode) {
    case Mode::kCorruptRecord: {
      conn->faulted = true;
      conn->tls_dead = true;
      QueueRaw(conn, DrainBio(conn->wbio));
      // An application-data record whose contents cannot authenticate.
      std::string record = {0x17, 0x03, 0x03, 0x00, 0x30};
      record.append(0x30, '\x5a');
      QueueRaw(conn, record);
      break;
    }
    case Mode::kCloseNotify:
      conn->faulted = true;
      conn->tls_dead = true;
      SSL_shutdown(conn->ssl.get());
      QueueRaw(conn, DrainBio(conn->wbio));
      break;
    case Mode::kFin:
      conn->faulted = true;
      conn->tls_dead = true;
      QueueRaw(conn, DrainBio(conn->wbio));
      conn->fin_after_flush = true;
      break;
    case Mode::kReset:
      conn->faulted = true;
      conn->tls_dead = true;
      QueueRaw(conn, DrainBio(conn->wbio));
      conn->reset_after_flush = true;
      break;
    default:
      break;
  }
}

void TlsTestServer::QueueRaw(Connection* conn, const std::string& bytes) {
  conn->out.append(bytes);
}

bool TlsTestServer::FlushOut(Connection* conn) {
  while (!conn->out.empty() && !conn->write_shut) {
    ssize_t n = send(conn->fd, conn->out.data(), conn->out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return true;
      // The client is gone; nothing more can reach it.
      conn->out.clear();
      MarkPeerClosed(conn);
      return true;
    }
    conn->out.erase(0, static_cast<size_t>(n));
  }
  if (!conn->out.empty())
    return true;
  bool keep = !conn->close_after_flush;
  if (conn->fin_after_flush && !conn->write_shut) {
    shutdown(conn->fd, SHUT_WR);
    conn->write_shut = true;
  }
  if (conn->reset_after_flush) {
    // A zero linger time turns close() into an RST.
    linger lg = {1, 0};
    setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(conn->fd);
    conn->fd = -1;
    keep = false;
  }
  if (conn->faulted && !conn->fault_counted) {
    conn->fault_counted = true;
    std::lock_guard<std::mutex> lock(mutex_);
    ++faults_sent_;
    changed_.notify_all();
  }
  return keep;
}

}  // namespace zek_test
