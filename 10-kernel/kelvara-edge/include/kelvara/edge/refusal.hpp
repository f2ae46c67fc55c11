// Why a command got no receipt or was not admitted, with its finished code and
// message: every face (Python, C) shows these texts as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelvara/security/kel_error.hpp"

namespace kelvara::edge {

enum class RefusalReason : std::uint8_t {
  VelocityExceeded,  // domain refusals: the caller's command was not admitted
  RateLimited,
  Security,          // one of the security layer's kinds, in `kind()`
  StaleReceipt,
  Poisoned,          // machinery failures: the command was never judged
  NonceFailure,
  ClockFailure,
  InternalFault,     // the state lock is now poisoned
};

class Refusal {
 public:
  static Refusal velocity_exceeded(double commanded_velocity, double max_velocity_rad_s);
  static Refusal rate_limited() noexcept;
  static Refusal security(security::KelError kind) noexcept;
  static Refusal stale_receipt(std::string message);
  // `owner` names the class whose state it is, e.g. "KelBoundary".
  static Refusal poisoned(std::string_view owner);
  static Refusal nonce_failure(std::string_view description);
  static Refusal clock_failure(std::string_view description);
  static Refusal internal_fault(std::string_view owner, std::string_view what);

  RefusalReason reason() const noexcept { return reason_; }
  // The security kind; meaningful only for RefusalReason::Security.
  security::KelError kind() const noexcept { return kind_; }

  // A refusal of the command itself (a violation with a code, shown to Python
  // as KelViolation), as opposed to a failure of the machinery (RuntimeError).
  bool is_violation() const noexcept { return reason_ <= RefusalReason::StaleReceipt; }
  // Whether the lock that was held is now poisoned.
  bool poisons_state() const noexcept { return reason_ == RefusalReason::InternalFault; }

  // The short snake_case code ("velocity_exceeded", "replay_nonce", ...).
  std::string_view code() const noexcept;
  std::string_view message() const noexcept {
    return built_message_.empty() ? static_message_ : std::string_view(built_message_);
  }

 private:
  Refusal(RefusalReason reason, std::string_view static_message) noexcept
      : reason_(reason), static_message_(static_message) {}
  Refusal(RefusalReason reason, std::string built_message) noexcept
      : reason_(reason), built_message_(std::move(built_message)) {}

  RefusalReason reason_;
  security::KelError kind_ = security::KelError::InvalidPointer;
  std::string_view static_message_;
  std::string built_message_;  // a message with numbers or a description in it
};

}  // namespace kelvara::edge
