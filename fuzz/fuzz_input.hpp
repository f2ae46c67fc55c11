// Turning fuzzer bytes into the values the targets feed the system: floats
// biased towards the ones that break solvers (signed zeros, infinities, NaN,
// tiny and huge magnitudes, coarse grid values that make ties and equal
// bounds), and a check that aborts so libFuzzer records the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kelvara::fuzz {

inline constexpr std::array<float, 12> kSpecialFloats = {
    0.0f,
    -0.0f,
    1.0f,
    -1.0f,
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
    -std::numeric_limits<float>::max(),
    1e-9f,
    1e-5f,
};

inline float pick_float(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return kSpecialFloats[in.ConsumeIntegralInRange<std::size_t>(0, kSpecialFloats.size() - 1)];
    case 1: return static_cast<float>(in.ConsumeIntegral<std::int8_t>()) / 8.0f;
    case 2: return static_cast<float>(in.ConsumeIntegral<std::int16_t>()) / 64.0f;
    default: return std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>());
  }
}

template <std::size_t N>
std::array<std::uint8_t, N> pick_bytes(FuzzedDataProvider& in) {
  std::array<std::uint8_t, N> bytes{};
  in.ConsumeData(bytes.data(), N);
  return bytes;
}

// A failed property: print what broke and abort, which libFuzzer reports as a
// crash and saves the input for.
[[noreturn]] inline void property_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace kelvara::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? void(0) : ::kelvara::fuzz::property_failed(#condition, __FILE__, __LINE__))
