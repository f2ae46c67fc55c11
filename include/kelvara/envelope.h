/*
 * Kelvara C interface: the general envelope, for an arm of any number of
 * axes. Include <kelvara.h> rather than this file.
 *
 * An envelope is a box of per-axis bounds cut by linear rows,
 *   min_bound[i] <= x[i] <= max_bound[i]   for every axis i,
 *   coefficients[r] . x <= limits[r]       for every row r,
 * with 1 to KELVARA_ENVELOPE_MAX_AXES axes and up to KELVARA_ENVELOPE_MAX_ROWS
 * rows. Projecting a desired command finds the point of the envelope nearest
 * to it (least Euclidean distance), in double precision, the same bits on
 * every run, thread and machine. Every feasible problem is solved: a finite
 * command gets KELVARA_STATUS_OPTIMAL whenever the envelope is not empty and
 * its magnitudes lie within the range docs/numerics.md gives.
 *
 * The caller owns the storage (static, on the stack, or from the heap; C
 * callers through an FFI allocate kelvara_envelope_size() bytes, 8-byte
 * aligned). Initialising it validates the envelope and prepares everything
 * that depends only on it, once; a projection then pays only for the command.
 * Nothing allocates, locks or keeps state between calls: one initialised
 * envelope may be projected onto from many threads at once (but not
 * initialised again while they do). Initialising uses up to 40 KiB of stack
 * (make envelopes where stacks are large, at configuration time), a
 * projection up to 12 KiB. It holds no
 * resources, so its storage may be freed or reused without a call; a copy
 * (struct assignment, memcpy) to other 8-byte aligned storage is an equal
 * envelope.
 */
#ifndef KELVARA_ENVELOPE_H
#define KELVARA_ENVELOPE_H

#include <stddef.h>
#include <stdint.h>

#include "kelvara/export.h"

/* The status numbers, KELVARA_STATUS_* in kelvara.h (the same type, declared
 * again so that this header stands alone). */
typedef uint32_t SolveStatus;

#define KELVARA_ENVELOPE_MAX_AXES 32
#define KELVARA_ENVELOPE_MAX_ROWS 32

/* sizeof(KelvaraEnvelope): the bounds, rows and limits as given and the rows
 * scaled to unit length, with room to spare. */
#define KELVARA_ENVELOPE_SIZE 32768

/* Storage for one envelope. Opaque: touch it only through the functions
 * below. Storage that holds no envelope (never initialised, zeroed,
 * misaligned) is refused with KELVARA_ERR_INVALID_POINTER. */
typedef struct KelvaraEnvelope {
  union {
    uint64_t align_u64;
    double align_double;
    void* align_pointer;
    unsigned char bytes[KELVARA_ENVELOPE_SIZE];
  } opaque;
} KelvaraEnvelope;

/* The outcome of one projection. 8 bytes. */
typedef struct KelvaraProjection {
  /* KELVARA_STATUS_OPTIMAL: projected is the nearest point of the envelope;
   * it meets every bound and row within 1e-9 * (1 + |limit|).
   * KELVARA_STATUS_INFEASIBLE: no point meets every bound and row; projected
   * is the desired command clamped into the bounds (which may break a row).
   * KELVARA_STATUS_INVALID: a component of the desired command is NaN or
   * infinite; projected is the desired command as it was.
   * KELVARA_STATUS_NUMERICAL_FAILURE: magnitudes beyond what double precision
   * resolves; projected is the desired command clamped into the bounds.
   * Apply projected only for KELVARA_STATUS_OPTIMAL; otherwise hold the last
   * command. */
  SolveStatus status;
  /* Working-set changes the solve made; 0 when the clamped command already
   * met every row. */
  uint32_t iterations;
} KelvaraProjection;

#ifdef __cplusplus
extern "C" {
#endif

/* sizeof(KelvaraEnvelope), for callers that cannot see the type. */
KELVARA_EXPORT size_t kelvara_envelope_size(void) KELVARA_NOEXCEPT;

/*
 * Makes an envelope in `envelope`'s storage: `axes` axes (1 to
 * KELVARA_ENVELOPE_MAX_AXES) with bounds min_bound[0..axes) and
 * max_bound[0..axes), and `rows` rows (0 to KELVARA_ENVELOPE_MAX_ROWS) whose
 * coefficients are coefficients[r * axes + i] (row-major) and whose limits
 * are limits[0..rows). Every value is copied. An infinite bound or limit is
 * no limit on that side; a row of zeros is allowed (met when its limit is at
 * least 0, never met otherwise).
 *
 * Returns KELVARA_OK; -1 when envelope, min_bound or max_bound is NULL, or
 * when rows is above 0 and coefficients or limits is NULL (coefficients and
 * limits may be NULL when rows is 0); KELVARA_ERR_INVALID_POINTER when
 * envelope is not 8-byte aligned; KELVARA_ERR_INVALID_ENVELOPE when axes or
 * rows is out of range, a bound is NaN, min_bound[i] > max_bound[i], a lower
 * bound is +inf or an upper bound -inf, a coefficient is NaN or infinite, or
 * a limit is NaN. A refusal leaves the storage as it was (an envelope made
 * there earlier stays usable).
 */
KELVARA_MUST_USE KELVARA_EXPORT int32_t kelvara_envelope_init(KelvaraEnvelope* envelope, size_t axes,
                                                              const double* min_bound,
                                                              const double* max_bound, size_t rows,
                                                              const double* coefficients,
                                                              const double* limits) KELVARA_NOEXCEPT;

/*
 * Projects desired (axes values) onto the envelope, writing axes values to
 * projected and the outcome to *info (see KelvaraProjection for what
 * projected holds for each status). desired and projected may be the same
 * array; only the envelope's axes values of each are touched.
 *
 * Returns 0 whenever it wrote projected and *info, whatever the status; -1
 * when a pointer is NULL; KELVARA_ERR_INVALID_POINTER when the storage holds
 * no envelope. projected and *info are written only when 0 is returned.
 */
KELVARA_MUST_USE KELVARA_EXPORT int32_t kelvara_envelope_project(const KelvaraEnvelope* envelope,
                                                                 const double* desired, double* projected,
                                                                 KelvaraProjection* info) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_ENVELOPE_H */
