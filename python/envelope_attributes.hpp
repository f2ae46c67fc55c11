// What the two envelope classes (Envelope4 in float32, Envelope in float64)
// share: reading the limits that go with the rows, and showing rows and the
// whole envelope back as Python values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "pyref.hpp"

namespace kelvara::py {

// Reads the optional 'limits' argument (null: no limits) into out and checks
// there is one limit per row of 'rows'. False with an exception set otherwise.
bool read_row_limits(PyObject* limits, std::span<float> out, std::size_t rows);
bool read_row_limits(PyObject* limits, std::span<double> out, std::size_t rows);

// A new tuple of `count` rows, row r made by make_row(r) (a new reference, or
// null with an exception set); null with an exception set on failure.
template <typename MakeRow>
PyObject* new_row_tuple(std::size_t count, MakeRow make_row) {
  PyRef rows(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!rows) return nullptr;
  for (std::size_t r = 0; r < count; ++r) {
    PyObject* row = make_row(r);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row);
  }
  return rows.release();
}

// An envelope's repr, "Name(min_bound=..., max_bound=..., rows=...,
// limits=...)", from its four attribute getters; null with an exception set
// if one of them fails.
PyObject* new_envelope_repr(const char* type_name, PyObject* self, getter min_bound, getter max_bound,
                            getter rows, getter limits);

}  // namespace kelvara::py
