// Random four-axis problems from a fixed seed, shared by the property tests and
// the benchmarks. Built only from the raw engine output and float arithmetic,
// so that the same seed gives the same problems with every standard library.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>

#include "kelvara.h"

namespace multivar_random {

using Vec4 = std::array<float, 4>;

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Problem {
  Vec4 u;
  Multivar4dBounds bounds;
  Multivar4dConstraints c;
};

inline float unit(std::mt19937& rng) { return float(rng() >> 8) * 0x1p-24f; }
inline float between(std::mt19937& rng, float lo, float hi) { return lo + (hi - lo) * unit(rng); }

// No constraints in use; every row and limit holds NaN, which must never be read.
inline Multivar4dConstraints unused_constraints() {
  Multivar4dConstraints c;
  c.count = 0;
  for (auto& row : c.a) {
    for (float& x : row) x = kNaN;
  }
  for (float& x : c.b) x = kNaN;
  return c;
}

// A box, a point inside it, and up to four constraints that the point
// satisfies (some of them with equality), so the problem is feasible by
// construction. Some axes are pinned (equal bounds), some bounds infinite.
inline Problem feasible(std::mt19937& rng) {
  Problem p;
  Vec4 inside;
  for (std::size_t i = 0; i < 4; ++i) {
    const float lo = between(rng, -2.0f, 0.5f);
    const float roll = unit(rng);
    const float hi = roll < 0.05f ? lo : lo + between(rng, 0.2f, 3.0f);
    inside[i] = between(rng, lo, hi);
    p.bounds.min_bound[i] = roll > 0.92f ? -kInf : lo;
    p.bounds.max_bound[i] = roll > 0.85f && roll <= 0.92f ? kInf : hi;
    p.u[i] = between(rng, -5.0f, 5.0f);
  }
  p.c = unused_constraints();
  p.c.count = rng() % 5;
  for (std::size_t j = 0; j < p.c.count; ++j) {
    for (float& coefficient : p.c.a[j]) coefficient = unit(rng) < 0.3f ? 0.0f : between(rng, -1.0f, 1.0f);
    p.c.a[j][rng() % 4] = between(rng, 0.5f, 1.0f) * (rng() % 2 ? 1.0f : -1.0f);  // never a zero row
    double at_inside = 0.0;
    for (std::size_t k = 0; k < 4; ++k) at_inside += double(p.c.a[j][k]) * inside[k];
    const float slack = unit(rng) < 0.2f ? 0.0f : between(rng, 0.0f, 1.0f);
    // Rounded upwards so that the inside point stays feasible.
    p.c.b[j] = std::nextafter(float(at_inside) + slack, kInf);
  }
  return p;
}

// A feasible problem with at least one linear constraint.
inline Problem feasible_coupled(std::mt19937& rng) {
  for (;;) {
    const Problem p = feasible(rng);
    if (p.c.count > 0) return p;
  }
}

// Values where single-precision rules show: signed zeros, infinities, NaN,
// subnormals, the tolerances themselves, and magnitudes that overflow a square.
inline float special(std::mt19937& rng) {
  static constexpr float kPalette[] = {0.0f,
                                       -0.0f,
                                       1.0f,
                                       -1.0f,
                                       0.5f,
                                       -0.5f,
                                       2.0f,
                                       -2.0f,
                                       1e-5f,
                                       -1e-5f,
                                       1e-9f,
                                       1e-20f,
                                       1e20f,
                                       -1e20f,
                                       std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::denorm_min(),
                                       kInf,
                                       -kInf,
                                       kNaN};
  return kPalette[rng() % std::size(kPalette)];
}

// Small integers and halves: exact ties in multipliers, step ratios and pivots.
inline float small_step(std::mt19937& rng, int lo, int hi) {
  return 0.5f * float(int(rng() % unsigned(2 * (hi - lo) + 1)) + 2 * lo);
}

// A count above the largest accepted one.
inline std::uint64_t invalid_count(std::mt19937& rng) {
  static constexpr std::uint64_t kCounts[] = {5, 6, 255, std::uint64_t{1} << 32, UINT64_MAX};
  return kCounts[rng() % std::size(kCounts)];
}

// Rows that repeat, negate or scale an earlier row, repeat a bound, or vanish.
inline void make_degenerate_rows(std::mt19937& rng, Problem& p) {
  for (std::size_t j = 0; j < p.c.count && j < 4; ++j) {
    switch (rng() % 8) {
      case 0:
        for (float& x : p.c.a[j]) x = 0.0f;
        break;
      case 1:
        if (j > 0) {
          const float scale = (rng() % 2) ? 1.0f : between(rng, -2.0f, 2.0f);
          for (std::size_t k = 0; k < 4; ++k) p.c.a[j][k] = p.c.a[j - 1][k] * scale;
          p.c.b[j] = (rng() % 2) ? p.c.b[j - 1] : p.c.b[j - 1] * scale;
        }
        break;
      case 2: {
        for (float& x : p.c.a[j]) x = 0.0f;
        const std::size_t axis = rng() % 4;
        p.c.a[j][axis] = (rng() % 2) ? 1.0f : -1.0f;
        p.c.b[j] = p.c.a[j][axis] > 0.0f ? p.bounds.max_bound[axis] : -p.bounds.min_bound[axis];
        break;
      }
      default: break;
    }
  }
}

// Problems the solve must survive bit for bit: pinned axes, zero, duplicated
// and bound-repeating rows, infinite bounds and limits, NaN anywhere (also in
// rows past count, which are never read), tiny and huge scales, counts 0..4
// and invalid counts. Most are not feasible, many are not valid.
inline Problem hostile(std::mt19937& rng) {
  Problem p;
  const unsigned mode = rng() % 5;
  if (mode == 0) {
    // A feasible problem with a few fields replaced by special values.
    p = feasible(rng);
    const unsigned hits = rng() % 4;
    for (unsigned h = 0; h < hits; ++h) {
      const unsigned field = rng() % 4;
      const std::size_t k = rng() % 4;
      if (field == 0) p.u[k] = special(rng);
      if (field == 1) p.bounds.min_bound[k] = special(rng);
      if (field == 2) p.bounds.max_bound[k] = special(rng);
      if (field == 3) {
        const std::size_t j = rng() % 4;
        if (rng() % 2)
          p.c.a[j][k] = special(rng);
        else
          p.c.b[j] = special(rng);
      }
    }
    make_degenerate_rows(rng, p);
  } else if (mode == 1) {
    // Small integer problems, full of ties and dependent working sets.
    for (std::size_t i = 0; i < 4; ++i) {
      const float lo = small_step(rng, -2, 1);
      const float hi = lo + float(rng() % 4);
      const unsigned roll = rng() % 16;
      p.bounds.min_bound[i] = roll == 0 ? -kInf : lo;
      p.bounds.max_bound[i] = roll == 1 ? kInf : hi;
      p.u[i] = small_step(rng, -4, 4);
    }
    p.c = unused_constraints();
    p.c.count = rng() % 5;
    for (std::size_t j = 0; j < p.c.count; ++j) {
      for (float& x : p.c.a[j]) x = float(int(rng() % 5) - 2);
      const unsigned roll = rng() % 16;
      p.c.b[j] = roll == 0 ? kInf : roll == 1 ? -kInf : small_step(rng, -2, 3);
    }
    make_degenerate_rows(rng, p);
  } else if (mode == 2) {
    // Every field either ordinary or special.
    for (std::size_t i = 0; i < 4; ++i) {
      p.u[i] = unit(rng) < 0.3f ? special(rng) : between(rng, -3.0f, 3.0f);
      const float lo = unit(rng) < 0.3f ? special(rng) : between(rng, -3.0f, 0.0f);
      const float hi = unit(rng) < 0.3f ? special(rng) : between(rng, 0.0f, 3.0f);
      p.bounds.min_bound[i] = lo;
      p.bounds.max_bound[i] = unit(rng) < 0.1f ? lo : hi;
    }
    p.c = unused_constraints();
    p.c.count = rng() % 5;
    for (std::size_t j = 0; j < 4; ++j) {
      for (float& x : p.c.a[j]) x = unit(rng) < 0.2f ? special(rng) : between(rng, -1.0f, 1.0f);
      p.c.b[j] = unit(rng) < 0.2f ? special(rng) : between(rng, -1.0f, 1.0f);
    }
  } else if (mode == 3) {
    // A corner of the box at the origin where every row is active too: the
    // start point carries a working set of up to eight entries, and rows of
    // large scale keep the rounded pivots of that dependent set above the
    // threshold.
    static constexpr float kScales[] = {1.0f, 1e2f, 1e3f, 1e4f};
    const float scale = kScales[rng() % std::size(kScales)];
    for (std::size_t i = 0; i < 4; ++i) {
      p.bounds.min_bound[i] = 0.0f;
      p.bounds.max_bound[i] = between(rng, 0.5f, 3.0f);
      p.u[i] = between(rng, -5.0f, 5.0f);
    }
    p.c = unused_constraints();
    p.c.count = 1 + rng() % 4;
    for (std::size_t j = 0; j < p.c.count; ++j) {
      for (float& x : p.c.a[j]) x = between(rng, -1.0f, 1.0f) * scale;
      p.c.b[j] = 0.0f;
    }
  } else {
    // A feasible problem scaled far from unit size: multipliers and Gram
    // entries overflow, pivots fall below the threshold.
    p = feasible(rng);
    static constexpr float kScales[] = {1e-30f, 1e-6f, 1e-3f, 1e3f, 1e12f, 1e19f, 1e30f};
    const float scale = kScales[rng() % std::size(kScales)];
    const bool rows_only = rng() % 2;
    for (std::size_t j = 0; j < p.c.count; ++j) {
      for (float& x : p.c.a[j]) x = x * scale;
      if (!rows_only) p.c.b[j] = p.c.b[j] * scale * scale;
    }
    if (!rows_only) {
      for (std::size_t i = 0; i < 4; ++i) {
        p.u[i] = p.u[i] * scale;
        p.bounds.min_bound[i] = p.bounds.min_bound[i] * scale;
        p.bounds.max_bound[i] = p.bounds.max_bound[i] * scale;
      }
    }
  }
  if (rng() % 16 == 0) p.c.count = invalid_count(rng);
  return p;
}

}  // namespace multivar_random
