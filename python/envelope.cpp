// Envelope: a box of per-axis bounds cut by linear rows, for any arm of 1 to
// 32 axes and up to 32 rows, onto which commands are projected by the
// kernel's general solve in double precision. Everything is checked once, at
// construction, and the instance holds the kernel's envelope itself: a
// projection only reads the command, and nothing ever changes afterwards, so
// any number of threads may project at once.
#include "envelope.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "binder.hpp"
#include "classes.hpp"
#include "envelope4_result.hpp"
#include "envelope_result.hpp"
#include "float_buffer.hpp"
#include "instance.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

using core::EnvelopeFault;
using core::kEnvelopeMaxAxes;
using core::kEnvelopeMaxRows;

const core::Envelope& held(PyObject* self) { return record_of<core::Envelope>(self); }

constexpr Signature<4> kNewSignature{"Envelope.__new__()", {"min_bound", "max_bound", "rows", "limits"}, 2};
constexpr Signature<1> kProjectSignature{"Envelope.project()", {"u"}, 1};
constexpr Signature<2> kIntoSignature{"Envelope.project_into()", {"buffer", "statuses"}, 1};

// ---- Construction ----------------------------------------------------------

// The arguments as read, before the kernel validates them.
struct EnvelopeInput {
  std::size_t axes = 0;
  std::size_t rows = 0;
  double min_bound[kEnvelopeMaxAxes];
  double max_bound[kEnvelopeMaxAxes];
  double coefficients[kEnvelopeMaxRows * kEnvelopeMaxAxes];
  double limits[kEnvelopeMaxRows];
};

bool is_nan(double v) { return v != v; }

PyObject* raise_value_error(const char* format, auto... args) {
  PyErr_Format(PyExc_ValueError, format, args...);
  return nullptr;
}

// The kernel's refusal, told with the first value that caused it.
PyObject* raise_invalid(const EnvelopeInput& in, EnvelopeFault fault) {
  for (std::size_t i = 0; i < in.axes; ++i) {
    const double lo = in.min_bound[i];
    const double hi = in.max_bound[i];
    if (fault == EnvelopeFault::NanBound && (is_nan(lo) || is_nan(hi))) {
      return raise_value_error("argument '%s': element %zu is NaN", is_nan(lo) ? "min_bound" : "max_bound",
                               i);
    }
    if (fault == EnvelopeFault::BoundsReversed && lo > hi) {
      PyRef low(PyFloat_FromDouble(lo)), high(PyFloat_FromDouble(hi));
      if (!low || !high) return nullptr;
      return raise_value_error("min_bound[%zu] is above max_bound[%zu] (%R > %R)", i, i, low.get(),
                               high.get());
    }
    if (fault == EnvelopeFault::UnreachableBound && lo == HUGE_VAL) {
      return raise_value_error("argument 'min_bound': element %zu is inf, which no finite command reaches",
                               i);
    }
    if (fault == EnvelopeFault::UnreachableBound && hi == -HUGE_VAL) {
      return raise_value_error("argument 'max_bound': element %zu is -inf, which no finite command reaches",
                               i);
    }
  }
  for (std::size_t r = 0; r < in.rows; ++r) {
    for (std::size_t i = 0; fault == EnvelopeFault::NonFiniteCoefficient && i < in.axes; ++i) {
      const double a = in.coefficients[r * in.axes + i];
      if (a - a != 0.0) {
        return raise_value_error("argument 'rows': rows[%zu][%zu] is %s; coefficients must be finite", r, i,
                                 is_nan(a) ? "NaN" : (a > 0 ? "inf" : "-inf"));
      }
    }
    if (fault == EnvelopeFault::NanLimit && is_nan(in.limits[r])) {
      return raise_value_error("argument 'limits': element %zu is NaN", r);
    }
  }
  return raise_value_error("the envelope is invalid (fault %d)", static_cast<int>(fault));
}

PyObject* envelope_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* min_bound;
  PyObject* max_bound;
  PyObject* rows = nullptr;
  PyObject* limits = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, min_bound, max_bound, rows, limits)) return nullptr;

  EnvelopeInput in;
  const auto axes = read_numbers(min_bound, "min_bound", std::span<double>(in.min_bound), 1);
  if (!axes) return nullptr;
  in.axes = *axes;
  if (!read_numbers(max_bound, "max_bound", std::span<double>(in.max_bound, in.axes), in.axes))
    return nullptr;
  if (rows != nullptr) {
    const auto count =
        read_rows(rows, "rows", std::span<double>(in.coefficients, kEnvelopeMaxRows * in.axes), in.axes);
    if (!count) return nullptr;
    in.rows = *count;
  }
  std::size_t limit_count = 0;
  if (limits != nullptr) {
    const auto read = read_numbers(limits, "limits", std::span<double>(in.limits), 0);
    if (!read) return nullptr;
    limit_count = *read;
  }
  if (limit_count != in.rows) {
    return raise_value_error("argument 'limits': expected one limit per row of 'rows' (%zu), got %zu",
                             in.rows, limit_count);
  }
  const auto made =
      core::Envelope::make(in.axes, in.min_bound, in.max_bound, in.rows, in.coefficients, in.limits);
  if (!made) return raise_invalid(in, made.error());
  return new_instance<core::Envelope>(type, *made);
}

