// EnvelopeResult: what one projection onto a general envelope gave, as an
// immutable value.
#pragma once

#include <Python.h>

#include <span>

#include "kelvara/core/envelope.hpp"

namespace kelvara::py {

// A new EnvelopeResult holding u (at most kEnvelopeMaxAxes values, copied)
// and the projection's outcome; null with an exception set if the instance
// cannot be allocated.
PyObject* new_envelope_result(std::span<const double> u, core::EnvelopeProjection projection);

}  // namespace kelvara::py
