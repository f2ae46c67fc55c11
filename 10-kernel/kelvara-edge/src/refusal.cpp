#include "kelvara/edge/refusal.hpp"

#include <utility>

#include "kelvara/edge/number_text.hpp"

namespace kelvara::edge {
namespace {

std::string seconds_text(double nanos) { return shortest_decimal(nanos / 1e9); }

std::string_view summary(Outcome outcome) { return security::row_of(outcome).message; }

// Signed distance of a stamp from the clock: positive behind, negative ahead.
double age_nanos(std::uint64_t stamp, std::uint64_t now) noexcept {
  return now >= stamp ? static_cast<double>(now - stamp) : -static_cast<double>(stamp - now);
}

std::string age_text(const char* what, double age, double max_age) {
  if (age < 0) {
    return std::string(what) + " is " + seconds_text(-age) +
           " s ahead of the gate's clock, beyond max_age_s " + seconds_text(max_age) + " s";
  }
  return std::string(what) + " is " + seconds_text(age) + " s old, beyond max_age_s " +
         seconds_text(max_age) + " s";
}

}  // namespace

Refusal Refusal::velocity_exceeded(double commanded_velocity, double max_velocity_rad_s,
                                   std::int32_t axis) noexcept {
  Refusal refusal(Outcome::VelocityExceeded);
  refusal.first_ = commanded_velocity;
  refusal.second_ = max_velocity_rad_s;
  refusal.axis_ = axis;
  return refusal;
}

Refusal Refusal::rate_limited() noexcept { return of(Outcome::RateLimited); }

Refusal Refusal::security(security::KelError kind) noexcept { return of(security::outcome_of(kind)); }

Refusal Refusal::stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept {
  Refusal refusal(Outcome::StaleReceipt);
  refusal.first_ = age_nanos(timestamp_nanos, now_nanos);
  refusal.second_ = static_cast<double>(max_age_nanos);
  return refusal;
}

Refusal Refusal::stale_frame(std::uint64_t counter_nanos, std::uint64_t now_nanos,
                             std::uint64_t max_age_nanos) noexcept {
  Refusal refusal(Outcome::StaleFrame);
  refusal.first_ = age_nanos(counter_nanos, now_nanos);
  refusal.second_ = static_cast<double>(max_age_nanos);
  return refusal;
}

Refusal Refusal::non_finite_value(std::int32_t axis) noexcept {
  Refusal refusal(Outcome::NonFiniteValue);
  refusal.axis_ = axis;
  return refusal;
}

Refusal Refusal::step_exceeded(std::int32_t axis, double step, double allowed) noexcept {
  Refusal refusal(Outcome::StepExceeded);
  refusal.axis_ = axis;
  refusal.first_ = step;
  refusal.second_ = allowed;
  return refusal;
}

Refusal Refusal::invalid_argument(std::string_view what) noexcept {
  Refusal refusal(Outcome::InvalidArgument);
  refusal.owner_ = what;
  return refusal;
}

Refusal Refusal::other_process(std::string_view owner) noexcept {
  Refusal refusal(Outcome::OtherProcess);
  refusal.owner_ = owner;
  return refusal;
}

Refusal Refusal::poisoned(std::string_view owner) noexcept {
  Refusal refusal(Outcome::PoisonedState);
  refusal.owner_ = owner;
  return refusal;
}

Refusal Refusal::nonce_failure(std::string description) noexcept {
  Refusal refusal(Outcome::NonceFailure);
  refusal.description_ = std::move(description);
  return refusal;
}

Refusal Refusal::clock_failure(std::string description) noexcept {
  Refusal refusal(Outcome::ClockFailure);
  refusal.description_ = std::move(description);
  return refusal;
}

Refusal Refusal::internal_fault(std::string_view owner, std::string what) noexcept {
  Refusal refusal(Outcome::InternalFault);
  refusal.owner_ = owner;
  refusal.description_ = std::move(what);
  return refusal;
}

std::string_view Refusal::code() const noexcept { return security::row_of(outcome_).code; }

std::string Refusal::message() const {
  switch (outcome_) {
    case Outcome::VelocityExceeded:
      return (axis_ >= 0 ? "axis " + std::to_string(axis_) + ": " : std::string()) + "commanded_velocity " +
             shortest_decimal(first_) + " rad/s exceeds max_velocity_rad_s " + shortest_decimal(second_) +
             " rad/s";
    case Outcome::StaleReceipt:
      return age_text(first_ < 0 ? "receipt timestamp" : "receipt", first_, second_);
    case Outcome::StaleFrame: return age_text(first_ < 0 ? "frame counter" : "frame", first_, second_);
    case Outcome::NonFiniteValue:
      return "axis " + std::to_string(axis_) + ": a position or velocity is not finite";
    case Outcome::StepExceeded:
      return "axis " + std::to_string(axis_) + " moved " + shortest_decimal(first_) +
             " rad, beyond its step limit " + shortest_decimal(second_) + " rad";
    case Outcome::InvalidArgument: return std::string(owner_);
    case Outcome::OtherProcess:
      return std::string(owner_) + " was created in another process; after fork, create a new " +
             std::string(owner_) + " in this process";
    case Outcome::PoisonedState: return std::string(owner_) + " " + std::string(summary(outcome_));
    case Outcome::NonceFailure:
    case Outcome::ClockFailure: return std::string(summary(outcome_)) + ": " + description_;
    case Outcome::InternalFault:
      return std::string(owner_) + " internal fault: " + description_ + "; the state is now poisoned";
    default: return std::string(summary(outcome_));  // every other outcome has nothing to fill in
  }
}

}  // namespace kelvara::edge
