// The command frame: one joint vector signed once. All integers little-endian,
// doubles IEEE 754 binary64 little-endian:
//   magic "KF" (2) | version 1 (1) | key id (1) | stream id u32 (4) |
//   counter u64 (8) | axes n u16, 1 to 32 (2) | flags u16, 0 (2) |
//   n x (position, velocity) (16 n) | tag (32)
// The tag is HMAC-SHA-256, under the key the key id names, over every byte
// before it; a frame is 52 + 16 n bytes. Nothing here knows a clock, a key
// table or a stream: bytes in, values out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kelvara/security/byte_codec.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::security {

inline constexpr std::uint8_t kFrameMagic[2] = {0x4B, 0x46};  // "KF"
inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameMaxAxes = 32;

inline constexpr std::size_t kFrameVersionOffset = 2;
inline constexpr std::size_t kFrameKeyIdOffset = 3;
inline constexpr std::size_t kFrameStreamOffset = 4;
inline constexpr std::size_t kFrameCounterOffset = 8;
inline constexpr std::size_t kFrameAxesOffset = 16;
inline constexpr std::size_t kFrameFlagsOffset = 18;
inline constexpr std::size_t kFrameHeaderSize = 20;  // where the values begin
inline constexpr std::size_t kFrameAxisSize = 16;    // a position and a velocity

// Bytes of a frame of `axes` axes, and the offset of its tag.
constexpr std::size_t frame_size(std::size_t axes) noexcept {
  return kFrameHeaderSize + kFrameAxisSize * axes + kTagSize;
}
constexpr std::size_t frame_tag_offset(std::size_t axes) noexcept {
  return kFrameHeaderSize + kFrameAxisSize * axes;
}
inline constexpr std::size_t kFrameMaxSize = frame_size(kFrameMaxAxes);
static_assert(frame_size(7) == 164 && kFrameMaxSize == 564);

// The header fields a sender chooses (magic, version and flags are fixed).
struct FrameHeader {
  std::uint8_t key_id = 0;
  std::uint32_t stream_id = 0;
  std::uint64_t counter = 0;
  std::uint16_t axes = 0;
};

// A frame whose structure is valid (length for its axis count, magic,
// version, flags), viewing the caller's bytes: nothing is copied and its tag
// is not yet checked. Valid only as long as those bytes are.
class FrameView {
 public:
  const FrameHeader& header() const noexcept { return header_; }
  // The doubles of axis `axis` (below header().axes) exactly as sent.
  double position(std::size_t axis) const noexcept {
    return load_le_double(bytes_.data() + kFrameHeaderSize + kFrameAxisSize * axis);
  }
  double velocity(std::size_t axis) const noexcept {
    return load_le_double(bytes_.data() + kFrameHeaderSize + kFrameAxisSize * axis + 8);
  }
  // Every byte the tag covers, and the tag as sent.
  std::span<const std::uint8_t> covered() const noexcept {
    return bytes_.first(frame_tag_offset(header_.axes));
  }
  std::span<const std::uint8_t, kTagSize> tag() const noexcept {
    return bytes_.subspan(frame_tag_offset(header_.axes)).first<kTagSize>();
  }

 private:
  friend std::optional<FrameView> parse_frame(std::span<const std::uint8_t> bytes) noexcept;
  FrameView(FrameHeader header, std::span<const std::uint8_t> bytes) noexcept
      : header_(header), bytes_(bytes) {}

  FrameHeader header_;
  std::span<const std::uint8_t> bytes_;
};

// The structure check: nullopt for fewer than 20 bytes, a wrong magic,
// version or flags, an axis count outside 1 to 32, or a length other than
// 52 + 16 n. Reads the 20 header bytes only.
std::optional<FrameView> parse_frame(std::span<const std::uint8_t> bytes) noexcept;

// Writes a whole frame, tag included, to the start of `out` and returns its
// size. The values are header.axes positions and as many velocities, written
// bit for bit (-0.0, NaN payloads and all). nullopt, writing nothing, when
// header.axes is outside 1 to 32, a span is shorter than header.axes or `out`
// is shorter than the frame.
std::optional<std::size_t> write_frame(const HmacKeyContext& key_context, const FrameHeader& header,
                                       std::span<const double> positions, std::span<const double> velocities,
                                       std::span<std::uint8_t> out) noexcept;

// Whether the frame's tag is the one its key gives over the covered bytes:
// all 32 bytes compared in constant time.
bool frame_tag_matches(const HmacKeyContext& key_context, const FrameView& frame) noexcept;

}  // namespace kelvara::security
