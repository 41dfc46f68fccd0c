// Bucketed k-d tree over borrowed rows of 64-bit floats: an exact k-nearest-neighbour index.
// Density clustering takes its core distances (and neighbour lists) from it in few dimensions
// (EngineOptions::tree_dims, 8 by default), where it beats screening every pair; in more
// dimensions its boxes rule out little, and the clustering sweeps all pairs of rows instead
// (core_distances.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

// Why the tree refused a point or a query.
struct [[nodiscard]] KdTreeError {
  enum class Kind : std::uint8_t {
    WrongDimension,       // the point's length differs from the tree's dimensions
    NonFiniteCoordinate,  // a coordinate is infinite or NaN
    ZeroCapacity,         // insertion into a tree whose leaves hold no point
  };

  Kind kind = Kind::WrongDimension;

  static KdTreeError wrong_dimension() { return {Kind::WrongDimension}; }
  static KdTreeError non_finite_coordinate() { return {Kind::NonFiniteCoordinate}; }
  static KdTreeError zero_capacity() { return {Kind::ZeroCapacity}; }

  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const KdTreeError&, const KdTreeError&) = default;
};

// One answer of a query: the distance from the query and the item stored with the point.
struct Neighbour {
  double distance = 0.0;
  std::size_t item = 0;

  friend bool operator==(const Neighbour&, const Neighbour&) = default;
};

// A node is a leaf, which keeps its points in arrival order (beyond capacity only when they are
// all identical), or an inner node with a split dimension and value and exactly two children.
// A leaf that overflows splits at the midpoint of its widest dimension (the first of equally
// wide ones); a point equal to the split value goes left only when the node's lower bound in
// that dimension equals the split value.
//
// The tree borrows the points: every row passed to add() must outlive it. It is not safe to
// query one tree from several threads at once (the first query after an add() builds the
// search index).
class KdTree {
 public:
  KdTree(std::size_t dimensions, std::size_t capacity);

  std::size_t dimensions() const { return dimensions_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return nodes_.front().size; }

  // Stores a view of point with item. Checks, in this order, a capacity above zero, the
  // point's length and the finiteness of every coordinate.
  [[nodiscard]] std::expected<void, KdTreeError> add(std::span<const double> point,
                                                     std::size_t item);

  // The min(k, size()) stored points nearest to point, sorted by ascending distance; best-first
  // search with bounding-box pruning. Exact: the distances returned are the smallest ones over
  // all stored points; among points at exactly the same distance the one returned is
  // unspecified. distance(a, b) must be the Euclidean distance computed in 64-bit arithmetic
  // (such as euclidean_distance): the pruning relies on lower bounds of it.
  template <class Distance>
  [[nodiscard]] std::expected<std::vector<Neighbour>, KdTreeError> nearest(
      std::span<const double> point, std::size_t k, Distance&& distance) const {
    using Fn = std::remove_reference_t<Distance>;
    if constexpr (std::is_function_v<Fn>) {
      Fn* function = &distance;
      return nearest(point, k, function);
    } else {
      DistanceRef ref{const_cast<void*>(static_cast<const void*>(&distance)),
                      [](void* f, std::span<const double> a, std::span<const double> b) {
                        return static_cast<double>((*static_cast<Fn*>(f))(a, b));
                      }};
      return search(point, k, ref);
    }
  }

  // For every stored point, the distance to its k-th nearest stored point (itself included,
  // at distance 0) under euclidean_distance, with the point's item; the same distances as
  // nearest(point, k, euclidean_distance).back() for each point (0 when k is 0), in no
  // particular order. The points of one group (a largest subtree of at most 64 points, or a
  // larger leaf of identical points) are answered together in one best-first walk of the
  // tree, which reads each visited node's data once for all of them.
  // With listed, also lists for every point (listed is indexed by item, and items must be
  // below size()) up to max_listed of the other points kept by its search, nearest first: each
  // at a distance no larger than its k-th neighbour distance.
  [[nodiscard]] std::vector<Neighbour> kth_neighbour_distances(
      std::size_t k, std::size_t max_listed = 0,
      std::vector<std::vector<std::size_t>>* listed = nullptr) const;

  // Shape inspection (node 0 is the root); bounds are those of the points below the node.
  struct NodeView {
    std::size_t size = 0;
    bool is_leaf = true;
    std::size_t split_dimension = 0;
    double split_value = 0.0;
    std::size_t left = 0;
    std::size_t right = 0;
    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<std::size_t> items;  // a leaf's items in storage order
  };
  std::size_t node_count() const { return nodes_.size(); }
  [[nodiscard]] NodeView node(std::size_t index) const;

 private:
  struct DistanceRef {
    void* function;
    double (*call)(void*, std::span<const double>, std::span<const double>);
  };

  struct Node {
    std::size_t size = 0;
    bool is_leaf = true;
    std::size_t split_dimension = 0;
    double split_value = 0.0;
    double split_lower = 0.0;  // lower bound of the stored points in the split dimension
    std::size_t left = 0;
    std::size_t right = 0;
    std::vector<const double*> points;  // leaf only
    std::vector<std::size_t> items;     // leaf only
    // Leaf only: over capacity because every stored point is identical (no spread to split).
    bool identical_points = false;
  };

  // Built on the first query after a change: 8-bit sketches of every point (in leaf order),
  // their error bounds, and outward-rounded 8-bit bounding boxes of every node.
  struct SearchNode {
    double split_value = 0.0;
    double split_lower = 0.0;
    std::uint32_t split_dimension = 0;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint32_t leaf_count = 0;   // points of a leaf; 0 marks an inner node
    bool identical_points = false;  // a leaf whose points are all copies of one point
    std::size_t leaf_begin = 0;     // first slot of a leaf's points
  };
  struct SearchIndex {
    std::vector<SearchNode> nodes;
    std::vector<const double*> points;
    std::vector<std::size_t> items;
    SketchSet sketches;              // per slot
    std::vector<std::int8_t> boxes;  // per node: dimensions_ lower, dimensions_ upper
  };

  // Left when the coordinate is below the split value; a node whose lower bound equals its
  // split value also sends points equal to it left, so that both sides of a split stay
  // non-empty.
  template <class N>
  [[nodiscard]] static bool goes_left(const N& node, const double* point) {
    const double value = point[node.split_dimension];
    if (node.split_lower == node.split_value) return value <= node.split_value;
    return value < node.split_value;
  }
  void insert(std::size_t node, const double* point, std::size_t item);
  void split_leaf(std::size_t node);
  [[nodiscard]] std::expected<void, KdTreeError> check(std::span<const double> point) const;
  void collect(std::size_t node, std::vector<std::size_t>& leaves) const;
  // The search index: build_index() sketches every point and lays out the leaves
  // (index_leaf()), then bounds the inner nodes' boxes by their children's
  // (index_inner_boxes()).
  void build_index() const;
  void index_leaf(std::size_t leaf) const;
  void index_inner_boxes() const;
  // The walks of nearest() and kth_neighbour_distances() over the search index.
  class NearestWalk;
  class KthWalk;
  [[nodiscard]] std::expected<std::vector<Neighbour>, KdTreeError> search(
      std::span<const double> point, std::size_t k, DistanceRef distance) const;

  std::size_t dimensions_;
  std::size_t capacity_;
  std::vector<Node> nodes_;
  mutable bool index_ready_ = false;
  mutable SearchIndex index_;
};

}  // namespace quillfen::speakers::hdbscan
