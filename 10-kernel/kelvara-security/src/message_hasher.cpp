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

bool action_id_fits(ActionId action_id) noexcept {
  return action_id.size() <= kMaxActionIdSize;
}

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

}  // namespace

HmacKeyContext HmacKeyContext::from_key(const Key& key) noexcept {
  return {key_block_state(key, kInnerPad), key_block_state(key, kOuterPad)};
}

MessageHasher::~MessageHasher() {
  secure_wipe(inner_state_);
  secure_wipe(outer_state_);
}

std::expected<MessageHasher, KelError> MessageHasher::begin(const HmacKeyContext& key_context,
                                                            const Nonce& nonce,
                                                            std::uint64_t timestamp_nanos,
                                                            std::uint64_t sequence_id,
                                                            ActionId action_id) noexcept {
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  MessageHasher hasher;
  hasher.inner_state_ = key_context.inner;
  hasher.outer_state_ = key_context.outer;
  hasher.byte_count_ = kSha256BlockSize;  // the key block
  std::array<std::uint8_t, kMaxPrefixSize> prefix;
  const std::size_t size = write_prefix(prefix, nonce, timestamp_nanos, sequence_id, action_id);
  hasher.update(std::span(prefix).first(size));
  return hasher;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    const std::size_t pending = byte_count_ % kSha256BlockSize;
    const std::size_t take = std::min(kSha256BlockSize - pending, bytes.size());
    std::copy_n(bytes.begin(), take, pending_block_.begin() + pending);
    bytes = bytes.subspan(take);
    byte_count_ += take;
    if (pending + take == kSha256BlockSize) sha256_compress(inner_state_, pending_block_);
  }
}

Tag MessageHasher::finalize() const noexcept {
  // Inner hash: 0x80, zeros, then the bit length (key block included) in the
  // last 8 bytes; with 56 or more bytes pending the length needs a block of its own.
  Sha256State inner = inner_state_;
  std::array<std::uint8_t, kSha256BlockSize> block = pending_block_;
  const std::size_t pending = byte_count_ % kSha256BlockSize;
  block[pending] = 0x80;
  std::fill(block.begin() + pending + 1, block.end(), 0);
  if (pending >= kLengthOffset) {
    sha256_compress(inner, block);
    block.fill(0);
  }
  store_be64(block.data() + kLengthOffset, byte_count_ * 8);
  sha256_compress(inner, block);

  // Outer hash: the inner digest after the opad key block, in one final block.
  const Tag inner_digest = digest_bytes(inner);
  block.fill(0);
  std::copy(inner_digest.begin(), inner_digest.end(), block.begin());
  block[inner_digest.size()] = 0x80;
  store_be64(block.data() + kLengthOffset, (kSha256BlockSize + inner_digest.size()) * 8);
  Sha256State outer = outer_state_;
  sha256_compress(outer, block);
  return digest_bytes(outer);
}

std::expected<Receipt, KelError> authorize(const HmacKeyContext& key_context, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos,
                                           std::uint64_t sequence_id, ActionId action_id,
                                           const Payload& payload) noexcept {
  auto hasher = MessageHasher::begin(key_context, nonce, timestamp_nanos, sequence_id, action_id);
  if (!hasher) return std::unexpected(hasher.error());
  hasher->update(payload);
  return Receipt{nonce, timestamp_nanos, sequence_id, hasher->finalize()};
}

std::expected<SignedMessage, KelError> signed_message(const Nonce& nonce,
                                                      std::uint64_t timestamp_nanos,
                                                      std::uint64_t sequence_id,
                                                      ActionId action_id,
                                                      const Payload& payload) noexcept {
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  SignedMessage message;
  const std::size_t prefix_size =
      write_prefix(std::span(message.bytes).first<kMaxPrefixSize>(), nonce, timestamp_nanos,
                   sequence_id, action_id);
  std::copy(payload.begin(), payload.end(), message.bytes.begin() + prefix_size);
  message.size = prefix_size + payload.size();
  return message;
}

}  // namespace kelvara::security
