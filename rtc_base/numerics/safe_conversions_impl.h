#ifndef RTC_BASE_NUMERICS_SAFE_CONVERSIONS_IMPL_H_
#define RTC_BASE_NUMERICS_SAFE_CONVERSIONS_IMPL_H_

// Range checks between arithmetic types, without any conversion that could itself
// overflow: integers are compared in the type that holds both, floating-point
// sources against exact powers of two.

#include <cmath>
#include <limits>
#include <type_traits>

namespace rtc {
namespace internal {

enum DstSign { DST_UNSIGNED, DST_SIGNED };
enum SrcSign { SRC_UNSIGNED, SRC_SIGNED };
// CONTAINS_RANGE: every finite value of the source has a value of the target of the
// same magnitude. OVERLAPS_RANGE: some do not.
enum DstRange { OVERLAPS_RANGE, CONTAINS_RANGE };

// Bit 0: below the target's range; bit 1: above it; both: not a number.
enum RangeCheckResult {
  RANGE_VALID = 0,
  RANGE_UNDERFLOW = 1,
  RANGE_OVERFLOW = 2,
  RANGE_INVALID = RANGE_UNDERFLOW | RANGE_OVERFLOW,
};

template <typename Dst, typename Src>
struct StaticDstRangeRelationToSrcRange {
  using DstLimits = std::numeric_limits<Dst>;
  using SrcLimits = std::numeric_limits<Src>;
  static constexpr DstRange value =
      DstLimits::is_integer && SrcLimits::is_integer
          ? (DstLimits::digits >= SrcLimits::digits ? CONTAINS_RANGE : OVERLAPS_RANGE)
      : !DstLimits::is_integer && !SrcLimits::is_integer
          ? (DstLimits::max_exponent >= SrcLimits::max_exponent ? CONTAINS_RANGE : OVERLAPS_RANGE)
      // Any float holds the magnitude of any integer; no integer holds every float.
      : !DstLimits::is_integer ? CONTAINS_RANGE
                               : OVERLAPS_RANGE;
};

template <typename Dst,
          typename Src,
          DstSign IsDstSigned = std::numeric_limits<Dst>::is_signed ? DST_SIGNED : DST_UNSIGNED,
          SrcSign IsSrcSigned = std::numeric_limits<Src>::is_signed ? SRC_SIGNED : SRC_UNSIGNED,
          DstRange IsDstRange = StaticDstRangeRelationToSrcRange<Dst, Src>::value>
struct RangeCheckImpl;

// The target holds the source's range with the same or a wider sign: always valid.
template <typename Dst, typename Src, DstSign IsDstSigned>
struct RangeCheckImpl<Dst, Src, IsDstSigned, SRC_UNSIGNED, CONTAINS_RANGE> {
  static constexpr RangeCheckResult Check(Src) { return RANGE_VALID; }
};
template <typename Dst, typename Src>
struct RangeCheckImpl<Dst, Src, DST_SIGNED, SRC_SIGNED, CONTAINS_RANGE> {
  static constexpr RangeCheckResult Check(Src value) {
    // A narrower float keeps NaN and infinities; a wider one every value.
    (void)value;
    return RANGE_VALID;
  }
};

// Signed into a wider unsigned integer: only negatives fall outside.
template <typename Dst, typename Src>
struct RangeCheckImpl<Dst, Src, DST_UNSIGNED, SRC_SIGNED, CONTAINS_RANGE> {
  static constexpr RangeCheckResult Check(Src value) {
    return value < 0 ? RANGE_UNDERFLOW : RANGE_VALID;
  }
};

// Unsigned into a narrower integer of either sign: only the top can overflow, and the
// target's largest value fits the source type.
template <typename Dst, typename Src, DstSign IsDstSigned>
struct RangeCheckImpl<Dst, Src, IsDstSigned, SRC_UNSIGNED, OVERLAPS_RANGE> {
  static constexpr RangeCheckResult Check(Src value) {
    return value > static_cast<Src>(std::numeric_limits<Dst>::max()) ? RANGE_OVERFLOW : RANGE_VALID;
  }
};

// Signed source (integer or floating point) into a narrower target.
template <typename Dst, typename Src, DstSign IsDstSigned>
struct RangeCheckImpl<Dst, Src, IsDstSigned, SRC_SIGNED, OVERLAPS_RANGE> {
  static RangeCheckResult Check(Src value) {
    using DstLimits = std::numeric_limits<Dst>;
    if constexpr (std::is_floating_point<Src>::value && std::is_floating_point<Dst>::value) {
      // Narrower float: NaN and infinities convert; finite values must fit.
      if (!std::isfinite(value))
        return RANGE_VALID;
      return static_cast<RangeCheckResult>(
          (value < static_cast<Src>(DstLimits::lowest()) ? RANGE_UNDERFLOW : 0) |
          (value > static_cast<Src>(DstLimits::max()) ? RANGE_OVERFLOW : 0));
    } else if constexpr (std::is_floating_point<Src>::value) {
      // Integer target: a conversion truncates toward zero, so everything below
      // 2^digits fits at the top; the bottom is -2^digits, or -1 exclusive when
      // unsigned. NaN fails both comparisons and comes out as RANGE_INVALID.
      const Src limit = std::ldexp(static_cast<Src>(1), DstLimits::digits);
      const bool above = !(value < limit);
      const bool below =
          DstLimits::is_signed ? !(value >= -limit) : !(value > static_cast<Src>(-1));
      return static_cast<RangeCheckResult>((below ? RANGE_UNDERFLOW : 0) |
                                           (above ? RANGE_OVERFLOW : 0));
    } else {
      // Both integers; the target is narrower, so its limits fit the source type.
      const bool below =
          DstLimits::is_signed ? value < static_cast<Src>(DstLimits::min()) : value < 0;
      const bool above = value > static_cast<Src>(DstLimits::max());
      return static_cast<RangeCheckResult>((below ? RANGE_UNDERFLOW : 0) |
                                           (above ? RANGE_OVERFLOW : 0));
    }
  }
};

template <typename Dst, typename Src>
RangeCheckResult RangeCheck(Src value) {
  static_assert(std::is_arithmetic<Src>::value && std::is_arithmetic<Dst>::value,
                "range checks are between arithmetic types");
  return RangeCheckImpl<Dst, Src>::Check(value);
}

}  // namespace internal
}  // namespace rtc

#endif  // RTC_BASE_NUMERICS_SAFE_CONVERSIONS_IMPL_H_
