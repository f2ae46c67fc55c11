#include "kelvara/security/kel_error.hpp"

#include <array>

namespace kelvara::security {
namespace {

using namespace std::string_view_literals;

// Indexed by the kind's number minus one; static texts, so a lookup never allocates.
constexpr std::array<std::string_view, kKelErrorKinds> kCodes = {
    "invalid_pointer"sv, "action_id_overflow"sv, "payload_overflow"sv,
    "invalid_receipt"sv, "invalid_key_length"sv, "authentication_failure"sv,
    "replay_counter"sv,  "replay_nonce"sv,       "hardware_sha_unavailable"sv,
};

constexpr std::array<std::string_view, kKelErrorKinds> kMessages = {
    "null or misaligned pointer"sv,
    "action id exceeds maximum size"sv,
    "payload exceeds maximum size"sv,
    "receipt is malformed"sv,
    "key must be 32 bytes"sv,
    "HMAC verification failed"sv,
    "monotonic counter violation (replay)"sv,
    "nonce reuse detected"sv,
    "hardware SHA unavailable"sv,
};

constexpr std::size_t index_of(KelError kind) noexcept { return static_cast<std::size_t>(number(kind)) - 1; }

}  // namespace

std::string_view code(KelError kind) noexcept { return kCodes[index_of(kind)]; }
std::string_view message(KelError kind) noexcept { return kMessages[index_of(kind)]; }

}  // namespace kelvara::security
