#include "rtc_base/opensslsessioncache.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace {

// Counts the frees of sessions and contexts through an ex-data slot whose free
// callback the library runs when the object's last reference goes.
void CountFree(void* /*parent*/,
               void* ptr,
               CRYPTO_EX_DATA* /*ad*/,
               int /*index*/,
               long /*argl*/,
               void* /*argp*/) {
  if (ptr != nullptr) {
    ++*static_cast<int*>(ptr);
  }
}

int SessionFreeIndex() {
  static const int index = SSL_SESSION_get_ex_new_index(0, nullptr, nullptr, nullptr, CountFree);
  return index;
}

int ContextFreeIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, CountFree);
  return index;
}

class OpenSSLSessionCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = SSL_CTX_new(TLS_method());
    ASSERT_NE(ctx_, nullptr);
    SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT);
  }
  void TearDown() override { SSL_CTX_free(ctx_); }

  // A blank session that adds one to `*frees` when it is freed.
  SSL_SESSION* NewSession(int* frees) {
    SSL_SESSION* session = SSL_SESSION_new(ctx_);
    EXPECT_NE(session, nullptr);
    SSL_SESSION_set_ex_data(session, SessionFreeIndex(), frees);
    return session;
  }

  SSL_CTX* ctx_ = nullptr;
};

TEST_F(OpenSSLSessionCacheTest, LookupOfUnknownHostIsNull) {
  rtc::OpenSSLSessionCache cache(ctx_);
  EXPECT_EQ(cache.GetSSLContext(), ctx_);
  EXPECT_EQ(cache.LookupSession("example.test"), nullptr);
  EXPECT_EQ(cache.LookupSession(""), nullptr);
}

TEST_F(OpenSSLSessionCacheTest, SecondSessionForHostReplacesAndReleasesFirst) {
  int first_frees = 0;
  int second_frees = 0;
  {
    rtc::OpenSSLSessionCache cache(ctx_);
    SSL_SESSION* first = NewSession(&first_frees);
    SSL_SESSION* second = NewSession(&second_frees);
    cache.AddSession("host.test", first);
    EXPECT_EQ(cache.LookupSession("host.test"), first);

    cache.AddSession("host.test", second);
    EXPECT_EQ(first_frees, 1);
    EXPECT_EQ(second_frees, 0);
    EXPECT_EQ(cache.LookupSession("host.test"), second);
  }
  // The cache's destruction releases what it still holds.
  EXPECT_EQ(first_frees, 1);
  EXPECT_EQ(second_frees, 1);
}

TEST_F(OpenSSLSessionCacheTest, HostNamesAreComparedByteByByte) {
  int frees[3] = {0, 0, 0};
  const char* hosts[3] = {"Host.test", "host.test", "host.test."};
  {
    rtc::OpenSSLSessionCache cache(ctx_);
    SSL_SESSION* sessions[3];
    for (int i = 0; i < 3; ++i) {
      sessions[i] = NewSession(&frees[i]);
      cache.AddSession(hosts[i], sessions[i]);
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(cache.LookupSession(hosts[i]), sessions[i]) << hosts[i];
      EXPECT_EQ(frees[i], 0) << hosts[i];
    }
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(frees[i], 1) << hosts[i];
  }
}

TEST_F(OpenSSLSessionCacheTest, AddingTheStoredSessionAgainKeepsItAlive) {
  int frees = 0;
  {
    rtc::OpenSSLSessionCache cache(ctx_);
    SSL_SESSION* session = NewSession(&frees);
    cache.AddSession("host.test", session);
    // A second owner hands its own reference to the cache.
    SSL_SESSION_up_ref(session);
    cache.AddSession("host.test", session);
    EXPECT_EQ(frees, 0);
    EXPECT_EQ(cache.LookupSession("host.test"), session);
  }
  EXPECT_EQ(frees, 1);
}

TEST_F(OpenSSLSessionCacheTest, CacheKeepsTheContextAliveUntilDestroyed) {
  int ctx_frees = 0;
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  ASSERT_NE(ctx, nullptr);
  SSL_CTX_set_ex_data(ctx, ContextFreeIndex(), &ctx_frees);
  auto cache = std::make_unique<rtc::OpenSSLSessionCache>(ctx);
  SSL_CTX_free(ctx);  // The caller lets go of its own reference.
  EXPECT_EQ(ctx_frees, 0);

  SSL* ssl = SSL_new(cache->GetSSLContext());
  ASSERT_NE(ssl, nullptr);
  SSL_free(ssl);

  cache.reset();
  EXPECT_EQ(ctx_frees, 1);
}

}  // namespace
