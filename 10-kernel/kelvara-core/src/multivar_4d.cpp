// Four-axis least-distance solve: quick accept, feasibility stage (cyclic
// projection from the origin clamped into the box), then a primal active-set
// iteration over normal equations. Single precision throughout; every dot
// product runs in one fixed order so that results are reproducible bit for bit.
//
// Nothing is computed again that the solve already holds, and only where the
// value held is the very float that computing it again would give:
// - each working-set entry carries its row, its residual and its row of the
//   Gram matrix (fixed-order dot products of rows that never change), and each
//   linear row its squared length;
// - an iteration whose working set is the one that the previous iteration
//   solved without a drop finds the same multipliers, the same candidate and
//   the same violation, so it goes straight to the step;
// - an iteration or a sweep that leaves its whole state (working set and
//   iterate, or the sweep's point) unchanged bit for bit is repeated by every
//   later one, so the stage ends at once as its last pass would.
// The elimination runs in full for every new working set, on the same matrix
// in the same order, unrolled for each size.
#include "multivar_4d.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <span>
#include <utility>

#include "kelvara/core/float_rules.hpp"

namespace kelvara::core {
namespace {

using Vec4 = std::array<float, AXES>;
using Row = std::span<const float, AXES>;

// ((p0*q0 + p1*q1) + p2*q2) + p3*q3, each product rounded before it is added.
float dot(Row p, Row q) noexcept {
    return ((p[0] * q[0] + p[1] * q[1]) + p[2] * q[2]) + p[3] * q[3];
}

bool same_bits(const Vec4& p, const Vec4& q) noexcept {
    using Bits = std::array<std::uint32_t, AXES>;
    return std::bit_cast<Bits>(p) == std::bit_cast<Bits>(q);
}

// ---- Normal equations ------------------------------------------------------

using GramMatrix = float[WORKING_SET_CAPACITY][WORKING_SET_CAPACITY];

// Gaussian elimination with partial pivoting on a copy of the top-left N x N
// block of gram, with right-hand side rhs[0..N-1]; writes out[0..N-1]. N is
// fixed at compile time so that every loop unrolls.
template <std::size_t N>
bool eliminate(const GramMatrix& gram, const float* rhs, float* out) noexcept {
    float m[N][N];
    float v[N];
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) m[i][j] = gram[i][j];
        v[i] = rhs[i];
    }

    for (std::size_t k = 0; k < N; ++k) {
        // Partial pivoting: the largest magnitude in column k at or below row
        // k; ties keep the earliest row and a NaN candidate is never chosen.
        std::size_t p = k;
        float best = std::fabs(m[k][k]);
        for (std::size_t i = k + 1; i < N; ++i) {
            if (std::fabs(m[i][k]) > best) {
                best = std::fabs(m[i][k]);
                p = i;
            }
        }
        // A NaN pivot passes this test and is caught by the finiteness tests.
        if (best < PIVOT_THRESHOLD) return false;
        if (p != k) {
            for (std::size_t c = k; c < N; ++c) std::swap(m[k][c], m[p][c]);
            std::swap(v[k], v[p]);
        }
        for (std::size_t i = k + 1; i < N; ++i) {
            const float f = m[i][k] / m[k][k];
            if (!is_finite(f)) return false;
            for (std::size_t c = k; c < N; ++c) m[i][c] = m[i][c] - f * m[k][c];
            v[i] = v[i] - f * v[k];
        }
    }

    for (std::size_t i = N; i-- > 0;) {
        float s = v[i];
        for (std::size_t j = i + 1; j < N; ++j) s = s - m[i][j] * out[j];
        const float x = s / m[i][i];
        if (!is_finite(x)) return false;
        out[i] = x;
    }
    return true;
}

bool solve_gram_system(std::size_t n, const GramMatrix& gram, const float* rhs, float* out) noexcept {
    switch (n) {
        case 0: return true;
        case 1: return eliminate<1>(gram, rhs, out);
        case 2: return eliminate<2>(gram, rhs, out);
        case 3: return eliminate<3>(gram, rhs, out);
        case 4: return eliminate<4>(gram, rhs, out);
        case 5: return eliminate<5>(gram, rhs, out);
        case 6: return eliminate<6>(gram, rhs, out);
        case 7: return eliminate<7>(gram, rhs, out);
        case 8: return eliminate<8>(gram, rhs, out);
        default: return false;
    }
}

}  // namespace

