// The one way the module takes numbers straight from an object's memory: a
// one-dimensional buffer of float32 ('f') or float64 ('d') elements in native
// byte order (numpy arrays, array.array, memoryviews), or float64 rows in two
// dimensions, held for the duration of a call and released by its handle.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

namespace kelvara::py {

class FloatBuffer {
 public:
  enum class Element { float32, float64 };

  // Holds nothing until one of the take_ functions succeeds. The exporter may
  // point into the view itself (strides at its own itemsize), so a handle is
  // never copied or moved.
  FloatBuffer() = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() { release(); }

  // Takes the object's buffer when it exports a one-dimensional float32 or
  // float64 one, with any strides and read-only or not. False with no error set
  // for every other object, which the caller then reads as a sequence.
  bool take_readable(PyObject* obj);

  // Takes the object's buffer for projection in place: writable,
  // one-dimensional, C-contiguous, float32 or float64. Otherwise false with
  // TypeError (not a buffer, another element format, read-only) or ValueError
  // (dimensions, layout) set, naming `param`.
  bool take_writable(PyObject* obj, const char* param);

  // Takes a float64 buffer that holds rows of numbers: C-contiguous, of
  // shape (n,) or (k, n). With `writable`, a read-only buffer is refused too,
  // and every refusal sets TypeError (not a buffer, another element format,
  // read-only) or ValueError (dimensions, layout) naming `param`. Without it,
  // false with no error set for any other object, as take_readable does.
  bool take_float64_rows(PyObject* obj, const char* param, bool writable);

  Element element() const noexcept { return element_; }
  Py_ssize_t size() const noexcept { return held_ ? view_.shape[0] : 0; }
  int dimensions() const noexcept { return held_ ? view_.ndim : 0; }
  // The length along the last dimension (of rows taken by take_float64_rows).
  Py_ssize_t row_length() const noexcept { return held_ ? view_.shape[view_.ndim - 1] : 0; }
  // The memory the buffer spans.
  const void* begin() const noexcept { return view_.buf; }
  Py_ssize_t bytes() const noexcept { return held_ ? view_.len : 0; }

  // Element i narrowed to float32 as a Python float would be.
  float narrowed(Py_ssize_t i) const noexcept {
    const char* at = static_cast<const char*>(view_.buf) + i * view_.strides[0];
    if (element_ == Element::float32) {
      float v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
    double v;
    std::memcpy(&v, at, sizeof v);
    return static_cast<float>(v);
  }

  // Element i as a double: a float32 widened exactly, a float64 as it is.
  double widened(Py_ssize_t i) const noexcept {
    const char* at = static_cast<const char*>(view_.buf) + i * view_.strides[0];
    if (element_ == Element::float32) {
      float v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
    double v;
    std::memcpy(&v, at, sizeof v);
    return v;
  }

  // The elements of a buffer taken writable (hence contiguous).
  float* float32_data() const noexcept { return static_cast<float*>(view_.buf); }
  double* float64_data() const noexcept { return static_cast<double*>(view_.buf); }

 private:
  bool take(PyObject* obj);
  void release() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  Py_buffer view_{};
  bool held_ = false;
  Element element_ = Element::float32;
};

}  // namespace kelvara::py
