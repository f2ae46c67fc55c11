/*
 * Kelvara: the C interface. One header for all of it:
 *
 *   - the numerical kernel (this file): two functions that project desired
 *     actuator commands into a safe envelope;
 *   - kelvara/boundary.h: the sender's boundary, which authorizes each
 *     command and signs it with a 60-byte receipt;
 *   - kelvara/envelope.h: the general envelope (1 to 32 axes, up to 32
 *     linear rows) and the projection of a command onto it, in double
 *     precision: the one to use in new code;
 *   - kelvara/gate.h: the actuator's gate, which admits a command only with an
 *     authentic, fresh, unreplayed receipt;
 *   - kelvara/signer.h: the command signer, which signs a whole joint vector
 *     as one command frame;
 *   - kelvara/command_gate.h: the command gate, which admits a frame all or
 *     nothing;
 *   - kelvara/result.h: the result codes and their texts, made from the one
 *     list of outcomes in kelvara/outcomes.h;
 *   - kelvara/stats.h: the outcome counts of every sender and gate;
 *   - kelvara/wire.h, kelvara/version.h: sizes and the version.
 *
 * Link with -lkelvara (pkg-config kelvara, or CMake's find_package(kelvara)
 * and the target kelvara::kelvara). No function throws or aborts on bad
 * input, and no Python is involved.
 *
 * The two solves are reentrant. Both work only on caller-owned records for
 * the duration of a call, allocate nothing and keep no state. All arithmetic is
 * IEEE 754 single precision, without fused multiply-add, in a fixed order:
 * results are the same bit for bit on every run and machine.
 *
 * Return value of both solves: 0 when the result record has been written
 * completely (whatever its status), -1 when a required pointer is null (then
 * nothing has been read or written). Padding bytes of result records are never
 * written.
 *
 * Valid C11 and C++; every record layout is pinned by the static assertions at
 * the end of this file.
 */
#ifndef KELVARA_H
#define KELVARA_H

#include <stddef.h>
#include <stdint.h>

#include "kelvara/boundary.h"
#include "kelvara/command_gate.h"
#include "kelvara/envelope.h"
#include "kelvara/export.h"
#include "kelvara/gate.h"
#include "kelvara/result.h"
#include "kelvara/signer.h"
#include "kelvara/stats.h"
#include "kelvara/version.h"
#include "kelvara/wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status of a solve, shared by both functions ------------------------ */

typedef uint32_t SolveStatus;

/* The inputs failed validation; u is the desired command clamped into the
 * bounds as passed. */
#define KELVARA_STATUS_INVALID ((SolveStatus)0)
/* u is the solution, feasible within KELVARA_MULTIVAR4D_FEASIBILITY_TOL (for
 * the scalar projection: the constraint can be met inside the bounds). */
#define KELVARA_STATUS_OPTIMAL ((SolveStatus)1)
/* The four-axis solve used all KELVARA_MULTIVAR4D_MAX_ITERATIONS iterations.
 * u is the last iterate when that iterate lies within the bounds and the
 * constraints up to KELVARA_MULTIVAR4D_FEASIBILITY_TOL; otherwise u is the
 * desired command clamped into the bounds (which, like every fallback,
 * respects the bounds but may break the linear constraints), so that an
 * iterate which has walked out of the envelope is never handed out. */
#define KELVARA_STATUS_ITERATION_LIMIT ((SolveStatus)2)
/* Scalar projection: the constraint cannot be met inside the bounds; u is the
 * end of the interval nearest to the constraint boundary (or the clamped
 * command for a zero coefficient). Four-axis solve: the feasibility stage
 * found no point within the bounds that meets every constraint (it also gives
 * up on a feasible set it cannot reach in its sweeps, such as a very thin one,
 * or one cut by a row with squared length below 1e-9); u is the desired
 * command clamped into the bounds, which may break the linear constraints. */
#define KELVARA_STATUS_INFEASIBLE ((SolveStatus)3)
/* A normal-equations solve failed, the working set overflowed, or rounding in
 * a badly scaled system left the solution outside the envelope by more than
 * KELVARA_MULTIVAR4D_FEASIBILITY_TOL; u is the desired command clamped into
 * the bounds. */
#define KELVARA_STATUS_NUMERICAL_FAILURE ((SolveStatus)4)

/* ---- Scalar active-set projection --------------------------------------- */

#define KELVARA_SCALAR_ROWS 4

/* Constraint rows a[i]*u <= b[i]. Only row 0 takes part in the projection;
 * rows 1..3 are carried but never read. 32 bytes, read only. */
