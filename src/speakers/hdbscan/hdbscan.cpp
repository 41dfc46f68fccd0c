#include "speakers/hdbscan/hdbscan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "speakers/decimal_text.h"
#include "speakers/hdbscan/core_distances.h"
#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/prim.h"
#include "speakers/hdbscan/row_groups.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void warn_clamped(const char* name, const std::string& value, const std::string& minimum) {
  const std::string line = std::string("HDBSCAN_WARNING: ") + name + " (" + value +
                           ") cannot be lower than " + minimum + ". Set to " + minimum + ".\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

[[nodiscard]] std::size_t clamp_size(const char* name, std::size_t value, std::size_t minimum) {
  if (value >= minimum) return value;
  warn_clamped(name, std::to_string(value), std::to_string(minimum));
  return minimum;
}

// Condenses the single-linkage tree, visiting its merges breadth first from the top. A merge
// whose two sides both hold at least min_cluster_size points splits its cluster into two new
// clusters; a smaller side falls out of the cluster, each of its points with the merge's
// lambda; a large enough side alone carries the cluster on.
class Condenser {
 public:
  Condenser(std::span<const SLTNode> slt, std::size_t n, std::size_t min_cluster_size)
      : slt_(slt),
        n_(n),
        min_cluster_size_(min_cluster_size),
        cluster_of_(2 * n - 1, 0),
        visited_(2 * n - 1, false) {}

  [[nodiscard]] std::vector<CondensedNode> run() {
    const std::size_t top = 2 * n_ - 2;
    std::vector<std::size_t> order;
    breadth_first(top, order);
    cluster_of_[top] = n_;
    for (const std::size_t id : order) {
      if (id >= n_ && !visited_[id]) visit(slt_[id - n_], cluster_of_[id]);
    }
    return std::move(condensed_);
  }

 private:
  [[nodiscard]] std::size_t size_of(std::size_t id) const {
    return id < n_ ? std::size_t{1} : slt_[id - n_].size;
  }

  // Every id below from (itself included), breadth first.
  void breadth_first(std::size_t from, std::vector<std::size_t>& out) const {
    out.clear();
    out.push_back(from);
    for (std::size_t head = 0; head < out.size(); ++head) {
      const std::size_t id = out[head];
      if (id >= n_) {
        out.push_back(slt_[id - n_].left_child);
        out.push_back(slt_[id - n_].right_child);
      }
    }
  }

  void visit(const SLTNode& merge, std::size_t cluster) {
    const double lambda = merge.distance > 0.0 ? 1.0 / merge.distance : kInf;
    const std::size_t sides[2] = {merge.left_child, merge.right_child};
    if (size_of(sides[0]) >= min_cluster_size_ && size_of(sides[1]) >= min_cluster_size_) {
      for (const std::size_t side : sides) {
        cluster_of_[side] = next_cluster_;
        condensed_.push_back({next_cluster_, cluster, lambda, size_of(side)});
        ++next_cluster_;
      }
      return;
    }
    for (const std::size_t side : sides) {
      if (size_of(side) >= min_cluster_size_) {
        cluster_of_[side] = cluster;
      } else {
        fall_out(side, cluster, lambda);
      }
    }
  }

  void fall_out(std::size_t side, std::size_t cluster, double lambda) {
    breadth_first(side, below_);
    for (const std::size_t id : below_) {
      visited_[id] = true;
      if (id < n_) condensed_.push_back({id, cluster, lambda, 1});
    }
  }

  std::span<const SLTNode> slt_;
  std::size_t n_;
  std::size_t min_cluster_size_;
  std::vector<std::size_t> cluster_of_;  // per id: the cluster it belongs to
  std::vector<bool> visited_;            // per id: fallen out
  std::size_t next_cluster_ = n_ + 1;
  std::vector<std::size_t> below_;
  std::vector<CondensedNode> condensed_;
};

// Excess-of-mass selection over the condensed tree (clusters n .. last, the root n never
// selected) and the labels it gives.
class ClusterSelection {
 public:
  ClusterSelection(std::span<const CondensedNode> condensed, std::size_t n);

  // Bottom up, a cluster is selected when its stability exceeds the sum of its children's
  // (then everything below it is deselected) and it holds at most max_cluster_size points;
  // otherwise it takes that sum as its stability.
  void select(std::size_t max_cluster_size);

