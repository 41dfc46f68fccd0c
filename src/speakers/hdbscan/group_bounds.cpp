#include "speakers/hdbscan/group_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

// The largest float not above value.
[[nodiscard]] float float_below(double value) {
  float f = static_cast<float>(value);
  if (static_cast<double>(f) > value)
    f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

}  // namespace

GroupPairBounds::GroupPairBounds(const RowGroups& groups, std::size_t max_table_groups)
    : groups_(groups), count_(groups.groups()), max_error_(largest_errors(groups)) {
  if (count_ > max_table_groups) return;
  table_.resize(count_ * count_);
  SketchBlock block;
  for (std::size_t h = 0; h < count_; ++h) {
    block.assign(groups.rows, groups.begin[h], groups.size(h));
    for (std::size_t g = 0; g <= h; ++g) fill_block(g, h, block);
  }
}

void GroupPairBounds::fill_block(std::size_t g, std::size_t h, const SketchBlock& block) {
  const SketchSet& sketches = groups_.rows;
  const std::int32_t smallest = block.min_squared(sketches, groups_.begin[g], groups_.size(g));
  const float bound =
      float_below(sketches.scale().lower_bound(smallest, max_error_[g] + max_error_[h]));
  table_[g * count_ + h] = bound;
  table_[h * count_ + g] = bound;
}

double GroupPairBounds::ball_bound(std::size_t g, std::size_t h) const {
  double centres = 0.0;
  groups_.centres.lower_bounds(groups_.centres.ref(g), h, 1, &centres);
  return ball_lower_bound(centres, groups_.radius[g] + groups_.radius[h]);
}

}  // namespace quillfen::speakers::hdbscan
