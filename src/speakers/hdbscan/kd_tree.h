// Bucketed k-d tree over borrowed rows of 64-bit floats: the exact k-nearest-neighbour index
// that gives density clustering its core distances without an n x n distance matrix.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace quillfen::speakers::hdbscan {

// Why the tree refused a point or a query.
struct KdTreeError {
  enum class Kind : std::uint8_t {
    WrongDimension,       // the point's length differs from the tree's dimensions
    NonFiniteCoordinate,  // a coordinate is infinite or NaN
    ZeroCapacity,         // insertion into a tree whose leaves hold no point
  };

  Kind kind = Kind::WrongDimension;

  static KdTreeError wrong_dimension() { return {Kind::WrongDimension}; }
  static KdTreeError non_finite_coordinate() { return {Kind::NonFiniteCoordinate}; }
  static KdTreeError zero_capacity() { return {Kind::ZeroCapacity}; }

  std::string to_string() const;

  friend bool operator==(const KdTreeError&, const KdTreeError&) = default;
};

// One answer of a query: the distance from the query and the item stored with the point.
struct Neighbour {
  double distance = 0.0;
  std::size_t item = 0;

  friend bool operator==(const Neighbour&, const Neighbour&) = default;
};

// A node is a leaf (it keeps its points, in arrival order, beyond capacity only when they are
// all identical) or an inner node with a split dimension and value and exactly two children.
// The tree borrows the points: every row passed to add() must outlive the tree.
//
// A distance function has the form double(std::span<const double> a, std::span<const double> b).
// nearest() also accepts a distance object that can in addition be called as
//   double(std::span<const double> query, std::span<const double> point, std::size_t item,
//          double limit)
// for stored points: it must return the exact distance whenever that distance is below limit,
// and may return any value not below limit otherwise; the answer is then the same as with the
// exact function. Bounding boxes are always measured with the two-argument form.
class KdTree {
 public:
  KdTree(std::size_t dimensions, std::size_t capacity);

  std::size_t dimensions() const { return dimensions_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return nodes_.front().size; }

  // Stores a view of point (which must stay alive) with item. Checks, in this order, a capacity
  // above zero, the point's length and the finiteness of every coordinate.
  std::expected<void, KdTreeError> add(std::span<const double> point, std::size_t item);

  // The min(k, size()) stored points nearest to point, sorted by ascending distance. Exact: the
  // distances returned are the smallest ones over all stored points, whatever the tree's shape;
  // among points at exactly the same distance the one returned is unspecified.
  template <class Distance>
  std::expected<std::vector<Neighbour>, KdTreeError> nearest(std::span<const double> point,
                                                             std::size_t k,
                                                             Distance&& distance) const;

  // Shape inspection (node 0 is the root).
  struct NodeView {
    std::size_t size = 0;
    bool is_leaf = true;
    std::size_t split_dimension = 0;
    double split_value = 0.0;
    std::size_t left = 0;
    std::size_t right = 0;
    std::span<const double> lower;
    std::span<const double> upper;
    std::span<const std::size_t> items;
  };
  std::size_t node_count() const { return nodes_.size(); }
  NodeView node(std::size_t index) const;

 private:
  struct Node {
    std::size_t size = 0;
    bool is_leaf = true;
    std::size_t split_dimension = 0;
    double split_value = 0.0;
    std::size_t left = 0;
    std::size_t right = 0;
    std::vector<const double*> points;
    std::vector<std::size_t> items;
  };

  const double* lower(std::size_t node) const { return &bounds_[node * 2 * dimensions_]; }
  const double* upper(std::size_t node) const { return lower(node) + dimensions_; }
  double* lower(std::size_t node) { return &bounds_[node * 2 * dimensions_]; }
  double* upper(std::size_t node) { return lower(node) + dimensions_; }

  std::size_t new_leaf();
  void widen(std::size_t node, const double* point);
  bool goes_left(std::size_t node, const double* point) const;
  void insert(std::size_t node, const double* point, std::size_t item);
  void split_leaf(std::size_t node);
  std::expected<void, KdTreeError> check(std::span<const double> point) const;
  // The point of node's bounding box nearest to query, written to out.
  void clamp_into(std::size_t node, const double* query, double* out) const;

  std::size_t dimensions_;
  std::size_t capacity_;
  std::vector<Node> nodes_;
  std::vector<double> bounds_;  // per node: dimensions_ lower bounds, then dimensions_ upper
};

namespace detail {

struct HeapEntry {
  double distance;
  std::size_t element;
};

// Largest distance on top; entries of equal distance have no defined order.
inline bool heap_less(const HeapEntry& a, const HeapEntry& b) { return a.distance < b.distance; }

}  // namespace detail

template <class Distance>
std::expected<std::vector<Neighbour>, KdTreeError> KdTree::nearest(std::span<const double> point,
                                                                   std::size_t k,
                                                                   Distance&& distance) const {
  using Span = std::span<const double>;
  constexpr bool kBounded =
      std::is_invocable_r_v<double, Distance&, Span, Span, std::size_t, double>;
  if (auto checked = check(point); !checked) return std::unexpected(checked.error());

  const std::size_t num = std::min(k, size());
  std::vector<Neighbour> result;
  if (num == 0) return result;

  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double* query = point.data();
  std::vector<double> clamped(dimensions_);
  // pending: (-lower bound distance, node), nearest node on top.
  std::vector<detail::HeapEntry> pending{{0.0, 0}};
  // evaluated: (distance, item), farthest kept candidate on top.
  std::vector<detail::HeapEntry> evaluated;
  evaluated.reserve(num + 1);

  while (!pending.empty() &&
         (evaluated.size() < num || -pending.front().distance <= evaluated.front().distance)) {
    std::pop_heap(pending.begin(), pending.end(), detail::heap_less);
    std::size_t current = pending.back().element;
    pending.pop_back();
    const double bound = evaluated.size() == num ? evaluated.front().distance : kInf;

    while (!nodes_[current].is_leaf) {
      const Node& inner = nodes_[current];
      const bool left = goes_left(current, query);
      const std::size_t other = left ? inner.right : inner.left;
      current = left ? inner.left : inner.right;
      clamp_into(other, query, clamped.data());
      const double box_distance = distance(point, Span(clamped));
      if (box_distance <= bound) {
        pending.push_back({-box_distance, other});
        std::push_heap(pending.begin(), pending.end(), detail::heap_less);
      }
    }

    const Node& leaf = nodes_[current];
    for (std::size_t i = 0; i < leaf.points.size(); ++i) {
      const Span stored(leaf.points[i], dimensions_);
      const bool full = evaluated.size() == num;
      double d;
      if constexpr (kBounded) {
        d = distance(point, stored, leaf.items[i], full ? evaluated.front().distance : kInf);
      } else {
        d = distance(point, stored);
      }
      if (std::isnan(d) || d > bound) continue;
      if (!full) {
        evaluated.push_back({d, leaf.items[i]});
        std::push_heap(evaluated.begin(), evaluated.end(), detail::heap_less);
      } else if (d < evaluated.front().distance) {
        std::pop_heap(evaluated.begin(), evaluated.end(), detail::heap_less);
        evaluated.back() = {d, leaf.items[i]};
        std::push_heap(evaluated.begin(), evaluated.end(), detail::heap_less);
      }
    }
  }

  std::sort_heap(evaluated.begin(), evaluated.end(), detail::heap_less);
  result.reserve(evaluated.size());
  for (const detail::HeapEntry& entry : evaluated)
    result.push_back({entry.distance, entry.element});
  return result;
}

}  // namespace quillfen::speakers::hdbscan
