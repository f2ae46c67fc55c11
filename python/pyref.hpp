// A small owning handle for new references, so that every early return releases
// what it holds and ownership handed to the interpreter is visible (release()).
#pragma once

#include <Python.h>

#include <utility>

namespace kelvara::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (nullptr allowed).
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller (usually the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace kelvara::py
