// The kernel Envelope a KelvaraEnvelope holds, for the C functions that take
// one (the envelope's own, and the command gate's set_envelope).
#pragma once

#include "kelvara.h"
#include "kelvara/core/envelope.hpp"

namespace kelvara::capi {

// The envelope the storage holds, or null when it holds none (never
// initialised, zeroed, misaligned, or null).
const core::Envelope* envelope_in(const KelvaraEnvelope* envelope) noexcept;

}  // namespace kelvara::capi
