#include "crypto.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kelvara::security {
namespace {

constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5c;

// Fixed part of the message before the payload: nonce, timestamp, sequence id,
// identifier length and payload length; the identifier sits between the last two.
constexpr std::size_t kPrefixFixedSize = kSignedMessageFixedSize - kPayloadSize;
constexpr std::size_t kMaxPrefixSize = kPrefixFixedSize + kMaxActionIdSize;

// Receipt byte form offsets; the nonce starts at 0.
constexpr std::size_t kReceiptTimestampOffset = kNonceSize;
constexpr std::size_t kReceiptSequenceOffset = kReceiptTimestampOffset + 8;
constexpr std::size_t kReceiptTagOffset = kReceiptSequenceOffset + 8;
static_assert(kReceiptTagOffset + kTagSize == kReceiptSize);

// Where the big-endian bit length goes in a final SHA-256 block.
constexpr std::size_t kLengthOffset = kSha256BlockSize - 8;

// Fixed-order integer encodings through whole-word copies, which compile to
// single (byte-swapping) moves.
template <std::endian Order, typename T>
void store(std::uint8_t* out, T value) noexcept {
  if constexpr (Order != std::endian::native) value = std::byteswap(value);
  std::memcpy(out, &value, sizeof value);
}

void store_le64(std::uint8_t* out, std::uint64_t value) noexcept {
  store<std::endian::little>(out, value);
}

void store_be64(std::uint8_t* out, std::uint64_t value) noexcept {
  store<std::endian::big>(out, value);
}

std::uint64_t load_le64(const std::uint8_t* in) noexcept {
  std::uint64_t value;
  std::memcpy(&value, in, sizeof value);
  if constexpr (std::endian::native != std::endian::little) value = std::byteswap(value);
  return value;
}

// The digest is the chaining value written as big-endian words.
Tag digest_bytes(const Sha256State& state) noexcept {
  Tag digest;
  for (std::size_t word = 0; word < state.size(); ++word) {
    store<std::endian::big>(digest.data() + 4 * word, state[word]);
  }
  return digest;
}

Sha256State key_block_state(const Key& key, std::uint8_t pad) noexcept {
  std::array<std::uint8_t, kSha256BlockSize> block;
  block.fill(pad);  // the zero padding of the key, XORed with the pad
  for (std::size_t i = 0; i < key.size(); ++i) block[i] = key[i] ^ pad;
  Sha256State state = kSha256InitialState;
  sha256_compress(state, block);
  return state;
}

// Lays out the message up to the payload into `out`; returns its length, 44 + L.
// The caller has checked L against the limit.
std::size_t write_prefix(std::span<std::uint8_t, kMaxPrefixSize> out, const Nonce& nonce,
                         std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
                         ActionId action_id) noexcept {
  std::uint8_t* at = out.data();
  at = std::copy(nonce.begin(), nonce.end(), at);
  store_le64(at, timestamp_nanos);
  store_le64(at + 8, sequence_id);
  store_le64(at + 16, action_id.size());
  at = std::copy(action_id.begin(), action_id.end(), at + 24);
  store_le64(at, kPayloadSize);
  return static_cast<std::size_t>(at + 8 - out.data());
}

bool action_id_fits(ActionId action_id) noexcept {
  return action_id.size() <= kMaxActionIdSize;
}

// Constant-time comparison works on XOR differences: a byte lane of a ^ b is
// zero exactly when those two bytes are equal, so OR-ing the differences of
// all words compares every byte without a branch, and the operands are equal
// exactly when the combined difference is zero.

// Hides a value from the optimiser, which then can neither learn that a
// comparison is already decided nor split it into early-exiting pieces.
template <typename T>
T value_barrier(T value) noexcept {
  asm volatile("" : "+r"(value));
  return value;
}

// The one test of a comparison, on the combined difference of all its bytes.
bool no_difference(std::uint64_t difference) noexcept { return value_barrier(difference) == 0; }

std::uint64_t load_word(const std::uint8_t* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint32_t load_half_word(const std::uint8_t* bytes) noexcept {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint64_t nonce_difference(const std::uint8_t* a, const std::uint8_t* b) noexcept {
  return (load_word(a) ^ load_word(b)) | (load_half_word(a + 8) ^ load_half_word(b + 8));
}

// Four consecutive ring entries fill six words exactly, and two entries three:
// the probe repeated twice gives three words that line up with every pair of
// entries. The scan compares a group of four at a time against them, held in
// registers: six loads and XORs per four entries instead of eight.
constexpr std::size_t kGroupEntries = 4;
constexpr std::size_t kGroupWords = kGroupEntries * kNonceSize / 8;
constexpr std::size_t kProbeWords = 2 * kNonceSize / 8;
static_assert(std::endian::native == std::endian::little,
              "the split of group words into entries assumes little-endian words");

struct Probe {
  const std::uint8_t* nonce;
  std::array<std::uint64_t, kProbeWords> words;  // the nonce twice over
};

Probe make_probe(const Nonce& nonce) noexcept {
  std::array<std::uint8_t, 2 * kNonceSize> twice;
  std::memcpy(twice.data(), nonce.data(), kNonceSize);
  std::memcpy(twice.data() + kNonceSize, nonce.data(), kNonceSize);
  return {nonce.data(), {load_word(&twice[0]), load_word(&twice[8]), load_word(&twice[16])}};
}

// Visits the `n` entries below slot `above` of the ring (given as its bytes),
// nearest first, each compared in full; stops only between entries.
bool any_matches_downward(const std::uint8_t* ring, std::size_t above, std::size_t n,
                          const Probe& probe) noexcept {
  const std::array<std::uint64_t, kProbeWords> words = probe.words;  // kept in registers
  std::size_t visited = 0;
  for (; visited + kGroupEntries <= n; visited += kGroupEntries) {
    const std::uint8_t* group = ring + (above - visited - kGroupEntries) * kNonceSize;
    std::array<std::uint64_t, kGroupWords> x;
    for (std::size_t k = 0; k < kGroupWords; ++k) {
      x[k] = load_word(group + 8 * k) ^ words[k % kProbeWords];
    }
    // Entry 3 of the group, the newest, is the top half of x[4] and all of
    // x[5]; entry 2 is x[3] and the bottom half of x[4]; and so on down.
    if (no_difference((x[4] >> 32) | x[5])) return true;
    if (no_difference(x[3] | (x[4] << 32))) return true;
    if (no_difference((x[1] >> 32) | x[2])) return true;
    if (no_difference(x[0] | (x[1] << 32))) return true;
  }
  for (; visited < n; ++visited) {
    const std::uint8_t* entry = ring + (above - visited - 1) * kNonceSize;
    if (no_difference(nonce_difference(entry, probe.nonce))) return true;
  }
  return false;
}

std::expected<Receipt, KelError> sign(std::expected<MessageHasher, KelError> hasher,
                                      const Nonce& nonce, std::uint64_t timestamp_nanos,
                                      std::uint64_t sequence_id, const Payload& payload) noexcept {
  if (!hasher) return std::unexpected(hasher.error());
  hasher->update(payload);
  return Receipt{nonce, timestamp_nanos, sequence_id, MessageHasher::finalize(*hasher)};
}

}  // namespace

HmacKeyContext HmacKeyContext::from_key(const Key& key) noexcept {
  return {key_block_state(key, kInnerPad), key_block_state(key, kOuterPad)};
}

std::expected<MessageHasher, KelError> MessageHasher::begin(const Key& key, const Nonce& nonce,
                                                            std::uint64_t timestamp_nanos,
                                                            std::uint64_t sequence_id,
                                                            ActionId action_id) noexcept {
  // Checked before the key blocks so a refusal computes nothing.
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  return begin(HmacKeyContext::from_key(key), nonce, timestamp_nanos, sequence_id, action_id);
}

std::expected<MessageHasher, KelError> MessageHasher::begin(const HmacKeyContext& key_context,
                                                            const Nonce& nonce,
                                                            std::uint64_t timestamp_nanos,
                                                            std::uint64_t sequence_id,
                                                            ActionId action_id) noexcept {
  if (!action_id_fits(action_id)) return std::unexpected(KelError::ActionIdOverflow);
  MessageHasher hasher;
  hasher.inner_state_ = key_context.inner;
  hasher.inner_block_count_ = 1;
  hasher.outer_state_ = key_context.outer;
  hasher.outer_block_count_ = 1;
  hasher.pending_length_ = 0;
  std::array<std::uint8_t, kMaxPrefixSize> prefix;
  const std::size_t size = write_prefix(prefix, nonce, timestamp_nanos, sequence_id, action_id);
  hasher.update(std::span(prefix).first(size));
  return hasher;
}

void MessageHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    const std::size_t room = kSha256BlockSize - pending_length_;
    const std::size_t take = std::min(room, bytes.size());
    std::copy_n(bytes.begin(), take, pending_block_.begin() + pending_length_);
    bytes = bytes.subspan(take);
    if (take == room) {
      sha256_compress(inner_state_, pending_block_);
      ++inner_block_count_;
      pending_length_ = 0;
    } else {
      pending_length_ = static_cast<std::uint8_t>(pending_length_ + take);
    }
  }
}

