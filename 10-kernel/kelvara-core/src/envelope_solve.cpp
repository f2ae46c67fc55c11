// The projection onto an Envelope by a dual active-set method for the
// least-distance problem (the Hessian is the identity).
//
// Every bound and row is a constraint n.x <= b with a unit normal: a row is
// kept scaled to unit length by make(), the lower bound of axis i is
// -e_i.x <= -min, the upper e_i.x <= max. The iterate x = u - N_W^T lambda is
// the nearest point to u on which the working set W holds with equality, with
// lambda >= 0 throughout (dual feasible). Each round adds the most violated
// constraint p: the step direction z is n_p less its projection onto the span
// of W, the multipliers of W move by -r per unit of lambda_p, and the step
// stops either at p's limit (p joins W) or where a multiplier of W reaches
// zero (that constraint leaves, and the round goes on). When n_p lies in the
// span of W and no multiplier can leave, the multipliers give a nonnegative
// combination of constraints that no point meets: the envelope is empty.
//
// Bounds are simple bounds: a bound in W holds its axis, so the linear
// algebra covers only the rows of W over the free axes (RowFactor). The box
// clamp of u, every clamped axis held, is the start, and the answer when it
// meets every row.
//
// Termination: each round ends with a full step of length s_p/|z|^2 > 0 on a
// violated p, which strictly raises the dual objective 0.5|x - u|^2, so no
// working set recurs; within a round every partial step removes a constraint,
// so a round makes at most |W| + 1 changes. Rounding can break the strict
// increase, so the changes are also capped (max_changes) and the cap ends the
// solve as NUMERICAL_FAILURE.
#include <cmath>
#include <cstdint>

#include "envelope_factor.hpp"
#include "kelvara/core/envelope.hpp"

namespace kelvara::core {
namespace {

// A constraint of W can block the dual step only when its multiplier falls
// faster than this per unit of lambda_p (normals are unit length, so the rates
// are of order one; a rounding-sized rate must not produce a huge step).
constexpr double kBlockTol = 1e-12;
// n_p counts as lying in the span of W when its squared distance from the span
// is at most this (about a microradian between a normal and that span).
constexpr double kDependentTol = 1e-12;
// A bound counts as broken beyond this times (1 + |bound|); rows carry their
// own tolerance, scaled into unit terms by make().
constexpr double kBoundTol = 0.1 * kEnvelopeFeasibilityTol;
// An empty envelope is claimed only with a combination of constraints whose
// normals cancel, and whose limits fall short, by more than this relative to
// the combination's weights (a working set near the end of a search for an
// empty set is badly conditioned, and its rates carry that much rounding).
constexpr double kCertificateTol = 1e-9;
// The optimality check: stationarity and complementarity residuals relative to
// the magnitudes involved.
constexpr double kKktTol = 1e-9;

bool is_finite(double v) noexcept { return v - v == 0.0; }

double clamp_to(double v, double lo, double hi) noexcept {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

// A candidate constraint: a row, or a bound of an axis.
struct Candidate {
  int row = -1;  // -1 for a bound
  unsigned axis = 0;
  bool upper = false;
};

}  // namespace

class EnvelopeSolve {
 public:
  EnvelopeSolve(const Envelope& e, const double* u) noexcept
      : e_(e),
        u_(u),
        n_(e.axes_),
        m_(e.rows_),
        lo_(e.data_),
        hi_(e.data_ + e.axes_),
        unit_limits_(e.data_ + e.unit_limits_at()),
        unit_tolerance_(e.data_ + e.unit_tolerances_at()),
        unit_rows_(e.data_ + e.unit_rows_at()) {}

