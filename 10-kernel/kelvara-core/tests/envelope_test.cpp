// The general projection against an exact reference (every set of active
// constraints tried in long double, for up to four axes and rows), the
// variational inequality of a projection for larger arms, exact detection of
// empty envelopes, and the refusals of make().
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "envelope_random.hpp"
#include "kelvara/core/envelope.hpp"

namespace {

using envelope_random::kInf;
using envelope_random::Problem;
using kelvara::core::Envelope;
using kelvara::core::EnvelopeFault;
using Real = long double;

Envelope make(const Problem& p) {
  auto e = Envelope::make(p.axes, p.min_bound.data(), p.max_bound.data(), p.rows, p.coefficients.data(),
                          p.limits.data());
  EXPECT_TRUE(e.has_value());
  return *e;
}

// The projection by brute force: for every set of at most `axes` constraints
// with independent normals, the nearest point on which they hold with
// equality; the feasible one with nonnegative multipliers and the least
// distance is the answer. None means the envelope is empty.
std::optional<std::vector<Real>> reference(const Problem& p) {
  struct Constraint {
    std::vector<Real> normal;
    Real limit;
  };
  const std::size_t n = p.axes;
  std::vector<Constraint> all;
  for (std::size_t r = 0; r < p.rows; ++r) {
    Constraint c{std::vector<Real>(n), Real(p.limits[r])};
    for (std::size_t i = 0; i < n; ++i) c.normal[i] = p.coefficients[r * n + i];
    all.push_back(c);
  }
  for (std::size_t i = 0; i < n; ++i) {
    Constraint lo{std::vector<Real>(n), -Real(p.min_bound[i])},
        hi{std::vector<Real>(n), Real(p.max_bound[i])};
    lo.normal[i] = -1;
    hi.normal[i] = 1;
    all.push_back(lo);
    all.push_back(hi);
  }
  auto feasible = [&](const std::vector<Real>& x) {
    for (const Constraint& c : all) {
      Real s = 0;
      for (std::size_t i = 0; i < n; ++i) s += c.normal[i] * x[i];
      if (s > c.limit + 1e-12L * (1 + std::fabs(c.limit))) return false;
    }
    return true;
  };
  std::optional<std::vector<Real>> best;
  Real best_distance = std::numeric_limits<Real>::infinity();
  for (unsigned mask = 0; mask < (1u << all.size()); ++mask) {
    std::vector<const Constraint*> s;
    for (std::size_t k = 0; k < all.size(); ++k) {
      if ((mask >> k) & 1u && std::isfinite(all[k].limit)) s.push_back(&all[k]);
    }
    if (s.size() > n || s.size() != std::size_t(__builtin_popcount(mask))) continue;
    const std::size_t q = s.size();
    // Gram matrix and right side N u - b, solved by elimination with pivoting.
    std::vector<std::vector<Real>> g(q, std::vector<Real>(q + 1));
    for (std::size_t a = 0; a < q; ++a) {
      for (std::size_t b = 0; b < q; ++b) {
        for (std::size_t i = 0; i < n; ++i) g[a][b] += s[a]->normal[i] * s[b]->normal[i];
      }
      for (std::size_t i = 0; i < n; ++i) g[a][q] += s[a]->normal[i] * Real(p.u[i]);
      g[a][q] -= s[a]->limit;
    }
    // Gauss-Jordan with row pivoting (the unknowns keep their order).
    bool singular = false;
    for (std::size_t k = 0; k < q && !singular; ++k) {
      std::size_t pivot = k;
      for (std::size_t a = k + 1; a < q; ++a) {
        if (std::fabs(g[a][k]) > std::fabs(g[pivot][k])) pivot = a;
      }
      std::swap(g[k], g[pivot]);
      if (std::fabs(g[k][k]) < 1e-14L) singular = true;
      for (std::size_t a = 0; a < q && !singular; ++a) {
        if (a == k) continue;
        const Real f = g[a][k] / g[k][k];
        for (std::size_t b = k; b <= q; ++b) g[a][b] -= f * g[k][b];
      }
    }
    if (singular) continue;
    std::vector<Real> x(p.u.begin(), p.u.end());
    bool dual_feasible = true;
    for (std::size_t a = 0; a < q; ++a) {
      const Real lambda = g[a][q] / g[a][a];
      dual_feasible = dual_feasible && lambda >= -1e-12L;
      for (std::size_t i = 0; i < n; ++i) x[i] -= lambda * s[a]->normal[i];
    }
    if (!dual_feasible || !feasible(x)) continue;
    Real distance = 0;
    for (std::size_t i = 0; i < n; ++i) distance += (x[i] - Real(p.u[i])) * (x[i] - Real(p.u[i]));
    if (distance < best_distance) {
      best_distance = distance;
      best = x;
    }
  }
  return best;
}

double largest(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// Small arms with every degenerate feature, at three scales: the result
// matches the exact projection, and an empty envelope is always INFEASIBLE.
TEST(EnvelopeProjection, MatchesTheExactProjectionOnSmallArms) {
  std::mt19937_64 rng(11);
  const envelope_random::Shape shape{.locked = 0.2, .degenerate = 0.3, .infinite = 0.15, .tight = 0.4};
  int optimal = 0;
  for (int k = 0; k < 3000; ++k) {
    const std::size_t axes = 1 + k % 4;
    const std::size_t rows = (k / 4) % 5;
    Problem p = k % 7 == 6 ? envelope_random::empty(rng, axes, rows, shape)
                           : envelope_random::feasible(rng, axes, rows, shape);
    const double scale = k % 3 == 0 ? 1.0 : (k % 3 == 1 ? 1e-3 : 1e3);
    const double row_scale = k % 5 == 0 ? 1e4 : 1.0;
    for (double& v : p.min_bound) v *= scale;
    for (double& v : p.max_bound) v *= scale;
    for (double& v : p.u) v *= scale;
    for (double& v : p.limits) v *= scale * row_scale;
    for (double& v : p.coefficients) v *= row_scale;
    const Envelope e = make(p);
    std::vector<double> x(axes);
    const auto result = e.project(p.u.data(), x.data());
    const auto exact = reference(p);
    ASSERT_EQ(exact.has_value(), !p.empty) << k;
    if (!exact) {
      ASSERT_EQ(result.status, KELVARA_STATUS_INFEASIBLE) << k;
      for (std::size_t i = 0; i < axes; ++i) {
        EXPECT_EQ(x[i], std::clamp(p.u[i], p.min_bound[i], p.max_bound[i])) << k;
      }
      continue;
    }
    ASSERT_EQ(result.status, KELVARA_STATUS_OPTIMAL) << k;
    ++optimal;
    EXPECT_TRUE(e.contains(x.data())) << k;
    for (std::size_t i = 0; i < axes; ++i) {
      EXPECT_NEAR(x[i], double((*exact)[i]), 1e-9 * (1.0 + largest(p.u))) << k << " axis " << i;
    }
  }
  EXPECT_GT(optimal, 2000);
}

// Larger arms, at scales across the documented range: every feasible set is
// solved; the answer x is a projection ((u - x).(y - x) <= 0 for points y of
// the envelope, here the projections of other commands); projecting x again
// gives x; empty sets are INFEASIBLE.
TEST(EnvelopeProjection, IsAProjectionOnLargeArms) {
  std::mt19937_64 rng(12);
  // Crowded: many rows, most through one inner point, many degenerate, so
  // that working sets come close to dependent.
  const envelope_random::Shape shape{.locked = 0.1, .degenerate = 0.4, .infinite = 0.1, .tight = 0.8};
  for (int k = 0; k < 2400; ++k) {
    const std::size_t axes = std::array<std::size_t, 3>{7, 12, 32}[k % 3];
    const std::size_t rows = axes / 2 + std::size_t(k / 3) % (axes / 2 + 1);
    Problem p = k % 5 == 4 ? envelope_random::empty(rng, axes, rows, shape)
                           : envelope_random::feasible(rng, axes, rows, shape);
    const double scale = std::array<double, 4>{1.0, 1e-3, 1e6, 1e9}[k % 4];
    const double row_scale = std::array<double, 3>{1.0, 1e3, 1e6}[k % 3];
    for (auto* v : {&p.min_bound, &p.max_bound, &p.u}) {
      for (double& x : *v) x *= scale;
    }
    for (double& v : p.limits) v *= scale * row_scale;
    for (double& v : p.coefficients) v *= row_scale;
    const Envelope e = make(p);
    std::vector<double> x(axes), again(axes);
    const auto result = e.project(p.u.data(), x.data());
    if (p.empty) {
      EXPECT_EQ(result.status, KELVARA_STATUS_INFEASIBLE) << k;
      continue;
    }
    ASSERT_EQ(result.status, KELVARA_STATUS_OPTIMAL) << k;
    ASSERT_TRUE(e.contains(x.data()));
    ASSERT_EQ(e.project(x.data(), again.data()).status, KELVARA_STATUS_OPTIMAL);
    const double size = 1.0 + largest(p.u);
    for (std::size_t i = 0; i < axes; ++i) EXPECT_NEAR(again[i], x[i], 1e-9 * size) << k;
    for (int t = 0; t < 3; ++t) {
      std::vector<double> other(axes), y(axes);
      for (double& v : other) v = envelope_random::uniform(rng, -8.0, 8.0) * scale;
      ASSERT_EQ(e.project(other.data(), y.data()).status, KELVARA_STATUS_OPTIMAL);
      Real inner = 0;
      for (std::size_t i = 0; i < axes; ++i) inner += Real(p.u[i] - x[i]) * Real(y[i] - x[i]);
      EXPECT_LE(double(inner), 1e-8 * size * size) << k;
    }
  }
}

// The cases a primal method stumbles on, each with its known answer.
TEST(EnvelopeProjection, DegenerateCornersHaveTheirExactAnswers) {
  struct Case {
    std::vector<double> lo, hi, a, b, u, expected;
  };
  const std::vector<Case> cases = {
      // two independent rows through the clamped command
      {{-3, -3, -3, -3},
       {3, 3, 3, 3},
       {1, 1, 0, 0, 0, 0, 1, 1},
       {1.5, 1.5},
       {0.9, 0.9, 0.9, 0.9},
       {0.75, 0.75, 0.75, 0.75}},
      // a locked axis, a duplicated row and a row repeating the upper bound of axis 0
      {{0, 0.5, 0}, {1, 0.5, 1}, {1, 1, 1, 1, 1, 1, 1, 0, 0}, {1, 1, 1}, {2, 2, 2}, {0.25, 0.5, 0.25}},
      // the feasible set is one point where four bounds and a row meet
      {{0, 0, 0, 0}, {1, 1, 1, 1}, {1, 1, 1, 1}, {0}, {2, 2, 2, 2}, {0, 0, 0, 0}},
      // infinite bounds and an infinite limit; a zero row that always holds
      {{-kInf, -kInf}, {kInf, kInf}, {1, 1, 0, 0, 0, 1}, {1, 0, kInf}, {2, 2}, {0.5, 0.5}},
  };
  for (const Case& c : cases) {
    const std::size_t n = c.lo.size();
    auto e = Envelope::make(n, c.lo.data(), c.hi.data(), c.b.size(), c.a.data(), c.b.data());
    ASSERT_TRUE(e.has_value());
    std::vector<double> x = c.u;  // in place
    ASSERT_EQ(e->project(x.data(), x.data()).status, KELVARA_STATUS_OPTIMAL);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(x[i], c.expected[i], 1e-12);
  }
}

TEST(EnvelopeProjection, RefusesWhatHasNoMeaning) {
  const double lo[2] = {-1, -1}, hi[2] = {1, 1}, a[2] = {1, 0}, b[1] = {0.5};
  const double nan = std::nan("");
  auto fault = [](std::size_t n, const double* l, const double* h, std::size_t m, const double* c,
                  const double* lim) { return Envelope::make(n, l, h, m, c, lim).error(); };
  EXPECT_EQ(fault(0, lo, hi, 0, nullptr, nullptr), EnvelopeFault::AxesOutOfRange);
  EXPECT_EQ(fault(33, lo, hi, 0, nullptr, nullptr), EnvelopeFault::AxesOutOfRange);
  EXPECT_EQ(fault(2, lo, hi, 33, a, b), EnvelopeFault::RowsOutOfRange);
  EXPECT_EQ(fault(2, lo, hi, 1, nullptr, b), EnvelopeFault::NullArgument);
  const double nan_lo[2] = {-1, nan}, reversed_hi[2] = {1, -2};
  const double up_lo[2] = {kInf, -1}, up_hi[2] = {kInf, 1}, down_lo[2] = {-1, -kInf}, down_hi[2] = {1, -kInf};
  EXPECT_EQ(fault(2, nan_lo, hi, 0, nullptr, nullptr), EnvelopeFault::NanBound);
  EXPECT_EQ(fault(2, lo, reversed_hi, 0, nullptr, nullptr), EnvelopeFault::BoundsReversed);
  EXPECT_EQ(fault(2, up_lo, up_hi, 0, nullptr, nullptr), EnvelopeFault::UnreachableBound);
  EXPECT_EQ(fault(2, down_lo, down_hi, 0, nullptr, nullptr), EnvelopeFault::UnreachableBound);
  const double inf_a[2] = {kInf, 0}, nan_b[1] = {nan};
  EXPECT_EQ(fault(2, lo, hi, 1, inf_a, b), EnvelopeFault::NonFiniteCoefficient);
  EXPECT_EQ(fault(2, lo, hi, 1, a, nan_b), EnvelopeFault::NanLimit);

  // A command that is not finite is INVALID and handed back unchanged.
  const Envelope e = *Envelope::make(2, lo, hi, 1, a, b);
  for (double bad : {nan, kInf, -kInf}) {
    double x[2] = {0.25, bad};
    const auto r = e.project(x, x);
    EXPECT_EQ(r.status, KELVARA_STATUS_INVALID);
    EXPECT_EQ(x[0], 0.25);
    EXPECT_FALSE(e.contains(x));
  }
  // A row that can never be met, here a limit of -inf: INFEASIBLE, u clamped.
  const double never[1] = {-kInf};
  const Envelope empty = *Envelope::make(2, lo, hi, 1, a, never);
  double x[2] = {5, -0.5};
  EXPECT_EQ(empty.project(x, x).status, KELVARA_STATUS_INFEASIBLE);
  EXPECT_EQ(x[0], 1.0);
  EXPECT_EQ(x[1], -0.5);
}

}  // namespace
