// How every class of the module lays out, creates, reaches and frees its
// instances: a Python object header followed by one C++ record, constructed in
// place after allocation and destroyed before the object is freed. No class
// casts or allocates by hand.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace kelvara::py {

// The object layout: `Head` is PyObject for plain classes and the base
// exception's object for an exception class.
template <typename Record, typename Head = PyObject>
struct Instance {
  Head head;
  Record record;
};

template <typename Record, typename Head = PyObject>
Record& record_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<Record, Head>*>(self)->record;
}

// The error of an allocation that failed without saying why.
inline PyObject* raise_allocation_failure() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

// Allocates an instance of `type` through its allocation slot (the generic
// allocator if the slot is empty) and constructs its record from `args`.
// Null with the host's error (else SystemError) when allocation fails; the
// record is then never constructed.
template <typename Record, typename... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  if (type == nullptr) return nullptr;
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raise_allocation_failure();
  new (&record_of<Record>(self)) Record(std::forward<Args>(args)...);
  return self;
}

// The deallocation slot of every plain class: destroys the record, frees the
// object and releases the instance's reference to its heap type.
template <typename Record>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of<Record>(self).~Record();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace kelvara::py
