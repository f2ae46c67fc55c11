// The command signer in C: a heap-held edge CommandSigner. Converts the
// arguments, maps each refusal to its result code and lets no exception out.
#include <algorithm>
#include <new>
#include <span>

#include "kelvara.h"
#include "kelvara/edge/command_signer.hpp"
#include "kelvara/security/secure_wipe.hpp"
#include "result_code.hpp"
#include "with_sources.hpp"

struct KelvaraSigner {
  KelvaraSigner(const kelvara::edge::SignerConfig& config, kelvara::edge::PlatformSources sources)
      : signer(config, sources, "KelvaraSigner") {}

  kelvara::edge::CommandSigner signer;
};

namespace kelvara::capi {

static_assert(KELVARA_FRAME_MAX_AXES == security::kFrameMaxAxes &&
              KELVARA_FRAME_SIZE(7) == security::frame_size(7) &&
              KELVARA_FRAME_HEADER_SIZE == security::kFrameHeaderSize &&
              KELVARA_SIGNER_MAX_RATE_LIMIT == edge::kMaxSignerRateLimit);

KelvaraSigner* new_signer(const std::uint8_t* key, std::uint8_t key_id, std::uint32_t stream_id,
                          std::size_t axes, const double* max_velocity_rad_s, std::uint32_t rate_limit,
                          edge::PlatformSources sources) noexcept {
  if (key == nullptr || max_velocity_rad_s == nullptr) return nullptr;
  edge::SignerConfig config{.key = {},
                            .key_id = key_id,
                            .stream_id = stream_id,
                            .axes = axes,
                            .max_velocity_rad_s = {},
                            .rate_limit = rate_limit};
  const security::WipedOnExit wiped_key(config.key);
  if (axes == 0 || axes > security::kFrameMaxAxes) return nullptr;
  std::copy_n(max_velocity_rad_s, axes, config.max_velocity_rad_s.begin());
  if (!edge::check_signer_config(config)) return nullptr;
  std::copy_n(key, config.key.size(), config.key.begin());
  try {
    return new KelvaraSigner(config, sources);
  } catch (...) {  // memory is short (the signer or its rate window)
    return nullptr;
  }
}

}  // namespace kelvara::capi

extern "C" KelvaraSigner* kelvara_signer_new(const uint8_t key[KELVARA_KEY_SIZE], uint8_t key_id,
                                             uint32_t stream_id, size_t axes,
                                             const double* max_velocity_rad_s, uint32_t rate_limit) noexcept {
  return kelvara::capi::new_signer(key, key_id, stream_id, axes, max_velocity_rad_s, rate_limit,
                                   kelvara::edge::PlatformSources{});
}

extern "C" int32_t kelvara_signer_sign(KelvaraSigner* signer, const double* positions,
                                       const double* velocities, uint8_t* frame, size_t capacity,
                                       size_t* written) noexcept {
  if (signer == nullptr || positions == nullptr || velocities == nullptr || frame == nullptr ||
      written == nullptr) {
    return KELVARA_ERR_NULL_POINTER;
  }
  const std::size_t axes = signer->signer.axes();
  try {
    const auto outcome = signer->signer.sign(std::span(positions, axes), std::span(velocities, axes),
                                             std::span(frame, capacity));
    if (!outcome) return kelvara::capi::result_code(outcome.error());
    *written = *outcome;
    return KELVARA_OK;
  } catch (...) {  // the signer reports its own faults; this is one it could not
    return KELVARA_ERR_INTERNAL_FAULT;
  }
}

extern "C" void kelvara_signer_free(KelvaraSigner* signer) noexcept { delete signer; }
