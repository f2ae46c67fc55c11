// Numbers as they appear in refusal messages.
#pragma once

#include <string>

namespace kelvara::edge {

// The shortest decimal that reads back as the same double (the fewest
// significant digits), written out positionally with zeros, never with an
// exponent: 5.0 is "5", 1e-7 is "0.0000001", 2^60 is "1152921504606847000",
// -0.0 is "-0"; infinities are "inf" and "-inf", and every NaN is "NaN".
std::string shortest_decimal(double value);

}  // namespace kelvara::edge
