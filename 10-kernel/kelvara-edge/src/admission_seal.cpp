#include "kelvara/edge/admission_seal.hpp"

#include <array>
#include <atomic>

namespace kelvara::edge {
namespace {

// A cell holds 0 while free. Each on its own cache line, so that gates
// admitting on different threads do not slow each other down.
struct alignas(64) LedgerCell {
  std::atomic<std::uint64_t> value{0};
};

std::array<LedgerCell, kAdmissionLedgerCells> g_ledger;
std::atomic<std::uint64_t> g_claims{0};
std::atomic<std::uint32_t> g_search_start{0};

}  // namespace

AdmissionSeal AdmissionSeal::claim() noexcept {
  AdmissionSeal seal;
  // Never 0 (a free cell); a claim count past 2^32 wraps its high bits, which
  // only makes a collision with a far older copy possible, not a false alarm.
  const std::uint64_t claim_number = g_claims.fetch_add(1, std::memory_order_relaxed) + 1;
  const std::uint64_t value = (claim_number << 32) | 1;
  const std::uint32_t start = g_search_start.load(std::memory_order_relaxed);
  for (std::uint32_t step = 0; step < kAdmissionLedgerCells; ++step) {
    const std::uint32_t cell = (start + step) % kAdmissionLedgerCells;
    std::uint64_t free = 0;
    if (g_ledger[cell].value.compare_exchange_strong(free, value, std::memory_order_relaxed)) {
      g_search_start.store((cell + 1) % kAdmissionLedgerCells, std::memory_order_relaxed);
      seal.cell_ = cell;
      seal.value_ = value;
      return seal;
    }
  }
  return seal;
}

bool AdmissionSeal::intact() const noexcept {
  return cell_ == kNoCell || g_ledger[cell_].value.load(std::memory_order_relaxed) == value_;
}

void AdmissionSeal::advance() noexcept {
  if (cell_ == kNoCell) return;
  // Stays nonzero: the low bits start at 1 and wrap into the claim bits only
  // after 2^32 admissions.
  value_ += 1;
  if (value_ == 0) value_ = 1;
  g_ledger[cell_].value.store(value_, std::memory_order_relaxed);
}

void AdmissionSeal::release() noexcept {
  if (cell_ == kNoCell) return;
  std::uint64_t expected = value_;
  g_ledger[cell_].value.compare_exchange_strong(expected, 0, std::memory_order_relaxed);
  cell_ = kNoCell;
}

}  // namespace kelvara::edge
