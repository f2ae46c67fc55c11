// What one authorized action leaves behind: the record a KelReceipt owns, and
// the payload layout that both signing and re-verification use.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "crypto.hpp"

namespace kelvara::py {

// The 16 signed payload bytes: requested_position then commanded_velocity, each
// as its IEEE 754 double in little-endian order.
inline security::Payload payload_of(double requested_position, double commanded_velocity) noexcept {
  security::Payload payload{};
  const std::uint64_t halves[2] = {std::bit_cast<std::uint64_t>(requested_position),
                                   std::bit_cast<std::uint64_t>(commanded_velocity)};
  for (std::size_t half = 0; half < 2; ++half) {
    for (std::size_t i = 0; i < 8; ++i) {
      payload[half * 8 + i] = static_cast<std::uint8_t>(halves[half] >> (8 * i));
    }
  }
  return payload;
}

struct ReceiptRecord {
  // The signed action identifier, held inline: at most 64 bytes are ever signed.
  std::array<char, security::kMaxActionIdSize> action_id{};
  std::uint8_t action_id_size = 0;
  std::uint64_t sequence_id = 0;
  std::uint64_t timestamp_nanos = 0;
  double requested_position = 0.0;
  double commanded_velocity = 0.0;
  security::ReceiptBytes receipt_hash{};  // nonce, timestamp, sequence id, tag
  bool is_authorized = false;

  std::string_view action_id_text() const noexcept { return {action_id.data(), action_id_size}; }
};

}  // namespace kelvara::py
