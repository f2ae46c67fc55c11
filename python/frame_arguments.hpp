// Arguments the command frame classes share: small integers with a range
// (key ids, stream ids, axis counts, rate limits), limits given as one number
// or one per axis, and the freshness limit in seconds. Each converter leaves
// `out` untouched and returns false with the error set on failure; its texts
// name the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace kelvara::py {

// An int (or any object with an integer index) from `low` to `high`:
// TypeError "argument '<param>': ..." for a non-integer, ValueError
// "<param> must be from <low> to <high>" for a value outside the range.
bool convert_ranged(PyObject* obj, const char* param, std::uint64_t low, std::uint64_t high,
                    std::uint64_t& out);

// One number for every axis, or a sequence or 1-D float buffer of exactly
// out.size() numbers, kept in double precision. Values are not judged here.
bool read_axis_limits(PyObject* obj, const char* param, std::span<double> out);

// None switches freshness off (0); otherwise a finite number of seconds above
// 0, rounded up to whole nanoseconds so that no positive age becomes "off".
// ValueError (the freshness text) for 0, negative, NaN or infinite seconds.
bool max_age_nanos_of(PyObject* max_age_s, std::uint64_t& out);

}  // namespace kelvara::py
