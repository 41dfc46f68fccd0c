// Sketch distances between two blocks of rows at once (a few hundred rows each), with
// thresholds applied on the way, for sweeps over many pairs of rows: only the pairs that need a
// closer look come out, as bit marks.
//
// Block sketches are 7-bit (values in [-63, 63], SketchScale::with_step with limit
// kBlockSketchLimit), so that the AVX2 kernel can multiply unsigned values + 64 by signed
// values in 16-bit lanes without saturating (a lane holds two products of at most 127 x 63, and
// two such lanes are summed before widening: at most 32004). Rows are laid out in columns of 16
// rows; a column holds, for each run ("chunk") of 4 values, the 4 values of each of its 16 rows
// (64 bytes per chunk). The chunk count is even; padding values and padding rows are zero.
//
// For left row p and right row j, D(p, j) = Q(p) + Q(j) - 2 q(p).q(j), the exact squared sketch
// distance (Q: a row's sum of squared values); every kernel level computes the same integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "speakers/hdbscan/row_store.h"
#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

inline constexpr int kBlockSketchLimit = 63;
// Rows per column of a packed block.
inline constexpr std::size_t kBlockColumn = 16;
// The per-row values of padding rows: a sum of squares that puts every padding pair above every
// real squared sketch distance (at most 4 x 63^2 x 32768 < 2^29), and a limit no D meets.
inline constexpr std::int32_t kPaddingSquares = 1 << 29;
inline constexpr std::int32_t kNoLimit = -1;

[[nodiscard]] constexpr std::size_t round_up(std::size_t value, std::size_t step) {
  return (value + step - 1) / step * step;
}

// One side of a screened block: rows (rounded up to kBlockColumn in every array) packed as
// above, their sums of squares and value sums, and a limit per row.
struct ScreenSide {
  const std::int8_t* packed = nullptr;
  std::size_t rows = 0;
  const std::int32_t* squares = nullptr;
  const std::int32_t* sums = nullptr;
  const std::int32_t* limits = nullptr;
};

// What a screened block gives, for left rows p < round_up(left.rows, 4) and right rows
// j < round_up(right.rows, 16), with columns = round_up(right.rows, 16) / 16:
// - marks[p * columns + j / 16] bit j % 16 set when D(p, j) <= max(left limit of p, right limit
//   of j);
// - column_min[j] (unless null): the smallest D(p, j) over all p;
// - row_min[p * columns + c] (unless null): the smallest D(p, j) over the 16 rows j of column c.
// Padding rows take part (callers ignore them); their D exceeds every real one.
struct ScreenOutput {
  std::uint16_t* marks = nullptr;
  std::int32_t* column_min = nullptr;
  std::int32_t* row_min = nullptr;
};

// Screens the block at a kernel level (capped at the best available); returns the smallest D
// over all its pairs.
std::int32_t screen_block_at(SimdLevel level, const ScreenSide& left, const ScreenSide& right,
                             std::size_t chunks, const ScreenOutput& out);

// Packed block sketches of all rows in slot order, one column of 16 slots after the other
// (slots 16 c .. 16 c + 15 in column c); "blocks" are consecutive runs of slots (for example the
// groups of nearby rows) with their largest error bounds.
class BlockSketches {
 public:
  BlockSketches() = default;
  // begin[b] .. begin[b + 1] - 1 are the slots of block b (rows of the store, in slot order).
  BlockSketches(const SketchScale& scale, const RowStore& rows,
                const std::vector<std::size_t>& begin);

  const SketchScale& scale() const { return scale_; }
  std::size_t dims() const { return dims_; }
  std::size_t chunks() const { return chunks_; }
  std::size_t blocks() const { return begin_.size() - 1; }
  std::size_t block_size(std::size_t b) const { return begin_[b + 1] - begin_[b]; }
  // Slots first .. last - 1 as one side (without limits). The side starts at the column that
  // holds slot first: its position i is slot start + i, where start = first rounded down to a
  // multiple of 16; positions outside first - start .. last - start - 1 belong to other slots
  // (or none).
  [[nodiscard]] ScreenSide range(std::size_t first, std::size_t last) const;
  static std::size_t range_start(std::size_t first) { return first / kBlockColumn * kBlockColumn; }
  double error(std::size_t slot) const { return errors_[slot]; }
  double largest_error(std::size_t b) const { return largest_error_[b]; }
  std::int32_t squares(std::size_t slot) const { return squares_[slot]; }
  std::int32_t sum(std::size_t slot) const { return sums_[slot]; }
  // The 4 values of chunk c of a slot; the chunks of one slot lie 4 * kBlockColumn bytes apart.
  [[nodiscard]] const std::int8_t* chunk(std::size_t slot, std::size_t c) const;

 private:
  void set(std::size_t slot, const std::int8_t* values, double error);

  SketchScale scale_;
  std::size_t dims_ = 0;
  std::size_t chunks_ = 0;
  std::vector<std::size_t> begin_;
  std::vector<std::int8_t> packed_;     // slots rounded up to 16, x chunks x 4
  std::vector<std::int32_t> squares_;   // per slot (padding: kPaddingSquares)
  std::vector<std::int32_t> sums_;      // per slot
  std::vector<double> errors_;          // per slot
  std::vector<double> largest_error_;   // per block
};

// A block gathered from any slots of a BlockSketches, as one side of screen_block.
class GatheredBlock {
 public:
  void gather(const BlockSketches& sketches, const std::size_t* slots, std::size_t count);
  // The consecutive slots first .. first + count - 1.
  void gather_run(const BlockSketches& sketches, std::size_t first, std::size_t count);
  std::size_t rows() const { return rows_; }
  double largest_error() const { return largest_error_; }
  // Limits per gathered row (rounded up; padding rows keep kNoLimit).
  std::int32_t* limits() { return limits_.data(); }
  [[nodiscard]] ScreenSide side() const {
    return {packed_.data(), rows_, squares_.data(), sums_.data(), limits_.data()};
  }

 private:
  std::size_t rows_ = 0;
  double largest_error_ = 0.0;
  std::vector<std::int8_t> packed_;
  std::vector<std::int32_t> squares_;
  std::vector<std::int32_t> sums_;
  std::vector<std::int32_t> limits_;
  std::vector<std::size_t> run_;
};

// The largest squared sketch distance D whose lower bound can still be below distance for a
// pair whose error bounds sum to at most error_sum: every pair with a larger D has
// scale.lower_bound(D, error_sum) >= distance. kNoLimit when no pair can be below distance
// (distance <= 0), INT32_MAX when every pair can.
[[nodiscard]] std::int32_t screen_limit(const SketchScale& scale, double distance,
                                        double error_sum);

}  // namespace quillfen::speakers::hdbscan
