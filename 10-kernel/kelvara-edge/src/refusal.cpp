#include "kelvara/edge/refusal.hpp"

#include <utility>

#include "kelvara/edge/number_text.hpp"

namespace kelvara::edge {
namespace {

std::string seconds_text(double nanos) { return shortest_decimal(nanos / 1e9); }

std::string_view summary(Outcome outcome) { return security::row_of(outcome).message; }

}  // namespace

Refusal Refusal::velocity_exceeded(double commanded_velocity, double max_velocity_rad_s) noexcept {
  Refusal refusal(Outcome::VelocityExceeded);
  refusal.first_ = commanded_velocity;
  refusal.second_ = max_velocity_rad_s;
  return refusal;
}

Refusal Refusal::rate_limited() noexcept { return of(Outcome::RateLimited); }

Refusal Refusal::security(security::KelError kind) noexcept { return of(security::outcome_of(kind)); }

Refusal Refusal::stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept {
  Refusal refusal(Outcome::StaleReceipt);
  refusal.first_ = now_nanos >= timestamp_nanos ? static_cast<double>(now_nanos - timestamp_nanos)
                                                : -static_cast<double>(timestamp_nanos - now_nanos);
  refusal.second_ = static_cast<double>(max_age_nanos);
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
      return "commanded_velocity " + shortest_decimal(first_) + " rad/s exceeds max_velocity_rad_s " +
             shortest_decimal(second_) + " rad/s";
    case Outcome::StaleReceipt:
      if (first_ < 0) {
        return "receipt timestamp is " + seconds_text(-first_) +
               " s ahead of the gate's clock, beyond max_age_s " + seconds_text(second_) + " s";
      }
      return "receipt is " + seconds_text(first_) + " s old, beyond max_age_s " + seconds_text(second_) +
             " s";
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
