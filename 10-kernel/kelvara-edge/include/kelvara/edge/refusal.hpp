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
  // Refusals of a command frame (the signer refuses with NonFiniteValue too).
  InvalidFrame,
  UnknownKey,
  UnknownStream,
  StaleFrame,
  NonFiniteValue,
  OutsideEnvelope,
  StepExceeded,
  // Requests a frame signer or gate cannot carry out; nothing was changed.
  FrameBufferTooSmall,
  DuplicateKey,
  StreamTableFull,
  InvalidArgument,
  RestoredStorage,  // caller-owned gate storage brought back from a saved copy
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

// A reason's outcome number, which is also its C result code. Security has
// none of its own (0 here): its kinds keep their numbers, 1 to 9.
constexpr std::int32_t reason_number(RefusalReason reason) noexcept {
  switch (reason) {
    case RefusalReason::Security: return 0;
    case RefusalReason::VelocityExceeded: return 10;
    case RefusalReason::RateLimited: return 11;
    case RefusalReason::StaleReceipt: return 12;
    case RefusalReason::Poisoned: return 13;
    case RefusalReason::NonceFailure: return 14;
    case RefusalReason::OtherProcess: return 15;
    case RefusalReason::ClockFailure: return 16;
    case RefusalReason::InternalFault: return 17;
    case RefusalReason::InvalidFrame: return 19;
    case RefusalReason::UnknownKey: return 20;
    case RefusalReason::UnknownStream: return 21;
    case RefusalReason::StaleFrame: return 22;
    case RefusalReason::NonFiniteValue: return 23;
    case RefusalReason::OutsideEnvelope: return 24;
    case RefusalReason::StepExceeded: return 25;
    case RefusalReason::FrameBufferTooSmall: return 26;
    case RefusalReason::DuplicateKey: return 27;
    case RefusalReason::StreamTableFull: return 28;
    case RefusalReason::InvalidArgument: return 29;
    case RefusalReason::RestoredStorage: return 30;
  }
  return 17;
}

// The code text of an outcome number ("authentication_failure",
// "rate_limited", "stale_frame", ...); empty for 0 and for numbers that name
// no outcome.
std::string_view outcome_code(std::int32_t number) noexcept;

class Refusal {
 public:
  // `axis` is the first offending axis of a frame, -1 for a single command.
  static Refusal velocity_exceeded(double commanded_velocity, double max_velocity_rad_s,
                                   std::int32_t axis = -1) noexcept;
  static Refusal rate_limited() noexcept;
  static Refusal security(security::KelError kind) noexcept;
  // A receipt stamped `timestamp_nanos` is more than `max_age_nanos` behind or
  // ahead of the clock's `now_nanos`.
  static Refusal stale_receipt(std::uint64_t timestamp_nanos, std::uint64_t now_nanos,
                               std::uint64_t max_age_nanos) noexcept;
  // A frame refusal without numbers: InvalidFrame, UnknownKey, UnknownStream,
  // OutsideEnvelope, FrameBufferTooSmall, DuplicateKey, StreamTableFull,
  // RestoredStorage.
  static Refusal frame(RefusalReason reason) noexcept;
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

  RefusalReason reason() const noexcept { return reason_; }
  // The security kind; meaningful only for RefusalReason::Security.
  security::KelError kind() const noexcept { return kind_; }

  // A refusal of the command itself (shown to Python as KelViolation), as
  // opposed to a failure of the machinery (RuntimeError).
  bool is_violation() const noexcept { return reason_ <= RefusalReason::StepExceeded; }
  // A request the object could not carry out as asked (too small a buffer, a
  // key id in use, a full table, a value out of range): Python's ValueError.
  bool is_bad_request() const noexcept {
    return reason_ >= RefusalReason::FrameBufferTooSmall && reason_ <= RefusalReason::InvalidArgument;
  }
  // Whether the lock that was held is now poisoned.
  bool poisons_state() const noexcept { return reason_ == RefusalReason::InternalFault; }

  // The first offending axis of a frame, or -1.
  std::int32_t axis() const noexcept { return axis_; }
  // The outcome's result number, as the C interface returns it.
  std::int32_t number() const noexcept;

  // The short snake_case code ("velocity_exceeded", "replay_nonce", ...).
  std::string_view code() const noexcept;
  // The finished message, with its numbers or description filled in.
  std::string message() const;

 private:
  explicit Refusal(RefusalReason reason) noexcept : reason_(reason) {}

  RefusalReason reason_;
  security::KelError kind_ = security::KelError::InvalidPointer;
  double first_ = 0.0;   // commanded velocity; age in nanoseconds (< 0: ahead); step
  double second_ = 0.0;  // velocity limit; maximum age in nanoseconds; allowed step
  std::int32_t axis_ = -1;
  std::string_view owner_;   // or the static text of an invalid argument
  std::string description_;  // what a failing source or fault reported
};

}  // namespace kelvara::edge
