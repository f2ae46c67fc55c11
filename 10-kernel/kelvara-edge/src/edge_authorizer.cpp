#include "kelvara/edge/edge_authorizer.hpp"

#include <cmath>
#include <exception>

namespace kelvara::edge {
namespace {

constexpr std::uint64_t kRateWindowNanos = 1'000'000'000;

}  // namespace

EdgeAuthorizer::EdgeAuthorizer(const AuthorizerConfig& config, std::uint64_t now, PlatformSources sources,
                               std::string_view owner) noexcept
    : rate_limit_(config.rate_limit),
      max_velocity_rad_s_(config.max_velocity_rad_s),
      sources_(sources),
      owner_(owner),
      state_(config.key, now) {}

std::expected<ReceiptRecord, Refusal> EdgeAuthorizer::authorize(std::int32_t target_axis,
                                                                double requested_position,
                                                                double commanded_velocity) {
  auto outcome = judge(target_axis, requested_position, commanded_velocity);
  if (outcome) {
    stats_.count_admitted();
  } else {
    stats_.count(outcome.error());
  }
  return outcome;
}

std::expected<ReceiptRecord, Refusal> EdgeAuthorizer::judge(std::int32_t target_axis,
                                                            double requested_position,
                                                            double commanded_velocity) {
  // A forked copy would sign its parent's sequence ids and share its rate.
  if (!process_.in_creating_process()) return std::unexpected(Refusal::other_process(owner_));
  // Admitted only when |v| <= limit holds as an ordered comparison: a NaN
  // velocity, or any velocity under a NaN limit, gets no receipt.
  if (!(std::fabs(commanded_velocity) <= max_velocity_rad_s_)) {
    return std::unexpected(Refusal::velocity_exceeded(commanded_velocity, max_velocity_rad_s_));
  }
  auto state = state_.lock();
  if (state_.poisoned()) return std::unexpected(Refusal::poisoned(owner_));
  try {
    auto outcome = authorize_locked(*state, target_axis, requested_position, commanded_velocity);
    // Every designed outcome leaves the state consistent; a fault it reports
    // (or an exception, below) leaves the guard incomplete and the lock poisoned.
    if (outcome || !outcome.error().poisons_state()) state.complete();
    return outcome;
  } catch (const std::exception& fault) {
    return std::unexpected(Refusal::internal_fault(owner_, fault.what()));
  } catch (...) {
    return std::unexpected(Refusal::internal_fault(owner_, "unknown fault"));
  }
}

std::expected<ReceiptRecord, Refusal> EdgeAuthorizer::authorize_locked(BoundaryState& state,
                                                                       std::int32_t target_axis,
                                                                       double requested_position,
                                                                       double commanded_velocity) {
  const auto clock = sources_.now();
  if (!clock) {
    return std::unexpected(
        Refusal::internal_fault(owner_, "failed to read the real-time clock: " + clock.error()));
  }
  const std::uint64_t now = *clock;

  // A clock set back wraps the difference and so opens a new window too. A new
  // window counts this action and still respects the limit, so a limit of 0
  // admits nothing.
  if (now - state.window_start_nanos < kRateWindowNanos) {
    state.window_count += 1;
  } else {
    state.window_start_nanos = now;
    state.window_count = 1;
  }
  if (state.window_count > rate_limit_) return std::unexpected(Refusal::rate_limited());

  // From here on the sequence id is spent, whatever happens next.
  const std::uint64_t sequence_id = sequence_counter_.fetch_add(1, std::memory_order_acq_rel) + 1;

  security::Nonce nonce{};
  if (auto drawn = sources_.random_nonce(nonce); !drawn) {
    return std::unexpected(Refusal::nonce_failure(std::move(drawn.error())));
  }

  const AxisActionId action_id(target_axis);
  const security::Payload payload = command_payload(requested_position, commanded_velocity);
  const auto receipt = state.interceptor.issue_receipt(nonce, now, sequence_id, action_id.bytes(), payload);
  if (!receipt) return std::unexpected(Refusal::security(receipt.error()));
  if (auto accepted = state.interceptor.intercept_and_authorize(action_id.bytes(), payload, *receipt);
      !accepted) {
    return std::unexpected(Refusal::security(accepted.error()));
  }

  return ReceiptRecord{
      .action_id = action_id,
      .sequence_id = sequence_id,
      .timestamp_nanos = now,
      .requested_position = requested_position,
      .commanded_velocity = commanded_velocity,
      .receipt_hash = security::write_receipt_bytes(*receipt),
      .is_authorized = true,
  };
}

}  // namespace kelvara::edge
