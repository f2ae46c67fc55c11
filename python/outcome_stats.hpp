// The `stats` attribute of every sender and gate class: a new dict from
// outcome code to count, the success key first, then each refusal the class
// can raise as KelViolation, in the order it checks them; zeros included, so
// the keys never depend on what has happened.
#pragma once

#include <Python.h>

#include <span>

#include "kelvara/edge/outcome_stats.hpp"
#include "kelvara/security/outcome.hpp"

namespace kelvara::py {

// Each key of `refusals` is its outcome's code.
PyObject* stats_mapping(const edge::OutcomeStats& stats, const char* success_key,
                        std::span<const security::Outcome> refusals);

}  // namespace kelvara::py
