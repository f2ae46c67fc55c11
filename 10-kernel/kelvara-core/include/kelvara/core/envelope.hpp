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
  double min_bound(std::size_t axis) const noexcept { return min_bound_[axis]; }
  double max_bound(std::size_t axis) const noexcept { return max_bound_[axis]; }
  double coefficient(std::size_t row, std::size_t axis) const noexcept {
    return coefficients_[row * axes_ + axis];
  }
  double limit(std::size_t row) const noexcept { return limits_[row]; }

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

  std::uint32_t axes_ = 0;
  std::uint32_t rows_ = 0;
  double min_bound_[kEnvelopeMaxAxes];
  double max_bound_[kEnvelopeMaxAxes];
  double limits_[kEnvelopeMaxRows];
  // As given, packed: row r starts at r * axes_.
  double coefficients_[kEnvelopeMaxRows * kEnvelopeMaxAxes];
  // Each row scaled to unit length (zero rows stay zero), packed the same
  // way, with its limit scaled alike: the solve works on these.
  double unit_rows_[kEnvelopeMaxRows * kEnvelopeMaxAxes];
  double unit_limits_[kEnvelopeMaxRows];
  // A unit row counts as violated when it exceeds its unit limit by more
  // than this: the feasibility tolerance, scaled back into unit terms.
  double unit_tolerance_[kEnvelopeMaxRows];
  // Gram matrix of the unit rows, packed rows_ x rows_.
  double gram_[kEnvelopeMaxRows * kEnvelopeMaxRows];
  // Some row can never be met (a limit of -inf, or a zero row with a negative
  // limit): every projection is INFEASIBLE.
  bool never_met_ = false;
};

static_assert(std::is_trivially_copyable_v<Envelope>);
static_assert(sizeof(Envelope) <= kEnvelopeStorageSize && alignof(Envelope) <= kEnvelopeStorageAlign);

}  // namespace kelvara::core
