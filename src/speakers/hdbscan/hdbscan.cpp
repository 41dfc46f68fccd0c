#include "speakers/hdbscan/hdbscan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "speakers/decimal_text.h"
#include "speakers/hdbscan/core_distances.h"
#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/prim.h"
#include "speakers/hdbscan/row_groups.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Rows per group of nearby rows (the blocks of pair work).
constexpr std::size_t kGroupCapacity = 64;

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

std::vector<double> core_distances(std::span<const std::span<const double>> rows,
                                   std::size_t min_samples) {
  if (rows.empty()) return {};
  const RowGroups groups = group_rows(rows, kGroupCapacity);
  return core_distances(rows, groups, GroupPairBounds(groups), min_samples);
}

std::vector<MSTEdge> prim_mst(std::span<const std::span<const double>> rows,
                              std::span<const double> core) {
  if (rows.empty()) return {};
  RowGroups groups = group_rows(rows, kGroupCapacity);
  const GroupPairBounds bounds(groups);
  return prim_mst(rows, core, groups, bounds);
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
  std::vector<CondensedNode> condensed;
  const std::size_t ids = 2 * n - 1;
  const std::size_t top = ids - 1;
  auto child_size = [&](std::size_t id) { return id < n ? std::size_t{1} : slt[id - n].size; };

  // Breadth-first from `from`, appending every id below it (itself included) to out.
  auto breadth_first = [&](std::size_t from, std::vector<std::size_t>& out) {
    out.clear();
    out.push_back(from);
    for (std::size_t head = 0; head < out.size(); ++head) {
      const std::size_t id = out[head];
      if (id >= n) {
        out.push_back(slt[id - n].left_child);
        out.push_back(slt[id - n].right_child);
      }
    }
  };

  std::vector<std::size_t> order;
  breadth_first(top, order);
  std::vector<std::size_t> cluster_of(ids, 0);
  std::vector<bool> visited(ids, false);
  cluster_of[top] = n;
  std::size_t next_cluster = n + 1;
  std::vector<std::size_t> below;

  auto fall_out = [&](std::size_t child, std::size_t cluster, double lambda) {
    breadth_first(child, below);
    for (const std::size_t id : below) {
      visited[id] = true;
      if (id < n) condensed.push_back({id, cluster, lambda, 1});
    }
  };

  for (const std::size_t id : order) {
    if (id < n || visited[id]) continue;
    const SLTNode& node = slt[id - n];
    const double lambda = node.distance > 0.0 ? 1.0 / node.distance : kInf;
    const std::size_t left = node.left_child;
    const std::size_t right = node.right_child;
    const bool left_cluster = child_size(left) >= min_cluster_size;
    const bool right_cluster = child_size(right) >= min_cluster_size;
    const std::size_t c = cluster_of[id];
    if (left_cluster && right_cluster) {
      cluster_of[left] = next_cluster;
      condensed.push_back({next_cluster, c, lambda, child_size(left)});
      cluster_of[right] = next_cluster + 1;
      condensed.push_back({next_cluster + 1, c, lambda, child_size(right)});
      next_cluster += 2;
    } else if (left_cluster) {
      cluster_of[left] = c;
      fall_out(right, c, lambda);
    } else if (right_cluster) {
      cluster_of[right] = c;
      fall_out(left, c, lambda);
    } else {
      fall_out(left, c, lambda);
      fall_out(right, c, lambda);
    }
  }
  return condensed;
}

std::vector<std::int32_t> label_points(std::span<const CondensedNode> condensed, std::size_t n,
                                       std::size_t max_cluster_size) {
  std::vector<std::int32_t> labels(n, -1);
  // Clusters are n .. last; records are indexed by parent, keeping their order.
  std::size_t last = n;
  for (const CondensedNode& record : condensed) last = std::max(last, record.node_id);
  const std::size_t clusters = last - n + 1;
  std::vector<std::size_t> child_begin(clusters + 1, 0);
  for (const CondensedNode& record : condensed) ++child_begin[record.parent_node_id - n + 1];
  for (std::size_t c = 0; c < clusters; ++c) child_begin[c + 1] += child_begin[c];
  std::vector<std::size_t> children(condensed.size());
  {
    std::vector<std::size_t> fill(child_begin.begin(), child_begin.end() - 1);
    for (std::size_t r = 0; r < condensed.size(); ++r) {
      children[fill[condensed[r].parent_node_id - n]++] = r;
    }
  }
  auto children_of = [&](std::size_t cluster) {
    return std::span<const std::size_t>(children).subspan(
        child_begin[cluster - n], child_begin[cluster - n + 1] - child_begin[cluster - n]);
  };

  // Birth lambda and size of every non-root cluster, from the record that created it.
  std::vector<double> birth(clusters, 0.0);
  std::vector<std::size_t> cluster_size(clusters, 0);
  for (const CondensedNode& record : condensed) {
    if (record.node_id >= n) {
      birth[record.node_id - n] = record.lambda_birth;
      cluster_size[record.node_id - n] = record.size;
    }
  }

  std::vector<double> stability(clusters, 0.0);
  std::vector<bool> selected(clusters, false);
  for (std::size_t c = n + 1; c <= last; ++c) {
    double sum = 0.0;
    for (const std::size_t r : children_of(c)) {
      sum += (condensed[r].lambda_birth - birth[c - n]) * static_cast<double>(condensed[r].size);
    }
    stability[c - n] = sum;
  }

  std::vector<std::size_t> stack;
  for (std::size_t c = last; c > n; --c) {
    double children_sum = 0.0;
    for (const std::size_t r : children_of(c)) {
      if (condensed[r].node_id >= n) children_sum += stability[condensed[r].node_id - n];
    }
    if (stability[c - n] > children_sum && cluster_size[c - n] <= max_cluster_size) {
      selected[c - n] = true;
      // Deselect every cluster below c.
      stack.clear();
      for (const std::size_t r : children_of(c)) {
        if (condensed[r].node_id >= n) stack.push_back(condensed[r].node_id);
      }
      while (!stack.empty()) {
        const std::size_t d = stack.back();
        stack.pop_back();
        selected[d - n] = false;
        for (const std::size_t r : children_of(d)) {
          if (condensed[r].node_id >= n) stack.push_back(condensed[r].node_id);
        }
      }
    } else {
      stability[c - n] = children_sum;
    }
  }

  std::int32_t label = 0;
  for (std::size_t c = n + 1; c <= last; ++c) {
    if (!selected[c - n]) continue;
    stack.assign(1, c);
    while (!stack.empty()) {
      const std::size_t d = stack.back();
      stack.pop_back();
      for (const std::size_t r : children_of(d)) {
        const std::size_t id = condensed[r].node_id;
        if (id < n) {
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

std::expected<std::vector<std::int32_t>, HdbscanError> cluster(
    std::span<const std::span<const double>> rows, const HdbscanParams& params) {
  if (auto checked = check_rows(rows); !checked) return std::unexpected(checked.error());
  const std::size_t n = rows.size();
  std::vector<MSTEdge> edges;
  {
    RowGroups groups = group_rows(rows, kGroupCapacity);
    const GroupPairBounds bounds(groups);
    const std::vector<double> core = core_distances(rows, groups, bounds, params.min_samples);
    edges = prim_mst(rows, core, groups, bounds);
  }
  sort_mst_by_dist(edges);
  const std::vector<SLTNode> slt = single_linkage(edges, n);
  edges = {};
  const std::vector<CondensedNode> condensed = condense_tree(slt, n, params.min_cluster_size);
  return label_points(condensed, n, params.max_cluster_size);
}

}  // namespace quillfen::speakers::hdbscan
