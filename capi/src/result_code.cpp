// The result codes of the C interface and their texts. The texts are the
// security kinds' and the refusal reasons' own, so C and Python show the same
// words; only success, the null pointer and unknown values are named here.
#include "result_code.hpp"

#include <array>
#include <string_view>

#include "kelvara.h"
#include "kelvara/security/kel_error.hpp"

namespace kelvara::capi {
namespace {

using edge::RefusalReason;
using security::KelError;

struct ReasonCode {
  std::int32_t code;
  RefusalReason reason;
};

// Every reason but Security, whose codes are the kinds' numbers.
constexpr std::array<ReasonCode, 20> kReasonCodes = {{
    {KELVARA_ERR_VELOCITY_EXCEEDED, RefusalReason::VelocityExceeded},
    {KELVARA_ERR_RATE_LIMITED, RefusalReason::RateLimited},
    {KELVARA_ERR_STALE_RECEIPT, RefusalReason::StaleReceipt},
    {KELVARA_ERR_POISONED_STATE, RefusalReason::Poisoned},
    {KELVARA_ERR_NONCE_FAILURE, RefusalReason::NonceFailure},
    {KELVARA_ERR_OTHER_PROCESS, RefusalReason::OtherProcess},
    {KELVARA_ERR_CLOCK_FAILURE, RefusalReason::ClockFailure},
    {KELVARA_ERR_INTERNAL_FAULT, RefusalReason::InternalFault},
    {KELVARA_ERR_INVALID_FRAME, RefusalReason::InvalidFrame},
    {KELVARA_ERR_UNKNOWN_KEY, RefusalReason::UnknownKey},
    {KELVARA_ERR_UNKNOWN_STREAM, RefusalReason::UnknownStream},
    {KELVARA_ERR_STALE_FRAME, RefusalReason::StaleFrame},
    {KELVARA_ERR_NON_FINITE_VALUE, RefusalReason::NonFiniteValue},
    {KELVARA_ERR_OUTSIDE_ENVELOPE, RefusalReason::OutsideEnvelope},
    {KELVARA_ERR_STEP_EXCEEDED, RefusalReason::StepExceeded},
    {KELVARA_ERR_FRAME_BUFFER_TOO_SMALL, RefusalReason::FrameBufferTooSmall},
    {KELVARA_ERR_DUPLICATE_KEY, RefusalReason::DuplicateKey},
    {KELVARA_ERR_STREAM_TABLE_FULL, RefusalReason::StreamTableFull},
    {KELVARA_ERR_INVALID_ARGUMENT, RefusalReason::InvalidArgument},
    {KELVARA_ERR_RESTORED_STORAGE, RefusalReason::RestoredStorage},
}};

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

// Refusals of the C interface's own checks, which no edge refusal carries.
struct OwnOutcome {
  std::int32_t code;
  const char* code_text;
  const char* message;
};

constexpr std::array<OwnOutcome, 1> kOwnOutcomes = {{
    {KELVARA_ERR_INVALID_ENVELOPE, "invalid_envelope",
     "the envelope is invalid: axes outside 1 to 32, more than 32 rows, a NaN bound, min_bound above "
     "max_bound, a lower bound of +inf or an upper bound of -inf, a NaN or infinite coefficient, or a NaN "
     "limit"},
}};

const OwnOutcome* own_outcome_of(std::int32_t result) noexcept {
  for (const OwnOutcome& entry : kOwnOutcomes) {
    if (entry.code == result) return &entry;
  }
  return nullptr;
}

bool is_kind(std::int32_t result) noexcept {
  return result >= 1 && result <= static_cast<std::int32_t>(security::kKelErrorKinds);
}

const ReasonCode* reason_of(std::int32_t result) noexcept {
  for (const ReasonCode& entry : kReasonCodes) {
    if (entry.code == result) return &entry;
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
  if (const ReasonCode* entry = reason_of(result)) return reason_text(entry->reason).data();
  return unknown;
}

}  // namespace

std::int32_t result_code(const edge::Refusal& refusal) noexcept { return refusal.number(); }

}  // namespace kelvara::capi

extern "C" const char* kelvara_error_code(int32_t result) noexcept {
  if (const auto* own = kelvara::capi::own_outcome_of(result)) return own->code_text;
  return kelvara::capi::text_of(result, kelvara::security::code, kelvara::edge::reason_code, "ok",
                                "null_pointer", "unknown_error");
}

extern "C" const char* kelvara_error_message(int32_t result) noexcept {
  if (const auto* own = kelvara::capi::own_outcome_of(result)) return own->message;
  return kelvara::capi::text_of(result, kelvara::security::message, kelvara::edge::reason_summary, "success",
                                "a required pointer is null", "unknown result code");
}
