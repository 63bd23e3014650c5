#include "src/utilities/cycle_buffer.h"

#include <cstring>
#include <limits>
#include <new>

#include "rtc_base/checks.h"

namespace tavix {

namespace {

constexpr size_t kMaxCapacity = std::numeric_limits<size_t>::max() / 2;

std::unique_ptr<char[]> AllocateZeroed(size_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[size]());
}

}  // namespace

CycleBuffer::CycleBuffer() : read_pos_(0), write_pos_(0), capacity_(0), free_size_(0) {}

CycleBuffer::~CycleBuffer() = default;

bool CycleBuffer::Init(size_t size) {
  if (size == 0)
    return false;
  std::unique_ptr<char[]> storage = AllocateZeroed(size);
  if (!storage)
    return false;
  buffer_ = std::move(storage);
  // Positions left over from earlier contents would point past a smaller
  // storage, so a fresh storage always starts empty.
  read_pos_ = 0;
  write_pos_ = 0;
  capacity_ = size;
  free_size_ = size;
  return true;
}

void CycleBuffer::CopyOut(char* out, size_t n) const {
  if (n == 0)
    return;
  size_t start = read_pos_ < capacity_ ? read_pos_ : 0;
  size_t first = capacity_ - start;
  if (first >= n) {
    std::memcpy(out, buffer_.get() + start, n);
    return;
  }
  std::memcpy(out, buffer_.get() + start, first);
  std::memcpy(out + first, buffer_.get(), n - first);
}

bool CycleBuffer::ResizeBuffer() {
  if (capacity_ == 0 || capacity_ > kMaxCapacity)
    return false;
  const size_t new_capacity = capacity_ * 2;
  std::unique_ptr<char[]> storage = AllocateZeroed(new_capacity);
  if (!storage)
    return false;
  // The stored run goes to the same start offset, unwrapped: it ends at most at
  // read_pos_ + capacity_, inside the doubled storage, so bytes that did not wrap
  // keep their offsets and bytes that did now follow them.
  const size_t stored = size();
  CopyOut(storage.get() + read_pos_, stored);
  buffer_ = std::move(storage);
  write_pos_ = read_pos_ + stored;
  free_size_ += capacity_;
  capacity_ = new_capacity;
  return true;
}

bool CycleBuffer::Write(const char* data, size_t length) {
  if (length == 0)
    return true;
  if (free_size_ < length) {
    if (capacity_ == 0)
      return false;
    // Decide up front whether doubling can ever make room, so that an absurd
    // length neither overflows the capacity nor leaves a half-grown buffer.
    size_t capacity = capacity_;
    while (capacity - size() < length) {
      if (capacity > kMaxCapacity)
        return false;
      capacity *= 2;
    }
    while (free_size_ < length) {
      if (!ResizeBuffer())
        return false;
    }
  }
  if (write_pos_ == capacity_)
    write_pos_ = 0;
  const size_t tail = capacity_ - write_pos_;
  if (tail < length) {
    std::memcpy(buffer_.get() + write_pos_, data, tail);
    std::memcpy(buffer_.get(), data + tail, length - tail);
    write_pos_ = length - tail;
  } else {
    std::memcpy(buffer_.get() + write_pos_, data, length);
    write_pos_ += length;
  }
  free_size_ -= length;
  return true;
}

size_t CycleBuffer::Read(char* out, size_t length) const {
  const size_t n = length < size() ? length : size();
  CopyOut(out, n);
  return n;
}

void CycleBuffer::GetPosition(size_t* pos) const {
  *pos = read_pos_;
}

bool CycleBuffer::SetPosition(size_t pos) {
  // Moving backwards would count consumed bytes as free twice over; a caller that
  // does this has lost track of the buffer.
  RTC_CHECK(pos >= read_pos_);
  // Consuming past the stored bytes would make the free count exceed the
  // capacity, and later writes would run past the storage.
  const size_t consumed = pos - read_pos_;
  if (consumed > size())
    return false;
  free_size_ += consumed;
  read_pos_ = pos < capacity_ ? pos : pos - capacity_;
  return true;
}

bool CycleBuffer::MovePosForward(size_t n) {
  if (n > size())
    return false;
  return SetPosition(read_pos_ + n);
}

void CycleBuffer::Clear() {
  write_pos_ = 0;
  read_pos_ = 0;
  free_size_ = capacity_;
}

}  // namespace tavix
