// The projection onto an Envelope by a dual active-set method for the
// least-distance problem (the Hessian is the identity).
//
// Every bound and row is a constraint n.x <= b with a unit normal: a row is
// kept scaled to unit length by make(), the lower bound of axis i is
// -e_i.x <= -min, the upper e_i.x <= max. The iterate x = u - N_W^T lambda is
// the nearest point to u on which the working set W holds with equality, with
// lambda >= 0 throughout (dual feasible). Each round adds the most violated
// constraint p: the step direction z is n_p less its projection onto the span
// of W (r = (N_W N_W^T)^-1 N_W n_p), the multipliers move by -r per unit of
// lambda_p, and the step stops either at p's limit (p joins W) or where a
// multiplier of W reaches zero (that constraint leaves, and the round goes
// on). When n_p lies in the span of W and no multiplier can leave, the
// multipliers give a nonnegative combination of constraints that no point
// meets: the envelope is empty. Every inner product of two normals comes from
// the envelope's precomputed Gram matrix, its row entries or the identity, so
// a working-set change costs O(|W|^2) on a Cholesky factor of N_W N_W^T.
//
// Termination: each round ends with a full step of length s_p/|z|^2 > 0 on a
// violated p, which strictly raises the dual objective 0.5|x - u|^2, so no
// working set recurs; within a round every partial step removes a constraint,
// so a round makes at most |W| + 1 changes. Rounding can break the strict
// increase, so the changes are also capped (max_changes) and the cap ends the
// solve as NUMERICAL_FAILURE.
#include <cmath>
#include <cstdint>

#include "kelvara/core/envelope.hpp"

namespace kelvara::core {
namespace {

constexpr double kEpsilon = 0x1p-52;
// A working constraint can block the dual step only when its multiplier falls
// faster than this per unit of lambda_p (normals are unit length, so r is of
// order one; a rounding-sized r must not produce a huge step).
constexpr double kBlockTol = 1e-12;
// n_p counts as lying in the span of W when its squared distance from the span
// is at most this (about a microradian between a normal and that span).
constexpr double kDependentTol = 1e-12;
// A bound counts as broken beyond this times (1 + |bound|); rows carry their
// own tolerance, scaled into unit terms by make().
constexpr double kBoundTol = 0.1 * kEnvelopeFeasibilityTol;
// The optimality check: stationarity and complementarity residuals relative to
// the magnitudes involved.
constexpr double kKktTol = 1e-9;

bool is_finite(double v) noexcept { return v - v == 0.0; }

double clamp_to(double v, double lo, double hi) noexcept {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

}  // namespace

class EnvelopeSolve {
 public:
  EnvelopeSolve(const Envelope& e, const double* u) noexcept : e_(e), u_(u), n_(e.axes_), m_(e.rows_) {}

  EnvelopeProjection run(double* projected) noexcept {
    for (unsigned i = 0; i < n_; ++i) {
      if (!is_finite(u_[i])) {
        for (unsigned k = 0; k < n_; ++k) projected[k] = u_[k];
        return {KELVARA_STATUS_INVALID, 0};
      }
    }
    if (e_.never_met_) return fallback(projected, KELVARA_STATUS_INFEASIBLE, 0);

    // The box alone: every bound that clamps u joins W (the bound normals are
    // orthonormal, so the factor is the identity), which is exactly where
    // adding them one by one would lead.
    for (unsigned i = 0; i < n_; ++i) {
      const double v = u_[i];
      if (v < e_.min_bound_[i]) {
        x_[i] = e_.min_bound_[i];
        push_unit(lower(i), e_.min_bound_[i] - v);
      } else if (v > e_.max_bound_[i]) {
        x_[i] = e_.max_bound_[i];
        push_unit(upper(i), v - e_.max_bound_[i]);
      } else {
        x_[i] = v;
      }
    }

    const unsigned max_changes = 8 * (2 * n_ + m_) + 16;
    unsigned changes = 0;
    for (;;) {
      const int p = most_violated();
      if (p < 0) return finish(projected, changes);
      const unsigned c = unsigned(p);
      double lambda_p = 0.0;
      for (;;) {
        if (++changes > max_changes) return fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
        directions(c);
        int block = -1;
        double t_block = HUGE_VAL;
        for (unsigned j = 0; j < q_; ++j) {
          if (r_[j] > kBlockTol) {
            const double ratio = lambda_[j] / r_[j];
            if (ratio < t_block) {
              t_block = ratio;
              block = int(j);
            }
          }
        }
        if (d_ <= kDependentTol || q_ == n_) {
          // n_p is in the span of W: only the multipliers can move.
          if (block < 0) {
            return proven_empty(c) ? fallback(projected, KELVARA_STATUS_INFEASIBLE, changes)
                                   : fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
          }
          move_multipliers(t_block, lambda_p);
          drop(unsigned(block));
          continue;
        }
        const double t_full = violation(c) / d_;
        if (t_full <= t_block) {
          step(t_full, lambda_p);
          add(c, lambda_p);
          break;
        }
        step(t_block, lambda_p);
        drop(unsigned(block));
      }
    }
  }

