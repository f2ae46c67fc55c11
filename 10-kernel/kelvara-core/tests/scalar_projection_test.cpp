// Scalar projection: the inline routine and its C export.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "kelvara.h"
#include "kelvara/core/scalar_projection.hpp"

namespace {

using kelvara::core::solve_active_set;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr unsigned char kSentinel = 0xA5;

constexpr ScalarConstraints row0(float a, float b) {
  // Rows 1..3 hold values that would change every result if they were read.
  return ScalarConstraints{{a, 1.0f, -1.0f, kNaN}, {b, -5.0f, 5.0f, kNaN}};
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Calls the export on a sentinel-filled record and checks that the padding kept
// its sentinel bytes and that the inline routine agrees bit for bit.
ScalarSolution project(float u, float lo, float hi, const ScalarConstraints& c) {
  ScalarSolution out;
  std::memset(&out, kSentinel, sizeof out);
  EXPECT_EQ(kelvara_solve_active_set(u, lo, hi, &c, &out), 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
  for (std::size_t i : {4u, 5u, 6u, 7u, 20u, 21u, 22u, 23u})
    EXPECT_EQ(bytes[i], kSentinel) << "padding byte " << i;
  EXPECT_EQ(out.iterations, 1u);

  const ScalarSolution inline_result = solve_active_set(c, u, lo, hi);
  EXPECT_EQ(bits(inline_result.u), bits(out.u));
  EXPECT_EQ(inline_result.status, out.status);
  EXPECT_EQ(inline_result.iterations, out.iterations);
  return out;
}

// Usable in constant expressions, so that per-element callers can inline it.
static_assert(solve_active_set(row0(1.0f, 5.0f), 7.0f, 0.0f, 10.0f).u == 5.0f);

TEST(ScalarProjection, NullPointerReturnsMinusOneAndWritesNothing) {
  const ScalarConstraints c = row0(1.0f, 5.0f);
  ScalarSolution out;
  std::memset(&out, kSentinel, sizeof out);
  unsigned char before[sizeof out];
  std::memcpy(before, &out, sizeof out);

  EXPECT_EQ(kelvara_solve_active_set(1.0f, 0.0f, 10.0f, nullptr, &out), -1);
  EXPECT_EQ(std::memcmp(before, &out, sizeof out), 0);
  EXPECT_EQ(kelvara_solve_active_set(1.0f, 0.0f, 10.0f, &c, nullptr), -1);
  EXPECT_EQ(kelvara_solve_active_set(1.0f, 0.0f, 10.0f, nullptr, nullptr), -1);
}

struct Example {
  const char* what;
  float u, lo, hi, a, b;
  float expected;
  SolveStatus status;
};

constexpr SolveStatus kOptimal = KELVARA_STATUS_OPTIMAL;
constexpr SolveStatus kInfeasible = KELVARA_STATUS_INFEASIBLE;
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

// Rows 1..3 of every record hold values that would change these results if read.
constexpr Example kExamples[] = {
    {"zero coefficient clamps", 12, 0, 10, 0, 0, 10, kOptimal},
    {"negative zero is zero", 12, 0, 10, -0.0f, 0, 10, kOptimal},
    {"zero coefficient, b < 0", -3, 0, 10, 0, -1, 0, kInfeasible},
    {"negative zero, b < 0", -3, 0, 10, -0.0f, -1, 0, kInfeasible},
    {"zero coefficient, NaN b", 4, 0, 10, 0, kNaN, 4, kOptimal},
    {"lo > hi: the lower test wins", 3, 5, 1, 0, 0, 5, kOptimal},
    {"u <= 5 cuts the interval", 7, 0, 10, 1, 5, 5, kOptimal},
    {"u <= 5 leaves 3 alone", 3, 0, 10, 1, 5, 3, kOptimal},
    {"u <= -2 lies below the interval", 7, 0, 10, 2, -4, 0, kInfeasible},
    {"NaN upper bound gives way to u <= 5", 7, 0, kNaN, 1, 5, 5, kOptimal},
    {"u >= 3 lifts the command", 1, 0, 10, -1, -3, 3, kOptimal},
    {"u >= 20 lies above the interval", 1, 0, 10, -1, -20, 10, kInfeasible},
    {"u >= 3 with lo > hi: lo is nearest", 1, 5, 1, -1, -3, 5, kInfeasible},
    {"NaN coefficient ignores the row", 12, 0, 10, kNaN, 5, 10, kOptimal},
    {"NaN b ignores a positive row", -2, 0, 10, 1, kNaN, 0, kOptimal},
    {"NaN b ignores a negative row", 12, 0, 10, -1, kNaN, 10, kOptimal},
    {"subnormal coefficient: boundary +inf", 20, 0, 10, kTiny, 1, 10, kOptimal},
    {"+inf command meets u <= 5", kInf, 0, 10, 1, 5, 5, kOptimal},
    {"-inf command in an open interval", -kInf, -kInf, kInf, 1, 5, -kInf, kOptimal},
    {"infinite limit has no effect", 9, -kInf, kInf, 1, kInf, 9, kOptimal},
    {"u <= -inf: nothing fits", 9, 0, 10, 1, -kInf, 0, kInfeasible},
    {"infinite coefficient: boundary 0", 9, 0, 10, kInf, 1, 0, kOptimal},
};

TEST(ScalarProjection, WorkedExamples) {
  for (const Example& e : kExamples) {
    SCOPED_TRACE(e.what);
    const ScalarSolution s = project(e.u, e.lo, e.hi, row0(e.a, e.b));
    EXPECT_EQ(s.u, e.expected);
    EXPECT_EQ(s.status, e.status);
  }
}

TEST(ScalarProjection, NaNCommandPassesThroughAFeasibleProjection) {
  const ScalarSolution s = project(kNaN, 0.0f, 10.0f, row0(1.0f, 5.0f));
  EXPECT_TRUE(std::isnan(s.u));
  EXPECT_EQ(s.status, KELVARA_STATUS_OPTIMAL);
}

TEST(ScalarProjection, SignedZeroTieKeepsTheBound) {
  // hi = +0 and the boundary -0 compare equal; the bound is kept.
  const ScalarSolution s = project(5.0f, -1.0f, 0.0f, row0(1.0f, -0.0f));
  EXPECT_EQ(bits(s.u), bits(0.0f));
}

// Whatever the inputs, the result is a selection among u, lo, hi and b/a, and
// an infeasible result is the boundary clamped into [lo, hi].
TEST(ScalarProjection, ResultIsAlwaysASelection) {
  const float specials[] = {0.0f, -0.0f, 1.0f,   -1.0f, 0.5f,
                            3.0f, -7.0f, 1e-30f, 1e30f, std::numeric_limits<float>::denorm_min(),
                            kInf, -kInf, kNaN};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(specials) - 1);
  std::uniform_real_distribution<float> real(-10.0f, 10.0f);
  auto draw = [&] { return rng() % 3 == 0 ? real(rng) : specials[pick(rng)]; };

  for (int n = 0; n < 20000; ++n) {
    const float u = draw(), lo = draw(), hi = draw(), a = draw(), b = draw();
    const ScalarSolution s = project(u, lo, hi, row0(a, b));
    const float r = b / a;
    const bool selected = bits(s.u) == bits(u) || bits(s.u) == bits(lo) || bits(s.u) == bits(hi) ||
                          (a != 0.0f && bits(s.u) == bits(r));
    ASSERT_TRUE(selected) << u << ' ' << lo << ' ' << hi << ' ' << a << ' ' << b << " -> " << s.u;
    ASSERT_TRUE(s.status == KELVARA_STATUS_OPTIMAL || s.status == KELVARA_STATUS_INFEASIBLE);
    if (s.status == KELVARA_STATUS_INFEASIBLE && a != 0.0f) {
      const float nearest = kelvara::core::clamp_lower_first(r, lo, hi);
      ASSERT_EQ(bits(s.u), bits(nearest));
    }
  }
}

}  // namespace
