// The general envelope: a box of per-axis bounds cut by linear rows, for any
// arm of 1 to 32 axes and 0 to 32 rows, and the projection of a desired
// command onto it (the nearest point in the Euclidean sense), in double
// precision. make() validates and precomputes everything that depends only on
// the envelope, so that project() pays only for the command. The four-axis
// solve (Envelope4, kelvara_solve_multivar_4d) is a separate method and is not
// touched by this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <type_traits>

#include "kelvara.h"

namespace kelvara::core {

inline constexpr std::size_t kEnvelopeMaxAxes = 32;
inline constexpr std::size_t kEnvelopeMaxRows = 32;
// Bytes and alignment of caller-owned storage that can hold an Envelope (the C
// interface's opaque record is this size); the class is asserted to fit.
inline constexpr std::size_t kEnvelopeStorageSize = 32768;
inline constexpr std::size_t kEnvelopeStorageAlign = 8;
// An optimal projection meets every bound and row within this times
// (1 + |limit|), and contains() accepts a point on the same terms.
inline constexpr double kEnvelopeFeasibilityTol = 1e-9;

// Why make() refused an envelope.
enum class EnvelopeFault : std::uint8_t {
  AxesOutOfRange = 1,    // axes is 0 or above kEnvelopeMaxAxes
  RowsOutOfRange,        // rows above kEnvelopeMaxRows
  NanBound,              // a bound is NaN
  BoundsReversed,        // min_bound > max_bound on some axis
  NonFiniteCoefficient,  // a row entry is NaN or infinite
  NanLimit,              // a row limit is NaN
  UnreachableBound,      // a lower bound of +inf or an upper bound of -inf: no finite command meets it
  NullArgument,          // a pointer that the sizes require is null
};

// The outcome of one projection. status holds a SolveStatus number
// (KELVARA_STATUS_*): OPTIMAL, INFEASIBLE, INVALID or NUMERICAL_FAILURE.
struct EnvelopeProjection {
  std::uint32_t status;
  std::uint32_t iterations;  // working-set changes of the active-set loop; 0 for the quick accept
};

// Trivially copyable, fixed size, no heap; immutable after make(), so a const
// Envelope may be used from many threads at once.
class Envelope {
 public:
  // min_bound and max_bound hold `axes` values each (infinite: no bound on
  // that side); coefficients holds rows x axes values, row-major, and limits
  // `rows` values (+inf: a row that never binds, -inf: one never met). When
  // rows is 0, coefficients and limits may be null.
  static std::expected<Envelope, EnvelopeFault> make(std::size_t axes, const double* min_bound,
                                                     const double* max_bound, std::size_t rows,
                                                     const double* coefficients,
                                                     const double* limits) noexcept;

  std::size_t axes() const noexcept { return axes_; }
  std::size_t rows() const noexcept { return rows_; }
  double min_bound(std::size_t axis) const noexcept { return data_[axis]; }
  double max_bound(std::size_t axis) const noexcept { return data_[axes_ + axis]; }
  double coefficient(std::size_t row, std::size_t axis) const noexcept {
    return data_[coefficients_at() + row * axes_ + axis];
  }
  double limit(std::size_t row) const noexcept { return data_[2 * axes_ + row]; }

  // Writes axes() values to projected: the projection of desired when the
  // status is OPTIMAL; desired itself for INVALID (a NaN or infinite
  // component); desired clamped into the box for INFEASIBLE and
  // NUMERICAL_FAILURE (within the bounds, but the rows may be broken). A
  // controller applies only OPTIMAL. desired and projected may be the same
  // array.
  EnvelopeProjection project(const double* desired, double* projected) const noexcept;

  // Every bound and row met within kEnvelopeFeasibilityTol * (1 + |limit|)
  // (bounds: 1 + |bound|); false for any NaN or infinite component.
  bool contains(const double* x) const noexcept;

 private:
  friend class EnvelopeSolve;
  Envelope() = default;

  // Everything lies in one block, packed by the envelope's own sizes so that
  // a small envelope spans a few cache lines: min_bound and max_bound (axes
  // each), limits, unit limits and unit tolerances (rows each), then the
  // coefficients as given and the unit rows (rows x axes each, row-major).
  // A unit row is its row scaled to length one (a zero row stays zero), with
  // its limit scaled alike: the solve works on these. A unit row counts as
  // broken when it exceeds its unit limit by more than its unit tolerance,
  // the feasibility tolerance scaled into unit terms.
  std::size_t unit_limits_at() const noexcept { return 2 * std::size_t(axes_) + rows_; }
  std::size_t unit_tolerances_at() const noexcept { return 2 * std::size_t(axes_) + 2 * std::size_t(rows_); }
  std::size_t coefficients_at() const noexcept { return 2 * std::size_t(axes_) + 3 * std::size_t(rows_); }
  std::size_t unit_rows_at() const noexcept { return coefficients_at() + std::size_t(rows_) * axes_; }

  std::uint32_t axes_ = 0;
  std::uint32_t rows_ = 0;
  // Some row can never be met (a limit of -inf, or a zero row with a negative
  // limit): every projection is INFEASIBLE.
  bool never_met_ = false;
  double data_[2 * kEnvelopeMaxAxes + 3 * kEnvelopeMaxRows + 2 * kEnvelopeMaxRows * kEnvelopeMaxAxes];
};

static_assert(std::is_trivially_copyable_v<Envelope>);
static_assert(sizeof(Envelope) <= kEnvelopeStorageSize && alignof(Envelope) <= kEnvelopeStorageAlign);

}  // namespace kelvara::core
