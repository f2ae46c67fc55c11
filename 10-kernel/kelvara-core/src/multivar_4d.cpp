// Four-axis least-distance solve: quick accept, feasibility stage (cyclic
// projection from the origin clamped into the box), then a primal active-set
// iteration over normal equations. Single precision throughout; every dot
// product runs in one fixed order so that results are reproducible bit for bit.
//
// Nothing is computed twice, and a value is reused only where it is the very
// float that computing it again would give:
// - the residual and the Gram entries of every constraint (fixed-order dot
//   products of rows that never change) are computed once per solve, before
//   the active-set stage, and the squared length of every linear row once;
// - an iteration whose working set the previous iteration solved without a
//   drop finds the same multipliers, the same candidate and the same
//   violation, so it goes straight to the step;
// - an iteration or a sweep that leaves its whole state (working set and
//   iterate, or the sweep's point) unchanged bit for bit is repeated by every
//   later one, so its stage ends at once as its last pass would.
// The elimination runs in full for every new working set, on the same matrix
// in the same order, unrolled for the common sizes.
//
// Four-vectors live in one register (see Lanes): each lane performs exactly
// the operation the scalar formula names, so a lane's result is the scalar
// result bit for bit. Tests over all axes or all rows are evaluated for every
// lane at once and then read in the fixed order where order decides.
#include "multivar_4d.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "kelvara/core/float_rules.hpp"

namespace kelvara::core {
namespace {

// ---- Lanes ---------------------------------------------------------------------

using Vec4 = float __attribute__((vector_size(16)));
using Mask = std::int32_t __attribute__((vector_size(16)));  // per lane: all ones or zero

constexpr Vec4 splat(float v) noexcept { return Vec4{v, v, v, v}; }

// ((p0*q0 + p1*q1) + p2*q2) + p3*q3, each product rounded before it is added.
float dot(Vec4 p, Vec4 q) noexcept {
  const Vec4 r = p * q;
  return ((r[0] + r[1]) + r[2]) + r[3];
}

// dot(row j, x) in lane j, for the rows whose columns are given: the same
// products summed in the same order as dot.
Vec4 dot_rows(const Vec4 (&columns)[kAxes], Vec4 x) noexcept {
  return ((columns[0] * splat(x[0]) + columns[1] * splat(x[1])) + columns[2] * splat(x[2])) +
         columns[3] * splat(x[3]);
}

// |v| per lane: the sign bit cleared, as std::fabs does.
Vec4 magnitude(Vec4 v) noexcept { return reinterpret_cast<Vec4>(reinterpret_cast<Mask>(v) & 0x7fffffff); }

// clamp_lower_first per lane: v < lo gives lo, else v > hi gives hi, else v.
Vec4 clamp_lower_first(Vec4 v, Vec4 lo, Vec4 hi) noexcept { return v < lo ? lo : (v > hi ? hi : v); }

// Lane i set gives bit i.
unsigned lane_bits(Mask m) noexcept {
#if defined(__SSE__)
  return unsigned(__builtin_ia32_movmskps(reinterpret_cast<Vec4>(m)));
#else
  return unsigned(m[0] & 1) | unsigned(m[1] & 2) | unsigned(m[2] & 4) | unsigned(m[3] & 8);
#endif
}

bool any(Mask m) noexcept { return lane_bits(m) != 0; }

// The mask whose lane i is set when bit i of bits is.
Mask lanes_of(unsigned bits) noexcept {
  constexpr Mask lane_bit{1, 2, 4, 8};
  return (lane_bit & std::int32_t(bits)) != 0;
}

// Rows to columns: columns[k][j] = rows[j][k].
void transpose(const Vec4 (&rows)[kAxes], Vec4 (&columns)[kAxes]) noexcept {
  const Vec4 low_01 = __builtin_shufflevector(rows[0], rows[1], 0, 4, 1, 5);
  const Vec4 low_23 = __builtin_shufflevector(rows[2], rows[3], 0, 4, 1, 5);
  const Vec4 high_01 = __builtin_shufflevector(rows[0], rows[1], 2, 6, 3, 7);
  const Vec4 high_23 = __builtin_shufflevector(rows[2], rows[3], 2, 6, 3, 7);
  columns[0] = __builtin_shufflevector(low_01, low_23, 0, 1, 4, 5);
  columns[1] = __builtin_shufflevector(low_01, low_23, 2, 3, 6, 7);
  columns[2] = __builtin_shufflevector(high_01, high_23, 0, 1, 4, 5);
  columns[3] = __builtin_shufflevector(high_01, high_23, 2, 3, 6, 7);
}

// Every lane finite: is_finite's exponent-field test, lane by lane.
bool all_finite(Vec4 v) noexcept {
  const Mask exponent = reinterpret_cast<Mask>(v) & 0x7f800000;
  return !any(exponent == 0x7f800000);
}

bool same_bits(Vec4 p, Vec4 q) noexcept {
  return !any(reinterpret_cast<Mask>(p) != reinterpret_cast<Mask>(q));
}

// ---- Normal equations ------------------------------------------------------

// The systems below are read through system.gram(i, j), the Gram entry of
// rows i and j, and system.rhs(i).

// Gaussian elimination with partial pivoting on the n x n Gram matrix and its
// right-hand side, writing out[0..n-1]: the algorithm as stated, for any n up
// to the capacity.
template <class System>
bool eliminate(std::size_t n, const System& system, float* out) noexcept {
  float m[WORKING_SET_CAPACITY][WORKING_SET_CAPACITY];
  float v[WORKING_SET_CAPACITY];
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) m[i][j] = system.gram(i, j);
    v[i] = system.rhs(i);
  }

