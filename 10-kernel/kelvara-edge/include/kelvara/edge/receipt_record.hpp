// What one admitted command leaves behind: the record a receipt object owns,
// enough to show its fields and to re-check its tag under a key.
#pragma once

#include <cstdint>

#include "kelvara/edge/signed_command.hpp"
#include "kelvara/security/receipt.hpp"

namespace kelvara::edge {

struct ReceiptRecord {
  AxisActionId action_id{0};  // the signed action identifier, held inline
  std::uint64_t sequence_id = 0;
  std::uint64_t timestamp_nanos = 0;
  double requested_position = 0.0;
  double commanded_velocity = 0.0;
  security::ReceiptBytes receipt_hash{};  // nonce, timestamp, sequence id, tag
  bool is_authorized = false;

  std::string_view action_id_text() const noexcept { return action_id.text(); }
};

}  // namespace kelvara::edge
