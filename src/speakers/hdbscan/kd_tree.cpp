#include "speakers/hdbscan/kd_tree.h"

#include <utility>

namespace quillfen::speakers::hdbscan {

std::string KdTreeError::to_string() const {
  switch (kind) {
    case Kind::WrongDimension:
      return "point has the wrong number of dimensions";
    case Kind::NonFiniteCoordinate:
      return "point has a non-finite coordinate";
    case Kind::ZeroCapacity:
      return "tree has zero capacity";
  }
  return {};
}

KdTree::KdTree(std::size_t dimensions, std::size_t capacity)
    : dimensions_(dimensions), capacity_(capacity) {
  new_leaf();
}

std::size_t KdTree::new_leaf() {
  const std::size_t index = nodes_.size();
  nodes_.emplace_back();
  bounds_.insert(bounds_.end(), dimensions_, std::numeric_limits<double>::infinity());
  bounds_.insert(bounds_.end(), dimensions_, -std::numeric_limits<double>::infinity());
  return index;
}

KdTree::NodeView KdTree::node(std::size_t index) const {
  const Node& n = nodes_[index];
  return {n.size, n.is_leaf, n.split_dimension,           n.split_value,
          n.left, n.right,   {lower(index), dimensions_}, {upper(index), dimensions_},
          n.items};
}

std::expected<void, KdTreeError> KdTree::check(std::span<const double> point) const {
  if (point.size() != dimensions_) return std::unexpected(KdTreeError::wrong_dimension());
  for (const double value : point) {
    if (!std::isfinite(value)) return std::unexpected(KdTreeError::non_finite_coordinate());
  }
  return {};
}

std::expected<void, KdTreeError> KdTree::add(std::span<const double> point, std::size_t item) {
  if (capacity_ == 0) return std::unexpected(KdTreeError::zero_capacity());
  if (auto checked = check(point); !checked) return checked;
  insert(0, point.data(), item);
  return {};
}

void KdTree::widen(std::size_t node, const double* point) {
  double* lo = lower(node);
  double* hi = upper(node);
  for (std::size_t j = 0; j < dimensions_; ++j) {
    lo[j] = std::min(lo[j], point[j]);
    hi[j] = std::max(hi[j], point[j]);
  }
}

// Left when the coordinate is below the split value; a node whose lower bound equals its split
// value also sends points equal to it left, so that both sides of a split stay non-empty.
bool KdTree::goes_left(std::size_t node, const double* point) const {
  const Node& n = nodes_[node];
  const double value = point[n.split_dimension];
  if (lower(node)[n.split_dimension] == n.split_value) return value <= n.split_value;
  return value < n.split_value;
}

void KdTree::insert(std::size_t node, const double* point, std::size_t item) {
  while (!nodes_[node].is_leaf) {
    widen(node, point);
    nodes_[node].size += 1;
    node = goes_left(node, point) ? nodes_[node].left : nodes_[node].right;
  }
  widen(node, point);
  Node& leaf = nodes_[node];
  leaf.points.push_back(point);
  leaf.items.push_back(item);
  leaf.size += 1;
  if (leaf.size > capacity_) split_leaf(node);
}

void KdTree::split_leaf(std::size_t node) {
  // Widest dimension; only a strictly larger spread replaces the best so far, which starts at 0,
  // so a leaf of identical points never splits.
  double best_spread = 0.0;
  std::size_t split_dimension = 0;
  bool found = false;
  for (std::size_t j = 0; j < dimensions_; ++j) {
    const double spread = upper(node)[j] - lower(node)[j];
    if (spread > best_spread) {
      best_spread = spread;
      split_dimension = j;
      found = true;
    }
  }
  if (!found) return;

  const double lo = lower(node)[split_dimension];
  const double hi = upper(node)[split_dimension];
  double split_value = lo + (hi - lo) * 0.5;
  // A spread beyond the largest double would put the midpoint at infinity and every point on
  // one side; halving both ends first keeps the midpoint finite and inside the range.
  if (!std::isfinite(split_value)) split_value = lo * 0.5 + hi * 0.5;

  const std::size_t left = new_leaf();
  const std::size_t right = new_leaf();
  Node& n = nodes_[node];
  n.is_leaf = false;
  n.split_dimension = split_dimension;
  n.split_value = split_value;
  n.left = left;
  n.right = right;

  std::vector<const double*> points = std::exchange(n.points, {});
  std::vector<std::size_t> items = std::exchange(n.items, {});
  // Take the first, move the last into its place, until none is left.
  while (!points.empty()) {
    const double* point = points.front();
    const std::size_t item = items.front();
    points.front() = points.back();
    items.front() = items.back();
    points.pop_back();
    items.pop_back();
    insert(goes_left(node, point) ? left : right, point, item);
  }
}

void KdTree::clamp_into(std::size_t node, const double* query, double* out) const {
  const double* lo = lower(node);
  const double* hi = upper(node);
  for (std::size_t j = 0; j < dimensions_; ++j) {
    const double q = query[j];
    out[j] = q > hi[j] ? hi[j] : (q < lo[j] ? lo[j] : q);
  }
}

}  // namespace quillfen::speakers::hdbscan
