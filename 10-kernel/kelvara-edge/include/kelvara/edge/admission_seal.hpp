// Detects gate storage brought back from a saved copy. Caller-owned gate
// storage can be snapshotted and restored at its own address (a checkpoint, a
// memcpy back): the restored bytes carry an old replay memory that would admit
// again what the gate admitted since, and nothing inside the bytes can tell.
//
// So the gate's latest admission is also recorded outside its storage: the
// seal claims a cell of a per-process ledger and keeps a value that the cell
// must hold. Each admission writes a new value to both; a restored copy holds
// a value the cell no longer has. Values come from a per-process claim count
// (high 32 bits) and an admission count (low bits), so a cell that passed to
// another gate never holds a value an old copy expects.
//
// Costs an admission one load and one store of a cell its gate alone writes.
// Within one process only (a new process starts with an empty ledger), and
// only while cells are free: a gate that finds none works unsealed.
#pragma once

#include <cstdint>

namespace kelvara::edge {

// Cells in the ledger: gates alive at once that can be sealed.
inline constexpr std::uint32_t kAdmissionLedgerCells = 4096;

class AdmissionSeal {
 public:
  // Claims a free cell for a new gate; unsealed when none is free.
  static AdmissionSeal claim() noexcept;

  // Whether the storage holding this seal is the gate's latest state.
  bool intact() const noexcept;
  // Records one more admission, in the cell and in the seal.
  void advance() noexcept;
  // Frees the cell, if it still holds this seal's value (a stale copy frees
  // nothing that another gate may hold).
  void release() noexcept;

  bool sealed() const noexcept { return cell_ != kNoCell; }

 private:
  static constexpr std::uint32_t kNoCell = UINT32_MAX;

  std::uint32_t cell_ = kNoCell;
  std::uint64_t value_ = 0;
};

}  // namespace kelvara::edge
