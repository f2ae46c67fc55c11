// The sending side's authorization of one actuator command: velocity limit,
// one-second rate window, sequence id, random nonce, signing and the replay
// check, over state behind a lock with a poisoned flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <string_view>

#include "kelvara/edge/outcome_stats.hpp"
#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/edge/process_guard.hpp"
#include "kelvara/edge/receipt_record.hpp"
#include "kelvara/edge/refusal.hpp"
#include "kelvara/edge/state_lock.hpp"
#include "kelvara/security/interceptor.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::edge {

struct AuthorizerConfig {
  std::uint64_t rate_limit = 1000;   // most actions admitted in one rate window
  double max_velocity_rad_s = 4.18;  // limit on |commanded_velocity|
  security::Key key{};               // all zero unless chosen
};

// The mutable part of a boundary, only ever touched while its lock is held.
struct BoundaryState {
  security::BoundaryInterceptor interceptor;
  std::uint64_t window_start_nanos;
  std::uint64_t window_count = 0;

  BoundaryState(const security::Key& key, std::uint64_t now) noexcept
      : interceptor(key), window_start_nanos(now) {}
  BoundaryState(const BoundaryState&) = default;
  BoundaryState& operator=(const BoundaryState&) = default;
  ~BoundaryState() { interceptor.erase_key(); }  // erases the prepared key
};

class EdgeAuthorizer {
 public:
  // `now` opens the first rate window. `owner` names the state in machinery
  // messages ("KelBoundary state is poisoned").
  EdgeAuthorizer(const AuthorizerConfig& config, std::uint64_t now, PlatformSources sources = {},
                 std::string_view owner = "KelBoundary") noexcept;

  // Safe to call from many threads at once. Every outcome is counted in
  // stats(): success as 0, a refusal at its number.
  std::expected<ReceiptRecord, Refusal> authorize(std::int32_t target_axis, double requested_position,
                                                  double commanded_velocity);

  // How often each outcome came out of authorize(); safe to read at any time.
  const OutcomeStats& stats() const noexcept { return stats_; }

  // For inspection by tests; not synchronised with authorize().
  const BoundaryState& state() const noexcept { return state_.unguarded(); }
  std::uint64_t last_sequence_id() const noexcept {
    return sequence_counter_.load(std::memory_order_acquire);
  }

 private:
  std::expected<ReceiptRecord, Refusal> judge(std::int32_t target_axis, double requested_position,
                                              double commanded_velocity);
  std::expected<ReceiptRecord, Refusal> authorize_locked(BoundaryState& state, std::int32_t target_axis,
                                                         double requested_position,
                                                         double commanded_velocity);

  const std::uint64_t rate_limit_;
  const double max_velocity_rad_s_;
  const PlatformSources sources_;
  const std::string_view owner_;
  const ProcessGuard process_;
  StateLock<BoundaryState> state_;
  std::atomic<std::uint64_t> sequence_counter_{0};  // the last sequence id handed out
  OutcomeStats stats_;
};

}  // namespace kelvara::edge
