// How a refusal of the edge library reaches C: one int32_t result code.
#pragma once

#include <cstdint>

#include "kelvara/edge/refusal.hpp"

namespace kelvara::capi {

// The number of the refusal's outcome, which is its KELVARA_ERR_ constant.
std::int32_t result_code(const edge::Refusal& refusal) noexcept;

}  // namespace kelvara::capi
