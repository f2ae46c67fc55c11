// The one tag check of the system: a receipt is authentic when its tag equals
// the tag recomputed from its own nonce, timestamp and sequence id and the
// command's action identifier and payload, under the prepared key. Used by the
// interceptor, the gate and receipt re-verification alike.
#pragma once

#include <expected>

#include "kelvara/security/kel_error.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/receipt.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::security {

// ActionIdOverflow for an identifier over 64 bytes (nothing is hashed);
// AuthenticationFailure when the tags differ, found by a constant-time
// comparison of all 32 bytes.
std::expected<void, KelError> check_tag(const HmacKeyContext& key_context, const Receipt& receipt,
                                        ActionId action_id, const Payload& payload) noexcept;

}  // namespace kelvara::security
