// The edge library's sources, faked for its tests, the C interface's tests and
// the gate's fuzz target: a wall clock and a random source that a test moves,
// breaks or makes throw, behind the PlatformSources seam.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

#include "kelvara/edge/platform_sources.hpp"
#include "kelvara/security/types.hpp"

namespace kelvara::edge::testing {

// How a fake source answers: a value, a reported failure, or an exception (a
// fault the code under test must survive).
enum class SourceMode : std::uint8_t { Works, Fails, Throws };

// One process-wide pair, as the real sources are; reset() before each test.
struct FakeSources {
  static inline std::uint64_t now = 0;
  static inline SourceMode clock = SourceMode::Works;
  static inline SourceMode random = SourceMode::Works;
  // Each nonce is twelve copies of one byte: next_nonce, counting up, or
  // kRepeatedNonceByte every time while repeat_nonce is set.
  static inline std::uint8_t next_nonce = 1;
  static inline bool repeat_nonce = false;
  static constexpr std::uint8_t kRepeatedNonceByte = 7;

  static void reset(std::uint64_t start_nanos) {
    now = start_nanos;
    clock = random = SourceMode::Works;
    next_nonce = 1;
    repeat_nonce = false;
  }

  static std::expected<std::uint64_t, std::string> read_clock() {
    if (clock == SourceMode::Throws) throw std::runtime_error("clock exploded");
    if (clock == SourceMode::Fails) return std::unexpected(std::string("clock gone"));
    return now;
  }

  static std::expected<void, std::string> fill_nonce(security::Nonce& nonce) {
    if (random == SourceMode::Throws) throw std::runtime_error("entropy exploded");
    if (random == SourceMode::Fails) return std::unexpected(std::string("no entropy"));
    nonce.fill(repeat_nonce ? kRepeatedNonceByte : next_nonce++);
    return {};
  }
};

// Both sources faked; or the fake clock with the operating system's random source.
inline constexpr PlatformSources kFakeSources{FakeSources::read_clock, FakeSources::fill_nonce};
inline constexpr PlatformSources kFakeClock{FakeSources::read_clock, fill_random};

}  // namespace kelvara::edge::testing