typedef struct ScalarConstraints {
  float a[KELVARA_SCALAR_ROWS];
  float b[KELVARA_SCALAR_ROWS];
} ScalarConstraints;

/* Result of the scalar projection. 24 bytes; the 4 bytes after u and after
 * status are padding and never written. */
typedef struct ScalarSolution {
  float u;             /* projected command */
  uint64_t iterations; /* always 1 */
  SolveStatus status;  /* KELVARA_STATUS_OPTIMAL or KELVARA_STATUS_INFEASIBLE */
} ScalarSolution;

/*
 * Projects u_desired into [min_bound, max_bound] cut by the half-line
 * constraints->a[0] * u <= constraints->b[0], in constant time.
 *
 * The scalars are not validated: NaN, infinities and min_bound > max_bound
 * flow through ordered comparisons and a clamp that tests the lower bound
 * first. The result u is always one of u_desired, min_bound, max_bound or
 * b[0] / a[0]. constraints is only read, out only written; neither may be
 * null (else -1).
 */
KELVARA_EXPORT int32_t kelvara_solve_active_set(float u_desired, float min_bound, float max_bound,
                                                const ScalarConstraints* constraints, ScalarSolution* out);

/* ---- Four-axis multivariable solve -------------------------------------- */

#define KELVARA_MULTIVAR4D_AXES 4
/* Largest accepted Multivar4dConstraints.count. */
#define KELVARA_MULTIVAR4D_MAX_CONSTRAINTS 4
/* Iterations of the active-set stage before KELVARA_STATUS_ITERATION_LIMIT. */
#define KELVARA_MULTIVAR4D_MAX_ITERATIONS 20
/* Absolute tolerance within which an Optimal u satisfies every bound and
 * constraint. */
#define KELVARA_MULTIVAR4D_FEASIBILITY_TOL 1e-5f

/* Per-axis box; an infinite bound is no bound on that side. 32 bytes. */
typedef struct Multivar4dBounds {
  float min_bound[KELVARA_MULTIVAR4D_AXES];
  float max_bound[KELVARA_MULTIVAR4D_AXES];
} Multivar4dBounds;

/* Linear constraints a[j][0]*x0 + ... + a[j][3]*x3 <= b[j] for j < count.
 * Rows at or beyond count are never read. 88 bytes. */
typedef struct Multivar4dConstraints {
  uint64_t count; /* 0..KELVARA_MULTIVAR4D_MAX_CONSTRAINTS; more is Invalid */
  float a[KELVARA_MULTIVAR4D_MAX_CONSTRAINTS][KELVARA_MULTIVAR4D_AXES];
  float b[KELVARA_MULTIVAR4D_MAX_CONSTRAINTS];
} Multivar4dConstraints;

/* Result of the four-axis solve. 32 bytes; the last 4 are padding and never
 * written. */
typedef struct Multivar4dSolution {
  float u[KELVARA_MULTIVAR4D_AXES]; /* the command to apply */
  uint64_t iterations;              /* active-set iterations; 0 unless Optimal after the
                                       active-set stage, or IterationLimit */
  SolveStatus status;
} Multivar4dSolution;

/*
 * Finds the x nearest to u_desired (4 floats) with
 * min_bound <= x <= max_bound and a[j].x <= b[j] for every j < count.
 *
 * Validation refuses count > 4, a NaN in u_desired or a bound,
 * min_bound > max_bound, and a NaN in a used constraint row or limit
 * (status Invalid). Infinities pass. Every outcome other than Optimal writes
 * as u a point within the bounds (see the status constants). The first three
 * records are only read and out is only written; any of them may overlap, since
 * out is written only after every input has been read. No pointer may be null
 * (else -1).
 */