 private:
  // Constraint codes: rows 0..m-1, then lower and upper bound of each axis.
  unsigned lower(unsigned axis) const noexcept { return m_ + 2 * axis; }
  unsigned upper(unsigned axis) const noexcept { return m_ + 2 * axis + 1; }
  bool is_row(unsigned c) const noexcept { return c < m_; }
  unsigned axis_of(unsigned c) const noexcept { return (c - m_) >> 1; }
  bool is_upper(unsigned c) const noexcept { return ((c - m_) & 1u) != 0; }
  const double* unit_row(unsigned r) const noexcept { return e_.unit_rows_ + std::size_t(r) * n_; }

  double right_side(unsigned c) const noexcept {
    if (is_row(c)) return e_.unit_limits_[c];
    const unsigned i = axis_of(c);
    return is_upper(c) ? e_.max_bound_[i] : -e_.min_bound_[i];
  }

  // n_c . n_d from the Gram matrix, a row entry or the identity.
  double normal_dot(unsigned c, unsigned d) const noexcept {
    if (is_row(c) && is_row(d)) return e_.gram_[std::size_t(c) * m_ + d];
    if (is_row(d)) return normal_dot(d, c);
    const unsigned i = axis_of(d);
    const double sign = is_upper(d) ? 1.0 : -1.0;
    if (is_row(c)) return sign * unit_row(c)[i];
    if (axis_of(c) != i) return 0.0;
    return is_upper(c) ? sign : -sign;
  }

  // n_c . x - b_c at the current iterate: positive when c is broken.
  double violation(unsigned c) const noexcept {
    if (is_row(c)) {
      const double* a = unit_row(c);
      double sum = 0.0;
      for (unsigned i = 0; i < n_; ++i) sum += a[i] * x_[i];
      return sum - e_.unit_limits_[c];
    }
    const unsigned i = axis_of(c);
    return is_upper(c) ? x_[i] - e_.max_bound_[i] : e_.min_bound_[i] - x_[i];
  }

  bool in_set(unsigned c) const noexcept {
    if (is_row(c)) return (rows_in_ >> c) & 1u;
    return ((is_upper(c) ? upper_in_ : lower_in_) >> axis_of(c)) & 1u;
  }

  void mark(unsigned c, bool in) noexcept {
    std::uint32_t& bits = is_row(c) ? rows_in_ : (is_upper(c) ? upper_in_ : lower_in_);
    const std::uint32_t bit = std::uint32_t(1) << (is_row(c) ? c : axis_of(c));
    bits = in ? (bits | bit) : (bits & ~bit);
  }

  // The constraint outside W broken the most (in distance, since every normal
  // is unit length) beyond its tolerance; -1 when none is.
  int most_violated() const noexcept {
    int best = -1;
    double worst = 0.0;
    for (unsigned r = 0; r < m_; ++r) {
      if (in_set(r)) continue;
      const double v = violation(r);
      if (v > e_.unit_tolerance_[r] && v > worst) {
        worst = v;
        best = int(r);
      }
    }
    for (unsigned i = 0; i < n_; ++i) {
      const double lo = e_.min_bound_[i];
      const double hi = e_.max_bound_[i];
      if (!((lower_in_ >> i) & 1u)) {
        const double v = lo - x_[i];
        if (v > kBoundTol * (1.0 + std::fabs(lo)) && v > worst) {
          worst = v;
          best = int(lower(i));
        }
      }
      if (!((upper_in_ >> i) & 1u)) {
        const double v = x_[i] - hi;
        if (v > kBoundTol * (1.0 + std::fabs(hi)) && v > worst) {
          worst = v;
          best = int(upper(i));
        }
      }
    }
    return best;
  }

