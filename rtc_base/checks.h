#ifndef RTC_BASE_CHECKS_H_
#define RTC_BASE_CHECKS_H_

// Fatal checks. A failed check writes one block of text to standard error and aborts:
//
//   (blank line)
//   #
//   # Fatal error in: rtc_base/event.cc, line 74
//   # last system error: 0
//   # Check failed: a == b (3 vs. 4)
//   # streamed values
//
// Checks are live in every build and take no lock, so they work on any thread and
// before or after the logging statics exist. RTC_DCHECK* are checks only in builds
// without NDEBUG; elsewhere their operands are compiled but never evaluated.
//
//   RTC_CHECK(cond) << values...;
//   RTC_CHECK_EQ(a, b) << values...;   // also _NE, _LE, _LT, _GE, _GT
//   FATAL() << values...;               // unconditional
//
// The comparisons evaluate each operand once, print both on failure and compare
// signed with unsigned integers by value (-1 < 0u holds).
//
// Streamable values: the integer types but char, bool, float, double, long double,
// const char*, std::string, enums (as their underlying integer) and pointers (printed
// with %p).

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "rtc_base/numerics/safe_compare.h"
#include "rtc_base/value_streamer.h"

#if !defined(NDEBUG)
#define RTC_DCHECK_IS_ON 1
#else
#define RTC_DCHECK_IS_ON 0
#endif

namespace rtc {
namespace checks_impl {

// One byte per streamed value, telling FatalLog how to read and print it.
enum class CheckArgType : int8_t {
  kEnd = 0,
  kInt,
  kLong,
  kLongLong,
  kUInt,
  kULong,
  kULongLong,
  kDouble,
  kLongDouble,
  kCharP,
  kStdString,
  kVoidP,
  // As the first tag: the next two values are the operands of a failed comparison.
  kCheckOp,
};

// Writes the fatal block for the check at `file`:`line` whose condition text is
// `message`, then the values described by the tag array `fmt` (ended by kEnd), and
// aborts. `file` is printed from the source root (rtc_base/event.cc) when it lies
// under the tree this library was built from, unchanged otherwise.
[[noreturn]] void FatalLog(const char* file,
                           int line,
                           const char* message,
                           const CheckArgType* fmt,
                           ...);

template <typename... Ts>
using ValueStreamer = value_streamer_impl::ValueStreamer<CheckArgType, Ts...>;

// The failing site: `FatalLogCall(...) & streamer` ends the process. `&` binds looser
// than `<<`, so every value is streamed before the call is made.
template <bool isCheckOp>
class FatalLogCall final {
 public:
  FatalLogCall(const char* file, int line, const char* message)
      : file_(file), line_(line), message_(message) {}

  template <typename... Ts>
  [[noreturn]] void operator&(const ValueStreamer<Ts...>& streamer) {
    Call(streamer.values(), std::index_sequence_for<Ts...>());
  }

 private:
  template <typename... Ts, size_t... I>
  [[noreturn]] void Call(const std::tuple<Ts...>& values, std::index_sequence<I...>) {
    // A plain check's tags are a comparison's without the leading marker.
    static constexpr CheckArgType kCheckOpTags[] = {CheckArgType::kCheckOp, Ts::Type()...,
                                                    CheckArgType::kEnd};
    FatalLog(file_, line_, message_, isCheckOp ? kCheckOpTags : kCheckOpTags + 1,
             std::get<I>(values).GetVal()...);
  }

