#include "kelvara/edge/command_signer.hpp"

#include <algorithm>
#include <cmath>
#include <exception>

#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::edge {
namespace {

constexpr std::uint64_t kRateWindowNanos = 1'000'000'000;

// Reads a clock seam; a seam that throws is a clock failure like one that
// reports an error.
std::expected<std::uint64_t, Refusal> read_clock(std::expected<std::uint64_t, std::string> (*clock)()) {
  std::expected<std::uint64_t, std::string> reading;
  try {
    reading = clock();
  } catch (const std::exception& fault) {
    return std::unexpected(Refusal::clock_failure(fault.what()));
  }
  if (!reading) return std::unexpected(Refusal::clock_failure(std::move(reading.error())));
  return *reading;
}

// The first axis whose position or velocity is not finite, or -1.
std::int32_t first_non_finite(std::span<const double> positions,
                              std::span<const double> velocities) noexcept {
  for (std::size_t axis = 0; axis < positions.size(); ++axis) {
    if (!std::isfinite(positions[axis]) || !std::isfinite(velocities[axis]))
      return static_cast<std::int32_t>(axis);
  }
  return -1;
}

}  // namespace

std::expected<void, Refusal> check_signer_config(const SignerConfig& config) noexcept {
  if (config.axes == 0 || config.axes > security::kFrameMaxAxes) {
    return std::unexpected(Refusal::invalid_argument("axes must be 1 to 32"));
  }
  for (std::size_t axis = 0; axis < config.axes; ++axis) {
    if (!(config.max_velocity_rad_s[axis] >= 0.0)) {
      return std::unexpected(Refusal::invalid_argument("max_velocity_rad_s must be >= 0 (NaN is refused)"));
    }
  }
  if (config.rate_limit > kMaxSignerRateLimit) {
    return std::unexpected(Refusal::invalid_argument("rate_limit must be at most 1000000"));
  }
  return {};
}

CommandSigner::CommandSigner(const SignerConfig& config, PlatformSources sources, std::string_view owner)
    : config_check_(check_signer_config(config)),
      axes_(config.axes),
      key_id_(config.key_id),
      stream_id_(config.stream_id),
      rate_limit_(config.rate_limit),
      max_velocity_rad_s_(config.max_velocity_rad_s),
      key_context_(security::HmacKeyContext::from_key(config.key)),
      sources_(sources),
      owner_(owner),
      state_(config_check_ ? rate_limit_ : 0) {}

CommandSigner::~CommandSigner() { security::secure_wipe(key_context_); }

std::expected<std::size_t, Refusal> CommandSigner::sign(std::span<const double> positions,
                                                        std::span<const double> velocities,
                                                        std::span<std::uint8_t> out) {
  if (!config_check_) return std::unexpected(config_check_.error());
  // A forked copy would sign its parent's counters and share its rate.
  if (!process_.in_creating_process()) return std::unexpected(Refusal::other_process(owner_));
  if (positions.size() != axes_ || velocities.size() != axes_) {
    return std::unexpected(
        Refusal::invalid_argument("positions and velocities must hold one value per axis"));
  }
  if (out.size() < frame_size()) return std::unexpected(Refusal::of(Outcome::FrameBufferTooSmall));
  if (const std::int32_t axis = first_non_finite(positions, velocities); axis >= 0) {
    return std::unexpected(Refusal::non_finite_value(axis));
  }
  for (std::size_t axis = 0; axis < axes_; ++axis) {
    if (!(std::fabs(velocities[axis]) <= max_velocity_rad_s_[axis])) {
      return std::unexpected(Refusal::velocity_exceeded(velocities[axis], max_velocity_rad_s_[axis],
                                                        static_cast<std::int32_t>(axis)));
    }
  }
  auto state = state_.lock();
  if (state_.poisoned()) return std::unexpected(Refusal::poisoned(owner_));
  try {
    auto outcome = sign_locked(*state, positions, velocities, out);
    if (outcome || !outcome.error().poisons_state()) state.complete();
    return outcome;
  } catch (const std::exception& fault) {
    return std::unexpected(Refusal::internal_fault(owner_, fault.what()));
  } catch (...) {
    return std::unexpected(Refusal::internal_fault(owner_, "unknown fault"));
  }
}

std::expected<std::size_t, Refusal> CommandSigner::sign_locked(SignerState& state,
                                                               std::span<const double> positions,
                                                               std::span<const double> velocities,
                                                               std::span<std::uint8_t> out) {
  // Both clocks are read before anything changes, so a failing clock leaves
  // the window and the counter as they were.
  const auto monotonic = read_clock(sources_.monotonic);
  if (!monotonic) return std::unexpected(monotonic.error());
  const auto wall = read_clock(sources_.now);
  if (!wall) return std::unexpected(wall.error());

  // The window holds the times of the last rate_limit frames: a new one fits
  // while fewer were signed, or once the oldest of them is a full second old.
  // A monotonic reading below the oldest (only a faulty seam gives one) does
  // not open room.
  if (state.filled == rate_limit_) {
    const std::uint64_t oldest = rate_limit_ == 0 ? 0 : state.window[state.oldest];
    if (rate_limit_ == 0 || *monotonic < oldest || *monotonic - oldest < kRateWindowNanos) {
      return std::unexpected(Refusal::rate_limited());
    }
  }
  if (state.last_counter == UINT64_MAX) {
    return std::unexpected(Refusal::clock_failure("the frame counter has reached its largest value"));
  }
  const std::uint64_t counter = std::max(*wall, state.last_counter + 1);

  const security::FrameHeader header{
      .key_id = key_id_,
      .stream_id = stream_id_,
      .counter = counter,
      .axes = static_cast<std::uint16_t>(axes_),
  };
  const auto written = security::write_frame(key_context_, header, positions, velocities, out);
  if (!written) return std::unexpected(Refusal::internal_fault(owner_, "the frame could not be written"));

  // Only a signed frame spends its counter value and its rate slot.
  state.last_counter = counter;
  state.window[state.oldest] = *monotonic;
  state.oldest = state.oldest + 1 == rate_limit_ ? 0 : state.oldest + 1;
  if (state.filled < rate_limit_) ++state.filled;
  return *written;
}

}  // namespace kelvara::edge
