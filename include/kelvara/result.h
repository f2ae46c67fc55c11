/*
 * Kelvara C interface: the result of every call that returns int32_t, and
 * its texts. Include <kelvara.h> rather than this file.
 *
 * 0 is success. -1 means a required pointer was null: nothing was read or
 * written. Every other value is one outcome of kelvara/outcomes.h: a refusal
 * of the command or a fault of the machinery; either changes nothing in the
 * object it came from (except where a fault poisons it).
 */
#ifndef KELVARA_RESULT_H
#define KELVARA_RESULT_H

#include <stdint.h>

#include "kelvara/export.h"

#include "kelvara/outcomes.h"

/* KELVARA_OK, KELVARA_ERR_NULL_POINTER, and KELVARA_ERR_<NAME> for every row
 * of kelvara/outcomes.h, with the row's number (KELVARA_ERR_REPLAY_NONCE is 8,
 * KELVARA_ERR_VELOCITY_EXCEEDED is 10, ...). The list there says what each
 * one means and what to do about it. */
#define KELVARA_RESULT_CONSTANT_(number, NAME, Name, kind, code, message) KELVARA_ERR_##NAME = (number),
enum { KELVARA_OK = 0, KELVARA_ERR_NULL_POINTER = -1, KELVARA_OUTCOMES(KELVARA_RESULT_CONSTANT_) };
#undef KELVARA_RESULT_CONSTANT_

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
