/*
 * Kelvara C interface: the command signer, which checks a whole joint vector
 * and signs it as one command frame. Include <kelvara.h> rather than this
 * file.
 *
 * Refusals, in this order, the first deciding: a position or velocity that
 * is not finite (KELVARA_ERR_NON_FINITE_VALUE), a |velocity| above its axis's
 * limit (KELVARA_ERR_VELOCITY_EXCEEDED), more than rate_limit frames in any
 * one-second span of the monotonic clock (KELVARA_ERR_RATE_LIMITED). A refused
 * frame spends no counter value and no rate slot.
 *
 * Each frame's counter is the wall clock in nanoseconds since the Unix epoch,
 * made strictly increasing per signer (the larger of the clock and the last
 * counter + 1): a restarted sender is ahead of everything it signed before.
 *
 * Thread-safe: one signer may be used from many threads (it has its own
 * lock). After fork() it refuses in the child (KELVARA_ERR_OTHER_PROCESS).
 * Signing allocates nothing.
 */
#ifndef KELVARA_SIGNER_H
#define KELVARA_SIGNER_H

#include <stddef.h>
#include <stdint.h>

#include "kelvara/export.h"
#include "kelvara/wire.h"

/* Largest rate_limit a signer takes (it remembers one time per frame). */
#define KELVARA_SIGNER_MAX_RATE_LIMIT 1000000u

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque; made by kelvara_signer_new, released by kelvara_signer_free. */
typedef struct KelvaraSigner KelvaraSigner;

/*
 * A signer of frames of `axes` axes (1 to KELVARA_FRAME_MAX_AXES) on stream
 * stream_id, signed under key (KELVARA_KEY_SIZE bytes, copied) named key_id,
 * with max_velocity_rad_s[axis] the limit on |velocity| of each axis (axes
 * values, copied; each >= 0, INFINITY for no limit) and at most rate_limit
 * frames (0 to KELVARA_SIGNER_MAX_RATE_LIMIT; 0 signs none) in any one-second
 * span.
 *
 * NULL when key or max_velocity_rad_s is NULL, axes is out of range, a limit
 * is NaN or negative, rate_limit is above the maximum, or memory is short.
 */
KELVARA_EXPORT KELVARA_MUST_USE KelvaraSigner* kelvara_signer_new(const uint8_t key[KELVARA_KEY_SIZE],
                                                                  uint8_t key_id, uint32_t stream_id,
                                                                  size_t axes,
                                                                  const double* max_velocity_rad_s,
                                                                  uint32_t rate_limit) KELVARA_NOEXCEPT;

/*
 * Signs positions and velocities (axes values each) into frame, which holds
 * capacity bytes; a frame is KELVARA_FRAME_SIZE(axes) bytes. On success
 * writes the frame and its size to *written.
 *
 * Returns KELVARA_OK, -1 when a pointer is NULL, or (nothing written)
 * KELVARA_ERR_FRAME_BUFFER_TOO_SMALL, KELVARA_ERR_NON_FINITE_VALUE,
 * KELVARA_ERR_VELOCITY_EXCEEDED, KELVARA_ERR_RATE_LIMITED,
 * KELVARA_ERR_OTHER_PROCESS, KELVARA_ERR_POISONED_STATE,
 * KELVARA_ERR_CLOCK_FAILURE or KELVARA_ERR_INTERNAL_FAULT.
 */
KELVARA_EXPORT KELVARA_MUST_USE int32_t kelvara_signer_sign(KelvaraSigner* signer, const double* positions,
                                                            const double* velocities, uint8_t* frame,
                                                            size_t capacity,
                                                            size_t* written) KELVARA_NOEXCEPT;

/* Releases a signer and erases its key; NULL is ignored. No call may be
 * running on it. */
KELVARA_EXPORT void kelvara_signer_free(KelvaraSigner* signer) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_SIGNER_H */
