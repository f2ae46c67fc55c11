// The Cholesky factor L (lower triangular) of the Gram matrix of the working
// rows of the general projection, over the free axes, kept up to date as the
// working set changes instead of being rebuilt: a row joins by bordering,
// leaves by a sweep of Givens rotations, and holding or freeing an axis is a
// rank-one downdate or update. Every change and every solve costs O(k^2) for
// k rows. Inline, since the solve's inner loop calls it on every change; every
// sum runs in a fixed order.
#pragma once

#include <cmath>

#include "kelvara/core/envelope.hpp"

namespace kelvara::core {

class RowFactor {
 public:
  unsigned size() const noexcept { return k_; }

  // y = L^-1 v (v and y hold size() values; they may be the same array).
  void solve_lower(const double* v, double* y) const noexcept {
    for (unsigned j = 0; j < k_; ++j) {
      double sum = v[j];
      for (unsigned c = 0; c < j; ++c) sum -= l_[j][c] * y[c];
      y[j] = sum / l_[j][j];
    }
  }

  // r = L^-T y.
  void solve_upper(const double* y, double* r) const noexcept {
    for (unsigned j = k_; j-- > 0;) {
      double sum = y[j];
      for (unsigned c = j + 1; c < k_; ++c) sum -= l_[c][j] * r[c];
      r[j] = sum / l_[j][j];
    }
  }

  // A new last row: its Gram entries with the others give y = L^-1 v, and
  // its diagonal is its distance from their span.
  void append(const double* y, double diagonal) noexcept {
    for (unsigned c = 0; c < k_; ++c) l_[k_][c] = y[c];
    l_[k_][k_] = diagonal;
    ++k_;
  }

  // L L^T - c c^T, given w = L^-1 c and alpha = sqrt(1 - |w|^2) > 0: the
  // rotations that fold w into alpha, applied to the columns of L^T.
  void downdate(const double* w, double alpha) noexcept {
    for (unsigned c = k_; c-- > 0;) {
      const double t = std::sqrt(alpha * alpha + w[c] * w[c]);
      cos_[c] = alpha / t;
      sin_[c] = w[c] / t;
      alpha = t;
    }
    for (unsigned j = 0; j < k_; ++j) {
      double carry = 0.0;
      for (unsigned c = j + 1; c-- > 0;) {
        const double l = l_[j][c];
        const double t = cos_[c] * carry + sin_[c] * l;
        l_[j][c] = cos_[c] * l - sin_[c] * carry;
        carry = t;
      }
    }
  }

  // L L^T + c c^T; c (size() values) is used up.
  void update(double* c) noexcept {
    for (unsigned k = 0; k < k_; ++k) {
      const double l = l_[k][k];
      const double h = std::sqrt(l * l + c[k] * c[k]);
      const double cs = h / l;
      const double sn = c[k] / l;
      l_[k][k] = h;
      for (unsigned j = k + 1; j < k_; ++j) {
        l_[j][k] = (l_[j][k] + sn * c[j]) / cs;
        c[j] = cs * c[j] - sn * l_[j][k];
      }
    }
  }

  // Row and column k leave; the rows below are brought back to lower
  // triangular form by rotations on neighbouring columns. (The entries of L
  // are at most one in magnitude, so the plain root cannot overflow.)
  void remove(unsigned k) noexcept {
    for (unsigned j = k; j + 1 < k_; ++j) {
      for (unsigned c = 0; c <= j + 1; ++c) l_[j][c] = l_[j + 1][c];
    }
    --k_;
    for (unsigned j = k; j < k_; ++j) {
      const double a = l_[j][j];
      const double b = l_[j][j + 1];
      const double h = std::sqrt(a * a + b * b);
      const double cs = a / h;
      const double sn = b / h;
      for (unsigned row = j; row < k_; ++row) {
        const double f = l_[row][j];
        const double g = l_[row][j + 1];
        l_[row][j] = cs * f + sn * g;
        l_[row][j + 1] = cs * g - sn * f;
      }
    }
  }

 private:
  unsigned k_ = 0;
  double l_[kEnvelopeMaxAxes][kEnvelopeMaxAxes];
  double cos_[kEnvelopeMaxAxes];
  double sin_[kEnvelopeMaxAxes];
};

}  // namespace kelvara::core
