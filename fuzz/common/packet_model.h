#ifndef FUZZ_COMMON_PACKET_MODEL_H_
#define FUZZ_COMMON_PACKET_MODEL_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>

namespace zek_fuzz {

// The packet format of the KCP transport, written from its description: big-endian
// integers, and text fields of a u16 length n, n - 1 text bytes and a zero byte.

inline std::string Be(uint32_t value, size_t width) {
  std::string out;
  for (size_t i = width; i-- > 0;)
    out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

inline std::string EncodeField(const std::string& text) {
  return Be(static_cast<uint32_t>(text.size() + 1), 2) + text + std::string(1, '\0');
}

inline std::string UpToZero(const std::string& s) {
  return s.substr(0, s.find('\0'));
}

// Reads fields as the format says: a field the bytes left cannot hold reads as 0 or
// as no text and marks the read failed until Reset. A short integer leaves the
// position where it was; a text field that is not whole leaves it after the length.
class PacketModelReader {
 public:
  explicit PacketModelReader(std::string packet) : packet_(std::move(packet)) {}

  size_t remaining() const { return packet_.size() - pos_; }
  size_t pos() const { return pos_; }
  bool failed() const { return failed_; }
  void Reset() {
    pos_ = 0;
    failed_ = false;
  }

  uint32_t Int(size_t width, bool* ok = nullptr) {
    const bool fits = remaining() >= width;
    if (ok)
      *ok = fits;
    if (!fits) {
      failed_ = true;
      return 0;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i)
      v = v << 8 | static_cast<unsigned char>(packet_[pos_ + i]);
    pos_ += width;
    return v;
  }

  // The field's bytes before its final zero, zeros inside it included; false for a
  // field that is not whole.
  bool Field(std::string* bytes) {
    bool ok = false;
    const size_t n = Int(2, &ok);
    if (!ok)
      return false;
    if (n == 0 || remaining() < n || packet_[pos_ + n - 1] != '\0') {
      failed_ = true;
      return false;
    }
    *bytes = packet_.substr(pos_, n - 1);
    pos_ += n;
    return true;
  }

  // A text field as a text: up to its first zero byte; empty when it is not whole.
  std::string Text() {
    std::string bytes;
    return Field(&bytes) ? UpToZero(bytes) : std::string();
  }

 private:
  const std::string packet_;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_PACKET_MODEL_H_
