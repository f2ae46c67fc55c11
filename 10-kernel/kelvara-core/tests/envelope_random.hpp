// Random envelopes and commands for the general projection's tests and its
// benchmark: feasible sets with the degenerate features a primal method
// stumbles on, sets that are empty by a known margin, and hostile inputs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace envelope_random {

inline constexpr double kInf = HUGE_VAL;

struct Problem {
  std::size_t axes = 0;
  std::size_t rows = 0;
  std::vector<double> min_bound, max_bound, coefficients, limits, u;
  bool empty = false;  // generated empty (no point meets every bound and row)

  double& a(std::size_t r, std::size_t i) { return coefficients[r * axes + i]; }
};

struct Shape {
  double locked = 0.0;      // chance that an axis has equal bounds
  double degenerate = 0.0;  // chance that a row is a duplicate, a multiple, a bound, zero or nearly dependent
  double infinite = 0.0;    // chance that a bound or a limit is infinite
  double tight = 0.3;       // chance that a row passes through the inner point
  bool lock_one = false;    // one axis, chosen at random, has equal bounds
};

inline double uniform(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}
inline bool chance(std::mt19937_64& rng, double p) { return uniform(rng, 0.0, 1.0) < p; }

// A box of half-widths 0.5 to 3 around offsets up to 1, rows through or near
// an inner point of the box (so the set is never empty), and a desired command
// that is often well outside.
inline Problem feasible(std::mt19937_64& rng, std::size_t axes, std::size_t rows, const Shape& shape) {
  std::normal_distribution<double> normal(0.0, 1.0);
  Problem p;
  p.axes = axes;
  p.rows = rows;
  p.min_bound.resize(axes);
  p.max_bound.resize(axes);
  p.u.resize(axes);
  p.coefficients.assign(rows * axes, 0.0);
  p.limits.resize(rows);
  std::vector<double> inner(axes);
  const std::size_t locked_axis = shape.lock_one ? std::size_t(uniform(rng, 0.0, double(axes))) : axes;
  for (std::size_t i = 0; i < axes; ++i) {
    const double centre = uniform(rng, -1.0, 1.0);
    const double half = uniform(rng, 0.5, 3.0);
    p.min_bound[i] = centre - half;
    p.max_bound[i] = centre + half;
    inner[i] = centre + half * uniform(rng, -0.6, 0.6);
    if (i == locked_axis || chance(rng, shape.locked)) {
      p.min_bound[i] = p.max_bound[i] = inner[i];
    } else {
      if (chance(rng, shape.infinite)) p.min_bound[i] = -kInf;
      if (chance(rng, shape.infinite)) p.max_bound[i] = kInf;
    }
    p.u[i] = centre + half * 2.5 * normal(rng);
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const int kind = chance(rng, shape.degenerate) ? int(uniform(rng, 0.0, 5.0)) : -1;
    if (kind == 0 && r > 0) {  // a duplicate or a positive multiple of an earlier row
      const std::size_t from = std::size_t(uniform(rng, 0.0, double(r)));
      const double scale = chance(rng, 0.5) ? 1.0 : uniform(rng, 0.1, 10.0);
      for (std::size_t i = 0; i < axes; ++i) p.a(r, i) = scale * p.a(from, i);
      p.limits[r] = scale * p.limits[from];
      continue;
    }
    if (kind == 1) {  // a row that repeats a bound
      const std::size_t i = std::size_t(uniform(rng, 0.0, double(axes)));
      const bool upper = chance(rng, 0.5);
      p.a(r, i) = upper ? 1.0 : -1.0;
      const double bound = upper ? p.max_bound[i] : p.min_bound[i];
      p.limits[r] = std::isfinite(bound) ? (upper ? bound : -bound) : (upper ? inner[i] : -inner[i]);
      continue;
    }
    if (kind == 2) {  // a zero row, always met
      p.limits[r] = chance(rng, 0.5) ? 0.0 : uniform(rng, 0.0, 1.0);
      continue;
    }
    if (kind == 3 && r > 0) {  // nearly parallel to an earlier row
      const std::size_t from = std::size_t(uniform(rng, 0.0, double(r)));
      double sum = 0.0;
      for (std::size_t i = 0; i < axes; ++i) {
        p.a(r, i) = p.a(from, i) + 1e-4 * normal(rng);
        sum += p.a(r, i) * inner[i];
      }
      p.limits[r] = sum + 1e-3 * uniform(rng, 0.0, 1.0);
      continue;
    }
    if (kind == 4 && r > 1) {  // nearly a combination of two earlier rows
      const std::size_t first = std::size_t(uniform(rng, 0.0, double(r)));
      const std::size_t second = std::size_t(uniform(rng, 0.0, double(r)));
      const double w1 = uniform(rng, -1.0, 1.0), w2 = uniform(rng, -1.0, 1.0);
      double sum = 0.0;
      for (std::size_t i = 0; i < axes; ++i) {
        p.a(r, i) = w1 * p.a(first, i) + w2 * p.a(second, i) + 1e-4 * normal(rng);
        sum += p.a(r, i) * inner[i];
      }
      p.limits[r] = chance(rng, shape.tight) ? sum : sum + 1e-6 * uniform(rng, 0.0, 1.0);
      continue;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < axes; ++i) {
      p.a(r, i) = normal(rng);
      sum += p.a(r, i) * inner[i];
    }
    p.limits[r] = chance(rng, shape.tight) ? sum : sum + uniform(rng, 0.0, 1.0);
    if (chance(rng, shape.infinite * 0.5)) p.limits[r] = kInf;
  }
  return p;
}

// A feasible envelope with one row added that no point of the box meets (its
// least value over the box is above its limit by 0.05 to 1), or with two
// opposing rows that leave a gap: empty by a clear margin.
inline Problem empty(std::mt19937_64& rng, std::size_t axes, std::size_t rows, const Shape& shape) {
  Problem p = feasible(rng, axes, rows < 1 ? 1 : rows, shape);
  for (std::size_t i = 0; i < axes; ++i) {  // the margin needs a finite box
    if (!std::isfinite(p.min_bound[i])) p.min_bound[i] = std::min(p.max_bound[i], 0.0) - 3.0;
    if (!std::isfinite(p.max_bound[i])) p.max_bound[i] = p.min_bound[i] + 3.0;
  }
  std::normal_distribution<double> normal(0.0, 1.0);
  const std::size_t r = std::size_t(uniform(rng, 0.0, double(p.rows)));
  const double gap = uniform(rng, 0.05, 1.0);
  if (chance(rng, 0.5) && r + 1 < p.rows) {
    // a.x <= c and -a.x <= -(c + gap)
    double c = 0.0;
    for (std::size_t i = 0; i < axes; ++i) {
      p.a(r, i) = normal(rng);
      p.a(r + 1, i) = -p.a(r, i);
      c += p.a(r, i) * 0.5 * (p.min_bound[i] + p.max_bound[i]);
    }
    p.limits[r] = c;
    p.limits[r + 1] = -(c + gap);
  } else {
    double least = 0.0;
    for (std::size_t i = 0; i < axes; ++i) {
      p.a(r, i) = normal(rng);
      least += p.a(r, i) > 0.0 ? p.a(r, i) * p.min_bound[i] : p.a(r, i) * p.max_bound[i];
    }
    p.limits[r] = least - gap;
  }
  p.empty = true;
  return p;
}

}  // namespace envelope_random
