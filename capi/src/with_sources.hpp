// The C boundary and gate over a chosen clock and random source: what
// kelvara_boundary_new and kelvara_gate_init do with the system's sources, and
// what the tests do with fakes.
#pragma once

#include <cstdint>

#include "kelvara.h"
#include "kelvara/edge/platform_sources.hpp"

namespace kelvara::capi {

KelvaraBoundary* new_boundary(std::uint64_t rate_limit, double max_velocity_rad_s, const std::uint8_t* key,
                              edge::PlatformSources sources) noexcept;

std::int32_t init_gate(KelvaraGate* gate, const std::uint8_t* key, edge::PlatformSources sources) noexcept;

KelvaraSigner* new_signer(const std::uint8_t* key, std::uint8_t key_id, std::uint32_t stream_id,
                          std::size_t axes, const double* max_velocity_rad_s, std::uint32_t rate_limit,
                          edge::PlatformSources sources) noexcept;

std::int32_t init_command_gate(KelvaraCommandGate* gate, std::size_t axes, std::uint64_t max_age_nanos,
                               edge::PlatformSources sources) noexcept;

}  // namespace kelvara::capi
