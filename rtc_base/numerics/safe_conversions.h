#ifndef RTC_BASE_NUMERICS_SAFE_CONVERSIONS_H_
#define RTC_BASE_NUMERICS_SAFE_CONVERSIONS_H_

// Conversions between arithmetic types:
//   checked_cast<Dst>(v)    v converted; a fatal check when v does not fit Dst.
//   dchecked_cast<Dst>(v)   a plain conversion, for values known to fit or whose
//                           integral wrap is wanted (the low bits are kept).
//   saturated_cast<Dst>(v)  v clamped to Dst's range; NaN gives 0.
//   IsValueInRangeForNumericType<Dst>(v)  whether v fits Dst.
// Checks go through the range tests of safe_conversions_impl.h, which never overflow.

#include <limits>

#include "rtc_base/checks.h"
#include "rtc_base/numerics/safe_conversions_impl.h"

namespace rtc {

template <typename Dst, typename Src>
inline constexpr bool IsValueInRangeForNumericType(Src value) {
  return internal::RangeCheck<Dst>(value) == internal::RANGE_VALID;
}

// Only a caller that has checked the range, or wants the wrap, uses this.
template <typename Dst, typename Src>
inline constexpr Dst dchecked_cast(Src value) {
  return static_cast<Dst>(value);
}

// For lengths and counts handed to C interfaces that take a narrower type: a value
// out of range is a fault of the caller and must not pass silently. The check stays
// on line 36, the line its fatal block reports, so that reports from every build
// point at the same place.
template <typename Dst, typename Src>
inline Dst checked_cast(Src value) {
  RTC_CHECK(IsValueInRangeForNumericType<Dst>(value));
  return static_cast<Dst>(value);
}

template <typename Dst, typename Src>
inline Dst saturated_cast(Src value) {
  switch (internal::RangeCheck<Dst>(value)) {
    case internal::RANGE_VALID:
      return static_cast<Dst>(value);
    case internal::RANGE_UNDERFLOW:
      return std::numeric_limits<Dst>::lowest();
    case internal::RANGE_OVERFLOW:
      return std::numeric_limits<Dst>::max();
    case internal::RANGE_INVALID:
      break;
  }
  return static_cast<Dst>(0);
}

}  // namespace rtc

#endif  // RTC_BASE_NUMERICS_SAFE_CONVERSIONS_H_
