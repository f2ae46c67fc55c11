// The two solves of the C interface on any inputs: the scalar projection and
// the four-axis solve. Statuses stay in range, padding is never written, every
// fallback is the clamped command, an Optimal or iteration-limited result lies
// in the envelope within the feasibility tolerance, and a second call (also
// with the result record overlapping the inputs) gives the same bytes.
#include <cmath>
#include <cstring>

#include "fuzz_input.hpp"
#include "kelvara.h"
#include "kelvara/core/float_rules.hpp"

namespace {

using kelvara::core::clamp_lower_first;
using kelvara::fuzz::pick_float;

constexpr unsigned char kSentinel = 0xA5;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool untouched(const void* record, std::size_t from, std::size_t to) {
  const auto* bytes = static_cast<const unsigned char*>(record);
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != kSentinel) return false;
  }
  return true;
}

void check_scalar(FuzzedDataProvider& in) {
  ScalarConstraints c;
  for (float& x : c.a) x = pick_float(in);
  for (float& x : c.b) x = pick_float(in);
  const float u = pick_float(in), lo = pick_float(in), hi = pick_float(in);

  ScalarSolution out;
  std::memset(&out, kSentinel, sizeof out);
  FUZZ_CHECK(kelvara_solve_active_set(u, lo, hi, &c, &out) == 0);
  FUZZ_CHECK(untouched(&out, 4, 8) && untouched(&out, 20, 24));
  FUZZ_CHECK(out.iterations == 1);
  FUZZ_CHECK(out.status == KELVARA_STATUS_OPTIMAL || out.status == KELVARA_STATUS_INFEASIBLE);
  // Never a blend: one of the four candidates, bit for bit.
  const float r = c.b[0] / c.a[0];
  FUZZ_CHECK(same_bits(out.u, u) || same_bits(out.u, lo) || same_bits(out.u, hi) || same_bits(out.u, r));
  if (!(lo <= hi) || std::isnan(u)) return;
  FUZZ_CHECK(lo <= out.u && out.u <= hi);
  if (out.status == KELVARA_STATUS_OPTIMAL && c.a[0] != 0.0f && std::isfinite(c.a[0]) && std::isfinite(r) &&
      std::isfinite(out.u)) {
    // a*u <= b up to the rounding of the quotient (relative, or one subnormal step).
    const double a = c.a[0], b = c.b[0];
    FUZZ_CHECK(a * out.u <= b + 1e-6 * std::fabs(b) + std::fabs(a) * 1e-45 + 1e-30);
  }

  ScalarSolution again;
  std::memset(&again, kSentinel, sizeof again);
  kelvara_solve_active_set(u, lo, hi, &c, &again);
  FUZZ_CHECK(std::memcmp(&out, &again, sizeof out) == 0);
}

// float dot in the kernel's order, the one its feasibility tests use.
float dot(const float* p, const float* q) {
  return ((p[0] * q[0] + p[1] * q[1]) + p[2] * q[2]) + p[3] * q[3];
}

bool is_invalid(const float* u, const Multivar4dBounds& b, const Multivar4dConstraints& c) {
  if (c.count > KELVARA_MULTIVAR4D_MAX_CONSTRAINTS) return true;
  for (int i = 0; i < 4; ++i) {
    if (std::isnan(u[i]) || std::isnan(b.min_bound[i]) || std::isnan(b.max_bound[i])) return true;
    if (b.min_bound[i] > b.max_bound[i]) return true;
  }
  for (std::uint64_t j = 0; j < c.count; ++j) {
    if (std::isnan(c.b[j])) return true;
    for (float x : c.a[j]) {
      if (std::isnan(x)) return true;
    }
  }
  return false;
}

// The kernel's own promise, in its own arithmetic: within the absolute
// feasibility tolerance of every bound and constraint. A comparison with NaN
// (0 * inf in a dot product) is no violation, as in the kernel.
bool in_envelope(const float* x, const Multivar4dBounds& b, const Multivar4dConstraints& c) {
  constexpr float tol = KELVARA_MULTIVAR4D_FEASIBILITY_TOL;
  for (int i = 0; i < 4; ++i) {
    if (b.min_bound[i] - tol > x[i] || x[i] > b.max_bound[i] + tol) return false;
  }
  for (std::uint64_t j = 0; j < c.count; ++j) {
    if (dot(c.a[j], x) > c.b[j] + tol) return false;
  }
  return true;
}

