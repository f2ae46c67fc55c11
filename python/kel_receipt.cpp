// KelReceipt: the read-only proof that one actuator command passed the edge
// boundary, able to re-check its own tag against a key.
#include "kel_receipt.hpp"

#include <cstring>
#include <new>

#include "binder.hpp"
#include "classes.hpp"

namespace kelvara::py {
namespace {

struct KelReceiptObject {
  PyObject_HEAD
  ReceiptRecord record;
};

const ReceiptRecord& record_of(PyObject* self) { return reinterpret_cast<KelReceiptObject*>(self)->record; }

PyObject* receipt_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for KelReceipt");
  return nullptr;
}

PyObject* get_is_authorized(PyObject* self, void*) { return PyBool_FromLong(record_of(self).is_authorized); }
PyObject* get_sequence_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).sequence_id);
}
PyObject* get_timestamp_nanos(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).timestamp_nanos);
}
PyObject* get_receipt_hash(PyObject* self, void*) {
  const auto& bytes = record_of(self).receipt_hash;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

constexpr Signature<1> kVerifySignature{"KelReceipt.verify()", {"key"}, 1};

// Recomputes the tag from the copies inside receipt_hash, the identifier and the
// payload, under `key`. Reads nothing else and changes nothing.
bool tag_matches(const ReceiptRecord& record, const security::Key& key) {
  const security::Receipt stored = security::read_receipt_bytes(record.receipt_hash);
  const auto recomputed =
      security::authorize(key, stored.nonce, stored.timestamp_nanos, stored.sequence_id,
                          security::action_id_bytes(record.action_id_text()),
                          payload_of(record.requested_position, record.commanded_velocity));
  if (!recomputed) return false;
  return std::memcmp(recomputed->tag.data(), stored.tag.data(), security::kTagSize) == 0;
}

PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Bytes key_bytes;
  if (!parse(kVerifySignature, args, nargsf, kwnames, key_bytes)) return nullptr;
  if (key_bytes.data.size() != security::kKeySize) Py_RETURN_FALSE;  // a wrong length never matches
  security::Key key;
  std::memcpy(key.data(), key_bytes.data.data(), key.size());
  return PyBool_FromLong(tag_matches(record_of(self), key));
}

PyGetSetDef kGetSet[] = {
    {"is_authorized", get_is_authorized, nullptr, "", nullptr},
    {"sequence_id", get_sequence_id, nullptr, "", nullptr},
    {"timestamp_nanos", get_timestamp_nanos, nullptr, "", nullptr},
    {"receipt_hash", get_receipt_hash, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"verify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify)),
     METH_FASTCALL | METH_KEYWORDS,
     "verify($self, key)\n--\n\nRe-verify this receipt against a 32-byte boundary key."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Replay-resistant authorization receipt returned by `KelBoundary`.")},
    {Py_tp_new, reinterpret_cast<void*>(receipt_new)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelReceipt",
    sizeof(KelReceiptObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_receipt_type() { return type_once(g_type, kSpec); }

PyObject* new_kel_receipt(const ReceiptRecord& record) {
  PyTypeObject* type = kel_receipt_type();
  if (type == nullptr) return nullptr;
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raise_allocation_failure();
  new (&reinterpret_cast<KelReceiptObject*>(self)->record) ReceiptRecord(record);
  return self;
}

}  // namespace kelvara::py
