/*
 * Kelvara C interface: the result of every call that returns int32_t, and
 * its texts. Include <kelvara.h> rather than this file.
 *
 * 0 is success. -1 means a required pointer was null: nothing was read or
 * written. Every other value is one refusal, named below; a refusal changes
 * nothing in the object it came from (except where a fault poisons it).
 */
#ifndef KELVARA_RESULT_H
#define KELVARA_RESULT_H

#include <stdint.h>

#include "kelvara/export.h"

#define KELVARA_OK 0
#define KELVARA_ERR_NULL_POINTER (-1)

/* The security checks, by the numbers of their kinds. */
/* The gate storage is misaligned, was never initialised, was cleared, or is a
 * copy of a gate (a gate works only where it was initialised). */
#define KELVARA_ERR_INVALID_POINTER 1
#define KELVARA_ERR_ACTION_ID_OVERFLOW 2
#define KELVARA_ERR_PAYLOAD_OVERFLOW 3
#define KELVARA_ERR_INVALID_RECEIPT 4
#define KELVARA_ERR_INVALID_KEY_LENGTH 5
/* The receipt's tag does not match the command under the key: forged,
 * corrupted, signed under another key, or sent with another command. */
#define KELVARA_ERR_AUTHENTICATION_FAILURE 6
/* The sequence id is not above the last one admitted (replayed or reordered). */
#define KELVARA_ERR_REPLAY_COUNTER 7
/* The nonce is among the last 1024 admitted. */
#define KELVARA_ERR_REPLAY_NONCE 8
#define KELVARA_ERR_HARDWARE_SHA_UNAVAILABLE 9

/* Refusals of the command by the edge policy: do not apply the command. */
/* |commanded_velocity| is above the limit, or either of them is NaN. */
#define KELVARA_ERR_VELOCITY_EXCEEDED 10
/* The one-second rate window has admitted its limit already. */
#define KELVARA_ERR_RATE_LIMITED 11
/* The receipt's timestamp is further from the gate's clock than its maximum age. */
#define KELVARA_ERR_STALE_RECEIPT 12

/* Failures of the machinery: the command was never judged. */
/* An earlier internal fault poisoned the boundary; make a new one. */
#define KELVARA_ERR_POISONED_STATE 13
/* The random source failed; the sequence id is spent, nothing else. */
#define KELVARA_ERR_NONCE_FAILURE 14
/* The object was made in another process (before a fork); make a new one here. */
#define KELVARA_ERR_OTHER_PROCESS 15
/* The gate could not read its clock to check freshness. */
#define KELVARA_ERR_CLOCK_FAILURE 16
/* An unexpected fault (such as the boundary failing to read the clock); the
 * boundary is now poisoned. */
#define KELVARA_ERR_INTERNAL_FAULT 17

/* Refusals of what a caller asked to be built. */
/* The envelope's sizes or values are invalid: axes outside 1..32, rows above
 * 32, a NaN bound, min_bound above max_bound, a lower bound of +inf or an
 * upper bound of -inf, a NaN or infinite coefficient, or a NaN limit. */
#define KELVARA_ERR_INVALID_ENVELOPE 18

/* Refusals of a command frame: do not apply it. */
/* Wrong length for its axis count, wrong magic, version or flags, or an axis
 * count other than the gate's. */
#define KELVARA_ERR_INVALID_FRAME 19
/* No key under the frame's key id. */
#define KELVARA_ERR_UNKNOWN_KEY 20
/* The frame's stream is not allowed at this gate. */
#define KELVARA_ERR_UNKNOWN_STREAM 21
/* The frame's counter is further from the gate's clock than its maximum age. */
#define KELVARA_ERR_STALE_FRAME 22
/* A position or velocity is NaN or infinite. */
#define KELVARA_ERR_NON_FINITE_VALUE 23
/* The positions lie outside the gate's envelope. */
#define KELVARA_ERR_OUTSIDE_ENVELOPE 24
/* An axis moved further since the stream's last frame than its step limit allows. */
#define KELVARA_ERR_STEP_EXCEEDED 25

/* Requests a signer or command gate could not carry out; nothing changed. */
/* The output buffer is shorter than the frame. */
#define KELVARA_ERR_FRAME_BUFFER_TOO_SMALL 26
/* The key id holds a key already; remove it first. */
#define KELVARA_ERR_DUPLICATE_KEY 27
/* The gate allows as many streams as it can hold. */
#define KELVARA_ERR_STREAM_TABLE_FULL 28
/* An axis count, limit or length is out of range. */
#define KELVARA_ERR_INVALID_ARGUMENT 29
/* Gate storage was restored from a saved copy, whose replay memory is out of
 * date; initialise a new gate. */
#define KELVARA_ERR_RESTORED_STORAGE 30

#ifdef __cplusplus
extern "C" {
#endif

/* The short snake_case code of a result ("replay_nonce", "velocity_exceeded";
 * "ok" for 0, "null_pointer" for -1, "unknown_error" for any other value).
 * The codes are those Python shows as KelViolation.violation_type. A static
 * text, never NULL. */
KELVARA_EXPORT const char* kelvara_error_code(int32_t result) KELVARA_NOEXCEPT;

/* One line describing a result, in the words Python uses, without the
 * numbers Python fills in ("commanded_velocity exceeds max_velocity_rad_s").
 * A static text, never NULL. */
KELVARA_EXPORT const char* kelvara_error_message(int32_t result) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_RESULT_H */
