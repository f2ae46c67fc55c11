// How a refusal of the edge library reaches C: one int32_t result code.
#pragma once

#include <cstdint>

#include "kelvara/edge/refusal.hpp"

namespace kelvara::capi {

// The number of the kind for a security refusal, else the KELVARA_ERR_
// constant of the reason.
std::int32_t result_code(const edge::Refusal& refusal) noexcept;

}  // namespace kelvara::capi
