#ifndef RTC_BASE_BUFFER_H_
#define RTC_BASE_BUFFER_H_

#include <stddef.h>
#include <stdint.h>

#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

namespace rtc {

namespace internal {
// Element types a buffer of T may be read or written as: same size, plain bytes.
template <typename T, typename U>
struct BufferCompat {
  static constexpr bool value = !std::is_volatile<U>::value && std::is_integral<T>::value &&
                                std::is_integral<U>::value && sizeof(T) == sizeof(U);
};
}  // namespace internal

// A growable, contiguous block of bytes that the buffer owns: a size (bytes in use)
// and a capacity (bytes allocated). Appending and resizing grow it with at least
// half the old capacity again; shrinking and clearing never release storage, so a
// buffer that is drained and refilled keeps it.
//
// With ZeroOnFree the storage is overwritten with zeros before it is released or
// replaced, and when the buffer is cleared.
template <typename T, bool ZeroOnFree = false>
class BufferT {
  static_assert(std::is_trivial<T>::value, "T must be a trivial type");
  static_assert(!std::is_const<T>::value, "T may not be const");

 public:
  using value_type = T;

  BufferT() = default;
  BufferT(const BufferT&) = delete;
  BufferT& operator=(const BufferT&) = delete;

  // The moved-from buffer is left empty, with no storage.
  BufferT(BufferT&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), data_(std::move(other.data_)) {
    other.size_ = 0;
    other.capacity_ = 0;
  }
  BufferT& operator=(BufferT&& other) noexcept {
    if (this != &other) {
      MaybeZeroCompleteBuffer();
      size_ = other.size_;
      capacity_ = other.capacity_;
      data_ = std::move(other.data_);
      other.size_ = 0;
      other.capacity_ = 0;
    }
    return *this;
  }

  ~BufferT() { MaybeZeroCompleteBuffer(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  // The first element; null until something has been allocated.
  template <typename U = T, typename = std::enable_if_t<internal::BufferCompat<T, U>::value>>
  U* data() {
    return reinterpret_cast<U*>(data_.get());
  }
  template <typename U = T, typename = std::enable_if_t<internal::BufferCompat<T, U>::value>>
  const U* data() const {
    return reinterpret_cast<const U*>(data_.get());
  }

  // Grows to exactly `capacity` when that is more than now; never shrinks.
  void EnsureCapacity(size_t capacity) { EnsureCapacityWithHeadroom(capacity, false); }

  // Bytes gained are uninitialised; shrinking keeps the capacity and the leading bytes.
  void SetSize(size_t size) {
    EnsureCapacityWithHeadroom(size, true);
    size_ = size;
  }

  // `data` may point into this buffer's own contents.
  template <typename U, typename = std::enable_if_t<internal::BufferCompat<T, U>::value>>
  void AppendData(const U* data, size_t size) {
    if (size == 0) {
      return;
    }
    const size_t old_size = size_;
    const size_t new_size = old_size + size;
    if (new_size > capacity_) {
      // Copy into the new storage before the old one goes, so a source inside
      // the old storage stays readable.
      const size_t new_capacity = GrownCapacity(new_size, true);
      std::unique_ptr<T[]> new_data(new T[new_capacity]);
      if (old_size > 0) {
        std::memcpy(new_data.get(), data_.get(), old_size * sizeof(T));
      }
      std::memcpy(new_data.get() + old_size, data, size * sizeof(T));
      ReplaceStorage(std::move(new_data), new_capacity);
    } else {
      std::memmove(data_.get() + old_size, data, size * sizeof(T));
    }
    size_ = new_size;
  }

  // Replaces the contents with a copy of `size` elements at `data`, which may lie
  // inside this buffer's own contents.
  template <typename U, typename = std::enable_if_t<internal::BufferCompat<T, U>::value>>
  void SetData(const U* data, size_t size) {
    const T* source = reinterpret_cast<const T*>(data);
    if (size > 0 && size <= capacity_ && source >= data_.get() &&
        source < data_.get() + capacity_) {
      std::memmove(data_.get(), source, size * sizeof(T));
      size_ = size;
      return;
    }
    size_ = 0;
    AppendData(data, size);
  }

  // Empties the buffer; storage and capacity stay.
  void Clear() {
    MaybeZeroCompleteBuffer();
    size_ = 0;
  }

  // The growth step: with headroom, at least 1.5 times the old capacity.
  void EnsureCapacityWithHeadroom(size_t capacity, bool headroom) {
    if (capacity <= capacity_) {
      return;
    }
    const size_t new_capacity = GrownCapacity(capacity, headroom);
    std::unique_ptr<T[]> new_data(new T[new_capacity]);
    if (size_ > 0) {
      std::memcpy(new_data.get(), data_.get(), size_ * sizeof(T));
    }
    ReplaceStorage(std::move(new_data), new_capacity);
  }

 private:
  size_t GrownCapacity(size_t capacity, bool headroom) const {
    if (!headroom) {
      return capacity;
    }
    const size_t grown = capacity_ + capacity_ / 2;
    return grown > capacity ? grown : capacity;
  }

  void ReplaceStorage(std::unique_ptr<T[]> new_data, size_t new_capacity) {
    MaybeZeroCompleteBuffer();
    data_ = std::move(new_data);
    capacity_ = new_capacity;
  }

  // The wipe step, run wherever storage is cleared, released or replaced.
  void MaybeZeroCompleteBuffer() {
    if (ZeroOnFree && capacity_ > 0) {
      // Through a volatile pointer so the stores survive as dead stores.
      volatile T* p = data_.get();
      for (size_t i = 0; i < capacity_; ++i) {
        p[i] = 0;
      }
    }
  }

  size_t size_ = 0;
  size_t capacity_ = 0;
  // Null while capacity_ is 0.
  std::unique_ptr<T[]> data_;
};

using Buffer = BufferT<uint8_t>;
using ZeroOnFreeBuffer = BufferT<uint8_t, true>;

}  // namespace rtc

#endif  // RTC_BASE_BUFFER_H_
