#include "kelvara/security/interceptor.hpp"

#include "kelvara/security/secure_wipe.hpp"
#include "kelvara/security/tag_check.hpp"

namespace kelvara::security {

BoundaryInterceptor::BoundaryInterceptor(const Key& key) noexcept
    : key_context_(HmacKeyContext::from_key(key)), recent_nonces_() {}

std::expected<Receipt, KelError> BoundaryInterceptor::issue_receipt(const Nonce& nonce,
                                                                    std::uint64_t timestamp_nanos,
                                                                    std::uint64_t sequence_id,
                                                                    ActionId action_id,
                                                                    const Payload& payload) const noexcept {
  return authorize(key_context_, nonce, timestamp_nanos, sequence_id, action_id, payload);
}

std::expected<void, KelError> BoundaryInterceptor::check_receipt(ActionId action_id, const Payload& payload,
                                                                 const Receipt& receipt) const noexcept {
  // Gaps are allowed; equal or older is a replay. After 2^64 - 1 nothing passes.
  if (receipt.sequence_id <= last_sequence_id_) return std::unexpected(KelError::ReplayCounter);
  if (recent_nonces_.contains(receipt.nonce)) return std::unexpected(KelError::ReplayNonce);
  return check_tag(key_context_, receipt, action_id, payload);
}

void BoundaryInterceptor::remember(const Receipt& receipt) noexcept {
  last_sequence_id_ = receipt.sequence_id;
  recent_nonces_.record(receipt.nonce);
}

std::expected<void, KelError> BoundaryInterceptor::intercept_and_authorize(ActionId action_id,
                                                                           const Payload& payload,
                                                                           const Receipt& receipt) noexcept {
  auto checked = check_receipt(action_id, payload, receipt);
  if (checked) remember(receipt);
  return checked;
}

void BoundaryInterceptor::erase_key() noexcept { secure_wipe(key_context_); }

}  // namespace kelvara::security
