#ifndef SRC_UTILITIES_CYCLE_BUFFER_H_
#define SRC_UTILITIES_CYCLE_BUFFER_H_

#include <cstddef>
#include <memory>

namespace tavix {

// A growable circular byte buffer. Bytes are appended at the write position and
// taken from the read position, both wrapping at the end of the storage; a write
// that does not fit doubles the storage. Not thread-safe: one owner, one thread.
class CycleBuffer {
 public:
  CycleBuffer();
  ~CycleBuffer();

  CycleBuffer(const CycleBuffer&) = delete;
  CycleBuffer& operator=(const CycleBuffer&) = delete;

  // Allocates `size` zeroed bytes and empties the buffer. False for size 0 or a
  // failed allocation; the buffer is then unchanged.
  bool Init(size_t size);

  // Doubles the storage, keeping the stored bytes in order. False when there is
  // no storage yet, the size would overflow or the allocation fails; the buffer
  // is then unchanged.
  bool ResizeBuffer();

  // Appends `length` bytes, growing as needed. False, with nothing written, when
  // the buffer was never initialised or cannot grow enough.
  bool Write(const char* data, size_t length);

  // Copies up to `length` stored bytes, oldest first, into `out` without
  // consuming them; returns how many were copied.
  size_t Read(char* out, size_t length) const;

  void GetPosition(size_t* pos) const;

  // Consumes the stored bytes up to `pos`, counted without wrapping from the
  // start of the storage (so it may exceed the capacity). A `pos` past the stored
  // bytes is refused: false, nothing consumed. A `pos` before the read position
  // is a caller error and stops the process.
  bool SetPosition(size_t pos);

  // Consumes `n` bytes; false, nothing consumed, when fewer are stored.
  bool MovePosForward(size_t n);

  // Empties the buffer; the storage and its old bytes stay.
  void Clear();

  bool IsEmpty() const { return free_size_ == capacity_; }

  // The first stored byte. The stored bytes run on contiguously from here only
  // while they do not wrap, which holds as long as nothing is consumed. No
  // terminating zero is added.
  const char* c_str() const { return buffer_ ? buffer_.get() + read_pos_ : nullptr; }

  size_t size() const { return capacity_ - free_size_; }
  size_t capacity() const { return capacity_; }

 private:
  // Copies the stored bytes, oldest first, into `out`, which holds at least `n`
  // of them.
  void CopyOut(char* out, size_t n) const;

  std::unique_ptr<char[]> buffer_;
  // Offset of the first stored byte; below `capacity_` whenever bytes are stored.
  size_t read_pos_;
  // Offset of the next byte to store; may equal `capacity_`, and the next write
  // then starts at offset 0.
  size_t write_pos_;
  size_t capacity_;
  size_t free_size_;
};

}  // namespace tavix

#endif  // SRC_UTILITIES_CYCLE_BUFFER_H_
