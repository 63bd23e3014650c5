#ifndef RTC_BASE_OPENSSLSESSIONCACHE_H_
#define RTC_BASE_OPENSSLSESSIONCACHE_H_

#include <openssl/ssl.h>

#include <map>
#include <string>

namespace rtc {

// Lets several TLS adapters share one TLS context and resume earlier sessions
// with the same server: per host name it keeps the most recent session that
// the context's new-session callback reported. Used from one thread only, the
// thread that runs the adapters sharing it.
class OpenSSLSessionCache {
 public:
  // `ssl_ctx` should be a client context with session caching and the
  // new-session callback switched on. The cache takes a reference of its own,
  // so the context lives as long as the cache, whatever the caller does with
  // its reference.
  explicit OpenSSLSessionCache(SSL_CTX* ssl_ctx);
  // Releases every stored session and the cache's reference to the context.
  ~OpenSSLSessionCache();

  OpenSSLSessionCache(const OpenSSLSessionCache&) = delete;
  OpenSSLSessionCache& operator=(const OpenSSLSessionCache&) = delete;

  // The shared context, without a new reference: an adapter that keeps it
  // takes its own with SSL_CTX_up_ref.
  SSL_CTX* GetSSLContext() const;

  // The session stored for `hostname` (compared byte by byte), or null. The
  // cache keeps ownership; no reference is added.
  SSL_SESSION* LookupSession(const std::string& hostname) const;

  // Stores `session` for `hostname`, taking over the caller's reference. The
  // session stored before for that name, if any, is released.
  void AddSession(const std::string& hostname, SSL_SESSION* session);

 private:
  SSL_CTX* ssl_ctx_;                              // One reference owned.
  std::map<std::string, SSL_SESSION*> sessions_;  // One reference owned each.
};

}  // namespace rtc

#endif  // RTC_BASE_OPENSSLSESSIONCACHE_H_
