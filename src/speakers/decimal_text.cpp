#include "speakers/decimal_text.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <system_error>

namespace quillfen::speakers {

ShortestDigits shortest_digits(double value) {
  // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)xx.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  ShortestDigits out;
  out.negative = text.front() == '-';
  const std::size_t e = text.find('e');
  for (std::size_t i = out.negative ? 1 : 0; i < e; ++i) {
    if (text[i] != '.') out.digits.push_back(text[i]);
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  out.point = exponent + 1;
  return out;
}

std::string shortest_decimal(double value) {
  if (!std::isfinite(value)) {
    char buffer[8];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, ec == std::errc{} ? end : buffer);
  }
  const ShortestDigits shortest = shortest_digits(value);
  const std::string& digits = shortest.digits;
  const int point = shortest.point;  // digits before the decimal point
  std::string out = shortest.negative ? "-" : "";
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace quillfen::speakers