  for (std::size_t k = 0; k < n; ++k) {
    // Partial pivoting: the largest magnitude in column k at or below row
    // k; ties keep the earliest row and a NaN candidate is never chosen.
    std::size_t p = k;
    float best = std::fabs(m[k][k]);
    for (std::size_t i = k + 1; i < n; ++i) {
      if (std::fabs(m[i][k]) > best) {
        best = std::fabs(m[i][k]);
        p = i;
      }
    }
    // An infinite pivot (an overflowed squared row length) would divide
    // its column to finite zeros that hide the overflow; NaN fails too.
    if (!is_finite(best) || best < kPivotThreshold) return false;
    if (p != k) {
      for (std::size_t c = k; c < n; ++c) std::swap(m[k][c], m[p][c]);
      std::swap(v[k], v[p]);
    }
    for (std::size_t i = k + 1; i < n; ++i) {
      const float f = m[i][k] / m[k][k];
      if (!is_finite(f)) return false;
      for (std::size_t c = k; c < n; ++c) m[i][c] = m[i][c] - f * m[k][c];
      v[i] = v[i] - f * v[k];
    }
  }

  for (std::size_t i = n; i-- > 0;) {
    float s = v[i];
    for (std::size_t j = i + 1; j < n; ++j) s = s - m[i][j] * out[j];
    const float x = s / m[i][i];
    if (!is_finite(x)) return false;
    out[i] = x;
  }
  return true;
}

