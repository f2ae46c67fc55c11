// Signing of authorization messages: HMAC-SHA-256 under a prepared 32-byte key
// over a fixed-layout message. Pure functions and plain values the caller
// owns: no heap, no global state, no exceptions, no logging.
//
// The signed message, integers unsigned 64-bit little-endian:
//   nonce (12) | timestamp_nanos (8) | sequence_id (8) | L (8) |
//   action identifier (L, 0 to 64) | payload length, always 16 (8) | payload (16)
// Each variable field follows its length, so no two field sets give one message.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>

#include "kelvara/security/kel_error.hpp"
#include "kelvara/security/receipt.hpp"
#include "kelvara/security/sha256_compress.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::security {

inline constexpr std::size_t kSignedMessageFixedSize = 60;
inline constexpr std::size_t kMaxSignedMessageSize = kSignedMessageFixedSize + kMaxActionIdSize;

// The HMAC key blocks already compressed: the inner state after key ^ ipad and
// the outer state after key ^ opad. Whoever holds one fixed key prepares it
// once, so each message pays only for its own blocks. The states sign as well
// as the key does: whoever holds a context erases it when done
// (secure_wipe, or the owner's destructor); it stays a plain value.
struct HmacKeyContext {
  Sha256State inner;
  Sha256State outer;

  // The key is shorter than a block, so it is zero-padded, never hashed.
  static HmacKeyContext from_key(const Key& key) noexcept;
};

// One HMAC-SHA-256 computation over a signed message. `begin` keys it and
// absorbs the message up to the payload; the caller absorbs the payload with
// `update`; `finalize` yields the tag. A plain value, copied freely.
class MessageHasher {
 public:
  // Returns ActionIdOverflow, computing nothing, for an identifier over 64 bytes.
  static std::expected<MessageHasher, KelError> begin(const HmacKeyContext& key_context, const Nonce& nonce,
                                                      std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id, ActionId action_id) noexcept;

  // Absorbs further message bytes (in the system: the 16 payload bytes, once).
  void update(std::span<const std::uint8_t> bytes) noexcept;

  // The 32-byte tag of everything absorbed so far; the hasher is left as it was.
  Tag finalize() const noexcept;

  // Its copies of the key states are erased with it.
  MessageHasher(const MessageHasher&) = default;
  MessageHasher& operator=(const MessageHasher&) = default;
  ~MessageHasher();

 private:
  // Keys the hasher and absorbs the message up to the payload; the caller has
  // checked the identifier's length.
  MessageHasher(const HmacKeyContext& key_context, const Nonce& nonce, std::uint64_t timestamp_nanos,
                std::uint64_t sequence_id, ActionId action_id) noexcept;
  // Signing builds its hasher in place, with the same check as begin.
  friend std::expected<Receipt, KelError> authorize(const HmacKeyContext&, const Nonce&, std::uint64_t,
                                                    std::uint64_t, ActionId, const Payload&) noexcept;

  Sha256State inner_state_{};
  Sha256State outer_state_{};  // after its key block, which is all it holds
  // Bytes absorbed by the inner hash, its key block included: the pending
  // block holds the last byte_count_ % 64 of them.
  std::uint64_t byte_count_ = 0;
  std::array<std::uint8_t, kSha256BlockSize> pending_block_{};
};

// Signs an action: begin, update with the payload, finalize; the one way a
// receipt's tag is made. Fails only with ActionIdOverflow for an identifier over 64 bytes.
std::expected<Receipt, KelError> authorize(const HmacKeyContext& key_context, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                                           ActionId action_id, const Payload& payload) noexcept;

// HMAC-SHA-256 under a prepared key of a message already laid out whole (a
// command frame's covered bytes), ending through the same padding and outer
// hash as the hasher.
Tag hmac(const HmacKeyContext& key_context, std::span<const std::uint8_t> message) noexcept;

// The exact bytes the tag covers, 60 + L long, for inspection and test vectors,
// laid out by the same code that feeds them to the hasher.
struct SignedMessage {
  std::array<std::uint8_t, kMaxSignedMessageSize> bytes{};
  std::size_t size = 0;

  std::span<const std::uint8_t> view() const noexcept { return {bytes.data(), size}; }
};
std::expected<SignedMessage, KelError> signed_message(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id, ActionId action_id,
                                                      const Payload& payload) noexcept;

}  // namespace kelvara::security