  EnvelopeProjection run(double* projected) noexcept {
    for (unsigned i = 0; i < n_; ++i) {
      if (!is_finite(u_[i])) {
        for (unsigned k = 0; k < n_; ++k) projected[k] = u_[k];
        return {KELVARA_STATUS_INVALID, 0};
      }
    }
    if (e_.never_met_) return fallback(projected, KELVARA_STATUS_INFEASIBLE, 0);

    // The box alone: every bound that clamps u holds its axis, with the
    // distance clamped away as its multiplier.
    for (unsigned i = 0; i < n_; ++i) {
      const double v = u_[i];
      const double lo = lo_[i];
      const double hi = hi_[i];
      x_[i] = v;
      mu_[i] = 0.0;
      side_[i] = 0.0;
      if (v < lo) {
        hold(i, false, lo - v);
      } else if (v > hi) {
        hold(i, true, v - hi);
      }
    }
    // The quick accept: the clamp meets every row in the caller's own terms.
    if (e_.contains(x_)) {
      for (unsigned i = 0; i < n_; ++i) projected[i] = x_[i];
      return {KELVARA_STATUS_OPTIMAL, 0};
    }

    const unsigned max_changes = 8 * (2 * n_ + m_) + 16;
    unsigned changes = 0;
    Candidate p;
    while (most_violated(p)) {
      double lambda_p = 0.0;
      for (;;) {
        if (changes == max_changes) return fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
        ++changes;
        directions(p);
        // The constraint of W whose multiplier reaches zero first: a row
        // (block >= 0) or a held axis (block < -1 encodes axis -2 - block).
        int block = -1;
        double t_block = HUGE_VAL;
        // (Compared as products, so that only a new minimum pays a division.)
        for (unsigned j = 0; j < q_; ++j) {
          if (r_[j] > kBlockTol && lambda_[j] < t_block * r_[j]) {
            t_block = lambda_[j] / r_[j];
            block = int(j);
          }
        }
        for (unsigned i = 0; i < n_; ++i) {  // rho is zero on free axes
          if (rho_[i] > kBlockTol && mu_[i] < t_block * rho_[i]) {
            t_block = mu_[i] / rho_[i];
            block = -2 - int(i);
          }
        }
        if (d_ <= kDependentTol || q_ + held_count_ == n_) {
          // n_p is in the span of W: the multipliers move, and x with them
          // along z (which is zero but for rounding, and keeps x = u -
          // N_W^T lambda exact when n_p is only nearly in the span).
          if (block == -1) {
            return proven_empty(p) ? fallback(projected, KELVARA_STATUS_INFEASIBLE, changes)
                                   : fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
          }
          step(t_block, lambda_p);
          release(block);
          continue;
        }
        const double t_full = violation(p) / d_;
        if (t_full <= t_block) {
          step(t_full, lambda_p);
          if (p.row >= 0) {
            add_row(unsigned(p.row), lambda_p);
          } else {
            hold_with_downdate(p.axis, p.upper, lambda_p);
          }
          break;
        }
        // Neither step is a number (overflow in magnitudes far outside the
        // documented range): give up rather than step into NaN.
        if (block == -1) return fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
        step(t_block, lambda_p);
        release(block);
      }
    }
    return finish(projected, changes);
  }

 private:
  const double* unit_row(unsigned r) const noexcept { return unit_rows_ + std::size_t(r) * n_; }
  bool is_held(unsigned i) const noexcept { return (held_ >> i) & 1u; }
  bool held_upper(unsigned i) const noexcept { return (held_upper_ >> i) & 1u; }
  double bound_of(unsigned i, bool upper) const noexcept { return upper ? hi_[i] : lo_[i]; }

  // n_p . x - b_p at the current iterate: positive when p is broken.
  double violation(const Candidate& p) const noexcept {
    if (p.row >= 0) return row_value(unsigned(p.row)) - unit_limits_[p.row];
    return p.upper ? x_[p.axis] - hi_[p.axis] : lo_[p.axis] - x_[p.axis];
  }

  double row_value(unsigned r) const noexcept {
    const double* a = unit_row(r);
    double sum = 0.0;
    for (unsigned i = 0; i < n_; ++i) sum += a[i] * x_[i];
    return sum;
  }

  // The constraint outside W broken the most (in distance, since every normal
  // is unit length) beyond its tolerance; false when none is.
  bool most_violated(Candidate& p) const noexcept {
    bool found = false;
    double worst = 0.0;
    for (unsigned r = 0; r < m_; ++r) {
      if ((rows_in_ >> r) & 1u) continue;
      const double v = row_value(r) - unit_limits_[r];
      if (v > unit_tolerance_[r] && v > worst) {
        worst = v;
        p = Candidate{int(r), 0, false};
        found = true;
      }
    }
    for (unsigned i = 0; i < n_; ++i) {
      if (is_held(i)) continue;
      const double lo = lo_[i];
      const double hi = hi_[i];
      const double below = lo - x_[i];
      if (below > kBoundTol * (1.0 + std::fabs(lo)) && below > worst) {
        worst = below;
        p = Candidate{-1, i, false};
        found = true;
      }
      const double above = x_[i] - hi;
      if (above > kBoundTol * (1.0 + std::fabs(hi)) && above > worst) {
        worst = above;
        p = Candidate{-1, i, true};
        found = true;
      }
    }
    return found;
  }

