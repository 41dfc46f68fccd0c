// A plain, unoptimised transcription of the clustering procedure, kept beside the tests as the
// yardstick for the optimised implementation: brute-force core distances, Prim's loop over
// every point, union-find without path shortening and full rescans of the condensed tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "speakers/hdbscan/hdbscan.h"

namespace quillfen::testing::reference {

using speakers::hdbscan::CondensedNode;
using speakers::hdbscan::MSTEdge;
using speakers::hdbscan::SLTNode;

std::vector<double> core_distances(const std::vector<std::vector<double>>& rows,
                                   std::size_t min_samples);
std::vector<MSTEdge> prim_mst(const std::vector<std::vector<double>>& rows,
                              const std::vector<double>& core);
std::vector<SLTNode> single_linkage(std::vector<MSTEdge> edges, std::size_t n);
std::vector<CondensedNode> condense_tree(const std::vector<SLTNode>& slt, std::size_t n,
                                         std::size_t min_cluster_size);
std::vector<std::int32_t> label_points(const std::vector<CondensedNode>& condensed, std::size_t n);

// All steps, for rows that pass the input check.
std::vector<std::int32_t> cluster(const std::vector<std::vector<double>>& rows,
                                  std::size_t min_cluster_size, std::size_t min_samples);

}  // namespace quillfen::testing::reference
