// Timing check of the constant-time comparisons, in the manner of dudect:
// each comparison is timed over at least a million inputs per class, the
// classes randomly interleaved (operands equal; differing at the first byte;
// differing at the last byte), and Welch's t-test asks whether the classes'
// timing distributions differ. Measurements are cropped at several
// percentiles to shed interrupts and other outliers; the largest |t| over the
// crops is reported. |t| >= 4.5 is taken as a leak and fails the run.
//
// The ring scan and the tag check refuse by a branch on the outcome, which is
// public (the verdict); for them only where the operands differ is compared
// (first byte against last byte), and that must not show.
//
// Build without sanitizers at -O2 (scripts/run-timing.sh); the comparisons
// live in the library, so they are timed as real calls.
#include <x86intrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kelvara/security/constant_time.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/nonce_ring.hpp"
#include "kelvara/security/tag_check.hpp"

namespace {

using namespace kelvara::security;

constexpr std::size_t kPerClass = 1'000'000;
constexpr std::size_t kBatch = 10'000;
constexpr double kLeakThreshold = 4.5;
constexpr std::array<double, 6> kCropPercentiles = {1.0, 0.99, 0.95, 0.9, 0.8, 0.5};

enum Class : std::uint8_t { Equal = 0, FirstByte = 1, LastByte = 2 };
constexpr std::array<const char*, 3> kClassNames = {"equal", "first", "last"};

std::uint64_t g_random = 0x9e3779b97f4a7c15u;
std::uint64_t next_random() {  // splitmix64
  std::uint64_t z = (g_random += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

template <std::size_t N>
std::array<std::uint8_t, N> random_bytes() {
  std::array<std::uint8_t, N> bytes;
  for (auto& b : bytes) b = static_cast<std::uint8_t>(next_random());
  return bytes;
}

// The operand of each class: the reference itself, or a copy with one bit
// flipped in its first or its last byte.
template <std::size_t N>
std::array<std::array<std::uint8_t, N>, 3> variants(const std::array<std::uint8_t, N>& reference) {
  auto first = reference, last = reference;
  first[0] ^= 0x01;
  last[N - 1] ^= 0x80;
  return {reference, first, last};
}

inline std::uint64_t cycles() {
  _mm_lfence();
  const std::uint64_t t = __rdtsc();
  _mm_lfence();
  return t;
}

// Cycle counts of one comparison, by class.
using Samples = std::array<std::vector<std::uint32_t>, 3>;

// Times `compare(input)` over randomly interleaved classes until each of
// `classes` has kPerClass measurements.
template <typename Input, typename Compare>
Samples measure(const std::array<Input, 3>& inputs, std::vector<Class> classes, Compare compare) {
  Samples samples;
  std::vector<Class> order(kBatch);
  std::vector<Input> prepared(kBatch);
  std::uint64_t sink = 0;
  auto enough = [&] {
    return std::all_of(classes.begin(), classes.end(),
                       [&](Class c) { return samples[c].size() >= kPerClass; });
  };
  while (!enough()) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      order[i] = classes[next_random() % classes.size()];
      prepared[i] = inputs[order[i]];
    }
    for (std::size_t i = 0; i < kBatch; ++i) {
      const std::uint64_t start = cycles();
      sink += compare(prepared[i]);
      const std::uint64_t end = cycles();
      samples[order[i]].push_back(
          static_cast<std::uint32_t>(std::min<std::uint64_t>(end - start, UINT32_MAX)));
    }
  }
  if (sink == 0xdeadbeef) std::puts("");  // keeps the results alive
  return samples;
}

// Welch's t of two classes after cropping both at `limit` cycles.
double welch_t(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b,
               std::uint32_t limit) {
  auto moments = [limit](const std::vector<std::uint32_t>& xs) {
    double n = 0, mean = 0, m2 = 0;  // Welford
    for (std::uint32_t x : xs) {
      if (x > limit) continue;
      n += 1;
      const double delta = x - mean;
      mean += delta / n;
      m2 += delta * (x - mean);
    }
    return std::array<double, 3>{n, mean, n > 1 ? m2 / (n - 1) : 0.0};
  };
  const auto [na, ma, va] = moments(a);
  const auto [nb, mb, vb] = moments(b);
  const double spread = std::sqrt(va / na + vb / nb);
  return spread > 0 ? (ma - mb) / spread : 0.0;
}

// Prints the pairs' t values; false if any reaches the threshold.
bool report(const char* name, const Samples& samples, const std::vector<std::array<Class, 2>>& pairs) {
  std::vector<std::uint32_t> pooled;
  for (const auto& s : samples) pooled.insert(pooled.end(), s.begin(), s.end());
  std::sort(pooled.begin(), pooled.end());
  bool clean = true;
  std::printf("%-28s", name);
  for (const auto& [x, y] : pairs) {
    double worst = 0.0;
    for (double p : kCropPercentiles) {
      const auto limit = pooled[static_cast<std::size_t>(p * static_cast<double>(pooled.size() - 1))];
      const double t = welch_t(samples[x], samples[y], limit);
      if (std::fabs(t) > std::fabs(worst)) worst = t;
    }
    clean = clean && std::fabs(worst) < kLeakThreshold;
    std::printf("  %s|%s t=%+6.2f", kClassNames[x], kClassNames[y], worst);
  }
  std::size_t fewest = SIZE_MAX;
  for (const auto& [x, y] : pairs) fewest = std::min({fewest, samples[x].size(), samples[y].size()});
  std::printf("   (>= %zu per class, median %u cycles)%s\n", fewest, pooled[pooled.size() / 2],
              clean ? "" : "  LEAK");
  return clean;
}

const std::vector<std::array<Class, 2>> kAllPairs = {
    {Equal, FirstByte}, {Equal, LastByte}, {FirstByte, LastByte}};
const std::vector<std::array<Class, 2>> kWherePairs = {{FirstByte, LastByte}};

}  // namespace