// The same elimination for a system of N <= 4 rows (every working set of the
// common sizes), with each row of M and its right-hand side in registers: one
// vector update performs, lane by lane, the updates M[i][c] - f*M[k][c] for
// every column. Lanes that the stated algorithm leaves alone (columns left of
// k, and past N) hold values that nothing reads.
template <std::size_t N, class System>
bool eliminate_small(const System& system, float* out) noexcept {
  static_assert(N >= 1 && N <= kAxes);
  // Each row is assembled in registers: written lane by lane into memory
  // and read back whole, it would wait for the stores to drain.
  auto entry = [&](std::size_t i, std::size_t j) { return j < N ? system.gram(i, j) : 0.0f; };
  Vec4 m[N];
  float v[N];
  for (std::size_t i = 0; i < N; ++i) {
    m[i] = Vec4{entry(i, 0), entry(i, 1), entry(i, 2), entry(i, 3)};
    v[i] = system.rhs(i);
  }

  for (std::size_t k = 0; k < N; ++k) {
    std::size_t p = k;
    float best = std::fabs(m[k][k]);
    for (std::size_t i = k + 1; i < N; ++i) {
      if (std::fabs(m[i][k]) > best) {
        best = std::fabs(m[i][k]);
        p = i;
      }
    }
    if (!is_finite(best) || best < kPivotThreshold) return false;  // as in eliminate
    for (std::size_t i = k + 1; i < N; ++i) {
      if (p == i) {
        std::swap(m[k], m[i]);
        std::swap(v[k], v[i]);
      }
    }
    for (std::size_t i = k + 1; i < N; ++i) {
      const float f = m[i][k] / m[k][k];
      if (!is_finite(f)) return false;
      m[i] = m[i] - splat(f) * m[k];
      v[i] = v[i] - f * v[k];
    }
  }

  float x[N];
  for (std::size_t i = N; i-- > 0;) {
    float s = v[i];
    for (std::size_t j = i + 1; j < N; ++j) s = s - m[i][j] * x[j];
    x[i] = s / m[i][i];
    if (!is_finite(x[i])) return false;
    out[i] = x[i];
  }
  return true;
}

template <class System>
bool solve_gram_system(std::size_t n, const System& system, float* out) noexcept {
  switch (n) {
    case 0: return true;
    case 1: return eliminate_small<1>(system, out);
    case 2: return eliminate_small<2>(system, out);
    case 3: return eliminate_small<3>(system, out);
    case 4: return eliminate_small<4>(system, out);
    default: return n <= WORKING_SET_CAPACITY && eliminate(n, system, out);
  }
}

Vec4 load(const float* v) noexcept {
  Vec4 r;
  std::memcpy(&r, v, sizeof r);
  return r;
}

}  // namespace

bool solve_normal_equations(std::size_t n, const NormalRows& rows, const NormalVector& rhs,
                            NormalVector& out) noexcept {
  if (n > WORKING_SET_CAPACITY) return false;
  float gram[WORKING_SET_CAPACITY][WORKING_SET_CAPACITY];  // the n x n block is written, then read
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) gram[i][j] = dot(load(rows[i]), load(rows[j]));
  }
  struct {
    const float (&m)[WORKING_SET_CAPACITY][WORKING_SET_CAPACITY];
    const NormalVector& v;
    float gram(std::size_t i, std::size_t j) const noexcept { return m[i][j]; }
    float rhs(std::size_t i) const noexcept { return v[i]; }
  } system{gram, rhs};
  return solve_gram_system(n, system, out);
}

