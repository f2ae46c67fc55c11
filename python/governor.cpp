// Governor: projects actuator commands into a fixed envelope [min_bound, max_bound]
// through the scalar projection kernel, in single precision.
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "instance.hpp"
#include "kelvara/core/scalar_projection.hpp"

namespace kelvara::py {
namespace {

struct GovernorRecord {
  ScalarConstraints constraints;  // row 0: u <= max_bound; row 1: -u <= -min_bound
  float min_bound;
  float max_bound;
};

const GovernorRecord& governor_of(PyObject* self) { return record_of<GovernorRecord>(self); }

// The kernel's row 0 bounds u by max_bound and min_bound is its lower bound, so
// the final clamp changes nothing while min_bound < max_bound holds; it keeps the
// result inside the envelope whatever the kernel returns.
float project_one(const GovernorRecord& g, float u) {
  float v = core::solve_active_set(g.constraints, u, g.min_bound, g.max_bound).u;
  if (v < g.min_bound) v = g.min_bound;
  if (v > g.max_bound) v = g.max_bound;
  return v;
}

constexpr Signature<2> kNewSignature{"Governor.__new__()", {"min_bound", "max_bound"}, 2};
constexpr Signature<1> kProjectSignature{"Governor.project()", {"u_desired"}, 1};
constexpr Signature<1> kBatchSignature{"Governor.project_batch()", {"u_vec"}, 1};

PyObject* governor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  float min_bound = 0.0f;
  float max_bound = 0.0f;
  if (!parse_new(kNewSignature, args, kwargs, min_bound, max_bound)) return nullptr;
  // Also refuses NaN and bounds equal after narrowing.
  if (!(min_bound < max_bound)) return kBoundsOrderError.raise();
  return new_instance<GovernorRecord>(
      type, ScalarConstraints{{1.0f, -1.0f, 0.0f, 0.0f}, {max_bound, -min_bound, 0.0f, 0.0f}},
      min_bound, max_bound);
}

PyObject* project(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  float u_desired;
  if (!parse(kProjectSignature, args, nargsf, kwnames, u_desired)) return nullptr;
  return PyFloat_FromDouble(project_one(governor_of(self), u_desired));
}

// Reads every element of `seq` through the iterator protocol into `buffer`.
// Exact lists and tuples are walked by index, which visits the same elements in
// the same order as their iterators (a list's length is re-read at every step).
bool read_elements(PyObject* seq, std::vector<float>& buffer) {
  const auto take = [&buffer](PyObject* item) {
    float value;
    if (!convert(item, value)) return false;
    buffer.push_back(value);
    return true;
  };
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      PyObject* item = Py_NewRef(PyList_GET_ITEM(seq, i));  // a conversion may shrink the list
      const bool ok = take(item);
      Py_DECREF(item);
      if (!ok) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
      if (!take(PyTuple_GET_ITEM(seq, i))) return false;
    }
    return true;
  }
  PyObject* iterator = PyObject_GetIter(seq);
  if (iterator == nullptr) return false;
  bool ok = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    ok = take(item);
    Py_DECREF(item);
    if (!ok) break;
  }
  Py_DECREF(iterator);
  return ok && !PyErr_Occurred();
}

PyObject* project_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* u_vec;
  if (!parse(kBatchSignature, args, nargsf, kwnames, u_vec)) return nullptr;
  if (PyUnicode_Check(u_vec)) {
    kStrIsNotAVector.raise();
    prefix_type_error("u_vec");
    return nullptr;
  }
  if (!PySequence_Check(u_vec)) {
    raise_cannot_convert(u_vec, kSequenceTarget);
    prefix_type_error("u_vec");
    return nullptr;
  }
  // The length only sizes the buffer; a sequence that cannot tell gets none, and
  // an implausible length does not reserve more than a modest amount up front.
  Py_ssize_t length = PySequence_Size(u_vec);
  if (length < 0) {
    PyErr_Clear();
    length = 0;
  }
  std::vector<float> buffer;
  buffer.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, Py_ssize_t{1} << 24)));
  if (!read_elements(u_vec, buffer)) {
    prefix_type_error("u_vec");
    return nullptr;
  }

  const GovernorRecord& g = governor_of(self);
  for (float& u : buffer) u = project_one(g, u);

  PyObject* result = PyList_New(static_cast<Py_ssize_t>(buffer.size()));
  if (result == nullptr) return nullptr;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(buffer[i]);
    if (item == nullptr) {
      Py_DECREF(result);
      return nullptr;
    }
    PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), item);
  }
  return result;
}

PyMethodDef kMethods[] = {
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project)),
     METH_FASTCALL | METH_KEYWORDS,
     "project($self, u_desired)\n--\n\nProject a single scalar actuator command into the safe envelope."},
    {"project_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "project_batch($self, u_vec)\n--\n\nProject a vector of actuator commands in a single call."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Governor(min_bound, max_bound)\n--\n\n"
                                  "Python wrapper around the Kelvara scalar active-set projection kernel.")},
    {Py_tp_new, reinterpret_cast<void*>(governor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GovernorRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Governor",
    sizeof(Instance<GovernorRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* governor_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
