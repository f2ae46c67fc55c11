// EnvelopeResult: the projected command (the envelope's axes, as Python
// floats), the status as the same word Envelope4Result uses, the number of
// working-set changes, and whether the command may be applied. Instances come
// only from Envelope.project and never change.
#include "envelope_result.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "classes.hpp"
#include "envelope4_result.hpp"
#include "instance.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

struct ResultRecord {
  ResultRecord(std::span<const double> values, core::EnvelopeProjection outcome) noexcept
      : axes(values.size()), projection(outcome) {
    std::copy(values.begin(), values.end(), u);
  }

  std::size_t axes;
  core::EnvelopeProjection projection;
  double u[core::kEnvelopeMaxAxes];
};

const ResultRecord& result_of(PyObject* self) { return record_of<ResultRecord>(self); }

PyObject* get_u(PyObject* self, void*) {
  const ResultRecord& r = result_of(self);
  return new_float_tuple(std::span<const double>(r.u, r.axes));
}
PyObject* get_status(PyObject* self, void*) { return status_word(result_of(self).projection.status); }
PyObject* get_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(result_of(self).projection.iterations);
}
PyObject* get_ok(PyObject* self, void*) {
  return PyBool_FromLong(result_of(self).projection.status == KELVARA_STATUS_OPTIMAL);
}

PyObject* result_repr(PyObject* self) {
  PyRef u(get_u(self, nullptr));
  PyRef status(get_status(self, nullptr));
  if (!u || !status) return nullptr;
  return PyUnicode_FromFormat("EnvelopeResult(u=%R, status=%R, iterations=%lu)", u.get(), status.get(),
                              static_cast<unsigned long>(result_of(self).projection.iterations));
}

PyGetSetDef kGetSet[] = {
    {"u", get_u, nullptr, "The projected command, one float per axis (what it holds depends on status).",
     nullptr},
    {"status", get_status, nullptr, "'optimal', 'infeasible', 'numerical_failure' or 'invalid'.", nullptr},
    {"iterations", get_iterations, nullptr, "Working-set changes the solve made; 0 for a clamped command.",
     nullptr},
    {"ok", get_ok, nullptr, "True only when status is 'optimal': the one result to apply.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The outcome of Envelope.project: u, status, iterations and ok.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ResultRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.EnvelopeResult",
    sizeof(Instance<ResultRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* envelope_result_type() { return type_once(g_type, kSpec); }

PyObject* new_envelope_result(std::span<const double> u, core::EnvelopeProjection projection) {
  return new_instance<ResultRecord>(envelope_result_type(), u, projection);
}

}  // namespace kelvara::py
