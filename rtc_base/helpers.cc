#include "rtc_base/helpers.h"

#include <openssl/rand.h>

#include <memory>

#include "rtc_base/checks.h"
#include "rtc_base/logging.h"

namespace rtc {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kUuidVariant[] = "89ab";

// Created on first use and kept until the process ends, so late users during
// shut-down still find it.
std::unique_ptr<RandomGenerator>& GetGlobalRng() {
  static std::unique_ptr<RandomGenerator>* global_rng =
      new std::unique_ptr<RandomGenerator>(new SecureRandomGenerator());
  return *global_rng;
}

RandomGenerator& Rng() {
  return *GetGlobalRng();
}

}  // namespace

bool SecureRandomGenerator::Init(const void* /*seed*/, size_t /*len*/) {
  return true;
}

bool SecureRandomGenerator::Generate(void* buf, size_t len) {
  return RAND_bytes(static_cast<uint8_t*>(buf), len) > 0;
}

bool InitRandom(int seed) {
  return InitRandom(reinterpret_cast<const char*>(&seed), sizeof(seed));
}

bool InitRandom(const char* seed, size_t len) {
  if (!Rng().Init(seed, len)) {
    RTC_LOG(LS_ERROR) << "Failed to init random generator!";
    return false;
  }
  return true;
}

std::string CreateRandomUuid() {
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[31]);
  RTC_CHECK(Rng().Generate(bytes.get(), 31));

  std::string str;
  str.reserve(36);
  auto digits = [&](int from, int to) {
    for (int i = from; i < to; ++i)
      str.push_back(kHex[bytes[i] & 0x0F]);
  };
  digits(0, 8);
  str.push_back('-');
  digits(8, 12);
  str.push_back('-');
  str.push_back('4');
  digits(12, 15);
  str.push_back('-');
  str.push_back(kUuidVariant[bytes[15] & 3]);
  digits(16, 19);
  str.push_back('-');
  digits(19, 31);
  return str;
}

}  // namespace rtc
