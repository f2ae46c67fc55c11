#pragma once

#include <Python.h>

#include "receipt_record.hpp"

namespace kelvara::py {

// Wraps a filled record as a new KelReceipt; null with an exception set (the
// host's pending error, else SystemError) if the instance cannot be allocated.
PyObject* new_kel_receipt(const ReceiptRecord& record);

}  // namespace kelvara::py
