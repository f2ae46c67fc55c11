// C export of the scalar projection.
#include "kelvara/core/scalar_projection.hpp"

extern "C" int32_t kelvara_solve_active_set(float u_desired, float min_bound, float max_bound,
                                            const ScalarConstraints* constraints, ScalarSolution* out) {
  if (constraints == nullptr || out == nullptr) return -1;

  const ScalarSolution solution =
      kelvara::core::solve_active_set(*constraints, u_desired, min_bound, max_bound);
  // Field by field: copying the whole record could carry bytes into its padding.
  out->u = solution.u;
  out->iterations = solution.iterations;
  out->status = solution.status;
  return 0;
}