// ---- Projection --------------------------------------------------------------

// A NaN command is refused before anything is projected or written, naming
// the first NaN (by row as well when the values hold several commands).
bool refuse_nan(const double* values, std::size_t count, std::size_t axes, bool by_row, const char* param) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!is_nan(values[k])) continue;
    if (by_row) {
      raise_value_error("argument '%s': row %zu, element %zu is NaN", param, k / axes, k % axes);
    } else {
      raise_value_error("argument '%s': element %zu is NaN", param, k);
    }
    return false;
  }
  return true;
}

PyObject* project(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* u_object;
  if (!parse(kProjectSignature, args, nargsf, kwnames, u_object)) return nullptr;
  const core::Envelope& e = held(self);
  const std::size_t axes = e.axes();
  double u[kEnvelopeMaxAxes];
  if (!read_numbers(u_object, "u", std::span<double>(u, axes), axes) ||
      !refuse_nan(u, axes, axes, false, "u")) {
    return nullptr;
  }
  const core::EnvelopeProjection outcome = e.project(u, u);
  return new_envelope_result(std::span<const double>(u, axes), outcome);
}

// The statuses argument of project_into: a writable, C-contiguous,
// one-dimensional buffer of one-byte items, held for the call.
class StatusBuffer {
 public:
  StatusBuffer() = default;
  StatusBuffer(const StatusBuffer&) = delete;
  StatusBuffer& operator=(const StatusBuffer&) = delete;
  ~StatusBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with TypeError or ValueError set, naming 'statuses', unless obj is
  // such a buffer of `rows` items.
  bool take(PyObject* obj, Py_ssize_t rows) {
    if (!PyObject_CheckBuffer(obj) || PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument 'statuses': expected a writable buffer of bytes, not '%s'",
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    if (view_.itemsize != 1) {
      PyErr_Format(PyExc_TypeError, "argument 'statuses': expected one-byte items, got %zd-byte items",
                   view_.itemsize);
    } else if (view_.ndim != 1 || !PyBuffer_IsContiguous(&view_, 'C')) {
      PyErr_SetString(PyExc_ValueError,
                      "argument 'statuses': expected a C-contiguous one-dimensional buffer");
    } else if (view_.readonly) {
      PyErr_SetString(PyExc_TypeError, "argument 'statuses': the buffer is read-only");
    } else if (view_.shape[0] != rows) {
      PyErr_Format(PyExc_ValueError, "argument 'statuses': expected one byte per row (%zd), got %zd", rows,
                   view_.shape[0]);
    } else {
      return true;
    }
    return false;
  }

  std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
  const char* begin() const noexcept { return static_cast<const char*>(view_.buf); }
  Py_ssize_t bytes() const noexcept { return view_.len; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Projects k commands of `axes` values in place, each as project() would,
// writing each status when asked; returns how many are not optimal.
std::size_t project_rows(const core::Envelope& e, double* commands, std::size_t k,
                         std::uint8_t* statuses) noexcept {
  std::size_t not_optimal = 0;
  for (std::size_t r = 0; r < k; ++r) {
    double* command = commands + r * e.axes();
    const core::EnvelopeProjection outcome = e.project(command, command);
    if (statuses != nullptr) statuses[r] = static_cast<std::uint8_t>(outcome.status);
    not_optimal += outcome.status != KELVARA_STATUS_OPTIMAL;
  }
  return not_optimal;
}

// Releasing the interpreter lock lets other threads run, but taking it back
// can wait for another thread's turn to end: worth it once the projections
// take tens of microseconds, a hundred commands or so.
constexpr std::size_t kUnlockedRows = 128;

PyObject* project_into(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* buffer;
  PyObject* statuses_object = nullptr;
  if (!parse(kIntoSignature, args, nargsf, kwnames, buffer, statuses_object)) return nullptr;
  const core::Envelope& e = held(self);
  const std::size_t axes = e.axes();

  FloatBuffer commands;
  if (!commands.take_float64_rows(buffer, "buffer", true)) return nullptr;
  if (commands.row_length() != static_cast<Py_ssize_t>(axes)) {
    return raise_value_error("argument 'buffer': expected rows of %zu numbers, got %zd", axes,
                             commands.row_length());
  }
  const Py_ssize_t rows = commands.dimensions() == 1 ? 1 : commands.size();
  StatusBuffer statuses;
  const bool with_statuses = statuses_object != nullptr && statuses_object != Py_None;
  if (with_statuses) {
    if (!statuses.take(statuses_object, rows)) return nullptr;
    const char* b = static_cast<const char*>(commands.begin());
    if (statuses.bytes() > 0 && statuses.begin() < b + commands.bytes() &&
        b < statuses.begin() + statuses.bytes()) {
      return raise_value_error("argument 'statuses': the buffer overlaps 'buffer'");
    }
  }
  double* data = commands.float64_data();
  const std::size_t k = static_cast<std::size_t>(rows);
  if (!refuse_nan(data, k * axes, axes, commands.dimensions() == 2, "buffer")) return nullptr;

  std::uint8_t* status_data = with_statuses ? statuses.data() : nullptr;
  std::size_t not_optimal;
  if (k < kUnlockedRows) {
    not_optimal = project_rows(e, data, k, status_data);
  } else {
    // The buffer exports held here keep both memories in place; the envelope
    // never changes after construction.
    Py_BEGIN_ALLOW_THREADS not_optimal = project_rows(e, data, k, status_data);
    Py_END_ALLOW_THREADS
  }
  return PyLong_FromSize_t(not_optimal);
}

// ---- Attributes ----------------------------------------------------------------

template <typename Get>
PyObject* new_tuple(std::size_t n, Get get) {
  double values[kEnvelopeMaxAxes];
  for (std::size_t i = 0; i < n; ++i) values[i] = get(i);
  return new_float_tuple(std::span<const double>(values, n));
}

PyObject* get_axes(PyObject* self, void*) { return PyLong_FromSize_t(held(self).axes()); }
PyObject* get_min_bound(PyObject* self, void*) {
  const core::Envelope& e = held(self);
  return new_tuple(e.axes(), [&](std::size_t i) { return e.min_bound(i); });
}
PyObject* get_max_bound(PyObject* self, void*) {
  const core::Envelope& e = held(self);
  return new_tuple(e.axes(), [&](std::size_t i) { return e.max_bound(i); });
}
PyObject* get_limits(PyObject* self, void*) {
  const core::Envelope& e = held(self);
  return new_tuple(e.rows(), [&](std::size_t r) { return e.limit(r); });
}
PyObject* get_rows(PyObject* self, void*) {
  const core::Envelope& e = held(self);
  PyRef rows(PyTuple_New(static_cast<Py_ssize_t>(e.rows())));
  if (!rows) return nullptr;
  for (std::size_t r = 0; r < e.rows(); ++r) {
    PyObject* row = new_tuple(e.axes(), [&](std::size_t i) { return e.coefficient(r, i); });
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row);
  }
  return rows.release();
}

PyObject* envelope_repr(PyObject* self) {
  PyRef parts[] = {PyRef(get_min_bound(self, nullptr)), PyRef(get_max_bound(self, nullptr)),
                   PyRef(get_rows(self, nullptr)), PyRef(get_limits(self, nullptr))};
  for (const PyRef& part : parts) {
    if (!part) return nullptr;
  }
  return PyUnicode_FromFormat("Envelope(min_bound=%R, max_bound=%R, rows=%R, limits=%R)", parts[0].get(),
                              parts[1].get(), parts[2].get(), parts[3].get());
}

PyGetSetDef kGetSet[] = {
    {"axes", get_axes, nullptr, "Number of axes (1 to 32).", nullptr},
    {"min_bound", get_min_bound, nullptr, "Lower bound of each axis.", nullptr},
    {"max_bound", get_max_bound, nullptr, "Upper bound of each axis.", nullptr},
    {"rows", get_rows, nullptr, "The linear rows, one coefficient per axis each.", nullptr},
    {"limits", get_limits, nullptr, "The limit of each row: row . x <= limit.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project)),
     METH_FASTCALL | METH_KEYWORDS,
     "project($self, u)\n--\n\n"
     "Project a command (one number per axis, any sequence or buffer) onto the envelope."},
    {"project_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project_into)),
     METH_FASTCALL | METH_KEYWORDS,
     "project_into($self, buffer, statuses=None)\n--\n\n"
     "Project a writable C-contiguous float64 buffer of shape (axes,) or (k, axes) in place, row by row; "
     "statuses, a writable buffer of k bytes, receives each row's status number. Returns how many rows "
     "are not optimal."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Envelope(min_bound, max_bound, rows=(), limits=())\n--\n\n"
                                  "An envelope of 1 to 32 axes: per-axis bounds and up to 32 linear rows "
                                  "row . x <= limit, solved in double precision.")},
    {Py_tp_new, reinterpret_cast<void*>(envelope_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<core::Envelope>)},
    {Py_tp_repr, reinterpret_cast<void*>(envelope_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Envelope",
    sizeof(Instance<core::Envelope>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* envelope_type() { return type_once(g_type, kSpec); }

const core::Envelope* envelope_of(PyObject* obj, const char* param) {
  PyTypeObject* type = envelope_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected Envelope, not '%s'", param, Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return &held(obj);
}

}  // namespace kelvara::py
