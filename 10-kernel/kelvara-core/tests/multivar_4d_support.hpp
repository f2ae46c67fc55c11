// Builders for four-axis problems, shared by the example and property tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "kelvara.h"

namespace multivar_test {

using Vec4 = std::array<float, 4>;

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr unsigned char kSentinel = 0xA5;

struct Constraint {
  Vec4 a;
  float b;
};

inline Multivar4dBounds box(const Vec4& lo, const Vec4& hi) {
  Multivar4dBounds bounds;
  for (std::size_t i = 0; i < 4; ++i) {
    bounds.min_bound[i] = lo[i];
    bounds.max_bound[i] = hi[i];
  }
  return bounds;
}

inline Multivar4dBounds unit_box() { return box({0, 0, 0, 0}, {1, 1, 1, 1}); }

// Rows past the ones given hold NaN, which must never be read.
inline Multivar4dConstraints constraints(std::initializer_list<Constraint> used) {
  Multivar4dConstraints c;
  c.count = used.size();
  for (auto& row : c.a) {
    for (float& x : row) x = kNaN;
  }
  for (float& x : c.b) x = kNaN;
  std::size_t j = 0;
  for (const Constraint& row : used) {
    for (std::size_t k = 0; k < 4; ++k) c.a[j][k] = row.a[k];
    c.b[j] = row.b;
    ++j;
  }
  return c;
}

// Solves into a sentinel-filled record and checks that its padding survived.
inline Multivar4dSolution solve(const Vec4& u_desired, const Multivar4dBounds& bounds,
                                const Multivar4dConstraints& c) {
  Multivar4dSolution out;
  std::memset(&out, kSentinel, sizeof out);
  EXPECT_EQ(kelvara_solve_multivar_4d(u_desired.data(), &bounds, &c, &out), 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
  for (std::size_t i = 28; i < 32; ++i) EXPECT_EQ(bytes[i], kSentinel) << "padding byte " << i;
  return out;
}

inline Vec4 u_of(const Multivar4dSolution& s) { return {s.u[0], s.u[1], s.u[2], s.u[3]}; }

}  // namespace multivar_test
