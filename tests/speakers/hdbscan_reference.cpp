#include "hdbscan_reference.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <map>

namespace quillfen::testing::reference {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double distance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t j = 0; j < a.size(); ++j) sum += (a[j] - b[j]) * (a[j] - b[j]);
  return std::sqrt(sum);
}

std::vector<std::size_t> breadth_first(const std::vector<SLTNode>& slt, std::size_t n,
                                       std::size_t from) {
  std::vector<std::size_t> out;
  std::deque<std::size_t> queue{from};
  while (!queue.empty()) {
    const std::size_t id = queue.front();
    queue.pop_front();
    out.push_back(id);
    if (id >= n) {
      queue.push_back(slt[id - n].left_child);
      queue.push_back(slt[id - n].right_child);
    }
  }
  return out;
}

}  // namespace

std::vector<double> core_distances(const std::vector<std::vector<double>>& rows,
                                   std::size_t min_samples) {
  std::vector<double> core;
  for (const auto& p : rows) {
    std::vector<double> all;
    for (const auto& q : rows) all.push_back(distance(p, q));
    std::sort(all.begin(), all.end());
    core.push_back(all[std::min(min_samples, all.size()) - 1]);
  }
  return core;
}

std::vector<MSTEdge> prim_mst(const std::vector<std::vector<double>>& rows,
                              const std::vector<double>& core) {
  const std::size_t n = rows.size();
  std::vector<double> best_dist(n, kInf);
  std::vector<bool> in_tree(n, false);
  std::vector<MSTEdge> edges;
  std::size_t current = 0;
  for (std::size_t iteration = 1; iteration < n; ++iteration) {
    in_tree[current] = true;
    double step_min = kInf;
    std::size_t next = current;
    for (std::size_t j = 0; j < n; ++j) {
      if (in_tree[j]) continue;
      const double m = std::max(std::max(core[current], core[j]), distance(rows[current], rows[j]));
      if (m < best_dist[j]) best_dist[j] = m;
      if (best_dist[j] < step_min) {
        step_min = best_dist[j];
        next = j;
      }
    }
    edges.push_back({current, next, step_min});
    current = next;
  }
  return edges;
}

std::vector<SLTNode> single_linkage(std::vector<MSTEdge> edges, std::size_t n) {
  std::stable_sort(edges.begin(), edges.end(),
                   [](const MSTEdge& a, const MSTEdge& b) { return a.distance < b.distance; });
  const std::size_t none = 2 * n - 1;
  std::vector<std::size_t> parent(2 * n - 1, none);
  std::vector<std::size_t> size(2 * n - 1, 0);
  for (std::size_t i = 0; i < n; ++i) size[i] = 1;
  std::size_t next_label = n;
  auto find = [&](std::size_t id) {
    while (parent[id] != none) id = parent[id];
    return id;
  };
  std::vector<SLTNode> slt;
  for (const MSTEdge& edge : edges) {
    const std::size_t a = find(edge.left_node_id);
    const std::size_t b = find(edge.right_node_id);
    slt.push_back({a, b, edge.distance, size[a] + size[b]});
    parent[a] = next_label;
    parent[b] = next_label;
    size[next_label] = size[a] + size[b];
    ++next_label;
  }
  return slt;
}

