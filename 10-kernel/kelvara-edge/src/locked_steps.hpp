// How the signing owners (the edge authorizer, the command signer) run their
// state-changing steps: under the state lock, refused once the lock is
// poisoned, and with every fault (reported or thrown) leaving it poisoned.
// Internal to the edge library.
#pragma once

#include <exception>
#include <expected>
#include <string_view>
#include <utility>

#include "kelvara/edge/refusal.hpp"
#include "kelvara/edge/state_lock.hpp"

namespace kelvara::edge {

// Runs steps(state), which returns std::expected<R, Refusal>, holding the lock.
// Every designed outcome (success or refusal) keeps the lock usable; a fault
// it reports, or an exception (reported as an internal fault of `owner`),
// leaves the guard incomplete and the lock poisoned.
template <typename T, typename Steps>
auto run_locked(StateLock<T>& lock, std::string_view owner, Steps&& steps)
    -> decltype(steps(std::declval<T&>())) {
  auto state = lock.lock();
  if (lock.poisoned()) return std::unexpected(Refusal::poisoned(owner));
  try {
    auto outcome = steps(*state);
    if (outcome || !outcome.error().poisons_state()) state.complete();
    return outcome;
  } catch (const std::exception& fault) {
    return std::unexpected(Refusal::internal_fault(owner, fault.what()));
  } catch (...) {
    return std::unexpected(Refusal::internal_fault(owner, "unknown fault"));
  }
}

}  // namespace kelvara::edge