  const char* file_;
  int line_;
  const char* message_;
};

// The operands of a comparison check, evaluated once: lvalues by reference,
// temporaries by value.
template <typename A, typename B>
struct CheckOpOperands {
  A a;
  B b;
};
template <typename A, typename B>
CheckOpOperands<A, B> MakeCheckOpOperands(A&& a, B&& b) {
  return {std::forward<A>(a), std::forward<B>(b)};
}

template <typename A, typename B>
constexpr bool IsMixedSignIntegers() {
  return std::is_integral<A>::value && std::is_integral<B>::value &&
         !std::is_same<A, bool>::value && !std::is_same<B, bool>::value &&
         std::is_signed<A>::value != std::is_signed<B>::value;
}

// Any comparable operands, with integers of different signedness compared by value.
#define RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(name, op)     \
  template <typename A, typename B>                   \
  constexpr bool Safe##name(const A& a, const B& b) { \
    if constexpr (IsMixedSignIntegers<A, B>())        \
      return ::rtc::Safe##name(a, b);                 \
    else                                              \
      return a op b;                                  \
  }
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Eq, ==)
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Ne, !=)
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Le, <=)
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Lt, <)
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Ge, >=)
RTC_CHECKS_IMPL_DEFINE_SAFE_CMP(Gt, >)
#undef RTC_CHECKS_IMPL_DEFINE_SAFE_CMP

}  // namespace checks_impl
}  // namespace rtc

#define RTC_CHECK(condition)                                                \
  while (!(condition))                                                      \
  ::rtc::checks_impl::FatalLogCall<false>(__FILE__, __LINE__, #condition) & \
      ::rtc::checks_impl::ValueStreamer<>()

#define RTC_CHECK_OP(name, op, val1, val2)                                              \
  for (auto rtc_check_operands_ = ::rtc::checks_impl::MakeCheckOpOperands(val1, val2);  \
       !::rtc::checks_impl::Safe##name(rtc_check_operands_.a, rtc_check_operands_.b);)  \
  ::rtc::checks_impl::FatalLogCall<true>(__FILE__, __LINE__, #val1 " " #op " " #val2) & \
      ::rtc::checks_impl::ValueStreamer<>() << rtc_check_operands_.a << rtc_check_operands_.b

#define RTC_CHECK_EQ(val1, val2) RTC_CHECK_OP(Eq, ==, val1, val2)
#define RTC_CHECK_NE(val1, val2) RTC_CHECK_OP(Ne, !=, val1, val2)
#define RTC_CHECK_LE(val1, val2) RTC_CHECK_OP(Le, <=, val1, val2)
#define RTC_CHECK_LT(val1, val2) RTC_CHECK_OP(Lt, <, val1, val2)
#define RTC_CHECK_GE(val1, val2) RTC_CHECK_OP(Ge, >=, val1, val2)
#define RTC_CHECK_GT(val1, val2) RTC_CHECK_OP(Gt, >, val1, val2)

// An unconditional failure; its condition text is "FATAL()".
#define FATAL()                                                            \
  ::rtc::checks_impl::FatalLogCall<false>(__FILE__, __LINE__, "FATAL()") & \
      ::rtc::checks_impl::ValueStreamer<>()

#define RTC_NOTREACHED() FATAL() << "Unreachable code."

#if RTC_DCHECK_IS_ON
#define RTC_DCHECK(condition) RTC_CHECK(condition)
#define RTC_DCHECK_EQ(v1, v2) RTC_CHECK_EQ(v1, v2)
#define RTC_DCHECK_NE(v1, v2) RTC_CHECK_NE(v1, v2)
#define RTC_DCHECK_LE(v1, v2) RTC_CHECK_LE(v1, v2)
#define RTC_DCHECK_LT(v1, v2) RTC_CHECK_LT(v1, v2)
#define RTC_DCHECK_GE(v1, v2) RTC_CHECK_GE(v1, v2)
#define RTC_DCHECK_GT(v1, v2) RTC_CHECK_GT(v1, v2)
#else
// Type-checked, never evaluated.
#define RTC_DCHECK(condition) RTC_CHECK(true || (condition))
#define RTC_CHECKS_IMPL_EAT_OP(name, v1, v2) \
  RTC_CHECK(true || ::rtc::checks_impl::Safe##name((v1), (v2)))
#define RTC_DCHECK_EQ(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Eq, v1, v2)
#define RTC_DCHECK_NE(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Ne, v1, v2)
#define RTC_DCHECK_LE(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Le, v1, v2)
#define RTC_DCHECK_LT(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Lt, v1, v2)
#define RTC_DCHECK_GE(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Ge, v1, v2)
#define RTC_DCHECK_GT(v1, v2) RTC_CHECKS_IMPL_EAT_OP(Gt, v1, v2)
#endif

#endif  // RTC_BASE_CHECKS_H_
