#include "kelvara/security/nonce_ring.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kelvara/security/constant_time.hpp"

namespace kelvara::security {
namespace {

// Four consecutive ring entries fill six words exactly, and two entries three:
// the probe repeated twice gives three words that line up with every pair of
// entries. The scan compares a group of four at a time against them, held in
// registers: six loads and XORs per four entries instead of eight.
constexpr std::size_t kGroupEntries = 4;
constexpr std::size_t kGroupWords = kGroupEntries * kNonceSize / 8;
constexpr std::size_t kProbeWords = 2 * kNonceSize / 8;
static_assert(std::endian::native == std::endian::little,
              "the split of group words into entries assumes little-endian words");

struct Probe {
  const std::uint8_t* nonce;
  std::array<std::uint64_t, kProbeWords> words;  // the nonce twice over
};

Probe make_probe(const Nonce& nonce) noexcept {
  std::array<std::uint8_t, 2 * kNonceSize> twice;
  std::memcpy(twice.data(), nonce.data(), kNonceSize);
  std::memcpy(twice.data() + kNonceSize, nonce.data(), kNonceSize);
  return {nonce.data(), {load_word(&twice[0]), load_word(&twice[8]), load_word(&twice[16])}};
}

// Visits the `n` entries below slot `above` of the ring (given as its bytes),
// nearest first, each compared in full; stops only between entries.
bool any_matches_downward(const std::uint8_t* ring, std::size_t above, std::size_t n,
                          const Probe& probe) noexcept {
  const std::array<std::uint64_t, kProbeWords> words = probe.words;  // kept in registers
  std::size_t visited = 0;
  for (; visited + kGroupEntries <= n; visited += kGroupEntries) {
    const std::uint8_t* group = ring + (above - visited - kGroupEntries) * kNonceSize;
    std::array<std::uint64_t, kGroupWords> x;
    for (std::size_t k = 0; k < kGroupWords; ++k) {
      x[k] = load_word(group + 8 * k) ^ words[k % kProbeWords];
    }
    // Entry 3 of the group, the newest, is the top half of x[4] and all of
    // x[5]; entry 2 is x[3] and the bottom half of x[4]; and so on down.
    if (no_difference((x[4] >> 32) | x[5])) return true;
    if (no_difference(x[3] | (x[4] << 32))) return true;
    if (no_difference((x[1] >> 32) | x[2])) return true;
    if (no_difference(x[0] | (x[1] << 32))) return true;
  }
  for (; visited < n; ++visited) {
    const std::uint8_t* entry = ring + (above - visited - 1) * kNonceSize;
    if (no_difference(nonce_difference(entry, probe.nonce))) return true;
  }
  return false;
}

}  // namespace

bool NonceRing::contains(const Nonce& nonce) const noexcept {
  // Newest first: slots head - 1 down to 0, then (once the ring has wrapped)
  // 1023 down to head. Two contiguous runs keep the scan free of index arithmetic.
  static_assert(sizeof entries == kNonceWindow * kNonceSize, "entries lie back to back");
  const auto* ring = reinterpret_cast<const std::uint8_t*>(entries.data());
  const std::size_t remembered = std::min<std::uint64_t>(count, kNonceWindow);
  const std::size_t newest = head % kNonceWindow;
  const std::size_t before_head = std::min(remembered, newest);
  const Probe probe = make_probe(nonce);
  if (any_matches_downward(ring, newest, before_head, probe)) return true;
  return any_matches_downward(ring, kNonceWindow, remembered - before_head, probe);
}

void NonceRing::record(const Nonce& nonce) noexcept {
  entries[head % kNonceWindow] = nonce;
  head = (head + 1) % kNonceWindow;
  if (count < kNonceWindow) ++count;
}

}  // namespace kelvara::security
