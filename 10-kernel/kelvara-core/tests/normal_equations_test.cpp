// Normal-equations solver of the four-axis solve.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <random>

#include "core_test_support.hpp"
#include "multivar_4d.hpp"

namespace {

using kelvara::core::NormalRows;
using kelvara::core::NormalVector;
using kelvara::core::solve_normal_equations;
using kelvara::core::testing::ResultDigest;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kUntouched = -12345.0f;

// Unused rows and rhs entries hold NaN: the solver must never look at them.
struct System {
  NormalRows rows;
  NormalVector rhs;
  NormalVector out;

  System(std::initializer_list<std::array<float, 4>> used_rows, std::initializer_list<float> used_rhs) {
    for (auto& row : rows) {
      for (float& x : row) x = kNaN;
    }
    for (float& x : rhs) x = kNaN;
    for (float& x : out) x = kUntouched;
    std::size_t i = 0;
    for (const auto& row : used_rows) {
      for (std::size_t k = 0; k < 4; ++k) rows[i][k] = row[k];
      ++i;
    }
    i = 0;
    for (float x : used_rhs) rhs[i++] = x;
  }

  bool solve(std::size_t n) { return solve_normal_equations(n, rows, rhs, out); }
};

TEST(NormalEquations, EmptySystemSucceedsWithoutWriting) {
  System s({}, {});
  EXPECT_TRUE(s.solve(0));
  for (float x : s.out) EXPECT_EQ(x, kUntouched);
}

TEST(NormalEquations, SolvesDiagonalSystemsAndLeavesOutBeyondN) {
  System one({{1, 0, 0, 0}}, {3});
  ASSERT_TRUE(one.solve(1));
  EXPECT_EQ(one.out[0], 3.0f);
  for (std::size_t i = 1; i < 8; ++i) EXPECT_EQ(one.out[i], kUntouched);

  System two({{1, 0, 0, 0}, {0, 2, 0, 0}}, {1, 8});  // Gram diag(1, 4)
  ASSERT_TRUE(two.solve(2));
  EXPECT_EQ(two.out[0], 1.0f);
  EXPECT_EQ(two.out[1], 2.0f);
  for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(two.out[i], kUntouched);
}

TEST(NormalEquations, PivotTieKeepsTheEarliestRow) {
  System s({{1, 0, 0, 0}, {1, 1, 0, 0}}, {1, 3});  // Gram [[1, 1], [1, 2]]
  ASSERT_TRUE(s.solve(2));
  EXPECT_EQ(s.out[0], -1.0f);
  EXPECT_EQ(s.out[1], 2.0f);
}

TEST(NormalEquations, PivotTieDecidesTheRounding) {
  // Gram column 0 is (1, -1, 0): a tie in magnitude. Keeping row 0 gives
  // these values bit for bit; exchanging would round x0 differently.
  System s({{-1, 0, 0, 0}, {1, -1, 0.3f, 0}, {0, 3, 0, 0}}, {1, 0.1f, 1});
  ASSERT_TRUE(s.solve(3));
  EXPECT_EQ(s.out[0], 16.9259415f);
  EXPECT_EQ(s.out[1], 15.9259415f);
  EXPECT_EQ(s.out[2], 5.41975832f);
}

TEST(NormalEquations, LargerPivotBelowExchangesRows) {
  System s({{1, 0, 0, 0}, {2, 1, 0, 0}}, {1, 3});  // Gram [[1, 2], [2, 5]]
  ASSERT_TRUE(s.solve(2));
  EXPECT_EQ(s.out[0], -1.0f);
  EXPECT_EQ(s.out[1], 1.0f);
}

TEST(NormalEquations, FourIndependentRowsSolveTheGramSystem) {
  System s({{2, 1, 0, 0}, {0, 1, 3, 0}, {1, 0, 0, -1}, {0, 0, 1, 1}}, {1, -2, 0.5f, 4});
  ASSERT_TRUE(s.solve(4));
  for (std::size_t i = 0; i < 4; ++i) {
    double lhs = 0.0;
    for (std::size_t j = 0; j < 4; ++j) {
      double gram = 0.0;
      for (std::size_t k = 0; k < 4; ++k) gram += double(s.rows[i][k]) * s.rows[j][k];
      lhs += gram * s.out[j];
    }
    EXPECT_NEAR(lhs, s.rhs[i], 1e-4);
  }
}

TEST(NormalEquations, SingularOrTinyGramIsRefused) {
  System repeated({{1, 0, 0, 0}, {1, 0, 0, 0}}, {1, 1});
  EXPECT_FALSE(repeated.solve(2));

  // Eight rows in four dimensions (a full working set) are always dependent.
  System eight({{1, 0, 0, 0},
                {0, 1, 0, 0},
                {0, 0, 1, 0},
                {0, 0, 0, 1},
                {-1, 0, 0, 0},
                {0, -1, 0, 0},
                {0, 0, -1, 0},
                {0, 0, 0, -1}},
               {1, 1, 1, 1, 1, 1, 1, 1});
  EXPECT_FALSE(eight.solve(8));

  System zero_row({{0, 0, 0, 0}}, {0});
  EXPECT_FALSE(zero_row.solve(1));

  // Squared length 1e-8 is below the absolute threshold however small rhs is.
  System tiny({{1e-4f, 0, 0, 0}}, {1e-12f});
  EXPECT_FALSE(tiny.solve(1));
  for (float x : tiny.out) EXPECT_EQ(x, kUntouched);  // failed before back substitution
}

TEST(NormalEquations, NonFiniteInputsAreRefused) {
  for (float bad : {kNaN, kInf, -kInf}) {
    System rhs_first({{1, 0, 0, 0}, {0, 1, 0, 0}}, {bad, 1});
    EXPECT_FALSE(rhs_first.solve(2)) << bad;
    System rhs_last({{1, 0, 0, 0}, {0, 1, 0, 0}}, {1, bad});
    EXPECT_FALSE(rhs_last.solve(2)) << bad;
    System row({{1, 0, 0, 0}, {0, bad, 0, 0}}, {1, 1});
    EXPECT_FALSE(row.solve(2)) << bad;
  }
  // An overflowing Gram matrix yields an infinite over infinite multiplier.
  System huge({{1e20f, 0, 0, 0}, {1e20f, 1, 0, 0}}, {1, 1});
  EXPECT_FALSE(huge.solve(2));
  // A squared length that overflows alone: 1e34 / inf would be a finite 0.
  System overflowing({{0, 0, 0, -0x1p109f}}, {1e34f});
  EXPECT_FALSE(overflowing.solve(1));
}

TEST(NormalEquations, SizeAboveCapacityIsRefused) {
  System s({{1, 0, 0, 0}}, {1});
  EXPECT_FALSE(s.solve(9));
  EXPECT_FALSE(s.solve(std::numeric_limits<std::size_t>::max()));
  for (float x : s.out) EXPECT_EQ(x, kUntouched);
}

// Every size from 0 to 8, with rows that tie, repeat, vanish, overflow or hold
// NaN and infinities, so that pivot exchanges, the pivot threshold and both
// finiteness tests all decide. The digest of every success (its n multipliers,
// bit for bit) and every refusal was recorded with the solver as first
// written, with its infinite pivot refused; any reordered sum, fused product
// or changed branch moves it.
TEST(NormalEquations, ResultsOfManySystemsAreStable) {
  std::mt19937 rng(42);
  auto unit = [&] { return float(rng() >> 8) * 0x1p-24f; };
  auto value = [&](float scale) -> float {
    switch (rng() % 16) {
      case 0: return 0.0f;
      case 1: return -0.0f;
      case 2: return float(int(rng() % 5) - 2);
      case 3: return rng() % 64 == 0 ? (rng() % 2 ? kInf : kNaN) : 1.0f;
      default: return (2.0f * unit() - 1.0f) * scale;
    }
  };
  static constexpr float kScales[] = {1e-4f, 1.0f, 1.0f, 1e2f, 1e3f, 1e4f, 1e20f};

  ResultDigest digest;
  int solved = 0;
  for (int t = 0; t < 200'000; ++t) {
    const std::size_t n = rng() % 9;
    const float scale = kScales[rng() % std::size(kScales)];
    System s({}, {});
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0 && rng() % 8 == 0) {
        for (std::size_t k = 0; k < 4; ++k) s.rows[i][k] = s.rows[i - 1][k];  // a repeated row
      } else if (rng() % 4 == 0) {
        for (float& x : s.rows[i]) x = 0.0f;  // a bound's row
        s.rows[i][rng() % 4] = rng() % 2 ? 1.0f : -1.0f;
      } else {
        for (float& x : s.rows[i]) x = value(scale);
      }
      s.rhs[i] = value(1.0f);
    }
    const bool ok = s.solve(n);
    digest.mix(ok);
    if (ok) {
      ++solved;
      digest.mix_bytes(s.out, n * sizeof(float));
    }
  }
  EXPECT_EQ(digest.value(), 11936647321632432158u);
  EXPECT_GE(solved, 50'000);
}

}  // namespace
