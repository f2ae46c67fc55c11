// Signing of authorization messages: HMAC-SHA-256 under a 32-byte key over a
// fixed-layout message, the receipt it yields and that receipt's byte form, the
// constant-time comparison, and the bookkeeping of the ring of recent nonces.
//
// Everything here is a pure function of its arguments or a plain value the
// caller owns: no heap, no global state, no exceptions, no logging. Key
// material is never wiped; it lives as long as the caller keeps it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "kel_error.hpp"
#include "sha256_compress.hpp"

namespace kelvara::security {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kPayloadSize = 16;
inline constexpr std::size_t kTagSize = 32;
inline constexpr std::size_t kMaxActionIdSize = 64;

// The signed message: nonce, timestamp_nanos, sequence_id, L, the L identifier
// bytes, the payload length 16 and the payload; integers 64-bit little-endian.
inline constexpr std::size_t kSignedMessageFixedSize = 60;
inline constexpr std::size_t kMaxSignedMessageSize = kSignedMessageFixedSize + kMaxActionIdSize;

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

// The HMAC key blocks already compressed: the inner state after key ⊕ ipad and
// the outer state after key ⊕ opad. A holder of one fixed key builds it once
// so each message pays only for its own blocks.
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
  static std::expected<MessageHasher, KelError> begin(const Key& key, const Nonce& nonce,
                                                      std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id,
                                                      ActionId action_id) noexcept;
  // The same, from a prepared key context; bit-identical to keying with the raw key.
  static std::expected<MessageHasher, KelError> begin(const HmacKeyContext& key_context,
                                                      const Nonce& nonce,
                                                      std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id,
                                                      ActionId action_id) noexcept;

  // Absorbs further message bytes (in the system: the 16 payload bytes, once).
  void update(std::span<const std::uint8_t> bytes) noexcept;

  // Consumes the hasher and returns the 32-byte tag.
  static Tag finalize(MessageHasher hasher) noexcept;

 private:
  MessageHasher() = default;

  Sha256State inner_state_{};
  std::uint64_t inner_block_count_ = 0;  // key block included
  Sha256State outer_state_{};
  std::uint64_t outer_block_count_ = 0;  // always 1: the key block
  std::array<std::uint8_t, kSha256BlockSize> pending_block_{};
  std::uint8_t pending_length_ = 0;  // below 64 between calls
};

// The signed record of one action.
struct Receipt {
  Nonce nonce{};
  std::uint64_t timestamp_nanos = 0;
  std::uint64_t sequence_id = 0;
  Tag tag{};
};

// Signs an action: begin, update with the payload, finalize. Fails only with
// ActionIdOverflow, passed on from begin.
std::expected<Receipt, KelError> authorize(const Key& key, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos,
                                           std::uint64_t sequence_id, ActionId action_id,
                                           const Payload& payload) noexcept;
std::expected<Receipt, KelError> authorize(const HmacKeyContext& key_context, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos,
                                           std::uint64_t sequence_id, ActionId action_id,
                                           const Payload& payload) noexcept;

// The exact bytes the tag covers, 60 + L long, for inspection; signing itself
// streams them without building the whole message.
struct SignedMessage {
  std::array<std::uint8_t, kMaxSignedMessageSize> bytes{};
  std::size_t size = 0;

  std::span<const std::uint8_t> view() const noexcept { return {bytes.data(), size}; }
};
std::expected<SignedMessage, KelError> signed_message(const Nonce& nonce,
                                                      std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id,
                                                      ActionId action_id,
                                                      const Payload& payload) noexcept;

// Receipt byte form: nonce at 0, timestamp_nanos at 12, sequence_id at 20
// (both little-endian), tag at 28; no header, no gaps.
inline constexpr std::size_t kReceiptSize = 60;
using ReceiptBytes = std::array<std::uint8_t, kReceiptSize>;

ReceiptBytes write_receipt_bytes(const Receipt& receipt) noexcept;
Receipt read_receipt_bytes(std::span<const std::uint8_t, kReceiptSize> bytes) noexcept;

// Constant-time equality: every byte of both operands is compared, whatever the
// earlier bytes gave, and the outcome is hidden from the optimiser until it is
// tested, so the running time says nothing about where operands differ.
bool constant_time_equal(const Nonce& a, const Nonce& b) noexcept;
bool constant_time_equal(const Tag& a, const Tag& b) noexcept;

// Number of accepted nonces remembered; older ones may be accepted again.
inline constexpr std::size_t kNonceWindow = 1024;

// Ring of the nonces of the most recently accepted receipts. While count is
// below the window the valid entries are slots 0 to count - 1 and head equals
// count; once full, each recording overwrites the oldest entry.
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
