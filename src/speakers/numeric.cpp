#include "speakers/numeric.h"

#include <cmath>
#include <cstring>

namespace quillfen::speakers {

// Scans blocks branch-free and looks inside a block only when it holds a non-finite value.
std::size_t first_non_finite(std::span<const float> values) {
  constexpr std::size_t kBlock = 256;
  const std::size_t n = values.size();
  std::size_t start = 0;
  for (; start + kBlock <= n; start += kBlock) {
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, &values[start + i], sizeof bits);
      bad |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
    }
    if (bad != 0) break;
  }
  for (std::size_t i = start; i < n; ++i) {
    if (!std::isfinite(values[i])) return i;
  }
  return n;
}

}  // namespace quillfen::speakers
