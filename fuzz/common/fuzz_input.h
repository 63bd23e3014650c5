#ifndef FUZZ_COMMON_FUZZ_INPUT_H_
#define FUZZ_COMMON_FUZZ_INPUT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace zek_fuzz {

// Reads a fuzz input as a script: operations and their arguments from the front,
// and, for harnesses that need a second stream of choices (a link's fate for each
// datagram), single bytes from the back. Reading past the end yields zeros and
// empty texts, so every input is a complete script.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), front_(0), back_(size) {}

  bool empty() const { return front_ >= back_; }
  size_t remaining() const { return back_ - front_; }

  uint8_t Byte() { return front_ < back_ ? data_[front_++] : 0; }
  uint16_t U16() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  uint32_t U32() {
    const uint32_t high = U16();
    return high << 16 | U16();
  }
  // Up to `n` bytes, fewer when the input ends first.
  std::string Bytes(size_t n) {
    const size_t take = n < remaining() ? n : remaining();
    std::string out(reinterpret_cast<const char*>(data_ + front_), take);
    front_ += take;
    return out;
  }
  // A length-prefixed run: a u16 length (cut to `max`), then that many bytes.
  std::string Blob(size_t max = 0xFFFF) {
    size_t n = U16();
    if (n > max)
      n = max;
    return Bytes(n);
  }
  // Everything not read yet from the front.
  std::string Rest() { return Bytes(remaining()); }

  // One choice from the back; `fallback` once the input is used up.
  uint8_t BackByte(uint8_t fallback = 0) { return front_ < back_ ? data_[--back_] : fallback; }

 private:
  const uint8_t* data_;
  size_t front_;
  size_t back_;
};

// A wrong answer: the oracle of a target disagrees with the code. Aborting makes
// libFuzzer keep the input as a crash reproducer, like a sanitizer's finding.
#define ZEK_FUZZ_CHECK(cond, ...)                                                 \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "oracle failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                               \
      fprintf(stderr, "\n");                                                      \
      abort();                                                                    \
    }                                                                             \
  } while (0)

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_FUZZ_INPUT_H_
