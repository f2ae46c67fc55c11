// CommandGate: the actuator side of the command frame in Python. Admits a
// whole joint vector or none of it and hands back the Command it admitted;
// the nine checks are the edge library's, behind one lock so that many
// threads may share a gate.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "binder.hpp"
#include "classes.hpp"
#include "command.hpp"
#include "envelope.hpp"
#include "frame_arguments.hpp"
#include "instance.hpp"
#include "kel_violation.hpp"
#include "kelvara/edge/command_gate.hpp"
#include "kelvara/edge/state_lock.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "outcome_stats.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

using security::kFrameMaxAxes;
using security::Outcome;

// The lock makes each check-and-record one step: of two identical frames
// exactly one is admitted.
struct CommandGateRecord {
  CommandGateRecord(std::size_t axes, std::uint64_t max_age_nanos)
      : gate(axes, max_age_nanos, edge::PlatformSources{}, "CommandGate") {}
  edge::StateLock<edge::CommandGate> gate;
};

CommandGateRecord& gate_of(PyObject* self) { return record_of<CommandGateRecord>(self); }

constexpr Signature<6> kNewSignature{
    "CommandGate.__new__()", {"keys", "axes", "streams", "max_age_s", "envelope", "max_step_rad_s"}, 3, 1};
constexpr Signature<1> kAdmitSignature{"CommandGate.admit()", {"frame"}, 1};
constexpr Signature<2> kAddKeySignature{"CommandGate.add_key()", {"key_id", "key"}, 2};
constexpr Signature<1> kRemoveKeySignature{"CommandGate.remove_key()", {"key_id"}, 1};

constexpr std::uint64_t kDefaultMaxAgeNanos = 1'000'000'000;

// The refusals admit raises as KelViolation, in the order they are checked.
constexpr Outcome kRefusals[] = {
    Outcome::InvalidFrame,          Outcome::UnknownKey,      Outcome::UnknownStream,
    Outcome::AuthenticationFailure, Outcome::ReplayCounter,   Outcome::StaleFrame,
    Outcome::NonFiniteValue,        Outcome::OutsideEnvelope, Outcome::StepExceeded,
};

PyObject* raise_value_error(const char* text) {
  PyErr_SetString(PyExc_ValueError, text);
  return nullptr;
}

// A key id and its 32 bytes, as add_key and the keys mapping take them.
bool read_key(PyObject* id_object, PyObject* key_object, const char* key_param, std::uint8_t& key_id,
              security::Key& key) {
  std::uint64_t id = 0;
  if (!convert_ranged(id_object, "key_id", 0, UINT8_MAX, id)) return false;
  Bytes bytes;
  if (!convert_param(key_object, key_param, bytes)) return false;
  if (bytes.data.size() != key.size()) {
    PyErr_Format(PyExc_ValueError, "%s must be exactly 32 bytes", key_param);
    return false;
  }
  key_id = static_cast<std::uint8_t>(id);
  std::copy_n(bytes.data.begin(), key.size(), key.begin());
  return true;
}

// The arguments of the constructor as read, before the gate is made.
struct GateInput {
  GateInput() = default;
  GateInput(const GateInput&) = delete;
  GateInput& operator=(const GateInput&) = delete;
  ~GateInput() { security::secure_wipe(keys); }

  std::array<security::Key, edge::kCommandGateKeyIds> keys{};
  std::array<bool, edge::kCommandGateKeyIds> present{};
  std::array<std::uint32_t, edge::kCommandGateStreams> streams{};
  std::size_t stream_count = 0;
  std::size_t axes = 0;
  std::uint64_t max_age_nanos = kDefaultMaxAgeNanos;
  const core::Envelope* envelope = nullptr;  // borrowed from the argument
  bool has_max_step = false;
  std::array<double, kFrameMaxAxes> max_step{};
};

