/*
 * Kelvara C interface: the actuator's gate, which admits a received command
 * only when its receipt is authentic, fresh and not replayed. Include
 * <kelvara.h> rather than this file.
 *
 * The same rules as Python's KelGate, in this order: the sequence id is above
 * the last admitted, the nonce is not among the last 1024 admitted, the tag
 * matches the command under the key; then, when a maximum age is set, the
 * receipt's timestamp is within it of the gate's own wall clock. A refusal
 * changes nothing; an admission records the sequence id and the nonce.
 *
 * The caller owns the storage (static, on the stack, or from the heap; C
 * callers through an FFI allocate kelvara_gate_size() bytes, 8-byte aligned).
 * The gate never allocates and never locks: the caller serialises every call
 * on one gate. After fork() it refuses in the child
 * (KELVARA_ERR_OTHER_PROCESS).
 *
 * Never restore the storage from a saved copy (a snapshot, a checkpoint, a
 * memcpy back): the copy's replay memory would admit again every receipt the
 * gate admitted since. Within one process a restored copy is detected and
 * refused for good (KELVARA_ERR_RESTORED_STORAGE) while at most 4096 gates
 * of either kind are alive; across processes nothing can tell, so set a
 * maximum age.
 */
#ifndef KELVARA_GATE_H
#define KELVARA_GATE_H

#include <stddef.h>
#include <stdint.h>

#include "kelvara/export.h"
#include "kelvara/stats.h"
#include "kelvara/wire.h"

/* sizeof(KelvaraGate): the replay memory of 1024 nonces and the prepared key,
 * with room to spare. */
#define KELVARA_GATE_SIZE 13312

/* Storage for one gate. Opaque: touch it only through the functions below.
 * A gate works only at the address where it was initialised: a copy (struct
 * assignment, memcpy, realloc) is refused with KELVARA_ERR_INVALID_POINTER,
 * because two copies would each admit the same receipt. */
typedef struct KelvaraGate {
  union {
    uint64_t align_u64;
    double align_double;
    void* align_pointer;
    unsigned char bytes[KELVARA_GATE_SIZE];
  } opaque;
} KelvaraGate;

#ifdef __cplusplus
extern "C" {
#endif

/* sizeof(KelvaraGate), for callers that cannot see the type. */
KELVARA_EXPORT size_t kelvara_gate_size(void) KELVARA_NOEXCEPT;

/*
 * Makes a gate in `gate`'s storage that checks tags under key
 * (KELVARA_KEY_SIZE bytes, copied); freshness starts switched off. Whatever
 * the storage held is overwritten, an earlier gate there included.
 *
 * Returns KELVARA_OK, -1 when gate or key is NULL, or
 * KELVARA_ERR_INVALID_POINTER when gate is not 8-byte aligned.
 */
KELVARA_EXPORT int32_t kelvara_gate_init(KelvaraGate* gate,
                                         const uint8_t key[KELVARA_KEY_SIZE]) KELVARA_NOEXCEPT;

/*
 * Refuse receipts stamped more than max_age_nanos behind or ahead of the
 * gate's wall clock (KELVARA_ERR_STALE_RECEIPT); 0 switches freshness off.
 * Returns KELVARA_OK, -1 for NULL, or KELVARA_ERR_INVALID_POINTER.
 */
KELVARA_EXPORT int32_t kelvara_gate_set_max_age(KelvaraGate* gate, uint64_t max_age_nanos) KELVARA_NOEXCEPT;

/*
 * Admits one received command: receipt (KELVARA_RECEIPT_SIZE bytes) with
 * target_axis, requested_position and commanded_velocity as received.
 *
 * Returns KELVARA_OK (apply the command), -1 when gate or receipt is NULL,
 * or a refusal (do not apply it): KELVARA_ERR_REPLAY_COUNTER,
 * KELVARA_ERR_REPLAY_NONCE, KELVARA_ERR_AUTHENTICATION_FAILURE,
 * KELVARA_ERR_STALE_RECEIPT, KELVARA_ERR_CLOCK_FAILURE,
 * KELVARA_ERR_OTHER_PROCESS, KELVARA_ERR_RESTORED_STORAGE or
 * KELVARA_ERR_INVALID_POINTER.
 */
KELVARA_EXPORT int32_t kelvara_gate_admit(KelvaraGate* gate, const uint8_t receipt[KELVARA_RECEIPT_SIZE],
                                          int32_t target_axis, double requested_position,
                                          double commanded_velocity) KELVARA_NOEXCEPT;

/* The sequence id of the last admitted receipt; 0 before the first, and for
 * a NULL or unusable gate. */
KELVARA_EXPORT uint64_t kelvara_gate_last_sequence_id(const KelvaraGate* gate) KELVARA_NOEXCEPT;

/*
 * How often each outcome came out of kelvara_gate_admit on this gate since
 * it was initialised: out->count[0] admissions, out->count[r] the calls that
 * returned r (refusals and faults; NULL arguments are not counted). Call it
 * under the same serialisation as kelvara_gate_admit.
 *
 * Returns KELVARA_OK, -1 when gate or out is NULL, or
 * KELVARA_ERR_INVALID_POINTER when the storage holds no gate (*out is then
 * untouched).
 */
KELVARA_EXPORT int32_t kelvara_gate_stats(const KelvaraGate* gate,
                                          KelvaraOutcomeCounts* out) KELVARA_NOEXCEPT;

/* Destroys the gate and wipes the whole storage, key included; the storage
 * may then be reused or freed. Storage holding no gate (never initialised,
 * cleared, or a copy) is wiped too; NULL is ignored. */
KELVARA_EXPORT void kelvara_gate_clear(KelvaraGate* gate) KELVARA_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARA_GATE_H */
