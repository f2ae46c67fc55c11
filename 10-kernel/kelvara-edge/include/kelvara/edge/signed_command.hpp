// What one actuator command is signed as: the action identifier "axis_<n>"
// and the 16-byte payload of its two doubles. Sender and receiver form both
// here, so they cannot disagree on a byte.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "kelvara/security/types.hpp"

namespace kelvara::edge {

// "axis_" and the axis in decimal, a minus sign for negative values: 6 to 16
// bytes, well inside the 64 that are signed.
class AxisActionId {
 public:
  static constexpr std::size_t kCapacity = 16;  // "axis_-2147483648"

  explicit AxisActionId(std::int32_t target_axis) noexcept;

  std::string_view text() const noexcept { return {bytes_.data(), size_}; }
  security::ActionId bytes() const noexcept { return security::action_id_bytes(text()); }

 private:
  std::array<char, kCapacity> bytes_{};
  std::uint8_t size_ = 0;
};

// requested_position then commanded_velocity, each as its IEEE 754 double in
// little-endian order. The position is carried and signed, never checked.
security::Payload command_payload(double requested_position, double commanded_velocity) noexcept;

}  // namespace kelvara::edge
