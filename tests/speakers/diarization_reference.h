// Direct, unoptimised form of the agglomerative clustering with silhouette selection: a
// (2n - 1)^2 linkage table scanned pair by pair, the dendrogram rebuilt for every cut, member
// lists for cuts and per-pair distances recomputed for every silhouette. Tests hold the
// library's faster clustering to exactly these results.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "speakers/diarization.h"

namespace quillfen::speakers::diarization::reference {

std::vector<double> normalize_rows(std::span<const float> values, std::size_t rows,
                                   std::size_t cols);
std::vector<Merge> average_linkage(std::span<const double> unit_rows, std::size_t rows,
                                   std::size_t cols);
std::vector<std::size_t> cut_tree_canonical_labels(std::span<const Merge> merges, std::size_t rows,
                                                   std::size_t k);
std::vector<std::size_t> agglomerative_labels(std::span<const double> unit_rows, std::size_t rows,
                                              std::size_t cols, std::size_t k);
double silhouette_score(std::span<const double> unit_rows, std::size_t rows, std::size_t cols,
                        std::span<const std::size_t> labels);
// Shape errors are not modelled: values must hold rows * cols floats.
DiarizationClustering cluster_embeddings(std::span<const float> values, std::size_t rows,
                                         std::size_t cols, std::optional<std::size_t> k_override);

}  // namespace quillfen::speakers::diarization::reference
