// Every outcome of the system other than success, read from the one list in
// kelvara/outcomes.h: its number, code, message and kind. The security layer's
// KelError, the edge refusals, the C result texts and the Python exceptions
// all take their facts from here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "kelvara/outcomes.h"

namespace kelvara::security {

enum class OutcomeKind : std::uint8_t {
  Refusal = KELVARA_OUTCOME_REFUSAL,  // the command was judged and refused
  Fault = KELVARA_OUTCOME_FAULT,      // the machinery failed; the command was never judged
};

// Every outcome by name; its value is its number.
enum class Outcome : std::int32_t {
#define KELVARA_OUTCOME_ENUMERATOR_(number, NAME, Name, kind, code, message) Name = (number),
  KELVARA_OUTCOMES(KELVARA_OUTCOME_ENUMERATOR_)
#undef KELVARA_OUTCOME_ENUMERATOR_
};

struct OutcomeRow {
  std::int32_t number;
  std::string_view constant;  // the C constant, "KELVARA_ERR_REPLAY_NONCE"
  std::string_view code;      // "replay_nonce"
  std::string_view message;   // "nonce reuse detected"
  OutcomeKind kind;
};

// Every text is a string literal, so its data() also ends in a NUL for C.
inline constexpr std::array kOutcomeRows = {
#define KELVARA_OUTCOME_ROW_(number, NAME, Name, kind, code, message) \
  OutcomeRow{(number), "KELVARA_ERR_" #NAME, code, message, static_cast<OutcomeKind>(KELVARA_OUTCOME_##kind)},
    KELVARA_OUTCOMES(KELVARA_OUTCOME_ROW_)
#undef KELVARA_OUTCOME_ROW_
};

// The row numbered `number`, or null for a number no outcome has.
constexpr const OutcomeRow* find_outcome(std::int32_t number) noexcept {
  for (const OutcomeRow& row : kOutcomeRows) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

// Every enumerator has its row, so this never fails.
constexpr const OutcomeRow& row_of(Outcome outcome) noexcept {
  return *find_outcome(static_cast<std::int32_t>(outcome));
}

constexpr std::int32_t number(Outcome outcome) noexcept { return static_cast<std::int32_t>(outcome); }

}  // namespace kelvara::security
