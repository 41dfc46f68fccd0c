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

// A pending node of a group walk, with the queries for which it is still open.
struct GroupEntry {
  double distance;
  std::size_t element;
  std::uint64_t open;
};

// The pending nodes: a four-way heap with the nearest node (smallest lower bound) on top.
template <class HeapEntry>
class PendingNodes {
 public:
  bool empty() const { return heap_.empty(); }
  void clear() { heap_.clear(); }
  const HeapEntry& top() const { return heap_.front(); }
  void push(HeapEntry entry) {
    std::size_t i = heap_.size();
    heap_.push_back(entry);
    while (i > 0) {
      const std::size_t parent = (i - 1) / 4;
      if (!(entry.distance < heap_[parent].distance)) break;
      heap_[i] = heap_[parent];
      i = parent;
    }
    heap_[i] = entry;
  }
  [[nodiscard]] HeapEntry pop() {
    const HeapEntry top = heap_.front();
    const HeapEntry last = heap_.back();
    heap_.pop_back();
    const std::size_t n = heap_.size();
    if (n == 0) return top;
    std::size_t i = 0;
    for (;;) {
      const std::size_t first = 4 * i + 1;
      if (first >= n) break;
      std::size_t best = first;
      const std::size_t end = std::min(first + 4, n);
      for (std::size_t c = first + 1; c < end; ++c) {
        best = heap_[c].distance < heap_[best].distance ? c : best;
      }
      if (!(heap_[best].distance < last.distance)) break;
      heap_[i] = heap_[best];
      i = best;
    }
    heap_[i] = last;
    return top;
  }