  // For a candidate p: y = L^-1 N_W n_p, r = L^-T y, z = n_p - N_W^T r and
  // d = n_p . z, the squared distance of n_p from the span of W.
  void directions(unsigned p) noexcept {
    for (unsigned j = 0; j < q_; ++j) {
      double sum = normal_dot(set_[j], p);
      for (unsigned k = 0; k < j; ++k) sum -= factor_[j][k] * y_[k];
      y_[j] = sum / factor_[j][j];
    }
    for (unsigned jj = q_; jj-- > 0;) {
      double sum = y_[jj];
      for (unsigned k = jj + 1; k < q_; ++k) sum -= factor_[k][jj] * r_[k];
      r_[jj] = sum / factor_[jj][jj];
    }
    for (unsigned i = 0; i < n_; ++i) z_[i] = 0.0;
    add_normal(p, 1.0);
    for (unsigned j = 0; j < q_; ++j) add_normal(set_[j], -r_[j]);
    // The axes held by a bound of W have z_i = 0 exactly; rounding is removed
    // so that those axes stay on their bounds.
    const std::uint32_t held = lower_in_ | upper_in_;
    for (unsigned i = 0; i < n_; ++i) {
      if ((held >> i) & 1u) z_[i] = 0.0;
    }
    if (is_row(p)) {
      const double* a = unit_row(p);
      double sum = 0.0;
      for (unsigned i = 0; i < n_; ++i) sum += a[i] * z_[i];
      d_ = sum;
    } else {
      d_ = is_upper(p) ? z_[axis_of(p)] : -z_[axis_of(p)];
    }
  }

  // z += scale * n_c
  void add_normal(unsigned c, double scale) noexcept {
    if (is_row(c)) {
      const double* a = unit_row(c);
      for (unsigned i = 0; i < n_; ++i) z_[i] += scale * a[i];
    } else {
      const unsigned i = axis_of(c);
      z_[i] += is_upper(c) ? scale : -scale;
    }
  }

  // lambda_p grows by t, W's multipliers fall by t r (never below zero).
  void move_multipliers(double t, double& lambda_p) noexcept {
    for (unsigned j = 0; j < q_; ++j) {
      const double v = lambda_[j] - t * r_[j];
      lambda_[j] = v > 0.0 ? v : 0.0;
    }
    lambda_p += t;
  }

  void step(double t, double& lambda_p) noexcept {
    for (unsigned i = 0; i < n_; ++i) x_[i] -= t * z_[i];
    move_multipliers(t, lambda_p);
  }

  // Appends a bound whose normal is orthogonal to every normal in W.
  void push_unit(unsigned c, double lambda) noexcept {
    for (unsigned k = 0; k < q_; ++k) factor_[q_][k] = 0.0;
    factor_[q_][q_] = 1.0;
    set_[q_] = std::uint8_t(c);
    lambda_[q_] = lambda;
    mark(c, true);
    ++q_;
  }

  // Appends p after a full step: the factor grows by the row y and the
  // diagonal |z|, computed from z itself rather than as 1 - |y|^2.
  void add(unsigned p, double lambda_p) noexcept {
    for (unsigned k = 0; k < q_; ++k) factor_[q_][k] = y_[k];
    factor_[q_][q_] = std::sqrt(d_);
    set_[q_] = std::uint8_t(p);
    lambda_[q_] = lambda_p;
    mark(p, true);
    ++q_;
    if (!is_row(p)) x_[axis_of(p)] = is_upper(p) ? e_.max_bound_[axis_of(p)] : e_.min_bound_[axis_of(p)];
  }

  // Removes entry k of W; the rows below it in the factor are brought back to
  // lower-triangular form by Givens rotations on neighbouring columns.
  void drop(unsigned k) noexcept {
    mark(set_[k], false);
    for (unsigned j = k; j + 1 < q_; ++j) {
      set_[j] = set_[j + 1];
      lambda_[j] = lambda_[j + 1];
      for (unsigned c = 0; c <= j + 1; ++c) factor_[j][c] = factor_[j + 1][c];
    }
    --q_;
    for (unsigned j = k; j < q_; ++j) {
      const double a = factor_[j][j];
      const double b = factor_[j][j + 1];
      const double h = std::sqrt(a * a + b * b);
      const double cs = a / h;
      const double sn = b / h;
      for (unsigned row = j; row < q_; ++row) {
        const double f = factor_[row][j];
        const double g = factor_[row][j + 1];
        factor_[row][j] = cs * f + sn * g;
        factor_[row][j + 1] = cs * g - sn * f;
      }
    }
  }

