// The closed set of refusals of the security boundary. Every fallible operation
// returns its value or one KelError; nothing in the library throws or logs.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvara::security {

// Numbered 1 to 9; the numbers are stable (the C interface returns them). Zero
// is no kind: it stands for success where an outcome is one integer.
enum class KelError : std::uint8_t {
  InvalidPointer = 1,
  ActionIdOverflow = 2,
  PayloadOverflow = 3,
  InvalidReceipt = 4,
  InvalidKeyLength = 5,
  AuthenticationFailure = 6,
  ReplayCounter = 7,
  ReplayNonce = 8,
  HardwareShaUnavailable = 9,
};

inline constexpr std::size_t kKelErrorKinds = 9;

// Short snake_case code, which becomes a violation's violation_type.
std::string_view code(KelError kind) noexcept;
// One-line human-readable message.
std::string_view message(KelError kind) noexcept;

constexpr std::uint8_t number(KelError kind) noexcept { return static_cast<std::uint8_t>(kind); }

}  // namespace kelvara::security
