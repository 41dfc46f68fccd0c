// Speaker diarization algorithms: speaker intervals from the recording's averaged frame
// scores, assignment of statements to the clusters of those intervals, and average-linkage
// clustering of interval embeddings with a silhouette-chosen cluster count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "speakers/model_contract.h"

namespace quillfen::speakers::diarization {

// Error of the diarization module. Each kind sets only the fields its display text names.
struct [[nodiscard]] DiarizationError {
  enum class Kind : std::uint8_t {
    FrameMatrixLengthMismatch,  // len, num_classes
    MatrixShapeOverflow,        // rows, cols
    EmbeddingLengthMismatch,    // rows, cols, len
    LabelLengthMismatch,        // intervals, labels
  };

  Kind kind = Kind::FrameMatrixLengthMismatch;
  std::size_t len = 0, num_classes = 0;
  std::size_t rows = 0, cols = 0;
  std::size_t intervals = 0, labels = 0;

  static DiarizationError frame_matrix_length_mismatch(std::size_t len, std::size_t num_classes) {
    return {.kind = Kind::FrameMatrixLengthMismatch, .len = len, .num_classes = num_classes};
  }
  static DiarizationError matrix_shape_overflow(std::size_t rows, std::size_t cols) {
    return {.kind = Kind::MatrixShapeOverflow, .rows = rows, .cols = cols};
  }
  static DiarizationError embedding_length_mismatch(std::size_t rows, std::size_t cols,
                                                    std::size_t len) {
    return {.kind = Kind::EmbeddingLengthMismatch, .len = len, .rows = rows, .cols = cols};
  }
  static DiarizationError label_length_mismatch(std::size_t intervals, std::size_t labels) {
    return {.kind = Kind::LabelLengthMismatch, .intervals = intervals, .labels = labels};
  }

  // Display text, for example "embedding matrix length mismatch: rows=2 cols=256 len=500".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const DiarizationError&, const DiarizationError&) = default;
};

// ---------------------------------------------------------------------------------------------
// Speaker intervals and statement assignment

// Probability of the most likely class at or above which a single-speaker frame is active.
inline constexpr double kActivityThreshold = 0.5;
// Shortest interval kept, in seconds.
inline constexpr double kMinIntervalSeconds = 0.5;

// A run of frames in which local speaker slot local_class (1, 2 or 3) is confidently the only
// speaker. Times in seconds from the start of the recording; end_s - start_s >= 0.5.
struct SpeakerInterval {
  double start_s = 0.0;
  double end_s = 0.0;
  std::uint8_t local_class = 0;

  friend bool operator==(const SpeakerInterval&, const SpeakerInterval&) = default;
};

// Times of one statement in seconds; either may be absent.
struct StatementTimes {
  std::optional<double> start_s;
  std::optional<double> end_s;
};

// Speaker intervals in time order. scores is row-major, num_classes log-probabilities per frame
// (class 0 silence, 1..3 one speaker, higher classes overlap); trailing values that do not fill
// a frame are ignored. total_samples is the recording's length at 16000 Hz; interval ends are
// clamped to it. A frame is active when its most likely class is 1, 2 or 3 and that class's
// softmax probability (64-bit) is at least 0.5; a run of active frames of one class becomes an
// interval when it lasts at least 0.5 s. num_classes 0 gives no interval.
[[nodiscard]] std::vector<SpeakerInterval> find_intervals(std::span<const float> scores,
                                                          std::size_t num_classes,
                                                          std::uint64_t total_samples);

// One label per sentence: labels[i] + 1 for the interval i that overlaps the sentence most
// (ties to the earliest interval), or none when the sentence lacks valid times or overlaps no
// interval by more than 0. labels holds one cluster number per interval; otherwise
// LabelLengthMismatch.
[[nodiscard]] std::expected<std::vector<std::optional<std::size_t>>, DiarizationError>
assign_sentences(std::span<const StatementTimes> sentences,
                 std::span<const SpeakerInterval> intervals, std::span<const std::size_t> labels);

// ---------------------------------------------------------------------------------------------
// Agglomerative clustering of embeddings

// Largest cluster count searched by the silhouette selection.
inline constexpr std::size_t kMaxSearchedClusters = 8;
// Extra mean silhouette a larger cluster count must strictly exceed to be chosen.
inline constexpr double kSilhouetteMargin = 0.03;
// Score of the one-cluster baseline, and of any non-finite candidate score.
inline constexpr double kBaselineSilhouette = -1.0;
// Row norms at or below this leave the row unscaled.
inline constexpr double kNormalizationFloor = 1e-9;

struct DiarizationClustering {
  // Count chosen by the silhouette search; absent with no rows or with a fixed count.
  std::optional<std::size_t> silhouette_k;
  // Number of clusters cut; absent only with no rows.
  std::optional<std::size_t> effective_k;
  // Per row, its cluster 0..effective_k-1; clusters are numbered by their smallest row.
  std::vector<std::size_t> labels;