bool solve_normal_equations(std::size_t n, const NormalRows& rows, const NormalVector& rhs,
                            NormalVector& out) noexcept {
    if (n > WORKING_SET_CAPACITY) return false;
    GramMatrix gram;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) gram[i][j] = dot(rows[i], rows[j]);
    }
    return solve_gram_system(n, gram, rhs, out);
}

namespace {

// ---- Problem and working set -------------------------------------------------

// The caller's records, copied to the stack: the solve reads nothing through
// the caller's pointers afterwards, so out may overlap any input.
struct Problem {
    Vec4 u_desired{};
    Vec4 min_bound{};
    Vec4 max_bound{};
    std::size_t count = 0;  // at most MAX_CONSTRAINTS; rows at or past it stay zero
    float a[MAX_CONSTRAINTS][AXES]{};
    float b[MAX_CONSTRAINTS]{};
};

struct Outcome {
    Vec4 u;
    std::uint64_t iterations;
    SolveStatus status;
};

enum class EntryKind : std::uint8_t { LowerBound = 0, UpperBound = 1, Linear = 2 };

// One inequality g.x <= c, held as an equality while in the working set.
struct Entry {
    EntryKind kind;
    std::uint8_t index;  // axis for a bound, constraint number for Linear
    friend bool operator==(Entry, Entry) = default;
};

Vec4 row_of(const Problem& p, Entry e) noexcept {
    Vec4 g{};
    switch (e.kind) {
        case EntryKind::LowerBound: g[e.index] = -1.0f; break;
        case EntryKind::UpperBound: g[e.index] = 1.0f; break;
        case EntryKind::Linear:
            for (std::size_t k = 0; k < AXES; ++k) g[k] = p.a[e.index][k];
            break;
    }
    return g;
}

float limit_of(const Problem& p, Entry e) noexcept {
    switch (e.kind) {
        case EntryKind::LowerBound: return -p.min_bound[e.index];
        case EntryKind::UpperBound: return p.max_bound[e.index];
        case EntryKind::Linear: break;
    }
    return p.b[e.index];
}

// One bit per constraint: lower and upper bound of each axis, then each linear
// row.
std::uint32_t bit_of(Entry e) noexcept {
    if (e.kind == EntryKind::Linear) return 1u << (2 * AXES + e.index);
    return 1u << (2 * e.index + (e.kind == EntryKind::UpperBound ? 1 : 0));
}

// Entries in insertion order; removal shifts the later ones down. Each entry
// carries what every normal-equations solve of the set needs from it: its row
// g, its residual dot(g, u_desired) - c, and its row and column of the Gram
// matrix, each computed once, when it enters, exactly as the solve would.
class WorkingSet {
public:
    std::size_t size() const noexcept { return size_; }
    Entry operator[](std::size_t position) const noexcept { return entries_[position]; }
    bool contains(Entry entry) const noexcept { return (members_ & bit_of(entry)) != 0; }
    const Vec4& row(std::size_t position) const noexcept { return rows_[position]; }
    const GramMatrix& gram() const noexcept { return gram_; }
    const float* residuals() const noexcept { return residuals_; }

    [[nodiscard]] bool insert(const Problem& p, Entry entry) noexcept {
        if (size_ == WORKING_SET_CAPACITY) return false;
        const std::size_t n = size_++;
        entries_[n] = entry;
        members_ |= bit_of(entry);
        rows_[n] = row_of(p, entry);
        residuals_[n] = dot(rows_[n], p.u_desired) - limit_of(p, entry);
        // Products commute and both orders sum in the same sequence, so the
        // Gram matrix is exactly symmetric (the rows hold no NaN; a NaN made
        // from an infinite coefficient is the one default NaN either way).
        for (std::size_t k = 0; k < n; ++k) {
            gram_[n][k] = dot(rows_[n], rows_[k]);
            gram_[k][n] = gram_[n][k];
        }
        gram_[n][n] = dot(rows_[n], rows_[n]);
        return true;
    }

