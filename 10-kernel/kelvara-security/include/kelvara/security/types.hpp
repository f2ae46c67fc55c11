// The sizes and byte types that the whole security layer shares: keys,
// nonces, payloads, tags and action identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvara::security {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kPayloadSize = 16;
inline constexpr std::size_t kTagSize = 32;
inline constexpr std::size_t kMaxActionIdSize = 64;

using Key = std::array<std::uint8_t, kKeySize>;
using Nonce = std::array<std::uint8_t, kNonceSize>;
using Payload = std::array<std::uint8_t, kPayloadSize>;
using Tag = std::array<std::uint8_t, kTagSize>;

// The action identifier as raw bytes (no terminator); 0 to 64 bytes are signed,
// longer ones are refused with ActionIdOverflow. Borrowed for the call only.
using ActionId = std::span<const std::uint8_t>;

// Views text (e.g. "axis_3") as the identifier bytes it is signed as.
inline ActionId action_id_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace kelvara::security