 private:
  std::vector<HeapEntry> heap_;
};

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
  if (leaf.size <= capacity_) return;
  // A leaf that could not split holds copies of one point; another copy leaves the spread at 0,
  // so the O(size) rescan of split_leaf is skipped (it would make n copies cost O(n^2)).
  if (leaf.identical_points) {
    const double* first = leaf.points.front();
    bool same = true;
    for (std::size_t j = 0; j < dimensions_ && same; ++j) same = point[j] == first[j];
    if (same) return;
  }
  split_leaf(node);
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
  if (!found) {
    nodes_[node].identical_points = true;
    return;
  }

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
  const SketchScale scale = SketchScale::for_rows(max_abs, d);

  const std::size_t n = size();
  ix.nodes.assign(nodes_.size(), SearchNode{});
  for (std::size_t id = 0; id < nodes_.size(); ++id) {
    const Node& node = nodes_[id];
    SearchNode& compact = ix.nodes[id];
    compact.split_value = node.split_value;
    compact.split_lower = node.split_lower;
    compact.split_dimension = static_cast<std::uint32_t>(node.split_dimension);
    compact.left = static_cast<std::uint32_t>(node.left);
    compact.right = static_cast<std::uint32_t>(node.right);
  }
  ix.points.clear();
  ix.items.clear();
  ix.points.reserve(n);
  ix.items.reserve(n);
  ix.sketches = SketchSet(scale, d, n);
  ix.boxes.assign(nodes_.size() * 2 * d, 0);
  for (const std::size_t leaf : leaves) {
    const Node& node = nodes_[leaf];
    ix.nodes[leaf].leaf_begin = ix.points.size();
    ix.nodes[leaf].leaf_count = static_cast<std::uint32_t>(node.points.size());
    ix.nodes[leaf].identical_points = node.identical_points;
    std::int8_t* lower = &ix.boxes[leaf * 2 * d];
    std::int8_t* upper = lower + d;
    std::fill(lower, lower + d, std::int8_t{127});
    std::fill(upper, upper + d, std::int8_t{-127});
    for (std::size_t i = 0; i < node.points.size(); ++i) {
      const std::size_t slot = ix.points.size();
      const double* p = node.points[i];
      ix.points.push_back(p);
      ix.items.push_back(node.items[i]);
      ix.sketches.set(slot, p);
      for (std::size_t j = 0; j < d; ++j) {
        lower[j] = std::min(lower[j], scale.lower_of(p[j]));
        upper[j] = std::max(upper[j], scale.upper_of(p[j]));
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
  SketchQuery query_sketch;
  ix.sketches.query_of_row(query, query_sketch);
  // A lower bound of the distance from the query to every point below node.
  auto box_bound = [&](std::size_t node) {
    const std::int8_t* box = &ix.boxes[node * 2 * d];
    return ix.sketches.scale().lower_bound(
        box_squared_distance(query_sketch.values.data(), box, box + d, d), query_sketch.error);
  };

  // pending: (lower bound distance, node), nearest node on top.
  PendingNodes<HeapEntry> pending;
  pending.push({0.0, 0});
  // evaluated: (distance, item), farthest kept candidate on top.
  std::vector<HeapEntry> evaluated;
  evaluated.reserve(num + 1);
  std::vector<double> lower_bounds;

  while (!pending.empty() &&
         (evaluated.size() < num || pending.top().distance <= evaluated.front().distance)) {
    std::size_t current = pending.pop().element;
    const double bound = evaluated.size() == num ? evaluated.front().distance : kInf;

    while (ix.nodes[current].leaf_count == 0) {
      const SearchNode& inner = ix.nodes[current];
      const bool left = goes_left(inner, query);
      const std::size_t other = left ? inner.right : inner.left;
      current = left ? inner.left : inner.right;
      const double other_bound = box_bound(other);
      if (other_bound <= bound) pending.push({other_bound, other});
    }
    const std::size_t begin = ix.nodes[current].leaf_begin;
    const std::size_t count = ix.nodes[current].leaf_count;
    lower_bounds.resize(count);
    ix.sketches.lower_bounds(query_sketch, begin, count, lower_bounds.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t slot = begin + i;
      // A point whose lower bound reaches the farthest kept distance can never be kept.
      if (evaluated.size() == num && lower_bounds[i] >= evaluated.front().distance) continue;
      const double dist = distance.call(distance.function, point, Span(ix.points[slot], d));
      if (std::isnan(dist) || dist > bound) continue;
      if (evaluated.size() < num) {
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

std::vector<Neighbour> KdTree::kth_neighbour_distances(std::size_t k) const {
  const std::size_t n = size();
  std::vector<Neighbour> result;
  result.reserve(n);
  if (n == 0) return result;
  if (!index_ready_) build_index();
  const SearchIndex& ix = index_;
  const std::size_t d = dimensions_;
  const std::size_t num = std::min(k, n);
  const SketchScale& scale = ix.sketches.scale();

  std::vector<SketchQuery> queries;
  std::vector<std::vector<HeapEntry>> evaluated;
  std::vector<double> top;         // farthest kept distance per query, +inf until num are kept
  std::vector<double> box_cutoff;  // squared box distances above it rule a node out
  std::vector<std::size_t> open;   // queries for which the popped node is open
  std::vector<const SketchQuery*> open_queries;
  std::vector<std::int32_t> box_squared;
  std::vector<double> bounds;
  std::vector<std::size_t> pair_query;
  std::vector<std::size_t> pair_slot;
  std::vector<const double*> pair_left;
  std::vector<const double*> pair_right;
  std::vector<double> distances;
  PendingNodes<GroupEntry> pending;

  // Groups: the largest subtrees of at most 64 points (a leaf of more identical points is a
  // group of its own); their points occupy consecutive slots.
  constexpr std::size_t kGroupLimit = 64;
  std::vector<std::pair<std::size_t, std::size_t>> groups;  // (first slot, points)
  {
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
      const std::size_t id = stack.back();
      stack.pop_back();
      if (nodes_[id].is_leaf || nodes_[id].size <= kGroupLimit) {
        std::size_t leftmost = id;
        while (!nodes_[leftmost].is_leaf) leftmost = nodes_[leftmost].left;
        groups.emplace_back(ix.nodes[leftmost].leaf_begin, nodes_[id].size);
      } else {
        stack.push_back(nodes_[id].right);
        stack.push_back(nodes_[id].left);
      }
    }
  }

  for (const auto& [first, group] : groups) {
    if (num == 0) {
      for (std::size_t q = 0; q < group; ++q) result.push_back({0.0, ix.items[first + q]});
      continue;
    }
    queries.resize(group);
    evaluated.resize(group);
    top.assign(group, kInf);
    box_cutoff.assign(group, kInf);
    for (std::size_t q = 0; q < group; ++q) {
      ix.sketches.query_of(first + q, queries[q]);
      evaluated[q].clear();
    }
    // Open sets are bit masks; a larger group of identical points keeps every query open.
    const bool masked = group <= 64;
    const std::uint64_t everyone =
        group >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << group) - 1;

    pending.clear();
    pending.push({0.0, 0, everyone});
    while (!pending.empty()) {
      const GroupEntry next = pending.pop();
      // Keys never exceed the bound of any query for which the node is still open.
      if (next.distance > *std::max_element(top.begin(), top.end())) break;
      open.clear();
      open_queries.clear();
      for (std::size_t q = 0; q < group; ++q) {
        if (masked && ((next.open >> q) & 1) == 0) continue;
        open.push_back(q);
        open_queries.push_back(&queries[q]);
      }
      const std::size_t node = next.element;
      const std::int8_t* box = &ix.boxes[node * 2 * d];
      box_squared.resize(open.size());
      box_squared_distances(box, box + d, open_queries.data(), open.size(), d, box_squared.data());
      std::uint64_t still_open = 0;
      std::size_t still_open_count = 0;
      double nearest_bound = kInf;
      for (std::size_t i = 0; i < open.size(); ++i) {
        const std::size_t q = open[i];
        if (box_squared[i] > box_cutoff[q]) continue;
        const double bound = scale.lower_bound(box_squared[i], queries[q].error);
        if (bound > top[q]) continue;
        open[still_open_count++] = q;
        if (masked) still_open |= std::uint64_t{1} << q;
        nearest_bound = std::min(nearest_bound, bound);
      }
      if (still_open_count == 0) continue;
      open.resize(still_open_count);

      const SearchNode& here = ix.nodes[node];
      if (here.leaf_count == 0) {
        pending.push({nearest_bound, here.left, still_open});
        pending.push({nearest_bound, here.right, still_open});
        continue;
      }
      // A leaf: sketch bounds per open query, then the exact distances of the pairs that could
      // still be kept, in batches of bounded size (a leaf of many identical points would
      // otherwise queue leaf size x open queries pairs at once).
      constexpr std::size_t kPairBatch = 4096;
      const auto keep = [&](std::size_t q, double distance, std::size_t item) {
        std::vector<HeapEntry>& kept = evaluated[q];
        if (kept.size() < num) {
          kept.push_back({distance, item});
          std::push_heap(kept.begin(), kept.end(), heap_less);
        } else if (distance < kept.front().distance) {
          std::pop_heap(kept.begin(), kept.end(), heap_less);
          kept.back() = {distance, item};
          std::push_heap(kept.begin(), kept.end(), heap_less);
        }
        if (kept.size() == num) {
          top[q] = kept.front().distance;
          box_cutoff[q] = scale.exceeding_squared(top[q], queries[q].error);
        }
      };
      const auto flush = [&] {
        distances.resize(pair_query.size());
        euclidean_distances(pair_left.data(), pair_right.data(), pair_left.size(), d,
                            distances.data());
        for (std::size_t c = 0; c < pair_query.size(); ++c) {
          keep(pair_query[c], distances[c], ix.items[pair_slot[c]]);
        }
        pair_query.clear();
        pair_slot.clear();
        pair_left.clear();
        pair_right.clear();
      };
      bounds.resize(here.leaf_count);
      pair_query.clear();
      pair_slot.clear();
      pair_left.clear();
      pair_right.clear();
      const double* leaf_first = ix.points[here.leaf_begin];
      for (const std::size_t q : open) {
        const double* query_point = ix.points[first + q];
        if (here.identical_points && std::equal(query_point, query_point + d, leaf_first)) {
          // Every point of the leaf equals the query: each distance is exactly 0, and at most
          // num of them can be kept.
          const std::size_t count = std::min<std::size_t>(here.leaf_count, num);
          for (std::size_t i = 0; i < count; ++i) {
            keep(q, 0.0, ix.items[here.leaf_begin + i]);
          }
          continue;
        }
        ix.sketches.lower_bounds(queries[q], here.leaf_begin, here.leaf_count, bounds.data());
        for (std::size_t i = 0; i < here.leaf_count; ++i) {
          if (bounds[i] >= top[q]) continue;  // can never be kept
          pair_query.push_back(q);
          pair_slot.push_back(here.leaf_begin + i);
          pair_left.push_back(query_point);
          pair_right.push_back(ix.points[here.leaf_begin + i]);
        }
        if (pair_query.size() >= kPairBatch) flush();
      }
      flush();
    }
    for (std::size_t q = 0; q < group; ++q) {
      result.push_back({evaluated[q].front().distance, ix.items[first + q]});
    }
  }
  return result;
}

}  // namespace quillfen::speakers::hdbscan
