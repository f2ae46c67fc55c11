#include "outcome_stats.hpp"

#include <string_view>

#include "kelvara/edge/refusal.hpp"
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
                        std::span<const std::int32_t> refusals) {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), success_key, stats.admitted())) return nullptr;
  for (const std::int32_t number : refusals) {
    if (!put(dict.get(), edge::outcome_code(number), stats.of(number))) return nullptr;
  }
  return dict.release();
}

}  // namespace kelvara::py
