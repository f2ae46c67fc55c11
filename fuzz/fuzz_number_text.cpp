// The velocity text of refusal messages for any double: it reads back as the
// same double, never uses an exponent, and has no more significant digits than
// the shortest round-trip form.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "fuzz_input.hpp"
#include "kelvara/edge/number_text.hpp"

namespace {

// Significant digits of a decimal: its digits without sign, point, leading
// zeros and (after the point) trailing zeros; an integer's trailing zeros count
// as placeholders, not significant.
std::size_t significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const auto last = digits.find_last_not_of('0');
  return last - first + 1;
}

// -?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?
bool is_plain_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  const auto point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  if (whole.empty() || (whole.size() > 1 && whole.front() == '0')) return false;
  for (char c : whole) {
    if (c < '0' || c > '9') return false;
  }
  if (point == std::string_view::npos) return true;
  const std::string_view fraction = text.substr(point + 1);
  if (fraction.empty() || fraction.back() == '0') return false;
  for (char c : fraction) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const double value = in.ConsumeBool() ? std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>())
                                        : static_cast<double>(kelvara::fuzz::pick_float(in));
  const std::string text = kelvara::edge::shortest_decimal(value);
  if (std::isnan(value)) {
    FUZZ_CHECK(text == "NaN");
    return 0;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(text == (value < 0 ? "-inf" : "inf"));
    return 0;
  }
  FUZZ_CHECK(is_plain_decimal(text));
  FUZZ_CHECK(text.find_first_of("eE") == std::string::npos);

  double read_back = 0.0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), read_back);
  FUZZ_CHECK(parsed.ec == std::errc() && parsed.ptr == text.data() + text.size());
  FUZZ_CHECK(std::memcmp(&read_back, &value, sizeof value) == 0);  // -0 stays -0

  char shortest[64];
  const auto end =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
  const std::string_view mantissa(shortest,
                                  static_cast<std::size_t>(std::find(shortest, end, 'e') - shortest));
  FUZZ_CHECK(significant_digits(text) <= significant_digits(mantissa));
  return 0;
}
