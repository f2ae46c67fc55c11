// The signed record of one action and its 60-byte form, the bytes that travel
// beside a command and that a receiver reads back.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "kelvara/security/types.hpp"

namespace kelvara::security {

struct Receipt {
  Nonce nonce{};
  std::uint64_t timestamp_nanos = 0;
  std::uint64_t sequence_id = 0;
  Tag tag{};
};

// Receipt byte form: nonce at 0, timestamp_nanos at 12, sequence_id at 20
// (both unsigned 64-bit little-endian), tag at 28; no header, no gaps.
inline constexpr std::size_t kReceiptTimestampOffset = kNonceSize;
inline constexpr std::size_t kReceiptSequenceOffset = kReceiptTimestampOffset + 8;
inline constexpr std::size_t kReceiptTagOffset = kReceiptSequenceOffset + 8;
inline constexpr std::size_t kReceiptSize = kReceiptTagOffset + kTagSize;
static_assert(kReceiptSize == 60);

using ReceiptBytes = std::array<std::uint8_t, kReceiptSize>;

ReceiptBytes write_receipt_bytes(const Receipt& receipt) noexcept;
Receipt read_receipt_bytes(std::span<const std::uint8_t, kReceiptSize> bytes) noexcept;

}  // namespace kelvara::security
