// The actuator's side of the command frame: admits a whole joint vector or
// none of it. Checks, in order, the first failure deciding:
//   1 InvalidFrame    length for its axis count, magic, version, flags, an
//                     axis count other than the gate's
//   2 UnknownKey      no key under the frame's key id
//   3 UnknownStream   a stream id not allowed
//   4 Security(AuthenticationFailure)  the tag, all 32 bytes in constant time
//   5 Security(ReplayCounter)  counter not above the last admitted on the stream
//   6 StaleFrame      counter further than the maximum age from the wall clock
//   7 NonFiniteValue  a position or velocity that is not finite
//   8 OutsideEnvelope with an envelope set, positions outside it
//   9 StepExceeded    with step limits set, an axis that moved further from
//                     the stream's last admitted positions than its limit
//                     times the counter difference
// Only the structure, key id and stream id are read before the tag is
// checked: unauthenticated bytes never reach the clock or the state. A
// refusal changes nothing but its count in stats(); an admission records the
// counter and positions for its stream.
//
// A plain fixed-size value: no lock, no allocation ever; the caller
// serialises calls. Refuses in a child after fork(). Storage holding a gate
// must never be restored from a saved copy: the copy's replay memory would
// admit again what the gate has admitted since (the C interface detects it).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "kelvara/core/envelope.hpp"
#include "kelvara/edge/outcome_stats.hpp"
#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/edge/process_guard.hpp"
#include "kelvara/edge/refusal.hpp"
#include "kelvara/security/command_frame.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::edge {

// Streams a gate can allow at once.
inline constexpr std::size_t kCommandGateStreams = 32;
// Key ids: 0 to 255, each may hold a key.
inline constexpr std::size_t kCommandGateKeyIds = 256;

// An admitted frame: its header and the exact doubles that were signed.
struct Command {
  std::uint64_t counter = 0;
  std::uint32_t stream_id = 0;
  std::uint8_t key_id = 0;
  std::uint16_t axes = 0;
  std::array<double, security::kFrameMaxAxes> positions{};   // first `axes` valid
  std::array<double, security::kFrameMaxAxes> velocities{};  // first `axes` valid
};

class CommandGate {
 public:
  // A gate for frames of `axes` axes (1 to 32; any other count makes a gate
  // that refuses everything with InvalidArgument, see check_axes). Frames whose
  // counter is more than max_age_nanos from the wall clock are stale; 0
  // switches freshness off. No keys, no streams, no envelope, no step limits.
  CommandGate(std::size_t axes, std::uint64_t max_age_nanos, PlatformSources sources = {},
              std::string_view owner = "CommandGate") noexcept;
  CommandGate(const CommandGate&) = default;
  CommandGate& operator=(const CommandGate&) = default;
  // Erases every prepared key.
  ~CommandGate();

  // InvalidArgument unless 1 <= axes <= 32.
  static std::expected<void, Refusal> check_axes(std::size_t axes) noexcept;

  // Frames under `key_id` are checked with this key from now on.
  // DuplicateKey when the id already holds one (remove it first).
  std::expected<void, Refusal> add_key(std::uint8_t key_id, const security::Key& key) noexcept;
  // Erases the key; UnknownKey when the id holds none.
  std::expected<void, Refusal> remove_key(std::uint8_t key_id) noexcept;
  bool has_key(std::uint8_t key_id) const noexcept;

  // Admits frames of this stream from now on; allowing an allowed stream
  // changes nothing. StreamTableFull beyond kCommandGateStreams streams.
  std::expected<void, Refusal> allow_stream(std::uint32_t stream_id) noexcept;
  bool allows_stream(std::uint32_t stream_id) const noexcept;

  // Copies the envelope into the gate. InvalidArgument when its axis count is
  // not the gate's.
  std::expected<void, Refusal> set_envelope(const core::Envelope& envelope) noexcept;
  // Per-axis step limits in rad/s, `axes` values each >= 0 (+inf: no limit).
  // InvalidArgument for another count, a NaN or a negative limit.
  std::expected<void, Refusal> set_max_step(std::span<const double> max_step_rad_s) noexcept;

  // The nine checks above; on admission writes the command to `out` (only
  // then). Machinery failures: OtherProcess, ClockFailure, InvalidArgument
  // (the gate's axis count was invalid).
  std::expected<void, Refusal> admit(std::span<const std::uint8_t> frame, Command& out) noexcept;

  std::size_t axes() const noexcept { return axes_; }
  std::uint64_t max_age_nanos() const noexcept { return max_age_nanos_; }
  const OutcomeStats& stats() const noexcept { return stats_; }
  // Counts a refusal decided outside the gate (by whoever holds its storage).
  void count_refusal(const Refusal& refusal) noexcept { stats_.count(refusal); }
  // The counter last admitted on a stream; nullopt for a stream not allowed or
  // with no admission yet.
  std::optional<std::uint64_t> last_counter(std::uint32_t stream_id) const noexcept;
  bool in_creating_process() const noexcept { return process_.in_creating_process(); }

 private:
  struct KeySlot {
    bool present = false;
    security::HmacKeyContext context{};
  };
  struct StreamSlot {
    std::uint32_t stream_id = 0;
    bool admitted_any = false;  // counter and positions hold the last admission
    std::uint64_t counter = 0;
    std::array<double, security::kFrameMaxAxes> positions{};
  };

  // Checks 2 to 9 of a well-formed frame; the index of its stream's slot.
  std::expected<std::size_t, Refusal> check(const security::FrameView& frame) const noexcept;
  std::expected<void, Refusal> check_fresh(std::uint64_t counter) const noexcept;
  // The slot of an allowed stream, or kCommandGateStreams.
  std::size_t find_stream(std::uint32_t stream_id) const noexcept;

  std::size_t axes_;
  std::uint64_t max_age_nanos_;
  PlatformSources sources_;
  std::string_view owner_;
  ProcessGuard process_;
  std::array<KeySlot, kCommandGateKeyIds> keys_{};
  std::array<StreamSlot, kCommandGateStreams> streams_{};
  std::size_t stream_count_ = 0;
  std::optional<core::Envelope> envelope_;
  bool has_max_step_ = false;
  std::array<double, security::kFrameMaxAxes> max_step_rad_s_{};
  OutcomeStats stats_;
};

}  // namespace kelvara::edge
