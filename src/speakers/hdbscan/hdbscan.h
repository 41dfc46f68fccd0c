// Hierarchical density-based clustering (HDBSCAN) over n rows of d 64-bit floats (or 32-bit
// floats, widened exactly): core distances (the k-th smallest distance from each row), a Prim
// minimum spanning tree of the mutual reachability graph, single linkage, the condensed cluster
// tree, excess-of-mass selection and labelling. Core distances and Prim's loop work on groups of
// nearby rows with provable sketch bounds (row_groups.h, core_distances.h, prim.h); the core
// distances come from a sweep over all pairs of groups, or from the k-d tree (kd_tree.h) in few
// dimensions. Every step that decides a label is exact and deterministic, ties and duplicate
// rows included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "speakers/hdbscan/row_store.h"
#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

enum class DistanceMetric : std::uint8_t { Euclidean };
enum class NeighbourSearch : std::uint8_t { KdTree };

struct HdbscanParams {
  std::size_t min_cluster_size = 5;
  std::size_t max_cluster_size = std::numeric_limits<std::size_t>::max();
  std::size_t min_samples = 5;
  double epsilon = 0.0;
  DistanceMetric distance_metric = DistanceMetric::Euclidean;
  NeighbourSearch neighbour_search = NeighbourSearch::KdTree;
  bool single_cluster_allowed = false;

  friend bool operator==(const HdbscanParams &, const HdbscanParams &) = default;
};

// Collects the parameters; unset ones take their defaults when built (min_cluster_size 5,
// max_cluster_size unlimited, min_samples = min_cluster_size, epsilon 0, Euclidean, k-d tree,
// root not selectable). The numeric setters raise a value below its minimum (2 for the cluster
// sizes, 1 for min_samples, 0 for epsilon) to that minimum and print one line on stdout:
//   HDBSCAN_WARNING: {name} ({value}) cannot be lower than {minimum}. Set to {minimum}.
// Only epsilon = 0 and a root that is never selected are implemented by cluster().
class HyperParamBuilder {
 public:
  [[nodiscard]] HyperParamBuilder min_cluster_size(std::size_t value) &&;
  [[nodiscard]] HyperParamBuilder max_cluster_size(std::size_t value) &&;
  [[nodiscard]] HyperParamBuilder min_samples(std::size_t value) &&;
  [[nodiscard]] HyperParamBuilder epsilon(double value) &&;
  [[nodiscard]] HyperParamBuilder distance_metric(DistanceMetric value) &&;
  [[nodiscard]] HyperParamBuilder neighbour_search(NeighbourSearch value) &&;
  [[nodiscard]] HyperParamBuilder single_cluster_allowed(bool value) &&;
  [[nodiscard]] HdbscanParams build() &&;

 private:
  std::optional<std::size_t> min_cluster_size_;
  std::optional<std::size_t> max_cluster_size_;
  std::optional<std::size_t> min_samples_;
  std::optional<double> epsilon_;
  std::optional<DistanceMetric> distance_metric_;
  std::optional<NeighbourSearch> neighbour_search_;
  std::optional<bool> single_cluster_allowed_;
};

struct [[nodiscard]] HdbscanError {
  enum class Kind : std::uint8_t {
    EmptyDataset,         // no rows
    WrongDimension,       // index, dimensions (of row 0), index_dimensions
    NonFiniteCoordinate,  // index
  };

  Kind kind = Kind::EmptyDataset;
  std::size_t index = 0;
  std::size_t dimensions = 0;
  std::size_t index_dimensions = 0;

  static HdbscanError empty_dataset() { return {}; }
  static HdbscanError wrong_dimension(std::size_t dimensions, std::size_t index,
                                      std::size_t index_dimensions) {
    return {.kind = Kind::WrongDimension,
            .index = index,
            .dimensions = dimensions,
            .index_dimensions = index_dimensions};
  }
  static HdbscanError non_finite_coordinate(std::size_t index) {
    return {.kind = Kind::NonFiniteCoordinate, .index = index};
  }

  // "Oth data point has {d0} dimensions, but {i}th has {di}",
  // "{i}th vector contains non-finite element(s)"; empty for EmptyDataset.
  [[nodiscard]] std::string message() const;
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const HdbscanError &, const HdbscanError &) = default;
};

// Spanning-tree edge as Prim's loop records it: the point added in the previous step, the point
// added in this step and the step's mutual reachability distance.
struct MSTEdge {
  std::size_t left_node_id = 0;
  std::size_t right_node_id = 0;
  double distance = 0.0;

  friend bool operator==(const MSTEdge &, const MSTEdge &) = default;
};

