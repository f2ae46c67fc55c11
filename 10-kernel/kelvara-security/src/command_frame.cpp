#include "kelvara/security/command_frame.hpp"

#include <algorithm>

#include "kelvara/security/constant_time.hpp"

namespace kelvara::security {

std::optional<FrameView> parse_frame(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < kFrameHeaderSize) return std::nullopt;
  const std::uint8_t* at = bytes.data();
  const std::uint16_t axes = load<std::endian::little, std::uint16_t>(at + kFrameAxesOffset);
  const std::uint16_t flags = load<std::endian::little, std::uint16_t>(at + kFrameFlagsOffset);
  if (at[0] != kFrameMagic[0] || at[1] != kFrameMagic[1] || at[kFrameVersionOffset] != kFrameVersion ||
      flags != 0 || axes == 0 || axes > kFrameMaxAxes || bytes.size() != frame_size(axes)) {
    return std::nullopt;
  }
  const FrameHeader header{
      .key_id = at[kFrameKeyIdOffset],
      .stream_id = load<std::endian::little, std::uint32_t>(at + kFrameStreamOffset),
      .counter = load_le64(at + kFrameCounterOffset),
      .axes = axes,
  };
  return FrameView(header, bytes);
}

std::optional<std::size_t> write_frame(const HmacKeyContext& key_context, const FrameHeader& header,
                                       std::span<const double> positions, std::span<const double> velocities,
                                       std::span<std::uint8_t> out) noexcept {
  const std::size_t axes = header.axes;
  const std::size_t size = frame_size(axes);
  if (axes == 0 || axes > kFrameMaxAxes || positions.size() < axes || velocities.size() < axes ||
      out.size() < size) {
    return std::nullopt;
  }
  std::uint8_t* at = out.data();
  at[0] = kFrameMagic[0];
  at[1] = kFrameMagic[1];
  at[kFrameVersionOffset] = kFrameVersion;
  at[kFrameKeyIdOffset] = header.key_id;
  store<std::endian::little>(at + kFrameStreamOffset, header.stream_id);
  store_le64(at + kFrameCounterOffset, header.counter);
  store<std::endian::little>(at + kFrameAxesOffset, header.axes);
  store<std::endian::little>(at + kFrameFlagsOffset, std::uint16_t{0});
  for (std::size_t axis = 0; axis < axes; ++axis) {
    store_le_double(at + kFrameHeaderSize + kFrameAxisSize * axis, positions[axis]);
    store_le_double(at + kFrameHeaderSize + kFrameAxisSize * axis + 8, velocities[axis]);
  }
  const std::size_t tag_offset = frame_tag_offset(axes);
  const Tag tag = hmac(key_context, out.first(tag_offset));
  std::copy(tag.begin(), tag.end(), at + tag_offset);
  return size;
}

bool frame_tag_matches(const HmacKeyContext& key_context, const FrameView& frame) noexcept {
  const Tag expected = hmac(key_context, frame.covered());
  Tag received;
  std::copy(frame.tag().begin(), frame.tag().end(), received.begin());
  return constant_time_equal(expected, received);
}

}  // namespace kelvara::security
