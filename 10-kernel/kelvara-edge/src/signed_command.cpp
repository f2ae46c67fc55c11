#include "kelvara/edge/signed_command.hpp"

#include <charconv>

#include "kelvara/security/byte_codec.hpp"

namespace kelvara::edge {

AxisActionId::AxisActionId(std::int32_t target_axis) noexcept {
  constexpr std::string_view prefix = "axis_";
  prefix.copy(bytes_.data(), prefix.size());
  const auto end =
      std::to_chars(bytes_.data() + prefix.size(), bytes_.data() + bytes_.size(), target_axis).ptr;
  size_ = static_cast<std::uint8_t>(end - bytes_.data());
}

security::Payload command_payload(double requested_position, double commanded_velocity) noexcept {
  security::Payload payload;
  security::store_le_double(payload.data(), requested_position);
  security::store_le_double(payload.data() + 8, commanded_velocity);
  return payload;
}

}  // namespace kelvara::edge
