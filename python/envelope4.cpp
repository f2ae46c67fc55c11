// Envelope4: a fixed four-axis envelope (a box and up to four linear
// constraints row . x <= limit) into which commands are projected by the
// kernel's least-distance solve. Everything is checked and narrowed to float32
// once, at construction; a projection only reads four numbers and solves.
#include <Python.h>

#include <cstddef>
#include <span>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "envelope4_result.hpp"
#include "instance.hpp"
#include "kelvara.h"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

constexpr std::size_t kAxes = KELVARA_MULTIVAR4D_AXES;
constexpr std::size_t kMaxRows = KELVARA_MULTIVAR4D_MAX_CONSTRAINTS;

struct Envelope4Record {
  Multivar4dBounds bounds;
  Multivar4dConstraints constraints;
};

const Envelope4Record& envelope_of(PyObject* self) { return record_of<Envelope4Record>(self); }

constexpr Signature<4> kNewSignature{"Envelope4.__new__()", {"min_bound", "max_bound", "rows", "limits"}, 2};
constexpr Signature<1> kProjectSignature{"Envelope4.project()", {"u"}, 1};

// Up to four rows of four numbers each into constraints.a; the count is theirs.
bool read_constraint_rows(PyObject* rows, Multivar4dConstraints& constraints) {
  const auto count = read_rows(rows, "rows", std::span<float>(&constraints.a[0][0], kMaxRows * kAxes), kAxes);
  if (!count) return false;
  constraints.count = static_cast<std::uint64_t>(*count);
  return true;
}

PyObject* envelope_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* min_bound;
  PyObject* max_bound;
  PyObject* rows = nullptr;
  PyObject* limits = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, min_bound, max_bound, rows, limits)) return nullptr;

  // Unused rows and limits stay zero; the kernel never reads them.
  Envelope4Record record{};
  if (!read_numbers(min_bound, "min_bound", record.bounds.min_bound, kAxes) ||
      !read_numbers(max_bound, "max_bound", record.bounds.max_bound, kAxes) ||
      (rows != nullptr && !read_constraint_rows(rows, record.constraints))) {
    return nullptr;
  }
  std::size_t limit_count = 0;
  if (limits != nullptr) {
    const auto read = read_numbers(limits, "limits", record.constraints.b, 0);
    if (!read) return nullptr;
    limit_count = *read;
  }
  if (limit_count != record.constraints.count) {
    PyErr_Format(PyExc_ValueError, "argument 'limits': expected one limit per row of 'rows' (%llu), got %zu",
                 static_cast<unsigned long long>(record.constraints.count), limit_count);
    return nullptr;
  }
  // NaN, reversed bounds and the like are the solve's to report (status
  // 'invalid'), exactly as the C function does.
  return new_instance<Envelope4Record>(type, record);
}

PyObject* project(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* u_object;
  if (!parse(kProjectSignature, args, nargsf, kwnames, u_object)) return nullptr;
  float u[kAxes];
  if (!read_numbers(u_object, "u", u, kAxes)) return nullptr;
  const Envelope4Record& e = envelope_of(self);
  Multivar4dSolution solution;
  kelvara_solve_multivar_4d(u, &e.bounds, &e.constraints, &solution);  // no null pointer: always 0
  return new_envelope4_result(solution);
}

PyObject* get_min_bound(PyObject* self, void*) { return new_float_tuple(envelope_of(self).bounds.min_bound); }
PyObject* get_max_bound(PyObject* self, void*) { return new_float_tuple(envelope_of(self).bounds.max_bound); }
PyObject* get_limits(PyObject* self, void*) {
  const Multivar4dConstraints& c = envelope_of(self).constraints;
  return new_float_tuple(std::span<const float>(c.b, c.count));
}
PyObject* get_rows(PyObject* self, void*) {
  const Multivar4dConstraints& c = envelope_of(self).constraints;
  PyRef rows(PyTuple_New(static_cast<Py_ssize_t>(c.count)));
  if (!rows) return nullptr;
  for (std::size_t j = 0; j < c.count; ++j) {
    PyObject* row = new_float_tuple(c.a[j]);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(j), row);
  }
  return rows.release();
}

PyObject* envelope_repr(PyObject* self) {
  PyRef parts[] = {PyRef(get_min_bound(self, nullptr)), PyRef(get_max_bound(self, nullptr)),
                   PyRef(get_rows(self, nullptr)), PyRef(get_limits(self, nullptr))};
  for (const PyRef& part : parts) {
    if (!part) return nullptr;
  }
  return PyUnicode_FromFormat("Envelope4(min_bound=%R, max_bound=%R, rows=%R, limits=%R)", parts[0].get(),
                              parts[1].get(), parts[2].get(), parts[3].get());
}

PyGetSetDef kGetSet[] = {
    {"min_bound", get_min_bound, nullptr, "Lower bound of each axis, as float32.", nullptr},
    {"max_bound", get_max_bound, nullptr, "Upper bound of each axis, as float32.", nullptr},
    {"rows", get_rows, nullptr, "Constraint rows, four float32 coefficients each.", nullptr},
    {"limits", get_limits, nullptr, "The limit of each constraint row, as float32.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(project)),
     METH_FASTCALL | METH_KEYWORDS,
     "project($self, u)\n--\n\n"
     "Project a four-axis command (four numbers, any sequence or buffer) into the envelope."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Envelope4(min_bound, max_bound, rows=(), limits=())\n--\n\n"
                                  "A four-axis envelope: per-axis bounds and up to four linear constraints "
                                  "row . x <= limit, solved in float32.")},
    {Py_tp_new, reinterpret_cast<void*>(envelope_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Envelope4Record>)},
    {Py_tp_repr, reinterpret_cast<void*>(envelope_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Envelope4",
    sizeof(Instance<Envelope4Record>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* envelope4_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