    void remove(std::size_t position) noexcept {
        members_ &= ~bit_of(entries_[position]);
        for (std::size_t i = position; i + 1 < size_; ++i) {
            entries_[i] = entries_[i + 1];
            rows_[i] = rows_[i + 1];
            residuals_[i] = residuals_[i + 1];
            for (std::size_t j = 0; j < size_; ++j) gram_[i][j] = gram_[i + 1][j];
        }
        --size_;
        for (std::size_t i = 0; i < size_; ++i) {
            for (std::size_t j = position; j < size_; ++j) gram_[i][j] = gram_[i][j + 1];
        }
    }

private:
    std::array<Entry, WORKING_SET_CAPACITY> entries_{};
    std::size_t size_ = 0;
    std::uint32_t members_ = 0;
    Vec4 rows_[WORKING_SET_CAPACITY];
    float residuals_[WORKING_SET_CAPACITY];
    GramMatrix gram_;
};

// Every constraint in the fixed search order: per axis its lower then its upper
// bound, then the linear constraints.
template <class Visit>
void visit_constraints(const Problem& p, Visit&& visit) {
    for (std::uint8_t i = 0; i < AXES; ++i) {
        visit(Entry{EntryKind::LowerBound, i});
        visit(Entry{EntryKind::UpperBound, i});
    }
    for (std::uint8_t j = 0; j < p.count; ++j) visit(Entry{EntryKind::Linear, j});
}

// ---- Envelope tests ----------------------------------------------------------

Vec4 clamp_into_box(const Problem& p, const Vec4& v) noexcept {
    Vec4 c;
    for (std::size_t i = 0; i < AXES; ++i) c[i] = clamp_lower_first(v[i], p.min_bound[i], p.max_bound[i]);
    return c;
}

bool is_valid(const Problem& p) noexcept {
    for (std::size_t i = 0; i < AXES; ++i) {
        if (std::isnan(p.min_bound[i]) || std::isnan(p.max_bound[i]) || std::isnan(p.u_desired[i])) return false;
        if (p.min_bound[i] > p.max_bound[i]) return false;
    }
    for (std::size_t j = 0; j < p.count; ++j) {
        if (std::isnan(p.b[j])) return false;
        for (float coefficient : p.a[j]) {
            if (std::isnan(coefficient)) return false;
        }
    }
    return true;
}

bool outside_box(const Problem& p, const Vec4& y) noexcept {
    for (std::size_t i = 0; i < AXES; ++i) {
        if (p.min_bound[i] - FEASIBILITY_TOL > y[i] || y[i] > p.max_bound[i] + FEASIBILITY_TOL) return true;
    }
    return false;
}

bool exceeds_linear_limits(const Problem& p, const Vec4& y) noexcept {
    for (std::size_t j = 0; j < p.count; ++j) {
        if (dot(y, p.a[j]) > p.b[j] + FEASIBILITY_TOL) return true;
    }
    return false;
}

// ---- Feasibility stage ---------------------------------------------------------

// One sweep over the linear constraints; returns whether any was violated.
// A violated row too short to project onto still counts as a change.
bool project_violated_constraints(const Problem& p, const float* length_squared, Vec4& y) noexcept {
    bool changed = false;
    for (std::size_t j = 0; j < p.count; ++j) {
        const float violation = dot(y, p.a[j]) - p.b[j];
        if (!(violation > FEASIBILITY_TOL)) continue;
        changed = true;
        if (length_squared[j] < DIRECTION_EPS) continue;
        const float t = violation / length_squared[j];
        Vec4 moved;
        for (std::size_t k = 0; k < AXES; ++k) moved[k] = y[k] - p.a[j][k] * t;
        y = clamp_into_box(p, moved);
    }
    return changed;
}

// A start point within the envelope, or nothing when the constraints cannot be
// met inside the box. sweeps counts the sweeps run, the unchanged one included.
std::optional<Vec4> find_feasible_point(const Problem& p, unsigned& sweeps) noexcept {
    float length_squared[MAX_CONSTRAINTS];
    for (std::size_t j = 0; j < p.count; ++j) length_squared[j] = dot(p.a[j], p.a[j]);

    Vec4 y = clamp_into_box(p, Vec4{});
    for (sweeps = 1;; ++sweeps) {
        const Vec4 before = y;
        if (!project_violated_constraints(p, length_squared, y)) return y;
        // A changed sweep that leaves y as it was (only rows too short to
        // project onto, or moves the box undoes) is what every later sweep
        // would do: the stage ends as after its last sweep.
        if (sweeps == MAX_FEASIBILITY_SWEEPS || same_bits(y, before)) break;
    }
    if (outside_box(p, y) || exceeds_linear_limits(p, y)) return std::nullopt;
    return y;
}

// Every constraint active at y; an axis with equal bounds takes only its lower.
WorkingSet initial_working_set(const Problem& p, const Vec4& y) noexcept {
    WorkingSet set;
    // At most one bound per axis and four linear rows: never more than capacity.
    for (std::uint8_t i = 0; i < AXES; ++i) {
        if (std::fabs(y[i] - p.min_bound[i]) <= FEASIBILITY_TOL) {
            (void)set.insert(p, Entry{EntryKind::LowerBound, i});
        } else if (std::fabs(y[i] - p.max_bound[i]) <= FEASIBILITY_TOL) {
            (void)set.insert(p, Entry{EntryKind::UpperBound, i});
        }
    }
    for (std::uint8_t j = 0; j < p.count; ++j) {
        if (std::fabs(dot(y, p.a[j]) - p.b[j]) <= FEASIBILITY_TOL) {
            (void)set.insert(p, Entry{EntryKind::Linear, j});
        }
    }
    return set;
}

// ---- Active-set phases -----------------------------------------------------------

// The multipliers of the equality-constrained subproblem of the working set.
bool compute_multipliers(const WorkingSet& set, NormalVector& multipliers) noexcept {
    return solve_gram_system(set.size(), set.gram(), set.residuals(), multipliers);
}

// The point nearest to u_desired on which every working-set entry holds with
// equality.
Vec4 nearest_on_working_set(const Problem& p, const WorkingSet& set, const NormalVector& multipliers) noexcept {
    Vec4 x = p.u_desired;
    for (std::size_t e = 0; e < set.size(); ++e) {
        for (std::size_t k = 0; k < AXES; ++k) x[k] = x[k] - set.row(e)[k] * multipliers[e];
    }
    return x;
}

// A negative multiplier says x comes closer to u_desired by leaving that limit
// inwards. Among nearly equal negative multipliers the earliest entry wins.
std::optional<std::size_t> entry_to_drop(std::size_t n, const NormalVector& multipliers) noexcept {
    std::optional<std::size_t> candidate;
    float lowest = 0.0f;
    for (std::size_t e = 0; e < n; ++e) {
        if (multipliers[e] < lowest - FEASIBILITY_TOL) {
            candidate = e;
            lowest = multipliers[e];
        }
    }
    return candidate;
}

float violation_at(const Problem& p, Entry e, const Vec4& x) noexcept {
    switch (e.kind) {
        case EntryKind::LowerBound: return p.min_bound[e.index] - x[e.index];
        case EntryKind::UpperBound: return x[e.index] - p.max_bound[e.index];
        case EntryKind::Linear: break;
    }
    return dot(p.a[e.index], x) - p.b[e.index];
}

// Whether the largest violation at x of the constraints outside the working
// set exceeds the tolerance. That largest value starts at 0 and ignores NaN,
// so it exceeds the tolerance exactly when some violation does: the scan may
// stop at the first.
bool violates_outside(const Problem& p, const WorkingSet& set, const Vec4& x) noexcept {
    bool violated = false;
    visit_constraints(p, [&](Entry e) {
        if (!violated && !set.contains(e) && violation_at(p, e, x) > FEASIBILITY_TOL) violated = true;
    });
    return violated;
}

// The fraction of the direction d from y at which constraint e would be met, or
// nothing when e cannot block: already within tolerance of its limit at y, or
// d does not point towards it.
std::optional<float> step_ratio(const Problem& p, Entry e, const Vec4& y, const Vec4& d) noexcept {
    const std::size_t k = e.index;
    switch (e.kind) {
        case EntryKind::LowerBound:
            if (std::fabs(y[k] - p.min_bound[k]) <= FEASIBILITY_TOL || d[k] >= -DIRECTION_EPS) return std::nullopt;
            return (p.min_bound[k] - y[k]) / d[k];
        case EntryKind::UpperBound:
            if (std::fabs(y[k] - p.max_bound[k]) <= FEASIBILITY_TOL || d[k] <= DIRECTION_EPS) return std::nullopt;
            return (p.max_bound[k] - y[k]) / d[k];
        case EntryKind::Linear: break;
    }
    const float slack = p.b[k] - dot(p.a[k], y);
    if (std::fabs(slack) <= FEASIBILITY_TOL) return std::nullopt;
    const float towards = dot(p.a[k], d);
    if (towards <= DIRECTION_EPS) return std::nullopt;
    return slack / towards;
}

struct Step {
    float alpha = 1.0f;
    Entry blocking{};  // meaningful only when alpha < 1
};

// The longest step in (DIRECTION_EPS, 1] along d; ties keep the earlier constraint.
Step step_length(const Problem& p, const WorkingSet& set, const Vec4& y, const Vec4& d) noexcept {
    Step step;
    visit_constraints(p, [&](Entry e) {
        if (set.contains(e)) return;
        const std::optional<float> ratio = step_ratio(p, e, y, d);
        if (ratio && *ratio > DIRECTION_EPS && *ratio < step.alpha) {
            step.alpha = *ratio;
            step.blocking = e;
        }
    });
    return step;
}

// An iterate that has walked through a limit it was already within tolerance
// of (after a tie, or on an axis with equal bounds) is never handed out: the
// clamped command takes its place.
Outcome iteration_limit_exit(const Problem& p, const Vec4& y, const Vec4& clamped) noexcept {
    const bool within_envelope = !outside_box(p, y) && !exceeds_linear_limits(p, y);
    return Outcome{within_envelope ? y : clamped, MAX_ITERATIONS, KELVARA_STATUS_ITERATION_LIMIT};
}

// Moves from the feasible point y towards u_desired, one working-set change per
// iteration.
Outcome run_active_set(const Problem& p, Vec4 y, const Vec4& clamped) noexcept {
    const Outcome failure{clamped, 0, KELVARA_STATUS_NUMERICAL_FAILURE};
    WorkingSet set = initial_working_set(p, y);
    NormalVector multipliers;
    Vec4 x;
    // x is the solution on the current working set, with no entry to drop and
    // a violation outside the set: what this set's next iteration would find.
    bool x_holds = false;

    for (std::uint64_t iteration = 1;; ++iteration) {
        if (!x_holds) {
            if (!compute_multipliers(set, multipliers)) return failure;
            x = nearest_on_working_set(p, set, multipliers);
            if (const auto dropped = entry_to_drop(set.size(), multipliers)) {
                set.remove(*dropped);
                if (iteration == MAX_ITERATIONS) return iteration_limit_exit(p, y, clamped);
                continue;
            }
            if (!violates_outside(p, set, x)) return Outcome{x, iteration, KELVARA_STATUS_OPTIMAL};
            x_holds = true;
        }

        Vec4 d;
        for (std::size_t k = 0; k < AXES; ++k) d[k] = x[k] - y[k];
        const Step step = step_length(p, set, y, d);
        Vec4 moved;
        for (std::size_t k = 0; k < AXES; ++k) moved[k] = y[k] + d[k] * step.alpha;
        if (step.alpha < FULL_STEP_THRESHOLD) {
            if (!set.insert(p, step.blocking)) return failure;
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

Outcome solve(const float* u_desired, const Multivar4dBounds& bounds, const Multivar4dConstraints& constraints,
              unsigned& sweeps) noexcept {
    sweeps = 0;
    Problem p;
    for (std::size_t i = 0; i < AXES; ++i) {
        p.u_desired[i] = u_desired[i];
        p.min_bound[i] = bounds.min_bound[i];
        p.max_bound[i] = bounds.max_bound[i];
    }
    const Vec4 clamped = clamp_into_box(p, p.u_desired);
    const Outcome invalid{clamped, 0, KELVARA_STATUS_INVALID};

    if (constraints.count > MAX_CONSTRAINTS) return invalid;
    p.count = static_cast<std::size_t>(constraints.count);
    for (std::size_t j = 0; j < p.count; ++j) {
        for (std::size_t k = 0; k < AXES; ++k) p.a[j][k] = constraints.a[j][k];
        p.b[j] = constraints.b[j];
    }
    if (!is_valid(p)) return invalid;

    // Quick accept: the clamped command already meets every constraint.
    if (!exceeds_linear_limits(p, clamped)) return Outcome{clamped, 0, KELVARA_STATUS_OPTIMAL};

    const std::optional<Vec4> start = find_feasible_point(p, sweeps);
    if (!start) return Outcome{clamped, 0, KELVARA_STATUS_INFEASIBLE};
    return run_active_set(p, *start, clamped);
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
                                             const Multivar4dConstraints* constraints, Multivar4dSolution* out) {
    if (u_desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr) return -1;

    unsigned sweeps = 0;
    const kelvara::core::Outcome outcome = kelvara::core::solve(u_desired, *bounds, *constraints, sweeps);
    // Field by field, so that the padding after status is never written.
    for (std::size_t k = 0; k < kelvara::core::AXES; ++k) out->u[k] = outcome.u[k];
    out->iterations = outcome.iterations;
    out->status = outcome.status;
    return 0;
}
