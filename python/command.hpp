// Command: what CommandGate.admit hands back, the frame's header and the exact
// doubles that were signed. Read-only; Python code cannot create one.
#pragma once

#include <Python.h>

#include "kelvara/edge/command_gate.hpp"

namespace kelvara::py {

// Wraps an admitted command as a new Command; null with an exception set if
// the instance cannot be allocated.
PyObject* new_command(const edge::Command& command);

}  // namespace kelvara::py