int main() {
  bool clean = true;

  const Nonce nonce = random_bytes<kNonceSize>();
  const auto nonces = variants(nonce);
  clean &= report("nonce constant_time_equal",
                  measure(nonces, {Equal, FirstByte, LastByte},
                          [&](const Nonce& probe) { return constant_time_equal(nonce, probe); }),
                  kAllPairs);

  // The reference nonce in a ring of one entry (the scan's single-entry
  // comparison), four (slot by slot, the reference the last visited) and
  // sixteen (the vector comparison of a whole group of slots).
  struct RingCase {
    const char* name;
    int entries;
  };
  for (const RingCase& ring_case :
       {RingCase{"nonce ring, one entry", 1}, RingCase{"nonce ring, group of four", 4},
        RingCase{"nonce ring, group of sixteen", 16}}) {
    NonceRing ring{};
    ring.record(nonce);
    for (int i = 1; i < ring_case.entries; ++i) ring.record(random_bytes<kNonceSize>());
    clean &= report(
        ring_case.name,
        measure(nonces, {FirstByte, LastByte}, [&](const Nonce& probe) { return ring.contains(probe); }),
        kWherePairs);
  }

  const Tag tag = random_bytes<kTagSize>();
  clean &= report("tag constant_time_equal",
                  measure(variants(tag), {Equal, FirstByte, LastByte},
                          [&](const Tag& probe) { return constant_time_equal(tag, probe); }),
                  kAllPairs);

  // The whole tag check of a receipt whose tag is right or wrong at one end.
  const HmacKeyContext context = HmacKeyContext::from_key(random_bytes<kKeySize>());
  const Payload payload = random_bytes<kPayloadSize>();
  const ActionId action_id = action_id_bytes("axis_1");
  const Receipt genuine = *authorize(context, nonce, 1, 2, action_id, payload);
  std::array<Receipt, 3> receipts{};
  const auto tags = variants(genuine.tag);
  for (std::size_t c = 0; c < 3; ++c) receipts[c] = Receipt{genuine.nonce, 1, 2, tags[c]};
  clean &=
      report("check_tag",
             measure(receipts, {FirstByte, LastByte},
                     [&](const Receipt& r) { return check_tag(context, r, action_id, payload).has_value(); }),
             kWherePairs);

  std::printf(clean ? "timing: no leak (every |t| < 4.5)\n" : "timing: LEAK (some |t| >= 4.5)\n");
  return clean ? 0 : 1;
}