  // Labels 0 .. c-1 for the points below the selected clusters in ascending cluster number,
  // -1 for the rest.
  [[nodiscard]] std::vector<std::int32_t> labels() const;

 private:
  // The records whose parent is cluster, in their order.
  [[nodiscard]] std::span<const std::size_t> children_of(std::size_t cluster) const {
    const std::size_t c = cluster - n_;
    return std::span<const std::size_t>(children_).subspan(child_begin_[c],
                                                           child_begin_[c + 1] - child_begin_[c]);
  }
  // Appends the clusters directly below cluster to out.
  void push_child_clusters(std::size_t cluster, std::vector<std::size_t>& out) const {
    for (const std::size_t r : children_of(cluster)) {
      if (condensed_[r].node_id >= n_) out.push_back(condensed_[r].node_id);
    }
  }
  void index_children();
  void measure_stability();
  void deselect_below(std::size_t cluster);

  std::span<const CondensedNode> condensed_;
  std::size_t n_;
  std::size_t last_;
  std::vector<std::size_t> child_begin_;  // per cluster: first position in children_
  std::vector<std::size_t> children_;     // record indices grouped by parent
  std::vector<double> birth_;             // per cluster: lambda of the record that created it
  std::vector<std::size_t> size_;         // per cluster: its points
  std::vector<double> stability_;
  std::vector<bool> selected_;
  std::vector<std::size_t> stack_;
};

ClusterSelection::ClusterSelection(std::span<const CondensedNode> condensed, std::size_t n)
    : condensed_(condensed), n_(n), last_(n) {
  for (const CondensedNode& record : condensed) last_ = std::max(last_, record.node_id);
  const std::size_t clusters = last_ - n + 1;
  birth_.assign(clusters, 0.0);
  size_.assign(clusters, 0);
  for (const CondensedNode& record : condensed) {
    if (record.node_id >= n) {
      birth_[record.node_id - n] = record.lambda_birth;
      size_[record.node_id - n] = record.size;
    }
  }
  selected_.assign(clusters, false);
  index_children();
  measure_stability();
}

void ClusterSelection::index_children() {
  const std::size_t clusters = last_ - n_ + 1;
  child_begin_.assign(clusters + 1, 0);
  for (const CondensedNode& record : condensed_) ++child_begin_[record.parent_node_id - n_ + 1];
  for (std::size_t c = 0; c < clusters; ++c) child_begin_[c + 1] += child_begin_[c];
  children_.resize(condensed_.size());
  std::vector<std::size_t> fill(child_begin_.begin(), child_begin_.end() - 1);
  for (std::size_t r = 0; r < condensed_.size(); ++r) {
    children_[fill[condensed_[r].parent_node_id - n_]++] = r;
  }
}

// Stability of cluster c: the sum over its records, in their order, of
// (lambda_birth - birth(c)) x size.
void ClusterSelection::measure_stability() {
  stability_.assign(last_ - n_ + 1, 0.0);
  for (std::size_t c = n_ + 1; c <= last_; ++c) {
    double sum = 0.0;
    for (const std::size_t r : children_of(c)) {
      sum +=
          (condensed_[r].lambda_birth - birth_[c - n_]) * static_cast<double>(condensed_[r].size);
    }
    stability_[c - n_] = sum;
  }
}

void ClusterSelection::select(std::size_t max_cluster_size) {
  for (std::size_t c = last_; c > n_; --c) {
    double children_sum = 0.0;
    for (const std::size_t r : children_of(c)) {
      if (condensed_[r].node_id >= n_) children_sum += stability_[condensed_[r].node_id - n_];
    }
    if (stability_[c - n_] > children_sum && size_[c - n_] <= max_cluster_size) {
      selected_[c - n_] = true;
      deselect_below(c);
    } else {
      stability_[c - n_] = children_sum;
    }
  }
}

void ClusterSelection::deselect_below(std::size_t cluster) {
  stack_.clear();
  push_child_clusters(cluster, stack_);
  while (!stack_.empty()) {
    const std::size_t d = stack_.back();
    stack_.pop_back();
    selected_[d - n_] = false;
    push_child_clusters(d, stack_);
  }
}

