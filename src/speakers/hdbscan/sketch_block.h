// Squared sketch distances between two blocks of sketched rows at once (up to 64 rows on the
// right), for sweeps over many pairs of groups: the right block is laid out once, transposed in
// runs of 4 values, so that one instruction takes 4 values of one left row against 16 right
// rows and no partial sums need folding.
//
// Every result is the exact integer squared distance that SketchSet::squared_distances gives
// for the same pair (dot products in 32-bit integers, exact for up to 32768 dimensions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

class SketchBlock {
 public:
  static constexpr std::size_t kMaxRows = 64;

  // Lays out slots first .. first + count - 1 (count <= kMaxRows) of set.
  void assign(const SketchSet& set, std::size_t first, std::size_t count);
  std::size_t rows() const { return count_; }

  // out[q * rows() + r] = squared sketch distance between slot left_first + q of left and row r
  // of the block, for q < left_count. left must have the block's dimensions.
  void squared_distances(const SketchSet& left, std::size_t left_first, std::size_t left_count,
                         std::int32_t* out) const;
  // The smallest of those squared distances.
  [[nodiscard]] std::int32_t min_squared(const SketchSet& left, std::size_t left_first,
                                         std::size_t left_count) const;

 private:
  const SketchSet* set_ = nullptr;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::vector<std::uint8_t> packed_;   // [dims / 4][kMaxRows][4], values + 128
  std::vector<std::int32_t> squares_;  // kMaxRows: the rows' sums of squares (padding: large)
  bool packed_ready_ = false;
};

}  // namespace quillfen::speakers::hdbscan