  friend bool operator==(const DiarizationClustering&, const DiarizationClustering&) = default;
};

// One dendrogram step. Rows are clusters 0..n-1; the cluster made by merge m has id n + m.
struct Merge {
  std::size_t left = 0;   // smaller merged id
  std::size_t right = 0;  // larger merged id
  double distance = 0.0;  // average-linkage cosine distance between the two
  std::size_t size = 0;   // rows in the new cluster

  friend bool operator==(const Merge&, const Merge&) = default;
};

// Clusters rows embeddings of cols 32-bit floats (row-major). Rows are scaled to unit length;
// the dendrogram is average linkage over cosine distances; the count is k_override when given,
// else the smallest of 2..min(rows - 1, 8) whose mean silhouette beats every smaller count by
// more than 0.03 (1 for fewer than 3 rows). Fails when rows * cols overflows or values does not
// hold rows * cols values.
[[nodiscard]] std::expected<DiarizationClustering, DiarizationError> cluster_embeddings(
    std::span<const float> values, std::size_t rows, std::size_t cols,
    std::optional<std::size_t> k_override);

// Each row divided by its Euclidean norm (64-bit, squares added in column order from -0.0);
// rows with norm <= 1e-9 are only widened. Same row-major layout as values.
[[nodiscard]] std::expected<std::vector<double>, DiarizationError> normalize_embedding_rows(
    std::span<const float> values, std::size_t rows, std::size_t cols);

// Canonical labels of the average-linkage dendrogram of unit_rows (rows x cols, row-major) cut
// into max(1, min(max(rows, 2) - 1, k)) clusters.
[[nodiscard]] std::vector<std::size_t> agglomerative_labels(std::span<const double> unit_rows,
                                                            std::size_t rows, std::size_t cols,
                                                            std::size_t k);

// The rows - 1 merges of the average-linkage (UPGMA) dendrogram over the distances
// 1 - dot(x_i, x_j) (unclamped, dot summed in column order from -0.0). Each merge joins the
// closest active pair; among equal distances the pair with the smallest left id, then the
// smallest right id, wins, and a NaN distance loses to every number.
[[nodiscard]] std::vector<Merge> average_linkage(std::span<const double> unit_rows,
                                                 std::size_t rows, std::size_t cols);

// Labels of the clusters left after replaying the first rows - k merges (all of them when
// k is 0): clusters are numbered 0, 1, ... in the order of their smallest row.
[[nodiscard]] std::vector<std::size_t> cut_tree_canonical_labels(std::span<const Merge> merges,
                                                                 std::size_t rows, std::size_t k);

// Mean silhouette of labels over unit_rows with distances max(0, 1 - dot(x_i, x_j)); -1.0 when
// labels does not have one entry per row or the number of distinct labels is not in
// [2, rows).
[[nodiscard]] double silhouette_score(std::span<const double> unit_rows, std::size_t rows,
                                      std::size_t cols, std::span<const std::size_t> labels);

// Cluster count chosen from the candidate scores, where scores[i] belongs to count i + 2:
// starting from count 1 at -1.0, a candidate (non-finite scores count as -1.0) wins only when
// its score is strictly greater than the best so far plus 0.03.
[[nodiscard]] std::size_t select_silhouette_k(std::span<const double> scores);

}  // namespace quillfen::speakers::diarization
