#include "kelvara/security/nonce_ring.hpp"

#include <algorithm>
#include <cstring>

#include "kelvara/security/constant_time.hpp"

namespace kelvara::security {
namespace {

// Four slots' lane at once: one vector of four 32-bit lanes, compared whole
// (each lane's four bytes at once) with ==, which gives all ones per equal lane.
using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kGroupSlots = 16;  // four vectors per lane, one test

struct Probe {
  std::array<std::uint32_t, NonceRing::kLanes> lanes;  // the nonce's three lanes
  std::array<Lanes4, NonceRing::kLanes> splat;         // each repeated four times
};

Probe make_probe(const Nonce& nonce) noexcept {
  Probe probe;
  for (std::size_t l = 0; l < NonceRing::kLanes; ++l) {
    std::memcpy(&probe.lanes[l], nonce.data() + 4 * l, 4);
    const std::uint32_t lane = probe.lanes[l];
    probe.splat[l] = Lanes4{lane, lane, lane, lane};
  }
  return probe;
}

Lanes4 load4(const std::uint32_t* lanes) noexcept {
  Lanes4 v;
  std::memcpy(&v, lanes, sizeof v);
  return v;
}

// Whether any of the sixteen slots from `first` up holds the probe: every lane
// of every slot compared, the hits of all sixteen combined, one test.
bool any_of_group_matches(const NonceRing& ring, std::size_t first, const Probe& probe) noexcept {
  Lanes4 hits{};
  for (std::size_t v = 0; v < kGroupSlots; v += 4) {
    hits |= (load4(&ring.lanes[0][first + v]) == probe.splat[0]) &
            (load4(&ring.lanes[1][first + v]) == probe.splat[1]) &
            (load4(&ring.lanes[2][first + v]) == probe.splat[2]);
  }
  std::uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof halves);
  return !no_difference(halves[0] | halves[1]);
}

// Whether one slot holds the probe.
bool slot_matches(const NonceRing& ring, std::size_t slot, const Probe& probe) noexcept {
  const std::uint32_t difference = (ring.lanes[0][slot] ^ probe.lanes[0]) |
                                   (ring.lanes[1][slot] ^ probe.lanes[1]) |
                                   (ring.lanes[2][slot] ^ probe.lanes[2]);
  return no_difference(difference);
}

// Visits the `n` slots below slot `above`, nearest first, in groups of sixteen
// and then one by one; stops only between groups (or slots).
bool any_matches_downward(const NonceRing& ring, std::size_t above, std::size_t n,
                          const Probe& probe) noexcept {
  std::size_t visited = 0;
  for (; visited + kGroupSlots <= n; visited += kGroupSlots) {
    if (any_of_group_matches(ring, above - visited - kGroupSlots, probe)) return true;
  }
  for (; visited < n; ++visited) {
    if (slot_matches(ring, above - visited - 1, probe)) return true;
  }
  return false;
}

}  // namespace

bool NonceRing::contains(const Nonce& nonce) const noexcept {
  // Newest first: slots head - 1 down to 0, then (once the ring has wrapped)
  // 1023 down to head. Two contiguous runs keep the scan free of index arithmetic.
  const std::size_t remembered = std::min<std::uint64_t>(count, kNonceWindow);
  const std::size_t newest = head % kNonceWindow;
  const std::size_t before_head = std::min(remembered, newest);
  const Probe probe = make_probe(nonce);
  if (any_matches_downward(*this, newest, before_head, probe)) return true;
  return any_matches_downward(*this, kNonceWindow, remembered - before_head, probe);
}

void NonceRing::record(const Nonce& nonce) noexcept {
  const std::size_t slot = head % kNonceWindow;
  for (std::size_t l = 0; l < kLanes; ++l) std::memcpy(&lanes[l][slot], nonce.data() + 4 * l, 4);
  head = (slot + 1) % kNonceWindow;
  if (count < kNonceWindow) ++count;
}

Nonce NonceRing::entry(std::size_t slot) const noexcept {
  Nonce nonce;
  for (std::size_t l = 0; l < kLanes; ++l) std::memcpy(nonce.data() + 4 * l, &lanes[l][slot], 4);
  return nonce;
}

}  // namespace kelvara::security
