// Comparisons of integers by value, whatever their signedness: SafeLt(-1, 1u) is
// true, where the built-in -1 < 1u converts -1 to a huge unsigned number.

#ifndef RTC_BASE_NUMERICS_SAFE_COMPARE_H_
#define RTC_BASE_NUMERICS_SAFE_COMPARE_H_

#include <type_traits>

namespace rtc {
namespace safe_cmp_impl {

template <typename T>
constexpr std::make_unsigned_t<T> MakeUnsigned(T a) {
  return static_cast<std::make_unsigned_t<T>>(a);
}

template <typename Op, typename T1, typename T2>
constexpr bool Cmp(T1 a, T2 b) {
  static_assert(std::is_integral<T1>::value && std::is_integral<T2>::value, "integers only");
  if constexpr (std::is_signed<T1>::value == std::is_signed<T2>::value) {
    // Same signedness: the usual conversions keep every value.
    return Op::Op(a, b);
  } else if constexpr (std::is_signed<T1>::value) {
    // A negative signed value is below every unsigned one.
    return a < 0 ? Op::Op(-1, 0) : Op::Op(MakeUnsigned(a), b);
  } else {
    return b < 0 ? Op::Op(0, -1) : Op::Op(a, MakeUnsigned(b));
  }
}

#define RTC_SAFECMP_MAKE_OP(name, op)      \
  struct name {                            \
    template <typename T1, typename T2>    \
    static constexpr bool Op(T1 a, T2 b) { \
      return a op b;                       \
    }                                      \
  };
RTC_SAFECMP_MAKE_OP(EqOp, ==)
RTC_SAFECMP_MAKE_OP(NeOp, !=)
RTC_SAFECMP_MAKE_OP(LtOp, <)
RTC_SAFECMP_MAKE_OP(LeOp, <=)
RTC_SAFECMP_MAKE_OP(GtOp, >)
RTC_SAFECMP_MAKE_OP(GeOp, >=)
#undef RTC_SAFECMP_MAKE_OP

}  // namespace safe_cmp_impl

template <typename T1, typename T2>
constexpr bool SafeEq(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::EqOp>(a, b);
}
template <typename T1, typename T2>
constexpr bool SafeNe(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::NeOp>(a, b);
}
template <typename T1, typename T2>
constexpr bool SafeLt(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::LtOp>(a, b);
}
template <typename T1, typename T2>
constexpr bool SafeLe(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::LeOp>(a, b);
}
template <typename T1, typename T2>
constexpr bool SafeGt(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::GtOp>(a, b);
}
template <typename T1, typename T2>
constexpr bool SafeGe(T1 a, T2 b) {
  return safe_cmp_impl::Cmp<safe_cmp_impl::GeOp>(a, b);
}

}  // namespace rtc

#endif  // RTC_BASE_NUMERICS_SAFE_COMPARE_H_
