#include "speakers/hdbscan/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct HeapEntry {
  double distance;
  std::size_t element;
};

// Largest distance on top; entries of equal distance have no defined order.
struct HeapLess {
  bool operator()(const HeapEntry& a, const HeapEntry& b) const { return a.distance < b.distance; }
};
constexpr HeapLess heap_less;

}  // namespace

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
  nodes_.emplace_back();
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
  index_ready_ = false;
  insert(0, point.data(), item);
  return {};
}

// Left when the coordinate is below the split value; a node whose lower bound equals its split
// value also sends points equal to it left, so that both sides of a split stay non-empty.
bool KdTree::goes_left(const Node& node, const double* point) const {
  const double value = point[node.split_dimension];
  if (node.split_lower == node.split_value) return value <= node.split_value;
  return value < node.split_value;
}

void KdTree::insert(std::size_t node, const double* point, std::size_t item) {
  while (!nodes_[node].is_leaf) {
    Node& inner = nodes_[node];
    inner.split_lower = std::min(inner.split_lower, point[inner.split_dimension]);
    inner.size += 1;
    node = goes_left(inner, point) ? inner.left : inner.right;
  }
  Node& leaf = nodes_[node];
  leaf.points.push_back(point);
  leaf.items.push_back(item);
  leaf.size += 1;
  if (leaf.size > capacity_) split_leaf(node);
}

void KdTree::split_leaf(std::size_t node) {
  // The leaf's bounds are those of its points. Widest dimension: only a strictly larger spread
  // replaces the best so far, which starts at 0, so a leaf of identical points never splits.
  double best_spread = 0.0;
  double best_lower = 0.0;
  double best_upper = 0.0;
  std::size_t split_dimension = 0;
  bool found = false;
  {
    const std::vector<const double*>& points = nodes_[node].points;
    for (std::size_t j = 0; j < dimensions_; ++j) {
      double lo = kInf;
      double hi = -kInf;
      for (const double* p : points) {
        lo = std::min(lo, p[j]);
        hi = std::max(hi, p[j]);
      }
      const double spread = hi - lo;
      if (spread > best_spread) {
        best_spread = spread;
        best_lower = lo;
        best_upper = hi;
        split_dimension = j;
        found = true;
      }
    }
  }
  if (!found) return;

  double split_value = best_lower + (best_upper - best_lower) * 0.5;
  // A spread beyond the largest double would put the midpoint at infinity and every point on
  // one side; halving both ends first keeps the midpoint finite and inside the range.
  if (!std::isfinite(split_value)) split_value = best_lower * 0.5 + best_upper * 0.5;

  const std::size_t left = nodes_.size();
  const std::size_t right = left + 1;
  nodes_.emplace_back();
  nodes_.emplace_back();
  Node& n = nodes_[node];
  n.is_leaf = false;
  n.split_dimension = split_dimension;
  n.split_value = split_value;
  n.split_lower = best_lower;
  n.left = left;
  n.right = right;

  std::vector<const double*> points = std::exchange(n.points, {});
  std::vector<std::size_t> items = std::exchange(n.items, {});
  const Node splitter = nodes_[node];
  // Take the first, move the last into its place, until none is left.
  while (!points.empty()) {
    const double* point = points.front();
    const std::size_t item = items.front();
    points.front() = points.back();
    items.front() = items.back();
    points.pop_back();
    items.pop_back();
    insert(goes_left(splitter, point) ? left : right, point, item);
  }
}

void KdTree::collect(std::size_t node, std::vector<std::size_t>& leaves) const {
  std::vector<std::size_t> stack{node};
  while (!stack.empty()) {
    const std::size_t id = stack.back();
    stack.pop_back();
    if (nodes_[id].is_leaf) {
      leaves.push_back(id);
    } else {
      stack.push_back(nodes_[id].right);
      stack.push_back(nodes_[id].left);
    }
  }
}

KdTree::NodeView KdTree::node(std::size_t index) const {
  const Node& n = nodes_[index];
  NodeView view{n.size,
                n.is_leaf,
                n.split_dimension,
                n.split_value,
                n.left,
                n.right,
                std::vector<double>(dimensions_, kInf),
                std::vector<double>(dimensions_, -kInf),
                n.items};
  std::vector<std::size_t> leaves;
  collect(index, leaves);
  for (const std::size_t leaf : leaves) {
    for (const double* p : nodes_[leaf].points) {
      for (std::size_t j = 0; j < dimensions_; ++j) {
        view.lower[j] = std::min(view.lower[j], p[j]);
        view.upper[j] = std::max(view.upper[j], p[j]);
      }
    }
  }
  return view;
}

