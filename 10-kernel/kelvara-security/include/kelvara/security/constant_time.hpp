// Constant-time equality of secrets and remembered values: every byte of both
// operands is compared whatever the earlier bytes gave, and the outcome is
// hidden from the optimiser until it is tested once, so the running time says
// nothing about where two operands differ.
//
// The comparison works on XOR differences: a byte lane of a ^ b is zero exactly
// when those two bytes are equal, so OR-ing the differences of all words
// compares every byte without a branch, and the operands are equal exactly when
// the combined difference is zero.
#pragma once

#include <cstdint>
#include <cstring>

#include "kelvara/security/types.hpp"

namespace kelvara::security {

// Hides a value from the optimiser, which then can neither learn that a
// comparison is already decided nor split it into early-exiting pieces.
template <typename T>
inline T value_barrier(T value) noexcept {
  asm volatile("" : "+r"(value));
  return value;
}

// The one test of a comparison, on the combined difference of all its bytes.
inline bool no_difference(std::uint64_t difference) noexcept { return value_barrier(difference) == 0; }

// Native-order word loads: only equality is asked, so byte order is irrelevant.
inline std::uint64_t load_word(const std::uint8_t* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}
inline std::uint32_t load_half_word(const std::uint8_t* bytes) noexcept {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Combined difference of two 12-byte nonces; zero exactly when they are equal.
inline std::uint64_t nonce_difference(const std::uint8_t* a, const std::uint8_t* b) noexcept {
  return (load_word(a) ^ load_word(b)) | (load_half_word(a + 8) ^ load_half_word(b + 8));
}

bool constant_time_equal(const Nonce& a, const Nonce& b) noexcept;
bool constant_time_equal(const Tag& a, const Tag& b) noexcept;

}  // namespace kelvara::security
