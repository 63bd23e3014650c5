#ifndef RTC_BASE_NUMERICS_SAFE_MINMAX_H_
#define RTC_BASE_NUMERICS_SAFE_MINMAX_H_

#include <type_traits>

#include "rtc_base/numerics/safe_compare.h"

namespace rtc {
namespace safe_minmax_impl {

// The smaller of two integers always fits the signed one of a mixed pair: it is at
// most the signed value and at least the smaller of that value and 0.
template <typename T1, typename T2>
using MinType = std::conditional_t<std::is_signed<T1>::value == std::is_signed<T2>::value,
                                   std::common_type_t<T1, T2>,
                                   std::conditional_t<std::is_signed<T1>::value, T1, T2>>;

}  // namespace safe_minmax_impl

// The smaller value by value (not by the usual conversions), in a type that holds it.
template <typename T1, typename T2>
constexpr safe_minmax_impl::MinType<T1, T2> SafeMin(T1 a, T2 b) {
  using R = safe_minmax_impl::MinType<T1, T2>;
  return SafeLt(a, b) ? static_cast<R>(a) : static_cast<R>(b);
}

}  // namespace rtc

#endif  // RTC_BASE_NUMERICS_SAFE_MINMAX_H_
