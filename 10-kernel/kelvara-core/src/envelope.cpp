// Envelope construction and the checks around the projection; the active-set
// solve itself is in envelope_solve.cpp.
#include "kelvara/core/envelope.hpp"

#include <cmath>

namespace kelvara::core {
namespace {

bool is_nan(double v) noexcept { return v != v; }
bool is_finite(double v) noexcept { return v - v == 0.0; }

// Euclidean length of n values, scaled by the largest magnitude first so that
// neither the squares overflow nor tiny rows underflow to zero. Fixed order.
double row_length(const double* row, std::size_t n) noexcept {
  double scale = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::fabs(row[i]);
    if (a > scale) scale = a;
  }
  if (scale == 0.0) return 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double q = row[i] / scale;
    sum += q * q;
  }
  return scale * std::sqrt(sum);
}

}  // namespace

std::expected<Envelope, EnvelopeFault> Envelope::make(std::size_t axes, const double* min_bound,
                                                      const double* max_bound, std::size_t rows,
                                                      const double* coefficients,
                                                      const double* limits) noexcept {
  if (axes == 0 || axes > kEnvelopeMaxAxes) return std::unexpected(EnvelopeFault::AxesOutOfRange);
  if (rows > kEnvelopeMaxRows) return std::unexpected(EnvelopeFault::RowsOutOfRange);
  if (min_bound == nullptr || max_bound == nullptr ||
      (rows > 0 && (coefficients == nullptr || limits == nullptr))) {
    return std::unexpected(EnvelopeFault::NullArgument);
  }
  for (std::size_t i = 0; i < axes; ++i) {
    const double lo = min_bound[i];
    const double hi = max_bound[i];
    if (is_nan(lo) || is_nan(hi)) return std::unexpected(EnvelopeFault::NanBound);
    if (lo > hi) return std::unexpected(EnvelopeFault::BoundsReversed);
    if (lo == HUGE_VAL || hi == -HUGE_VAL) return std::unexpected(EnvelopeFault::UnreachableBound);
  }
  for (std::size_t k = 0; k < rows * axes; ++k) {
    if (!is_finite(coefficients[k])) return std::unexpected(EnvelopeFault::NonFiniteCoefficient);
  }
  for (std::size_t r = 0; r < rows; ++r) {
    if (is_nan(limits[r])) return std::unexpected(EnvelopeFault::NanLimit);
  }

  Envelope e;
  e.axes_ = static_cast<std::uint32_t>(axes);
  e.rows_ = static_cast<std::uint32_t>(rows);
  double* lo = e.data_;
  double* hi = e.data_ + axes;
  double* limit = e.data_ + 2 * axes;
  double* unit_limit = e.data_ + e.unit_limits_at();
  double* unit_tolerance = e.data_ + e.unit_tolerances_at();
  double* given = e.data_ + e.coefficients_at();
  double* unit_rows = e.data_ + e.unit_rows_at();
  for (std::size_t i = 0; i < axes; ++i) {
    lo[i] = min_bound[i];
    hi[i] = max_bound[i];
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = coefficients + r * axes;
    double* unit = unit_rows + r * axes;
    limit[r] = limits[r];
    const double length = row_length(row, axes);
    for (std::size_t i = 0; i < axes; ++i) {
      given[r * axes + i] = row[i];
      unit[i] = length > 0.0 ? row[i] / length : 0.0;
    }
    unit_limit[r] = length > 0.0 ? limits[r] / length : limits[r];
    // A tenth of the feasibility tolerance, so that the rounding of the final
    // check in the caller's own scale never turns a met row into a broken one.
    unit_tolerance[r] =
        length > 0.0 ? 0.1 * kEnvelopeFeasibilityTol * (1.0 + std::fabs(limits[r])) / length : 0.0;
    if (limits[r] == -HUGE_VAL || (length == 0.0 && limits[r] < 0.0)) e.never_met_ = true;
  }
  return e;
}

bool Envelope::contains(const double* x) const noexcept {
  const double* min_bound_ = data_;
  const double* max_bound_ = data_ + axes_;
  const double* limits_ = data_ + 2 * std::size_t(axes_);
  const double* coefficients_ = data_ + coefficients_at();
  for (std::size_t i = 0; i < axes_; ++i) {
    if (!is_finite(x[i])) return false;
    if (x[i] < min_bound_[i] - kEnvelopeFeasibilityTol * (1.0 + std::fabs(min_bound_[i]))) return false;
    if (x[i] > max_bound_[i] + kEnvelopeFeasibilityTol * (1.0 + std::fabs(max_bound_[i]))) return false;
  }
  for (std::size_t r = 0; r < rows_; ++r) {
    const double* row = coefficients_ + r * axes_;
    double sum = 0.0;
    for (std::size_t i = 0; i < axes_; ++i) sum += row[i] * x[i];
    if (!(sum <= limits_[r] + kEnvelopeFeasibilityTol * (1.0 + std::fabs(limits_[r])))) return false;
  }
  return true;
}

}  // namespace kelvara::core
