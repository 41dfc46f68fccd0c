#include "speakers/hdbscan/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
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

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The widest dimension of a set of points and its range. Only a strictly larger spread
// replaces the best so far, which starts at 0: identical points have none.
struct Spread {
  std::size_t dimension = 0;
  double lower = 0.0;
  double upper = 0.0;
};

[[nodiscard]] std::optional<Spread> widest_spread(std::span<const double* const> points,
                                                  std::size_t dimensions) {
  double best_spread = 0.0;
  std::optional<Spread> best;
  for (std::size_t j = 0; j < dimensions; ++j) {
    double lo = kInf;
    double hi = -kInf;
    for (const double* p : points) {
      lo = std::min(lo, p[j]);
      hi = std::max(hi, p[j]);
    }
    const double spread = hi - lo;
    if (spread > best_spread) {
      best_spread = spread;
      best = Spread{j, lo, hi};
    }
  }
  return best;
}

// The midpoint of the range. A spread beyond the largest double would put it at infinity and
// every point on one side; halving both ends first keeps it finite and inside the range.
[[nodiscard]] double midpoint(const Spread& spread) {
  const double middle = spread.lower + (spread.upper - spread.lower) * 0.5;
  if (std::isfinite(middle)) return middle;
  return spread.lower * 0.5 + spread.upper * 0.5;
}

}  // namespace

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
  // The leaf's bounds are those of its points; a leaf of identical points never splits.
  const std::optional<Spread> widest = widest_spread(nodes_[node].points, dimensions_);
  if (!widest) {
    nodes_[node].identical_points = true;
    return;
  }

  const std::size_t left = nodes_.size();
  const std::size_t right = left + 1;
  nodes_.emplace_back();
  nodes_.emplace_back();
  Node& n = nodes_[node];
  n.is_leaf = false;
  n.split_dimension = widest->dimension;
  n.split_value = midpoint(*widest);
  n.split_lower = widest->lower;
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
  for (const std::size_t leaf : leaves) index_leaf(leaf);
  index_inner_boxes();
  index_ready_ = true;
}

void KdTree::index_leaf(std::size_t leaf) const {
  SearchIndex& ix = index_;
  const std::size_t d = dimensions_;
  const SketchScale& scale = ix.sketches.scale();
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

void KdTree::index_inner_boxes() const {
  SearchIndex& ix = index_;
  const std::size_t d = dimensions_;
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
}

namespace {

struct HeapEntry {
  double distance;
  std::size_t element;
};

// Largest distance on top; entries of equal distance have no defined order.
struct HeapLess {
  bool operator()(const HeapEntry& a, const HeapEntry& b) const { return a.distance < b.distance; }
};
constexpr HeapLess heap_less;

// The candidates kept for one query: at most num (distance, item) pairs in a max-heap, the
// farthest on top. A candidate enters while fewer than num are kept, and afterwards only when
// strictly nearer than the farthest, which it replaces.
class KeptNeighbours {
 public:
  void reset(std::size_t num) {
    num_ = num;
    heap_.clear();
  }
  [[nodiscard]] bool full() const { return heap_.size() == num_; }
  [[nodiscard]] double farthest() const { return heap_.front().distance; }

  void offer(double distance, std::size_t item) {
    if (heap_.size() < num_) {
      heap_.push_back({distance, item});
      std::push_heap(heap_.begin(), heap_.end(), heap_less);
    } else if (distance < heap_.front().distance) {
      std::pop_heap(heap_.begin(), heap_.end(), heap_less);
      heap_.back() = {distance, item};
      std::push_heap(heap_.begin(), heap_.end(), heap_less);
    }
  }

  // The kept pairs by ascending distance (the set is left sorted, no longer a heap).
  [[nodiscard]] std::vector<Neighbour> sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), heap_less);
    std::vector<Neighbour> result;
    result.reserve(heap_.size());
    for (const HeapEntry& entry : heap_) result.push_back({entry.distance, entry.element});
    return result;
  }

 private:
  std::size_t num_ = 0;
  std::vector<HeapEntry> heap_;
};

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

// nearest(): a best-first walk from the root for one query. Each step takes the pending node
// nearest to the query, follows the query's side down to a leaf (the other sides wait, unless
// their bound exceeds the farthest kept distance) and evaluates the leaf's points.
class KdTree::NearestWalk {
 public:
  NearestWalk(const KdTree& tree, std::span<const double> point, std::size_t num,
              DistanceRef distance)
      : ix_(tree.index_), d_(tree.dimensions_), point_(point), distance_(distance) {
    ix_.sketches.query_of_row(point.data(), query_sketch_);
    kept_.reset(num);
  }

