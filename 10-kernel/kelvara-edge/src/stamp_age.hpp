// The freshness rule both gates apply: a stamp (nanoseconds since the Unix
// epoch, from the sender's clock) is admitted while it lies within max_age of
// the gate's clock, behind it or ahead of it. Internal to the edge library.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <utility>

#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/edge/refusal.hpp"

namespace kelvara::edge {

// The refusal for a stamp too far from the clock: (stamp, now, max_age).
using StaleRefusal = Refusal (*)(std::uint64_t, std::uint64_t, std::uint64_t) noexcept;

// Nothing when max_age_nanos is 0 (no freshness check) or the stamp is fresh;
// otherwise stale(stamp, now, max_age_nanos), or a clock failure when the clock
// cannot be read or its seam throws.
inline std::expected<void, Refusal> check_stamp_age(const PlatformSources& sources, std::uint64_t stamp,
                                                    std::uint64_t max_age_nanos,
                                                    StaleRefusal stale) noexcept {
  if (max_age_nanos == 0) return {};
  std::expected<std::uint64_t, std::string> clock;
  try {
    clock = sources.now();
  } catch (const std::exception& fault) {  // a clock seam that throws is a clock failure
    return std::unexpected(Refusal::clock_failure(fault.what()));
  }
  if (!clock) return std::unexpected(Refusal::clock_failure(std::move(clock.error())));
  const std::uint64_t now = *clock;
  const std::uint64_t distance = now >= stamp ? now - stamp : stamp - now;
  if (distance > max_age_nanos) return std::unexpected(stale(stamp, now, max_age_nanos));
  return {};
}

}  // namespace kelvara::edge
