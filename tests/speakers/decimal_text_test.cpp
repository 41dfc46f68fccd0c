#include "speakers/decimal_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillfen::speakers {
namespace {

TEST(ShortestDecimal, PositionalWithoutExponent) {
  EXPECT_EQ(shortest_decimal(2.0), "2");
  EXPECT_EQ(shortest_decimal(1.25), "1.25");
  EXPECT_EQ(shortest_decimal(1.0009), "1.0009");
  EXPECT_EQ(shortest_decimal(static_cast<double>(1.002f)), "1.0019999742507935");
  EXPECT_EQ(shortest_decimal(1e-7), "0.0000001");
  EXPECT_EQ(shortest_decimal(-3.5e21), "-3500000000000000000000");
  EXPECT_EQ(shortest_decimal(0.0), "0");
  EXPECT_EQ(shortest_decimal(-0.0), "-0");
  EXPECT_EQ(shortest_decimal(-0.25), "-0.25");
  EXPECT_EQ(shortest_decimal(123456.75), "123456.75");
  EXPECT_EQ(shortest_decimal(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(shortest_decimal(std::numeric_limits<double>::quiet_NaN()), "nan");
}

}  // namespace
}  // namespace quillfen::speakers