  [[nodiscard]] std::vector<Neighbour> run() {
    pending_.push({0.0, 0});
    while (!pending_.empty() && (!kept_.full() || pending_.top().distance <= kept_.farthest())) {
      const std::size_t node = pending_.pop().element;
      const double bound = kept_.full() ? kept_.farthest() : kInf;
      visit_leaf(descend(node, bound), bound);
    }
    return kept_.sorted();
  }

 private:
  // A lower bound of the distance from the query to every point below node.
  [[nodiscard]] double box_bound(std::size_t node) const {
    const std::int8_t* box = &ix_.boxes[node * 2 * d_];
    return ix_.sketches.scale().lower_bound(
        box_squared_distance(query_sketch_.values.data(), box, box + d_, d_), query_sketch_.error);
  }

  // The leaf below node on the query's side; the other side of each step is pending unless
  // its bound exceeds bound.
  [[nodiscard]] std::size_t descend(std::size_t node, double bound) {
    while (ix_.nodes[node].leaf_count == 0) {
      const SearchNode& inner = ix_.nodes[node];
      const bool left = goes_left(inner, point_.data());
      const std::size_t other = left ? inner.right : inner.left;
      node = left ? inner.left : inner.right;
      const double other_bound = box_bound(other);
      if (other_bound <= bound) pending_.push({other_bound, other});
    }
    return node;
  }

  void visit_leaf(std::size_t leaf, double bound) {
    const std::size_t begin = ix_.nodes[leaf].leaf_begin;
    const std::size_t count = ix_.nodes[leaf].leaf_count;
    lower_bounds_.resize(count);
    ix_.sketches.lower_bounds(query_sketch_, begin, count, lower_bounds_.data());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t slot = begin + i;
      // A point whose lower bound reaches the farthest kept distance can never be kept.
      if (kept_.full() && lower_bounds_[i] >= kept_.farthest()) continue;
      const double dist =
          distance_.call(distance_.function, point_, std::span<const double>(ix_.points[slot], d_));
      if (std::isnan(dist) || dist > bound) continue;
      kept_.offer(dist, ix_.items[slot]);
    }
  }

  const SearchIndex& ix_;
  std::size_t d_;
  std::span<const double> point_;
  DistanceRef distance_;
  SketchQuery query_sketch_;
  PendingNodes<HeapEntry> pending_;  // (lower bound, node), nearest node on top
  KeptNeighbours kept_;
  std::vector<double> lower_bounds_;
};

std::expected<std::vector<Neighbour>, KdTreeError> KdTree::search(std::span<const double> point,
                                                                  std::size_t k,
                                                                  DistanceRef distance) const {
  if (auto checked = check(point); !checked) return std::unexpected(checked.error());
  const std::size_t num = std::min(k, size());
  if (num == 0) return std::vector<Neighbour>{};
  if (!index_ready_) build_index();
  return NearestWalk(*this, point, num, distance).run();
}

// kth_neighbour_distances(): one best-first walk of the tree for all queries of a group of
// consecutive slots. A pending node carries the queries for which it is still open; a node
// closes for a query when its box bound exceeds the query's farthest kept distance.
class KdTree::KthWalk {
 public:
  KthWalk(const KdTree& tree, std::size_t num)
      : tree_(tree),
        ix_(tree.index_),
        d_(tree.dimensions_),
        num_(num),
        scale_(tree.index_.sketches.scale()) {}

  // The largest subtrees of at most 64 points (a leaf of more identical points is a group of
  // its own), as (first slot, points): their points occupy consecutive slots.
  [[nodiscard]] std::vector<std::pair<std::size_t, std::size_t>> groups() const;

  // Appends (k-th neighbour distance, item) for the points of the group, in slot order.
  void run(std::size_t first, std::size_t group, std::vector<Neighbour>& result);
  // Lists, for each point of the group run last, up to max_listed other kept points.
  void list(std::size_t max_listed, std::vector<std::vector<std::size_t>>& listed);

