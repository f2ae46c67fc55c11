/*
 * Kelvara C interface: the sender's boundary, which authorizes each actuator
 * command and signs it with a 60-byte receipt. Include <kelvara.h> rather
 * than this file.
 *
 * The same rules as Python's KelBoundary, in this order: |commanded_velocity|
 * at most the velocity limit (a NaN fails), at most rate_limit commands in
 * each one-second window of the wall clock, a strictly increasing sequence id,
 * a random 12-byte nonce, the HMAC-SHA-256 tag, and the replay check of the
 * receipt before it is handed out. After an internal fault the boundary is
 * poisoned and refuses everything.
 *
 * Thread-safe: one boundary may be used from many threads (it has its own
 * lock). After fork() it refuses in the child (KELVARA_ERR_OTHER_PROCESS).
 */
#ifndef KELVARA_BOUNDARY_H
#define KELVARA_BOUNDARY_H

#include <stdint.h>

#include "kelvara/export.h"
#include "kelvara/stats.h"
#include "kelvara/wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque; made by kelvara_boundary_new, released by kelvara_boundary_free. */
typedef struct KelvaraBoundary KelvaraBoundary;

/*
 * A boundary that admits at most rate_limit commands per one-second window (0
 * admits none) with |commanded_velocity| <= max_velocity_rad_s, signing under
 * key (KELVARA_KEY_SIZE bytes, copied). The first window opens now.
 *
 * NULL when key is NULL, the wall clock cannot be read or memory is short.
 */
KELVARA_EXPORT KelvaraBoundary* kelvara_boundary_new(uint64_t rate_limit, double max_velocity_rad_s,
                                                     const uint8_t key[KELVARA_KEY_SIZE]) KELVARA_NOEXCEPT;

/*
 * Authorizes one command and writes its receipt to receipt_out
 * (KELVARA_RECEIPT_SIZE bytes). The receipt travels with target_axis,
 * requested_position and commanded_velocity exactly as passed here.
 *
 * Returns KELVARA_OK, or -1 when boundary or receipt_out is NULL, or
 * KELVARA_ERR_VELOCITY_EXCEEDED, KELVARA_ERR_RATE_LIMITED,
 * KELVARA_ERR_NONCE_FAILURE, KELVARA_ERR_POISONED_STATE,
 * KELVARA_ERR_OTHER_PROCESS, KELVARA_ERR_INTERNAL_FAULT or a security kind.
 * receipt_out is written only on success.
 */
KELVARA_EXPORT int32_t kelvara_boundary_authorize(KelvaraBoundary* boundary, int32_t target_axis,
                                                  double requested_position, double commanded_velocity,
                                                  uint8_t receipt_out[KELVARA_RECEIPT_SIZE]) KELVARA_NOEXCEPT;

/*
 * How often each outcome came out of kelvara_boundary_authorize on this
 * boundary: out->count[0] receipts handed out, out->count[r] the calls that
 * returned r (refusals and faults; NULL arguments are not counted). Safe
 * while other threads authorize: each count is exact, though the counts are
 * not all read at one instant.
 *
 * Returns KELVARA_OK, or -1 when boundary or out is NULL.
 */
KELVARA_EXPORT int32_t kelvara_boundary_stats(const KelvaraBoundary* boundary,
                                              KelvaraOutcomeCounts* out) KELVARA_NOEXCEPT;

/* Releases a boundary; NULL is ignored. No call may be running on it. */
KELVARA_EXPORT void kelvara_boundary_free(KelvaraBoundary* boundary) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_BOUNDARY_H */
