// The normal-equations solver on any rows and right-hand side: it reads and
// writes only the first n entries, refuses n above the capacity, and whatever
// it solves is finite, reproducible and a solution of (R R^T) x = rhs up to
// the backward error of elimination with partial pivoting.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz_input.hpp"
#include "multivar_4d.hpp"

namespace {

using namespace kelvara::core;
using kelvara::fuzz::pick_float;

constexpr float kUnwritten = -123.25f;

struct Outcome {
  bool solved;
  NormalVector x;
};

Outcome run(std::size_t n, const NormalRows& rows, const NormalVector& rhs) {
  Outcome o{};
  std::fill(std::begin(o.x), std::end(o.x), kUnwritten);
  o.solved = solve_normal_equations(n, rows, rhs, o.x);
  return o;
}

// Max-norm residual of the Gram system in double, against the scale that the
// backward error of single-precision elimination allows (a generous multiple
// of n * eps * growth over |G| |x| and |rhs|, and the underflow of x).
void check_residual(std::size_t n, const NormalRows& rows, const NormalVector& rhs, const NormalVector& x) {
  double g[WORKING_SET_CAPACITY][WORKING_SET_CAPACITY];
  double g_max = 0.0, x_max = 0.0, rhs_max = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < kAxes; ++k) s += static_cast<double>(rows[i][k]) * rows[j][k];
      g[i][j] = s;
      g_max = std::max(g_max, std::fabs(s));
    }
    x_max = std::max(x_max, std::fabs(static_cast<double>(x[i])));
    rhs_max = std::max(rhs_max, std::fabs(static_cast<double>(rhs[i])));
  }
  // The float Gram matrix overflowed or lost everything to underflow: no scale to judge by.
  if (g_max > std::numeric_limits<float>::max() || g_max < 1e-30) return;
  // Plus what underflow of a solution component to a subnormal (or zero) costs.
  const double allowed = 1e-3 * (n * g_max * x_max + rhs_max) + n * g_max * 0x1p-149 + 1e-30;
  for (std::size_t i = 0; i < n; ++i) {
    double r = -static_cast<double>(rhs[i]);
    for (std::size_t j = 0; j < n; ++j) r += g[i][j] * x[j];
    if (!(std::fabs(r) <= allowed)) {
      std::fprintf(stderr, "n %zu row %zu residual %g allowed %g\n", n, i, r, allowed);
      for (std::size_t k = 0; k < n; ++k) {
        std::fprintf(stderr, "rows %a %a %a %a rhs %a x %a\n", rows[k][0], rows[k][1], rows[k][2], rows[k][3],
                     rhs[k], x[k]);
      }
      FUZZ_CHECK(std::fabs(r) <= allowed);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, WORKING_SET_CAPACITY + 1);
  NormalRows rows;
  NormalVector rhs;
  for (auto& row : rows) {
    for (float& v : row) v = pick_float(in);
  }
  for (float& v : rhs) v = pick_float(in);

  const Outcome first = run(n, rows, rhs);
  if (n > WORKING_SET_CAPACITY) FUZZ_CHECK(!first.solved);
  const std::size_t used = std::min(n, WORKING_SET_CAPACITY);
  for (std::size_t i = used; i < WORKING_SET_CAPACITY; ++i) FUZZ_CHECK(first.x[i] == kUnwritten);

  // Rows and right-hand sides past n are never read: NaN there changes nothing.
  NormalRows poisoned_rows;
  NormalVector poisoned_rhs;
  std::memcpy(poisoned_rows, rows, sizeof rows);
  std::memcpy(poisoned_rhs, rhs, sizeof rhs);
  for (std::size_t i = used; i < WORKING_SET_CAPACITY; ++i) {
    std::fill(std::begin(poisoned_rows[i]), std::end(poisoned_rows[i]),
              std::numeric_limits<float>::quiet_NaN());
    poisoned_rhs[i] = std::numeric_limits<float>::quiet_NaN();
  }
  const Outcome second = run(n, poisoned_rows, poisoned_rhs);
  FUZZ_CHECK(second.solved == first.solved);
  FUZZ_CHECK(std::memcmp(second.x, first.x, sizeof first.x) == 0);

  if (!first.solved) return 0;
  for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(std::isfinite(first.x[i]));
  check_residual(n, rows, rhs, first.x);
  return 0;
}