bool read_keys(PyObject* keys, GateInput& in) {
  if (!PyMapping_Check(keys) || PyUnicode_Check(keys) || PySequence_Check(keys)) {
    PyErr_Format(PyExc_TypeError, "argument 'keys': expected a mapping of key id to 32-byte key, not '%s'",
                 Py_TYPE(keys)->tp_name);
    return false;
  }
  PyRef items(PyMapping_Items(keys));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      PyErr_SetString(PyExc_TypeError, "argument 'keys': items() must yield (key id, key) pairs");
      return false;
    }
    std::uint8_t key_id = 0;
    security::Key key;
    const security::WipedOnExit wiped_key(key);
    if (!read_key(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), "keys", key_id, key)) return false;
    if (in.present[key_id]) {
      PyErr_Format(PyExc_ValueError, "argument 'keys': key_id %u is given twice", key_id);
      return false;
    }
    in.present[key_id] = true;
    in.keys[key_id] = key;
  }
  return true;
}

bool read_streams(PyObject* streams, GateInput& in) {
  PyRef iterator;
  if (!PyUnicode_Check(streams) && !PyBytes_Check(streams)) iterator = PyRef(PyObject_GetIter(streams));
  if (!iterator) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument 'streams': expected an iterable of stream ids, not '%s'",
                 Py_TYPE(streams)->tp_name);
    return false;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    std::uint64_t stream_id = 0;
    if (!convert_ranged(item.get(), "stream_id", 0, UINT32_MAX, stream_id)) return false;
    const auto end = in.streams.begin() + static_cast<std::ptrdiff_t>(in.stream_count);
    if (std::find(in.streams.begin(), end, stream_id) != end) continue;  // a set may come as a list
    if (in.stream_count == in.streams.size()) {
      PyErr_Format(PyExc_ValueError, "streams must hold at most %zu stream ids", edge::kCommandGateStreams);
      return false;
    }
    in.streams[in.stream_count++] = static_cast<std::uint32_t>(stream_id);
  }
  return !PyErr_Occurred();
}

bool read_envelope(PyObject* envelope, GateInput& in) {
  if (envelope == nullptr || envelope == Py_None) return true;
  in.envelope = envelope_of(envelope, "envelope");
  if (in.envelope == nullptr) return false;
  if (in.envelope->axes() != in.axes) {
    PyErr_Format(PyExc_ValueError, "envelope has %zu axes, the gate %zu", in.envelope->axes(), in.axes);
    return false;
  }
  return true;
}

bool read_max_step(PyObject* max_step, GateInput& in) {
  if (max_step == nullptr || max_step == Py_None) return true;
  if (!read_axis_limits(max_step, "max_step_rad_s", std::span<double>(in.max_step.data(), in.axes))) {
    return false;
  }
  in.has_max_step = true;
  return true;
}

// Makes the gate from checked input. Only a step limit can still be refused
// (negative or NaN), before the instance is published.
PyObject* make_gate(PyTypeObject* type, const GateInput& in) {
  PyRef self(new_instance<CommandGateRecord>(type, in.axes, in.max_age_nanos));
  if (!self) return nullptr;
  auto gate = gate_of(self.get()).gate.lock();
  gate.complete();
  for (std::size_t id = 0; id < in.keys.size(); ++id) {
    if (in.present[id]) (void)gate->add_key(static_cast<std::uint8_t>(id), in.keys[id]);  // ids are distinct
  }
  for (std::size_t i = 0; i < in.stream_count; ++i) (void)gate->allow_stream(in.streams[i]);  // fits
  if (in.envelope != nullptr) (void)gate->set_envelope(*in.envelope);                         // axes checked
  if (in.has_max_step) {
    if (auto set = gate->set_max_step(std::span<const double>(in.max_step.data(), in.axes)); !set) {
      return raise_value_error(set.error().message().c_str());
    }
  }
  return self.release();
}

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* keys;
  PyObject* axes_object;
  PyObject* streams;
  PyObject* max_age_s = nullptr;
  PyObject* envelope = nullptr;
  PyObject* max_step = nullptr;
  if (!parse_new(kNewSignature, args, kwargs, keys, axes_object, streams, max_age_s, envelope, max_step)) {
    return nullptr;
  }
  GateInput in;
  std::uint64_t axes = 0;
  if (!read_keys(keys, in) || !convert_ranged(axes_object, "axes", 1, kFrameMaxAxes, axes)) return nullptr;
  in.axes = static_cast<std::size_t>(axes);
  if (!read_streams(streams, in) ||
      (max_age_s != nullptr && !max_age_nanos_of(max_age_s, in.max_age_nanos)) ||
      !read_envelope(envelope, in) || !read_max_step(max_step, in)) {
    return nullptr;
  }
  return make_gate(type, in);
}

