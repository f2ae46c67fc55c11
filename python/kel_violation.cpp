#include "kel_violation.hpp"

#include <cstring>

#include "binder.hpp"
#include "classes.hpp"
#include "pyref.hpp"

namespace kelvara::py {
namespace {

// UTF-8 text owned by an exception instance.
struct OwnedText {
  char* data = nullptr;
  Py_ssize_t size = 0;

  bool copy_from(std::string_view text) {
    data = static_cast<char*>(PyMem_Malloc(text.size() + 1));
    if (data == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    if (!text.empty()) std::memcpy(data, text.data(), text.size());  // an absent text has no data
    data[text.size()] = '\0';
    size = static_cast<Py_ssize_t>(text.size());
    return true;
  }
  void release() {
    PyMem_Free(data);
    data = nullptr;
    size = 0;
  }
  std::string_view view() const { return {data == nullptr ? "" : data, static_cast<std::size_t>(size)}; }
};

struct KelViolationObject {
  PyBaseExceptionObject base;
  std::int32_t axis;
  OwnedText violation_type;
  OwnedText message;
};

KelViolationObject* as_violation(PyObject* self) { return reinterpret_cast<KelViolationObject*>(self); }
PyTypeObject* exception_base() { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

constexpr Signature<3> kNewSignature{"KelViolation.__new__()", {"axis", "violation_type", "message"}, 0};

PyObject* violation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::int32_t axis = 0;
  Text violation_type;
  Text message;
  if (!parse_new(kNewSignature, args, kwargs, axis, violation_type, message)) return nullptr;

  OwnedText owned_type;
  OwnedText owned_message;
  if (!owned_type.copy_from(violation_type.utf8)) return nullptr;
  if (!owned_message.copy_from(message.utf8)) {
    owned_type.release();
    return nullptr;
  }
  // The base constructor sees no arguments, so `args` starts empty; the inherited
  // initialiser then records the call's positional arguments.
  PyRef no_args(PyTuple_New(0));
  PyObject* self = no_args ? exception_base()->tp_new(type, no_args.get(), nullptr) : nullptr;
  if (self == nullptr) {
    owned_type.release();
    owned_message.release();
    return nullptr;
  }
  KelViolationObject* v = as_violation(self);
  v->axis = axis;
  v->violation_type = owned_type;
  v->message = owned_message;
  return self;
}

void violation_dealloc(PyObject* self) {
  KelViolationObject* v = as_violation(self);
  v->violation_type.release();
  v->message.release();
  PyTypeObject* type = Py_TYPE(self);
  exception_base()->tp_dealloc(self);
  Py_DECREF(type);
}

int violation_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return exception_base()->tp_traverse(self, visit, arg);
}

PyObject* violation_str(PyObject* self) {
  const KelViolationObject* v = as_violation(self);
  std::string text = "KelViolation(axis=" + std::to_string(v->axis) + ", violation_type=";
  text += v->violation_type.view();
  text += "): ";
  text += v->message.view();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* text_object(const OwnedText& text) {
  const std::string_view v = text.view();
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

PyObject* get_axis(PyObject* self, void*) { return PyLong_FromLong(as_violation(self)->axis); }
PyObject* get_violation_type(PyObject* self, void*) { return text_object(as_violation(self)->violation_type); }
PyObject* get_message(PyObject* self, void*) { return text_object(as_violation(self)->message); }

PyGetSetDef kGetSet[] = {
    {"axis", get_axis, nullptr, nullptr, nullptr},
    {"violation_type", get_violation_type, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "KelViolation(axis=0, violation_type=..., message=...)\n--\n\n"
                    "Exception raised when an action request violates the Kelvara boundary.")},
    {Py_tp_new, reinterpret_cast<void*>(violation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(violation_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(violation_traverse)},
    {Py_tp_str, reinterpret_cast<void*>(violation_str)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelViolation",
    sizeof(KelViolationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_violation_type() { return type_once(g_type, kSpec, PyExc_Exception); }

PyObject* ViolationError::raise() const {
  PyTypeObject* type = kel_violation_type();
  if (type == nullptr) return nullptr;
  const std::string_view msg = message();
  PyRef args(Py_BuildValue("(is#s#)", static_cast<int>(axis_), violation_type_.data(),
                           static_cast<Py_ssize_t>(violation_type_.size()), msg.data(),
                           static_cast<Py_ssize_t>(msg.size())));
  if (args) PyErr_SetObject(reinterpret_cast<PyObject*>(type), args.get());
  return nullptr;
}

ViolationError kel_error_to_py_err(std::int32_t axis, security::KelError kind) {
  return ViolationError(axis, security::code(kind), security::message(kind));
}

}  // namespace kelvara::py
