// How often each outcome came out of one sender or gate, by outcome number,
// so that an operator can count refusals by code on every link.
//
// Outcome numbers are the C interface's result numbers: 0 is success
// (admitted, authorized), every other number one refusal or fault. Counting is
// one relaxed atomic add: exact when many threads count at once, no lock, no
// allocation. Reading gives each count exactly; counts read together are not
// one instant's snapshot while others are still counting.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvara::edge {

// Room for every outcome number, 0 to 35; the numbers above the last one in
// use read 0.
inline constexpr std::size_t kOutcomeNumbers = 36;

class OutcomeStats {
 public:
  OutcomeStats() noexcept = default;
  // A copy holds the counts as they were when it was taken.
  OutcomeStats(const OutcomeStats& other) noexcept { copy_from(other); }
  OutcomeStats& operator=(const OutcomeStats& other) noexcept {
    if (this != &other) copy_from(other);
    return *this;
  }

  // Counts one outcome. Every number the library returns is below
  // kOutcomeNumbers (the refusal tables assert it); any other is not counted.
  void record(std::int32_t number) noexcept {
    if (number >= 0 && static_cast<std::size_t>(number) < kOutcomeNumbers) {
      counts_[static_cast<std::size_t>(number)].fetch_add(1, std::memory_order_relaxed);
    }
  }

  // 0 for a number outside the table.
  std::uint64_t count(std::int32_t number) const noexcept {
    if (number < 0 || static_cast<std::size_t>(number) >= kOutcomeNumbers) return 0;
    return counts_[static_cast<std::size_t>(number)].load(std::memory_order_relaxed);
  }

  // out[i] = the count of outcome i, for every i < out.size(); entries past
  // the table are set to 0, so a caller's array may be of any length.
  void read(std::span<std::uint64_t> out) const noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = i < kOutcomeNumbers ? counts_[i].load(std::memory_order_relaxed) : 0;
    }
  }

 private:
  void copy_from(const OutcomeStats& other) noexcept {
    for (std::size_t i = 0; i < kOutcomeNumbers; ++i) {
      counts_[i].store(other.counts_[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
  }

  std::array<std::atomic<std::uint64_t>, kOutcomeNumbers> counts_{};
};

}  // namespace kelvara::edge
