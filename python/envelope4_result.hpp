// Envelope4Result: what one four-axis projection gave, as an immutable value;
// and the conversions every result class shares.
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
PyObject* new_float_tuple(std::span<const double> values);

// The word for a solve's status ('optimal', 'infeasible', ...), shared by
// every result class: a new reference to an interned str, or null with an
// exception set. A code the kernel never returns reads as
// 'numerical_failure'.
PyObject* status_word(SolveStatus status);

}  // namespace kelvara::py
