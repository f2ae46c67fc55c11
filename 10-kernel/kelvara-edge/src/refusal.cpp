#include "kelvara/edge/refusal.hpp"

#include <utility>

#include "kelvara/edge/number_text.hpp"

namespace kelvara::edge {
namespace {

std::string seconds_text(double nanos) { return shortest_decimal(nanos / 1e9); }

}  // namespace

// Every text is a string literal, so its data() also ends in a NUL for C.
std::string_view reason_code(RefusalReason reason) noexcept {
  switch (reason) {
    case RefusalReason::VelocityExceeded: return "velocity_exceeded";
    case RefusalReason::RateLimited: return "rate_limited";
    case RefusalReason::Security: return "security";
    case RefusalReason::StaleReceipt: return "stale_receipt";
    case RefusalReason::InvalidFrame: return "invalid_frame";
    case RefusalReason::UnknownKey: return "unknown_key";
    case RefusalReason::UnknownStream: return "unknown_stream";
    case RefusalReason::StaleFrame: return "stale_frame";
    case RefusalReason::NonFiniteValue: return "non_finite_value";
    case RefusalReason::OutsideEnvelope: return "outside_envelope";
    case RefusalReason::StepExceeded: return "step_exceeded";
    case RefusalReason::FrameBufferTooSmall: return "frame_buffer_too_small";
    case RefusalReason::DuplicateKey: return "duplicate_key";
    case RefusalReason::StreamTableFull: return "stream_table_full";
    case RefusalReason::InvalidArgument: return "invalid_argument";
    case RefusalReason::RestoredStorage: return "restored_storage";
    case RefusalReason::OtherProcess: return "other_process";
    case RefusalReason::Poisoned: return "poisoned_state";
    case RefusalReason::NonceFailure: return "nonce_failure";
    case RefusalReason::ClockFailure: return "clock_failure";
    case RefusalReason::InternalFault: return "internal_fault";
  }
  return "internal_fault";
}

std::string_view reason_summary(RefusalReason reason) noexcept {
  switch (reason) {
    case RefusalReason::VelocityExceeded: return "commanded_velocity exceeds max_velocity_rad_s";
    case RefusalReason::RateLimited: return "action rate limit exceeded";
    case RefusalReason::Security: return "security check failed";
    case RefusalReason::StaleReceipt:
      return "receipt timestamp is further from the gate's clock than its maximum age";
    case RefusalReason::InvalidFrame:
      return "not a command frame of this gate (length, magic, version, flags or axis count)";
    case RefusalReason::UnknownKey: return "no key under the frame's key id";
    case RefusalReason::UnknownStream: return "the frame's stream is not allowed";
    case RefusalReason::StaleFrame:
      return "frame counter is further from the gate's clock than its maximum age";
    case RefusalReason::NonFiniteValue: return "a position or velocity is not finite";
    case RefusalReason::OutsideEnvelope: return "positions lie outside the envelope";
    case RefusalReason::StepExceeded: return "an axis moved further than its step limit allows";
    case RefusalReason::FrameBufferTooSmall: return "the output buffer is shorter than the frame";
    case RefusalReason::DuplicateKey: return "the key id holds a key already; remove it first";
    case RefusalReason::StreamTableFull: return "the gate allows as many streams as it can hold";
    case RefusalReason::InvalidArgument: return "an argument is out of range";
    case RefusalReason::RestoredStorage:
      return "gate storage was restored from a saved copy; initialise a new gate";
    case RefusalReason::OtherProcess:
      return "used in a process other than the one that created it; after fork, create a new one";
    case RefusalReason::Poisoned: return "state is poisoned";
    case RefusalReason::NonceFailure: return "failed to generate nonce";
    case RefusalReason::ClockFailure: return "failed to read the real-time clock";
    case RefusalReason::InternalFault: return "internal fault; the state is now poisoned";
  }
  return "internal fault";
}

std::string_view outcome_code(std::int32_t number) noexcept {
  if (number >= 1 && number <= static_cast<std::int32_t>(security::kKelErrorKinds)) {
    return security::code(static_cast<security::KelError>(number));
  }
  for (auto value = static_cast<std::uint8_t>(RefusalReason::VelocityExceeded);
       value <= static_cast<std::uint8_t>(RefusalReason::InternalFault); ++value) {
    const auto reason = static_cast<RefusalReason>(value);
    if (reason != RefusalReason::Security && reason_number(reason) == number) {
      return reason_code(reason);
    }
  }
  return {};
}

Refusal Refusal::velocity_exceeded(double commanded_velocity, double max_velocity_rad_s,
                                   std::int32_t axis) noexcept {
  Refusal refusal(RefusalReason::VelocityExceeded);
  refusal.first_ = commanded_velocity;
  refusal.second_ = max_velocity_rad_s;
  refusal.axis_ = axis;
  return refusal;
}

Refusal Refusal::rate_limited() noexcept { return Refusal(RefusalReason::RateLimited); }

Refusal Refusal::security(security::KelError kind) noexcept {
  Refusal refusal(RefusalReason::Security);
  refusal.kind_ = kind;
  return refusal;
}

Refusal Refusal::stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept {
  Refusal refusal(RefusalReason::StaleReceipt);
  refusal.first_ = now_nanos >= timestamp_nanos ? static_cast<double>(now_nanos - timestamp_nanos)
                                                : -static_cast<double>(timestamp_nanos - now_nanos);
  refusal.second_ = static_cast<double>(max_age_nanos);
  return refusal;
}

Refusal Refusal::frame(RefusalReason reason) noexcept { return Refusal(reason); }

namespace {

// Signed distance of `counter` from `now`: positive behind, negative ahead.
double age_nanos(std::uint64_t counter, std::uint64_t now) noexcept {
  return now >= counter ? static_cast<double>(now - counter) : -static_cast<double>(counter - now);
}

}  // namespace

Refusal Refusal::stale_frame(std::uint64_t counter_nanos, std::uint64_t now_nanos,
                             std::uint64_t max_age_nanos) noexcept {
  Refusal refusal(RefusalReason::StaleFrame);
  refusal.first_ = age_nanos(counter_nanos, now_nanos);
  refusal.second_ = static_cast<double>(max_age_nanos);
  return refusal;
}

Refusal Refusal::non_finite_value(std::int32_t axis) noexcept {
  Refusal refusal(RefusalReason::NonFiniteValue);
  refusal.axis_ = axis;
  return refusal;
}

Refusal Refusal::step_exceeded(std::int32_t axis, double step, double allowed) noexcept {
  Refusal refusal(RefusalReason::StepExceeded);
  refusal.axis_ = axis;
  refusal.first_ = step;
  refusal.second_ = allowed;
  return refusal;
}

Refusal Refusal::invalid_argument(std::string_view what) noexcept {
  Refusal refusal(RefusalReason::InvalidArgument);
  refusal.owner_ = what;
  return refusal;
}

Refusal Refusal::other_process(std::string_view owner) noexcept {
  Refusal refusal(RefusalReason::OtherProcess);
  refusal.owner_ = owner;
  return refusal;
}

Refusal Refusal::poisoned(std::string_view owner) noexcept {
  Refusal refusal(RefusalReason::Poisoned);
  refusal.owner_ = owner;
  return refusal;
}

Refusal Refusal::nonce_failure(std::string description) noexcept {
  Refusal refusal(RefusalReason::NonceFailure);
  refusal.description_ = std::move(description);
  return refusal;
}

Refusal Refusal::clock_failure(std::string description) noexcept {
  Refusal refusal(RefusalReason::ClockFailure);
  refusal.description_ = std::move(description);
  return refusal;
}

Refusal Refusal::internal_fault(std::string_view owner, std::string what) noexcept {
  Refusal refusal(RefusalReason::InternalFault);
  refusal.owner_ = owner;
  refusal.description_ = std::move(what);
  return refusal;
}

std::int32_t Refusal::number() const noexcept {
  return reason_ == RefusalReason::Security ? security::number(kind_) : reason_number(reason_);
}

std::string_view Refusal::code() const noexcept {
  return reason_ == RefusalReason::Security ? security::code(kind_) : reason_code(reason_);
}

std::string Refusal::message() const {
  switch (reason_) {
    case RefusalReason::VelocityExceeded:
      return (axis_ >= 0 ? "axis " + std::to_string(axis_) + ": " : std::string()) + "commanded_velocity " +
             shortest_decimal(first_) + " rad/s exceeds max_velocity_rad_s " + shortest_decimal(second_) +
             " rad/s";
    case RefusalReason::RateLimited: return std::string(reason_summary(reason_));
    case RefusalReason::Security: return std::string(security::message(kind_));
    case RefusalReason::StaleReceipt:
      if (first_ < 0) {
        return "receipt timestamp is " + seconds_text(-first_) +
               " s ahead of the gate's clock, beyond max_age_s " + seconds_text(second_) + " s";
      }
      return "receipt is " + seconds_text(first_) + " s old, beyond max_age_s " + seconds_text(second_) +
             " s";
    case RefusalReason::InvalidFrame:
    case RefusalReason::UnknownKey:
    case RefusalReason::UnknownStream:
    case RefusalReason::OutsideEnvelope:
    case RefusalReason::FrameBufferTooSmall:
    case RefusalReason::DuplicateKey:
    case RefusalReason::StreamTableFull:
    case RefusalReason::RestoredStorage: return std::string(reason_summary(reason_));
    case RefusalReason::NonFiniteValue:
      return "axis " + std::to_string(axis_) + ": a position or velocity is not finite";
    case RefusalReason::StaleFrame:
      if (first_ < 0) {
        return "frame counter is " + seconds_text(-first_) +
               " s ahead of the gate's clock, beyond max_age_s " + seconds_text(second_) + " s";
      }
      return "frame is " + seconds_text(first_) + " s old, beyond max_age_s " + seconds_text(second_) + " s";
    case RefusalReason::StepExceeded:
      return "axis " + std::to_string(axis_) + " moved " + shortest_decimal(first_) +
             " rad, beyond its step limit " + shortest_decimal(second_) + " rad";
    case RefusalReason::InvalidArgument: return std::string(owner_);
    case RefusalReason::OtherProcess:
      return std::string(owner_) + " was created in another process; after fork, create a new " +
             std::string(owner_) + " in this process";
    case RefusalReason::Poisoned: return std::string(owner_) + " " + std::string(reason_summary(reason_));
    case RefusalReason::NonceFailure:
    case RefusalReason::ClockFailure: return std::string(reason_summary(reason_)) + ": " + description_;
    case RefusalReason::InternalFault:
      return std::string(owner_) + " internal fault: " + description_ + "; the state is now poisoned";
  }
  return "internal fault";
}

}  // namespace kelvara::edge
