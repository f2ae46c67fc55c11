// The actuator's gate in C, in storage the caller owns: an edge ActuatorGate
// placed in the KelvaraGate's bytes with a mark that says the storage holds a
// gate made at this very address, and a seal that says it is the gate's
// latest state. Storage that was never initialised, was cleared, or is a copy
// lacks the mark; storage restored from a saved copy breaks the seal. Both are
// refused instead of being used.
#include <algorithm>
#include <cstring>  // memcpy; explicit_bzero (glibc)
#include <new>
#include <span>

#include "kelvara.h"
#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/admission_seal.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "result_code.hpp"
#include "with_sources.hpp"

namespace kelvara::capi {
namespace {

// Mixed with the storage's address to form the mark; any value works that the
// address alone is unlikely to equal.
constexpr std::uintptr_t kGateMarkSalt = 0x6b656c7661726147u;

struct GateSlot {
  GateSlot(std::uintptr_t mark, const security::Key& key, edge::PlatformSources sources) noexcept
      : mark(mark), seal(edge::AdmissionSeal::claim()), gate(key, sources, "KelvaraGate") {}
  ~GateSlot() { seal.release(); }

  std::uintptr_t mark;  // the slot's address ^ kGateMarkSalt while it holds a gate
  edge::AdmissionSeal seal;
  edge::ActuatorGate gate;
};

static_assert(sizeof(GateSlot) <= sizeof(KelvaraGate), "raise KELVARA_GATE_SIZE (an ABI change)");
static_assert(alignof(GateSlot) <= alignof(KelvaraGate));

// The storage as bytes: never a member access, which a misaligned pointer
// would make undefined.
unsigned char* storage_of(const KelvaraGate* gate) noexcept {
  return reinterpret_cast<unsigned char*>(const_cast<KelvaraGate*>(gate));
}

std::uintptr_t mark_for(const unsigned char* storage) noexcept {
  return reinterpret_cast<std::uintptr_t>(storage) ^ kGateMarkSalt;
}

// The gate the storage holds, or null when it holds none (or gate is null).
GateSlot* slot_of(const KelvaraGate* gate) noexcept {
  if (gate == nullptr) return nullptr;
  unsigned char* storage = storage_of(gate);
  std::uintptr_t mark;
  std::memcpy(&mark, storage, sizeof mark);  // the storage may be misaligned or hold anything
  if (mark != mark_for(storage)) return nullptr;
  return std::launder(reinterpret_cast<GateSlot*>(storage));
}

}  // namespace

std::int32_t init_gate(KelvaraGate* gate, const std::uint8_t* key, edge::PlatformSources sources) noexcept {
  if (gate == nullptr || key == nullptr) return KELVARA_ERR_NULL_POINTER;
  unsigned char* storage = storage_of(gate);
  if (reinterpret_cast<std::uintptr_t>(storage) % alignof(GateSlot) != 0) return KELVARA_ERR_INVALID_POINTER;
  security::Key gate_key;
  const security::WipedOnExit wiped_key(gate_key);
  std::copy_n(key, gate_key.size(), gate_key.begin());
  if (GateSlot* earlier = slot_of(gate)) earlier->~GateSlot();
  new (storage) GateSlot(mark_for(storage), gate_key, sources);
  return KELVARA_OK;
}

}  // namespace kelvara::capi

extern "C" size_t kelvara_gate_size(void) noexcept { return sizeof(KelvaraGate); }

extern "C" int32_t kelvara_gate_init(KelvaraGate* gate, const uint8_t key[KELVARA_KEY_SIZE]) noexcept {
  return kelvara::capi::init_gate(gate, key, kelvara::edge::PlatformSources{});
}

extern "C" int32_t kelvara_gate_set_max_age(KelvaraGate* gate, uint64_t max_age_nanos) noexcept {
  if (gate == nullptr) return KELVARA_ERR_NULL_POINTER;
  kelvara::capi::GateSlot* slot = kelvara::capi::slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  slot->gate.set_max_age_nanos(max_age_nanos);
  return KELVARA_OK;
}

extern "C" int32_t kelvara_gate_admit(KelvaraGate* gate, const uint8_t receipt[KELVARA_RECEIPT_SIZE],
                                      int32_t target_axis, double requested_position,
                                      double commanded_velocity) noexcept {
  if (gate == nullptr || receipt == nullptr) return KELVARA_ERR_NULL_POINTER;
  kelvara::capi::GateSlot* slot = kelvara::capi::slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  // Storage restored from a saved copy holds an old replay memory: refused
  // for good, since the cell never returns to the copy's value.
  if (!slot->seal.intact()) return KELVARA_ERR_RESTORED_STORAGE;
  const std::span<const std::uint8_t, KELVARA_RECEIPT_SIZE> receipt_bytes(receipt, KELVARA_RECEIPT_SIZE);
  const auto outcome = slot->gate.admit(receipt_bytes, target_axis, requested_position, commanded_velocity);
  if (!outcome) return kelvara::capi::result_code(outcome.error());
  slot->seal.advance();
  return KELVARA_OK;
}

extern "C" uint64_t kelvara_gate_last_sequence_id(const KelvaraGate* gate) noexcept {
  const kelvara::capi::GateSlot* slot = kelvara::capi::slot_of(gate);
  return slot == nullptr ? 0 : slot->gate.last_sequence_id();
}

extern "C" int32_t kelvara_gate_stats(const KelvaraGate* gate, KelvaraOutcomeCounts* out) noexcept {
  if (gate == nullptr || out == nullptr) return KELVARA_ERR_NULL_POINTER;
  const kelvara::capi::GateSlot* slot = kelvara::capi::slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  const auto counts = slot->gate.stats().counts();
  std::ranges::copy(counts, out->count);
  return KELVARA_OK;
}

extern "C" void kelvara_gate_clear(KelvaraGate* gate) noexcept {
  if (gate == nullptr) return;
  if (kelvara::capi::GateSlot* slot = kelvara::capi::slot_of(gate)) slot->~GateSlot();
  // A wipe the compiler may not drop although nothing reads the bytes again.
  explicit_bzero(kelvara::capi::storage_of(gate), sizeof(KelvaraGate));
}