KELVARA_EXPORT int32_t kelvara_solve_multivar_4d(const float* u_desired, const Multivar4dBounds* bounds,
                                                 const Multivar4dConstraints* constraints,
                                                 Multivar4dSolution* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout: part of the interface -------------------------------------- */

#ifdef __cplusplus
#define KELVARA_LAYOUT_ASSERT(cond, what) static_assert(cond, what)
#define KELVARA_ALIGNOF(type) alignof(type)
#else
#define KELVARA_LAYOUT_ASSERT(cond, what) _Static_assert(cond, what)
#define KELVARA_ALIGNOF(type) _Alignof(type)
#endif

KELVARA_LAYOUT_ASSERT(sizeof(float) == 4, "float is IEEE 754 single precision");
KELVARA_LAYOUT_ASSERT(sizeof(SolveStatus) == 4, "SolveStatus is 32 bits");

KELVARA_LAYOUT_ASSERT(sizeof(ScalarConstraints) == 32, "ScalarConstraints size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(ScalarConstraints) == 4, "ScalarConstraints alignment");
KELVARA_LAYOUT_ASSERT(offsetof(ScalarConstraints, a) == 0, "ScalarConstraints.a offset");
KELVARA_LAYOUT_ASSERT(offsetof(ScalarConstraints, b) == 16, "ScalarConstraints.b offset");

KELVARA_LAYOUT_ASSERT(sizeof(ScalarSolution) == 24, "ScalarSolution size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(ScalarSolution) == 8, "ScalarSolution alignment");
KELVARA_LAYOUT_ASSERT(offsetof(ScalarSolution, u) == 0, "ScalarSolution.u offset");
KELVARA_LAYOUT_ASSERT(offsetof(ScalarSolution, iterations) == 8, "ScalarSolution.iterations offset");
KELVARA_LAYOUT_ASSERT(offsetof(ScalarSolution, status) == 16, "ScalarSolution.status offset");

KELVARA_LAYOUT_ASSERT(sizeof(Multivar4dBounds) == 32, "Multivar4dBounds size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(Multivar4dBounds) == 4, "Multivar4dBounds alignment");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dBounds, min_bound) == 0, "Multivar4dBounds.min_bound offset");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dBounds, max_bound) == 16, "Multivar4dBounds.max_bound offset");

KELVARA_LAYOUT_ASSERT(sizeof(Multivar4dConstraints) == 88, "Multivar4dConstraints size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(Multivar4dConstraints) == 8, "Multivar4dConstraints alignment");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dConstraints, count) == 0, "Multivar4dConstraints.count offset");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dConstraints, a) == 8, "Multivar4dConstraints.a offset");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dConstraints, b) == 72, "Multivar4dConstraints.b offset");

KELVARA_LAYOUT_ASSERT(sizeof(Multivar4dSolution) == 32, "Multivar4dSolution size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(Multivar4dSolution) == 8, "Multivar4dSolution alignment");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dSolution, u) == 0, "Multivar4dSolution.u offset");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dSolution, iterations) == 16, "Multivar4dSolution.iterations offset");
KELVARA_LAYOUT_ASSERT(offsetof(Multivar4dSolution, status) == 24, "Multivar4dSolution.status offset");

KELVARA_LAYOUT_ASSERT(sizeof(KelvaraEnvelope) == KELVARA_ENVELOPE_SIZE, "KelvaraEnvelope size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(KelvaraEnvelope) >= KELVARA_ALIGNOF(double),
                      "KelvaraEnvelope alignment");
KELVARA_LAYOUT_ASSERT(sizeof(KelvaraProjection) == 8, "KelvaraProjection size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(KelvaraProjection) == 4, "KelvaraProjection alignment");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraProjection, status) == 0, "KelvaraProjection.status offset");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraProjection, iterations) == 4, "KelvaraProjection.iterations offset");

KELVARA_LAYOUT_ASSERT(sizeof(KelvaraGate) == KELVARA_GATE_SIZE, "KelvaraGate size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(KelvaraGate) >= KELVARA_ALIGNOF(uint64_t), "KelvaraGate alignment");

KELVARA_LAYOUT_ASSERT(sizeof(KelvaraCommandGate) == KELVARA_COMMAND_GATE_SIZE, "KelvaraCommandGate size");
KELVARA_LAYOUT_ASSERT(KELVARA_ALIGNOF(KelvaraCommandGate) >= KELVARA_ALIGNOF(uint64_t),
                      "KelvaraCommandGate alignment");
KELVARA_LAYOUT_ASSERT(sizeof(KelvaraCommand) == 528, "KelvaraCommand size");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraCommand, stream_id) == 8, "KelvaraCommand.stream_id offset");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraCommand, axes) == 12, "KelvaraCommand.axes offset");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraCommand, key_id) == 14, "KelvaraCommand.key_id offset");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraCommand, positions) == 16, "KelvaraCommand.positions offset");
KELVARA_LAYOUT_ASSERT(offsetof(KelvaraCommand, velocities) == 272, "KelvaraCommand.velocities offset");
KELVARA_LAYOUT_ASSERT(sizeof(KelvaraOutcomeCounts) == 8 * KELVARA_OUTCOME_SLOTS, "KelvaraOutcomeCounts size");

#undef KELVARA_LAYOUT_ASSERT
#undef KELVARA_ALIGNOF

#endif /* KELVARA_H */