void KdTree::build_index() const {
  SearchIndex& ix = index_;
  const std::size_t d = dimensions_;
  std::vector<std::size_t> leaves;
  collect(0, leaves);

  double max_abs = 0.0;
  for (const std::size_t leaf : leaves) {
    for (const double* p : nodes_[leaf].points) {
      for (std::size_t j = 0; j < d; ++j) max_abs = std::max(max_abs, std::fabs(p[j]));
    }
  }
  ix.scale = SketchScale::for_rows(max_abs, d);

  const std::size_t n = size();
  ix.leaf_begin.assign(nodes_.size(), 0);
  ix.points.clear();
  ix.items.clear();
  ix.points.reserve(n);
  ix.items.reserve(n);
  ix.sketches.assign(n * d, 0);
  ix.errors.assign(n, 0.0);
  ix.boxes.assign(nodes_.size() * 2 * d, 0);
  for (const std::size_t leaf : leaves) {
    const Node& node = nodes_[leaf];
    ix.leaf_begin[leaf] = ix.points.size();
    std::int8_t* lower = &ix.boxes[leaf * 2 * d];
    std::int8_t* upper = lower + d;
    std::fill(lower, lower + d, std::int8_t{127});
    std::fill(upper, upper + d, std::int8_t{-127});
    for (std::size_t i = 0; i < node.points.size(); ++i) {
      const std::size_t slot = ix.points.size();
      const double* p = node.points[i];
      ix.points.push_back(p);
      ix.items.push_back(node.items[i]);
      ix.errors[slot] = ix.scale.quantize(p, d, &ix.sketches[slot * d]);
      for (std::size_t j = 0; j < d; ++j) {
        lower[j] = std::min(lower[j], ix.scale.lower_of(p[j]));
        upper[j] = std::max(upper[j], ix.scale.upper_of(p[j]));
      }
    }
  }
  // Children always have larger indices than their parent: fill the inner boxes backwards.
  for (std::size_t id = nodes_.size(); id-- > 0;) {
    const Node& node = nodes_[id];
    if (node.is_leaf) continue;
    std::int8_t* box = &ix.boxes[id * 2 * d];
    const std::int8_t* a = &ix.boxes[node.left * 2 * d];
    const std::int8_t* b = &ix.boxes[node.right * 2 * d];
    for (std::size_t j = 0; j < d; ++j) {
      box[j] = std::min(a[j], b[j]);
      box[d + j] = std::max(a[d + j], b[d + j]);
    }
  }
  index_ready_ = true;
}

std::expected<std::vector<Neighbour>, KdTreeError> KdTree::search(std::span<const double> point,
                                                                  std::size_t k,
                                                                  DistanceRef distance) const {
  using Span = std::span<const double>;
  if (auto checked = check(point); !checked) return std::unexpected(checked.error());
  const std::size_t num = std::min(k, size());
  std::vector<Neighbour> result;
  if (num == 0) return result;
  if (!index_ready_) build_index();
  const SearchIndex& ix = index_;
  const std::size_t d = dimensions_;

  const double* query = point.data();
  std::vector<std::int8_t> sketch(d);
  const double query_error = ix.scale.quantize(query, d, sketch.data());
  // A lower bound of the distance from the query to every point below node.
  auto box_bound = [&](std::size_t node) {
    const std::int8_t* box = &ix.boxes[node * 2 * d];
    return ix.scale.lower_bound(box_squared_distance(sketch.data(), box, box + d, d), query_error);
  };

  // pending: (-lower bound distance, node), nearest node on top.
  std::vector<HeapEntry> pending{{0.0, 0}};
  // evaluated: (distance, item), farthest kept candidate on top.
  std::vector<HeapEntry> evaluated;
  evaluated.reserve(num + 1);
  std::vector<double> lower_bounds;

  while (!pending.empty() &&
         (evaluated.size() < num || -pending.front().distance <= evaluated.front().distance)) {
    std::pop_heap(pending.begin(), pending.end(), heap_less);
    std::size_t current = pending.back().element;
    pending.pop_back();
    const double bound = evaluated.size() == num ? evaluated.front().distance : kInf;

    while (!nodes_[current].is_leaf) {
      const Node& inner = nodes_[current];
      const bool left = goes_left(inner, query);
      const std::size_t other = left ? inner.right : inner.left;
      current = left ? inner.left : inner.right;
      const double other_bound = box_bound(other);
      if (other_bound <= bound) {
        pending.push_back({-other_bound, other});
        std::push_heap(pending.begin(), pending.end(), heap_less);
      }
    }

    const std::size_t begin = ix.leaf_begin[current];
    const std::size_t count = nodes_[current].points.size();
    lower_bounds.resize(count);
    sketch_lower_bounds(ix.scale, sketch.data(), query_error, &ix.sketches[begin * d],
                        &ix.errors[begin], count, d, lower_bounds.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t slot = begin + i;
      const bool full = evaluated.size() == num;
      // A point whose lower bound reaches the farthest kept distance can never be kept.
      if (full && lower_bounds[i] >= evaluated.front().distance) continue;
      const double dist = distance.call(distance.function, point, Span(ix.points[slot], d));
      if (std::isnan(dist) || dist > bound) continue;
      if (!full) {
        evaluated.push_back({dist, ix.items[slot]});
        std::push_heap(evaluated.begin(), evaluated.end(), heap_less);
      } else if (dist < evaluated.front().distance) {
        std::pop_heap(evaluated.begin(), evaluated.end(), heap_less);
        evaluated.back() = {dist, ix.items[slot]};
        std::push_heap(evaluated.begin(), evaluated.end(), heap_less);
      }
    }
  }

  std::sort_heap(evaluated.begin(), evaluated.end(), heap_less);
  result.reserve(evaluated.size());
  for (const HeapEntry& entry : evaluated) result.push_back({entry.distance, entry.element});
  return result;
}

}  // namespace quillfen::speakers::hdbscan
