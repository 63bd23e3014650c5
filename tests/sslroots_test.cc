#include "rtc_base/sslroots.h"

#include <gtest/gtest.h>
#include <openssl/mem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <iterator>
#include <set>
#include <string>

namespace {

bssl::UniquePtr<X509> ParseEntry(size_t i) {
  const unsigned char* p = kSSLCertCertificateList[i];
  bssl::UniquePtr<X509> cert(
      d2i_X509(nullptr, &p, static_cast<long>(kSSLCertCertificateSizeList[i])));
  if (cert) {
    // The whole blob is the certificate: nothing is left over or borrowed
    // from the next entry.
    EXPECT_EQ(p, kSSLCertCertificateList[i] + kSSLCertCertificateSizeList[i]) << "entry " << i;
  }
  return cert;
}

TEST(SSLRootsTest, TableIsNotEmptyAndBothListsAgree) {
  ASSERT_GT(kSSLCertCertificateCount, 0u);
  EXPECT_EQ(std::size(kSSLCertCertificateList), kSSLCertCertificateCount);
  EXPECT_EQ(std::size(kSSLCertCertificateSizeList), kSSLCertCertificateCount);
  for (size_t i = 0; i < kSSLCertCertificateCount; ++i) {
    EXPECT_NE(kSSLCertCertificateList[i], nullptr) << "entry " << i;
    EXPECT_GT(kSSLCertCertificateSizeList[i], 0u) << "entry " << i;
  }
}

TEST(SSLRootsTest, BlobsLieBackToBackInTableOrder) {
  for (size_t i = 1; i < kSSLCertCertificateCount; ++i) {
    EXPECT_EQ(kSSLCertCertificateList[i],
              kSSLCertCertificateList[i - 1] + kSSLCertCertificateSizeList[i - 1])
        << "entry " << i;
  }
}

TEST(SSLRootsTest, EveryEntryIsADistinctSelfSignedCertificateAuthority) {
  std::set<std::string> seen;
  for (size_t i = 0; i < kSSLCertCertificateCount; ++i) {
    bssl::UniquePtr<X509> cert = ParseEntry(i);
    ASSERT_TRUE(cert) << "entry " << i << " is not DER X.509";
    EXPECT_EQ(X509_check_issued(cert.get(), cert.get()), X509_V_OK) << "entry " << i;
    EXPECT_EQ(X509_check_ca(cert.get()), 1) << "entry " << i;
    const std::string der(reinterpret_cast<const char*>(kSSLCertCertificateList[i]),
                          kSSLCertCertificateSizeList[i]);
    EXPECT_TRUE(seen.insert(der).second) << "entry " << i << " repeats an earlier one";
  }
}

TEST(SSLRootsTest, WholeTableLoadsIntoAStore) {
  bssl::UniquePtr<X509_STORE> store(X509_STORE_new());
  ASSERT_TRUE(store);
  size_t added = 0;
  for (size_t i = 0; i < kSSLCertCertificateCount; ++i) {
    bssl::UniquePtr<X509> cert = ParseEntry(i);
    ASSERT_TRUE(cert);
    if (X509_STORE_add_cert(store.get(), cert.get())) {
      ++added;
    }
  }
  EXPECT_EQ(added, kSSLCertCertificateCount);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())),
            static_cast<int>(kSSLCertCertificateCount));
}

}  // namespace
