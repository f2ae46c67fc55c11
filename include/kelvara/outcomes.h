/*
 * Kelvara C interface: every outcome of a call other than success, one row
 * each. Include <kelvara.h> rather than this file.
 *
 * This list is the one place an outcome is defined: the C constants and
 * texts of kelvara/result.h, the libraries' own error values and the Python
 * exceptions are all derived from it. A row reads
 *
 *   X(number, NAME, Name, kind, "code", "message")
 *
 *   number   the int32_t result of a C call, KELVARA_ERR_<NAME>; never reused
 *   Name     the same outcome's name inside the C++ libraries
 *   kind     REFUSAL: the command was judged and refused; do not apply it
 *            (Python raises KelViolation with the code and message)
 *            FAULT: the machinery failed and the command was never judged
 *            (Python raises RuntimeError with the message)
 *   code     snake_case; kelvara_error_code, KelViolation.violation_type
 *   message  one line; kelvara_error_message. Python fills in the numbers or
 *            the cause where it has them.
 *
 * To add an outcome, add one row at the end of the second list with the next
 * free number, and its line in docs/c-api.md and docs/python-api.md.
 */
#ifndef KELVARA_OUTCOMES_H
#define KELVARA_OUTCOMES_H

/* The values of the kind column. */
#define KELVARA_OUTCOME_REFUSAL 0
#define KELVARA_OUTCOME_FAULT 1

/* clang-format off */

/*
 * 1-9: the kinds of the security checks. Their numbers, codes and messages are
 * part of the module's fixed contract and stay as they are, whether or not any
 * operation produces them today.
 *
 * In C, code 1 also refuses gate storage that is misaligned, was never
 * initialised, was cleared, or is a copy of a gate (a gate works only where it
 * was initialised). Code 6: the receipt's tag does not match the command under
 * the key (forged, corrupted, signed under another key, or sent with another
 * command). Code 7: the sequence id is not above the last one admitted
 * (replayed or reordered). Code 8: the nonce is among the last 1024 admitted.
 */
#define KELVARA_SECURITY_OUTCOMES(X) \
  X(1, INVALID_POINTER, InvalidPointer, REFUSAL, "invalid_pointer", "null or misaligned pointer") \
  X(2, ACTION_ID_OVERFLOW, ActionIdOverflow, REFUSAL, "action_id_overflow", "action id exceeds maximum size") \
  X(3, PAYLOAD_OVERFLOW, PayloadOverflow, REFUSAL, "payload_overflow", "payload exceeds maximum size") \
  X(4, INVALID_RECEIPT, InvalidReceipt, REFUSAL, "invalid_receipt", "receipt is malformed") \
  X(5, INVALID_KEY_LENGTH, InvalidKeyLength, REFUSAL, "invalid_key_length", "key must be 32 bytes") \
  X(6, AUTHENTICATION_FAILURE, AuthenticationFailure, REFUSAL, "authentication_failure", \
    "HMAC verification failed") \
  X(7, REPLAY_COUNTER, ReplayCounter, REFUSAL, "replay_counter", "monotonic counter violation (replay)") \
  X(8, REPLAY_NONCE, ReplayNonce, REFUSAL, "replay_nonce", "nonce reuse detected") \
  X(9, HARDWARE_SHA_UNAVAILABLE, HardwareShaUnavailable, REFUSAL, "hardware_sha_unavailable", \
    "hardware SHA unavailable")

