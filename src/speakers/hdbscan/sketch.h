// Distance kernels for density clustering: the Euclidean distance itself, 8-bit sketches of
// rows that give provable lower bounds of it (so that most exact evaluations can be skipped
// without changing any result), and a lane-parallel exact kernel that returns, for several
// rows at once, exactly what euclidean_distance returns for each of them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace quillfen::speakers::hdbscan {

// Square root of the sum over coordinates, in index order, of (a_j - b_j)^2, in 64-bit
// arithmetic. The one distance used throughout density clustering.
[[nodiscard]] double euclidean_distance(std::span<const double> a, std::span<const double> b);

// Instruction set levels of the kernels below; they run the best one the processor offers.
enum class SimdLevel : std::uint8_t { Portable, Sse2, Avx2, Avx512, Avx512Vnni };
[[nodiscard]] SimdLevel best_simd_level();

// One scale s for a set of rows: a coordinate x is sketched as q = round(x / s), clamped to
// [-limit, limit] (127, or less for the block kernels). For two sketched rows a, b with error norms E_a = |a - s q_a| (and E_b), the
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
  [[nodiscard]] static SketchScale for_rows(double max_abs, std::size_t dims);
  // The scale s = step with values clamped to [-limit, limit] (limit at most 127): values beyond
  // the range are clipped, and the clipping counts in the error bound. Unusable for steps
  // outside [1e-95, 1e90] or more than 32768 dimensions. lower_of() and upper_of() do not apply.
  [[nodiscard]] static SketchScale with_step(double step, std::size_t dims, int limit);

  bool usable() const { return scale_ > 0.0; }

  // Writes the dims-value sketch of row to out and returns an upper bound of its error norm
  // (+inf when unusable or when the row lies far outside the scale's range).
  [[nodiscard]] double quantize(const double* row, std::size_t dims, std::int8_t* out) const;
  [[nodiscard]] double quantize(const float* row, std::size_t dims, std::int8_t* out) const;
  double step() const { return scale_; }
  int limit() const { return limit_; }

  // Integer bounds of a box: lower_of(x) <= x / s <= upper_of(x) for coordinates within the
  // scale's range.
  [[nodiscard]] std::int8_t lower_of(double x) const {
    return usable() ? to_int8(std::floor(x * inverse_ - 1e-9)) : std::int8_t{-127};
  }
  [[nodiscard]] std::int8_t upper_of(double x) const {
    return usable() ? to_int8(std::ceil(x * inverse_ + 1e-9)) : std::int8_t{127};
  }

  // A lower bound of the computed Euclidean distance between two rows whose squared sketch
  // distance is squared and whose error bounds sum to error_sum (also valid for a row and any
  // row inside a box, with the box's squared distance and the row's error bound alone).
  [[nodiscard]] double lower_bound(std::int64_t squared, double error_sum) const {
    const double bound = shrunk_ * std::sqrt(static_cast<double>(squared)) - error_sum;
    return bound > 0.0 ? bound : 0.0;
  }
  double shrunk_scale() const { return shrunk_; }
  // An upper bound of the computed Euclidean distance between two rows whose squared sketch
  // distance is squared and whose error bounds sum to error_sum (+inf when unusable):
  // |a - b| <= s |q_a - q_b| + E_a + E_b, widened by margins above every rounding error.
  [[nodiscard]] double upper_bound(std::int64_t squared, double error_sum) const {
    if (!usable()) return std::numeric_limits<double>::infinity();
    return (grown_ * std::sqrt(static_cast<double>(squared)) + error_sum) * (1.0 + 1e-6);
  }
  // A value that squared sketch distances must exceed before lower_bound(squared, error_sum)
  // can exceed distance: every squared above it gives a bound above distance (+inf when no
  // squared distance can).
  [[nodiscard]] double exceeding_squared(double distance, double error_sum) const {
    if (!usable()) return std::numeric_limits<double>::infinity();
    const double root = (distance + error_sum) / shrunk_;
    return root * root * (1.0 + 1e-9);
  }

 private:
  [[nodiscard]] static std::int8_t to_int8(double v) {
    return static_cast<std::int8_t>(v < -127.0 ? -127.0 : (v > 127.0 ? 127.0 : v));
  }

  template <class T>
  [[nodiscard]] double quantize_row(const T* row, std::size_t dims, std::int8_t* out) const;

  double scale_ = 0.0;
  int limit_ = 127;
  double inverse_ = 0.0;
  double shrunk_ = 0.0;  // s * (1 - relative margin)
  double grown_ = 0.0;   // s * (1 + relative margin)
};

// A sketched row as the left side of sketch distances, borrowed: its values, the sum of their
// squares and the bound of its error norm.
struct SketchRef {
  const std::int8_t* values = nullptr;
  std::int32_t squares = 0;
  double error = 0.0;
};

// A sketched row copied out as the left side of sketch distances.
struct SketchQuery {
  std::vector<std::int8_t> values;  // the sketch
  std::int32_t squares = 0;         // sum of values^2
  double error = 0.0;               // bound of the row's error norm