  // For a candidate p: the rates r (rows of W) and rho (held axes) at which
  // W's multipliers fall per unit of lambda_p, the direction z (zero on held
  // axes) and d = n_p . z, the squared distance of n_p from the span of W.
  void directions(const Candidate& p) noexcept {
    const double* ap = p.row >= 0 ? unit_row(unsigned(p.row)) : nullptr;
    const double sign_p = p.upper ? 1.0 : -1.0;
    // y = L^-1 v with v_j = n_p . n_j over the free axes, and r = L^-T y.
    for (unsigned j = 0; j < q_; ++j) {
      const double* aj = unit_row(rows_[j]);
      double v = 0.0;
      if (ap != nullptr) {
        for (unsigned i = 0; i < n_; ++i) {
          if (!is_held(i)) v += ap[i] * aj[i];
        }
      } else {
        v = sign_p * aj[p.axis];
      }
      y_[j] = v;
    }
    factor_.solve_lower(y_, y_);
    factor_.solve_upper(y_, r_);
    // z = n_p - N_R^T r over every axis; on a held axis that remainder is
    // what the held bound takes up (its rate rho), and z is zero there.
    for (unsigned i = 0; i < n_; ++i) z_[i] = ap != nullptr ? ap[i] : (i == p.axis ? sign_p : 0.0);
    for (unsigned j = 0; j < q_; ++j) {
      const double* aj = unit_row(rows_[j]);
      for (unsigned i = 0; i < n_; ++i) z_[i] -= r_[j] * aj[i];
    }
    double d = 0.0;
    for (unsigned i = 0; i < n_; ++i) {
      rho_[i] = side_[i] * z_[i];
      z_[i] = side_[i] != 0.0 ? 0.0 : z_[i];
    }
    if (ap != nullptr) {
      for (unsigned i = 0; i < n_; ++i) d += ap[i] * z_[i];
    }
    d_ = ap != nullptr ? d : sign_p * z_[p.axis];
  }

  // lambda_p grows by t, W's multipliers fall at their rates (never below 0).
  void move_multipliers(double t, double& lambda_p) noexcept {
    for (unsigned j = 0; j < q_; ++j) {
      const double v = lambda_[j] - t * r_[j];
      lambda_[j] = v > 0.0 ? v : 0.0;
    }
    for (unsigned i = 0; i < n_; ++i) {  // rho is zero on free axes
      const double v = mu_[i] - t * rho_[i];
      mu_[i] = v > 0.0 ? v : 0.0;
    }
    lambda_p += t;
  }

  void step(double t, double& lambda_p) noexcept {
    for (unsigned i = 0; i < n_; ++i) x_[i] -= t * z_[i];
    move_multipliers(t, lambda_p);
  }

  void hold(unsigned i, bool upper, double mu) noexcept {
    const std::uint32_t bit = std::uint32_t(1) << i;
    held_ |= bit;
    held_upper_ = upper ? (held_upper_ | bit) : (held_upper_ & ~bit);
    side_[i] = upper ? 1.0 : -1.0;
    ++held_count_;
    mu_[i] = mu;
    x_[i] = bound_of(i, upper);
  }

  // Appends row p after a full step: the factor grows by the row y and the
  // diagonal |z|, taken from z itself rather than as 1 - |y|^2.
  void add_row(unsigned p, double lambda_p) noexcept {
    rows_[q_] = std::uint8_t(p);
    lambda_[q_] = lambda_p;
    rows_in_ |= std::uint32_t(1) << p;
    factor_.append(y_, std::sqrt(d_));
    ++q_;
  }

  // Holds axis i after a full step onto its bound. The rows' Gram matrix over
  // the free axes loses c c^T (c_j = a_j[i]); with L w = c, here w = +-y, the
  // downdate is a sweep of rotations whose last cosine is |z| = sqrt(d).
  void hold_with_downdate(unsigned i, bool upper, double lambda_p) noexcept {
    factor_.downdate(y_, std::sqrt(d_));
    hold(i, upper, lambda_p);
  }

  // Removes a constraint of W whose multiplier reached zero.
  void release(int block) noexcept {
    if (block >= 0) {
      drop_row(unsigned(block));
    } else {
      free_axis(unsigned(-2 - block));
    }
  }

