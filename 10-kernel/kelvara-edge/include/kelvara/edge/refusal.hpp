// Why a command got no receipt or was not admitted. A refusal is a small value
// that allocates nothing when it is made (only a failing source's description
// is kept as text); its code is its outcome's static text and its message is
// finished on demand, so every face (Python, C) shows the same words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelvara/security/kel_error.hpp"
#include "kelvara/security/outcome.hpp"

namespace kelvara::edge {

// Which outcome a refusal is, its code and whether it is a refusal of the
// command or a fault of the machinery all come from the outcome list.
using security::Outcome;

class Refusal {
 public:
  // An outcome with nothing to fill in: its message is the outcome's own.
  static Refusal of(Outcome outcome) noexcept { return Refusal(outcome); }
  // `axis` is the first offending axis of a frame, -1 for a single command.
  static Refusal velocity_exceeded(double commanded_velocity, double max_velocity_rad_s,
                                   std::int32_t axis = -1) noexcept;
  static Refusal rate_limited() noexcept;
  static Refusal security(security::KelError kind) noexcept;
  // A receipt stamped `timestamp_nanos` is more than `max_age_nanos` behind or
  // ahead of the clock's `now_nanos`.
  static Refusal stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept;
  // A frame counter more than `max_age_nanos` from the gate's clock.
  static Refusal stale_frame(std::uint64_t counter_nanos, std::uint64_t now_nanos,
                             std::uint64_t max_age_nanos) noexcept;
  static Refusal non_finite_value(std::int32_t axis) noexcept;
  // Axis `axis` moved `step` in a frame that allowed it `allowed`.
  static Refusal step_exceeded(std::int32_t axis, double step, double allowed) noexcept;
  // `what` says which argument and why; a static text.
  static Refusal invalid_argument(std::string_view what) noexcept;
  // `owner` names the class whose state it is ("KelBoundary"); a static text.
  static Refusal other_process(std::string_view owner) noexcept;
  static Refusal poisoned(std::string_view owner) noexcept;
  static Refusal nonce_failure(std::string description) noexcept;
  static Refusal clock_failure(std::string description) noexcept;
  static Refusal internal_fault(std::string_view owner, std::string what) noexcept;

  Outcome outcome() const noexcept { return outcome_; }
  // The outcome's number: the C result, the slot it is counted in.
  std::int32_t number() const noexcept { return security::number(outcome_); }
  // The first offending axis of a frame, or -1.
  std::int32_t axis() const noexcept { return axis_; }

  // A refusal of the command itself (shown to Python as KelViolation), as
  // opposed to a failure of the machinery (RuntimeError).
  bool is_violation() const noexcept {
    return security::row_of(outcome_).kind == security::OutcomeKind::Refusal;
  }
  // Whether the lock that was held is now poisoned.
  bool poisons_state() const noexcept { return outcome_ == Outcome::InternalFault; }

  // The short snake_case code ("velocity_exceeded", "replay_nonce", ...).
  std::string_view code() const noexcept;
  // The finished message, with its numbers or description filled in.
  std::string message() const;

 private:
  explicit Refusal(Outcome outcome) noexcept : outcome_(outcome) {}

  Outcome outcome_;
  double first_ = 0.0;   // commanded velocity; age in nanoseconds (< 0: ahead); step
  double second_ = 0.0;  // velocity limit; maximum age in nanoseconds; allowed step
  std::int32_t axis_ = -1;
  std::string_view owner_;   // or the static text of an invalid argument
  std::string description_;  // what a failing source or fault reported
};

}  // namespace kelvara::edge