 private:
  // Open sets are bit masks; a larger group of identical points keeps every query open.
  static constexpr std::size_t kMaskBits = 64;
  // Exact distances of a leaf are computed in batches of at most about this many pairs (a
  // leaf of many identical points would otherwise queue leaf size x open queries at once).
  static constexpr std::size_t kPairBatch = 4096;

  // The queries still open below a node: their mask and the smallest of their box bounds.
  struct Open {
    std::uint64_t mask = 0;
    double nearest_bound = kInf;
  };

  // Pairs (query, slot) waiting for their exact distances.
  struct PairBatch {
    std::vector<std::size_t> query;
    std::vector<std::size_t> slot;
    std::vector<const double*> left;
    std::vector<const double*> right;

    void clear() {
      query.clear();
      slot.clear();
      left.clear();
      right.clear();
    }
  };

  void start(std::size_t first, std::size_t group);
  // Sets open_ to the queries of entry still open at its node.
  [[nodiscard]] Open narrow(const GroupEntry& entry);
  // Sketch bounds per open query, then the exact distances of the pairs that could still be kept.
  void visit_leaf(const SearchNode& leaf);
  void flush();
  void keep(std::size_t q, double distance, std::size_t item);

  const KdTree& tree_;
  const SearchIndex& ix_;
  std::size_t d_;
  std::size_t num_;
  const SketchScale& scale_;
  std::size_t first_ = 0;
  std::size_t group_ = 0;
  bool masked_ = true;
  std::vector<SketchQuery> queries_;
  std::vector<KeptNeighbours> kept_;
  std::vector<double> top_;         // farthest kept distance per query, +inf until num are kept
  std::vector<double> box_cutoff_;  // squared box distances above it rule a node out
  std::vector<std::size_t> open_;   // queries for which the popped node is open
  std::vector<const SketchQuery*> open_queries_;
  std::vector<std::int32_t> box_squared_;
  std::vector<double> bounds_;
  PairBatch pairs_;
  std::vector<double> distances_;
  PendingNodes<GroupEntry> pending_;
};

std::vector<std::pair<std::size_t, std::size_t>> KdTree::KthWalk::groups() const {
  const std::vector<Node>& nodes = tree_.nodes_;
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  std::vector<std::size_t> stack{0};
  while (!stack.empty()) {
    const std::size_t id = stack.back();
    stack.pop_back();
    if (nodes[id].is_leaf || nodes[id].size <= kMaskBits) {
      std::size_t leftmost = id;
      while (!nodes[leftmost].is_leaf) leftmost = nodes[leftmost].left;
      groups.emplace_back(ix_.nodes[leftmost].leaf_begin, nodes[id].size);
    } else {
      stack.push_back(nodes[id].right);
      stack.push_back(nodes[id].left);
    }
  }
  return groups;
}

void KdTree::KthWalk::run(std::size_t first, std::size_t group, std::vector<Neighbour>& result) {
  if (num_ == 0) {
    for (std::size_t q = 0; q < group; ++q) result.push_back({0.0, ix_.items[first + q]});
    return;
  }
  start(first, group);
  const std::uint64_t everyone =
      group >= kMaskBits ? ~std::uint64_t{0} : (std::uint64_t{1} << group) - 1;
  pending_.clear();
  pending_.push({0.0, 0, everyone});
  while (!pending_.empty()) {
    const GroupEntry next = pending_.pop();
    // Keys never exceed the bound of any query for which the node is still open.
    if (next.distance > *std::max_element(top_.begin(), top_.end())) break;
    const Open open = narrow(next);
    if (open_.empty()) continue;
    const SearchNode& here = ix_.nodes[next.element];
    if (here.leaf_count == 0) {
      pending_.push({open.nearest_bound, here.left, open.mask});
      pending_.push({open.nearest_bound, here.right, open.mask});
    } else {
      visit_leaf(here);
    }
  }
  for (std::size_t q = 0; q < group; ++q) {
    result.push_back({kept_[q].farthest(), ix_.items[first + q]});
  }
}

void KdTree::KthWalk::start(std::size_t first, std::size_t group) {
  first_ = first;
  group_ = group;
  masked_ = group <= kMaskBits;
  queries_.resize(group);
  kept_.resize(group);
  top_.assign(group, kInf);
  box_cutoff_.assign(group, kInf);
  for (std::size_t q = 0; q < group; ++q) {
    ix_.sketches.query_of(first + q, queries_[q]);
    kept_[q].reset(num_);
  }
}

