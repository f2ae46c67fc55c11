// Governor: projects actuator commands into a fixed envelope [min_bound, max_bound]
// through the scalar projection kernel, in single precision.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "float_buffer.hpp"
#include "instance.hpp"
#include "kelvara/core/scalar_projection.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

struct GovernorRecord {
  // Row 0, u <= max_bound, is the only row the kernel reads; row 1, -u <= -min_bound,
  // completes the record's statement of the envelope, whose lower end reaches
  // the kernel as its lower bound.
  ScalarConstraints constraints;
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
constexpr Signature<1> kIntoSignature{"Governor.project_into()", {"buffer"}, 1};

PyObject* governor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  float min_bound = 0.0f;
  float max_bound = 0.0f;
  if (!parse_new(kNewSignature, args, kwargs, min_bound, max_bound)) return nullptr;
  // Also refuses NaN and bounds equal after narrowing.
  if (!(min_bound < max_bound)) return kBoundsOrderError.raise();
  return new_instance<GovernorRecord>(
      type, ScalarConstraints{{1.0f, -1.0f, 0.0f, 0.0f}, {max_bound, -min_bound, 0.0f, 0.0f}}, min_bound,
      max_bound);
}

PyObject* project(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  float u_desired;
  if (!parse(kProjectSignature, args, nargsf, kwnames, u_desired)) return nullptr;
  return PyFloat_FromDouble(project_one(governor_of(self), u_desired));
}

// One element as project() gives it, for the bulk paths: a float64 is
// narrowed, projected and widened back. project_one(g, u) equals clamping u
// into [min_bound, max_bound] lower bound first, for every u: row 0
// (1 * u <= max_bound) makes the kernel clamp into [min_bound,
// min_num(max_bound, max_bound / 1)], and both bounds are numbers with
// min_bound < max_bound. Written as two selects with no branch left, so that
// loops over it compile to vector compares and blends.
template <typename T>
[[gnu::always_inline]] inline T projected_element(const GovernorRecord& g, T x) noexcept {
  float u = static_cast<float>(x);
  u = u < g.min_bound ? g.min_bound : u;
  u = u > g.max_bound ? g.max_bound : u;
  return static_cast<T>(u);
}

template <typename T>
using BitsOf = std::conditional_t<sizeof(T) == sizeof(std::uint32_t), std::uint32_t, std::uint64_t>;

// Projects data[0..n) in place. A block whose results all equal its elements
// bit for bit is only read, never written, so projecting an array that is
// already inside the envelope costs only reading it. Blocks have a fixed size
// so that both loops compile to straight vector code.
template <typename T>
[[gnu::always_inline]] inline void project_elements(const GovernorRecord& g, T* data,
                                                    std::size_t n) noexcept {
  constexpr std::size_t kBlock = 256;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    T* block = data + i;
    T out[kBlock];
    BitsOf<T> changed = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      out[k] = projected_element(g, block[k]);
      changed |= std::bit_cast<BitsOf<T>>(out[k]) ^ std::bit_cast<BitsOf<T>>(block[k]);
    }
    if (changed != 0) std::memcpy(block, out, sizeof out);
  }
  for (; i < n; ++i) data[i] = projected_element(g, data[i]);
}

// The bulk loops, built once per vector width; the loader picks the widest the
// processor has. Every width computes the same compares and selects, so the
// results are the same bit for bit.
[[gnu::target_clones("default", "avx2", "avx512f")]] void project_all(const GovernorRecord& g, float* data,
                                                                      std::size_t n) noexcept {
  project_elements(g, data, n);
}
[[gnu::target_clones("default", "avx2", "avx512f")]] void project_all(const GovernorRecord& g, double* data,
                                                                      std::size_t n) noexcept {
  project_elements(g, data, n);
}

// Releasing the interpreter lock lets other threads run, but taking it back can
// wait for another thread's turn to end: only worth it when the projection
// itself takes tens of microseconds (about a tenth of a nanosecond an element).
constexpr Py_ssize_t kUnlockedProjectionSize = 1 << 18;

template <typename T>
void project_elements_unlocked(const GovernorRecord& g, T* data, Py_ssize_t n) {
  if (n < kUnlockedProjectionSize) {
    project_all(g, data, static_cast<std::size_t>(n));
    return;
  }
  // The buffer export held by the caller keeps the memory in place; the record
  // never changes after construction.
  Py_BEGIN_ALLOW_THREADS project_all(g, data, static_cast<std::size_t>(n));
  Py_END_ALLOW_THREADS
}

