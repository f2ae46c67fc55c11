// The clock and the order statistics the solver-beside-solver benchmarks share:
// each times one call at a time with the fenced time-stamp counter, converts
// ticks to nanoseconds once per run, and reports medians and percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace tick_timing {

// The time-stamp counter, fenced so that the timed call neither starts early
// nor ends late; elsewhere the steady clock in nanoseconds.
inline std::uint64_t ticks() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_lfence();
  const std::uint64_t t = __rdtsc();
  _mm_lfence();
  return t;
#else
  return std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// Nanoseconds per tick, measured against the steady clock over 200 ms.
inline double ns_per_tick() {
  using clock = std::chrono::steady_clock;
  const auto wall0 = clock::now();
  const std::uint64_t t0 = ticks();
  while (clock::now() - wall0 < std::chrono::milliseconds(200)) {
  }
  const std::uint64_t t1 = ticks();
  const auto wall1 = clock::now();
  return std::chrono::duration<double, std::nano>(wall1 - wall0).count() / double(t1 - t0);
}

inline double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Nearest rank.
inline double percentile_of(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const std::size_t rank = std::size_t(std::ceil(q * double(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

// One round of one problem: each solver called once, timed on its own, in the
// order ours_first says (rounds alternate it), then one empty timing, whose
// median is the overhead later subtracted.
template <typename Ours, typename Theirs>
void time_round(bool ours_first, Ours&& ours, Theirs&& theirs, std::vector<double>& ours_ticks,
                std::vector<double>& theirs_ticks, std::vector<double>& empty) {
  for (int turn = 0; turn < 2; ++turn) {
    const bool ours_turn = (turn == 0) == ours_first;
    const std::uint64_t t0 = ticks();
    if (ours_turn)
      ours();
    else
      theirs();
    const std::uint64_t t1 = ticks();
    (ours_turn ? ours_ticks : theirs_ticks).push_back(double(t1 - t0));
  }
  const std::uint64_t t0 = ticks();
  const std::uint64_t t1 = ticks();
  empty.push_back(double(t1 - t0));
}

// A problem's figure in nanoseconds: the median of its rounds less the
// overhead (the median empty timing), never below zero.
inline double net_ns(const std::vector<double>& round_ticks, double overhead, double tick_ns) {
  return std::max(0.0, median_of(round_ticks) - overhead) * tick_ns;
}

}  // namespace tick_timing