Tag MessageHasher::finalize(MessageHasher hasher) noexcept {
  // Inner hash: 0x80, zeros, then the bit length (key block included) in the
  // last 8 bytes; with 56 or more bytes pending the length needs a block of its own.
  const std::uint64_t inner_bits =
      (hasher.inner_block_count_ * kSha256BlockSize + hasher.pending_length_) * 8;
  auto& block = hasher.pending_block_;
  block[hasher.pending_length_] = 0x80;
  std::fill(block.begin() + hasher.pending_length_ + 1, block.end(), 0);
  if (hasher.pending_length_ >= kLengthOffset) {
    sha256_compress(hasher.inner_state_, block);
    block.fill(0);
  }
  store_be64(block.data() + kLengthOffset, inner_bits);
  sha256_compress(hasher.inner_state_, block);

  // Outer hash: the inner digest after the opad key block, in one final block.
  const Tag inner_digest = digest_bytes(hasher.inner_state_);
  const std::uint64_t outer_bits =
      (hasher.outer_block_count_ * kSha256BlockSize + inner_digest.size()) * 8;
  block.fill(0);
  std::copy(inner_digest.begin(), inner_digest.end(), block.begin());
  block[inner_digest.size()] = 0x80;
  store_be64(block.data() + kLengthOffset, outer_bits);
  sha256_compress(hasher.outer_state_, block);
  return digest_bytes(hasher.outer_state_);
}

