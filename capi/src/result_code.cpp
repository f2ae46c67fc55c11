// The result codes of the C interface and their texts. The texts are the
// security kinds' and the refusal reasons' own, so C and Python show the same
// words; only success, the null pointer and unknown values are named here.
#include "result_code.hpp"

#include <array>
#include <string_view>

#include "kelvara.h"
#include "kelvara/edge/outcome_stats.hpp"
#include "kelvara/security/kel_error.hpp"

namespace kelvara::capi {
namespace {

using edge::RefusalReason;
using security::KelError;

// The reasons' numbers are the edge library's; the C names must match them.
static_assert(KELVARA_ERR_VELOCITY_EXCEEDED == edge::reason_number(RefusalReason::VelocityExceeded) &&
              KELVARA_ERR_RATE_LIMITED == edge::reason_number(RefusalReason::RateLimited) &&
              KELVARA_ERR_STALE_RECEIPT == edge::reason_number(RefusalReason::StaleReceipt) &&
              KELVARA_ERR_POISONED_STATE == edge::reason_number(RefusalReason::Poisoned) &&
              KELVARA_ERR_NONCE_FAILURE == edge::reason_number(RefusalReason::NonceFailure) &&
              KELVARA_ERR_OTHER_PROCESS == edge::reason_number(RefusalReason::OtherProcess) &&
              KELVARA_ERR_CLOCK_FAILURE == edge::reason_number(RefusalReason::ClockFailure) &&
              KELVARA_ERR_INTERNAL_FAULT == edge::reason_number(RefusalReason::InternalFault) &&
              KELVARA_ERR_INTERNAL_FAULT < static_cast<std::int32_t>(edge::kOutcomeNumbers) &&
              KELVARA_OUTCOME_COUNT == edge::kOutcomeNumbers);

static_assert(KELVARA_ERR_INVALID_POINTER == security::number(KelError::InvalidPointer) &&
              KELVARA_ERR_ACTION_ID_OVERFLOW == security::number(KelError::ActionIdOverflow) &&
              KELVARA_ERR_PAYLOAD_OVERFLOW == security::number(KelError::PayloadOverflow) &&
              KELVARA_ERR_INVALID_RECEIPT == security::number(KelError::InvalidReceipt) &&
              KELVARA_ERR_INVALID_KEY_LENGTH == security::number(KelError::InvalidKeyLength) &&
              KELVARA_ERR_AUTHENTICATION_FAILURE == security::number(KelError::AuthenticationFailure) &&
              KELVARA_ERR_REPLAY_COUNTER == security::number(KelError::ReplayCounter) &&
              KELVARA_ERR_REPLAY_NONCE == security::number(KelError::ReplayNonce) &&
              KELVARA_ERR_HARDWARE_SHA_UNAVAILABLE == security::number(KelError::HardwareShaUnavailable) &&
              security::kKelErrorKinds == 9);

bool is_kind(std::int32_t result) noexcept {
  return result >= 1 && result <= static_cast<std::int32_t>(security::kKelErrorKinds);
}

// Every reason but Security, whose results are the kinds' numbers.
constexpr std::array<RefusalReason, 8> kReasons = {
    RefusalReason::VelocityExceeded, RefusalReason::RateLimited,   RefusalReason::StaleReceipt,
    RefusalReason::Poisoned,         RefusalReason::NonceFailure,  RefusalReason::OtherProcess,
    RefusalReason::ClockFailure,     RefusalReason::InternalFault,
};

const RefusalReason* reason_of(std::int32_t result) noexcept {
  for (const RefusalReason& reason : kReasons) {
    if (edge::reason_number(reason) == result) return &reason;
  }
  return nullptr;
}

// Every text below is a view of a string literal, so its data() ends in a NUL.
const char* text_of(std::int32_t result, std::string_view (*kind_text)(KelError),
                    std::string_view (*reason_text)(RefusalReason), const char* ok, const char* null_pointer,
                    const char* unknown) noexcept {
  if (result == KELVARA_OK) return ok;
  if (result == KELVARA_ERR_NULL_POINTER) return null_pointer;
  if (is_kind(result)) return kind_text(static_cast<KelError>(result)).data();
  if (const RefusalReason* reason = reason_of(result)) return reason_text(*reason).data();
  return unknown;
}

}  // namespace

std::int32_t result_code(const edge::Refusal& refusal) noexcept { return refusal.number(); }

}  // namespace kelvara::capi

extern "C" const char* kelvara_error_code(int32_t result) noexcept {
  return kelvara::capi::text_of(result, kelvara::security::code, kelvara::edge::reason_code, "ok",
                                "null_pointer", "unknown_error");
}

extern "C" const char* kelvara_error_message(int32_t result) noexcept {
  return kelvara::capi::text_of(result, kelvara::security::message, kelvara::edge::reason_summary, "success",
                                "a required pointer is null", "unknown result code");
}
