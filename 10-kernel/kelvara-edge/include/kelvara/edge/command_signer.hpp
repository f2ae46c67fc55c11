// The sending side of the command frame: checks a whole joint vector and signs
// it once. Refusals, in order, the first deciding: a position or velocity that
// is not finite (NonFiniteValue), a velocity above its axis's limit
// (VelocityExceeded), more than rate_limit frames in any one-second span of
// the monotonic clock (RateLimited). A refused frame spends no counter value
// and no rate slot.
//
// The counter is the wall clock in nanoseconds, made strictly increasing per
// signer (max(now, last + 1)), so a restarted sender is ahead of everything it
// signed before. Thread-safe (its own lock, poisoned by an unexpected fault);
// refuses in a child after fork(). Allocates once, when made (the rate
// window's ring); signing allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/edge/process_guard.hpp"
#include "kelvara/edge/refusal.hpp"
#include "kelvara/edge/state_lock.hpp"
#include "kelvara/security/command_frame.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::edge {

// The largest rate limit a signer takes: its window remembers one time per
// frame it may sign in a second.
inline constexpr std::uint32_t kMaxSignerRateLimit = 1'000'000;

struct SignerConfig {
  security::Key key{};
  std::uint8_t key_id = 0;
  std::uint32_t stream_id = 0;
  std::size_t axes = 0;  // 1 to 32
  // Limit on |velocity| per axis, rad/s: the first `axes` entries are used,
  // each at least 0 (+inf: no limit; NaN is refused).
  std::array<double, security::kFrameMaxAxes> max_velocity_rad_s{};
  std::uint32_t rate_limit = 1000;  // 0 to kMaxSignerRateLimit; 0 signs nothing
};

// InvalidArgument, saying which field, for an axis count outside 1 to 32, a
// velocity limit that is NaN or negative, or a rate limit above the maximum.
std::expected<void, Refusal> check_signer_config(const SignerConfig& config) noexcept;

// The mutable part of a signer, touched only under its lock.
struct SignerState {
  // The one allocation of a signer's life: a valid config bounds it at 8 MB.
  explicit SignerState(std::uint32_t window_slots)
      : window(std::make_unique<std::uint64_t[]>(window_slots)) {}

  std::uint64_t last_counter = 0;  // 0 before the first frame
  // Monotonic times of the last rate_limit frames signed, a ring: `oldest` is
  // the slot the next frame overwrites, `filled` how many slots hold a time.
  std::unique_ptr<std::uint64_t[]> window;
  std::uint32_t oldest = 0;
  std::uint32_t filled = 0;
};

class CommandSigner {
 public:
  // The config must pass check_signer_config (else every sign() returns that
  // refusal). The key is prepared once and erased with the signer. `owner`
  // names the signer in machinery messages. Throws std::bad_alloc when the
  // rate window (8 bytes per frame of rate_limit) cannot be allocated.
  explicit CommandSigner(const SignerConfig& config, PlatformSources sources = {},
                         std::string_view owner = "CommandSigner");
  CommandSigner(const CommandSigner&) = delete;
  CommandSigner& operator=(const CommandSigner&) = delete;
  ~CommandSigner();

  // Signs one frame of config.axes positions and velocities into `out` and
  // returns its size (52 + 16 axes). Refusals: InvalidArgument (a span of the
  // wrong length), FrameBufferTooSmall, NonFiniteValue, VelocityExceeded,
  // RateLimited (the order above, then these machinery failures: OtherProcess,
  // Poisoned, ClockFailure, InternalFault). `out` is written only on success.
  // Safe to call from many threads at once.
  std::expected<std::size_t, Refusal> sign(std::span<const double> positions,
                                           std::span<const double> velocities, std::span<std::uint8_t> out);

  std::size_t axes() const noexcept { return axes_; }
  std::size_t frame_size() const noexcept { return security::frame_size(axes_); }
  std::uint8_t key_id() const noexcept { return key_id_; }
  std::uint32_t stream_id() const noexcept { return stream_id_; }
  std::uint32_t rate_limit() const noexcept { return rate_limit_; }
  double max_velocity_rad_s(std::size_t axis) const noexcept { return max_velocity_rad_s_[axis]; }
  // The counter of the last frame signed, 0 before the first; not
  // synchronised with sign().
  std::uint64_t last_counter() const noexcept { return state_.unguarded().last_counter; }

 private:
  std::expected<std::size_t, Refusal> sign_locked(SignerState& state, std::span<const double> positions,
                                                  std::span<const double> velocities,
                                                  std::span<std::uint8_t> out);

  const std::expected<void, Refusal> config_check_;
  const std::size_t axes_;
  const std::uint8_t key_id_;
  const std::uint32_t stream_id_;
  const std::uint32_t rate_limit_;
  const std::array<double, security::kFrameMaxAxes> max_velocity_rad_s_;
  security::HmacKeyContext key_context_;  // erased by the destructor
  const PlatformSources sources_;
  const std::string_view owner_;
  const ProcessGuard process_;
  StateLock<SignerState> state_;
};

}  // namespace kelvara::edge
