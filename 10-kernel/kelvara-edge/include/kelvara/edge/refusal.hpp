// Why a command got no receipt or was not admitted. A refusal is a small value
// that allocates nothing when it is made (only a failing source's description
// is kept as text); its code is a static text and its message is finished on
// demand, so every face (Python, C) shows the same words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelvara/security/kel_error.hpp"

namespace kelvara::edge {

enum class RefusalReason : std::uint8_t {
  // Refusals of the command itself.
  VelocityExceeded,
  RateLimited,
  Security,  // one of the security layer's kinds, in kind()
  StaleReceipt,
  // Failures of the machinery: the command was never judged.
  OtherProcess,  // used in a process other than the one that created it
  Poisoned,
  NonceFailure,
  ClockFailure,
  InternalFault,  // the state lock is now poisoned
};

// The short snake_case code of a reason ("rate_limited"); for Security, whose
// code is its kind's (security::code), "security". A static text.
std::string_view reason_code(RefusalReason reason) noexcept;
// A reason's message in its fixed wording, without the numbers, owner or
// description one refusal fills in ("commanded_velocity exceeds
// max_velocity_rad_s"); for Security, see security::message. A static text,
// for faces that show a reason without the refusal itself (the C result codes).
std::string_view reason_summary(RefusalReason reason) noexcept;

// A reason's outcome number, which is also its C result code (10 to 17);
// Security has none of its own: its kinds keep their numbers, 1 to 9.
constexpr std::int32_t reason_number(RefusalReason reason) noexcept {
  switch (reason) {
    case RefusalReason::VelocityExceeded: return 10;
    case RefusalReason::RateLimited: return 11;
    case RefusalReason::Security: return 0;
    case RefusalReason::StaleReceipt: return 12;
    case RefusalReason::Poisoned: return 13;
    case RefusalReason::NonceFailure: return 14;
    case RefusalReason::OtherProcess: return 15;
    case RefusalReason::ClockFailure: return 16;
    case RefusalReason::InternalFault: return 17;
  }
  return 17;
}

// The code text of an outcome number (1 to 17: "authentication_failure",
// "rate_limited", ...); empty for 0 and for numbers that name no outcome.
std::string_view outcome_code(std::int32_t number) noexcept;

class Refusal {
 public:
  static Refusal velocity_exceeded(double commanded_velocity, double max_velocity_rad_s) noexcept;
  static Refusal rate_limited() noexcept;
  static Refusal security(security::KelError kind) noexcept;
  // A receipt stamped `timestamp_nanos` is more than `max_age_nanos` behind or
  // ahead of the clock's `now_nanos`.
  static Refusal stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept;
  // `owner` names the class whose state it is ("KelBoundary"); a static text.
  static Refusal other_process(std::string_view owner) noexcept;
  static Refusal poisoned(std::string_view owner) noexcept;
  static Refusal nonce_failure(std::string description) noexcept;
  static Refusal clock_failure(std::string description) noexcept;
  static Refusal internal_fault(std::string_view owner, std::string what) noexcept;

  RefusalReason reason() const noexcept { return reason_; }
  // The security kind; meaningful only for RefusalReason::Security.
  security::KelError kind() const noexcept { return kind_; }

  // A refusal of the command itself (shown to Python as KelViolation), as
  // opposed to a failure of the machinery (RuntimeError).
  bool is_violation() const noexcept { return reason_ <= RefusalReason::StaleReceipt; }
  // Whether the lock that was held is now poisoned.
  bool poisons_state() const noexcept { return reason_ == RefusalReason::InternalFault; }

  // The short snake_case code ("velocity_exceeded", "replay_nonce", ...).
  std::string_view code() const noexcept;
  // The outcome number (the kind's for Security, else the reason's), which is
  // also the C result code and the slot it is counted in.
  std::int32_t number() const noexcept;
  // The finished message, with its numbers or description filled in.
  std::string message() const;

 private:
  explicit Refusal(RefusalReason reason) noexcept : reason_(reason) {}

  RefusalReason reason_;
  security::KelError kind_ = security::KelError::InvalidPointer;
  double first_ = 0.0;   // commanded velocity; receipt age in nanoseconds (< 0: ahead)
  double second_ = 0.0;  // velocity limit; maximum age in nanoseconds
  std::string_view owner_;
  std::string description_;  // what a failing source or fault reported
};

}  // namespace kelvara::edge
