// KelReceipt: the read-only proof that one actuator command was authorized or
// admitted, able to re-check its own tag against a key.
#include "kel_receipt.hpp"

#include <algorithm>

#include "binder.hpp"
#include "classes.hpp"
#include "contract_texts.hpp"
#include "instance.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "kelvara/security/tag_check.hpp"

namespace kelvara::py {
namespace {

using edge::ReceiptRecord;

const ReceiptRecord& receipt_of(PyObject* self) { return record_of<ReceiptRecord>(self); }

PyObject* receipt_new(PyTypeObject*, PyObject*, PyObject*) { return kNoReceiptConstructor.raise(); }

PyObject* get_is_authorized(PyObject* self, void*) { return PyBool_FromLong(receipt_of(self).is_authorized); }
PyObject* get_sequence_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(receipt_of(self).sequence_id);
}
PyObject* get_timestamp_nanos(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(receipt_of(self).timestamp_nanos);
}
PyObject* get_receipt_hash(PyObject* self, void*) {
  const auto& bytes = receipt_of(self).receipt_hash;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

constexpr Signature<1> kVerifySignature{"KelReceipt.verify()", {"key"}, 1};

// The tag check over the copies inside receipt_hash, the identifier and the
// payload, under `key`. Reads nothing else and changes nothing.
PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Bytes key_bytes;
  if (!parse(kVerifySignature, args, nargsf, kwnames, key_bytes)) return nullptr;
  if (key_bytes.data.size() != security::kKeySize) Py_RETURN_FALSE;  // a wrong length never matches
  security::Key key;
  const security::WipedOnExit wiped_key(key);
  std::copy_n(key_bytes.data.begin(), key.size(), key.begin());
  security::HmacKeyContext context = security::HmacKeyContext::from_key(key);
  const security::WipedOnExit wiped_context(context);
  const ReceiptRecord& record = receipt_of(self);
  const auto checked = security::check_tag(
      context, security::read_receipt_bytes(record.receipt_hash), record.action_id.bytes(),
      edge::command_payload(record.requested_position, record.commanded_velocity));
  return PyBool_FromLong(checked.has_value());
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ReceiptRecord>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.KelReceipt",
    sizeof(Instance<ReceiptRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* kel_receipt_type() { return type_once(g_type, kSpec); }

PyObject* new_kel_receipt(const edge::ReceiptRecord& record) {
  return new_instance<ReceiptRecord>(kel_receipt_type(), record);
}

}  // namespace kelvara::py