std::expected<Receipt, KelError> authorize(const HmacKeyContext& key_context, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos,
                                           std::uint64_t sequence_id, ActionId action_id,
                                           const Payload& payload) noexcept {
  return sign(MessageHasher::begin(key_context, nonce, timestamp_nanos, sequence_id, action_id),
              nonce, timestamp_nanos, sequence_id, payload);
}

std::expected<Receipt, KelError> authorize(const Key& key, const Nonce& nonce,
                                           std::uint64_t timestamp_nanos,
                                           std::uint64_t sequence_id, ActionId action_id,
                                           const Payload& payload) noexcept {
  return sign(MessageHasher::begin(key, nonce, timestamp_nanos, sequence_id, action_id), nonce,
              timestamp_nanos, sequence_id, payload);
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

ReceiptBytes write_receipt_bytes(const Receipt& receipt) noexcept {
  ReceiptBytes bytes{};
  std::copy(receipt.nonce.begin(), receipt.nonce.end(), bytes.begin());
  store_le64(bytes.data() + kReceiptTimestampOffset, receipt.timestamp_nanos);
  store_le64(bytes.data() + kReceiptSequenceOffset, receipt.sequence_id);
  std::copy(receipt.tag.begin(), receipt.tag.end(), bytes.begin() + kReceiptTagOffset);
  return bytes;
}

Receipt read_receipt_bytes(std::span<const std::uint8_t, kReceiptSize> bytes) noexcept {
  Receipt receipt;
  std::copy_n(bytes.begin(), kNonceSize, receipt.nonce.begin());
  receipt.timestamp_nanos = load_le64(bytes.data() + kReceiptTimestampOffset);
  receipt.sequence_id = load_le64(bytes.data() + kReceiptSequenceOffset);
  std::copy_n(bytes.begin() + kReceiptTagOffset, kTagSize, receipt.tag.begin());
  return receipt;
}

bool constant_time_equal(const Nonce& a, const Nonce& b) noexcept {
  return no_difference(nonce_difference(a.data(), b.data()));
}

bool constant_time_equal(const Tag& a, const Tag& b) noexcept {
  std::uint64_t difference = 0;
  for (std::size_t offset = 0; offset < kTagSize; offset += 8) {
    difference |= value_barrier(load_word(a.data() + offset) ^ load_word(b.data() + offset));
  }
  return no_difference(difference);
}

bool NonceRing::contains(const Nonce& nonce) const noexcept {
  // Newest first: slots head - 1 down to 0, then (once the ring has wrapped)
  // 1023 down to head. Two contiguous runs keep the scan free of index arithmetic.
  static_assert(sizeof entries == kNonceWindow * kNonceSize, "entries lie back to back");
  const auto* ring = reinterpret_cast<const std::uint8_t*>(entries.data());
  const std::size_t remembered = std::min<std::uint64_t>(count, kNonceWindow);
  const std::size_t newest = head % kNonceWindow;
  const std::size_t before_head = std::min(remembered, newest);
  const Probe probe = make_probe(nonce);
  if (any_matches_downward(ring, newest, before_head, probe)) return true;
  return any_matches_downward(ring, kNonceWindow, remembered - before_head, probe);
}

void NonceRing::record(const Nonce& nonce) noexcept {
  entries[head % kNonceWindow] = nonce;
  head = (head + 1) % kNonceWindow;
  if (count < kNonceWindow) ++count;
}

}  // namespace kelvara::security
