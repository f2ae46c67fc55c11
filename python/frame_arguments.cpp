#include "frame_arguments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "binder.hpp"
#include "contract_texts.hpp"
#include "pyref.hpp"

namespace kelvara::py {

bool convert_ranged(PyObject* obj, const char* param, std::uint64_t low, std::uint64_t high,
                    std::uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    prefix_type_error(param);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) < low ||
      static_cast<unsigned long long>(value) > high) {
    PyErr_Format(PyExc_ValueError, "%s must be from %llu to %llu", param,
                 static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool read_axis_limits(PyObject* obj, const char* param, std::span<double> out) {
  // A plain number applies to every axis; anything else must hold one per axis.
  if (PyFloat_Check(obj) || PyLong_Check(obj)) {
    double value = 0.0;
    if (!convert_param(obj, param, value)) return false;
    std::fill(out.begin(), out.end(), value);
    return true;
  }
  return read_numbers(obj, param, out, out.size()).has_value();
}

bool max_age_nanos_of(PyObject* max_age_s, std::uint64_t& out) {
  if (max_age_s == Py_None) {
    out = 0;
    return true;
  }
  double seconds = 0.0;
  if (!convert_param(max_age_s, "max_age_s", seconds)) return false;
  if (!(std::isfinite(seconds) && seconds > 0.0)) {
    kMaxAgeError.raise();
    return false;
  }
  const double nanos = std::ceil(seconds * 1e9);
  constexpr double kLargest = 18446744073709549568.0;  // the largest double below 2^64
  out = nanos >= kLargest ? std::numeric_limits<std::uint64_t>::max()
                          : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(nanos));
  return true;
}

}  // namespace kelvara::py