  // Row k leaves W and the factor.
  void drop_row(unsigned k) noexcept {
    rows_in_ &= ~(std::uint32_t(1) << rows_[k]);
    for (unsigned j = k; j + 1 < q_; ++j) {
      rows_[j] = rows_[j + 1];
      lambda_[j] = lambda_[j + 1];
    }
    factor_.remove(k);
    --q_;
  }

  // Axis i is free again: the rows' Gram matrix gains c c^T (c_j = a_j[i]),
  // a rank-one update of the factor.
  void free_axis(unsigned i) noexcept {
    held_ &= ~(std::uint32_t(1) << i);
    side_[i] = 0.0;
    mu_[i] = 0.0;
    --held_count_;
    double c[kEnvelopeMaxAxes];
    for (unsigned j = 0; j < q_; ++j) c[j] = unit_row(rows_[j])[i];
    factor_.update(c);
  }

  // The dependent candidate p with no rate above zero gives the combination
  // w = n_p + sum (-r_j) n_j with nonnegative weights; any point of the
  // envelope has w.x <= b_p + sum (-r_j) b_j. The envelope is empty when even
  // the box's smallest w.x exceeds that, with room for the rounding. On an
  // unbounded axis w vanishes in exact arithmetic (n_p lies in the span of
  // W), so a rounding-sized remainder there is no escape.
  bool proven_empty(const Candidate& p) noexcept {
    double beta;
    if (p.row >= 0) {
      const double* ap = unit_row(unsigned(p.row));
      for (unsigned i = 0; i < n_; ++i) z_[i] = ap[i];
      beta = unit_limits_[p.row];
    } else {
      for (unsigned i = 0; i < n_; ++i) z_[i] = 0.0;
      z_[p.axis] = p.upper ? 1.0 : -1.0;
      beta = p.upper ? hi_[p.axis] : -lo_[p.axis];
    }
    double weights = 1.0;
    double scale = 1.0 + std::fabs(beta);
    for (unsigned j = 0; j < q_; ++j) {
      const double w = r_[j] < 0.0 ? -r_[j] : 0.0;
      const double* aj = unit_row(rows_[j]);
      for (unsigned i = 0; i < n_; ++i) z_[i] += w * aj[i];
      const double b = unit_limits_[rows_[j]];
      beta += w * b;
      weights += w;
      scale += w * std::fabs(b);
    }
    for (unsigned i = 0; i < n_; ++i) {
      if (!is_held(i) || !(rho_[i] < 0.0)) continue;
      const double w = -rho_[i];
      const bool upper = held_upper(i);
      z_[i] += upper ? w : -w;
      const double b = upper ? hi_[i] : -lo_[i];
      beta += w * b;
      weights += w;
      scale += w * std::fabs(b);
    }
    // On an axis without a bound on the side that w needs, w must vanish: a
    // remainder within the certificate's tolerance counts as zero.
    const double noise = kCertificateTol * weights;
    double least = 0.0;
    double reach = 1.0;
    for (unsigned i = 0; i < n_; ++i) {
      const double lo = lo_[i];
      const double hi = hi_[i];
      const double w = z_[i];
      if (w > 0.0) {
        if (is_finite(lo)) {
          least += w * lo;
        } else if (w > noise) {
          return false;
        }
      } else if (w < 0.0) {
        if (is_finite(hi)) {
          least += w * hi;
        } else if (-w > noise) {
          return false;
        }
      }
      if (is_finite(lo)) reach += std::fabs(lo);
      if (is_finite(hi)) reach += std::fabs(hi);
    }
    const double margin = kCertificateTol * (weights * reach + scale);
    return least > beta + margin;
  }

  EnvelopeProjection fallback(double* projected, std::uint32_t status, unsigned changes) const noexcept {
    for (unsigned i = 0; i < n_; ++i) projected[i] = clamp_to(u_[i], lo_[i], hi_[i]);
    return {status, changes};
  }

