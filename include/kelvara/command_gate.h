/*
 * Kelvara C interface: the command gate, which admits a received command
 * frame (a whole joint vector, signed once) all or nothing. Include
 * <kelvara.h> rather than this file.
 *
 * Checks, in this order, the first failure deciding:
 *   1. KELVARA_ERR_INVALID_FRAME: wrong length for its axis count, wrong
 *      magic, version or flags, an axis count other than the gate's;
 *   2. KELVARA_ERR_UNKNOWN_KEY: no key under the frame's key id;
 *   3. KELVARA_ERR_UNKNOWN_STREAM: a stream id not allowed;
 *   4. KELVARA_ERR_AUTHENTICATION_FAILURE: the tag, compared in constant time;
 *   5. KELVARA_ERR_REPLAY_COUNTER: the counter is not above the last one
 *      admitted on that stream;
 *   6. KELVARA_ERR_STALE_FRAME: the counter is further than the maximum age
 *      from the gate's wall clock (when a maximum age is set);
 *   7. KELVARA_ERR_NON_FINITE_VALUE: a position or velocity is not finite;
 *   8. KELVARA_ERR_OUTSIDE_ENVELOPE: with an envelope set, the positions
 *      break a bound or a row by more than 1e-9 * (1 + |limit|);
 *   9. KELVARA_ERR_STEP_EXCEEDED: with step limits set, an axis moved further
 *      from the last frame admitted on that stream than its limit times the
 *      counter difference in seconds.
 * A refusal changes nothing but the outcome counts; an admission records the
 * counter and the positions for its stream. Streams are independent.
 *
 * The caller owns the storage (static, or from the heap; through an FFI,
 * kelvara_command_gate_size() bytes, 8-byte aligned). The gate never
 * allocates and never locks: the caller serialises every call on one gate.
 * After fork() it refuses in the child (KELVARA_ERR_OTHER_PROCESS).
 *
 * Never restore the storage from a saved copy (a snapshot, a checkpoint, a
 * memcpy back): the copy's replay memory would admit again every frame the
 * gate admitted since. Within one process a restored copy is detected and
 * refused for good (KELVARA_ERR_RESTORED_STORAGE) while at most 4096 gates of
 * either kind are alive; across processes nothing can tell, so a restarted
 * drive relies on freshness instead.
 */
#ifndef KELVARA_COMMAND_GATE_H
#define KELVARA_COMMAND_GATE_H

#include <stddef.h>
#include <stdint.h>

#include "kelvara/export.h"
#include "kelvara/stats.h"
#include "kelvara/wire.h"

/* sizeof(KelvaraCommandGate): 256 key slots, 32 streams with their last
 * positions, a copy of an envelope, with room to spare. */
#define KELVARA_COMMAND_GATE_SIZE 65536
/* Streams one gate can allow. */
#define KELVARA_COMMAND_GATE_STREAMS 32

/* Storage for one command gate. Opaque: touch it only through the functions
 * below. It works only at the address where it was initialised: a copy is
 * refused with KELVARA_ERR_INVALID_POINTER. */
typedef struct KelvaraCommandGate {
  union {
    uint64_t align_u64;
    double align_double;
    void* align_pointer;
    unsigned char bytes[KELVARA_COMMAND_GATE_SIZE];
  } opaque;
} KelvaraCommandGate;

/* An admitted frame: its header and the exact doubles that were signed. 528
 * bytes; entries at and beyond axes are zero. */
typedef struct KelvaraCommand {
  uint64_t counter; /* the sender's clock, nanoseconds since the Unix epoch */
  uint32_t stream_id;
  uint16_t axes;
  uint8_t key_id;
  uint8_t reserved; /* zero */
  double positions[KELVARA_FRAME_MAX_AXES];
  double velocities[KELVARA_FRAME_MAX_AXES];
} KelvaraCommand;

/* The general envelope, made by the functions of kelvara/envelope.h. */
struct KelvaraEnvelope;

