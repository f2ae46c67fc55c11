// The single-precision rules every kernel routine follows: ordered comparisons
// (false for NaN), a clamp that tests the lower bound first, NaN-ignoring
// minimum and maximum, and an exponent-field finiteness test. Results must be
// identical bit for bit on every machine, so the build must not widen, and it
// must not fuse a*b+c (the library passes -ffp-contract=off to every user).
#pragma once

#include <bit>
#include <cstdint>

#if defined(__FAST_MATH__)
#error "the kernel needs IEEE semantics for NaN and rounding: do not build with -ffast-math"
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "the kernel needs float arithmetic evaluated in float (SSE), not widened (x87)"
#endif

namespace kelvara::core {

// v < lo gives lo, else v > hi gives hi, else v. A NaN v comes back unchanged,
// a NaN bound is never chosen, and lo > hi lets the lower test win.
constexpr float clamp_lower_first(float v, float lo, float hi) noexcept {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

// IEEE 754-2008 minNum: a NaN operand is ignored. On a tie (+0 against -0) the
// first operand is kept.
constexpr float min_num(float first, float second) noexcept {
  if (second != second) return first;
  if (first != first) return second;
  return second < first ? second : first;
}

// IEEE 754-2008 maxNum, with the same tie rule as min_num.
constexpr float max_num(float first, float second) noexcept {
  if (second != second) return first;
  if (first != first) return second;
  return second > first ? second : first;
}

// Finite unless the exponent field is all ones (infinity or NaN); a bit test,
// so that no compiler setting can fold it away.
constexpr bool is_finite(float x) noexcept {
  constexpr std::uint32_t exponent_mask = 0x7f800000u;
  return (std::bit_cast<std::uint32_t>(x) & exponent_mask) != exponent_mask;
}

}  // namespace kelvara::core