namespace {

// ---- Problem and working set -------------------------------------------------

// The caller's records, copied to the stack: the solve reads nothing through
// the caller's pointers afterwards, so out may overlap any input. Rows and
// limits at or past count stay zero.
struct Problem {
  Vec4 u_desired{};
  Vec4 min_bound{};
  Vec4 max_bound{};
  std::size_t count = 0;  // at most MAX_CONSTRAINTS
  Mask in_use{};          // lane j < count
  Vec4 a[MAX_CONSTRAINTS]{};
  Vec4 columns[kAxes]{};  // columns[k][j] = a[j][k]
  Vec4 b{};
};

struct Outcome {
  Vec4 u;
  std::uint64_t iterations;
  SolveStatus status;
};

// Every constraint g.x <= c has a number, in the fixed search order: the lower
// bound of axis i is 2i, its upper bound 2i + 1, linear constraint j is 8 + j.
using Constraint = std::uint8_t;
inline constexpr Constraint kFirstLinear = 2 * kAxes;
inline constexpr std::size_t kConstraints = kFirstLinear + MAX_CONSTRAINTS;

// Rows g of the bounds, lower then upper, by axis: -1 (lower) or +1 (upper) at
// the axis, +0 elsewhere. Each set is its own transpose.
inline constexpr Vec4 kLowerRows[kAxes] = {{-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, -1}};
inline constexpr Vec4 kUpperRows[kAxes] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

constexpr Vec4 bound_row(std::size_t c) noexcept { return c % 2 ? kUpperRows[c / 2] : kLowerRows[c / 2]; }

void store(float* to, Vec4 v) noexcept { std::memcpy(to, &v, sizeof v); }

// dot(g, g') of two bound rows, computed as dot computes it (at compile time:
// the values are 0 and 1, so every product and sum is exact, and the signs of
// zeros follow the same rules).
constexpr float bound_gram_entry(std::size_t c, std::size_t d) noexcept {
  float g[kAxes] = {};
  float h[kAxes] = {};
  g[c / 2] = c % 2 ? 1.0f : -1.0f;
  h[d / 2] = d % 2 ? 1.0f : -1.0f;
  return ((g[0] * h[0] + g[1] * h[1]) + g[2] * h[2]) + g[3] * h[3];
}

struct BoundGram {
  alignas(16) float entries[kFirstLinear][kFirstLinear];
};

constexpr BoundGram bound_gram() noexcept {
  BoundGram table{};
  for (std::size_t c = 0; c < kFirstLinear; ++c) {
    for (std::size_t d = 0; d < kFirstLinear; ++d) table.entries[c][d] = bound_gram_entry(c, d);
  }
  return table;
}

inline constexpr BoundGram kBoundGram = bound_gram();

// Row g, residual dot(g, u_desired) - c and Gram entries dot(g, g') of every
// constraint, by number, computed once per solve before the active-set stage
// needs them. Each lane of a vector product below is the scalar dot product in
// its order; the Gram matrix is exactly symmetric, as products commute and
// both orders sum in the same sequence (the rows hold no NaN, and a NaN made
// from an infinite coefficient is the one default NaN either way). Entries of
// rows past count hold values that nothing reads.
struct ConstraintTable {
  alignas(16) float residuals[kConstraints];
  alignas(16) float gram[kConstraints][kConstraints];
  Vec4 rows[kConstraints];

  explicit ConstraintTable(const Problem& p) noexcept {
    for (std::size_t c = 0; c < kFirstLinear; ++c) {
      rows[c] = bound_row(c);
      std::memcpy(gram[c], kBoundGram.entries[c], sizeof kBoundGram.entries[c]);
    }
    for (std::size_t j = 0; j < MAX_CONSTRAINTS; ++j) rows[kFirstLinear + j] = p.a[j];

    // Limits c: -min_bound for a lower bound, max_bound for an upper one.
    const Vec4 lower_residual = dot_rows(kLowerRows, p.u_desired) - (-p.min_bound);
    const Vec4 upper_residual = dot_rows(kUpperRows, p.u_desired) - p.max_bound;
    store(&residuals[0], __builtin_shufflevector(lower_residual, upper_residual, 0, 4, 1, 5));
    store(&residuals[4], __builtin_shufflevector(lower_residual, upper_residual, 2, 6, 3, 7));
    store(&residuals[kFirstLinear], dot_rows(p.columns, p.u_desired) - p.b);

    // Bounds against linear rows: lane j of dot_rows(columns, g) is dot(g, a[j]).
    Vec4 with_linear[2][kAxes];
    for (std::size_t c = 0; c < kFirstLinear; ++c) {
      with_linear[c / kAxes][c % kAxes] = dot_rows(p.columns, bound_row(c));
      store(&gram[c][kFirstLinear], with_linear[c / kAxes][c % kAxes]);
    }
    for (std::size_t half = 0; half < 2; ++half) {
      Vec4 transposed[kAxes];
      transpose(with_linear[half], transposed);
      for (std::size_t j = 0; j < kAxes; ++j) store(&gram[kFirstLinear + j][half * kAxes], transposed[j]);
    }
    for (std::size_t j = 0; j < MAX_CONSTRAINTS; ++j) {
      store(&gram[kFirstLinear + j][kFirstLinear], dot_rows(p.columns, p.a[j]));
    }
  }
};

// Constraint numbers in insertion order; removal shifts the later ones down.
class WorkingSet {
 public:
  std::size_t size() const noexcept { return size_; }
  Constraint operator[](std::size_t position) const noexcept {
    return Constraint(entries_ >> (8 * position));
  }
  // Per lane: whether the lower bound, the upper bound, the linear row is in.
  Mask lower_lanes() const noexcept { return lanes_of(members_); }
  Mask upper_lanes() const noexcept { return lanes_of(members_ >> kAxes); }
  Mask linear_lanes() const noexcept { return lanes_of(members_ >> 2 * kAxes); }

