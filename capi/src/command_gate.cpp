// The command gate in C, in storage the caller owns: an edge CommandGate
// placed in the KelvaraCommandGate's bytes with a mark that says the storage
// holds a gate made at this very address, and a seal that says it is the
// gate's latest state. Storage that was never initialised, was cleared or is
// a copy lacks the mark; storage restored from a saved copy breaks the seal.
// Both are refused instead of being used.
#include <algorithm>
#include <cstring>  // memcpy; explicit_bzero (glibc)
#include <new>
#include <span>

#include "envelope_storage.hpp"
#include "kelvara.h"
#include "kelvara/edge/admission_seal.hpp"
#include "kelvara/edge/command_gate.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "result_code.hpp"
#include "with_sources.hpp"

namespace kelvara::capi {
namespace {

// Mixed with the storage's address to form the mark (not the per-axis gate's).
constexpr std::uintptr_t kCommandGateMarkSalt = 0x6b656c76436d6447u;

struct CommandGateSlot {
  CommandGateSlot(std::uintptr_t mark, std::size_t axes, std::uint64_t max_age_nanos,
                  edge::PlatformSources sources) noexcept
      : mark(mark),
        seal(edge::AdmissionSeal::claim()),
        gate(axes, max_age_nanos, sources, "KelvaraCommandGate") {}
  ~CommandGateSlot() { seal.release(); }

  std::uintptr_t mark;  // the slot's address ^ kCommandGateMarkSalt while it holds a gate
  edge::AdmissionSeal seal;
  edge::CommandGate gate;
};

static_assert(sizeof(CommandGateSlot) <= sizeof(KelvaraCommandGate),
              "raise KELVARA_COMMAND_GATE_SIZE (an ABI change)");
static_assert(alignof(CommandGateSlot) <= alignof(KelvaraCommandGate));
static_assert(KELVARA_COMMAND_GATE_STREAMS == edge::kCommandGateStreams &&
              KELVARA_OUTCOME_SLOTS == edge::kOutcomeSlots);
static_assert(sizeof(KelvaraCommand::positions) / sizeof(double) == security::kFrameMaxAxes);

unsigned char* storage_of(const KelvaraCommandGate* gate) noexcept {
  return reinterpret_cast<unsigned char*>(const_cast<KelvaraCommandGate*>(gate));
}

std::uintptr_t mark_for(const unsigned char* storage) noexcept {
  return reinterpret_cast<std::uintptr_t>(storage) ^ kCommandGateMarkSalt;
}

// The gate the storage holds, or null when it holds none (or gate is null).
CommandGateSlot* slot_of(const KelvaraCommandGate* gate) noexcept {
  if (gate == nullptr) return nullptr;
  unsigned char* storage = storage_of(gate);
  std::uintptr_t mark;
  std::memcpy(&mark, storage, sizeof mark);  // the storage may be misaligned or hold anything
  if (mark != mark_for(storage)) return nullptr;
  return std::launder(reinterpret_cast<CommandGateSlot*>(storage));
}

std::int32_t result_of(const std::expected<void, edge::Refusal>& outcome) noexcept {
  return outcome ? KELVARA_OK : result_code(outcome.error());
}

}  // namespace

std::int32_t init_command_gate(KelvaraCommandGate* gate, std::size_t axes, std::uint64_t max_age_nanos,
                               edge::PlatformSources sources) noexcept {
  if (gate == nullptr) return KELVARA_ERR_NULL_POINTER;
  unsigned char* storage = storage_of(gate);
  if (reinterpret_cast<std::uintptr_t>(storage) % alignof(CommandGateSlot) != 0) {
    return KELVARA_ERR_INVALID_POINTER;
  }
  if (CommandGateSlot* earlier = slot_of(gate)) earlier->~CommandGateSlot();
  if (auto valid = edge::CommandGate::check_axes(axes); !valid) {
    explicit_bzero(storage, sizeof(KelvaraCommandGate));  // holds no gate, earlier keys erased
    return result_code(valid.error());
  }
  new (storage) CommandGateSlot(mark_for(storage), axes, max_age_nanos, sources);
  return KELVARA_OK;
}

}  // namespace kelvara::capi

using kelvara::capi::CommandGateSlot;
using kelvara::capi::slot_of;

extern "C" size_t kelvara_command_gate_size(void) noexcept { return sizeof(KelvaraCommandGate); }

