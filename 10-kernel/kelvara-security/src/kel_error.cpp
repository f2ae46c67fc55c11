#include "kelvara/security/kel_error.hpp"

#include <string_view>

namespace kelvara::security {
namespace {

// The table is checked once, here, so that a row added wrongly fails the build.
constexpr bool is_snake_case(std::string_view text) {
  if (text.empty() || text.front() == '_' || text.back() == '_') return false;
  for (char c : text) {
    if (c != '_' && (c < 'a' || c > 'z')) return false;
  }
  return true;
}

constexpr bool rows_are_sound() {
  for (std::size_t i = 0; i < kOutcomeRows.size(); ++i) {
    const OutcomeRow& row = kOutcomeRows[i];
    if (row.number <= 0 || !is_snake_case(row.code) || row.message.empty()) return false;
    if (i > 0 && row.number <= kOutcomeRows[i - 1].number) return false;  // numbers rise: none repeats
    for (std::size_t j = 0; j < i; ++j) {
      if (kOutcomeRows[j].code == row.code || kOutcomeRows[j].constant == row.constant) return false;
    }
  }
  return true;
}
static_assert(rows_are_sound(),
              "every outcome needs a rising positive number, a unique snake_case code and a message");

// The kinds are the first rows, numbered 1 to 9, so a kind's row is found by index.
constexpr bool kinds_lead_the_rows() {
  for (std::size_t i = 0; i < kKelErrorKinds; ++i) {
    if (kOutcomeRows[i].number != static_cast<std::int32_t>(i + 1)) return false;
  }
  return true;
}
static_assert(kKelErrorKinds == 9 && kinds_lead_the_rows());

const OutcomeRow& row_of(KelError kind) noexcept { return kOutcomeRows[number(kind) - 1u]; }

}  // namespace

std::string_view code(KelError kind) noexcept { return row_of(kind).code; }
std::string_view message(KelError kind) noexcept { return row_of(kind).message; }

}  // namespace kelvara::security
