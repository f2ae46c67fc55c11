#include "envelope_attributes.hpp"

#include <optional>

#include "binder.hpp"

namespace kelvara::py {
namespace {

template <typename T>
bool read_row_limits_as(PyObject* limits, std::span<T> out, std::size_t rows) {
  std::size_t limit_count = 0;
  if (limits != nullptr) {
    const std::optional<std::size_t> read = read_numbers(limits, "limits", out, 0);
    if (!read) return false;
    limit_count = *read;
  }
  if (limit_count != rows) {
    PyErr_Format(PyExc_ValueError, "argument 'limits': expected one limit per row of 'rows' (%zu), got %zu",
                 rows, limit_count);
    return false;
  }
  return true;
}

}  // namespace

bool read_row_limits(PyObject* limits, std::span<float> out, std::size_t rows) {
  return read_row_limits_as(limits, out, rows);
}

bool read_row_limits(PyObject* limits, std::span<double> out, std::size_t rows) {
  return read_row_limits_as(limits, out, rows);
}

PyObject* new_envelope_repr(const char* type_name, PyObject* self, getter min_bound, getter max_bound,
                            getter rows, getter limits) {
  PyRef parts[] = {PyRef(min_bound(self, nullptr)), PyRef(max_bound(self, nullptr)),
                   PyRef(rows(self, nullptr)), PyRef(limits(self, nullptr))};
  for (const PyRef& part : parts) {
    if (!part) return nullptr;
  }
  return PyUnicode_FromFormat("%s(min_bound=%R, max_bound=%R, rows=%R, limits=%R)", type_name, parts[0].get(),
                              parts[1].get(), parts[2].get(), parts[3].get());
}

}  // namespace kelvara::py
