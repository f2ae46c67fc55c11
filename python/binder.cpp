#include "binder.hpp"

#include "contract_texts.hpp"
#include "float_buffer.hpp"
#include "pyref.hpp"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <string>

namespace kelvara::py {
namespace {

std::string plural(std::size_t n, const char* word) {
  std::string s = std::to_string(n) + " " + word;
  if (n != 1) s += 's';
  return s;
}

bool raise_too_many(SignatureView sig, Py_ssize_t given) {
  const std::size_t total = sig.positional;
  std::string msg = sig.callable;
  if (sig.required == total) {
    msg += " takes " + std::to_string(total) + " positional arguments";
  } else {
    msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(total) +
           " positional arguments";
  }
  msg += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'. Missing positional parameters are
// named first; only when none is missing are the keyword-only ones, as the
// interpreter itself reports them.
bool raise_missing(SignatureView sig, PyObject* const* slots) {
  std::size_t first = 0;
  std::size_t end = std::min(sig.required, sig.positional);
  std::size_t missing = 0;
  for (std::size_t i = first; i < end; ++i) missing += slots[i] == nullptr;
  const bool keyword_only = missing == 0;
  if (keyword_only) {
    first = end;
    end = sig.required;
    for (std::size_t i = first; i < end; ++i) missing += slots[i] == nullptr;
  }
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = first; i < end; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) list += ',';
      list += listed + 1 == missing ? " and " : " ";
    }
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++listed;
  }
  std::string msg =
      std::string(sig.callable) + " missing " +
      plural(missing, keyword_only ? "required keyword-only argument" : "required positional argument") +
      ": " + list;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// Places one keyword argument; false with TypeError set when it names no
// parameter or a parameter that is already bound.
bool place_keyword(SignatureView sig, PyObject* key, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.callable, sig.params[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.callable, key);
  return false;
}

bool check_required(SignatureView sig, PyObject* const* slots) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) return raise_missing(sig, slots);
  }
  return true;
}

}  // namespace

bool bind_vector(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots) {
  if (nargs > static_cast<Py_ssize_t>(sig.positional)) return raise_too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
  }
  return check_required(sig, slots);
}

bool bind_tuple(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(sig.positional)) return raise_too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_required(sig, slots);
}

