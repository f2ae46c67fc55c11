#include "kelvara/edge/number_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

using kelvara::edge::shortest_decimal;

TEST(NumberText, ShortestPositionalDecimal) {
  EXPECT_EQ(shortest_decimal(5.0), "5");
  EXPECT_EQ(shortest_decimal(4.18), "4.18");
  EXPECT_EQ(shortest_decimal(-12.5), "-12.5");
  EXPECT_EQ(shortest_decimal(1e-7), "0.0000001");
  EXPECT_EQ(shortest_decimal(1e21), "1000000000000000000000");
  EXPECT_EQ(shortest_decimal(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(shortest_decimal(0.0), "0");
  EXPECT_EQ(shortest_decimal(-0.0), "-0");
  // The fewest significant digits that read back, then zeros: never more digits.
  EXPECT_EQ(shortest_decimal(1152921504606846976.0), "1152921504606847000");
  EXPECT_EQ(shortest_decimal(std::numeric_limits<double>::max()),
            "17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(shortest_decimal(-0.001), "-0.001");
  EXPECT_EQ(shortest_decimal(123.456), "123.456");
}

TEST(NumberText, SpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(shortest_decimal(inf), "inf");
  EXPECT_EQ(shortest_decimal(-inf), "-inf");
  EXPECT_EQ(shortest_decimal(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(shortest_decimal(-std::numeric_limits<double>::quiet_NaN()), "NaN");
}

TEST(NumberText, ExtremesRoundTrip) {
  for (double v : {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                   std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::min()}) {
    const std::string text = shortest_decimal(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
}