#ifdef __cplusplus
extern "C" {
#endif

/* sizeof(KelvaraCommandGate), for callers that cannot see the type. */
KELVARA_EXPORT size_t kelvara_command_gate_size(void) KELVARA_NOEXCEPT;

/*
 * Makes a gate in `gate`'s storage for frames of `axes` axes (1 to
 * KELVARA_FRAME_MAX_AXES). Frames whose counter is more than max_age_nanos
 * from the wall clock are refused as stale; 0 switches freshness off (then a
 * restarted gate admits recorded old frames). No keys, no streams, no
 * envelope, no step limits yet. Whatever the storage held is overwritten, an
 * earlier gate there included.
 *
 * Returns KELVARA_OK, -1 when gate is NULL, KELVARA_ERR_INVALID_POINTER when
 * it is not 8-byte aligned, or KELVARA_ERR_INVALID_ARGUMENT for axes out of
 * range (then the storage holds no gate).
 */
KELVARA_EXPORT KELVARA_MUST_USE int32_t kelvara_command_gate_init(KelvaraCommandGate* gate, size_t axes,
                                                                  uint64_t max_age_nanos) KELVARA_NOEXCEPT;

/* Checks frames under key_id with key (KELVARA_KEY_SIZE bytes, copied) from
 * now on. Returns KELVARA_OK, -1, KELVARA_ERR_INVALID_POINTER, or
 * KELVARA_ERR_DUPLICATE_KEY when key_id holds a key already (remove it
 * first). Key rotation: add the new key under a new id, move the senders to
 * it, remove the old one. */
KELVARA_EXPORT int32_t kelvara_command_gate_add_key(KelvaraCommandGate* gate, uint8_t key_id,
                                                    const uint8_t key[KELVARA_KEY_SIZE]) KELVARA_NOEXCEPT;

/* Erases the key under key_id. Returns KELVARA_OK, -1,
 * KELVARA_ERR_INVALID_POINTER, or KELVARA_ERR_UNKNOWN_KEY. */
KELVARA_EXPORT int32_t kelvara_command_gate_remove_key(KelvaraCommandGate* gate,
                                                       uint8_t key_id) KELVARA_NOEXCEPT;

/* Admits frames of stream_id from now on (again: no change). Returns
 * KELVARA_OK, -1, KELVARA_ERR_INVALID_POINTER, or
 * KELVARA_ERR_STREAM_TABLE_FULL beyond KELVARA_COMMAND_GATE_STREAMS. */
KELVARA_EXPORT int32_t kelvara_command_gate_allow_stream(KelvaraCommandGate* gate,
                                                         uint32_t stream_id) KELVARA_NOEXCEPT;

/* Copies envelope into the gate; positions must lie in it from now on (the
 * envelope's storage may then be reused). Check the result: a gate whose
 * envelope was refused admits positions outside it (and likewise for the step
 * limits below). Returns KELVARA_OK, -1,
 * KELVARA_ERR_INVALID_POINTER (for either storage, holding no gate or no
 * envelope), or KELVARA_ERR_INVALID_ARGUMENT when its axis count is not the
 * gate's. */
KELVARA_EXPORT KELVARA_MUST_USE int32_t kelvara_command_gate_set_envelope(
    KelvaraCommandGate* gate, const struct KelvaraEnvelope* envelope) KELVARA_NOEXCEPT;

/* Per-axis step limits in rad/s (axes values, copied; each >= 0, INFINITY
 * for none). Returns KELVARA_OK, -1, KELVARA_ERR_INVALID_POINTER, or
 * KELVARA_ERR_INVALID_ARGUMENT for a NaN or negative limit. */
KELVARA_EXPORT KELVARA_MUST_USE int32_t
kelvara_command_gate_set_max_step(KelvaraCommandGate* gate, const double* max_step_rad_s) KELVARA_NOEXCEPT;

/*
 * Admits one received frame of `size` bytes (only those are read). On
 * KELVARA_OK (apply the command) writes it to *out; on any other result
 * (do not apply it) out is not written.
 *
 * Returns KELVARA_OK, -1 when gate, frame or out is NULL, one of the nine
 * refusals above, or KELVARA_ERR_CLOCK_FAILURE, KELVARA_ERR_OTHER_PROCESS,
 * KELVARA_ERR_RESTORED_STORAGE or KELVARA_ERR_INVALID_POINTER.
 */
KELVARA_EXPORT KELVARA_MUST_USE int32_t kelvara_command_gate_admit(KelvaraCommandGate* gate,
                                                                   const uint8_t* frame, size_t size,
                                                                   KelvaraCommand* out) KELVARA_NOEXCEPT;

/* Writes the gate's outcome counts to *out. Returns KELVARA_OK, -1, or
 * KELVARA_ERR_INVALID_POINTER. */
KELVARA_EXPORT int32_t kelvara_command_gate_stats(const KelvaraCommandGate* gate,
                                                  KelvaraOutcomeCounts* out) KELVARA_NOEXCEPT;

/* Destroys the gate and wipes the whole storage, keys included; the storage
 * may then be reused or freed. NULL is ignored. */
KELVARA_EXPORT void kelvara_command_gate_clear(KelvaraCommandGate* gate) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_COMMAND_GATE_H */
