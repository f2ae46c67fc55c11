// The gatekeeper of one edge boundary: signs actions under its key and accepts
// a receipt only if its sequence id is newer than every accepted one, its nonce
// is not among the last 1024 accepted and its tag verifies.
//
// No clock, no random source, no lock: the caller supplies nonce, timestamp and
// sequence id and serialises access (issue_receipt needs shared access,
// intercept_and_authorize exclusive access). Held inline by its owner; no heap.
#pragma once

#include <cstdint>
#include <expected>

#include "crypto.hpp"
#include "kel_error.hpp"

namespace kelvara::security {

class BoundaryInterceptor {
 public:
  // Empty replay memory: every ring entry zero, head, count and last sequence
  // id 0. The key never changes afterwards.
  explicit BoundaryInterceptor(const Key& key) noexcept;

  // Signs an action under the interceptor's key, exactly as `authorize` does.
  // Touches no replay state: issuing spends neither a sequence id nor a nonce
  // slot. Fails only with ActionIdOverflow.
  std::expected<Receipt, KelError> issue_receipt(const Nonce& nonce,
                                                 std::uint64_t timestamp_nanos,
                                                 std::uint64_t sequence_id, ActionId action_id,
                                                 const Payload& payload) const noexcept;

  // Checks, in order: sequence id above the last accepted (ReplayCounter),
  // nonce not remembered (ReplayNonce), tag recomputed from the receipt's
  // fields, `action_id` and `payload` (ActionIdOverflow, AuthenticationFailure).
  // On success records the sequence id and nonce and returns 0; otherwise
  // returns the kind's number and changes nothing.
  std::uint8_t intercept_and_authorize(ActionId action_id, const Payload& payload,
                                       const Receipt& receipt) noexcept;

  const Key& key() const noexcept { return key_; }
  std::uint64_t nonce_head() const noexcept { return recent_nonces_.head; }
  std::uint64_t nonce_count() const noexcept { return recent_nonces_.count; }
  std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }
  // The ring entry at `slot`, which must be below kNonceWindow.
  const Nonce& recent_nonce(std::size_t slot) const noexcept {
    return recent_nonces_.entries[slot];
  }

 private:
  Key key_;
  NonceRing recent_nonces_;  // entries, then nonce head, then nonce count
  std::uint64_t last_sequence_id_ = 0;
  HmacKeyContext key_context_;  // key_ with its pad blocks compressed, built once
};

}  // namespace kelvara::security
