#ifndef RTC_BASE_HELPERS_H_
#define RTC_BASE_HELPERS_H_

#include <stddef.h>

#include <string>

namespace rtc {

// A source of random bytes.
class RandomGenerator {
 public:
  virtual ~RandomGenerator() = default;
  virtual bool Init(const void* seed, size_t len) = 0;
  virtual bool Generate(void* buf, size_t len) = 0;
};

// Draws from the TLS library's secure random source; it needs no seed.
class SecureRandomGenerator : public RandomGenerator {
 public:
  bool Init(const void* seed, size_t len) override;
  bool Generate(void* buf, size_t len) override;
};

// Seeds the process-wide generator. The secure generator ignores the seed, so this
// always succeeds and changes no later output.
bool InitRandom(int seed);
bool InitRandom(const char* seed, size_t len);

// A random RFC 4122 version-4 identifier in lowercase, 36 characters.
std::string CreateRandomUuid();

}  // namespace rtc

#endif  // RTC_BASE_HELPERS_H_
