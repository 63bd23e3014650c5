#include "rtc_base/opensslsessioncache.h"

namespace rtc {

OpenSSLSessionCache::OpenSSLSessionCache(SSL_CTX* ssl_ctx) : ssl_ctx_(ssl_ctx) {
  if (ssl_ctx_ != nullptr) {
    SSL_CTX_up_ref(ssl_ctx_);
  }
}

OpenSSLSessionCache::~OpenSSLSessionCache() {
  for (auto& entry : sessions_) {
    SSL_SESSION_free(entry.second);
  }
  SSL_CTX_free(ssl_ctx_);
}

SSL_CTX* OpenSSLSessionCache::GetSSLContext() const {
  return ssl_ctx_;
}

SSL_SESSION* OpenSSLSessionCache::LookupSession(const std::string& hostname) const {
  auto it = sessions_.find(hostname);
  return it != sessions_.end() ? it->second : nullptr;
}

void OpenSSLSessionCache::AddSession(const std::string& hostname, SSL_SESSION* session) {
  SSL_SESSION*& slot = sessions_[hostname];
  // A null slot (new entry) releases nothing. When the caller hands back the
  // session already stored, it holds a reference of its own, so dropping the
  // cache's old reference first still leaves the session alive.
  SSL_SESSION_free(slot);
  slot = session;
}

}  // namespace rtc
