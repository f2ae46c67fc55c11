// KelBoundary: the Python face of the edge authorizer. Binds and converts the
// arguments, runs the authorization and raises each refusal as it comes.
#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "instance.hpp"
#include "kel_receipt.hpp"
#include "kel_violation.hpp"
#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "outcome_stats.hpp"

namespace kelvara::py {
namespace {

struct BoundaryRecord {
  BoundaryRecord(const edge::AuthorizerConfig& config, std::uint64_t now, std::uint64_t window_size)
      : authorizer(config, now), monotonic_window_size(window_size) {}

  edge::EdgeAuthorizer authorizer;  // the whole state, nonce ring included, lives inline
  // Accepted, converted and stored; no operation reads it (the replay window
  // is a fixed 1024 nonces).
  std::uint64_t monotonic_window_size;
};

constexpr Signature<4> kNewSignature{
    "KelBoundary.__new__()", {"rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"}, 0};
constexpr Signature<3> kAuthorizeSignature{
    "KelBoundary.authorize_action()", {"target_axis", "requested_position", "commanded_velocity"}, 3};

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  edge::AuthorizerConfig config;
  const security::WipedOnExit wiped_key(config.key);
  std::uint64_t monotonic_window_size = 64;
  PyObject* hmac_key = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, config.rate_limit, config.max_velocity_rad_s,
                 monotonic_window_size, hmac_key)) {
    return nullptr;
  }
  if (hmac_key != nullptr && hmac_key != Py_None) {  // absent or None: the all-zero key
    Bytes key_bytes;
    if (!convert_param(hmac_key, "hmac_key", key_bytes)) return nullptr;
    if (key_bytes.data.size() != config.key.size()) return kKeyLengthError.raise();
    std::copy_n(key_bytes.data.begin(), config.key.size(), config.key.begin());
  }
  const auto now = edge::wall_clock_nanos();
  if (!now) return raise_refusal(0, edge::Refusal::clock_failure(now.error()));
  return new_instance<BoundaryRecord>(type, config, *now, monotonic_window_size);
}

PyObject* authorize_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::int32_t target_axis;
  double requested_position;
  double commanded_velocity;
  if (!parse(kAuthorizeSignature, args, nargsf, kwnames, target_axis, requested_position,
             commanded_velocity)) {
    return nullptr;
  }
  const auto outcome = record_of<BoundaryRecord>(self).authorizer.authorize(target_axis, requested_position,
                                                                            commanded_velocity);
  if (!outcome) return raise_refusal(target_axis, outcome.error());
  return new_kel_receipt(*outcome);
}

// The refusals authorize_action raises as KelViolation, in the order they are
// checked; replay_nonce only when a random nonce repeats among the last 1024.
constexpr security::Outcome kRefusals[] = {
    security::Outcome::VelocityExceeded,
    security::Outcome::RateLimited,
    security::Outcome::ReplayNonce,
};

PyObject* get_stats(PyObject* self, void*) {
  return stats_mapping(record_of<BoundaryRecord>(self).authorizer.stats(), "authorized", kRefusals);
}

PyGetSetDef kGetSet[] = {
    {"stats", get_stats, nullptr,
     "How often each outcome came out of authorize_action: a new dict from code to count, "
     "'authorized' and every refusal code.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"authorize_action", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(authorize_action)),
     METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Authorize a single actuator command and return a signed receipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("KelBoundary(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, "
                       "hmac_key=None)\n--\n\n"
                       "Deterministic edge governor that authorizes physical actions.")},
    {Py_tp_new, reinterpret_cast<void*>(boundary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BoundaryRecord>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelBoundary",
    sizeof(Instance<BoundaryRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_boundary_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
