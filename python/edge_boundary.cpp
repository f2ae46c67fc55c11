#include "edge_boundary.hpp"

#include <charconv>
#include <cmath>
#include <exception>
#include <utility>

#include "number_text.hpp"

namespace kelvara::py {
namespace {

constexpr std::uint64_t kRateWindowNanos = 1'000'000'000;

std::unexpected<Refusal> refuse(Refusal::Kind kind, std::string detail = {}) {
  return std::unexpected(Refusal{kind, std::move(detail)});
}

// "axis_" and the axis in decimal: 6 to 16 bytes, well inside what is signed.
std::uint8_t write_action_id(std::int32_t target_axis, std::array<char, security::kMaxActionIdSize>& out) {
  constexpr std::string_view prefix = "axis_";
  std::char_traits<char>::copy(out.data(), prefix.data(), prefix.size());
  const auto end = std::to_chars(out.data() + prefix.size(), out.data() + out.size(), target_axis).ptr;
  return static_cast<std::uint8_t>(end - out.data());
}

}  // namespace

EdgeBoundary::EdgeBoundary(const BoundaryConfig& config, std::uint64_t now, PlatformSources sources)
    : rate_limit_(config.rate_limit),
      max_velocity_rad_s_(config.max_velocity_rad_s),
      monotonic_window_size_(config.monotonic_window_size),
      sources_(sources),
      state_(config.key, now) {}

std::expected<ReceiptRecord, Refusal> EdgeBoundary::authorize(std::int32_t target_axis,
                                                              double requested_position,
                                                              double commanded_velocity) {
  // Admitted only when |v| <= limit holds as an ordered comparison: a NaN
  // velocity, or any velocity under a NaN limit, gets no receipt.
  if (!(std::fabs(commanded_velocity) <= max_velocity_rad_s_)) {
    return refuse(Refusal::Kind::VelocityExceeded,
                  "commanded_velocity " + shortest_decimal(commanded_velocity) +
                      " rad/s exceeds max_velocity_rad_s " + shortest_decimal(max_velocity_rad_s_) +
                      " rad/s");
  }
  auto state = state_.lock();
  if (state_.poisoned()) return refuse(Refusal::Kind::Poisoned);
  try {
    return authorize_locked(state, target_axis, requested_position, commanded_velocity);
  } catch (const std::exception& fault) {  // the guard, left incomplete, poisons the lock
    return refuse(Refusal::Kind::InternalFault, fault.what());
  } catch (...) {
    return refuse(Refusal::Kind::InternalFault, "unknown fault");
  }
}

// Every designed outcome marks the guard complete before it returns; any other
// way out (a clock that cannot be read, an exception) leaves the lock poisoned.
std::expected<ReceiptRecord, Refusal> EdgeBoundary::authorize_locked(
    StateLock<BoundaryState>::Guard& state, std::int32_t target_axis, double requested_position,
    double commanded_velocity) {
  const auto clock = sources_.now();
  if (!clock) return refuse(Refusal::Kind::InternalFault, "failed to read the real-time clock: " + clock.error());
  const std::uint64_t now = *clock;

  // A clock set back wraps the difference and so opens a new window too. A new
  // window counts this action and still respects the limit, so a limit of 0
  // admits nothing.
  if (now - state->window_start_nanos < kRateWindowNanos) {
    state->window_count += 1;
  } else {
    state->window_start_nanos = now;
    state->window_count = 1;
  }
  if (state->window_count > rate_limit_) {
    state.complete();
    return refuse(Refusal::Kind::RateLimited);
  }

  // From here on the sequence id is spent, whatever happens next.
  const std::uint64_t sequence_id = sequence_counter_.fetch_add(1, std::memory_order_acq_rel) + 1;

  security::Nonce nonce{};
  if (auto drawn = sources_.random_nonce(nonce); !drawn) {
    state.complete();
    return refuse(Refusal::Kind::NonceFailure, std::move(drawn.error()));
  }

  ReceiptRecord record;
  record.action_id_size = write_action_id(target_axis, record.action_id);
  const security::ActionId action_id = security::action_id_bytes(record.action_id_text());
  const security::Payload payload = payload_of(requested_position, commanded_velocity);

  const auto receipt = state->interceptor.issue_receipt(nonce, now, sequence_id, action_id, payload);
  if (!receipt) {
    state.complete();
    return std::unexpected(Refusal{Refusal::Kind::Security, {}, receipt.error()});
  }
  if (const std::uint8_t refused = state->interceptor.intercept_and_authorize(action_id, payload, *receipt)) {
    state.complete();
    return std::unexpected(Refusal{Refusal::Kind::Security, {}, static_cast<security::KelError>(refused)});
  }
  state.complete();

  record.sequence_id = sequence_id;
  record.timestamp_nanos = now;
  record.requested_position = requested_position;
  record.commanded_velocity = commanded_velocity;
  record.receipt_hash = security::write_receipt_bytes(*receipt);
  record.is_authorized = true;
  return record;
}

}  // namespace kelvara::py
