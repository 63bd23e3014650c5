#ifndef RTC_BASE_ARRAY_VIEW_H_
#define RTC_BASE_ARRAY_VIEW_H_

#include <cstddef>
#include <type_traits>
#include <utility>

namespace rtc {

// A non-owning view of a contiguous array: a data pointer and an element count.
// The viewed storage must outlive the view. A view of 0 elements holds a null data
// pointer, whatever pointer it was made from.
template <typename T>
class ArrayView {
 public:
  using value_type = T;
  using pointer = T*;
  using iterator = T*;

  ArrayView() = default;
  ArrayView(T* data, size_t size) : data_(size == 0 ? nullptr : data), size_(size) {}

  template <size_t N>
  ArrayView(T (&array)[N]) : ArrayView(array, N) {}  // NOLINT: implicit by design

  // From a view of another element type whose pointer converts, e.g. non-const to const.
  template <typename U, typename = std::enable_if_t<std::is_convertible<U (*)[], T (*)[]>::value>>
  ArrayView(const ArrayView<U>& other)  // NOLINT: implicit by design
      : ArrayView(other.data(), other.size()) {}

  // From a container with contiguous data() and size(), such as std::vector.
  template <
      typename C,
      typename = std::enable_if_t<
          !std::is_base_of<ArrayView, std::decay_t<C>>::value &&
          std::is_convertible<std::remove_pointer_t<decltype(std::declval<C&>().data())> (*)[],
                              T (*)[]>::value>,
      typename = decltype(std::declval<C&>().size())>
  ArrayView(C& container)  // NOLINT: implicit by design
      : ArrayView(container.data(), container.size()) {}

  T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Unchecked, as for a plain array.
  T& operator[](size_t index) const { return data_[index]; }

  T* begin() const { return data_; }
  T* end() const { return data_ + size_; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace rtc

#endif  // RTC_BASE_ARRAY_VIEW_H_
