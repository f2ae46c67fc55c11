#include "outcome_stats.hpp"

#include <string_view>

#include "pyref.hpp"

namespace kelvara::py {
namespace {

bool put(PyObject* dict, std::string_view key, std::uint64_t count) {
  PyRef value(PyLong_FromUnsignedLongLong(count));
  if (!value) return false;
  PyRef name(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  return name && PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

}  // namespace

PyObject* stats_mapping(const edge::OutcomeStats& stats, const char* success_key,
                        std::span<const security::Outcome> refusals) {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), success_key, stats.admitted())) return nullptr;
  for (const security::Outcome outcome : refusals) {
    if (!put(dict.get(), security::row_of(outcome).code, stats.of(security::number(outcome)))) return nullptr;
  }
  return dict.release();
}

}  // namespace kelvara::py
