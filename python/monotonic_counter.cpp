// MonotonicCounter: hands out strictly increasing unsigned 64-bit values, wrapping
// to 0 after 2**64 - 1. One atomic fetch-and-add per value, so concurrent callers
// never share a value, with or without the interpreter lock. A counter holds no
// key and signs nothing, so it is not tied to its process: after fork() each
// process counts on from the shared value (docs/operating.md).
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binder.hpp"
#include "classes.hpp"
#include "instance.hpp"

namespace kelvara::py {
namespace {

using CounterRecord = std::atomic<std::uint64_t>;

CounterRecord& counter_of(PyObject* self) { return record_of<CounterRecord>(self); }

constexpr Signature<1> kNewSignature{"MonotonicCounter.__new__()", {"initial_value"}, 0};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::uint64_t initial_value = 0;
  if (!parse_new(kNewSignature, args, kwargs, initial_value)) return nullptr;
  return new_instance<CounterRecord>(type, initial_value);
}

PyObject* next_value(PyObject* self, PyObject*) {
  const std::uint64_t previous = counter_of(self).fetch_add(1, std::memory_order_acq_rel);
  return PyLong_FromUnsignedLongLong(previous + 1);  // wraps to 0 after 2**64 - 1
}

PyObject* current_value(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(counter_of(self).load(std::memory_order_acquire));
}

PyMethodDef kMethods[] = {
    {"next_value", next_value, METH_NOARGS,
     "next_value($self)\n--\n\nReturn the next strictly greater counter value."},
    {"current_value", current_value, METH_NOARGS,
     "current_value($self)\n--\n\nReturn the current counter value without advancing it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("MonotonicCounter(initial_value=0)\n--\n\n"
                                  "A monotonically increasing 64-bit counter.")},
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<CounterRecord>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.MonotonicCounter",
    sizeof(Instance<CounterRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* monotonic_counter_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
