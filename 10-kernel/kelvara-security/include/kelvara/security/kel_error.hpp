// The closed set of refusals of the security boundary. Every fallible operation
// returns its value or one KelError; nothing in the library throws or logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kelvara/security/outcome.hpp"

namespace kelvara::security {

// Numbered 1 to 9, the first rows of the outcome list; the numbers are stable
// (the C interface returns them). Zero is no kind: it stands for success where
// an outcome is one integer.
enum class KelError : std::uint8_t {
#define KELVARA_KEL_ERROR_ENUMERATOR_(number, NAME, Name, kind, code, message) Name = (number),
  KELVARA_SECURITY_OUTCOMES(KELVARA_KEL_ERROR_ENUMERATOR_)
#undef KELVARA_KEL_ERROR_ENUMERATOR_
};

inline constexpr std::size_t kKelErrorKinds = 0
#define KELVARA_KEL_ERROR_COUNT_(number, NAME, Name, kind, code, message) +1
    KELVARA_SECURITY_OUTCOMES(KELVARA_KEL_ERROR_COUNT_)
#undef KELVARA_KEL_ERROR_COUNT_
    ;

constexpr std::uint8_t number(KelError kind) noexcept { return static_cast<std::uint8_t>(kind); }

// The outcome a kind is, with the same number.
constexpr Outcome outcome_of(KelError kind) noexcept { return static_cast<Outcome>(number(kind)); }

// Short snake_case code, which becomes a violation's violation_type.
std::string_view code(KelError kind) noexcept;
// One-line human-readable message.
std::string_view message(KelError kind) noexcept;

}  // namespace kelvara::security
