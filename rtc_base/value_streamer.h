#ifndef RTC_BASE_VALUE_STREAMER_H_
#define RTC_BASE_VALUE_STREAMER_H_

// The values a log statement or a failed check streams with `<<`, wrapped with the
// tag that tells the receiving variadic function how to read each one. Logging and
// checks number their tags differently; both name them alike, and `Tag` here is
// either table: an enum with the entries kInt, kLong, kLongLong, kUInt, kULong,
// kULongLong, kDouble, kLongDouble, kCharP, kStdString, kVoidP and, where the table
// has it, kStringView.

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace rtc {
namespace value_streamer_impl {

// A copy of a scalar, or the address of a string that lives until the end of the
// statement; it formats nothing and allocates nothing.
template <typename Tag, Tag N, typename T>
struct Val {
  static constexpr Tag Type() { return N; }
  T GetVal() const { return value_; }
  T value_;
};

// One wrapper per type the receiver reads. Smaller integers, bool and float reach
// these by promotion; pointers other than to char text print as const void*.
template <typename Tag>
Val<Tag, Tag::kInt, int> MakeVal(int x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kLong, long> MakeVal(long x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kLongLong, long long> MakeVal(long long x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kUInt, unsigned int> MakeVal(unsigned int x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kULong, unsigned long> MakeVal(unsigned long x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kULongLong, unsigned long long> MakeVal(unsigned long long x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kDouble, double> MakeVal(double x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kLongDouble, long double> MakeVal(long double x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kCharP, const char*> MakeVal(const char* x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kStdString, const std::string*> MakeVal(const std::string& x) {
  return {&x};
}
// Only for a table with kStringView; elsewhere a view does not stream.
template <typename Tag>
Val<Tag, Tag::kStringView, const std::string_view*> MakeVal(const std::string_view& x) {
  return {&x};
}
template <typename Tag>
Val<Tag, Tag::kVoidP, const void*> MakeVal(const void* x) {
  return {x};
}
template <typename Tag>
Val<Tag, Tag::kVoidP, const void*> MakeVal(std::nullptr_t) {
  return {nullptr};
}
// A char would otherwise print as its number, which is rarely what was meant.
template <typename Tag>
void MakeVal(char) = delete;
// Enums, scoped or not, print as their underlying integer.
template <typename Tag,
          typename T,
          typename std::enable_if<std::is_enum<T>::value>::type* = nullptr>
auto MakeVal(T x) -> decltype(MakeVal<Tag>(static_cast<std::underlying_type_t<T>>(x) + 0)) {
  return MakeVal<Tag>(static_cast<std::underlying_type_t<T>>(x) + 0);
}

// The wrapped values of one statement in stream order. Each `<<` makes a new
// streamer; the statement's call object takes values() once, at the end of the
// full expression whose temporaries the wrappers point into.
template <typename Tag, typename... Ts>
class ValueStreamer final {
 public:
  ValueStreamer() = default;
  explicit ValueStreamer(const std::tuple<Ts...>& values) : values_(values) {}

  template <typename U, typename V = decltype(MakeVal<Tag>(std::declval<const U&>()))>
  ValueStreamer<Tag, Ts..., V> operator<<(const U& arg) const {
    return ValueStreamer<Tag, Ts..., V>(std::tuple_cat(values_, std::tuple<V>(MakeVal<Tag>(arg))));
  }

  const std::tuple<Ts...>& values() const { return values_; }

 private:
  std::tuple<Ts...> values_;
};

}  // namespace value_streamer_impl
}  // namespace rtc

#endif  // RTC_BASE_VALUE_STREAMER_H_
