// Scalar active-set projection: one command into [min_bound, max_bound] cut by
// the half-line a[0]*u <= b[0]; only row 0 of the constraint record is read.
// Inline so that a caller projecting one value (Governor.project) pays no more
// than a few compares; the C export kelvara_solve_active_set is a null check
// around this same body.
#pragma once

#include "kelvara.h"
#include "kelvara/core/float_rules.hpp"

namespace kelvara::core {

// Never validates: NaN, infinities and min_bound > max_bound flow through the
// ordered comparisons. The result u is always one of u_desired, min_bound,
// max_bound or the one quotient b[0] / a[0], never a blend.
constexpr ScalarSolution solve_active_set(const ScalarConstraints& constraints, float u_desired,
                                          float min_bound, float max_bound) noexcept {
  const float a = constraints.a[0];
  const float b = constraints.b[0];
  const float lo = min_bound;
  const float hi = max_bound;

  // A zero coefficient (+0 or -0) leaves u free; only the sign of b decides
  // whether the row can hold (a NaN b counts as satisfiable).
  if (a == 0.0f) {
    const SolveStatus status = b < 0.0f ? KELVARA_STATUS_INFEASIBLE : KELVARA_STATUS_OPTIMAL;
    return ScalarSolution{.u = clamp_lower_first(u_desired, lo, hi), .iterations = 1, .status = status};
  }

  const float r = b / a;  // the boundary; may be infinite or NaN
  if (a > 0.0f) {
    // u <= r
    if (lo > r) return ScalarSolution{.u = lo, .iterations = 1, .status = KELVARA_STATUS_INFEASIBLE};
    return ScalarSolution{.u = clamp_lower_first(u_desired, lo, min_num(hi, r)),
                          .iterations = 1,
                          .status = KELVARA_STATUS_OPTIMAL};
  }
  // a < 0 or NaN: u >= r
  if (hi < r) {
    return ScalarSolution{.u = r < lo ? lo : hi, .iterations = 1, .status = KELVARA_STATUS_INFEASIBLE};
  }
  return ScalarSolution{.u = clamp_lower_first(u_desired, max_num(lo, r), hi),
                        .iterations = 1,
                        .status = KELVARA_STATUS_OPTIMAL};
}

}  // namespace kelvara::core