PyObject* project_into(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* buffer;
  if (!parse(kIntoSignature, args, nargsf, kwnames, buffer)) return nullptr;
  FloatBuffer view;
  if (!view.take_writable(buffer, "buffer")) return nullptr;
  const GovernorRecord& g = governor_of(self);
  if (view.element() == FloatBuffer::Element::float32) {
    project_elements_unlocked(g, view.float32_data(), view.size());
  } else {
    project_elements_unlocked(g, view.float64_data(), view.size());
  }
  Py_RETURN_NONE;
}

// Long loops look for a pending signal (Ctrl-C) this often, in elements.
constexpr std::size_t kSignalCheckInterval = 4096;

bool signal_check_due(std::size_t done) { return done % kSignalCheckInterval == 0; }

// Float32 values in the interpreter's allocator, growing as they are read. An
// allocation that fails sets MemoryError instead of throwing.
class FloatStore {
 public:
  FloatStore() = default;
  FloatStore(const FloatStore&) = delete;
  FloatStore& operator=(const FloatStore&) = delete;
  ~FloatStore() { PyMem_Free(data_); }

  bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    if (capacity > PY_SSIZE_T_MAX / sizeof(float)) {
      PyErr_NoMemory();
      return false;
    }
    void* grown = PyMem_Realloc(data_, capacity * sizeof(float));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = static_cast<float*>(grown);
    capacity_ = capacity;
    return true;
  }
  bool push(float value) {
    if (size_ == capacity_ && !reserve(capacity_ < 1024 ? 1024 : capacity_ * 2)) return false;
    data_[size_++] = value;
    return true;
  }
  float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads every element of `seq` through the iterator protocol into `store`.
// Exact lists and tuples are walked by index, which visits the same elements in
// the same order as their iterators (a list's length is re-read at every step).
// A pending signal stops the reading with its exception.
bool read_elements(PyObject* seq, FloatStore& store) {
  const auto take = [&store](PyObject* item) {
    float value;
    if (!convert(item, value) || !store.push(value)) return false;
    return !signal_check_due(store.size()) || PyErr_CheckSignals() == 0;
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

// The elements of a float32 or float64 buffer, narrowed, without a Python
// object per element.
bool read_buffer(const FloatBuffer& view, FloatStore& store) {
  const Py_ssize_t n = view.size();
  if (!store.reserve(static_cast<std::size_t>(n))) return false;
  for (Py_ssize_t i = 0; i < n; ++i) store.push(view.narrowed(i));  // within the reserved room
  return true;
}

// A new list of the values as Python floats. Values equal to a bound (every
// clamped one) share one float object per bound. The list stays out of the
// garbage collector's sight until it is full, since a signal handler run while
// it fills could otherwise reach its empty slots.
PyObject* new_float_list(const GovernorRecord& g, const FloatStore& values) {
  PyRef bounds[2] = {PyRef(PyFloat_FromDouble(g.min_bound)), PyRef(PyFloat_FromDouble(g.max_bound))};
  if (!bounds[0] || !bounds[1]) return nullptr;
  const std::uint32_t bound_bits[2] = {std::bit_cast<std::uint32_t>(g.min_bound),
                                       std::bit_cast<std::uint32_t>(g.max_bound)};
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float v = values.data()[i];
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
    PyObject* item = bits == bound_bits[0]   ? Py_NewRef(bounds[0].get())
                     : bits == bound_bits[1] ? Py_NewRef(bounds[1].get())
                                             : PyFloat_FromDouble(v);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    if (signal_check_due(i + 1) && PyErr_CheckSignals() < 0) return nullptr;
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

PyObject* project_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* u_vec;
  if (!parse(kBatchSignature, args, nargsf, kwnames, u_vec)) return nullptr;
  if (PyUnicode_Check(u_vec)) {
    kStrIsNotAVector.raise();
    prefix_type_error("u_vec");
    return nullptr;
  }
  FloatStore store;
  if (FloatBuffer view; view.take_readable(u_vec)) {
    if (!read_buffer(view, store)) return nullptr;
  } else {
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
    if (!store.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, Py_ssize_t{1} << 24))) ||
        !read_elements(u_vec, store)) {
      prefix_type_error("u_vec");
      return nullptr;
    }
  }
  const GovernorRecord& g = governor_of(self);
  project_all(g, store.data(), store.size());
  return new_float_list(g, store);
}

PyMethodDef kMethods[] = {
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project)),
     METH_FASTCALL | METH_KEYWORDS,
     "project($self, u_desired)\n--\n\nProject a single scalar actuator command into the safe envelope."},
    {"project_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "project_batch($self, u_vec)\n--\n\nProject a vector of actuator commands in a single call."},
    {"project_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_into)),
     METH_FASTCALL | METH_KEYWORDS,
     "project_into($self, buffer)\n--\n\n"
     "Project a writable one-dimensional float32 or float64 buffer in place, each element as "
     "project() would."},
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
