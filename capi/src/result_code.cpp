// The result codes of the C interface and their texts, read from the outcome
// list; only success, the null pointer and unknown values are named here.
#include "result_code.hpp"

#include "kelvara.h"
#include "kelvara/security/outcome.hpp"

namespace kelvara::capi {
namespace {

using security::find_outcome;
using security::OutcomeRow;

// Every text is a string literal, so its data() ends in a NUL.
template <std::string_view OutcomeRow::* Text>
const char* text_of(std::int32_t result, const char* ok, const char* null_pointer,
                    const char* unknown) noexcept {
  if (result == KELVARA_OK) return ok;
  if (result == KELVARA_ERR_NULL_POINTER) return null_pointer;
  const OutcomeRow* row = find_outcome(result);
  return row != nullptr ? (row->*Text).data() : unknown;
}

}  // namespace

std::int32_t result_code(const edge::Refusal& refusal) noexcept {
  return security::number(refusal.outcome());
}

}  // namespace kelvara::capi

extern "C" const char* kelvara_error_code(int32_t result) noexcept {
  return kelvara::capi::text_of<&kelvara::security::OutcomeRow::code>(result, "ok", "null_pointer",
                                                                      "unknown_error");
}

extern "C" const char* kelvara_error_message(int32_t result) noexcept {
  return kelvara::capi::text_of<&kelvara::security::OutcomeRow::message>(
      result, "success", "a required pointer is null", "unknown result code");
}
