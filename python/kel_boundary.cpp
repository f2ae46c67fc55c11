// KelBoundary: the Python face of the edge boundary. Binds and converts the
// arguments, runs the authorization and turns each refusal into its exception.
#include <Python.h>

#include <cstring>
#include <new>
#include <string>

#include "binder.hpp"
#include "classes.hpp"
#include "edge_boundary.hpp"
#include "kel_receipt.hpp"
#include "kel_violation.hpp"

namespace kelvara::py {
namespace {

struct KelBoundaryObject {
  PyObject_HEAD
  EdgeBoundary boundary;  // the whole state, nonce ring included, lives inline
};

EdgeBoundary& boundary_of(PyObject* self) { return reinterpret_cast<KelBoundaryObject*>(self)->boundary; }

constexpr Signature<4> kNewSignature{
    "KelBoundary.__new__()", {"rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"}, 0};
constexpr Signature<3> kAuthorizeSignature{
    "KelBoundary.authorize_action()", {"target_axis", "requested_position", "commanded_velocity"}, 3};

PyObject* raise_runtime_error(const std::string& text) {
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

PyObject* boundary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundaryConfig config;
  PyObject* hmac_key = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, config.rate_limit, config.max_velocity_rad_s,
                 config.monotonic_window_size, hmac_key)) {
    return nullptr;
  }
  if (hmac_key != nullptr && hmac_key != Py_None) {  // absent or None: the all-zero key
    Bytes key_bytes;
    if (!convert_param(hmac_key, "hmac_key", key_bytes)) return nullptr;
    if (key_bytes.data.size() != config.key.size()) {
      PyErr_SetString(PyExc_ValueError, "hmac_key must be exactly 32 bytes");
      return nullptr;
    }
    std::memcpy(config.key.data(), key_bytes.data.data(), config.key.size());
  }
  const auto now = wall_clock_nanos();
  if (!now) return raise_runtime_error("failed to read the real-time clock: " + now.error());

  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raise_allocation_failure();
  new (&boundary_of(self)) EdgeBoundary(config, *now);
  return self;
}

void boundary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  boundary_of(self).~EdgeBoundary();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* raise_refusal(std::int32_t axis, Refusal& refusal) {
  switch (refusal.kind) {
    case Refusal::Kind::VelocityExceeded:
      return ViolationError(axis, "velocity_exceeded", std::move(refusal.detail)).raise();
    case Refusal::Kind::RateLimited:
      return ViolationError(axis, "rate_limited", std::string_view("action rate limit exceeded")).raise();
    case Refusal::Kind::Poisoned:
      return raise_runtime_error("KelBoundary state is poisoned");
    case Refusal::Kind::NonceFailure:
      return raise_runtime_error("failed to generate nonce: " + refusal.detail);
    case Refusal::Kind::InternalFault:
      return raise_runtime_error("KelBoundary internal fault: " + refusal.detail +
                                 "; the state is now poisoned");
    case Refusal::Kind::Security:
      return kel_error_to_py_err(axis, refusal.error).raise();
  }
  return raise_runtime_error("KelBoundary: unknown refusal");
}

PyObject* authorize_action(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::int32_t target_axis;
  double requested_position;
  double commanded_velocity;
  if (!parse(kAuthorizeSignature, args, nargsf, kwnames, target_axis, requested_position,
             commanded_velocity)) {
    return nullptr;
  }
  auto outcome = boundary_of(self).authorize(target_axis, requested_position, commanded_velocity);
  if (!outcome) return raise_refusal(target_axis, outcome.error());
  return new_kel_receipt(*outcome);
}

PyMethodDef kMethods[] = {
    {"authorize_action", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(authorize_action)),
     METH_FASTCALL | METH_KEYWORDS,
     "authorize_action($self, target_axis, requested_position, commanded_velocity)\n--\n\n"
     "Authorize a single actuator command and return a signed receipt."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "KelBoundary(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, "
                    "hmac_key=None)\n--\n\n"
                    "Deterministic edge governor that authorizes physical actions.")},
    {Py_tp_new, reinterpret_cast<void*>(boundary_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boundary_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelBoundary",
    sizeof(KelBoundaryObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_boundary_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
