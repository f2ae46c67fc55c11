#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/constant_time.hpp"
#include "kelvara/security/nonce_ring.hpp"
#include "kelvara/security/receipt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kelvara/security/test_support.hpp"

namespace {

using namespace kelvara::security;
using kelvara::security::testing::reference_hmac;

using Bytes = std::vector<std::uint8_t>;

const Nonce kWorkedNonce = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b};
const Bytes kAxis0 = {0x61, 0x78, 0x69, 0x73, 0x5f, 0x30};  // "axis_0"

// The message written out by hand from its table, independently of the library.
Bytes message_by_hand(const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence,
                      const Bytes& action_id, const Payload& payload) {
  Bytes out(nonce.begin(), nonce.end());
  auto le64 = [&out](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  le64(timestamp);
  le64(sequence);
  le64(action_id.size());
  out.insert(out.end(), action_id.begin(), action_id.end());
  le64(16);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> random_bytes(std::mt19937_64& rng) {
  std::array<std::uint8_t, N> out;
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

Key counting_key() {
  Key key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  return key;
}

TEST(MessageHasher, WorkedMessageLaidOutByteForByte) {
  const Bytes expected = {
      0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b,              // nonce
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                      // timestamp
      0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                      // sequence id
      0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                      // L
      0x61, 0x78, 0x69, 0x73, 0x5f, 0x30,                                                  // "axis_0"
      0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                                      // payload length
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,  // two +0.0
  };
  const auto message = signed_message(kWorkedNonce, 1, 2, kAxis0, Payload{});
  ASSERT_TRUE(message.has_value());
  const auto view = message->view();
  EXPECT_EQ(Bytes(view.begin(), view.end()), expected);

  // A tag fixed once from an independent HMAC implementation over those bytes.
  const auto receipt =
      authorize(HmacKeyContext::from_key(counting_key()), kWorkedNonce, 1, 2, kAxis0, Payload{});
  ASSERT_TRUE(receipt.has_value());
  const Tag known = {0xe2, 0xef, 0x58, 0xa5, 0xda, 0x2c, 0x03, 0xb1, 0x0a, 0x91, 0xde,
                     0xb0, 0xb7, 0x22, 0xcf, 0x7c, 0x58, 0x14, 0xf0, 0xaf, 0xa5, 0xfb,
                     0x3d, 0x3f, 0x04, 0xf4, 0x3f, 0xbf, 0x67, 0x7d, 0x63, 0x40};
  EXPECT_EQ(receipt->tag, known);
}

// Identifiers of 0-3 and 60-64 bytes need two final inner blocks, 4-59 one.
TEST(Authorize, EqualsIndependentHmacForEveryIdentifierLength) {
  std::mt19937_64 rng(0x6b656c76);
  for (std::size_t length = 0; length <= kMaxActionIdSize; ++length) {
    for (int trial = 0; trial < 8; ++trial) {
      const Key key = random_bytes<kKeySize>(rng);
      const Nonce nonce = random_bytes<kNonceSize>(rng);
      const Payload payload = random_bytes<kPayloadSize>(rng);
      const std::uint64_t timestamp = rng();
      const std::uint64_t sequence = rng();
      Bytes action_id(length);
      for (auto& b : action_id) b = static_cast<std::uint8_t>(rng());

      const auto receipt =
          authorize(HmacKeyContext::from_key(key), nonce, timestamp, sequence, action_id, payload);
      ASSERT_TRUE(receipt.has_value()) << length;
      const Bytes message = message_by_hand(nonce, timestamp, sequence, action_id, payload);
      EXPECT_EQ(receipt->tag, reference_hmac(key, message)) << "length " << length;
      EXPECT_EQ(receipt->nonce, nonce);
      EXPECT_EQ(receipt->timestamp_nanos, timestamp);
      EXPECT_EQ(receipt->sequence_id, sequence);

      const auto laid_out = signed_message(nonce, timestamp, sequence, action_id, payload);
      ASSERT_TRUE(laid_out.has_value());
      EXPECT_EQ(Bytes(laid_out->view().begin(), laid_out->view().end()), message);
    }
  }
}

TEST(MessageHasher, PreparedKeyAndSplitUpdatesGiveTheSameTag) {
  std::mt19937_64 rng(17);
  const Key key = random_bytes<kKeySize>(rng);
  const Nonce nonce = random_bytes<kNonceSize>(rng);
  Bytes tail(200);  // crosses several blocks, beyond what the system ever absorbs
  for (auto& b : tail) b = static_cast<std::uint8_t>(rng());
  const Bytes with_payload = message_by_hand(nonce, 3, 4, kAxis0, Payload{});
  Bytes message(with_payload.begin(), with_payload.end() - kPayloadSize);
  message.insert(message.end(), tail.begin(), tail.end());
  const Tag expected = reference_hmac(key, message);

  const auto context = HmacKeyContext::from_key(key);
  for (std::size_t split : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 199u, 200u}) {
    auto hasher = MessageHasher::begin(context, nonce, 3, 4, kAxis0);
    ASSERT_TRUE(hasher.has_value());
    hasher->update(std::span(tail).first(split));
    hasher->update({});
    hasher->update(std::span(tail).subspan(split));
    EXPECT_EQ(hasher->finalize(), expected) << "split " << split;
    EXPECT_EQ(hasher->finalize(), expected) << "finalizing leaves the hasher as it was";
  }
}

TEST(Authorize, AnySingleChangedByteChangesTheTag) {
  struct Fields {
    Key key;
    Nonce nonce;
    std::uint64_t timestamp;
    std::uint64_t sequence;
    Bytes action_id;
    Payload payload;
    Tag tag() const {
      return authorize(HmacKeyContext::from_key(key), nonce, timestamp, sequence, action_id, payload)->tag;
    }
  };
  std::mt19937_64 rng(99);
  const Fields base{random_bytes<kKeySize>(rng),    random_bytes<kNonceSize>(rng), rng(), rng(), kAxis0,
                    random_bytes<kPayloadSize>(rng)};
  const Tag base_tag = base.tag();
  EXPECT_EQ(base.tag(), base_tag);

  auto changed_tag = [&base](auto change) {
    Fields fields = base;
    change(fields);
    return fields.tag();
  };
  for (std::size_t i = 0; i < kKeySize; ++i)
    EXPECT_NE(changed_tag([i](Fields& f) { f.key[i] ^= 1; }), base_tag) << "key " << i;
  for (std::size_t i = 0; i < kNonceSize; ++i)
    EXPECT_NE(changed_tag([i](Fields& f) { f.nonce[i] ^= 0x80; }), base_tag) << "nonce " << i;
  for (int i = 0; i < 8; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << (8 * i);
    EXPECT_NE(changed_tag([bit](Fields& f) { f.timestamp ^= bit; }), base_tag) << i;
    EXPECT_NE(changed_tag([bit](Fields& f) { f.sequence ^= bit; }), base_tag) << i;
  }
  for (std::size_t i = 0; i < base.action_id.size(); ++i)
    EXPECT_NE(changed_tag([i](Fields& f) { f.action_id[i] ^= 1; }), base_tag) << "id " << i;
  EXPECT_NE(changed_tag([](Fields& f) { f.action_id.push_back(0); }), base_tag);
  EXPECT_NE(changed_tag([](Fields& f) { f.action_id.pop_back(); }), base_tag);
  for (std::size_t i = 0; i < kPayloadSize; ++i)
    EXPECT_NE(changed_tag([i](Fields& f) { f.payload[i] ^= 1; }), base_tag) << "payload " << i;
}

TEST(Authorize, IdentifierOver64BytesIsRefusedBeforeAnyHashing) {
  const Key key = counting_key();
  const Bytes longest(64, 'a');
  EXPECT_TRUE(authorize(HmacKeyContext::from_key(key), kWorkedNonce, 1, 1, longest, Payload{}).has_value());

  for (std::size_t length : {65u, 4096u}) {
    const Bytes too_long(length, 'a');
    const auto receipt = authorize(HmacKeyContext::from_key(key), kWorkedNonce, 1, 1, too_long, Payload{});
    ASSERT_FALSE(receipt.has_value());
    EXPECT_EQ(receipt.error(), KelError::ActionIdOverflow);
    EXPECT_EQ(MessageHasher::begin(HmacKeyContext::from_key(key), kWorkedNonce, 1, 1, too_long).error(),
              KelError::ActionIdOverflow);
    EXPECT_EQ(signed_message(kWorkedNonce, 1, 1, too_long, Payload{}).error(), KelError::ActionIdOverflow);
  }
}

TEST(Receipt, ByteFormRoundTripsAtItsOffsets) {
  std::mt19937_64 rng(5);
  Receipt receipt;
  receipt.nonce = random_bytes<kNonceSize>(rng);
  receipt.timestamp_nanos = 0x0102030405060708u;
  receipt.sequence_id = 1;
  receipt.tag = random_bytes<kTagSize>(rng);

  const ReceiptBytes bytes = write_receipt_bytes(receipt);
  EXPECT_TRUE(std::equal(receipt.nonce.begin(), receipt.nonce.end(), bytes.begin()));
  EXPECT_EQ(bytes[12], 0x08);
  EXPECT_EQ(bytes[19], 0x01);
  EXPECT_EQ(bytes[20], 1);
  for (std::size_t i = 21; i < 28; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_TRUE(std::equal(receipt.tag.begin(), receipt.tag.end(), bytes.begin() + 28));

  const Receipt back = read_receipt_bytes(bytes);
  EXPECT_EQ(back.nonce, receipt.nonce);
  EXPECT_EQ(back.timestamp_nanos, receipt.timestamp_nanos);
  EXPECT_EQ(back.sequence_id, receipt.sequence_id);
  EXPECT_EQ(back.tag, receipt.tag);

  receipt.timestamp_nanos = UINT64_MAX;
  receipt.sequence_id = UINT64_MAX;
  const Receipt extreme = read_receipt_bytes(write_receipt_bytes(receipt));
  EXPECT_EQ(extreme.timestamp_nanos, UINT64_MAX);
  EXPECT_EQ(extreme.sequence_id, UINT64_MAX);
}

// A word-wise comparison that missed a byte lane would pass equal-looking
// operands; every bit of every position must count.
TEST(ConstantTime, EveryBitOfEveryByteCounts) {
  std::mt19937_64 rng(8);
  const Nonce nonce = random_bytes<kNonceSize>(rng);
  const Tag tag = random_bytes<kTagSize>(rng);
  EXPECT_TRUE(constant_time_equal(nonce, Nonce(nonce)));
  EXPECT_TRUE(constant_time_equal(tag, Tag(tag)));
  EXPECT_TRUE(constant_time_equal(Tag{}, Tag{}));
  for (std::size_t i = 0; i < kTagSize; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Tag other = tag;
      other[i] ^= static_cast<std::uint8_t>(1u << bit);
      EXPECT_FALSE(constant_time_equal(tag, other)) << i << ":" << bit;
      if (i < kNonceSize) {
        Nonce changed = nonce;
        changed[i] ^= static_cast<std::uint8_t>(1u << bit);
        EXPECT_FALSE(constant_time_equal(nonce, changed)) << i << ":" << bit;
      }
    }
  }
}

// The scan compares slots in groups, lane by lane; a nonce one bit away from a
// remembered one, at any byte and in any position of a group, is not a match.
TEST(Crypto, NonceRingComparesEveryByteOfEveryEntry) {
  std::mt19937_64 rng(1024);
  for (std::size_t recorded : {301u, 1024u + 37u}) {
    NonceRing ring;
    std::vector<Nonce> remembered;
    for (std::size_t i = 0; i < recorded; ++i) {
      const Nonce nonce = random_bytes<kNonceSize>(rng);
      ring.record(nonce);
      remembered.push_back(nonce);
    }
    if (remembered.size() > kNonceWindow) {
      remembered.erase(remembered.begin(), remembered.end() - kNonceWindow);
    }
    for (const Nonce& nonce : remembered) {
      ASSERT_TRUE(ring.contains(nonce));
      for (std::size_t byte = 0; byte < kNonceSize; ++byte) {
        Nonce near = nonce;
        near[byte] ^= static_cast<std::uint8_t>(1u << (byte % 8));
        const bool expected = std::find(remembered.begin(), remembered.end(), near) != remembered.end();
        ASSERT_EQ(ring.contains(near), expected) << "byte " << byte;
      }
    }
  }
}

}  // namespace