KdTree::KthWalk::Open KdTree::KthWalk::narrow(const GroupEntry& entry) {
  open_.clear();
  open_queries_.clear();
  for (std::size_t q = 0; q < group_; ++q) {
    if (masked_ && ((entry.open >> q) & 1) == 0) continue;
    open_.push_back(q);
    open_queries_.push_back(&queries_[q]);
  }
  const std::int8_t* box = &ix_.boxes[entry.element * 2 * d_];
  box_squared_.resize(open_.size());
  box_squared_distances(box, box + d_, open_queries_.data(), open_.size(), d_, box_squared_.data());
  Open open;
  std::size_t still_open = 0;
  for (std::size_t i = 0; i < open_.size(); ++i) {
    const std::size_t q = open_[i];
    if (box_squared_[i] > box_cutoff_[q]) continue;
    const double bound = scale_.lower_bound(box_squared_[i], queries_[q].error);
    if (bound > top_[q]) continue;
    open_[still_open++] = q;
    if (masked_) open.mask |= std::uint64_t{1} << q;
    open.nearest_bound = std::min(open.nearest_bound, bound);
  }
  open_.resize(still_open);
  return open;
}

void KdTree::KthWalk::visit_leaf(const SearchNode& leaf) {
  bounds_.resize(leaf.leaf_count);
  pairs_.clear();
  const double* leaf_first = ix_.points[leaf.leaf_begin];
  for (const std::size_t q : open_) {
    const double* query_point = ix_.points[first_ + q];
    if (leaf.identical_points && std::equal(query_point, query_point + d_, leaf_first)) {
      // Every point of the leaf equals the query: each distance is exactly 0, and at most
      // num of them can be kept.
      const std::size_t count = std::min<std::size_t>(leaf.leaf_count, num_);
      for (std::size_t i = 0; i < count; ++i) keep(q, 0.0, ix_.items[leaf.leaf_begin + i]);
      continue;
    }
    ix_.sketches.lower_bounds(queries_[q], leaf.leaf_begin, leaf.leaf_count, bounds_.data());
    for (std::size_t i = 0; i < leaf.leaf_count; ++i) {
      if (bounds_[i] >= top_[q]) continue;  // can never be kept
      pairs_.query.push_back(q);
      pairs_.slot.push_back(leaf.leaf_begin + i);
      pairs_.left.push_back(query_point);
      pairs_.right.push_back(ix_.points[leaf.leaf_begin + i]);
    }
    if (pairs_.query.size() >= kPairBatch) flush();
  }
  flush();
}

void KdTree::KthWalk::flush() {
  distances_.resize(pairs_.query.size());
  euclidean_distances(pairs_.left.data(), pairs_.right.data(), pairs_.left.size(), d_,
                      distances_.data());
  for (std::size_t c = 0; c < pairs_.query.size(); ++c) {
    keep(pairs_.query[c], distances_[c], ix_.items[pairs_.slot[c]]);
  }
  pairs_.clear();
}

void KdTree::KthWalk::keep(std::size_t q, double distance, std::size_t item) {
  kept_[q].offer(distance, item);
  if (kept_[q].full()) {
    top_[q] = kept_[q].farthest();
    box_cutoff_[q] = scale_.exceeding_squared(top_[q], queries_[q].error);
  }
}

void KdTree::KthWalk::list(std::size_t max_listed, std::vector<std::vector<std::size_t>>& listed) {
  for (std::size_t q = 0; q < group_; ++q) {
    const std::size_t item = ix_.items[first_ + q];
    std::vector<std::size_t>& out = listed[item];
    for (const Neighbour& kept : kept_[q].sorted()) {
      if (out.size() == max_listed) break;
      if (kept.item != item) out.push_back(kept.item);
    }
  }
}

std::vector<Neighbour> KdTree::kth_neighbour_distances(
    std::size_t k, std::size_t max_listed, std::vector<std::vector<std::size_t>>* listed) const {
  const std::size_t n = size();
  std::vector<Neighbour> result;
  result.reserve(n);
  if (listed != nullptr) listed->assign(n, {});
  if (n == 0) return result;
  if (!index_ready_) build_index();
  KthWalk walk(*this, std::min(k, n));
  for (const auto& [first, group] : walk.groups()) {
    walk.run(first, group, result);
    if (listed != nullptr && k > 0) walk.list(max_listed, *listed);
  }
  return result;
}

}  // namespace quillfen::speakers::hdbscan
