#ifndef SRC_UTILITIES_MESSAGE_H_
#define SRC_UTILITIES_MESSAGE_H_

#include <memory>
#include <string>

namespace mavel {

// Packets are at most this long: the writer's fixed buffer.
constexpr int kMsgPacketSize = 1500;

// Writes a packet field by field: integers big-endian, a text as a u16 length
// that counts the text and its terminating zero, the text, then the zero.
//
// Every write tests its whole field against the free space first, so the packet
// is always a run of complete fields. A write that does not fit (or that is
// given unusable input) writes nothing and puts the writer into a failed state:
// every later write is refused too, so a field can never go missing from the
// middle of a packet. Callers check Failed() once after the last field and must
// not send a failed packet.
class msg_packet_out {
 public:
  msg_packet_out();
  virtual ~msg_packet_out();

  // The cursor points into this object's own buffer, so a copy would write into
  // the original's.
  msg_packet_out(const msg_packet_out&) = delete;
  msg_packet_out& operator=(const msg_packet_out&) = delete;

  const char* GetData() const { return data_; }
  // Bytes written so far: the complete fields before any failure.
  int GetSize() const { return static_cast<int>(cursor_ - data_); }
  // True once a write or a cursor move has been refused; stays true.
  bool Failed() const { return failed_; }

  msg_packet_out& operator<<(unsigned char value);
  msg_packet_out& operator<<(unsigned short value);
  msg_packet_out& operator<<(unsigned int value);
  // A null text fails the writer.
  msg_packet_out& operator<<(const char* text);
  // The text ends at its first zero byte.
  msg_packet_out& operator<<(const std::string& text);

  // Writes `len` bytes as a text field: u16 (len + 1), the bytes, a zero. Null
  // `src` with `len` 0 writes nothing and is no failure; null with a length is.
  void WriteBinary(const char* src, unsigned short len);
  // Copies `len` raw bytes, with no length field. A negative `len`, or a null
  // `src` with a length, fails the writer.
  void WriteData(const char* src, int len);
  // Moves the cursor to `pos` and returns the previous position. A `pos`
  // outside 0..kMsgPacketSize leaves the cursor where it is and fails the
  // writer.
  int SetCursor(int pos);

 private:
  int FreeSize() const { return kMsgPacketSize - GetSize(); }
  // True when `needed` bytes can be written now; otherwise fails the writer.
  bool Reserve(size_t needed);
  void PutText(const char* text, size_t text_len);

  char data_[kMsgPacketSize];
  char* cursor_;
  bool failed_;
};

// Reads a packet written by msg_packet_out from a private copy of it. A field
// that the bytes left cannot hold reads as 0 or as an empty text and never
// reads past the packet, whatever its length fields claim; Failed() then
// tells the caller that the packet was short or malformed.
class msg_packet_in {
 public:
  // A negative `len` or a null `data` gives an empty packet.
  msg_packet_in(const char* data, int len);
  virtual ~msg_packet_in();

  msg_packet_in(const msg_packet_in&) = delete;
  msg_packet_in& operator=(const msg_packet_in&) = delete;

  const char* GetData() const { return data_.get(); }
  int GetSize() const { return size_; }
  // True once a field was missing or malformed; Reset() clears it.
  bool Failed() const { return failed_; }

  // Integers yield 0, with the cursor kept, when too few bytes are left.
  msg_packet_in& operator>>(unsigned char& value);
  msg_packet_in& operator>>(unsigned short& value);
  msg_packet_in& operator>>(unsigned int& value);
  // Points `text` at the text inside the copy, valid while the reader lives.
  // A length of 0, a length past the packet, or a field whose last byte is not
  // zero gives an empty text with the cursor after the length field; too few
  // bytes for the length itself give an empty text with the cursor kept.
  msg_packet_in& operator>>(const char*& text);
  // The same, keeping the text up to its first zero byte.
  msg_packet_in& operator>>(std::string& text);

  // The bytes left, without moving the cursor.
  const char* ReadData(int& remaining);
  void Reset();
  // Reads a text field as bytes: points at them, with `len` the count before
  // the terminating zero. Null with `len` 0 under the same conditions as an
  // empty text above.
  const char* ReadBinary(unsigned short& len);

 private:
  int Remaining() const { return size_ - static_cast<int>(cursor_ - data_.get()); }
  // Reads a field's u16 length and checks the field it announces; returns the
  // field's bytes (cursor moved past them) or null (cursor after the length, or
  // kept when the length itself was short).
  const char* TakeTextField(unsigned short* field_len);

  // Exactly the packet's bytes, so nothing can be read beyond them even by
  // accident.
  std::unique_ptr<char[]> data_;
  int size_;
  const char* cursor_;
  bool failed_;
};

}  // namespace mavel

#endif  // SRC_UTILITIES_MESSAGE_H_
