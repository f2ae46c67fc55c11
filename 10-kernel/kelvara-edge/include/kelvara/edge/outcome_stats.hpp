// How many commands a boundary or gate admitted and how many it refused, by
// outcome: an operator counts refusals by code on every link.
//
// One counter per result number (0 counts admissions, n counts the outcome
// whose C result is n). Counting is a relaxed atomic increment on plain
// storage, so the counts may be read from another thread while the owner
// works, the type stays a plain copyable value, and nothing allocates.
// Counting is observation only: a refusal that "changes nothing" in a gate
// still counts here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "kelvara/edge/refusal.hpp"

namespace kelvara::edge {

// Result numbers 0 to 35: every outcome the system has or reserves.
inline constexpr std::size_t kOutcomeSlots = 36;

class OutcomeStats {
 public:
  using Counts = std::array<std::uint64_t, kOutcomeSlots>;

  void count_admitted() noexcept { bump(0); }
  void count(const Refusal& refusal) noexcept { bump(refusal.number()); }

  // Admissions, and the count of one result number (0 for numbers outside 0 to 35).
  std::uint64_t admitted() const noexcept { return of(0); }
  std::uint64_t of(std::int32_t number) const noexcept {
    if (number < 0 || static_cast<std::size_t>(number) >= kOutcomeSlots) return 0;
    // atomic_ref needs a mutable object; the load writes nothing.
    auto& cell = const_cast<std::uint64_t&>(counts_[static_cast<std::size_t>(number)]);
    return std::atomic_ref<std::uint64_t>(cell).load(std::memory_order_relaxed);
  }
  // Every count at once, each read atomically (not all at one instant).
  Counts counts() const noexcept {
    Counts copy;
    for (std::size_t slot = 0; slot < kOutcomeSlots; ++slot) copy[slot] = of(static_cast<std::int32_t>(slot));
    return copy;
  }

 private:
  void bump(std::int32_t number) noexcept {
    // A number outside the table (none exists) is counted nowhere rather than
    // written out of bounds.
    if (number < 0 || static_cast<std::size_t>(number) >= kOutcomeSlots) return;
    std::atomic_ref<std::uint64_t>(counts_[static_cast<std::size_t>(number)])
        .fetch_add(1, std::memory_order_relaxed);
  }

  alignas(std::atomic_ref<std::uint64_t>::required_alignment) Counts counts_{};
};

}  // namespace kelvara::edge
