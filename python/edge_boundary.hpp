// The edge boundary's authorization of one actuator command: velocity limit,
// one-second rate window, sequence id, random nonce, signing and the replay
// check, over state behind a lock with a poisoned flag.
//
// No Python here: the module's KelBoundary class binds arguments, calls
// authorize() and turns a Refusal into the matching exception.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <string>

#include "boundary.hpp"
#include "crypto.hpp"
#include "kel_error.hpp"
#include "platform_sources.hpp"
#include "receipt_record.hpp"
#include "state_lock.hpp"

namespace kelvara::py {

struct BoundaryConfig {
  std::uint64_t rate_limit = 1000;         // most actions admitted in one rate window
  double max_velocity_rad_s = 4.18;        // limit on |commanded_velocity|
  std::uint64_t monotonic_window_size = 64;  // stored; the replay window is a fixed 1024 nonces
  security::Key key{};                     // all zero unless chosen
};

// The mutable part, only ever touched while its lock is held.
struct BoundaryState {
  security::BoundaryInterceptor interceptor;
  std::uint64_t window_start_nanos;
  std::uint64_t window_count = 0;

  BoundaryState(const security::Key& key, std::uint64_t now)
      : interceptor(key), window_start_nanos(now) {}
};

// Why an action got no receipt.
struct Refusal {
  enum class Kind {
    VelocityExceeded,  // detail: the message with both numbers
    RateLimited,
    Poisoned,
    NonceFailure,      // detail: the random source's description
    InternalFault,     // detail: what failed; the lock is now poisoned
    Security,          // error: the interceptor's kind
  };
  Kind kind;
  std::string detail{};
  security::KelError error = security::KelError::InvalidPointer;
};

class EdgeBoundary {
 public:
  // `now` opens the first rate window.
  EdgeBoundary(const BoundaryConfig& config, std::uint64_t now, PlatformSources sources = {});

  std::expected<ReceiptRecord, Refusal> authorize(std::int32_t target_axis, double requested_position,
                                                  double commanded_velocity);

  // For inspection by tests; not synchronised with authorize().
  const BoundaryState& state() const { return state_.unguarded(); }
  std::uint64_t last_sequence_id() const { return sequence_counter_.load(std::memory_order_acquire); }
  std::uint64_t monotonic_window_size() const { return monotonic_window_size_; }

 private:
  std::expected<ReceiptRecord, Refusal> authorize_locked(StateLock<BoundaryState>::Guard& state,
                                                         std::int32_t target_axis,
                                                         double requested_position,
                                                         double commanded_velocity);

  const std::uint64_t rate_limit_;
  const double max_velocity_rad_s_;
  const std::uint64_t monotonic_window_size_;
  const PlatformSources sources_;
  StateLock<BoundaryState> state_;
  std::atomic<std::uint64_t> sequence_counter_{0};  // the last sequence id handed out
};

}  // namespace kelvara::py