std::vector<std::int32_t> ClusterSelection::labels() const {
  std::vector<std::int32_t> labels(n_, -1);
  std::vector<std::size_t> stack;
  std::int32_t label = 0;
  for (std::size_t c = n_ + 1; c <= last_; ++c) {
    if (!selected_[c - n_]) continue;
    stack.assign(1, c);
    while (!stack.empty()) {
      const std::size_t d = stack.back();
      stack.pop_back();
      for (const std::size_t r : children_of(d)) {
        const std::size_t id = condensed_[r].node_id;
        if (id < n_) {
          labels[id] = label;
        } else {
          stack.push_back(id);
        }
      }
    }
    ++label;
  }
  return labels;
}

}  // namespace

HyperParamBuilder HyperParamBuilder::min_cluster_size(std::size_t value) && {
  min_cluster_size_ = clamp_size("min_cluster_size", value, 2);
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::max_cluster_size(std::size_t value) && {
  max_cluster_size_ = clamp_size("max_cluster_size", value, 2);
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::min_samples(std::size_t value) && {
  min_samples_ = clamp_size("min_samples", value, 1);
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::epsilon(double value) && {
  if (value < 0.0) {
    warn_clamped("epsilon", shortest_decimal(value), shortest_decimal(0.0));
    value = 0.0;
  }
  epsilon_ = value;
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::distance_metric(DistanceMetric value) && {
  distance_metric_ = value;
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::neighbour_search(NeighbourSearch value) && {
  neighbour_search_ = value;
  return std::move(*this);
}

HyperParamBuilder HyperParamBuilder::single_cluster_allowed(bool value) && {
  single_cluster_allowed_ = value;
  return std::move(*this);
}

HdbscanParams HyperParamBuilder::build() && {
  HdbscanParams params;
  params.min_cluster_size = min_cluster_size_.value_or(5);
  params.max_cluster_size = max_cluster_size_.value_or(std::numeric_limits<std::size_t>::max());
  params.min_samples = min_samples_.value_or(params.min_cluster_size);
  params.epsilon = epsilon_.value_or(0.0);
  params.distance_metric = distance_metric_.value_or(DistanceMetric::Euclidean);
  params.neighbour_search = neighbour_search_.value_or(NeighbourSearch::KdTree);
  params.single_cluster_allowed = single_cluster_allowed_.value_or(false);
  return params;
}

std::string HdbscanError::message() const {
  switch (kind) {
    case Kind::EmptyDataset:
      return {};
    case Kind::WrongDimension:
      // "Oth" (the letter O) stays as it is: callers know the text in this form.
      return "Oth data point has " + std::to_string(dimensions) + " dimensions, but " +
             std::to_string(index) + "th has " + std::to_string(index_dimensions);
    case Kind::NonFiniteCoordinate:
      return std::to_string(index) + "th vector contains non-finite element(s)";
  }
  return {};
}

std::string HdbscanError::to_string() const {
  return kind == Kind::EmptyDataset ? "empty dataset" : message();
}

std::expected<void, HdbscanError> check_rows(std::span<const std::span<const double>> rows) {
  if (rows.empty()) return std::unexpected(HdbscanError::empty_dataset());
  const std::size_t dimensions = rows[0].size();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (const double value : rows[i]) {
      if (!std::isfinite(value)) return std::unexpected(HdbscanError::non_finite_coordinate(i));
    }
    if (rows[i].size() != dimensions) {
      return std::unexpected(HdbscanError::wrong_dimension(dimensions, i, rows[i].size()));
    }
  }
  return {};
}

namespace {

// The sketch step for the block sketches: of the steps max_abs / 62.5 x 2^(-i/8), the one with
// the smallest sum, over runs of 32 rows of a sample, of the largest error bound in the run (a
// smaller step sketches most values more finely but clips the largest ones; the bounds between
// groups of rows take the largest error bound of each group).
[[nodiscard]] SketchScale block_scale(const RowStore& rows, double max_abs) {
  constexpr std::size_t kSample = 2048;
  constexpr std::size_t kRun = 32;
  const std::size_t dims = rows.dims();
  const std::size_t stride = std::max<std::size_t>(1, rows.size() / kSample);
  std::vector<std::int8_t> values(dims);
  SketchScale chosen = SketchScale::with_step(max_abs / 62.5, dims, kBlockSketchLimit);
  double chosen_sum = kInf;
  for (int i = 0; i <= 24; ++i) {
    const SketchScale scale =
        SketchScale::with_step(max_abs / 62.5 * std::exp2(-0.125 * i), dims, kBlockSketchLimit);
    double sum = 0.0;
    rows.visit([&](const auto& row) {
      double largest = 0.0;
      std::size_t in_run = 0;
      for (std::size_t r = 0; r < row.size(); r += stride) {
        largest = std::max(largest, scale.quantize(row[r], dims, values.data()));
        if (++in_run == kRun) {
          sum += largest;
          largest = 0.0;
          in_run = 0;
        }
      }
      sum += largest;
    });
    if (sum < chosen_sum) {
      chosen = scale;
      chosen_sum = sum;
    }
  }
  return chosen;
}

[[nodiscard]] double largest_norm(const RowStore& rows) {
  double largest = 0.0;
  rows.visit([&](const auto& row) {
    for (const auto* r : row) {
      double sum = 0.0;
      for (std::size_t j = 0; j < rows.dims(); ++j) {
        sum += static_cast<double>(r[j]) * static_cast<double>(r[j]);
      }
      largest = std::max(largest, std::sqrt(sum));
    }
  });
  return largest;
}

// Everything Prim's loop works on, for rows put in slot order.
struct GroupedRows {
  RowGroups groups;
  BlockSketches sketches;
  GroupBounds bounds;

  GroupedRows(RowStore& rows, const EngineOptions& options)
      : GroupedRows(rows, options, block_scale(rows, largest_magnitude(rows))) {}
  GroupedRows(RowStore& rows, const EngineOptions& options, const SketchScale& scale)
      : groups(group_rows(rows, options.group_capacity, options.max_groups, scale, options.level)),
        sketches(scale, rows, groups.begin),
        bounds(groups.groups(), distance_ceiling(largest_norm(rows))) {}
};

// Core distances per row from core distances per slot, and back.
[[nodiscard]] std::vector<double> by_row(std::span<const double> per_slot,
                                         const std::vector<std::size_t>& row_of_slot) {
  std::vector<double> per_row(per_slot.size());
  for (std::size_t s = 0; s < per_slot.size(); ++s) per_row[row_of_slot[s]] = per_slot[s];
  return per_row;
}

[[nodiscard]] std::vector<MSTEdge> prim_over(const RowStore& rows, const GroupedRows& grouped,
                                             std::span<const double> core,
                                             const NeighbourLists& neighbours,
                                             const NearGroups& near,
                                             const EngineOptions& options) {
  const PrimInput input{rows,       grouped.groups, grouped.sketches,    grouped.bounds, core,
                        neighbours, near,           options.level, options.direct_pairs};
  return grouped_prim(input);
}

}  // namespace

SpanningTree spanning_tree(RowStore& rows, std::size_t min_samples, const EngineOptions& options) {
  if (rows.size() == 0) return {};
  GroupedRows grouped(rows, options);
  const std::size_t k = std::min(min_samples, rows.size());
  CoreSearch search;
  if (rows.dims() <= options.tree_dims) {
    search = tree_core_distances(rows, k);
    ball_bounds(grouped.groups, grouped.bounds);
  } else {
    search = sweep_core_distances(rows, grouped.groups, grouped.sketches, k, grouped.bounds,
                                  {options.level, options.sweep_state_budget});
  }
  SpanningTree tree;
  tree.edges = prim_over(rows, grouped, search.core, search.neighbours, search.near, options);
  tree.core = by_row(search.core, grouped.groups.row_of_slot);
  return tree;
}

std::vector<MSTEdge> spanning_tree_over(RowStore& rows, std::span<const double> core,
                                        const EngineOptions& options) {
  if (rows.size() == 0) return {};
  GroupedRows grouped(rows, options);
  std::vector<double> core_of_slot(rows.size());
  for (std::size_t s = 0; s < rows.size(); ++s) core_of_slot[s] = core[grouped.groups.row_of_slot[s]];
  CoreSearch bounds;  // pair bounds and near groups only
  if (rows.dims() <= options.tree_dims) {
    ball_bounds(grouped.groups, grouped.bounds);
  } else {
    bounds = sweep_core_distances(rows, grouped.groups, grouped.sketches, 1, grouped.bounds,
                                  {options.level, options.sweep_state_budget});
  }
  NeighbourLists none;
  none.offset.assign(rows.size() + 1, 0);
  return prim_over(rows, grouped, core_of_slot, none, bounds.near, options);
}

std::vector<double> core_distances(std::span<const std::span<const double>> rows,
                                   std::size_t min_samples) {
  if (rows.empty()) return {};
  RowStore store(rows);
  return spanning_tree(store, min_samples).core;
}

std::vector<MSTEdge> prim_mst(std::span<const std::span<const double>> rows,
                              std::span<const double> core) {
  if (rows.empty()) return {};
  RowStore store(rows);
  return spanning_tree_over(store, core);
}

void sort_mst_by_dist(std::vector<MSTEdge>& edges) {
  std::stable_sort(edges.begin(), edges.end(),
                   [](const MSTEdge& a, const MSTEdge& b) { return a.distance < b.distance; });
}

std::vector<SLTNode> single_linkage(std::span<const MSTEdge> sorted_edges, std::size_t n) {
  const std::size_t ids = 2 * n - 1;
  const std::size_t none = ids;
  std::vector<std::size_t> parent(ids, none);
  std::vector<std::size_t> size(ids, 0);
  std::fill(size.begin(), size.begin() + static_cast<std::ptrdiff_t>(n), 1);
  std::size_t next_label = n;
  auto find = [&](std::size_t id) {
    std::size_t root = id;
    while (parent[root] != none) root = parent[root];
    while (parent[id] != none) id = std::exchange(parent[id], root);
    return root;
  };
  std::vector<SLTNode> slt;
  slt.reserve(sorted_edges.size());
  for (const MSTEdge& edge : sorted_edges) {
    const std::size_t a = find(edge.left_node_id);
    const std::size_t b = find(edge.right_node_id);
    const std::size_t merged = size[a] + size[b];
    slt.push_back({a, b, edge.distance, merged});
    parent[a] = next_label;
    parent[b] = next_label;
    size[next_label] = merged;
    ++next_label;
  }
  return slt;
}

std::vector<CondensedNode> condense_tree(std::span<const SLTNode> slt, std::size_t n,
                                         std::size_t min_cluster_size) {
  return Condenser(slt, n, min_cluster_size).run();
}

std::vector<std::int32_t> label_points(std::span<const CondensedNode> condensed, std::size_t n,
                                       std::size_t max_cluster_size) {
  ClusterSelection selection(condensed, n);
  selection.select(max_cluster_size);
  return selection.labels();
}

namespace {

// The labels from the spanning tree's edges.
std::vector<std::int32_t> labels_of(std::vector<MSTEdge> edges, std::size_t n,
                                    const HdbscanParams& params) {
  sort_mst_by_dist(edges);
  const std::vector<SLTNode> slt = single_linkage(edges, n);
  edges = {};
  const std::vector<CondensedNode> condensed = condense_tree(slt, n, params.min_cluster_size);
  return label_points(condensed, n, params.max_cluster_size);
}

}  // namespace

std::expected<std::vector<std::int32_t>, HdbscanError> cluster(
    std::span<const std::span<const double>> rows, const HdbscanParams& params,
    const EngineOptions& options) {
  if (auto checked = check_rows(rows); !checked) return std::unexpected(checked.error());
  RowStore store(rows);
  std::vector<MSTEdge> edges = spanning_tree(store, params.min_samples, options).edges;
  return labels_of(std::move(edges), rows.size(), params);
}

std::expected<std::vector<std::int32_t>, HdbscanError> cluster(std::vector<float>&& values,
                                                               std::size_t dims,
                                                               const HdbscanParams& params,
                                                               const EngineOptions& options) {
  std::vector<float> owned = std::move(values);
  const std::size_t n = dims == 0 ? 0 : (owned.size() + dims - 1) / dims;
  if (n == 0) return std::unexpected(HdbscanError::empty_dataset());
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t end = std::min(owned.size(), (i + 1) * dims);
    for (std::size_t at = i * dims; at < end; ++at) {
      if (!std::isfinite(owned[at])) return std::unexpected(HdbscanError::non_finite_coordinate(i));
    }
    if (end - i * dims != dims) {
      return std::unexpected(HdbscanError::wrong_dimension(dims, i, end - i * dims));
    }
  }
  std::vector<MSTEdge> edges;
  {
    RowStore store(owned.data(), n, dims);
    edges = spanning_tree(store, params.min_samples, options).edges;
  }
  std::vector<float>().swap(owned);  // the rows are no longer needed
  return labels_of(std::move(edges), n, params);
}

}  // namespace quillfen::speakers::hdbscan
