// The SHA-256 block compression: one 64-byte block into the 8-word chaining
// value. Padding, HMAC and message layout are ours (crypto); only this function
// reaches into the SHA-256 library.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kelvara::security {

inline constexpr std::size_t kSha256BlockSize = 64;
inline constexpr std::size_t kSha256DigestSize = 32;

// Chaining value of a SHA-256 computation, as eight 32-bit words.
using Sha256State = std::array<std::uint32_t, 8>;

// The standard initial value H(0) of SHA-256.
inline constexpr Sha256State kSha256InitialState = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};

// Compresses one block into `state` in place. Cannot fail, allocates nothing.
void sha256_compress(Sha256State& state, std::span<const std::uint8_t, kSha256BlockSize> block) noexcept;

}  // namespace kelvara::security