  void assign(const std::int8_t* sketch, std::size_t dims, double error_bound);
  SketchRef ref() const { return {values.data(), squares, error}; }
};

// Sketches of rows held in slots 0 .. slots-1, with their error bounds and the sums and sums of
// squares of their values (which let the kernels work from dot products).
class SketchSet {
 public:
  SketchSet() = default;
  SketchSet(const SketchScale& scale, std::size_t dims, std::size_t slots);

  const SketchScale& scale() const { return scale_; }
  std::size_t dims() const { return dims_; }
  const std::int8_t* sketch(std::size_t slot) const { return &values_[slot * dims_]; }
  double error(std::size_t slot) const { return errors_[slot]; }
  std::size_t slots() const { return errors_.size(); }
  std::int32_t sum(std::size_t slot) const { return sums_[slot]; }
  std::int32_t squares(std::size_t slot) const { return squares_[slot]; }
  // The row in slot as the left side of sketch distances (valid until the set changes).
  SketchRef ref(std::size_t slot) const { return {sketch(slot), squares_[slot], errors_[slot]}; }

  // Sketches row (dims values) into slot.
  void set(std::size_t slot, const double* row);
  // The row in slot, or any row of dims values, prepared as a query.
  void query_of(std::size_t slot, SketchQuery& query) const;
  void query_of_row(const double* row, SketchQuery& query) const;

  // out[i] = squared sketch distance from query to slot first + i, in exact integers.
  void squared_distances(SketchRef query, std::size_t first, std::size_t count,
                         std::int32_t* out) const;
  // out[i] = scale().lower_bound(squared sketch distance from query to slot first + i,
  //                             query.error + error(first + i)) for i < count.
  void lower_bounds(SketchRef query, std::size_t first, std::size_t count, double* out) const;
  void lower_bounds(const SketchQuery& query, std::size_t first, std::size_t count,
                    double* out) const {
    lower_bounds(query.ref(), first, count, out);
  }

 private:
  friend void sketch_squared_distances_at(SimdLevel, const SketchQuery&, const SketchSet&,
                                          std::size_t, std::size_t, std::int32_t*);

  SketchScale scale_;
  std::size_t dims_ = 0;
  std::vector<std::int8_t> values_;
  std::vector<std::int32_t> sums_;
  std::vector<std::int32_t> squares_;
  std::vector<double> errors_;
};

// Sum over j of (query[j] - clamp(query[j], lower[j], upper[j]))^2, in exact integers.
[[nodiscard]] std::int32_t box_squared_distance(const std::int8_t* query, const std::int8_t* lower,
                                                const std::int8_t* upper, std::size_t dims);

// out[q] = box_squared_distance(queries[q]->values, lower, upper, dims) for q < count.
void box_squared_distances(const std::int8_t* lower, const std::int8_t* upper,
                           const SketchQuery* const* queries, std::size_t count, std::size_t dims,
                           std::int32_t* out);

// out[r] = euclidean_distance(left[r], right[r]) for r < count, bit for bit: every pair's sum of
// squared differences is taken in index order; the pairs merely share the vector lanes.
void euclidean_distances(const double* const* left, const double* const* right, std::size_t count,
                         std::size_t dims, double* out);
// The same for rows of 32-bit floats: every value is widened exactly to 64 bits, so the results
// are those of the widened rows, bit for bit.
void euclidean_distances(const float* const* left, const float* const* right, std::size_t count,
                         std::size_t dims, double* out);

// The kernels at a given level (capped at the best available), so that every variant can be
// checked against the portable one.
void sketch_squared_distances_at(SimdLevel level, const SketchQuery& query, const SketchSet& set,
                                 std::size_t first, std::size_t count, std::int32_t* out);
[[nodiscard]] std::int32_t box_squared_distance_at(SimdLevel level, const std::int8_t* query,
                                                   const std::int8_t* lower,
                                                   const std::int8_t* upper, std::size_t dims);
void euclidean_distances_at(SimdLevel level, const double* const* left, const double* const* right,
                            std::size_t count, std::size_t dims, double* out);
void euclidean_distances_at(SimdLevel level, const float* const* left, const float* const* right,
                            std::size_t count, std::size_t dims, double* out);

// out[r] = the sum over j of (left[r][j] - right[r][j])^2 in 32-bit arithmetic, in an order of
// the kernel's choosing: a cheap first look at a pair of 32-bit rows. distance_floor() turns it
// into a lower bound of the 64-bit distance (euclidean_distance of the widened rows).
void squared_differences_at(SimdLevel level, const float* const* left, const float* const* right,
                            std::size_t count, std::size_t dims, float* out);
// A lower bound of the computed 64-bit Euclidean distance between two 32-bit rows of dims
// values whose squared_differences_at() sum is squared: its rounding errors, relative and in
// the subnormal range, are all allowed for (0 when the sum is infinite).
[[nodiscard]] double distance_floor(float squared, std::size_t dims);

}  // namespace quillfen::speakers::hdbscan
