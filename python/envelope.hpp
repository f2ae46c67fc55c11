// Envelope: the general envelope's Python class. Other classes of the module
// that take an Envelope (a gate that checks commands against one) reach the
// kernel's envelope through this header.
#pragma once

#include <Python.h>

#include "kelvara/core/envelope.hpp"

namespace kelvara::py {

// The kernel envelope an Envelope instance holds, borrowed from obj: valid
// while obj lives, and never changed. Null with TypeError "argument
// '<param>': expected Envelope, not '<type>'" set when obj is no Envelope.
const core::Envelope* envelope_of(PyObject* obj, const char* param = "envelope");

}  // namespace kelvara::py
