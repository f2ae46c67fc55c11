// KelViolation, the exception through which every domain refusal reaches Python,
// and the violation error value that carries its constructor arguments until an
// entry point raises it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "kelvara/edge/refusal.hpp"
#include "kelvara/security/kel_error.hpp"

namespace kelvara::py {

// A pending KelViolation: the class paired with its three constructor
// arguments. The texts are static or owned by the refusal being raised; they
// are copied into the exception when it is raised.
class ViolationError {
 public:
  ViolationError(std::int32_t axis, std::string_view violation_type, std::string_view message)
      : axis_(axis), violation_type_(violation_type), message_(message) {}

  // Sets the exception by calling the class with (axis, violation_type, message);
  // returns null for the entry point to hand back.
  PyObject* raise() const;

 private:
  std::int32_t axis_;
  std::string_view violation_type_;
  std::string_view message_;
};

// The error value of a security refusal: the kind's code and message with the
// caller's axis.
ViolationError kel_error_to_py_err(std::int32_t axis, security::KelError kind);

// Raises a refusal of the edge library: a refusal of the command as KelViolation
// with the caller's axis, a failure of the machinery as RuntimeError.
PyObject* raise_refusal(std::int32_t axis, const edge::Refusal& refusal);

}  // namespace kelvara::py
