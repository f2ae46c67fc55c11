#include "kelvara/edge/refusal.hpp"

#include "kelvara/edge/number_text.hpp"

namespace kelvara::edge {
namespace {

using namespace std::string_view_literals;

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text += part;
  return text;
}

}  // namespace

Refusal Refusal::velocity_exceeded(double commanded_velocity, double max_velocity_rad_s) {
  return {RefusalReason::VelocityExceeded,
          concat({"commanded_velocity "sv, shortest_decimal(commanded_velocity),
                  " rad/s exceeds max_velocity_rad_s "sv, shortest_decimal(max_velocity_rad_s),
                  " rad/s"sv})};
}

Refusal Refusal::rate_limited() noexcept {
  return {RefusalReason::RateLimited, "action rate limit exceeded"sv};
}

Refusal Refusal::security(security::KelError kind) noexcept {
  Refusal refusal(RefusalReason::Security, security::message(kind));
  refusal.kind_ = kind;
  return refusal;
}

Refusal Refusal::stale_receipt(std::string message) {
  return {RefusalReason::StaleReceipt, std::move(message)};
}

Refusal Refusal::poisoned(std::string_view owner) {
  return {RefusalReason::Poisoned, concat({owner, " state is poisoned"sv})};
}

Refusal Refusal::nonce_failure(std::string_view description) {
  return {RefusalReason::NonceFailure, concat({"failed to generate nonce: "sv, description})};
}

Refusal Refusal::clock_failure(std::string_view description) {
  return {RefusalReason::ClockFailure,
          concat({"failed to read the real-time clock: "sv, description})};
}

Refusal Refusal::internal_fault(std::string_view owner, std::string_view what) {
  return {RefusalReason::InternalFault,
          concat({owner, " internal fault: "sv, what, "; the state is now poisoned"sv})};
}

std::string_view Refusal::code() const noexcept {
  switch (reason_) {
    case RefusalReason::VelocityExceeded: return "velocity_exceeded";
    case RefusalReason::RateLimited: return "rate_limited";
    case RefusalReason::Security: return security::code(kind_);
    case RefusalReason::StaleReceipt: return "stale_receipt";
    case RefusalReason::Poisoned: return "poisoned_state";
    case RefusalReason::NonceFailure: return "nonce_failure";
    case RefusalReason::ClockFailure: return "clock_failure";
    case RefusalReason::InternalFault: return "internal_fault";
  }
  return "internal_fault";
}

}  // namespace kelvara::edge
