// Lower bounds of the distances between the rows of two groups of nearby rows (RowGroups), for
// every pair of groups: a pair of groups whose bound is large never needs its rows compared.
//
// For groups g and h, bound(g, h) <= the computed Euclidean distance between any row of g and
// any row of h: the sketch lower bound (SketchScale::lower_bound) of the smallest squared
// sketch distance between their rows, taken with the largest error bounds of either group's
// rows (a larger squared distance or smaller errors only raise the bound), rounded down to a
// 32-bit float. Every pair of rows is sketched once, a block of two groups at a time.
//
// With more than max_table_groups groups (kMaxTableGroups unless asked otherwise) the table
// would be too large; the bound is then the ball bound between the two centres
// (ball_lower_bound with the sum of both radii), computed when asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "speakers/hdbscan/row_groups.h"

namespace quillfen::speakers::hdbscan {

class GroupPairBounds {
 public:
  static constexpr std::size_t kMaxTableGroups = 4096;

  explicit GroupPairBounds(const RowGroups& groups, std::size_t max_table_groups = kMaxTableGroups);

  bool has_table() const { return !table_.empty(); }

  [[nodiscard]] double operator()(std::size_t g, std::size_t h) const {
    return table_.empty() ? ball_bound(g, h) : table_[g * count_ + h];
  }

 private:
  [[nodiscard]] double ball_bound(std::size_t g, std::size_t h) const;
  void fill_block(std::size_t g, std::size_t h, const class SketchBlock& block);

  const RowGroups& groups_;
  std::size_t count_ = 0;
  std::vector<double> max_error_;  // per group
  std::vector<float> table_;       // count_ x count_, symmetric
};

}  // namespace quillfen::speakers::hdbscan