PyObject* admit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Bytes frame;
  if (!parse(kAdmitSignature, args, nargsf, kwnames, frame)) return nullptr;
  CommandGateRecord& record = gate_of(self);
  if (!record.gate.unguarded().in_creating_process()) {
    return raise_refusal(-1, edge::Refusal::other_process("CommandGate"));
  }
  edge::Command command;
  const auto outcome = [&] {
    auto gate = record.gate.lock();
    gate.complete();  // admit cannot fail midway: every outcome leaves the gate consistent
    return gate->admit(frame.data, command);
  }();
  if (!outcome) return raise_refusal(outcome.error().axis(), outcome.error());
  return new_command(command);
}

PyObject* add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* id_object;
  PyObject* key_object;
  if (!parse(kAddKeySignature, args, nargsf, kwnames, id_object, key_object)) return nullptr;
  std::uint8_t key_id = 0;
  security::Key key;
  const security::WipedOnExit wiped_key(key);
  if (!read_key(id_object, key_object, "key", key_id, key)) return nullptr;
  auto gate = gate_of(self).gate.lock();
  gate.complete();
  if (gate->has_key(key_id)) {
    PyErr_Format(PyExc_ValueError, "key_id %u holds a key already; remove it first", key_id);
    return nullptr;
  }
  if (auto added = gate->add_key(key_id, key); !added)
    return raise_value_error(added.error().message().c_str());
  Py_RETURN_NONE;
}

PyObject* remove_key(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* id_object;
  if (!parse(kRemoveKeySignature, args, nargsf, kwnames, id_object)) return nullptr;
  std::uint64_t key_id = 0;
  if (!convert_ranged(id_object, "key_id", 0, UINT8_MAX, key_id)) return nullptr;
  auto gate = gate_of(self).gate.lock();
  gate.complete();
  if (!gate->remove_key(static_cast<std::uint8_t>(key_id))) {
    PyErr_Format(PyExc_ValueError, "key_id %u holds no key", static_cast<unsigned>(key_id));
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The counts are atomic: no lock is needed to read them.
PyObject* get_stats(PyObject* self, void*) {
  return stats_mapping(gate_of(self).gate.unguarded().stats(), "admitted", kRefusals);
}

PyGetSetDef kGetSet[] = {
    {"stats", get_stats, nullptr,
     "How often each outcome came out of admit: a new dict from code to count, "
     "'admitted' and every refusal code.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"admit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(admit)),
     METH_FASTCALL | METH_KEYWORDS,
     "admit($self, frame)\n--\n\n"
     "Admit one command frame, every axis or none; return its Command."},
    {"add_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_key)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key_id, key)\n--\n\nCheck frames under key_id with this 32-byte key from now on."},
    {"remove_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remove_key)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_key($self, key_id)\n--\n\nForget the key under key_id: its frames are refused from now on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("CommandGate(keys, *, axes, streams, max_age_s=1.0, envelope=None, "
                                  "max_step_rad_s=None)\n--\n\n"
                                  "Actuator-side gate for command frames: admits a whole joint vector "
                                  "or none of it.")},
    {Py_tp_new, reinterpret_cast<void*>(gate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<CommandGateRecord>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.CommandGate",
    sizeof(Instance<CommandGateRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* command_gate_type() { return type_once(g_type, kSpec); }

}  // namespace kelvara::py
