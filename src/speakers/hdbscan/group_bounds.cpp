#include "speakers/hdbscan/group_bounds.h"

#include <algorithm>
#include <cmath>

namespace quillfen::speakers::hdbscan {

Quantizer::Quantizer(double diameter) {
  step_ = diameter / 250.0;
  usable_ = std::isfinite(diameter) && diameter > 0.0 && std::isfinite(step_) && step_ > 0.0;
  if (!usable_) step_ = 0.0;
}

GroupBounds::GroupBounds(std::size_t groups, double diameter)
    : quantizer_(diameter), groups_(groups), table_(groups * groups, 0) {}

void GroupBounds::raise(std::size_t g, std::size_t h, double bound) {
  const std::uint8_t q = quantizer_.down(bound);
  std::uint8_t& a = table_[g * groups_ + h];
  std::uint8_t& b = table_[h * groups_ + g];
  a = std::max(a, q);
  b = std::max(b, q);
}

double distance_ceiling(double largest_norm) { return 2.0 * largest_norm * (1.0 + 1e-6) + 1e-300; }

}  // namespace quillfen::speakers::hdbscan
