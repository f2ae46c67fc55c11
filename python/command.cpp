#include "command.hpp"

#include "classes.hpp"
#include "instance.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

const edge::Command& command_of(PyObject* self) { return record_of<edge::Command>(self); }

// A new tuple of the first `axes` values, each the double exactly as signed.
PyObject* tuple_of(const double* values, std::size_t axes) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(axes)));
  if (!tuple) return nullptr;
  for (std::size_t axis = 0; axis < axes; ++axis) {
    PyObject* value = PyFloat_FromDouble(values[axis]);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(axis), value);  // steals the reference
  }
  return tuple.release();
}

PyObject* get_stream_id(PyObject* self, void*) { return PyLong_FromUnsignedLong(command_of(self).stream_id); }
PyObject* get_counter(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(command_of(self).counter); }
PyObject* get_key_id(PyObject* self, void*) { return PyLong_FromUnsignedLong(command_of(self).key_id); }
PyObject* get_positions(PyObject* self, void*) {
  return tuple_of(command_of(self).positions.data(), command_of(self).axes);
}
PyObject* get_velocities(PyObject* self, void*) {
  return tuple_of(command_of(self).velocities.data(), command_of(self).axes);
}

PyObject* command_repr(PyObject* self) {
  const edge::Command& c = command_of(self);
  PyRef positions(get_positions(self, nullptr));
  PyRef velocities(get_velocities(self, nullptr));
  if (!positions || !velocities) return nullptr;
  return PyUnicode_FromFormat("Command(stream_id=%lu, counter=%llu, key_id=%u, positions=%R, velocities=%R)",
                              static_cast<unsigned long>(c.stream_id),
                              static_cast<unsigned long long>(c.counter), static_cast<unsigned>(c.key_id),
                              positions.get(), velocities.get());
}

PyGetSetDef kGetSet[] = {
    {"stream_id", get_stream_id, nullptr, "The stream the frame was signed for.", nullptr},
    {"counter", get_counter, nullptr, "The frame's counter: the sender's clock in nanoseconds.", nullptr},
    {"key_id", get_key_id, nullptr, "The id of the key the frame was signed under.", nullptr},
    {"positions", get_positions, nullptr, "One position per axis, the exact doubles signed.", nullptr},
    {"velocities", get_velocities, nullptr, "One velocity per axis, the exact doubles signed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A command frame admitted by CommandGate: every axis of one tick.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<edge::Command>)},
    {Py_tp_repr, reinterpret_cast<void*>(command_repr)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Command",
    sizeof(Instance<edge::Command>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* command_type() { return type_once(g_type, kSpec); }

PyObject* new_command(const edge::Command& command) {
  return new_instance<edge::Command>(command_type(), command);
}

}  // namespace kelvara::py
