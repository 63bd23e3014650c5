#include "src/utilities/message.h"

#include <cstring>

namespace mavel {

namespace {

const char kEmptyText[] = "";

// The largest value a field's u16 length can carry: the text plus its zero.
constexpr size_t kMaxFieldLength = 0xFFFF;

unsigned ByteAt(const char* p, int i) {
  return static_cast<unsigned char>(p[i]);
}

}  // namespace

msg_packet_out::msg_packet_out() : data_(), cursor_(data_), failed_(false) {}

msg_packet_out::~msg_packet_out() = default;

bool msg_packet_out::Reserve(size_t needed) {
  if (failed_)
    return false;
  if (needed > static_cast<size_t>(FreeSize())) {
    failed_ = true;
    return false;
  }
  return true;
}

msg_packet_out& msg_packet_out::operator<<(unsigned char value) {
  if (Reserve(1))
    *cursor_++ = static_cast<char>(value);
  return *this;
}

msg_packet_out& msg_packet_out::operator<<(unsigned short value) {
  if (Reserve(2)) {
    *cursor_++ = static_cast<char>(value >> 8);
    *cursor_++ = static_cast<char>(value);
  }
  return *this;
}

msg_packet_out& msg_packet_out::operator<<(unsigned int value) {
  if (Reserve(4)) {
    *cursor_++ = static_cast<char>(value >> 24);
    *cursor_++ = static_cast<char>(value >> 16);
    *cursor_++ = static_cast<char>(value >> 8);
    *cursor_++ = static_cast<char>(value);
  }
  return *this;
}

void msg_packet_out::PutText(const char* text, size_t text_len) {
  const size_t field_len = text_len + 1;
  // A length the u16 cannot carry is also far beyond the packet size; the check
  // is kept explicit so the length written below can never be truncated.
  if (field_len > kMaxFieldLength) {
    failed_ = true;
    return;
  }
  if (!Reserve(2 + field_len))
    return;
  *this << static_cast<unsigned short>(field_len);
  if (text_len > 0)
    std::memcpy(cursor_, text, text_len);
  cursor_ += text_len;
  *cursor_++ = '\0';
}

msg_packet_out& msg_packet_out::operator<<(const char* text) {
  if (text == nullptr) {
    failed_ = true;
    return *this;
  }
  if (!failed_)
    PutText(text, std::strlen(text));
  return *this;
}

msg_packet_out& msg_packet_out::operator<<(const std::string& text) {
  return *this << text.c_str();
}

void msg_packet_out::WriteBinary(const char* src, unsigned short len) {
  if (len == 0)
    return;
  if (src == nullptr) {
    failed_ = true;
    return;
  }
  if (!failed_)
    PutText(src, len);
}

void msg_packet_out::WriteData(const char* src, int len) {
  if (len < 0 || (src == nullptr && len > 0)) {
    failed_ = true;
    return;
  }
  if (len == 0 || !Reserve(static_cast<size_t>(len)))
    return;
  std::memcpy(cursor_, src, static_cast<size_t>(len));
  cursor_ += len;
}

int msg_packet_out::SetCursor(int pos) {
  const int previous = GetSize();
  if (pos < 0 || pos > kMsgPacketSize) {
    failed_ = true;
    return previous;
  }
  cursor_ = data_ + pos;
  return previous;
}

msg_packet_in::msg_packet_in(const char* data, int len)
    : size_(data != nullptr && len > 0 ? len : 0), failed_(false) {
  data_.reset(new char[static_cast<size_t>(size_)]);
  if (size_ > 0)
    std::memcpy(data_.get(), data, static_cast<size_t>(size_));
  cursor_ = data_.get();
}

msg_packet_in::~msg_packet_in() = default;

msg_packet_in& msg_packet_in::operator>>(unsigned char& value) {
  value = 0;
  if (Remaining() < 1) {
    failed_ = true;
    return *this;
  }
  value = static_cast<unsigned char>(ByteAt(cursor_, 0));
  cursor_ += 1;
  return *this;
}

msg_packet_in& msg_packet_in::operator>>(unsigned short& value) {
  value = 0;
  if (Remaining() < 2) {
    failed_ = true;
    return *this;
  }
  value = static_cast<unsigned short>(ByteAt(cursor_, 0) << 8 | ByteAt(cursor_, 1));
  cursor_ += 2;
  return *this;
}

msg_packet_in& msg_packet_in::operator>>(unsigned int& value) {
  value = 0;
  if (Remaining() < 4) {
    failed_ = true;
    return *this;
  }
  value = ByteAt(cursor_, 0) << 24 | ByteAt(cursor_, 1) << 16 | ByteAt(cursor_, 2) << 8 |
          ByteAt(cursor_, 3);
  cursor_ += 4;
  return *this;
}

const char* msg_packet_in::TakeTextField(unsigned short* field_len) {
  unsigned short n = 0;
  *this >> n;
  *field_len = n;
  // Only a field that lies wholly inside the packet and ends in its zero is
  // taken; the length itself comes from the network and proves nothing.
  if (n == 0 || Remaining() < n || cursor_[n - 1] != '\0') {
    failed_ = true;
    return nullptr;
  }
  const char* field = cursor_;
  cursor_ += n;
  return field;
}

msg_packet_in& msg_packet_in::operator>>(const char*& text) {
  unsigned short n = 0;
  const char* field = TakeTextField(&n);
  text = field != nullptr ? field : kEmptyText;
  return *this;
}

msg_packet_in& msg_packet_in::operator>>(std::string& text) {
  const char* field = nullptr;
  *this >> field;
  text.assign(field);
  return *this;
}

const char* msg_packet_in::ReadData(int& remaining) {
  remaining = Remaining();
  return cursor_;
}

void msg_packet_in::Reset() {
  cursor_ = data_.get();
  failed_ = false;
}

const char* msg_packet_in::ReadBinary(unsigned short& len) {
  unsigned short n = 0;
  const char* field = TakeTextField(&n);
  len = field != nullptr ? static_cast<unsigned short>(n - 1) : 0;
  return field;
}

}  // namespace mavel
