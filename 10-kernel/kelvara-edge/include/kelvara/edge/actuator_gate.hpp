// The actuator's side of the link: admits a command only when the receipt that
// travels with it is authentic, fresh and not replayed. It keeps the same
// replay memory as the sender's interceptor (sequence rule, the 1024-nonce
// ring, the constant-time tag check, in that order) and, optionally, checks the
// receipt's timestamp against its own clock.
//
// No lock and no allocation after construction: the caller serialises calls.
// A refusal changes nothing but its own count in stats(); an admission records
// the sequence id and nonce.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "kelvara/edge/outcome_stats.hpp"
#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/edge/process_guard.hpp"
#include "kelvara/edge/receipt_record.hpp"
#include "kelvara/edge/refusal.hpp"
#include "kelvara/security/interceptor.hpp"
#include "kelvara/security/receipt.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::edge {

class ActuatorGate {
 public:
  // The key is prepared once; freshness starts switched off. Only the clock of
  // `sources` is used. `owner` names the gate in machinery messages.
  explicit ActuatorGate(const security::Key& key, PlatformSources sources = {},
                        std::string_view owner = "KelGate") noexcept;
  ActuatorGate(const ActuatorGate&) = default;
  ActuatorGate& operator=(const ActuatorGate&) = default;
  // Erases the prepared key.
  ~ActuatorGate() { memory_.erase_key(); }

  // A receipt stamped more than this many nanoseconds behind or ahead of the
  // gate's clock is refused as stale; 0 switches the check off.
  void set_max_age_nanos(std::uint64_t max_age_nanos) noexcept { max_age_nanos_ = max_age_nanos; }
  std::uint64_t max_age_nanos() const noexcept { return max_age_nanos_; }

  // Checks, in order: sequence id newer than the last admitted, nonce not among
  // the last 1024 admitted, tag over the command as received; then freshness,
  // so unauthenticated bytes never reach the clock. The command is the axis and
  // the two doubles exactly as the sender signed them. Every outcome is
  // counted: admission as 0, a refusal at its number.
  std::expected<ReceiptRecord, Refusal> admit(
      std::span<const std::uint8_t, security::kReceiptSize> receipt_bytes, std::int32_t target_axis,
      double requested_position, double commanded_velocity) noexcept;

  // Counts a refusal that a face makes before admit() can look at the bytes
  // (a receipt of the wrong length), so that stats() shows it too.
  void count_refusal(const Refusal& refusal) noexcept { stats_.count(refusal); }

  // How often each outcome came out of this gate.
  const OutcomeStats& stats() const noexcept { return stats_; }

  // False in a child process forked after the gate was made (admit refuses there).
  bool in_creating_process() const noexcept { return process_.in_creating_process(); }

  // 0 before the first admission.
  std::uint64_t last_sequence_id() const noexcept { return memory_.last_sequence_id(); }
  const security::BoundaryInterceptor& memory() const noexcept { return memory_; }

 private:
  std::expected<ReceiptRecord, Refusal> judge(
      std::span<const std::uint8_t, security::kReceiptSize> receipt_bytes, std::int32_t target_axis,
      double requested_position, double commanded_velocity) noexcept;
  std::expected<void, Refusal> check_freshness(std::uint64_t timestamp_nanos) const noexcept;

  security::BoundaryInterceptor memory_;
  PlatformSources sources_;
  std::string_view owner_;
  ProcessGuard process_;
  std::uint64_t max_age_nanos_ = 0;
  OutcomeStats stats_;
};

}  // namespace kelvara::edge
