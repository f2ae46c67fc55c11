// The `stats` attribute of every sender and gate class: a new dict from
// outcome code to count, the success key first, then each refusal the class
// can raise as KelViolation, in the order it checks them; zeros included, so
// the keys never depend on what has happened.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "kelvara/edge/outcome_stats.hpp"

namespace kelvara::py {

// `refusals` are outcome numbers; each key is the number's code text.
PyObject* stats_mapping(const edge::OutcomeStats& stats, const char* success_key,
                        std::span<const std::int32_t> refusals);

}  // namespace kelvara::py
