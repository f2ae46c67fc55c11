// The one way the module takes numbers straight from an object's memory: a
// one-dimensional buffer of float32 ('f') or float64 ('d') elements in native
// byte order (numpy arrays, array.array, memoryviews), held for the duration of
// a call and released by its handle.
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

  Element element() const noexcept { return element_; }
  Py_ssize_t size() const noexcept { return held_ ? view_.shape[0] : 0; }

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
