// Exception texts that callers match exactly, each written once, here. Most
// are part of the module's fixed contract and are never reworded; the others
// are this library's own wording for its own additions, kept as stable. Each
// pairs the exception class with its text; `raise()` sets it and returns null
// for the entry point to hand back.
#pragma once

#include <Python.h>

namespace kelvara::py {

struct ContractError {
  PyObject* const& type;  // the host's exception class variable
  const char* text;

  PyObject* raise() const {
    PyErr_SetString(type, text);
    return nullptr;
  }
};

// Part of the module's fixed contract: a wrong key length, told apart from
// every other construction error by this text.
inline constexpr ContractError kKeyLengthError{PyExc_ValueError, "hmac_key must be exactly 32 bytes"};
// This library's own: KelGate's freshness limit, told apart from a bad key.
inline constexpr ContractError kMaxAgeError{PyExc_ValueError,
                                            "max_age_s must be a finite number of seconds above 0, or None"};
// Part of the module's fixed contract: reversed, equal or NaN bounds, told
// apart from conversion errors.
inline constexpr ContractError kBoundsOrderError{PyExc_ValueError,
                                                 "min_bound must be strictly less than max_bound"};
// Part of the module's fixed contract, in the host's wording for a class
// without a constructor.
inline constexpr ContractError kNoReceiptConstructor{PyExc_TypeError,
                                                     "No constructor defined for KelReceipt"};
// Part of the module's fixed contract: a str is not a sequence of numbers here.
inline constexpr ContractError kStrIsNotAVector{PyExc_TypeError, "Can't extract `str` to `Vec`"};

// Conversion targets named in "'<type>' object cannot be converted to '<target>'".
// The bytes and sequence targets are part of the module's fixed contract; the
// text target is this library's own, in the same style.
inline constexpr const char* kTextTarget = "PyString";
inline constexpr const char* kBytesTarget = "PyBytes";
inline constexpr const char* kSequenceTarget = "Sequence";

}  // namespace kelvara::py