  // Rounding moves the rows of W off their limits as the steps add up, by
  // more where they are nearly dependent; up to two passes of refinement put
  // them back: solve (N_R N_R^T) delta = slack over the free axes with the
  // factor, and move x by -N_R^T delta and the multipliers by +delta (the
  // held axes' multipliers take up what falls on their axes). A pass is
  // skipped when every slack is already within a thousandth of its row's
  // tolerance.
  void refine() noexcept {
    for (int pass = 0; pass < 2; ++pass) {
      bool settled = true;
      for (unsigned j = 0; j < q_; ++j) {
        const double slack = row_value(rows_[j]) - unit_limits_[rows_[j]];
        settled = settled && std::fabs(slack) <= 1e-3 * unit_tolerance_[rows_[j]];
        y_[j] = slack;
      }
      if (settled) return;
      factor_.solve_lower(y_, y_);
      factor_.solve_upper(y_, r_);
      for (unsigned j = 0; j < q_; ++j) {
        const double* aj = unit_row(rows_[j]);
        for (unsigned i = 0; i < n_; ++i) {
          if (!is_held(i)) {
            x_[i] -= r_[j] * aj[i];
          } else {
            mu_[i] -= held_upper(i) ? r_[j] * aj[i] : -r_[j] * aj[i];
          }
        }
        lambda_[j] += r_[j];
      }
    }
  }

  // x is reported optimal only when it meets the envelope in the caller's own
  // terms and the multipliers prove it: none below zero, x - u + N_W^T lambda
  // = 0, and every row of W with a positive multiplier at its limit, to the
  // tolerances (held axes sit on their bounds exactly).
  EnvelopeProjection finish(double* projected, unsigned changes) noexcept {
    if (q_ > 0) refine();
    double size = 1.0;
    for (unsigned i = 0; i < n_; ++i) {
      x_[i] = clamp_to(x_[i], lo_[i], hi_[i]);
      const double a = std::fabs(u_[i]);
      const double b = std::fabs(x_[i]);
      size += a > b ? a : b;
    }
    bool proven = e_.contains(x_);
    if (proven) {
      // Dual feasibility (refinement may have nudged a multiplier below zero).
      const double floor = -kKktTol * size;
      for (unsigned i = 0; i < n_; ++i) {
        z_[i] = x_[i] - u_[i];
        if (is_held(i)) z_[i] += held_upper(i) ? mu_[i] : -mu_[i];
        proven = proven && mu_[i] >= floor;
      }
      for (unsigned j = 0; j < q_ && proven; ++j) {
        const double* aj = unit_row(rows_[j]);
        for (unsigned i = 0; i < n_; ++i) z_[i] += lambda_[j] * aj[i];
        proven = lambda_[j] >= floor;
        if (proven && lambda_[j] > 0.0) {
          const double limit = unit_limits_[rows_[j]];
          proven = std::fabs(row_value(rows_[j]) - limit) <= kKktTol * (size + std::fabs(limit));
        }
      }
      for (unsigned i = 0; i < n_ && proven; ++i) proven = std::fabs(z_[i]) <= kKktTol * size;
    }
    if (!proven) return fallback(projected, KELVARA_STATUS_NUMERICAL_FAILURE, changes);
    for (unsigned i = 0; i < n_; ++i) projected[i] = x_[i];
    return {KELVARA_STATUS_OPTIMAL, changes};
  }

  const Envelope& e_;
  const double* u_;
  const unsigned n_;
  const unsigned m_;
  const double* lo_;
  const double* hi_;
  const double* unit_limits_;
  const double* unit_tolerance_;
  const double* unit_rows_;
  double x_[kEnvelopeMaxAxes];
  double z_[kEnvelopeMaxAxes];
  double d_ = 0.0;
  // Held axes: which, on which bound, how many, and their multipliers and
  // rates (zero on free axes).
  std::uint32_t held_ = 0;
  std::uint32_t held_upper_ = 0;
  unsigned held_count_ = 0;
  double mu_[kEnvelopeMaxAxes];
  double rho_[kEnvelopeMaxAxes];
  // The normal's sign of the bound holding each axis (+1 upper, -1 lower), 0
  // on a free axis.
  double side_[kEnvelopeMaxAxes];
  // The rows of W in order, their multipliers, the factor of their Gram
  // matrix over the free axes, and scratch vectors.
  unsigned q_ = 0;
  std::uint32_t rows_in_ = 0;
  std::uint8_t rows_[kEnvelopeMaxAxes];
  double lambda_[kEnvelopeMaxAxes];
  RowFactor factor_;
  double y_[kEnvelopeMaxAxes];
  double r_[kEnvelopeMaxAxes];
};

EnvelopeProjection Envelope::project(const double* desired, double* projected) const noexcept {
  EnvelopeSolve solve(*this, desired);
  return solve.run(projected);
}

}  // namespace kelvara::core
