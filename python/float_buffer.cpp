#include "float_buffer.hpp"

#include <bit>
#include <optional>
#include <string_view>

namespace kelvara::py {
namespace {

// The element of a struct-module format of one native float32 or float64:
// "f" or "d", optionally after '@' or '=', or after the byte-order mark of this
// machine ('<' little-endian, '>' and '!' big-endian).
std::optional<FloatBuffer::Element> element_of(const Py_buffer& view) {
  std::string_view format = view.format == nullptr ? "B" : view.format;
  if (!format.empty()) {
    const char order = format.front();
    const bool native_order = order == '@' || order == '=' ||
                              (order == '<' && std::endian::native == std::endian::little) ||
                              ((order == '>' || order == '!') && std::endian::native == std::endian::big);
    if (native_order) format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == sizeof(float)) return FloatBuffer::Element::float32;
  if (format == "d" && view.itemsize == sizeof(double)) return FloatBuffer::Element::float64;
  return std::nullopt;
}

}  // namespace

// Strides and format are asked for so that any exporter can answer; an
// exporter that cannot export itself that way is refused by it.
bool FloatBuffer::take(PyObject* obj) {
  release();
  held_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
  return held_;
}

bool FloatBuffer::take_readable(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj)) return false;
  if (!take(obj)) {
    PyErr_Clear();  // the sequence protocol gets its turn and reports on its own
    return false;
  }
  const auto element = element_of(view_);
  if (!element || view_.ndim != 1) {
    release();
    return false;
  }
  element_ = *element;
  return true;
}

bool FloatBuffer::take_writable(PyObject* obj, const char* param) {
  if (!PyObject_CheckBuffer(obj) || !take(obj)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a writable buffer of float32 ('f') or float64 ('d'), not '%s'",
                 param, Py_TYPE(obj)->tp_name);
    return false;
  }
  const auto element = element_of(view_);
  if (!element) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected elements of float32 ('f') or float64 ('d'), got format '%s'", param,
                 view_.format == nullptr ? "B" : view_.format);
  } else if (view_.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a one-dimensional buffer, got %d dimensions",
                 param, view_.ndim);
  } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_Format(PyExc_ValueError, "argument '%s': the buffer is not C-contiguous", param);
  } else if (view_.readonly) {
    PyErr_Format(PyExc_TypeError, "argument '%s': the buffer is read-only", param);
  } else {
    element_ = *element;
    return true;
  }
  release();
  return false;
}

bool FloatBuffer::take_float64_rows(PyObject* obj, const char* param, bool writable) {
  const auto refuse = [&](PyObject* type, const char* format, auto... args) {
    release();
    if (!writable) return false;
    PyErr_Format(type, format, param, args...);
    return false;
  };
  if (!PyObject_CheckBuffer(obj) || !take(obj)) {
    PyErr_Clear();
    return refuse(PyExc_TypeError, "argument '%s': expected a writable buffer of float64 ('d'), not '%s'",
                  Py_TYPE(obj)->tp_name);
  }
  if (element_of(view_) != Element::float64) {
    return refuse(PyExc_TypeError, "argument '%s': expected elements of float64 ('d'), got format '%s'",
                  view_.format == nullptr ? "B" : view_.format);
  }
  if (view_.ndim != 1 && view_.ndim != 2) {
    return refuse(PyExc_ValueError, "argument '%s': expected one or two dimensions, got %d", view_.ndim);
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    return refuse(PyExc_ValueError, "argument '%s': the buffer is not C-contiguous");
  }
  if (writable && view_.readonly) return refuse(PyExc_TypeError, "argument '%s': the buffer is read-only");
  element_ = Element::float64;
  return true;
}

}  // namespace kelvara::py
