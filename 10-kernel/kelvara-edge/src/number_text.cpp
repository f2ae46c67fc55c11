#include "kelvara/edge/number_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kelvara::edge {

std::string shortest_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // The shortest round-trip digits in scientific form, "-d.ddde-XX"; then the
  // digits are placed by the exponent.
  char scientific[32];
  const auto end =
      std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
  const std::string_view form(scientific, static_cast<std::size_t>(end - scientific));
  const bool negative = form.front() == '-';
  const std::size_t e = form.find('e');
  std::string digits;
  for (char c : form.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  // The exponent as to_chars writes it: a sign, then at least two digits.
  int exponent = 0;
  std::from_chars(form.data() + e + 2, form.data() + form.size(), exponent);
  if (form[e + 1] == '-') exponent = -exponent;
  const int point = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());

  std::string text = negative ? "-" : "";
  if (point <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-point), '0');
    text += digits;
  } else if (point >= count) {
    text += digits;
    text.append(static_cast<std::size_t>(point - count), '0');
  } else {
    text.append(digits, 0, static_cast<std::size_t>(point));
    text += '.';
    text.append(digits, static_cast<std::size_t>(point));
  }
  return text;
}

}  // namespace kelvara::edge
