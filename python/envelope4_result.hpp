// Envelope4Result: what one four-axis projection gave, as an immutable value.
#pragma once

#include <Python.h>

#include "kelvara.h"

namespace kelvara::py {

// Wraps a solution as a new Envelope4Result; null with an exception set if the
// instance cannot be allocated.
PyObject* new_envelope4_result(const Multivar4dSolution& solution);

}  // namespace kelvara::py