// The problem and result, printed before a failed check aborts.
void describe(const float* u, const Multivar4dBounds& b, const Multivar4dConstraints& c,
              const Multivar4dSolution& out) {
  const auto row = [](const char* name, const float* v) {
    std::fprintf(stderr, "%s %a %a %a %a\n", name, v[0], v[1], v[2], v[3]);
  };
  row("u_desired", u);
  row("min_bound", b.min_bound);
  row("max_bound", b.max_bound);
  std::fprintf(stderr, "count %llu\n", static_cast<unsigned long long>(c.count));
  for (std::uint64_t j = 0; j < c.count && j < KELVARA_MULTIVAR4D_MAX_CONSTRAINTS; ++j) {
    row("a", c.a[j]);
    std::fprintf(stderr, "b %a\n", c.b[j]);
  }
  row("u", out.u);
  std::fprintf(stderr, "status %u iterations %llu\n", out.status,
               static_cast<unsigned long long>(out.iterations));
}

void check_multivar(FuzzedDataProvider& in) {
  float u[4];
  Multivar4dBounds bounds;
  Multivar4dConstraints c;
  for (float& x : u) x = pick_float(in);
  for (float& x : bounds.min_bound) x = pick_float(in);
  for (float& x : bounds.max_bound) x = pick_float(in);
  c.count = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  if (in.ConsumeBool()) c.count = in.ConsumeIntegral<std::uint64_t>();
  for (auto& row : c.a) {
    for (float& x : row) x = pick_float(in);
  }
  for (float& x : c.b) x = pick_float(in);

  Multivar4dSolution out;
  std::memset(&out, kSentinel, sizeof out);
  FUZZ_CHECK(kelvara_solve_multivar_4d(u, &bounds, &c, &out) == 0);
  if (std::getenv("KELVARA_FUZZ_DESCRIBE") != nullptr) describe(u, bounds, c, out);
  FUZZ_CHECK(untouched(&out, 28, 32));
  FUZZ_CHECK(out.status <= KELVARA_STATUS_NUMERICAL_FAILURE);
  FUZZ_CHECK((out.status == KELVARA_STATUS_INVALID) == is_invalid(u, bounds, c));
  FUZZ_CHECK(out.iterations <= KELVARA_MULTIVAR4D_MAX_ITERATIONS);
  // Optimal may come on the last iteration, so only one direction holds.
  if (out.status == KELVARA_STATUS_ITERATION_LIMIT)
    FUZZ_CHECK(out.iterations == KELVARA_MULTIVAR4D_MAX_ITERATIONS);

  float clamped[4];
  for (int i = 0; i < 4; ++i) clamped[i] = clamp_lower_first(u[i], bounds.min_bound[i], bounds.max_bound[i]);
  const bool is_clamped = std::memcmp(out.u, clamped, sizeof clamped) == 0;
  switch (out.status) {
    case KELVARA_STATUS_INVALID:
    case KELVARA_STATUS_INFEASIBLE:
    case KELVARA_STATUS_NUMERICAL_FAILURE:
      FUZZ_CHECK(is_clamped);
      FUZZ_CHECK(out.status == KELVARA_STATUS_INVALID || out.iterations == 0);
      break;
    case KELVARA_STATUS_ITERATION_LIMIT: FUZZ_CHECK(is_clamped || in_envelope(out.u, bounds, c)); break;
    case KELVARA_STATUS_OPTIMAL: FUZZ_CHECK(in_envelope(out.u, bounds, c)); break;
  }

  // Reproducible, and the result may be written over the inputs it came from.
  alignas(8) unsigned char shared[sizeof(Multivar4dSolution)];
  std::memset(shared, kSentinel, sizeof shared);
  std::memcpy(shared, u, sizeof u);
  auto* overlapping = reinterpret_cast<Multivar4dSolution*>(shared);
  kelvara_solve_multivar_4d(reinterpret_cast<const float*>(shared), &bounds, &c, overlapping);
  FUZZ_CHECK(std::memcmp(overlapping, &out, offsetof(Multivar4dSolution, status) + sizeof out.status) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    check_scalar(in);
  } else {
    check_multivar(in);
  }
  return 0;
}
