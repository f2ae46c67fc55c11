// KelGate: the actuator side in Python. Admits a received command only when
// its 60-byte receipt is authentic, fresh and not replayed, and hands back the
// KelReceipt of what it admitted.
#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "frame_arguments.hpp"
#include "instance.hpp"
#include "kel_receipt.hpp"
#include "kel_violation.hpp"
#include "kelvara/edge/actuator_gate.hpp"
#include "kelvara/edge/state_lock.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "outcome_stats.hpp"

namespace kelvara::py {
namespace {

// Many threads may call admit on one gate: the lock makes each check-and-record
// one step, so of two identical receipts exactly one is admitted.
struct GateRecord {
  GateRecord(const security::Key& key, std::uint64_t max_age_nanos) : gate(key) {
    auto locked = gate.lock();
    locked->set_max_age_nanos(max_age_nanos);
    locked.complete();
  }
  edge::StateLock<edge::ActuatorGate> gate;
};

GateRecord& gate_of(PyObject* self) { return record_of<GateRecord>(self); }

constexpr Signature<2> kNewSignature{"KelGate.__new__()", {"hmac_key", "max_age_s"}, 1, 1};
constexpr Signature<4> kAdmitSignature{
    "KelGate.admit()", {"receipt_hash", "target_axis", "requested_position", "commanded_velocity"}, 4};

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Bytes key_bytes;
  PyObject* max_age_s = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, key_bytes, max_age_s)) return nullptr;
  if (key_bytes.data.size() != security::kKeySize) return kKeyLengthError.raise();
  std::uint64_t max_age_nanos = 0;  // absent: freshness off
  if (max_age_s != nullptr && !max_age_nanos_of(max_age_s, max_age_nanos)) return nullptr;
  security::Key key;
  const security::WipedOnExit wiped_key(key);
  std::copy_n(key_bytes.data.begin(), key.size(), key.begin());
  return new_instance<GateRecord>(type, key, max_age_nanos);
}

PyObject* admit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Bytes receipt_hash;
  std::int32_t target_axis;
  double requested_position;
  double commanded_velocity;
  if (!parse(kAdmitSignature, args, nargsf, kwnames, receipt_hash, target_axis, requested_position,
             commanded_velocity)) {
    return nullptr;
  }
  GateRecord& record = gate_of(self);
  if (!record.gate.unguarded().in_creating_process()) {
    return raise_refusal(target_axis, edge::Refusal::other_process("KelGate"));
  }
  const auto outcome = [&]() -> std::expected<edge::ReceiptRecord, edge::Refusal> {
    auto gate = record.gate.lock();
    gate.complete();  // admit cannot fail midway: every outcome leaves the gate consistent
    if (receipt_hash.data.size() != security::kReceiptSize) {
      const auto malformed = edge::Refusal::security(security::KelError::InvalidReceipt);
      gate->count_refusal(malformed);
      return std::unexpected(malformed);
    }
    return gate->admit(receipt_hash.data.first<security::kReceiptSize>(), target_axis, requested_position,
                       commanded_velocity);
  }();
  if (!outcome) return raise_refusal(target_axis, outcome.error());
  return new_kel_receipt(*outcome);
}

PyObject* get_last_sequence_id(PyObject* self, void*) {
  auto gate = gate_of(self).gate.lock();
  gate.complete();
  return PyLong_FromUnsignedLongLong(gate->last_sequence_id());
}

// The refusals admit raises as KelViolation, in the order they are checked.
constexpr security::Outcome kRefusals[] = {
    security::Outcome::InvalidReceipt, security::Outcome::ReplayCounter,
    security::Outcome::ReplayNonce,    security::Outcome::AuthenticationFailure,
    security::Outcome::StaleReceipt,
};

// The counts are atomic: no lock is needed to read them.
PyObject* get_stats(PyObject* self, void*) {
  return stats_mapping(gate_of(self).gate.unguarded().stats(), "admitted", kRefusals);
}

PyGetSetDef kGetSet[] = {
    {"last_sequence_id", get_last_sequence_id, nullptr,
     "Sequence id of the last admitted receipt; 0 before the first.", nullptr},
    {"stats", get_stats, nullptr,
     "How often each outcome came out of admit: a new dict from code to count, "
     "'admitted' and every refusal code.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"admit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(admit)),
     METH_FASTCALL | METH_KEYWORDS,
     "admit($self, receipt_hash, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Admit one received command if its receipt is authentic, fresh and not replayed; "
     "return its KelReceipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("KelGate(hmac_key, *, max_age_s=None)\n--\n\n"
                                  "Actuator-side gate that admits only authentic, fresh, "
                                  "unreplayed commands.")},
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GateRecord>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelGate",
    sizeof(Instance<GateRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_gate_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