extern "C" int32_t kelvara_command_gate_init(KelvaraCommandGate* gate, size_t axes,
                                             uint64_t max_age_nanos) noexcept {
  return kelvara::capi::init_command_gate(gate, axes, max_age_nanos, kelvara::edge::PlatformSources{});
}

extern "C" int32_t kelvara_command_gate_add_key(KelvaraCommandGate* gate, uint8_t key_id,
                                                const uint8_t key[KELVARA_KEY_SIZE]) noexcept {
  if (gate == nullptr || key == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  kelvara::security::Key gate_key;
  const kelvara::security::WipedOnExit wiped_key(gate_key);
  std::copy_n(key, gate_key.size(), gate_key.begin());
  return kelvara::capi::result_of(slot->gate.add_key(key_id, gate_key));
}

extern "C" int32_t kelvara_command_gate_remove_key(KelvaraCommandGate* gate, uint8_t key_id) noexcept {
  if (gate == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  return kelvara::capi::result_of(slot->gate.remove_key(key_id));
}

extern "C" int32_t kelvara_command_gate_allow_stream(KelvaraCommandGate* gate, uint32_t stream_id) noexcept {
  if (gate == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  return kelvara::capi::result_of(slot->gate.allow_stream(stream_id));
}

extern "C" int32_t kelvara_command_gate_set_envelope(KelvaraCommandGate* gate,
                                                     const struct KelvaraEnvelope* envelope) noexcept {
  if (gate == nullptr || envelope == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  const kelvara::core::Envelope* held = kelvara::capi::envelope_in(envelope);
  if (slot == nullptr || held == nullptr) return KELVARA_ERR_INVALID_POINTER;
  return kelvara::capi::result_of(slot->gate.set_envelope(*held));
}

extern "C" int32_t kelvara_command_gate_set_max_step(KelvaraCommandGate* gate,
                                                     const double* max_step_rad_s) noexcept {
  if (gate == nullptr || max_step_rad_s == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  return kelvara::capi::result_of(slot->gate.set_max_step(std::span(max_step_rad_s, slot->gate.axes())));
}

extern "C" int32_t kelvara_command_gate_admit(KelvaraCommandGate* gate, const uint8_t* frame, size_t size,
                                              KelvaraCommand* out) noexcept {
  if (gate == nullptr || frame == nullptr || out == nullptr) return KELVARA_ERR_NULL_POINTER;
  CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  // Storage restored from a saved copy holds an old replay memory: refused
  // for good, since the cell never returns to the copy's value.
  if (!slot->seal.intact()) {
    const auto restored = kelvara::edge::Refusal::of(kelvara::edge::Outcome::RestoredStorage);
    slot->gate.count_refusal(restored);
    return kelvara::capi::result_code(restored);
  }
  kelvara::edge::Command command;
  const auto outcome = slot->gate.admit(std::span(frame, size), command);
  if (!outcome) return kelvara::capi::result_code(outcome.error());
  slot->seal.advance();
  out->counter = command.counter;
  out->stream_id = command.stream_id;
  out->axes = command.axes;
  out->key_id = command.key_id;
  out->reserved = 0;
  std::copy(command.positions.begin(), command.positions.end(), out->positions);
  std::copy(command.velocities.begin(), command.velocities.end(), out->velocities);
  return KELVARA_OK;
}

extern "C" int32_t kelvara_command_gate_stats(const KelvaraCommandGate* gate,
                                              KelvaraOutcomeCounts* out) noexcept {
  if (gate == nullptr || out == nullptr) return KELVARA_ERR_NULL_POINTER;
  const CommandGateSlot* slot = slot_of(gate);
  if (slot == nullptr) return KELVARA_ERR_INVALID_POINTER;
  const auto counts = slot->gate.stats().counts();
  std::copy(counts.begin(), counts.end(), out->count);
  return KELVARA_OK;
}

extern "C" void kelvara_command_gate_clear(KelvaraCommandGate* gate) noexcept {
  if (gate == nullptr) return;
  if (CommandGateSlot* slot = slot_of(gate)) slot->~CommandGateSlot();
  // A wipe the compiler may not drop although nothing reads the bytes again.
  explicit_bzero(kelvara::capi::storage_of(gate), sizeof(KelvaraCommandGate));
}
