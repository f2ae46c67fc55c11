#include "number_text.hpp"

#include <charconv>
#include <cmath>

namespace kelvara::py {

std::string shortest_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The longest fixed form is a subnormal: "-0." and 323 zeros and 17 digits.
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

}  // namespace kelvara::py
