// Numbers as they appear in the boundary's refusal messages.
#pragma once

#include <string>

namespace kelvara::py {

// The shortest decimal that reads back as the same double, in positional
// notation, never with an exponent: 5.0 is "5", 1e-7 is "0.0000001", -0.0 is
// "-0"; infinities are "inf" and "-inf", and every NaN is "NaN".
std::string shortest_decimal(double value);

}  // namespace kelvara::py
