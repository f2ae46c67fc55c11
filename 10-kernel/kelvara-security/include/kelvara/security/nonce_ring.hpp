// Memory of the nonces of the most recently accepted receipts.
#pragma once

#include <array>
#include <cstdint>

#include "kelvara/security/types.hpp"

namespace kelvara::security {

// Number of accepted nonces remembered; older ones may be accepted again.
inline constexpr std::size_t kNonceWindow = 1024;

// While count is below the window the valid entries are slots 0 to count - 1
// and head equals count; once full, each recording overwrites the oldest entry.
struct NonceRing {
  std::array<Nonce, kNonceWindow> entries{};
  std::uint64_t head = 0;   // slot the next accepted nonce is written to, below 1024
  std::uint64_t count = 0;  // entries holding an accepted nonce, at most 1024

  // Whether `nonce` is among the remembered entries. Visits them newest first,
  // each compared in constant time; stops only between entries, at the first
  // match. Zero-filled slots beyond count are never consulted.
  bool contains(const Nonce& nonce) const noexcept;

  // Remembers `nonce` as the newest entry.
  void record(const Nonce& nonce) noexcept;
};

}  // namespace kelvara::security
