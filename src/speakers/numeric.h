// Small numeric helpers shared by the algorithms and the front end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace quillfen::speakers {

// value truncated toward zero into the unsigned 64-bit range: NaN and values at or below 0
// give 0, values at or beyond 2^64 give the largest value.
[[nodiscard]] constexpr std::uint64_t saturating_u64(double value) {
  if (!(value > 0.0)) return 0;
  // 2^64 is exactly representable; anything at or above it saturates.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

// Index of the first value that is NaN or infinite (all exponent bits set), or values.size().
[[nodiscard]] std::size_t first_non_finite(std::span<const float> values);

// True when no value is NaN or infinite.
[[nodiscard]] inline bool all_finite(std::span<const float> values) {
  return first_non_finite(values) == values.size();
}

}  // namespace quillfen::speakers
