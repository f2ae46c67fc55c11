// The operating system's wall clock and random source, as the edge authorizer
// and the gate use them. Both report failure as values; neither throws.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "kelvara/security/types.hpp"

namespace kelvara::edge {

// Nanoseconds since the Unix epoch from the real-time clock, in wrapping
// unsigned 64-bit arithmetic; a reading before the epoch counts as 0. The error
// is the system's description of why the clock could not be read.
std::expected<std::uint64_t, std::string> wall_clock_nanos() noexcept;

// Nanoseconds from the monotonic clock, which no one can set back: the
// measure of rate windows. The error says why it could not be read.
std::expected<std::uint64_t, std::string> monotonic_nanos() noexcept;

// Fills `nonce` from OpenSSL's cryptographic generator (seeded from the
// operating system, fork-safe). The error describes the failure of the source.
std::expected<void, std::string> fill_random(security::Nonce& nonce) noexcept;

// The sources behind one seam, so that tests can put a fake clock or a
// failing random source under the boundary. Not noexcept: the boundary must
// survive a source that throws, as an internal fault.
struct PlatformSources {
  std::expected<std::uint64_t, std::string> (*now)() = wall_clock_nanos;
  std::expected<void, std::string> (*random_nonce)(security::Nonce&) = fill_random;
  std::expected<std::uint64_t, std::string> (*monotonic)() = monotonic_nanos;
};

}  // namespace kelvara::edge
