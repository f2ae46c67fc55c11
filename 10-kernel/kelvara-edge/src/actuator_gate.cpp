#include "kelvara/edge/actuator_gate.hpp"

#include <exception>

#include "kelvara/edge/signed_command.hpp"

namespace kelvara::edge {

ActuatorGate::ActuatorGate(const security::Key& key, PlatformSources sources, std::string_view owner) noexcept
    : memory_(key), sources_(sources), owner_(owner) {}

std::expected<ReceiptRecord, Refusal> ActuatorGate::admit(
    std::span<const std::uint8_t, security::kReceiptSize> receipt_bytes, std::int32_t target_axis,
    double requested_position, double commanded_velocity) noexcept {
  auto outcome = judge(receipt_bytes, target_axis, requested_position, commanded_velocity);
  if (outcome) {
    stats_.count_admitted();
  } else {
    stats_.count(outcome.error());
  }
  return outcome;
}

std::expected<ReceiptRecord, Refusal> ActuatorGate::judge(
    std::span<const std::uint8_t, security::kReceiptSize> receipt_bytes, std::int32_t target_axis,
    double requested_position, double commanded_velocity) noexcept {
  // A forked copy would admit again what its parent admits.
  if (!process_.in_creating_process()) return std::unexpected(Refusal::other_process(owner_));
  const security::Receipt receipt = security::read_receipt_bytes(receipt_bytes);
  const AxisActionId action_id(target_axis);
  const security::Payload payload = command_payload(requested_position, commanded_velocity);
  if (auto checked = memory_.check_receipt(action_id.bytes(), payload, receipt); !checked) {
    return std::unexpected(Refusal::security(checked.error()));
  }
  if (auto fresh = check_freshness(receipt.timestamp_nanos); !fresh) {
    return std::unexpected(std::move(fresh.error()));
  }
  memory_.remember(receipt);

  ReceiptRecord record{
      .action_id = action_id,
      .sequence_id = receipt.sequence_id,
      .timestamp_nanos = receipt.timestamp_nanos,
      .requested_position = requested_position,
      .commanded_velocity = commanded_velocity,
      .receipt_hash = {},
      .is_authorized = true,
  };
  std::copy(receipt_bytes.begin(), receipt_bytes.end(), record.receipt_hash.begin());
  return record;
}

std::expected<void, Refusal> ActuatorGate::check_freshness(std::uint64_t timestamp_nanos) const noexcept {
  if (max_age_nanos_ == 0) return {};
  std::expected<std::uint64_t, std::string> clock;
  try {
    clock = sources_.now();
  } catch (const std::exception& fault) {  // a clock seam that throws is a clock failure
    return std::unexpected(Refusal::clock_failure(fault.what()));
  }
  if (!clock) return std::unexpected(Refusal::clock_failure(std::move(clock.error())));
  const std::uint64_t now = *clock;
  const std::uint64_t distance = now >= timestamp_nanos ? now - timestamp_nanos : timestamp_nanos - now;
  if (distance > max_age_nanos_) {
    return std::unexpected(Refusal::stale_receipt(timestamp_nanos, now, max_age_nanos_));
  }
  return {};
}

}  // namespace kelvara::edge
