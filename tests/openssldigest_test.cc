#include "rtc_base/openssldigest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "rtc_base/base64.h"
#include "rtc_base/messagedigest.h"
#include "rtc_base/stringencode.h"

namespace {

struct DigestCase {
  const char* algorithm;
  size_t size;
  const char* empty;       // digest of zero bytes
  const char* abc;         // digest of "abc"
  const char* two_blocks;  // digest of kTwoBlocks
};

// Its algorithm alone: gtest would print the raw bytes, pointers included.
void PrintTo(const DigestCase& c, std::ostream* os) {
  *os << c.algorithm;
}

// The FIPS 180 and RFC 1321 test vectors.
const char kTwoBlocks[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const DigestCase kDigests[] = {
    {rtc::DIGEST_MD5, 16, "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72",
     "8215ef0796a20bcaaae116d3876c664a"},
    {rtc::DIGEST_SHA_1, 20, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "a9993e364706816aba3e25717850c26c9cd0d89d", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {rtc::DIGEST_SHA_224, 28, "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f",
     "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7",
     "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
    {rtc::DIGEST_SHA_256, 32, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {rtc::DIGEST_SHA_384, 48,
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b"
     "9"
     "5b",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c82"
     "5"
     "a7",
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c84"
     "5"
     "2b"},
    {rtc::DIGEST_SHA_512, 64,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877ee"
     "c"
     "2f63b931bd47417a81a538327af927da3e",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3fee"
     "b"
     "bd454d4423643ce80e2a9ac94fa54ca49f",
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789"
     "c"
     "a031ad85c7a71dd70354ec631238ca3445"},
};

class DigestByNameTest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(DigestByNameTest, KnownVectors) {
  const DigestCase& c = GetParam();
  EXPECT_EQ(rtc::ComputeDigest(c.algorithm, ""), c.empty);
  EXPECT_EQ(rtc::ComputeDigest(c.algorithm, "abc"), c.abc);
  EXPECT_EQ(rtc::ComputeDigest(c.algorithm, kTwoBlocks), c.two_blocks);
  EXPECT_EQ(rtc::ComputeDigest(c.algorithm, "abc").size(), 2 * c.size);

  std::string out = "old";
  EXPECT_TRUE(rtc::ComputeDigest(c.algorithm, "abc", &out));
  EXPECT_EQ(out, c.abc);
}

TEST_P(DigestByNameTest, SizeAndRawForm) {
  const DigestCase& c = GetParam();
  rtc::OpenSSLDigest digest(c.algorithm);
  EXPECT_EQ(digest.Size(), c.size);

  unsigned char raw[64];
  EXPECT_EQ(rtc::ComputeDigest(&digest, "abc", 3, raw, sizeof(raw)), c.size);
  EXPECT_EQ(rtc::hex_encode(reinterpret_cast<const char*>(raw), c.size), c.abc);
}

TEST_P(DigestByNameTest, UpdatesInPiecesEqualOneUpdate) {
  const DigestCase& c = GetParam();
  std::unique_ptr<rtc::MessageDigest> digest(rtc::MessageDigestFactory::Create(c.algorithm));
  ASSERT_TRUE(digest);
  const std::string text = kTwoBlocks;
  for (size_t i = 0; i < text.size(); i += 7) {
    digest->Update(text.data() + i, std::min<size_t>(7, text.size() - i));
  }
  unsigned char raw[64];
  ASSERT_EQ(digest->Finish(raw, sizeof(raw)), c.size);
  EXPECT_EQ(rtc::hex_encode(reinterpret_cast<const char*>(raw), c.size), c.two_blocks);
}

TEST_P(DigestByNameTest, FinishStartsANewMessage) {
  const DigestCase& c = GetParam();
  rtc::OpenSSLDigest digest(c.algorithm);
  digest.Update("abc", 3);
  unsigned char raw[64];
  ASSERT_EQ(digest.Finish(raw, sizeof(raw)), c.size);
  // Nothing fed since: the digest of the empty message.
  ASSERT_EQ(digest.Finish(raw, sizeof(raw)), c.size);
  EXPECT_EQ(rtc::hex_encode(reinterpret_cast<const char*>(raw), c.size), c.empty);
}

TEST_P(DigestByNameTest, TooSmallBufferWritesNothingAndKeepsTheData) {
  const DigestCase& c = GetParam();
  rtc::OpenSSLDigest digest(c.algorithm);
  digest.Update("a", 1);
  unsigned char raw[65];
  memset(raw, 0xEE, sizeof(raw));
  EXPECT_EQ(digest.Finish(raw, c.size - 1), 0u);
  for (unsigned char b : raw) {
    ASSERT_EQ(b, 0xEE);
  }
  digest.Update("bc", 2);
  ASSERT_EQ(digest.Finish(raw, c.size), c.size);
  EXPECT_EQ(rtc::hex_encode(reinterpret_cast<const char*>(raw), c.size), c.abc);
  EXPECT_EQ(raw[c.size], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(AllNames,
                         DigestByNameTest,
                         ::testing::ValuesIn(kDigests),
                         [](const ::testing::TestParamInfo<DigestCase>& info) {
                           std::string name = info.param.algorithm;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST(DigestTest, InputIsTakenByLengthNotUpToANul) {
  EXPECT_EQ(rtc::ComputeDigest("sha-256", std::string("\0", 1)),
            "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
  EXPECT_EQ(rtc::ComputeDigest("sha-1", std::string("a\0b", 3)),
            "4a3dec2d1f8245280855c42db0ee4239f917fdb8");
}

TEST(DigestTest, UnknownNamesAreRefused) {
  const char* kUnknown[] = {"sha1", "SHA-1", "Sha-256", "md4", "sha-512/256", "", "sha-1 ", "sha"};
  for (const char* name : kUnknown) {
    SCOPED_TRACE(name);
    EXPECT_EQ(rtc::MessageDigestFactory::Create(name), nullptr);
    EXPECT_EQ(rtc::ComputeDigest(name, "abc"), "");
    std::string out = "untouched";
    EXPECT_FALSE(rtc::ComputeDigest(name, "abc", &out));
    EXPECT_EQ(out, "untouched");
    const EVP_MD* md = EVP_sha1();
    EXPECT_FALSE(rtc::OpenSSLDigest::GetDigestEVP(name, &md));
    EXPECT_EQ(md, EVP_sha1());
  }
}

TEST(DigestTest, DigestWithAnUnknownNameIsInert) {
  rtc::OpenSSLDigest digest("SHA-256");
  EXPECT_EQ(digest.Size(), 0u);
  digest.Update("abc", 3);
  unsigned char raw[64] = {};
  EXPECT_EQ(digest.Finish(raw, sizeof(raw)), 0u);
  EXPECT_EQ(raw[0], 0);
  EXPECT_EQ(rtc::ComputeDigest(&digest, "abc"), "");
}

// The accept value of a WebSocket handshake: "sha-1" hex digest of the key and
// the protocol GUID, turned back into bytes and base64-encoded, for the sample
// key of RFC 6455 section 1.3.
TEST(DigestTest, WebSocketAcceptKeyOfTheRfcSample) {
  const std::string hex =
      rtc::ComputeDigest("sha-1", "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
  ASSERT_EQ(hex.size(), 40u);
  std::string raw;
  for (size_t i = 0; i < hex.size(); i += 2) {
    raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  std::string accept;
  rtc::Base64::EncodeFromArray(raw.data(), raw.size(), &accept);
  EXPECT_EQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
