// The general projection on any envelope and command: make() refuses exactly
// the envelopes without meaning and keeps the values it accepts; a projection
// ends (the change count stays under its cap); an optimal result lies in the
// box exactly and in the envelope by contains(); every other status hands
// back what its documentation says (the command for INVALID, the box clamp
// otherwise); projecting in place gives the same bits.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz_input.hpp"
#include "kelvara/core/envelope.hpp"

namespace {

using kelvara::core::Envelope;
using kelvara::core::EnvelopeFault;

constexpr double kSpecial[] = {0.0,
                               -0.0,
                               1.0,
                               -1.0,
                               HUGE_VAL,
                               -HUGE_VAL,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               1e-300,
                               1e300};

double pick_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    case 1: return double(in.ConsumeIntegral<std::int8_t>()) / 8.0;
    case 2: return double(in.ConsumeIntegral<std::int16_t>()) / 64.0;
    default: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What make() must say about these values, checked in its own order.
bool refusal_expected(std::size_t n, const double* lo, const double* hi, std::size_t m, const double* a,
                      const double* b, EnvelopeFault& fault) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(lo[i]) || std::isnan(hi[i])) return fault = EnvelopeFault::NanBound, true;
    if (lo[i] > hi[i]) return fault = EnvelopeFault::BoundsReversed, true;
    if (lo[i] == HUGE_VAL || hi[i] == -HUGE_VAL) return fault = EnvelopeFault::UnreachableBound, true;
  }
  for (std::size_t k = 0; k < n * m; ++k) {
    if (!std::isfinite(a[k])) return fault = EnvelopeFault::NonFiniteCoefficient, true;
  }
  for (std::size_t r = 0; r < m; ++r) {
    if (std::isnan(b[r])) return fault = EnvelopeFault::NanLimit, true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, kelvara::core::kEnvelopeMaxAxes);
  const std::size_t m = in.ConsumeIntegralInRange<std::size_t>(0, kelvara::core::kEnvelopeMaxRows);
  // Mostly sane bounds, so that the solve itself gets exercised.
  const bool sane_box = in.ConsumeBool();
  double lo[32], hi[32], a[32 * 32], b[32], u[32], x[32], y[32];
  for (std::size_t i = 0; i < n; ++i) {
    lo[i] = pick_double(in);
    hi[i] = pick_double(in);
    if (sane_box && !(lo[i] <= hi[i])) {
      lo[i] = -1.0;
      hi[i] = 1.0;
    }
  }
  for (std::size_t k = 0; k < n * m; ++k) a[k] = pick_double(in);
  for (std::size_t r = 0; r < m; ++r) b[r] = pick_double(in);
  for (std::size_t i = 0; i < n; ++i) u[i] = pick_double(in);

  const auto made = Envelope::make(n, lo, hi, m, a, b);
  EnvelopeFault fault{};
  const bool refuse = refusal_expected(n, lo, hi, m, a, b, fault);
  FUZZ_CHECK(made.has_value() != refuse);
  if (!made) {
    FUZZ_CHECK(made.error() == fault);
    return 0;
  }
  const Envelope& e = *made;
  FUZZ_CHECK(e.axes() == n && e.rows() == m);
  for (std::size_t i = 0; i < n; ++i)
    FUZZ_CHECK(same_bits(e.min_bound(i), lo[i]) && same_bits(e.max_bound(i), hi[i]));
  for (std::size_t r = 0; r < m; ++r) {
    FUZZ_CHECK(same_bits(e.limit(r), b[r]));
    for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(same_bits(e.coefficient(r, i), a[r * n + i]));
  }

  const auto result = e.project(u, x);
  FUZZ_CHECK(result.iterations <= 8 * (2 * n + m) + 16);
  bool finite = true;
  for (std::size_t i = 0; i < n; ++i) finite = finite && std::isfinite(u[i]);
  switch (result.status) {
    case KELVARA_STATUS_INVALID:
      FUZZ_CHECK(!finite);
      for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(same_bits(x[i], u[i]));
      break;
    case KELVARA_STATUS_OPTIMAL:
      FUZZ_CHECK(finite);
      FUZZ_CHECK(e.contains(x));
      for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(lo[i] <= x[i] && x[i] <= hi[i]);
      break;
    case KELVARA_STATUS_INFEASIBLE:
    case KELVARA_STATUS_NUMERICAL_FAILURE:
      FUZZ_CHECK(finite);
      for (std::size_t i = 0; i < n; ++i) {
        const double clamped = u[i] < lo[i] ? lo[i] : (u[i] > hi[i] ? hi[i] : u[i]);
        FUZZ_CHECK(same_bits(x[i], clamped));
      }
      break;
    default: FUZZ_CHECK(false);
  }

  // In place, the same bits.
  std::memcpy(y, u, n * sizeof u[0]);
  const auto again = e.project(y, y);
  FUZZ_CHECK(again.status == result.status && again.iterations == result.iterations);
  FUZZ_CHECK(std::memcmp(x, y, n * sizeof x[0]) == 0);
  return 0;
}
