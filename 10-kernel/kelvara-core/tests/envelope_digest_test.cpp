// The general projection is reproducible bit for bit: a digest of a million
// projections (feasible, degenerate, empty, infinite, badly scaled and invalid
// envelopes and commands) changes if any sum is reordered or any product
// fused. The inputs come from integer arithmetic only (no library maths), so
// that they are the same on every machine. Unoptimised builds check the first
// 100,000 projections only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>

#include "kelvara/core/envelope.hpp"

namespace {

using kelvara::core::Envelope;

class Inputs {
 public:
  explicit Inputs(std::uint64_t seed) : rng_(seed) {}

  double unit() { return double(rng_() >> 11) * 0x1p-53; }  // [0, 1)
  double between(double lo, double hi) { return lo + (hi - lo) * unit(); }
  unsigned below(unsigned n) { return unsigned(rng_() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }

  // Mostly moderate values; now and then a special one.
  double value(double scale, bool hostile) {
    if (hostile && chance(3)) {
      switch (below(6)) {
        case 0: return HUGE_VAL;
        case 1: return -HUGE_VAL;
        case 2: return std::nan("");
        case 3: return 0.0;
        case 4: return between(-1.0, 1.0) * 1e300;
        default: return between(-1.0, 1.0) * 1e-300;
      }
    }
    return between(-1.0, 1.0) * scale;
  }

 private:
  std::mt19937_64 rng_;
};

struct Digest {
  std::uint64_t value = 0xcbf29ce484222325u;  // FNV-1a
  void mix(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 0x100000001b3u;
  }
};

TEST(EnvelopeReproducibility, ResultsOfAMillionProjectionsAreStable) {
  constexpr int kCommandsPerEnvelope = 8;
  constexpr int kPrefixProjections = 100'000;
  constexpr std::uint64_t kPrefixDigest = 17084739687405093472u;
  constexpr std::uint64_t kFullDigest = 9786488746845735376u;
#ifdef NDEBUG
  constexpr int kProjections = 1'000'000;
#else
  constexpr int kProjections = kPrefixProjections;
#endif
  Inputs in(20261209);
  Digest digest;
  std::map<std::uint32_t, int> outcomes;
  int refused = 0;
  int plain_failures = 0;
  double lo[32], hi[32], a[32 * 32], b[32], u[32], x[32];
  for (int done = 0; done < kProjections;) {
    const bool hostile = in.chance(25);
    const std::size_t n = 1 + in.below(hostile ? 32 : 12);
    const std::size_t m = in.below(hostile ? 33 : 13);
    const double scale = hostile ? std::ldexp(1.0, int(in.below(200)) - 100) : 1.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double centre = in.value(scale, false);
      const double half = in.between(0.0, 3.0) * scale;
      lo[i] = in.chance(10) ? -HUGE_VAL : centre - half;
      hi[i] = in.chance(10) ? HUGE_VAL : centre + half;
      if (in.chance(10)) lo[i] = hi[i] = centre;  // a locked axis
      if (hostile && in.chance(2)) lo[i] = in.value(scale, true);
    }
    for (std::size_t r = 0; r < m; ++r) {
      const unsigned kind = in.below(10);
      double through = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        double& c = a[r * n + i];
        if (kind == 0 && r > 0) {
          c = a[(r - 1) * n + i] * (in.chance(50) ? 1.0 : in.between(-2.0, 2.0));  // parallel
        } else if (kind == 1) {
          c = 0.0;  // a zero row
        } else {
          c = in.value(1.0, hostile);
        }
        if (std::isfinite(lo[i]) && std::isfinite(hi[i])) through += c * 0.5 * (lo[i] + hi[i]);
      }
      b[r] = in.chance(5) ? (in.chance(50) ? HUGE_VAL : -HUGE_VAL) : through + in.between(-0.5, 1.0) * scale;
      if (hostile && in.chance(3)) b[r] = in.value(scale, true);
    }
    const auto made = Envelope::make(n, lo, hi, m, a, b);
    if (!made) {
      const auto fault = made.error();
      digest.mix(&fault, sizeof fault);
      ++refused;
      continue;
    }
    for (int k = 0; k < kCommandsPerEnvelope && done < kProjections; ++k, ++done) {
      const bool wild = hostile || in.chance(1);
      for (std::size_t i = 0; i < n; ++i) u[i] = in.value(4.0 * scale, wild);
      const auto result = made->project(u, x);
      digest.mix(&result, sizeof result);
      digest.mix(x, n * sizeof x[0]);
      ++outcomes[result.status];
      // Within the documented magnitudes nothing fails.
      plain_failures += !wild && result.status == KELVARA_STATUS_NUMERICAL_FAILURE;
      if (done + 1 == kPrefixProjections) {
        EXPECT_EQ(digest.value, kPrefixDigest);
      }
    }
  }
  if (kProjections > kPrefixProjections) {
    EXPECT_EQ(digest.value, kFullDigest);
  }
  EXPECT_EQ(plain_failures, 0);

  // Guard against a vacuous digest: the set reaches every outcome.
  EXPECT_GT(refused, kProjections / 1000);
  for (std::uint32_t status : {KELVARA_STATUS_INVALID, KELVARA_STATUS_OPTIMAL, KELVARA_STATUS_INFEASIBLE}) {
    EXPECT_GT(outcomes[status], kProjections / 100) << "status " << status;
  }
  std::printf("outcomes: invalid %d, optimal %d, infeasible %d, numerical failure %d; refused envelopes %d\n",
              outcomes[KELVARA_STATUS_INVALID], outcomes[KELVARA_STATUS_OPTIMAL],
              outcomes[KELVARA_STATUS_INFEASIBLE], outcomes[KELVARA_STATUS_NUMERICAL_FAILURE], refused);
}

}  // namespace
