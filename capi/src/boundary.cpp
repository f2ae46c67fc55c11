// The sender's boundary in C: a heap-held edge authorizer. Converts the
// arguments, maps each refusal to its result code and lets no exception out.
#include <algorithm>
#include <exception>
#include <new>

#include "kelvara.h"
#include "kelvara/edge/edge_authorizer.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "result_code.hpp"
#include "with_sources.hpp"

struct KelvaraBoundary {
  KelvaraBoundary(const kelvara::edge::AuthorizerConfig& config, std::uint64_t now,
                  kelvara::edge::PlatformSources sources) noexcept
      : authorizer(config, now, sources, "KelvaraBoundary") {}

  kelvara::edge::EdgeAuthorizer authorizer;
};

namespace kelvara::capi {

static_assert(KELVARA_KEY_SIZE == security::kKeySize && KELVARA_RECEIPT_SIZE == security::kReceiptSize);

KelvaraBoundary* new_boundary(std::uint64_t rate_limit, double max_velocity_rad_s, const std::uint8_t* key,
                              edge::PlatformSources sources) noexcept {
  if (key == nullptr) return nullptr;
  try {
    const auto now = sources.now();  // opens the first rate window
    if (!now) return nullptr;
    edge::AuthorizerConfig config{
        .rate_limit = rate_limit, .max_velocity_rad_s = max_velocity_rad_s, .key = {}};
    const security::WipedOnExit wiped_key(config.key);
    std::copy_n(key, config.key.size(), config.key.begin());
    return new (std::nothrow) KelvaraBoundary(config, *now, sources);
  } catch (...) {  // a clock seam that throws (or cannot say why it failed)
    return nullptr;
  }
}

}  // namespace kelvara::capi

extern "C" KelvaraBoundary* kelvara_boundary_new(uint64_t rate_limit, double max_velocity_rad_s,
                                                 const uint8_t key[KELVARA_KEY_SIZE]) noexcept {
  return kelvara::capi::new_boundary(rate_limit, max_velocity_rad_s, key, kelvara::edge::PlatformSources{});
}

extern "C" int32_t kelvara_boundary_authorize(KelvaraBoundary* boundary, int32_t target_axis,
                                              double requested_position, double commanded_velocity,
                                              uint8_t receipt_out[KELVARA_RECEIPT_SIZE]) noexcept {
  if (boundary == nullptr || receipt_out == nullptr) return KELVARA_ERR_NULL_POINTER;
  try {
    const auto outcome = boundary->authorizer.authorize(target_axis, requested_position, commanded_velocity);
    if (!outcome) return kelvara::capi::result_code(outcome.error());
    std::ranges::copy(outcome->receipt_hash, receipt_out);
    return KELVARA_OK;
  } catch (...) {  // the authorizer reports its own faults; this is one it could not
    return KELVARA_ERR_INTERNAL_FAULT;
  }
}

extern "C" int32_t kelvara_boundary_stats(const KelvaraBoundary* boundary,
                                          KelvaraOutcomeCounts* out) noexcept {
  if (boundary == nullptr || out == nullptr) return KELVARA_ERR_NULL_POINTER;
  const auto counts = boundary->authorizer.stats().counts();
  std::ranges::copy(counts, out->count);
  return KELVARA_OK;
}

extern "C" void kelvara_boundary_free(KelvaraBoundary* boundary) noexcept { delete boundary; }
