// The type objects of the module's classes, each created once on first use and
// kept for the life of the process. Null with an exception set on failure.
#pragma once

#include <Python.h>

namespace kelvara::py {

PyTypeObject* kel_boundary_type();
PyTypeObject* kel_receipt_type();
PyTypeObject* kel_violation_type();
PyTypeObject* monotonic_counter_type();
PyTypeObject* governor_type();
PyTypeObject* kel_gate_type();
PyTypeObject* envelope4_type();
PyTypeObject* envelope4_result_type();
PyTypeObject* envelope_type();
PyTypeObject* envelope_result_type();
PyTypeObject* command_signer_type();
PyTypeObject* command_gate_type();
PyTypeObject* command_type();

// Creates the type from `spec` on the first call and returns the same object on
// every later one (the interpreter lock serialises first uses).
inline PyTypeObject* type_once(PyTypeObject*& cache, PyType_Spec& spec, PyObject* base = nullptr) {
  if (cache == nullptr) {
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&spec, base));
  }
  return cache;
}

}  // namespace kelvara::py
