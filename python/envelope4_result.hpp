// Envelope4Result: what one four-axis projection gave, as an immutable value.
#pragma once

#include <Python.h>

#include <span>

#include "kelvara.h"

namespace kelvara::py {

// Wraps a solution as a new Envelope4Result; null with an exception set if the
// instance cannot be allocated.
PyObject* new_envelope4_result(const Multivar4dSolution& solution);

// A new tuple of the values as Python floats; null with an exception set on
// failure.
PyObject* new_float_tuple(std::span<const float> values);

}  // namespace kelvara::py
