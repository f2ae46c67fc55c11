// Four-axis solve: worked examples with their exact results, validation, and
// the contract of the C entry point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "multivar_4d_support.hpp"

namespace {

using namespace multivar_test;

void expect_result(const Multivar4dSolution& s, const Vec4& u, std::uint64_t iterations, SolveStatus status) {
  EXPECT_EQ(u_of(s), u);
  EXPECT_EQ(s.iterations, iterations);
  EXPECT_EQ(s.status, status);
}

TEST(MultivarContract, NullPointerReturnsMinusOneAndWritesNothing) {
  const Vec4 u{0.5f, 0.5f, 0.5f, 0.5f};
  const Multivar4dBounds bounds = unit_box();
  const Multivar4dConstraints c = constraints({{{1, 0, 0, 0}, 0.5f}});
  Multivar4dSolution out;
  std::memset(&out, kSentinel, sizeof out);
  unsigned char before[sizeof out];
  std::memcpy(before, &out, sizeof out);

  EXPECT_EQ(kelvara_solve_multivar_4d(nullptr, &bounds, &c, &out), -1);
  EXPECT_EQ(kelvara_solve_multivar_4d(u.data(), nullptr, &c, &out), -1);
  EXPECT_EQ(kelvara_solve_multivar_4d(u.data(), &bounds, nullptr, &out), -1);
  EXPECT_EQ(kelvara_solve_multivar_4d(u.data(), &bounds, &c, nullptr), -1);
  EXPECT_EQ(std::memcmp(before, &out, sizeof out), 0);
}

TEST(MultivarContract, ResultMayOverlapTheDesiredCommand) {
  const Multivar4dBounds bounds = unit_box();
  const Multivar4dConstraints c = constraints({{{1, 0, 0, 0}, 0.5f}});
  Multivar4dSolution inout;
  std::memset(&inout, kSentinel, sizeof inout);
  const float desired[4] = {2, 0.5f, 0.5f, 0.5f};
  std::memcpy(inout.u, desired, sizeof desired);

  ASSERT_EQ(kelvara_solve_multivar_4d(inout.u, &bounds, &c, &inout), 0);
  expect_result(inout, {0.5f, 0.5f, 0.5f, 0.5f}, 6, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarValidation, RefusesBadInputWithTheClampedCommand) {
  const Vec4 u{2, -3, 0.5f, 0.2f};
  const Vec4 clamped{1, 0, 0.5f, 0.2f};
  const Multivar4dConstraints one = constraints({{{1, 1, 1, 1}, 2}});

  Multivar4dConstraints too_many = constraints({});
  too_many.count = 5;
  expect_result(solve(u, unit_box(), too_many), clamped, 0, KELVARA_STATUS_INVALID);
  too_many.count = UINT64_MAX;
  expect_result(solve(u, unit_box(), too_many), clamped, 0, KELVARA_STATUS_INVALID);

  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    Vec4 nan_u = u;
    nan_u[i] = kNaN;
    const Multivar4dSolution s = solve(nan_u, unit_box(), one);
    EXPECT_EQ(s.status, KELVARA_STATUS_INVALID);
    EXPECT_TRUE(std::isnan(s.u[i]));  // the clamp passes NaN through

    Multivar4dBounds nan_min = unit_box();
    nan_min.min_bound[i] = kNaN;
    EXPECT_EQ(solve(u, nan_min, one).status, KELVARA_STATUS_INVALID);
    Multivar4dBounds nan_max = unit_box();
    nan_max.max_bound[i] = kNaN;
    EXPECT_EQ(solve(u, nan_max, one).status, KELVARA_STATUS_INVALID);

    Multivar4dConstraints nan_a = one;
    nan_a.a[0][i] = kNaN;
    expect_result(solve(u, unit_box(), nan_a), clamped, 0, KELVARA_STATUS_INVALID);
  }

  Multivar4dConstraints nan_b = one;
  nan_b.b[0] = kNaN;
  expect_result(solve(u, unit_box(), nan_b), clamped, 0, KELVARA_STATUS_INVALID);

  // Reversed bounds on one axis; the clamp uses them as passed, lower first.
  expect_result(solve(u, box({0, 0, 0.7f, 0}, {1, 1, 0.3f, 1}), one), {1, 0, 0.7f, 0.2f}, 0,
                KELVARA_STATUS_INVALID);
}

TEST(MultivarValidation, RowsPastCountAreIgnoredAndInfinitiesPass) {
  // constraints() fills the unused rows with NaN.
  expect_result(solve({2, -3, 0.5f, 0.2f}, unit_box(), constraints({})), {1, 0, 0.5f, 0.2f}, 0,
                KELVARA_STATUS_OPTIMAL);
  expect_result(solve({2, 0.2f, 0.1f, 0.1f}, unit_box(), constraints({{{1, 1, 1, 1}, 2}})),
                {1, 0.2f, 0.1f, 0.1f}, 0, KELVARA_STATUS_OPTIMAL);
  // An infinite limit leaves its constraint without effect.
  expect_result(solve({kInf, 0.5f, 0.5f, 0.5f}, unit_box(), constraints({{{1, 1, 1, 1}, kInf}})),
                {1, 0.5f, 0.5f, 0.5f}, 0, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, BoundsLeaveOneByOneThenTheConstraintBlocks) {
  // Starts at the origin with all four lower bounds active; they leave in
  // axis order, then the step stops at x0 <= 0.5.
  expect_result(solve({2, 0.5f, 0.5f, 0.5f}, unit_box(), constraints({{{1, 0, 0, 0}, 0.5f}})),
                {0.5f, 0.5f, 0.5f, 0.5f}, 6, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, UpperBoundBlocksBeforeTheConstraint) {
  expect_result(solve({3, 0.6f, 0, 0}, unit_box(), constraints({{{0, 1, 0, 0}, 0.5f}})), {1, 0.5f, 0, 0}, 5,
                KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, TwoCoupledPairsInAShiftedBox) {
  expect_result(solve({5, 5, 5, 5}, box({1, 1, 1, 1}, {4, 4, 4, 4}),
                      constraints({{{1, 1, 0, 0}, 3}, {{0, 0, 1, 1}, 2.5f}})),
                {1.5f, 1.5f, 1.25f, 1.25f}, 7, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, FeasibilityStageProjectsOntoALowerLimit) {
  expect_result(solve({0, 0, 0.5f, 0.5f}, unit_box(), constraints({{{-1, -1, 0, 0}, -1.5f}})),
                {0.75f, 0.75f, 0.5f, 0.5f}, 3, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, InfiniteBoxLeavesOnlyTheConstraint) {
  expect_result(solve({2, 2, 0, 0}, box({-kInf, -kInf, -kInf, -kInf}, {kInf, kInf, kInf, kInf}),
                      constraints({{{1, 1, 0, 0}, 1}})),
                {0.5f, 0.5f, 0, 0}, 2, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, RepeatedConstraintEntersOnce) {
  expect_result(
      solve({2, 0.5f, 0.5f, 0.5f}, unit_box(), constraints({{{1, 0, 0, 0}, 0.5f}, {{1, 0, 0, 0}, 0.5f}})),
      {0.5f, 0.5f, 0.5f, 0.5f}, 6, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, StepTieKeepsTheEarlierConstraint) {
  // The step is stopped at once by x2 <= 1 and by x2 - x3 <= 1; the bound
  // comes first in the search order and enters. The other choice cycles.
  expect_result(solve({2, 2, 3, -1}, box({-1, 0, 0, 0}, {0, 2, 1, 1}),
                      constraints({{{0, 1, 0, 0}, 0.5f}, {{0, 0, 1, -1}, 1}})),
                {0, 0.5f, 1, 0}, 5, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarActiveSet, NearlyEqualMultipliersDropTheEarliestEntry) {
  // Dropping a later entry whose multiplier is lower by less than the
  // tolerance takes one iteration more.
  expect_result(solve({1, 1, 0.5f, 3}, box({0, 0, 0, 0}, {1, 2, 2, 2}),
                      constraints({{{1, 0, -1, 0}, 0.5f}, {{-1, 0, 0, 1}, 0.5f}})),
                {0.99999988f, 1, 0.49999997f, 1.5f}, 8, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarFailure, UnsatisfiableRowIsInfeasible) {
  expect_result(solve({2, -3, 0.5f, 0.2f}, unit_box(), constraints({{{0, 0, 0, 0}, -1}})), {1, 0, 0.5f, 0.2f},
                0, KELVARA_STATUS_INFEASIBLE);
  // Satisfiable on its own, but not inside the box.
  expect_result(solve({0.5f, 0.5f, 0.5f, 0.5f}, unit_box(), constraints({{{-1, -1, -1, -1}, -5}})),
                {0.5f, 0.5f, 0.5f, 0.5f}, 0, KELVARA_STATUS_INFEASIBLE);
  // x0 <= -1e5 is satisfiable in this box, but its row is too short
  // (squared length 1e-10) for the feasibility stage to project onto.
  expect_result(
      solve({0, 0, 0, 0}, box({-kInf, 0, 0, 0}, {1, 1, 1, 1}), constraints({{{1e-5f, 0, 0, 0}, -1}})),
      {0, 0, 0, 0}, 0, KELVARA_STATUS_INFEASIBLE);
}

TEST(MultivarFailure, DependentWorkingSetIsANumericalFailure) {
  // A zero row is active at the start point; its Gram row is zero.
  expect_result(
      solve({2, 0.5f, 0.5f, 0.5f}, unit_box(), constraints({{{0, 0, 0, 0}, 0}, {{1, 0, 0, 0}, 0.5f}})),
      {1, 0.5f, 0.5f, 0.5f}, 0, KELVARA_STATUS_NUMERICAL_FAILURE);
  // The feasible set is the origin alone: four bounds and the constraint.
  expect_result(solve({2, 2, 2, 2}, unit_box(), constraints({{{1, 1, 1, 1}, 0}})), {1, 1, 1, 1}, 0,
                KELVARA_STATUS_NUMERICAL_FAILURE);
}

TEST(MultivarFailure, SolutionOffTheEnvelopeIsNeverOptimal) {
  // A coefficient of 3.8e16 beside ones of order 1: single-precision rounding
  // in the Gram system once left x3 at -0.085 below its bound of 0 as Optimal.
  const float big = 0x1.6b68p+8f;
  const Multivar4dSolution s = solve({big, big, big, -0x1.68p-20f}, box({0, 0, 0, 0}, {0, 1, big, big}),
                                     constraints({{{big, -0x1.b5b5b4p+54f, 1, big}, 1.125f},
                                                  {{big, -0x1.131312p-108f, 1.125f, 1.125f}, big}}));
  expect_result(s, {0, 1, big, 0}, 0, KELVARA_STATUS_NUMERICAL_FAILURE);
  // A squared row length that overflows: the solve once ignored the row and
  // reported the desired command, 1e34 beyond it, as Optimal.
  const Multivar4dSolution overflow =
      solve({0, 0, 0, -15.5f}, box({0, -16, 0, -510}, {kInf, kInf, kInf, kInf}),
            constraints({{{0, 0, 0, -0x1p109f}, 0}}));
  EXPECT_NE(overflow.status, KELVARA_STATUS_OPTIMAL);
}

TEST(MultivarIterationLimit, IterateOutsideTheBoxIsNeverHandedOut) {
  // Axis 0 has equal bounds at 0. The iterate walks through its upper bound,
  // which is within tolerance at the start and so never blocks, and is still
  // at x0 = 2 after the last iteration: the clamped command is written.
  const Multivar4dSolution s =
      solve({2, 2, 0.5f, 0.5f}, box({0, 0, 0, 0}, {0, 1, 1, 1}), constraints({{{0, 1, 0, 0}, 0.5f}}));
  expect_result(s, {0, 1, 0.5f, 0.5f}, 20, KELVARA_STATUS_ITERATION_LIMIT);
}

TEST(MultivarIterationLimit, IterateWithinToleranceIsHandedOut) {
  // Axis 0 is pinned to within 5e-6, closer than the tolerance, and the
  // iteration cycles; its last iterate still meets every limit within
  // tolerance (x0 lies 6.8e-9 above its upper bound) and is written as is.
  const Multivar4dSolution s = solve({1, 0, 0.5f, 2}, box({-1, -1, 0.5f, 0}, {5e-6f, 1, 2, 1}),
                                     constraints({{{0, -1, 0, 2}, 0.5f}, {{2, 2, -1, 1}, 1.5f}}));
  expect_result(s, {5.00679016e-06f, 0.7f, 0.5f, 0.6f}, 20, KELVARA_STATUS_ITERATION_LIMIT);
}

TEST(MultivarIterationLimit, NonFiniteIterateIsNeverHandedOut) {
  // A limit of -inf can never be met: projecting onto it fills the start
  // point with NaN, which ordered comparisons do not refuse, and the active
  // set stalls on it. No input holds NaN, so neither may the result: the
  // clamped command is written.
  const Multivar4dSolution s =
      solve({0, 0, 0, 0}, box({-1, -1, -1, -1}, {1, 1, 1, 1}), constraints({{{1, 0, 0, 0}, -kInf}}));
  expect_result(s, {0, 0, 0, 0}, 20, KELVARA_STATUS_ITERATION_LIMIT);
}

}  // namespace