// Merge n + i of the single-linkage tree. The merged sets are points (ids below n) or earlier
// merges (id n + their index).
struct SLTNode {
  std::size_t left_child = 0;   // the set of the edge's left point
  std::size_t right_child = 0;  // the set of the edge's right point
  double distance = 0.0;        // the merge distance
  std::size_t size = 0;         // points in the merged set

  friend bool operator==(const SLTNode &, const SLTNode &) = default;
};

// A point or a cluster of the condensed tree, hanging under a cluster.
struct CondensedNode {
  std::size_t node_id = 0;         // a point below n, or a cluster from n + 1
  std::size_t parent_node_id = 0;  // the cluster it hangs under (n is the root)
  double lambda_birth = 0.0;       // 1 / distance at which it left the parent (+inf at 0)
  std::size_t size = 0;            // 1 for a point, the cluster's points for a cluster

  friend bool operator==(const CondensedNode &, const CondensedNode &) = default;
};

// Input check: EmptyDataset, then per row in order NonFiniteCoordinate or WrongDimension.
[[nodiscard]] std::expected<void, HdbscanError> check_rows(
    std::span<const std::span<const double>> rows);

// How the clustering goes about its work; no setting changes a result. The defaults suit every
// size; each size-dependent mode can be forced at small sizes.
struct EngineOptions {
  // Rows per group of nearby rows at most, at first (doubled as far as the row count needs to
  // keep within max_groups groups: the pair bound table takes max_groups^2 bytes, 256 MiB).
  std::size_t group_capacity = 64;
  std::size_t max_groups = 16384;
  // Core distances from the k-d tree up to this many dimensions, from the sweep above.
  std::size_t tree_dims = 8;
  // Bytes of per-row search state of the sweep at most; more rows are swept in batches.
  std::size_t sweep_state_budget = std::size_t{128} << 20;
  // Prim's loop takes tree rows into account pair by pair up to this many pairs at once, in
  // screened blocks above.
  std::size_t direct_pairs = 128;
  // Kernel level, capped at the best available.
  SimdLevel level = best_simd_level();
};

// The stages of cluster(), each exact. Rows must have passed check_rows() (rows is left in the
// clustering's slot order; see RowStore).
// Core distance of p: the min_samples-th smallest distance from p to all rows, p included.
[[nodiscard]] std::vector<double> core_distances(std::span<const std::span<const double>> rows,
                                                 std::size_t min_samples);
// n - 1 edges in Prim order, starting from point 0, ties to the lowest point index.
[[nodiscard]] std::vector<MSTEdge> prim_mst(std::span<const std::span<const double>> rows,
                                            std::span<const double> core);
// Both at once (the core distance search also gives Prim's loop its neighbour lists and pair
// bounds), per row index.
struct SpanningTree {
  std::vector<double> core;
  std::vector<MSTEdge> edges;
};
[[nodiscard]] SpanningTree spanning_tree(RowStore& rows, std::size_t min_samples,
                                         const EngineOptions& options = {});
// Prim's loop over the given core distances (per row index).
[[nodiscard]] std::vector<MSTEdge> spanning_tree_over(RowStore& rows, std::span<const double> core,
                                                      const EngineOptions& options = {});
// Stable sort by ascending distance.
void sort_mst_by_dist(std::vector<MSTEdge> &edges);
[[nodiscard]] std::vector<SLTNode> single_linkage(std::span<const MSTEdge> sorted_edges,
                                                  std::size_t n);
[[nodiscard]] std::vector<CondensedNode> condense_tree(std::span<const SLTNode> slt, std::size_t n,
                                                       std::size_t min_cluster_size);
// Stability, excess-of-mass selection (root excluded) and labels 0 .. c-1 in ascending cluster
// number, -1 for noise.
[[nodiscard]] std::vector<std::int32_t> label_points(std::span<const CondensedNode> condensed,
                                                     std::size_t n, std::size_t max_cluster_size);

// One label per row: -1 for noise, otherwise 0 .. c-1. Borrows the rows for the call only.
[[nodiscard]] std::expected<std::vector<std::int32_t>, HdbscanError> cluster(
    std::span<const std::span<const double>> rows, const HdbscanParams &params,
    const EngineOptions &options = {});
// The same for rows x dims 32-bit floats (row-major), widened exactly: the same labels as for
// the widened rows. Takes the values over (they are reordered, and released once the spanning
// tree is built); an empty matrix or dims 0 with values is EmptyDataset or WrongDimension.
[[nodiscard]] std::expected<std::vector<std::int32_t>, HdbscanError> cluster(
    std::vector<float> &&values, std::size_t dims, const HdbscanParams &params,
    const EngineOptions &options = {});

}  // namespace quillfen::speakers::hdbscan
