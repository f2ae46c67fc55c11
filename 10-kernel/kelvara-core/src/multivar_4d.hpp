// Four-axis least-distance solve (box plus up to four linear constraints) by a
// primal active-set method, and the normal-equations solver it runs once per
// iteration. The C entry point is kelvara_solve_multivar_4d in kelvara.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvara.h"

namespace kelvara::core {

// Tolerances and limits of the four-axis solve, all absolute. The upper-case
// names are the solve's fixed contract and stay as they are; the constants of
// this implementation alone are kCamel like everything else.
inline constexpr std::size_t kAxes = KELVARA_MULTIVAR4D_AXES;
// A constraint within this of its limit counts as satisfied or active; a
// multiplier below -FEASIBILITY_TOL (relative to the running minimum) drops its
// entry; a largest violation at most this is convergence.
inline constexpr float FEASIBILITY_TOL = KELVARA_MULTIVAR4D_FEASIBILITY_TOL;
// Smallest squared row length worth projecting onto, smallest direction
// component and smallest step ratio worth taking.
inline constexpr float DIRECTION_EPS = 1e-9f;
// A step shorter than this was stopped by a constraint, which becomes active.
inline constexpr float FULL_STEP_THRESHOLD = 0.99999f;
// Cyclic projection converges slowly near a corner; past this many changed
// sweeps the point is tested and either accepted or declared infeasible.
inline constexpr unsigned MAX_FEASIBILITY_SWEEPS = 60;
inline constexpr std::uint64_t MAX_ITERATIONS = KELVARA_MULTIVAR4D_MAX_ITERATIONS;
inline constexpr std::size_t MAX_CONSTRAINTS = KELVARA_MULTIVAR4D_MAX_CONSTRAINTS;
// One bound per axis plus every linear constraint.
inline constexpr std::size_t WORKING_SET_CAPACITY = 8;
// Elimination pivots below this (absolute, not scaled) mean a singular system.
inline constexpr float kPivotThreshold = 1e-6f;

using NormalRows = float[WORKING_SET_CAPACITY][kAxes];
using NormalVector = float[WORKING_SET_CAPACITY];

// Solves (R R^T) lambda = rhs for the n rows of R by Gaussian elimination with
// partial pivoting on the Gram matrix, in single precision. Reads rows[0..n-1]
// and rhs[0..n-1] only; writes out[0..n-1] only. Returns false for a pivot
// below kPivotThreshold, a non-finite multiplier or solution component, or
// n > WORKING_SET_CAPACITY; out is then meaningless.
bool solve_normal_equations(std::size_t n, const NormalRows& rows, const NormalVector& rhs,
                            NormalVector& out) noexcept;

// The sweeps that the feasibility stage runs on one problem (0 when validation
// or the quick accept ends the solve before it; fewer than 60 when a changed
// sweep leaves its point as it was, since every later one would repeat it),
// for the benchmarks' account of where the time goes. Runs the whole solve.
unsigned feasibility_sweeps(const float* u_desired, const Multivar4dBounds& bounds,
                            const Multivar4dConstraints& constraints) noexcept;

}  // namespace kelvara::core
