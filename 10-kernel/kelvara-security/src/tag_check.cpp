#include "kelvara/security/tag_check.hpp"

#include "kelvara/security/constant_time.hpp"

namespace kelvara::security {

std::expected<void, KelError> check_tag(const HmacKeyContext& key_context, const Receipt& receipt,
                                        ActionId action_id, const Payload& payload) noexcept {
  const auto recomputed =
      authorize(key_context, receipt.nonce, receipt.timestamp_nanos, receipt.sequence_id, action_id, payload);
  if (!recomputed) return std::unexpected(recomputed.error());
  if (!constant_time_equal(recomputed->tag, receipt.tag)) {
    return std::unexpected(KelError::AuthenticationFailure);
  }
  return {};
}

}  // namespace kelvara::security
