// Decimal texts of 64-bit floats: the shortest digits that read back as the same value, and
// the plain decimal form (no exponent) in which floats appear in the engine's texts.
#pragma once

#include <string>

namespace quillfen::speakers {

// value = (negative ? -1 : 1) x 0.d1 d2 ... dn x 10^point, with the fewest digits that read
// back as value; d1 is not 0 unless value is a zero (digits "0", point 1).
struct ShortestDigits {
  bool negative = false;
  std::string digits;
  int point = 0;
};

// The shortest digits of a finite value.
[[nodiscard]] ShortestDigits shortest_digits(double value);

// The shortest digits in plain decimal form, without exponent and without a fraction when
// there is none: 2.0 as "2", 1.25 as "1.25", 1e-7 as "0.0000001", -3.5e21 as
// "-3500000000000000000000", -0.0 as "-0". Non-finite values as "inf", "-inf" or "nan".
[[nodiscard]] std::string shortest_decimal(double value);

}  // namespace quillfen::speakers
