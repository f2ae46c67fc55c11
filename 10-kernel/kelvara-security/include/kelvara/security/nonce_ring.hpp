// Memory of the nonces of the most recently accepted receipts.
#pragma once

#include <array>
#include <cstdint>

#include "kelvara/security/types.hpp"

namespace kelvara::security {

// Number of accepted nonces remembered; older ones may be accepted again.
inline constexpr std::size_t kNonceWindow = 1024;

// While count is below the window the valid slots are 0 to count - 1 and head
// equals count; once full, each recording overwrites the oldest slot.
struct NonceRing {
  // A nonce is three 4-byte lanes (bytes 0-3, 4-7, 8-11); lane l of slot s is
  // lanes[l][s]. Kept apart, so that the scan compares the same lane of many
  // slots with one instruction. Slots beyond count are zero.
  static constexpr std::size_t kLanes = kNonceSize / 4;
  std::array<std::array<std::uint32_t, kNonceWindow>, kLanes> lanes{};
  std::uint64_t head = 0;   // slot the next accepted nonce is written to, below 1024
  std::uint64_t count = 0;  // slots holding an accepted nonce, at most 1024

  // Whether `nonce` is among the remembered ones. Visits them newest first,
  // each compared in full in constant time; stops only between groups of
  // slots, at the first group that holds a match. Slots beyond count are
  // never consulted.
  bool contains(const Nonce& nonce) const noexcept;

  // Remembers `nonce` as the newest entry.
  void record(const Nonce& nonce) noexcept;

  // The nonce in `slot` (below kNonceWindow).
  Nonce entry(std::size_t slot) const noexcept;
};

}  // namespace kelvara::security
