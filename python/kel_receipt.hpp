// KelReceipt: the read-only proof that one actuator command was authorized or
// admitted, able to re-check its own tag against a key.
#pragma once

#include <Python.h>

#include "kelvara/edge/receipt_record.hpp"

namespace kelvara::py {

// Wraps a filled record as a new KelReceipt; null with an exception set (the
// host's pending error, else SystemError) if the instance cannot be allocated.
PyObject* new_kel_receipt(const edge::ReceiptRecord& record);

}  // namespace kelvara::py
