// Distance kernels for density clustering: 8-bit sketches of rows that give provable lower
// bounds of the 64-bit Euclidean distance (so that most exact evaluations can be skipped
// without changing any result), and a lane-parallel exact kernel that returns, for several
// rows at once, exactly what euclidean_distance returns for each of them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quillfen::speakers::hdbscan {

// One scale s for a set of rows: a coordinate x is sketched as q = round(x / s), clamped to
// [-127, 127]. For two sketched rows a, b with error norms E_a = |a - s q_a| (and E_b), the
// triangle inequality gives |a - b| >= s |q_a - q_b| - E_a - E_b. quantize() returns an upper
// bound of E, and lower_bound() keeps relative and absolute margins far above every rounding
// error of the 64-bit distance computation, so that its result never exceeds the computed
// euclidean_distance(a, b).
class SketchScale {
 public:
  SketchScale() = default;
  // The scale for rows whose coordinates are at most max_abs in magnitude, in dims dimensions.
  // Outside the ranges where the margins are proven (tiny or huge magnitudes, all zeros, more
  // than 32768 dimensions) the scale is unusable: every lower bound is 0.
  static SketchScale for_rows(double max_abs, std::size_t dims);

  bool usable() const { return scale_ > 0.0; }
  // s times (1 - relative margin), the factor applied to a sketch distance.
  double shrunk_scale() const { return shrunk_; }

  // Writes the dims-value sketch of row to out and returns an upper bound of its error norm
  // (+inf when unusable or when the row lies far outside the scale's range).
  double quantize(const double* row, std::size_t dims, std::int8_t* out) const;

  // Integer bounds of a box: lower_of(x) <= x / s <= upper_of(x) for coordinates within the
  // scale's range.
  std::int8_t lower_of(double x) const;
  std::int8_t upper_of(double x) const;

  // A lower bound of the computed Euclidean distance between two rows whose squared sketch
  // distance is squared and whose error bounds sum to error_sum (also valid for a row and any
  // row inside a box, with the box's squared distance and the row's error bound alone).
  double lower_bound(std::int64_t squared, double error_sum) const {
    const double bound = shrunk_ * std::sqrt(static_cast<double>(squared)) - error_sum;
    return bound > 0.0 ? bound : 0.0;
  }

 private:
  double scale_ = 0.0;
  double inverse_ = 0.0;
  double shrunk_ = 0.0;
};

// out[r] = sum over j of (query[j] - rows[r * dims + j])^2 for r < count, in exact integers.
void sketch_squared_distances(const std::int8_t* query, const std::int8_t* rows, std::size_t count,
                              std::size_t dims, std::int32_t* out);

// out[r] = scale.lower_bound(squared sketch distance of row r, query_error + errors[r]).
void sketch_lower_bounds(const SketchScale& scale, const std::int8_t* query, double query_error,
                         const std::int8_t* rows, const double* errors, std::size_t count,
                         std::size_t dims, double* out);

// Sum over j of (query[j] - clamp(query[j], lower[j], upper[j]))^2, in exact integers.
std::int32_t box_squared_distance(const std::int8_t* query, const std::int8_t* lower,
                                  const std::int8_t* upper, std::size_t dims);

// out[r] = euclidean_distance(query, rows[r]) for r < count, bit for bit: every row's sum of
// squared differences is taken in index order; the rows merely share the vector lanes.
void euclidean_distances(const double* query, const double* const* rows, std::size_t count,
                         std::size_t dims, double* out);

// Instruction set levels of the kernels above, which pick the best one the processor offers.
// The *_at variants run a given level (capped at the best available) so that every variant
// can be checked against the portable one.
enum class SimdLevel : std::uint8_t { Portable, Sse2, Avx2, Avx512 };
SimdLevel best_simd_level();
void sketch_squared_distances_at(SimdLevel level, const std::int8_t* query, const std::int8_t* rows,
                                 std::size_t count, std::size_t dims, std::int32_t* out);
std::int32_t box_squared_distance_at(SimdLevel level, const std::int8_t* query,
                                     const std::int8_t* lower, const std::int8_t* upper,
                                     std::size_t dims);
void euclidean_distances_at(SimdLevel level, const double* query, const double* const* rows,
                            std::size_t count, std::size_t dims, double* out);

}  // namespace quillfen::speakers::hdbscan