bool convert(PyObject* obj, std::int32_t& out) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return false;
  }
  if (v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool convert(PyObject* obj, std::uint64_t& out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return false;
    v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  // All ones doubles as the error marker; 2**64 - 1 itself is a valid value.
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert(PyObject* obj, float& out) {
  double wide;
  if (!convert(obj, wide)) return false;
  out = static_cast<float>(wide);  // round to nearest; beyond range becomes infinite
  return true;
}

bool convert(PyObject* obj, Text& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, kTextTarget);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;  // the host's encoding error passes through
  out.utf8 = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert(PyObject* obj, Bytes& out) {
  if (!PyBytes_Check(obj)) {
    raise_cannot_convert(obj, kBytesTarget);
    return false;
  }
  out.data = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
  out.object = obj;
  return true;
}

bool convert(PyObject* obj, PyObject*& out) {
  out = obj;
  return true;
}

namespace {

// A short list of exact floats and ints only: converting those runs no Python
// code, so the list can be read in place.
bool plain_number_list(PyObject* obj, std::size_t capacity) {
  if (!PyList_CheckExact(obj) || PyList_GET_SIZE(obj) > static_cast<Py_ssize_t>(capacity)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
    PyObject* item = PyList_GET_ITEM(obj, i);
    if (!PyFloat_CheckExact(item) && !PyLong_CheckExact(item)) return false;
  }
  return true;
}

std::optional<std::size_t> raise_count(const char* param, std::size_t capacity, std::size_t at_least,
                                       Py_ssize_t given) {
  const bool too_few = given < static_cast<Py_ssize_t>(at_least);
  const std::size_t expected = too_few ? at_least : capacity;
  PyErr_Format(PyExc_ValueError, "argument '%s': expected %s%zu number%s, got %zd", param,
               at_least == capacity ? ""
               : too_few            ? "at least "
                                    : "at most ",
               expected, expected == 1 ? "" : "s", given);
  return std::nullopt;
}

float element_of(const FloatBuffer& view, Py_ssize_t i, float*) noexcept { return view.narrowed(i); }
double element_of(const FloatBuffer& view, Py_ssize_t i, double*) noexcept { return view.widened(i); }

template <typename T>
std::optional<std::size_t> read_numbers_as(PyObject* obj, const char* param, std::span<T> out,
                                           std::size_t at_least) {
  const auto count_ok = [&](Py_ssize_t n) {
    return n >= static_cast<Py_ssize_t>(at_least) && n <= static_cast<Py_ssize_t>(out.size());
  };
  if (FloatBuffer view; view.take_readable(obj)) {
    if (!count_ok(view.size())) return raise_count(param, out.size(), at_least, view.size());
    for (Py_ssize_t i = 0; i < view.size(); ++i) {
      out[static_cast<std::size_t>(i)] = element_of(view, i, static_cast<T*>(nullptr));
    }
    return static_cast<std::size_t>(view.size());
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise_cannot_convert(obj, kSequenceTarget);
    prefix_type_error(param);
    return std::nullopt;
  }
  PyRef items;
  if (PyTuple_CheckExact(obj) || plain_number_list(obj, out.size())) {
    items = PyRef::borrow(obj);  // nothing read from it can run code that changes it
  } else {
    // A length that is already too large spares copying a long sequence.
    const Py_ssize_t length = PySequence_Size(obj);
    if (length < 0) {
      PyErr_Clear();
    } else if (length > static_cast<Py_ssize_t>(out.size())) {
      return raise_count(param, out.size(), at_least, length);
    }
    items = PyRef(PySequence_Tuple(obj));
    if (!items) {
      prefix_type_error(param);
      return std::nullopt;
    }
  }
  PyObject* const* elements = PySequence_Fast_ITEMS(items.get());
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (!count_ok(n)) return raise_count(param, out.size(), at_least, n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!convert(elements[i], out[static_cast<std::size_t>(i)])) {
      prefix_type_error(param);
      return std::nullopt;
    }
  }
  return static_cast<std::size_t>(n);
}

template <typename T>
std::optional<std::size_t> read_rows_as(PyObject* obj, const char* param, std::span<T> out,
                                        std::size_t row_length) {
  const std::size_t capacity = out.size() / row_length;
  const auto too_many = [&](Py_ssize_t count) -> std::optional<std::size_t> {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected at most %zu rows, got %zd", param, capacity,
                 count);
    return std::nullopt;
  };
  if (FloatBuffer view; view.take_float64_rows(obj, param, false) && view.dimensions() == 2) {
    if (view.size() > static_cast<Py_ssize_t>(capacity)) return too_many(view.size());
    if (view.row_length() != static_cast<Py_ssize_t>(row_length)) {
      PyErr_Format(PyExc_ValueError, "argument '%s': expected rows of %zu number%s, got %zd", param,
                   row_length, row_length == 1 ? "" : "s", view.row_length());
      return std::nullopt;
    }
    const double* values = static_cast<const double*>(view.begin());
    for (std::size_t i = 0; i < static_cast<std::size_t>(view.size()) * row_length; ++i) {
      out[i] = static_cast<T>(values[i]);
    }
    return static_cast<std::size_t>(view.size());
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise_cannot_convert(obj, kSequenceTarget);
    prefix_type_error(param);
    return std::nullopt;
  }
  const Py_ssize_t length = PySequence_Size(obj);  // a long sequence is refused before it is copied
  if (length < 0) PyErr_Clear();
  if (length > static_cast<Py_ssize_t>(capacity)) return too_many(length);
  PyRef snapshot(PySequence_Tuple(obj));  // row conversions cannot change what is read
  if (!snapshot) {
    prefix_type_error(param);
    return std::nullopt;
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(snapshot.get());
  if (count > static_cast<Py_ssize_t>(capacity)) return too_many(count);
  for (Py_ssize_t j = 0; j < count; ++j) {
    char label[64];
    std::snprintf(label, sizeof label, "%s[%zd]", param, j);
    if (!read_numbers_as(PyTuple_GET_ITEM(snapshot.get(), j), label,
                         out.subspan(static_cast<std::size_t>(j) * row_length, row_length), row_length)) {
      return std::nullopt;
    }
  }
  return static_cast<std::size_t>(count);
}

}  // namespace

std::optional<std::size_t> read_rows(PyObject* obj, const char* param, std::span<float> out,
                                     std::size_t row_length) {
  return read_rows_as(obj, param, out, row_length);
}

std::optional<std::size_t> read_rows(PyObject* obj, const char* param, std::span<double> out,
                                     std::size_t row_length) {
  return read_rows_as(obj, param, out, row_length);
}

std::optional<std::size_t> read_numbers(PyObject* obj, const char* param, std::span<float> out,
                                        std::size_t at_least) {
  return read_numbers_as(obj, param, out, at_least);
}

std::optional<std::size_t> read_numbers(PyObject* obj, const char* param, std::span<double> out,
                                        std::size_t at_least) {
  return read_numbers_as(obj, param, out, at_least);
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
  if (qualname == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                 target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname, target);
  Py_DECREF(qualname);
}

void prefix_type_error(const char* param) {
  PyObject* old = PyErr_GetRaisedException();
  if (old == nullptr || Py_TYPE(old) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(old);
    return;
  }
  PyObject* renamed = PyUnicode_FromFormat("argument '%s': %S", param, old);
  PyObject* replacement = renamed == nullptr ? nullptr : PyObject_CallOneArg(PyExc_TypeError, renamed);
  Py_XDECREF(renamed);
  if (replacement == nullptr) {  // could not build the new one: keep the original
    PyErr_Clear();
    PyErr_SetRaisedException(old);
    return;
  }
  if (PyObject* cause = PyException_GetCause(old)) PyException_SetCause(replacement, cause);
  Py_DECREF(old);
  PyErr_SetRaisedException(replacement);
}

}  // namespace kelvara::py
