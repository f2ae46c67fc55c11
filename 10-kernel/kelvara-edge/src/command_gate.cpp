#include "kelvara/edge/command_gate.hpp"

#include <cmath>
#include <exception>

#include "kelvara/security/secure_wipe.hpp"

namespace kelvara::edge {
namespace {

constexpr double kNanosPerSecond = 1e9;

}  // namespace

CommandGate::CommandGate(std::size_t axes, std::uint64_t max_age_nanos, PlatformSources sources,
                         std::string_view owner) noexcept
    : axes_(axes), max_age_nanos_(max_age_nanos), sources_(sources), owner_(owner) {}

CommandGate::~CommandGate() { security::secure_wipe(keys_); }

std::expected<void, Refusal> CommandGate::check_axes(std::size_t axes) noexcept {
  if (axes == 0 || axes > security::kFrameMaxAxes) {
    return std::unexpected(Refusal::invalid_argument("axes must be 1 to 32"));
  }
  return {};
}

std::expected<void, Refusal> CommandGate::add_key(std::uint8_t key_id, const security::Key& key) noexcept {
  KeySlot& slot = keys_[key_id];
  // Replacing a key in place would change what an id authenticates without
  // anyone removing the old one: rotation goes through a new id.
  if (slot.present) return std::unexpected(Refusal::of(Outcome::DuplicateKey));
  slot.context = security::HmacKeyContext::from_key(key);
  slot.present = true;
  return {};
}

std::expected<void, Refusal> CommandGate::remove_key(std::uint8_t key_id) noexcept {
  KeySlot& slot = keys_[key_id];
  if (!slot.present) return std::unexpected(Refusal::of(Outcome::UnknownKey));
  security::secure_wipe(slot.context);
  slot.present = false;
  return {};
}

bool CommandGate::has_key(std::uint8_t key_id) const noexcept { return keys_[key_id].present; }

std::size_t CommandGate::find_stream(std::uint32_t stream_id) const noexcept {
  for (std::size_t slot = 0; slot < stream_count_; ++slot) {
    if (streams_[slot].stream_id == stream_id) return slot;
  }
  return kCommandGateStreams;
}

std::expected<void, Refusal> CommandGate::allow_stream(std::uint32_t stream_id) noexcept {
  if (find_stream(stream_id) != kCommandGateStreams) return {};
  if (stream_count_ == kCommandGateStreams) return std::unexpected(Refusal::of(Outcome::StreamTableFull));
  streams_[stream_count_] = StreamSlot{.stream_id = stream_id};
  ++stream_count_;
  return {};
}

bool CommandGate::allows_stream(std::uint32_t stream_id) const noexcept {
  return find_stream(stream_id) != kCommandGateStreams;
}

std::optional<std::uint64_t> CommandGate::last_counter(std::uint32_t stream_id) const noexcept {
  const std::size_t slot = find_stream(stream_id);
  if (slot == kCommandGateStreams || !streams_[slot].admitted_any) return std::nullopt;
  return streams_[slot].counter;
}

std::expected<void, Refusal> CommandGate::set_envelope(const core::Envelope& envelope) noexcept {
  if (envelope.axes() != axes_) {
    return std::unexpected(Refusal::invalid_argument("the envelope's axes must be the gate's axes"));
  }
  envelope_.emplace(envelope);
  return {};
}

std::expected<void, Refusal> CommandGate::set_max_step(std::span<const double> max_step_rad_s) noexcept {
  if (max_step_rad_s.size() != axes_) {
    return std::unexpected(Refusal::invalid_argument("max_step_rad_s must hold one limit per axis"));
  }
  for (const double limit : max_step_rad_s) {
    if (!(limit >= 0.0)) {
      return std::unexpected(Refusal::invalid_argument("max_step_rad_s must be >= 0 (NaN is refused)"));
    }
  }
  std::copy(max_step_rad_s.begin(), max_step_rad_s.end(), max_step_rad_s_.begin());
  has_max_step_ = true;
  return {};
}

std::expected<void, Refusal> CommandGate::admit(std::span<const std::uint8_t> bytes, Command& out) noexcept {
  auto outcome = [&]() -> std::expected<void, Refusal> {
    if (auto valid = check_axes(axes_); !valid) return valid;
    // A forked copy would admit again what its parent admits.
    if (!process_.in_creating_process()) return std::unexpected(Refusal::other_process(owner_));
    const auto frame = security::parse_frame(bytes);
    if (!frame || frame->header().axes != axes_) return std::unexpected(Refusal::of(Outcome::InvalidFrame));
    const auto slot = check(*frame);
    if (!slot) return std::unexpected(slot.error());

    // Admitted: record the stream's counter and positions, then hand it out.
    StreamSlot& stream = streams_[*slot];
    const security::FrameHeader& header = frame->header();
    stream.admitted_any = true;
    stream.counter = header.counter;
    out = Command{.counter = header.counter,
                  .stream_id = header.stream_id,
                  .key_id = header.key_id,
                  .axes = header.axes};
    for (std::size_t axis = 0; axis < axes_; ++axis) {
      stream.positions[axis] = out.positions[axis] = frame->position(axis);
      out.velocities[axis] = frame->velocity(axis);
    }
    return {};
  }();
  if (outcome) {
    stats_.count_admitted();
  } else {
    stats_.count(outcome.error());
  }
  return outcome;
}

std::expected<std::size_t, Refusal> CommandGate::check(const security::FrameView& frame) const noexcept {
  const security::FrameHeader& header = frame.header();
  const KeySlot& key = keys_[header.key_id];
  if (!key.present) return std::unexpected(Refusal::of(Outcome::UnknownKey));
  const std::size_t slot = find_stream(header.stream_id);
  if (slot == kCommandGateStreams) return std::unexpected(Refusal::of(Outcome::UnknownStream));
  if (!security::frame_tag_matches(key.context, frame)) {
    return std::unexpected(Refusal::security(security::KelError::AuthenticationFailure));
  }
  // From here on every byte read is authenticated.
  const StreamSlot& stream = streams_[slot];
  if (stream.admitted_any && header.counter <= stream.counter) {
    return std::unexpected(Refusal::security(security::KelError::ReplayCounter));
  }
  if (auto fresh = check_fresh(header.counter); !fresh) return std::unexpected(std::move(fresh.error()));
  std::array<double, security::kFrameMaxAxes> positions{};
  for (std::size_t axis = 0; axis < axes_; ++axis) {
    positions[axis] = frame.position(axis);
    if (!std::isfinite(positions[axis]) || !std::isfinite(frame.velocity(axis))) {
      return std::unexpected(Refusal::non_finite_value(static_cast<std::int32_t>(axis)));
    }
  }
  if (envelope_ && !envelope_->contains(positions.data())) {
    return std::unexpected(Refusal::of(Outcome::OutsideEnvelope));
  }
  if (has_max_step_ && stream.admitted_any) {
    // The counter difference is the sender's clock, authenticated by the tag
    // and bounded by freshness; it is at least 1 ns here.
    const double seconds = static_cast<double>(header.counter - stream.counter) / kNanosPerSecond;
    for (std::size_t axis = 0; axis < axes_; ++axis) {
      const double step = std::fabs(positions[axis] - stream.positions[axis]);
      const double allowed = max_step_rad_s_[axis] * seconds;
      if (!(step <= allowed)) {
        return std::unexpected(Refusal::step_exceeded(static_cast<std::int32_t>(axis), step, allowed));
      }
    }
  }
  return slot;
}

std::expected<void, Refusal> CommandGate::check_fresh(std::uint64_t counter) const noexcept {
  if (max_age_nanos_ == 0) return {};
  std::expected<std::uint64_t, std::string> clock;
  try {
    clock = sources_.now();
  } catch (const std::exception& fault) {  // a clock seam that throws is a clock failure
    return std::unexpected(Refusal::clock_failure(fault.what()));
  }
  if (!clock) return std::unexpected(Refusal::clock_failure(std::move(clock.error())));
  const std::uint64_t now = *clock;
  const std::uint64_t distance = now >= counter ? now - counter : counter - now;
  if (distance > max_age_nanos_) return std::unexpected(Refusal::stale_frame(counter, now, max_age_nanos_));
  return {};
}

}  // namespace kelvara::edge
