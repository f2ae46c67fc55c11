// The replay memory and signer of one key: signs actions under that key and
// accepts a receipt only if its sequence id is newer than every accepted one,
// its nonce is not among the last 1024 accepted and its tag verifies.
//
// No clock, no random source, no lock: the caller supplies nonce, timestamp and
// sequence id and serialises access (issue_receipt and check_receipt need
// shared access, remember and intercept_and_authorize exclusive access). Held
// inline by its owner; no heap.
#pragma once

#include <cstdint>
#include <expected>

#include "kelvara/security/kel_error.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/nonce_ring.hpp"
#include "kelvara/security/receipt.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::security {

class BoundaryInterceptor {
 public:
  // Empty replay memory: every ring entry zero, head, count and last sequence
  // id 0. The key is prepared here once and never changes afterwards.
  explicit BoundaryInterceptor(const Key& key) noexcept;

  // Signs an action under the interceptor's key, exactly as `authorize` does.
  // Touches no replay state: issuing spends neither a sequence id nor a nonce
  // slot. Fails only with ActionIdOverflow.
  std::expected<Receipt, KelError> issue_receipt(const Nonce& nonce, std::uint64_t timestamp_nanos,
                                                 std::uint64_t sequence_id, ActionId action_id,
                                                 const Payload& payload) const noexcept;

  // The three rules, in order, the first that fails deciding: sequence id above
  // the last accepted (ReplayCounter), nonce not remembered (ReplayNonce), tag
  // check (ActionIdOverflow, AuthenticationFailure). Changes nothing.
  std::expected<void, KelError> check_receipt(ActionId action_id, const Payload& payload,
                                              const Receipt& receipt) const noexcept;

  // Records an accepted receipt: its sequence id becomes the last accepted and
  // its nonce the newest remembered.
  void remember(const Receipt& receipt) noexcept;

  // check_receipt, then remember on success. A refusal changes nothing.
  std::expected<void, KelError> intercept_and_authorize(ActionId action_id, const Payload& payload,
                                                        const Receipt& receipt) noexcept;

  // Erases the prepared key; every owner calls it as it ends, after which the
  // interceptor must not sign or check again. (A plain value otherwise, so that
  // its state can be copied and compared whole.)
  void erase_key() noexcept;

  std::uint64_t nonce_head() const noexcept { return recent_nonces_.head; }
  std::uint64_t nonce_count() const noexcept { return recent_nonces_.count; }
  std::uint64_t last_sequence_id() const noexcept { return last_sequence_id_; }
  // The ring entry at `slot`, which must be below kNonceWindow.
  Nonce recent_nonce(std::size_t slot) const noexcept { return recent_nonces_.entry(slot); }

 private:
  HmacKeyContext key_context_;  // the key with its pad blocks compressed
  NonceRing recent_nonces_;     // slots, then nonce head, then nonce count
  std::uint64_t last_sequence_id_ = 0;
};

}  // namespace kelvara::security
