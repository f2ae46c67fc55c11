#include "boundary.hpp"

namespace kelvara::security {

BoundaryInterceptor::BoundaryInterceptor(const Key& key) noexcept
    : key_(key), recent_nonces_(), key_context_(HmacKeyContext::from_key(key)) {}

std::expected<Receipt, KelError> BoundaryInterceptor::issue_receipt(
    const Nonce& nonce, std::uint64_t timestamp_nanos, std::uint64_t sequence_id,
    ActionId action_id, const Payload& payload) const noexcept {
  return authorize(key_context_, nonce, timestamp_nanos, sequence_id, action_id, payload);
}

std::uint8_t BoundaryInterceptor::intercept_and_authorize(ActionId action_id,
                                                          const Payload& payload,
                                                          const Receipt& receipt) noexcept {
  // Gaps are allowed; equal or older is a replay. After 2^64 - 1 nothing passes.
  if (receipt.sequence_id <= last_sequence_id_) return number(KelError::ReplayCounter);
  if (recent_nonces_.contains(receipt.nonce)) return number(KelError::ReplayNonce);

  const auto recomputed = authorize(key_context_, receipt.nonce, receipt.timestamp_nanos,
                                    receipt.sequence_id, action_id, payload);
  if (!recomputed) return number(recomputed.error());
  if (!constant_time_equal(recomputed->tag, receipt.tag)) {
    return number(KelError::AuthenticationFailure);
  }

  last_sequence_id_ = receipt.sequence_id;
  recent_nonces_.record(receipt.nonce);
  return 0;
}

}  // namespace kelvara::security