std::vector<CondensedNode> condense_tree(const std::vector<SLTNode>& slt, std::size_t n,
                                         std::size_t min_cluster_size) {
  const std::size_t top = 2 * n - 2;
  const std::vector<std::size_t> order = breadth_first(slt, n, top);
  std::vector<std::size_t> cluster_of(2 * n - 1, 0);
  std::vector<bool> visited(2 * n - 1, false);
  cluster_of[top] = n;
  std::size_t next_cluster = n + 1;
  std::vector<CondensedNode> condensed;
  auto size_of = [&](std::size_t id) { return id < n ? std::size_t{1} : slt[id - n].size; };
  auto fall_out = [&](std::size_t child, std::size_t c, double lambda) {
    for (const std::size_t id : breadth_first(slt, n, child)) {
      visited[id] = true;
      if (id < n) condensed.push_back({id, c, lambda, 1});
    }
  };
  for (const std::size_t id : order) {
    if (id < n || visited[id]) continue;
    const SLTNode& node = slt[id - n];
    const double lambda = node.distance > 0.0 ? 1.0 / node.distance : kInf;
    const bool left_cluster = size_of(node.left_child) >= min_cluster_size;
    const bool right_cluster = size_of(node.right_child) >= min_cluster_size;
    const std::size_t c = cluster_of[id];
    if (left_cluster && right_cluster) {
      cluster_of[node.left_child] = next_cluster;
      condensed.push_back({next_cluster, c, lambda, size_of(node.left_child)});
      cluster_of[node.right_child] = next_cluster + 1;
      condensed.push_back({next_cluster + 1, c, lambda, size_of(node.right_child)});
      next_cluster += 2;
    } else if (left_cluster) {
      cluster_of[node.left_child] = c;
      fall_out(node.right_child, c, lambda);
    } else if (right_cluster) {
      cluster_of[node.right_child] = c;
      fall_out(node.left_child, c, lambda);
    } else {
      fall_out(node.left_child, c, lambda);
      fall_out(node.right_child, c, lambda);
    }
  }
  return condensed;
}

std::vector<std::int32_t> label_points(const std::vector<CondensedNode>& condensed, std::size_t n) {
  const std::size_t last = n + (condensed.size() - std::min(condensed.size(), n));
  std::map<std::size_t, double> stability;
  std::map<std::size_t, bool> selected;
  for (std::size_t c = n + 1; c <= last; ++c) {
    double birth = 0.0;
    for (const CondensedNode& record : condensed) {
      if (record.node_id == c) {
        birth = record.lambda_birth;
        break;
      }
    }
    double sum = 0.0;
    for (const CondensedNode& record : condensed) {
      if (record.parent_node_id == c) {
        sum += (record.lambda_birth - birth) * static_cast<double>(record.size);
      }
    }
    stability[c] = sum;
    selected[c] = false;
  }
  for (std::size_t c = last; c > n; --c) {
    double children_sum = 0.0;
    for (const CondensedNode& record : condensed) {
      if (record.parent_node_id == c && record.node_id >= n) {
        children_sum += stability[record.node_id];
      }
    }
    if (stability[c] > children_sum) {
      selected[c] = true;
      std::deque<std::size_t> queue{c};
      while (!queue.empty()) {
        const std::size_t d = queue.front();
        queue.pop_front();
        for (const CondensedNode& record : condensed) {
          if (record.parent_node_id == d && record.node_id >= n) {
            selected[record.node_id] = false;
            queue.push_back(record.node_id);
          }
        }
      }
    } else {
      stability[c] = children_sum;
    }
  }
  std::vector<std::int32_t> labels(n, -1);
  std::int32_t q = 0;
  for (const auto& [c, is_selected] : selected) {
    if (!is_selected) continue;
    std::deque<std::size_t> queue{c};
    while (!queue.empty()) {
      const std::size_t d = queue.front();
      queue.pop_front();
      for (const CondensedNode& record : condensed) {
        if (record.parent_node_id != d) continue;
        if (record.node_id < n) {
          labels[record.node_id] = q;
        } else {
          queue.push_back(record.node_id);
        }
      }
    }
    ++q;
  }
  return labels;
}

std::vector<std::int32_t> cluster(const std::vector<std::vector<double>>& rows,
                                  std::size_t min_cluster_size, std::size_t min_samples) {
  const std::size_t n = rows.size();
  const std::vector<double> core = core_distances(rows, min_samples);
  const std::vector<SLTNode> slt = single_linkage(prim_mst(rows, core), n);
  return label_points(condense_tree(slt, n, min_cluster_size), n);
}

}  // namespace quillfen::testing::reference
