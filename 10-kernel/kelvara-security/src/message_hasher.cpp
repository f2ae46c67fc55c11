#include "kelvara/security/message_hasher.hpp"

#include <algorithm>

#include "kelvara/security/byte_codec.hpp"
#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::security {
namespace {

constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5c;

// Fixed part of the message before the payload: nonce, timestamp, sequence id,
// identifier length and payload length; the identifier sits between the last two.
constexpr std::size_t kPrefixFixedSize = kSignedMessageFixedSize - kPayloadSize;
constexpr std::size_t kMaxPrefixSize = kPrefixFixedSize + kMaxActionIdSize;

// Where the big-endian bit length goes in a final SHA-256 block.
constexpr std::size_t kLengthOffset = kSha256BlockSize - 8;

// The digest is the chaining value written as big-endian words.
Tag digest_bytes(const Sha256State& state) noexcept {
  Tag digest;
  for (std::size_t word = 0; word < state.size(); ++word) {
    store_be32(digest.data() + 4 * word, state[word]);
  }
  return digest;
}

Sha256State key_block_state(const Key& key, std::uint8_t pad) noexcept {
  std::array<std::uint8_t, kSha256BlockSize> block;
  block.fill(pad);  // the zero padding of the key, XORed with the pad
  for (std::size_t i = 0; i < key.size(); ++i) block[i] = key[i] ^ pad;
  Sha256State state = kSha256InitialState;
  sha256_compress(state, block);
  secure_wipe(block);  // the key, one XOR away
  return state;
}

bool action_id_fits(ActionId action_id) noexcept { return action_id.size() <= kMaxActionIdSize; }

// Lays out the message up to the payload into `out`; returns its length, 44 + L.
// The caller has checked L against the limit.
std::size_t write_prefix(std::span<std::uint8_t, kMaxPrefixSize> out, const Nonce& nonce,
                         std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                         ActionId action_id) noexcept {
  std::uint8_t* at = std::copy(nonce.begin(), nonce.end(), out.data());
  store_le64(at, timestamp_nanos);
  store_le64(at + 8, sequence_id);
  store_le64(at + 16, action_id.size());
  at = std::copy(action_id.begin(), action_id.end(), at + 24);
  store_le64(at, kPayloadSize);
  return static_cast<std::size_t>(at + 8 - out.data());
}

// The end of an HMAC: `inner` has absorbed every whole block of the message,
// `tail` holds the bytes after them (fewer than 64), `total` counts every byte
// the inner hash took, its key block included. Pads the inner hash (0x80,
// zeros, the bit length in the last 8 bytes; with 56 or more bytes pending the
// length needs a block of its own), then hashes its digest after the opad key
// block in one final block. Works on copies of the key states and erases them.
Tag finish(Sha256State inner, Sha256State outer, std::span<const std::uint8_t> tail,
           std::uint64_t total) noexcept {
  std::array<std::uint8_t, kSha256BlockSize> block{};
  std::copy(tail.begin(), tail.end(), block.begin());
  block[tail.size()] = 0x80;
  if (tail.size() >= kLengthOffset) {
    sha256_compress(inner, block);
    block.fill(0);
  }
  store_be64(block.data() + kLengthOffset, total * 8);
  sha256_compress(inner, block);

  const Tag inner_digest = digest_bytes(inner);
  block.fill(0);
  std::copy(inner_digest.begin(), inner_digest.end(), block.begin());
  block[inner_digest.size()] = 0x80;
  store_be64(block.data() + kLengthOffset, (kSha256BlockSize + inner_digest.size()) * 8);
  sha256_compress(outer, block);
  secure_wipe(inner);
  const Tag tag = digest_bytes(outer);
  secure_wipe(outer);
  return tag;
}

}  // namespace

HmacKeyContext HmacKeyContext::from_key(const Key& key) noexcept {
  return {key_block_state(key, kInnerPad), key_block_state(key, kOuterPad)};
}

MessageHasher::~MessageHasher() {
  secure_wipe(inner_state_);
  secure_wipe(outer_state_);
}

MessageHasher::MessageHasher(const HmacKeyContext& key_context, const Nonce& nonce,
                             std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                             ActionId action_id) noexcept
    : inner_state_(key_context.inner), outer_state_(key_context.outer), byte_count_(kSha256BlockSize) {
  std::array<std::uint8_t, kMaxPrefixSize> prefix;
  const std::size_t size = write_prefix(prefix, nonce, timestamp_nanos, sequence_id, action_id);
  update(std::span(prefix).first(size));
}

std::expected<MessageHasher, KelError> MessageHasher::begin(const HmacKeyContext& key_context,
                                                            const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                            std::uint64_t sequence_id,
                                                            ActionId action_id) noexcept {
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  return MessageHasher(key_context, nonce, timestamp_nanos, sequence_id, action_id);
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  const std::size_t pending = byte_count_ % kSha256BlockSize;
  byte_count_ += bytes.size();
  if (pending != 0) {  // first complete the block begun before
    const std::size_t take = std::min(kSha256BlockSize - pending, bytes.size());
    std::copy_n(bytes.begin(), take, pending_block_.begin() + pending);
    bytes = bytes.subspan(take);
    if (pending + take < kSha256BlockSize) return;
    sha256_compress(inner_state_, pending_block_);
  }
  for (; bytes.size() >= kSha256BlockSize; bytes = bytes.subspan(kSha256BlockSize)) {
    sha256_compress(inner_state_, bytes.first<kSha256BlockSize>());
  }
  std::copy(bytes.begin(), bytes.end(), pending_block_.begin());
}

Tag MessageHasher::finalize() const noexcept {
  return finish(inner_state_, outer_state_, std::span(pending_block_).first(byte_count_ % kSha256BlockSize),
                byte_count_);
}

Tag hmac(const HmacKeyContext& key_context, std::span<const std::uint8_t> message) noexcept {
  // The message's whole blocks straight into the inner state, the rest
  // through the same end as the hasher's.
  const std::size_t whole = message.size() - message.size() % kSha256BlockSize;
  Sha256State inner = key_context.inner;
  for (std::size_t at = 0; at < whole; at += kSha256BlockSize) {
    sha256_compress(inner, message.subspan(at).first<kSha256BlockSize>());
  }
  const Tag tag = finish(inner, key_context.outer, message.subspan(whole), kSha256BlockSize + message.size());
  secure_wipe(inner);
  return tag;
}

std::expected<Receipt, KelError> authorize(const HmacKeyContext& key_context, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                                           ActionId action_id, const Payload& payload) noexcept {
  // begin, update and finalize, with the hasher on this frame rather than moved out of a result.
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  MessageHasher hasher(key_context, nonce, timestamp_nanos, sequence_id, action_id);
  hasher.update(payload);
  return Receipt{nonce, timestamp_nanos, sequence_id, hasher.finalize()};
}

std::expected<SignedMessage, KelError> signed_message(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id, ActionId action_id,
                                                      const Payload& payload) noexcept {
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  SignedMessage message;
  const std::size_t prefix_size = write_prefix(std::span(message.bytes).first<kMaxPrefixSize>(), nonce,
                                               timestamp_nanos, sequence_id, action_id);
  std::copy(payload.begin(), payload.end(), message.bytes.begin() + prefix_size);
  message.size = prefix_size + payload.size();
  return message;
}

}  // namespace kelvara::security
