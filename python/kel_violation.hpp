// KelViolation, the exception through which every domain refusal reaches Python,
// and the violation error value that carries its constructor arguments until an
// entry point raises it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kel_error.hpp"

namespace kelvara::py {

// The class's type object, created on first use (registration or first raise).
// Null with an exception set if it cannot be created.
PyTypeObject* kel_violation_type();

// A pending KelViolation: the class paired with its three constructor arguments.
// The message is a static text or one built at the point of refusal.
class ViolationError {
 public:
  ViolationError(std::int32_t axis, std::string_view violation_type, std::string_view message)
      : axis_(axis), violation_type_(violation_type), static_message_(message) {}
  ViolationError(std::int32_t axis, std::string_view violation_type, std::string built_message)
      : axis_(axis), violation_type_(violation_type), built_message_(std::move(built_message)),
        owns_message_(true) {}

  std::int32_t axis() const { return axis_; }
  std::string_view violation_type() const { return violation_type_; }
  std::string_view message() const { return owns_message_ ? built_message_ : static_message_; }

  // Sets the exception by calling the class with (axis, violation_type, message);
  // returns null for the entry point to hand back.
  PyObject* raise() const;

 private:
  std::int32_t axis_;
  std::string_view violation_type_;  // always a static code
  std::string_view static_message_;
  std::string built_message_;
  bool owns_message_ = false;
};

// The error value of a security refusal: the kind's code and message with the
// caller's axis.
ViolationError kel_error_to_py_err(std::int32_t axis, security::KelError kind);

}  // namespace kelvara::py