/*
 * 10 onwards: the edge policy's refusals of a command, then the failures of
 * the machinery.
 *
 * 10: |commanded_velocity| is above the limit, or either of them is NaN.
 * 11: the one-second rate window has admitted its limit already.
 * 12: the receipt's timestamp is further from the gate's clock than its
 *     maximum age.
 * 13: an earlier internal fault poisoned the boundary; make a new one.
 * 14: the random source failed; the sequence id is spent, nothing else.
 * 15: the object was made in another process (before a fork); make a new one.
 * 16: the gate could not read its clock to check freshness.
 * 17: an unexpected fault (such as the boundary failing to read the clock);
 *     the boundary is now poisoned.
 * 18: an envelope was refused at construction: axes outside 1 to 32, more
 *     than 32 rows, a NaN bound, min_bound above max_bound, a lower bound of
 *     +inf or an upper bound of -inf, a NaN or infinite coefficient, or a NaN
 *     limit. (Python raises ValueError naming the value at fault instead.)
 *
 * 19-25: the command gate's refusals of a frame, in the order it checks
 * them (between 21 and 22 come 6, the tag, and 7, the stream's counter).
 * 19: wrong length for its axis count, wrong magic, version or flags, or an
 *     axis count other than the gate's.
 * 20: no key under the frame's key id.
 * 21: the frame's stream is not allowed at this gate.
 * 22: the frame's counter is further from the gate's clock than its maximum age.
 * 23: a position or velocity is NaN or infinite (the signer refuses it too).
 * 24: the positions lie outside the gate's envelope.
 * 25: an axis moved further since the stream's last admitted frame than its
 *     step limit times the counter difference allows.
 * 26-30: requests a signer or command gate cannot carry out; nothing changed.
 * 26: the output buffer is shorter than the frame.
 * 27: the key id holds a key already; remove it first.
 * 28: the gate allows as many streams as it can hold.
 * 29: an axis count, limit or length is out of range.
 * 30: gate storage was restored from a saved copy, whose replay memory is out
 *     of date; initialise a new gate.
 */
#define KELVARA_POLICY_OUTCOMES(X) \
  X(10, VELOCITY_EXCEEDED, VelocityExceeded, REFUSAL, "velocity_exceeded", \
    "commanded_velocity exceeds max_velocity_rad_s") \
  X(11, RATE_LIMITED, RateLimited, REFUSAL, "rate_limited", "action rate limit exceeded") \
  X(12, STALE_RECEIPT, StaleReceipt, REFUSAL, "stale_receipt", \
    "receipt timestamp is further from the gate's clock than its maximum age") \
  X(13, POISONED_STATE, PoisonedState, FAULT, "poisoned_state", "state is poisoned") \
  X(14, NONCE_FAILURE, NonceFailure, FAULT, "nonce_failure", "failed to generate nonce") \
  X(15, OTHER_PROCESS, OtherProcess, FAULT, "other_process", \
    "used in a process other than the one that created it; after fork, create a new one") \
  X(16, CLOCK_FAILURE, ClockFailure, FAULT, "clock_failure", "failed to read the real-time clock") \
  X(17, INTERNAL_FAULT, InternalFault, FAULT, "internal_fault", "internal fault; the state is now poisoned") \
  X(18, INVALID_ENVELOPE, InvalidEnvelope, REFUSAL, "invalid_envelope", \
    "envelope sizes or values are invalid") \
  X(19, INVALID_FRAME, InvalidFrame, REFUSAL, "invalid_frame", \
    "not a command frame of this gate (length, magic, version, flags or axis count)") \
  X(20, UNKNOWN_KEY, UnknownKey, REFUSAL, "unknown_key", "no key under the frame's key id") \
  X(21, UNKNOWN_STREAM, UnknownStream, REFUSAL, "unknown_stream", "the frame's stream is not allowed") \
  X(22, STALE_FRAME, StaleFrame, REFUSAL, "stale_frame", \
    "frame counter is further from the gate's clock than its maximum age") \
  X(23, NON_FINITE_VALUE, NonFiniteValue, REFUSAL, "non_finite_value", "a position or velocity is not finite") \
  X(24, OUTSIDE_ENVELOPE, OutsideEnvelope, REFUSAL, "outside_envelope", "positions lie outside the envelope") \
  X(25, STEP_EXCEEDED, StepExceeded, REFUSAL, "step_exceeded", "an axis moved further than its step limit allows") \
  X(26, FRAME_BUFFER_TOO_SMALL, FrameBufferTooSmall, FAULT, "frame_buffer_too_small", \
    "the output buffer is shorter than the frame") \
  X(27, DUPLICATE_KEY, DuplicateKey, FAULT, "duplicate_key", "the key id holds a key already; remove it first") \
  X(28, STREAM_TABLE_FULL, StreamTableFull, FAULT, "stream_table_full", \
    "the gate allows as many streams as it can hold") \
  X(29, INVALID_ARGUMENT, InvalidArgument, FAULT, "invalid_argument", "an argument is out of range") \
  X(30, RESTORED_STORAGE, RestoredStorage, FAULT, "restored_storage", \
    "gate storage was restored from a saved copy; initialise a new gate")

/* clang-format on */

/* Every row, in number order. */
#define KELVARA_OUTCOMES(X) KELVARA_SECURITY_OUTCOMES(X) KELVARA_POLICY_OUTCOMES(X)

#endif /* KELVARA_OUTCOMES_H */
