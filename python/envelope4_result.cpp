// Envelope4Result: the projected command (four float32 values widened to
// Python floats), the solve's status as a word, its iteration count, and
// whether the command may be applied as the exact projection. Instances come
// only from Envelope4.project and never change.
#include "envelope4_result.hpp"

#include <array>
#include <cstddef>

#include "classes.hpp"
#include "instance.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

using ResultRecord = Multivar4dSolution;

const ResultRecord& result_of(PyObject* self) { return record_of<ResultRecord>(self); }

// The status words, indexed by the C status code; created once and kept.
constexpr std::array<const char*, 5> kStatusWords = {"invalid", "optimal", "iteration_limit", "infeasible",
                                                     "numerical_failure"};
static_assert(KELVARA_STATUS_INVALID == 0 && KELVARA_STATUS_OPTIMAL == 1 &&
              KELVARA_STATUS_ITERATION_LIMIT == 2 && KELVARA_STATUS_INFEASIBLE == 3 &&
              KELVARA_STATUS_NUMERICAL_FAILURE == 4);
std::array<PyObject*, kStatusWords.size()> g_status_words{};

PyObject* get_u(PyObject* self, void*) { return new_float_tuple(result_of(self).u); }
PyObject* get_status(PyObject* self, void*) { return status_word(result_of(self).status); }
PyObject* get_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(result_of(self).iterations);
}
PyObject* get_ok(PyObject* self, void*) {
  return PyBool_FromLong(result_of(self).status == KELVARA_STATUS_OPTIMAL);
}

PyObject* result_repr(PyObject* self) {
  PyRef u(get_u(self, nullptr));
  PyRef status(get_status(self, nullptr));
  if (!u || !status) return nullptr;
  return PyUnicode_FromFormat("Envelope4Result(u=%R, status=%R, iterations=%llu)", u.get(), status.get(),
                              static_cast<unsigned long long>(result_of(self).iterations));
}

PyGetSetDef kGetSet[] = {
    {"u", get_u, nullptr, "The command to apply: four float32 values.", nullptr},
    {"status", get_status, nullptr,
     "'optimal', 'iteration_limit', 'infeasible', 'numerical_failure' or 'invalid'.", nullptr},
    {"iterations", get_iterations, nullptr, "Active-set iterations the solve took.", nullptr},
    {"ok", get_ok, nullptr, "True only when status is 'optimal'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The outcome of Envelope4.project: u, status, iterations and ok.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ResultRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Envelope4Result",
    sizeof(Instance<ResultRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyTypeObject* g_type = nullptr;

template <typename T>
PyObject* new_tuple_of(std::span<const T> values) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(values[i]);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
  }
  return tuple.release();
}

}  // namespace

PyTypeObject* envelope4_result_type() { return type_once(g_type, kSpec); }

// A code the kernel never returns reads as a numerical failure: a result no
// caller may apply as the exact projection.
PyObject* status_word(SolveStatus status) {
  const std::size_t index = status < kStatusWords.size() ? status : KELVARA_STATUS_NUMERICAL_FAILURE;
  PyObject*& word = g_status_words[index];
  if (word == nullptr) word = PyUnicode_InternFromString(kStatusWords[index]);
  return Py_XNewRef(word);
}

PyObject* new_float_tuple(std::span<const float> values) { return new_tuple_of(values); }
PyObject* new_float_tuple(std::span<const double> values) { return new_tuple_of(values); }

PyObject* new_envelope4_result(const Multivar4dSolution& solution) {
  return new_instance<ResultRecord>(envelope4_result_type(), solution);
}

}  // namespace kelvara::py