  [[nodiscard]] bool insert(Constraint c) noexcept {
    if (size_ == WORKING_SET_CAPACITY) return false;
    entries_ |= std::uint64_t{c} << (8 * size_++);
    members_ |= member_bit(c);
    return true;
  }

  void remove(std::size_t position) noexcept {
    members_ &= ~member_bit((*this)[position]);
    const std::uint64_t below = (std::uint64_t{1} << (8 * position)) - 1;
    entries_ = (entries_ & below) | ((entries_ >> 8) & ~below);
    --size_;
  }

 private:
  // Bits 0-3: lower bounds by axis, 4-7: upper bounds, 8-11: linear rows.
  static unsigned member_bit(Constraint c) noexcept {
    if (c >= kFirstLinear) return 1u << c;
    return 1u << (c / 2 + (c % 2) * kAxes);
  }

  std::uint64_t entries_ = 0;  // one byte per position
  std::size_t size_ = 0;
  unsigned members_ = 0;
};

// The normal equations of the working set, read from the table.
struct WorkingSystem {
  const ConstraintTable& table;
  const WorkingSet& set;
  float gram(std::size_t i, std::size_t j) const noexcept { return table.gram[set[i]][set[j]]; }
  float rhs(std::size_t i) const noexcept { return table.residuals[set[i]]; }
};

// ---- Envelope tests ----------------------------------------------------------

bool is_valid(const Problem& p) noexcept {
  // Rows past count are zero.
  const Mask bad = (p.u_desired != p.u_desired) | (p.min_bound != p.min_bound) |
                   (p.max_bound != p.max_bound) | (p.min_bound > p.max_bound) | ((p.b != p.b) & p.in_use) |
                   (p.a[0] != p.a[0]) | (p.a[1] != p.a[1]) | (p.a[2] != p.a[2]) | (p.a[3] != p.a[3]);
  return !any(bad);
}

bool outside_box(const Problem& p, Vec4 y) noexcept {
  return any((p.min_bound - splat(FEASIBILITY_TOL) > y) | (y > p.max_bound + splat(FEASIBILITY_TOL)));
}

bool exceeds_linear_limits(const Problem& p, Vec4 y) noexcept {
  return any((dot_rows(p.columns, y) > p.b + splat(FEASIBILITY_TOL)) & p.in_use);
}

// ---- Feasibility stage ---------------------------------------------------------

// One sweep over the linear constraints; returns whether any was violated.
// A violated row too short to project onto still counts as a change.
bool project_violated_constraints(const Problem& p, Vec4 length_squared, Vec4& y) noexcept {
  bool changed = false;
  for (std::size_t j = 0; j < p.count; ++j) {
    const float violation = dot(y, p.a[j]) - p.b[j];
    if (!(violation > FEASIBILITY_TOL)) continue;
    changed = true;
    if (length_squared[j] < DIRECTION_EPS) continue;
    const float t = violation / length_squared[j];
    y = clamp_lower_first(y - p.a[j] * splat(t), p.min_bound, p.max_bound);
  }
  return changed;
}

// A start point within the envelope, or nothing when the constraints cannot be
// met inside the box. sweeps counts the sweeps run, the unchanged one included.
bool find_feasible_point(const Problem& p, Vec4& y, unsigned& sweeps) noexcept {
  // dot(a[j], a[j]) in lane j.
  const Vec4 length_squared =
      ((p.columns[0] * p.columns[0] + p.columns[1] * p.columns[1]) + p.columns[2] * p.columns[2]) +
      p.columns[3] * p.columns[3];

  y = clamp_lower_first(Vec4{}, p.min_bound, p.max_bound);
  for (sweeps = 1;; ++sweeps) {
    const Vec4 before = y;
    if (!project_violated_constraints(p, length_squared, y)) return true;
    // A changed sweep that leaves y as it was (only rows too short to
    // project onto, or moves the box undoes) is what every later sweep
    // would do: the stage ends as after its last sweep.
    if (sweeps == MAX_FEASIBILITY_SWEEPS || same_bits(y, before)) break;
  }
  return !outside_box(p, y) && !exceeds_linear_limits(p, y);
}

// Every constraint active at y; an axis with equal bounds takes only its lower.
WorkingSet initial_working_set(const Problem& p, Vec4 y) noexcept {
  WorkingSet set;
  // At most one bound per axis and four linear rows: never more than capacity.
  const unsigned at_lower = lane_bits(magnitude(y - p.min_bound) <= splat(FEASIBILITY_TOL));
  const unsigned at_upper = lane_bits(magnitude(y - p.max_bound) <= splat(FEASIBILITY_TOL));
  const unsigned at_linear =
      lane_bits((magnitude(dot_rows(p.columns, y) - p.b) <= splat(FEASIBILITY_TOL)) & p.in_use);
  for (unsigned i = 0; i < kAxes; ++i) {
    if (at_lower >> i & 1) {
      (void)set.insert(Constraint(2 * i));
    } else if (at_upper >> i & 1) {
      (void)set.insert(Constraint(2 * i + 1));
    }
  }
  for (unsigned j = 0; j < kAxes; ++j) {
    if (at_linear >> j & 1) (void)set.insert(Constraint(kFirstLinear + j));
  }
  return set;
}

// ---- Active-set phases -----------------------------------------------------------

// The point nearest to u_desired on which every working-set entry holds with
// equality.
Vec4 nearest_on_working_set(const Problem& p, const ConstraintTable& table, const WorkingSet& set,
                            const NormalVector& multipliers) noexcept {
  Vec4 x = p.u_desired;
  for (std::size_t e = 0; e < set.size(); ++e) x = x - table.rows[set[e]] * splat(multipliers[e]);
  return x;
}

// A negative multiplier says x comes closer to u_desired by leaving that limit
// inwards. Among nearly equal negative multipliers the earliest entry wins.
// Returns the position to drop, or the set size for none.
std::size_t entry_to_drop(std::size_t n, const NormalVector& multipliers) noexcept {
  std::size_t candidate = n;
  float lowest = 0.0f;
  for (std::size_t e = 0; e < n; ++e) {
    const bool lower = multipliers[e] < lowest - FEASIBILITY_TOL;
    candidate = lower ? e : candidate;
    lowest = lower ? multipliers[e] : lowest;
  }
  return candidate;
}

// Whether the largest violation at x of the constraints outside the working
// set exceeds the tolerance. That largest value starts at 0 and ignores NaN,
// so it exceeds the tolerance exactly when some violation does, whatever the
// order in which they are looked at.
bool violates_outside(const Problem& p, const WorkingSet& set, Vec4 x) noexcept {
  const Vec4 tol = splat(FEASIBILITY_TOL);
  const Mask lower = (p.min_bound - x > tol) & ~set.lower_lanes();
  const Mask upper = (x - p.max_bound > tol) & ~set.upper_lanes();
  const Mask linear = (dot_rows(p.columns, x) - p.b > tol) & ~set.linear_lanes() & p.in_use;
  return any(lower | upper | linear);
}

struct Step {
  float alpha = 1.0f;
  Constraint blocking = 0;  // meaningful only when alpha < 1
};

// The longest step in (DIRECTION_EPS, 1] along d from y. A constraint outside
// the working set blocks at the ratio where it would be met, unless it is
// within tolerance of its limit at y or d does not point towards it; the step
// is the smallest such ratio that is above DIRECTION_EPS and below 1, and its
// constraint the earliest in search order with that ratio, as a scan in that
// order keeping strictly smaller ratios would find.
Step step_length(const Problem& p, const WorkingSet& set, Vec4 y, Vec4 d) noexcept {
  const Vec4 tol = splat(FEASIBILITY_TOL);
  const Vec4 eps = splat(DIRECTION_EPS);
  const Vec4 one = splat(1.0f);

  // A direction component below -eps can only meet the lower bound, one
  // above eps only the upper: one candidate per axis.
  const Mask lower = ~(d >= -eps) & ~set.lower_lanes() & ~(magnitude(y - p.min_bound) <= tol);
  const Mask upper = ~(d <= eps) & ~set.upper_lanes() & ~(magnitude(y - p.max_bound) <= tol);
  const Vec4 bound_ratio = (lower ? p.min_bound - y : p.max_bound - y) / d;
  const Mask bound_blocks = (lower | upper) & (bound_ratio > eps) & (bound_ratio < one);

  const Vec4 slack = p.b - dot_rows(p.columns, y);
  const Vec4 towards = dot_rows(p.columns, d);
  const Vec4 linear_ratio = slack / towards;
  const Mask linear_blocks = p.in_use & ~set.linear_lanes() & ~(magnitude(slack) <= tol) & ~(towards <= eps) &
                             (linear_ratio > eps) & (linear_ratio < one);

  // Every blocking ratio is finite and positive: the minimum is one of them.
  const Vec4 bound_min = bound_blocks ? bound_ratio : one;
  const Vec4 linear_min = linear_blocks ? linear_ratio : one;
  const Vec4 lane_min = bound_min < linear_min ? bound_min : linear_min;
  const float pair_0 = lane_min[0] < lane_min[1] ? lane_min[0] : lane_min[1];
  const float pair_1 = lane_min[2] < lane_min[3] ? lane_min[2] : lane_min[3];
  Step step;
  step.alpha = pair_0 < pair_1 ? pair_0 : pair_1;
  const unsigned bound_hits = lane_bits(bound_blocks & (bound_ratio == splat(step.alpha)));
  const unsigned linear_hits = lane_bits(linear_blocks & (linear_ratio == splat(step.alpha)));
  if (bound_hits != 0) {
    const unsigned axis = unsigned(std::countr_zero(bound_hits));
    step.blocking = Constraint(2 * axis + ((lower[axis] != 0) ? 0 : 1));
  } else if (linear_hits != 0) {
    step.blocking = Constraint(kFirstLinear + unsigned(std::countr_zero(linear_hits)));
  }
  return step;
}

// An iterate that has walked through a limit it was already within tolerance
// of (after a tie, or on an axis with equal bounds) is never handed out: the
// clamped command takes its place. So is one that is not finite (an infinite
// limit or coefficient, or an overflowing product, can carry the step there):
// the ordered tests below are false for NaN and would let it through.
Outcome iteration_limit_exit(const Problem& p, Vec4 y, Vec4 clamped) noexcept {
  const bool within_envelope = all_finite(y) && !outside_box(p, y) && !exceeds_linear_limits(p, y);
  return Outcome{within_envelope ? y : clamped, MAX_ITERATIONS, KELVARA_STATUS_ITERATION_LIMIT};
}

// Moves from the feasible point y towards u_desired, one working-set change per
// iteration.
Outcome run_active_set(const Problem& p, Vec4 y, Vec4 clamped) noexcept {
  const Outcome failure{clamped, 0, KELVARA_STATUS_NUMERICAL_FAILURE};
  const ConstraintTable table(p);
  WorkingSet set = initial_working_set(p, y);
  NormalVector multipliers;
  Vec4 x{};
  // x is the solution on the current working set, with no entry to drop and
  // a violation outside the set: what this set's next iteration would find.
  bool x_holds = false;

  for (std::uint64_t iteration = 1;; ++iteration) {
    if (!x_holds) {
      if (!solve_gram_system(set.size(), WorkingSystem{table, set}, multipliers)) return failure;
      x = nearest_on_working_set(p, table, set, multipliers);
      if (const std::size_t dropped = entry_to_drop(set.size(), multipliers); dropped < set.size()) {
        set.remove(dropped);
        if (iteration == MAX_ITERATIONS) return iteration_limit_exit(p, y, clamped);
        continue;
      }
      if (!violates_outside(p, set, x)) {
        // The working-set entries are exempt from that test; rounding in
        // a badly scaled or overflowing system can leave x off them.
        if (outside_box(p, x) || exceeds_linear_limits(p, x)) return failure;
        return Outcome{x, iteration, KELVARA_STATUS_OPTIMAL};
      }
      x_holds = true;
    }

    const Vec4 d = x - y;
    const Step step = step_length(p, set, y, d);
    const Vec4 moved = y + d * splat(step.alpha);
    if (step.alpha < FULL_STEP_THRESHOLD) {
      if (!set.insert(step.blocking)) return failure;
      x_holds = false;
    } else if (same_bits(moved, y)) {
      // Neither the working set nor the iterate changed: every remaining
      // iteration repeats this one, and the last ends with this y.
      return iteration_limit_exit(p, y, clamped);
    }
    y = moved;

    if (iteration == MAX_ITERATIONS) return iteration_limit_exit(p, y, clamped);
  }
}

Outcome solve(const float* u_desired, const Multivar4dBounds& bounds,
              const Multivar4dConstraints& constraints, unsigned& sweeps) noexcept {
  sweeps = 0;
  Problem p;
  p.u_desired = load(u_desired);
  p.min_bound = load(bounds.min_bound);
  p.max_bound = load(bounds.max_bound);
  const Vec4 clamped = clamp_lower_first(p.u_desired, p.min_bound, p.max_bound);
  const Outcome invalid{clamped, 0, KELVARA_STATUS_INVALID};

  if (constraints.count > MAX_CONSTRAINTS) return invalid;
  p.count = static_cast<std::size_t>(constraints.count);
  // Only the rows in use are read: a row past count comes from a zero row
  // instead, chosen without a branch.
  static constexpr float zero_row[kAxes + 1] = {};
  auto limit = [&](std::size_t j) { return *(j < p.count ? &constraints.b[j] : &zero_row[kAxes]); };
  for (std::size_t j = 0; j < MAX_CONSTRAINTS; ++j) p.a[j] = load(j < p.count ? constraints.a[j] : zero_row);
  p.b = Vec4{limit(0), limit(1), limit(2), limit(3)};
  p.in_use = Mask{0, 1, 2, 3} < std::int32_t(p.count);
  transpose(p.a, p.columns);
  if (!is_valid(p)) return invalid;

  // Quick accept: the clamped command already meets every constraint.
  if (!exceeds_linear_limits(p, clamped)) return Outcome{clamped, 0, KELVARA_STATUS_OPTIMAL};

  Vec4 start;
  if (!find_feasible_point(p, start, sweeps)) return Outcome{clamped, 0, KELVARA_STATUS_INFEASIBLE};
  return run_active_set(p, start, clamped);
}

}  // namespace

unsigned feasibility_sweeps(const float* u_desired, const Multivar4dBounds& bounds,
                            const Multivar4dConstraints& constraints) noexcept {
  unsigned sweeps = 0;
  (void)solve(u_desired, bounds, constraints, sweeps);
  return sweeps;
}

}  // namespace kelvara::core

extern "C" int32_t kelvara_solve_multivar_4d(const float* u_desired, const Multivar4dBounds* bounds,
                                             const Multivar4dConstraints* constraints,
                                             Multivar4dSolution* out) {
  if (u_desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr) return -1;

  unsigned sweeps = 0;
  const kelvara::core::Outcome outcome = kelvara::core::solve(u_desired, *bounds, *constraints, sweeps);
  // Field by field, so that the padding after status is never written.
  for (std::size_t k = 0; k < kelvara::core::kAxes; ++k) out->u[k] = outcome.u[k];
  out->iterations = outcome.iterations;
  out->status = outcome.status;
  return 0;
}
