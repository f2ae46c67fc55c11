#include "kelvara/security/interceptor.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>
#include <vector>

namespace {

using namespace kelvara::security;

constexpr std::uint8_t kAccepted = 0;
constexpr std::uint8_t kReplayCounter = number(KelError::ReplayCounter);
constexpr std::uint8_t kReplayNonce = number(KelError::ReplayNonce);
constexpr std::uint8_t kActionIdOverflow = number(KelError::ActionIdOverflow);
constexpr std::uint8_t kAuthenticationFailure = number(KelError::AuthenticationFailure);

const Key kKey = {0x4b, 0x65, 0x6c, 0x76, 0x61, 0x72, 0x61, 0x00, 0x11, 0x22, 0x33,
                  0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee,
                  0xff, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
const ActionId kAxis2 = action_id_bytes("axis_2");
const Payload kPayload = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe0, 0x3f,   // 0.5
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0x3f};  // 1.0
const std::vector<std::uint8_t> kTooLong(65, 'x');

// Distinct for every i; never all zero.
Nonce nonce_of(std::uint64_t i) {
  Nonce nonce{};
  for (int b = 0; b < 8; ++b) nonce[b] = static_cast<std::uint8_t>(i >> (8 * b));
  nonce[11] = 0x5a;
  return nonce;
}

Receipt issue(const BoundaryInterceptor& boundary, std::uint64_t sequence_id, const Nonce& nonce) {
  auto receipt =
      boundary.issue_receipt(nonce, 1'700'000'000'000'000'000u + sequence_id, sequence_id, kAxis2, kPayload);
  EXPECT_TRUE(receipt.has_value());
  return *receipt;
}

// 0 for an acceptance, else the refusal's number, so expectations read as one value.
std::uint8_t outcome(const std::expected<void, KelError>& result) {
  return result ? 0 : number(result.error());
}

std::uint8_t present(BoundaryInterceptor& boundary, const Receipt& receipt) {
  return outcome(boundary.intercept_and_authorize(kAxis2, kPayload, receipt));
}

// Issue and present, as the edge boundary does for each action.
std::uint8_t act(BoundaryInterceptor& boundary, std::uint64_t sequence_id, const Nonce& nonce) {
  return present(boundary, issue(boundary, sequence_id, nonce));
}

// Whole-record comparison: key, ring, head, count, last sequence id and key context.
bool same_state(const BoundaryInterceptor& a, const BoundaryInterceptor& b) {
  static_assert(std::has_unique_object_representations_v<BoundaryInterceptor>);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Accepts nonce_of(0) .. nonce_of(total - 1) with sequence ids 1 .. total.
void accept_in_turn(BoundaryInterceptor& boundary, std::uint64_t total) {
  for (std::uint64_t i = 0; i < total; ++i) ASSERT_EQ(act(boundary, i + 1, nonce_of(i)), kAccepted);
}

TEST(Interceptor, FreshRefusesSequenceZeroAndAcceptsOne) {
  BoundaryInterceptor boundary(kKey);
  const BoundaryInterceptor fresh = boundary;
  EXPECT_EQ(issue(boundary, 1, nonce_of(7)).tag, authorize(HmacKeyContext::from_key(kKey), nonce_of(7),
                                                           1'700'000'000'000'000'001u, 1, kAxis2, kPayload)
                                                     ->tag);  // signs under the key it was given
  EXPECT_EQ(act(boundary, 0, nonce_of(7)), kReplayCounter);
  EXPECT_TRUE(same_state(boundary, fresh));

  EXPECT_EQ(act(boundary, 1, nonce_of(7)), kAccepted);
  EXPECT_EQ(boundary.last_sequence_id(), 1u);
  EXPECT_EQ(boundary.nonce_count(), 1u);
  EXPECT_EQ(boundary.nonce_head(), 1u);
  EXPECT_EQ(boundary.recent_nonce(0), nonce_of(7));
}

TEST(Interceptor, SequenceIdsMustStrictlyIncreaseWithGapsAllowed) {
  BoundaryInterceptor boundary(kKey);
  const Receipt ninth = issue(boundary, 9, nonce_of(9));
  EXPECT_EQ(act(boundary, 1, nonce_of(1)), kAccepted);
  EXPECT_EQ(act(boundary, 5, nonce_of(5)), kAccepted);
  EXPECT_EQ(present(boundary, ninth), kAccepted);
  EXPECT_EQ(act(boundary, 9, nonce_of(90)), kReplayCounter);
  EXPECT_EQ(act(boundary, 8, nonce_of(80)), kReplayCounter);
  // The very receipt again is a stale sequence id before it is a reused nonce.
  EXPECT_EQ(present(boundary, ninth), kReplayCounter);
  EXPECT_EQ(boundary.last_sequence_id(), 9u);
}

TEST(Interceptor, NothingIsAcceptedAfterTheLastSequenceId) {
  BoundaryInterceptor boundary(kKey);
  EXPECT_EQ(act(boundary, UINT64_MAX, nonce_of(1)), kAccepted);
  EXPECT_EQ(act(boundary, UINT64_MAX, nonce_of(2)), kReplayCounter);
  EXPECT_EQ(act(boundary, 0, nonce_of(3)), kReplayCounter);
  EXPECT_EQ(act(boundary, 1, nonce_of(4)), kReplayCounter);
}

TEST(Interceptor, ChecksRunSequenceThenNonceThenIdentifierThenTag) {
  BoundaryInterceptor boundary(kKey);
  ASSERT_EQ(act(boundary, 1, nonce_of(1)), kAccepted);
  const BoundaryInterceptor before = boundary;

  Receipt stale_reused_forged = issue(boundary, 1, nonce_of(1));
  stale_reused_forged.tag[0] ^= 1;
  EXPECT_EQ(present(boundary, stale_reused_forged), kReplayCounter);

  Receipt reused_forged = issue(boundary, 2, nonce_of(1));
  const Receipt reused = reused_forged;
  reused_forged.tag[0] ^= 1;
  EXPECT_EQ(present(boundary, reused_forged), kReplayNonce);
  EXPECT_EQ(outcome(boundary.intercept_and_authorize(kTooLong, kPayload, reused)), kReplayNonce);

  // An over-long identifier cannot be issued, and is refused only once the
  // sequence and nonce rules have passed.
  EXPECT_EQ(boundary.issue_receipt(nonce_of(2), 0, 2, kTooLong, kPayload).error(),
            KelError::ActionIdOverflow);
  Receipt fresh_forged = issue(boundary, 2, nonce_of(2));
  fresh_forged.tag[31] ^= 0x80;
  EXPECT_EQ(outcome(boundary.intercept_and_authorize(kTooLong, kPayload, fresh_forged)), kActionIdOverflow);
  EXPECT_EQ(present(boundary, fresh_forged), kAuthenticationFailure);
  EXPECT_TRUE(same_state(boundary, before));
}

TEST(Interceptor, RefusalsLeaveStateBitIdenticalSoTheCorrectReceiptStillPasses) {
  BoundaryInterceptor boundary(kKey);
  accept_in_turn(boundary, 1030);  // a wrapped ring, so head and count differ
  const BoundaryInterceptor before = boundary;
  const Receipt good = issue(boundary, 2000, nonce_of(5000));

  for (std::size_t bit = 0; bit < 8 * kTagSize; bit += 7) {
    Receipt flipped = good;
    flipped.tag[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_EQ(present(boundary, flipped), kAuthenticationFailure) << bit;
  }
  Key other_key = kKey;
  other_key[31] ^= 1;
  const Receipt foreign = *BoundaryInterceptor(other_key).issue_receipt(good.nonce, good.timestamp_nanos,
                                                                        good.sequence_id, kAxis2, kPayload);
  EXPECT_EQ(present(boundary, foreign), kAuthenticationFailure);
  Receipt retimed = good;
  retimed.timestamp_nanos += 1;
  EXPECT_EQ(present(boundary, retimed), kAuthenticationFailure);
  Payload other_payload = kPayload;
  other_payload[15] ^= 0x80;  // the velocity's sign
  EXPECT_EQ(outcome(boundary.intercept_and_authorize(kAxis2, other_payload, good)), kAuthenticationFailure);
  EXPECT_EQ(outcome(boundary.intercept_and_authorize(action_id_bytes("axis_3"), kPayload, good)),
            kAuthenticationFailure);
  EXPECT_EQ(outcome(boundary.intercept_and_authorize(kTooLong, kPayload, good)), kActionIdOverflow);
  EXPECT_EQ(act(boundary, 1030, nonce_of(6000)), kReplayCounter);
  EXPECT_EQ(act(boundary, 2000, nonce_of(1029)), kReplayNonce);
  EXPECT_TRUE(same_state(boundary, before));

  EXPECT_EQ(present(boundary, good), kAccepted);
  EXPECT_EQ(boundary.last_sequence_id(), 2000u);
}

TEST(Interceptor, IssuingIsReadOnlyAndSignsAsAuthorizeDoes) {
  BoundaryInterceptor boundary(kKey);
  const BoundaryInterceptor fresh = boundary;
  std::vector<std::uint8_t> action_id;
  for (std::size_t length = 0; length <= kMaxActionIdSize; ++length) {
    const auto issued = boundary.issue_receipt(nonce_of(length), 11, 1, action_id, kPayload);
    const auto reference =
        authorize(HmacKeyContext::from_key(kKey), nonce_of(length), 11, 1, action_id, kPayload);
    ASSERT_TRUE(issued.has_value() && reference.has_value());
    EXPECT_EQ(issued->tag, reference->tag) << length;
    EXPECT_EQ(write_receipt_bytes(*issued), write_receipt_bytes(*reference));
    action_id.push_back(static_cast<std::uint8_t>('a' + length % 26));
  }
  EXPECT_TRUE(same_state(boundary, fresh));
  EXPECT_EQ(act(boundary, 1, nonce_of(0)), kAccepted);
}

TEST(Interceptor, AllZeroNonceIsAcceptedOnAFreshInterceptor) {
  BoundaryInterceptor boundary(kKey);
  EXPECT_EQ(act(boundary, 1, Nonce{}), kAccepted);
  // Now it is a remembered nonce, not an empty slot.
  EXPECT_EQ(act(boundary, 2, Nonce{}), kReplayNonce);
}

TEST(Interceptor, NonceIsRememberedForExactly1024Acceptances) {
  BoundaryInterceptor boundary(kKey);
  const Nonce first = nonce_of(0);
  accept_in_turn(boundary, 1024);  // `first` and 1023 after it
  EXPECT_EQ(act(boundary, 5000, first), kReplayNonce);
  EXPECT_EQ(act(boundary, 5001, nonce_of(1024)), kAccepted);
  EXPECT_EQ(act(boundary, 5002, first), kAccepted);
}

TEST(Interceptor, The1025thAcceptanceIsWrittenToSlotZero) {
  BoundaryInterceptor boundary(kKey);
  accept_in_turn(boundary, 1024);
  EXPECT_EQ(boundary.nonce_count(), 1024u);
  EXPECT_EQ(boundary.nonce_head(), 0u);
  EXPECT_EQ(boundary.recent_nonce(1023), nonce_of(1023));

  EXPECT_EQ(act(boundary, 1025, nonce_of(1024)), kAccepted);
  EXPECT_EQ(boundary.recent_nonce(0), nonce_of(1024));
  EXPECT_EQ(boundary.recent_nonce(1), nonce_of(1));
  EXPECT_EQ(boundary.nonce_count(), 1024u);
  EXPECT_EQ(boundary.nonce_head(), 1u);
}

// The newest-first scan runs in two stretches once the ring has wrapped; every
// remembered nonce must be found wherever head stands, and only those.
TEST(Interceptor, EveryRememberedNonceIsFoundWhereverTheRingStands) {
  for (std::uint64_t total : {1u, 2u, 700u, 1023u, 1024u, 1025u, 1500u, 2047u, 2048u}) {
    BoundaryInterceptor boundary(kKey);
    accept_in_turn(boundary, total);
    const std::uint64_t oldest = total > kNonceWindow ? total - kNonceWindow : 0;
    std::uint64_t sequence_id = total;
    for (std::uint64_t i = oldest; i < total; ++i) {
      ASSERT_EQ(act(boundary, ++sequence_id, nonce_of(i)), kReplayNonce) << total << "/" << i;
    }
    if (oldest > 0) {
      EXPECT_EQ(act(boundary, ++sequence_id, nonce_of(oldest - 1)), kAccepted) << total;
    }
  }
}

}  // namespace
