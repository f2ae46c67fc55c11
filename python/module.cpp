// Initialisation of the extension module: one module object per process, owned by
// the first interpreter that imports it, published with its classes in a fixed order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "classes.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

// The project version, set once in the top-level CMakeLists.txt.
constexpr const char* kVersion = KELVARA_VERSION;

std::atomic<std::int64_t> g_owning_interpreter{-1};
PyObject* g_module = nullptr;  // the one module object, filled by the first successful import

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvara",
    "Python module registration.",  // part of the module's fixed contract; the package kelvara describes it
    0,                              // no per-module state: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (creating the list on the first addition), then sets
// the attribute. Takes over the new reference `value`.
bool add_attribute(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyRef fresh(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();
  }
  PyRef name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* (*type_of)()) {
  return add_attribute(module, name, PyRef::borrow(reinterpret_cast<PyObject*>(type_of())));
}

bool register_attributes(PyObject* module) {
  return add_attribute(module, "__version__", PyRef(PyUnicode_FromString(kVersion))) &&
         add_class(module, "KelBoundary", kel_boundary_type) &&
         add_class(module, "KelReceipt", kel_receipt_type) &&
         add_class(module, "KelViolation", kel_violation_type) &&
         add_class(module, "MonotonicCounter", monotonic_counter_type) &&
         add_class(module, "Governor", governor_type) && add_class(module, "KelGate", kel_gate_type) &&
         add_class(module, "Envelope4", envelope4_type) &&
         add_class(module, "Envelope4Result", envelope4_result_type) &&
         add_class(module, "Envelope", envelope_type) &&
         add_class(module, "EnvelopeResult", envelope_result_type) &&
         add_class(module, "CommandSigner", command_signer_type) &&
         add_class(module, "CommandGate", command_gate_type) && add_class(module, "Command", command_type);
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interpreter ID is unavailable");
    return nullptr;
  }
  std::int64_t owner = -1;
  if (!g_owning_interpreter.compare_exchange_strong(owner, id, std::memory_order_acq_rel,
                                                    std::memory_order_acquire) &&
      owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_kelvara does not support sub-interpreters: it is bound to the interpreter "
                    "that imported it first");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module(PyModule_Create2(&g_module_def, 1013));
  if (!module || !register_attributes(module.get())) return nullptr;  // cache stays empty
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__kelvara(void) { return kelvara::py::init_module(); }
