#include "kel_violation.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "binder.hpp"
#include "classes.hpp"
#include "instance.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

// UTF-8 text owned by an exception instance, in the interpreter's allocator;
// freed by its own handle. An absent text has no data and reads as "".
class OwnedText {
 public:
  // Copies `text`; false with MemoryError set when that cannot be allocated.
  bool copy_from(std::string_view text) {
    data_.reset(static_cast<char*>(PyMem_Malloc(text.size() + 1)));
    if (!data_) {
      PyErr_NoMemory();
      return false;
    }
    if (!text.empty()) std::memcpy(data_.get(), text.data(), text.size());
    data_[text.size()] = '\0';
    size_ = text.size();
    return true;
  }
  std::string_view view() const { return data_ ? std::string_view(data_.get(), size_) : ""; }
  PyObject* to_str() const {
    const std::string_view v = view();
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
  }

 private:
  struct PyMemFree {
    void operator()(char* data) const { PyMem_Free(data); }
  };
  std::unique_ptr<char[], PyMemFree> data_;
  std::size_t size_ = 0;
};

struct ViolationRecord {
  std::int32_t axis = 0;
  OwnedText violation_type;
  OwnedText message;
};

using ViolationInstance = Instance<ViolationRecord, PyBaseExceptionObject>;
ViolationRecord& violation_of(PyObject* self) {
  return record_of<ViolationRecord, PyBaseExceptionObject>(self);
}
PyTypeObject* exception_base() { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

constexpr Signature<3> kNewSignature{"KelViolation.__new__()", {"axis", "violation_type", "message"}, 0};

PyObject* violation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::int32_t axis = 0;
  Text violation_type;
  Text message;
  if (!parse_new(kNewSignature, args, kwargs, axis, violation_type, message)) return nullptr;

  ViolationRecord record;
  record.axis = axis;
  if (!record.violation_type.copy_from(violation_type.utf8) || !record.message.copy_from(message.utf8)) {
    return nullptr;
  }
  // The base constructor sees no arguments, so `args` starts empty; the inherited
  // initialiser then records the call's positional arguments.
  PyRef no_args(PyTuple_New(0));
  PyObject* self = no_args ? exception_base()->tp_new(type, no_args.get(), nullptr) : nullptr;
  if (self == nullptr) return nullptr;
  new (&violation_of(self)) ViolationRecord(std::move(record));
  return self;
}

void violation_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  violation_of(self).~ViolationRecord();
  exception_base()->tp_dealloc(self);
  Py_DECREF(type);
}

int violation_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return exception_base()->tp_traverse(self, visit, arg);
}

// Breaks reference cycles through the base's fields (args, __context__,
// __cause__, __traceback__, notes); a type with its own traverse slot inherits
// no clear slot, and without one the collector cannot free such a cycle.
int violation_clear(PyObject* self) { return exception_base()->tp_clear(self); }

PyObject* violation_str(PyObject* self) {
  const ViolationRecord& v = violation_of(self);
  std::string text = "KelViolation(axis=" + std::to_string(v.axis) + ", violation_type=";
  text += v.violation_type.view();
  text += "): ";
  text += v.message.view();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_axis(PyObject* self, void*) { return PyLong_FromLong(violation_of(self).axis); }
PyObject* get_violation_type(PyObject* self, void*) { return violation_of(self).violation_type.to_str(); }
PyObject* get_message(PyObject* self, void*) { return violation_of(self).message.to_str(); }

PyGetSetDef kGetSet[] = {
    {"axis", get_axis, nullptr, nullptr, nullptr},
    {"violation_type", get_violation_type, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("KelViolation(axis=0, violation_type=..., message=...)\n--\n\n"
                                  "Exception raised when an action request violates the Kelvara boundary.")},
    {Py_tp_new, reinterpret_cast<void*>(violation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(violation_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(violation_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(violation_clear)},
    {Py_tp_str, reinterpret_cast<void*>(violation_str)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelViolation",
    sizeof(ViolationInstance),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_violation_type() { return type_once(g_type, kSpec, PyExc_Exception); }

PyObject* ViolationError::raise() const {
  PyTypeObject* type = kel_violation_type();
  if (type == nullptr) return nullptr;
  PyRef args(Py_BuildValue("(is#s#)", static_cast<int>(axis_), violation_type_.data(),
                           static_cast<Py_ssize_t>(violation_type_.size()), message_.data(),
                           static_cast<Py_ssize_t>(message_.size())));
  if (args) PyErr_SetObject(reinterpret_cast<PyObject*>(type), args.get());
  return nullptr;
}

ViolationError kel_error_to_py_err(std::int32_t axis, security::KelError kind) {
  return ViolationError(axis, security::code(kind), security::message(kind));
}

PyObject* raise_refusal(std::int32_t axis, const edge::Refusal& refusal) {
  if (refusal.is_violation()) return ViolationError(axis, refusal.code(), refusal.message()).raise();
  PyErr_SetString(PyExc_RuntimeError, std::string(refusal.message()).c_str());
  return nullptr;
}

}  // namespace kelvara::py
