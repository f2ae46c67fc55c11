// Exception texts whose wording is part of the module's contract: callers and
// tests match them exactly, so they are written once, here, and never reworded.
// Each pairs the exception class with its text; `raise()` sets it and returns
// null for the entry point to hand back.
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

// Callers tell a wrong key length from every other construction error by it.
inline constexpr ContractError kKeyLengthError{PyExc_ValueError, "hmac_key must be exactly 32 bytes"};
// Callers tell a bad freshness limit from a bad key by it.
inline constexpr ContractError kMaxAgeError{PyExc_ValueError,
                                            "max_age_s must be a finite number of seconds above 0, or None"};
// Callers tell reversed, equal or NaN bounds from conversion errors by it.
inline constexpr ContractError kBoundsOrderError{PyExc_ValueError,
                                                 "min_bound must be strictly less than max_bound"};
// The host's wording for a class without a constructor, kept for callers who match it.
inline constexpr ContractError kNoReceiptConstructor{PyExc_TypeError,
                                                     "No constructor defined for KelReceipt"};
// The wording of the conversion a str is refused by, which callers already match.
inline constexpr ContractError kStrIsNotAVector{PyExc_TypeError, "Can't extract `str` to `Vec`"};

// Conversion targets named in "'<type>' object cannot be converted to '<target>'";
// the names are those the messages have always shown.
inline constexpr const char* kTextTarget = "PyString";
inline constexpr const char* kBytesTarget = "PyBytes";
inline constexpr const char* kSequenceTarget = "Sequence";

}  // namespace kelvara::py