  // The dependent candidate p with r <= 0 gives the combination
  // n_p - sum r_j n_j = w with nonnegative weights; any point of the envelope
  // has w.x <= b_p - sum r_j b_j. The envelope is empty when even the box's
  // smallest w.x exceeds that, with room for the rounding of w and the sum.
  bool proven_empty(unsigned p) noexcept {
    for (unsigned i = 0; i < n_; ++i) z_[i] = 0.0;
    add_normal(p, 1.0);
    double beta = right_side(p);
    double weights = 1.0;
    double scale = 1.0 + std::fabs(beta);
    for (unsigned j = 0; j < q_; ++j) {
      const double w = r_[j] < 0.0 ? -r_[j] : 0.0;
      add_normal(set_[j], w);
      const double b = right_side(set_[j]);
      beta += w * b;
      weights += w;
      scale += w * std::fabs(b);
    }
    double least = 0.0;
    double reach = 1.0;
    for (unsigned i = 0; i < n_; ++i) {
      const double lo = e_.min_bound_[i];
      const double hi = e_.max_bound_[i];
      if (z_[i] > 0.0) least += z_[i] * lo;
      if (z_[i] < 0.0) least += z_[i] * hi;
      if (is_finite(lo)) reach += std::fabs(lo);
      if (is_finite(hi)) reach += std::fabs(hi);
    }
    const double margin = 64.0 * kEpsilon * (weights * reach + scale);
    return least > beta + margin;
  }

  EnvelopeProjection fallback(double* projected, std::uint32_t status, unsigned changes) const noexcept {
    for (unsigned i = 0; i < n_; ++i) projected[i] = clamp_to(u_[i], e_.min_bound_[i], e_.max_bound_[i]);
    return {status, changes};
  }

  // x is reported optimal only when it meets the envelope in the caller's own
  // terms and the multipliers prove it: x - u + N_W^T lambda = 0 and every
  // constraint of W with a positive multiplier at its limit, to the
  // tolerances.
  EnvelopeProjection finish(double* projected, unsigned changes) noexcept {
    double size = 1.0;
    for (unsigned i = 0; i < n_; ++i) {
      x_[i] = clamp_to(x_[i], e_.min_bound_[i], e_.max_bound_[i]);
      size += std::fabs(u_[i]) > std::fabs(x_[i]) ? std::fabs(u_[i]) : std::fabs(x_[i]);
    }
    bool proven = e_.contains(x_);
    for (unsigned i = 0; i < n_; ++i) z_[i] = x_[i] - u_[i];
    for (unsigned j = 0; j < q_ && proven; ++j) {
      add_normal(set_[j], lambda_[j]);
      if (lambda_[j] > 0.0) {
        const double slack = violation(set_[j]);
        proven = std::fabs(slack) <= kKktTol * (size + std::fabs(right_side(set_[j])));
      }
    }
    for (unsigned i = 0; i < n_ && proven; ++i) proven = std::fabs(z_[i]) <= kKktTol * size;
    if (!proven) return fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
    for (unsigned i = 0; i < n_; ++i) projected[i] = x_[i];
    return {KELVARA_STATUS_OPTIMAL, changes};
  }

  const Envelope& e_;
  const double* u_;
  const unsigned n_;
  const unsigned m_;
  double x_[kEnvelopeMaxAxes];
  double z_[kEnvelopeMaxAxes];
  double d_ = 0.0;
  // The working set: constraint codes in order, their multipliers, the
  // Cholesky factor (lower) of their Gram matrix, and the scratch vectors.
  unsigned q_ = 0;
  std::uint8_t set_[kEnvelopeMaxAxes];
  double lambda_[kEnvelopeMaxAxes];
  double factor_[kEnvelopeMaxAxes][kEnvelopeMaxAxes];
  double y_[kEnvelopeMaxAxes];
  double r_[kEnvelopeMaxAxes];
  std::uint32_t rows_in_ = 0;
  std::uint32_t lower_in_ = 0;
  std::uint32_t upper_in_ = 0;
};

EnvelopeProjection Envelope::project(const double* desired, double* projected) const noexcept {
  EnvelopeSolve solve(*this, desired);
  return solve.run(projected);
}

}  // namespace kelvara::core
