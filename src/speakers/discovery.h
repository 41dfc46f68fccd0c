// Discovery clustering: checks a row-major matrix of unit-length 32-bit float embeddings and
// its two density parameters, clusters the rows with HDBSCAN (excess of mass, Euclidean,
// 64-bit, Prim spanning tree) and numbers the clusters canonically by their lowest row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillfen::speakers::discovery {

// Each kind sets only the fields its display text names.
struct [[nodiscard]] DiscoveryClusteringError {
  enum class Kind : std::uint8_t {
    InvalidMinClusterSize,       // min_cluster_size
    InvalidMinSamples,           // min_samples
    MissingColumns,              //
    ShapeOverflow,               // rows, cols
    ShapeMismatch,               // rows, cols, len
    MinSamplesExceedsRows,       // min_samples, rows
    NonFiniteValue,              // row, col
    NotUnitLength,               // row, norm
    HdbscanEmptyDataset,         //
    HdbscanWrongDimension,       // detail
    HdbscanNonFiniteCoordinate,  // detail
    LabelCountMismatch,          // label_count, rows
    InvalidLabel,                // label
  };
  using Error = DiscoveryClusteringError;

  Kind kind = Kind::InvalidMinClusterSize;
  std::size_t min_cluster_size = 0, min_samples = 0;
  std::size_t rows = 0, cols = 0, len = 0;
  std::size_t row = 0, col = 0;
  double norm = 0.0;
  std::string detail{};
  std::size_t label_count = 0;
  std::int32_t label = 0;

  static Error invalid_min_cluster_size(std::size_t min_cluster_size) {
    return {.kind = Kind::InvalidMinClusterSize, .min_cluster_size = min_cluster_size};
  }
  static Error invalid_min_samples(std::size_t min_samples) {
    return {.kind = Kind::InvalidMinSamples, .min_samples = min_samples};
  }
  static Error missing_columns() { return {.kind = Kind::MissingColumns}; }
  static Error shape_overflow(std::size_t rows, std::size_t cols) {
    return {.kind = Kind::ShapeOverflow, .rows = rows, .cols = cols};
  }
  static Error shape_mismatch(std::size_t rows, std::size_t cols, std::size_t len) {
    return {.kind = Kind::ShapeMismatch, .rows = rows, .cols = cols, .len = len};
  }
  static Error min_samples_exceeds_rows(std::size_t min_samples, std::size_t rows) {
    return {.kind = Kind::MinSamplesExceedsRows, .min_samples = min_samples, .rows = rows};
  }
  static Error non_finite_value(std::size_t row, std::size_t col) {
    return {.kind = Kind::NonFiniteValue, .row = row, .col = col};
  }
  static Error not_unit_length(std::size_t row, double norm) {
    return {.kind = Kind::NotUnitLength, .row = row, .norm = norm};
  }
  static Error hdbscan_empty_dataset() { return {.kind = Kind::HdbscanEmptyDataset}; }
  static Error hdbscan_wrong_dimension(std::string detail) {
    return {.kind = Kind::HdbscanWrongDimension, .detail = std::move(detail)};
  }
  static Error hdbscan_non_finite_coordinate(std::string detail) {
    return {.kind = Kind::HdbscanNonFiniteCoordinate, .detail = std::move(detail)};
  }
  static Error label_count_mismatch(std::size_t label_count, std::size_t rows) {
    return {.kind = Kind::LabelCountMismatch, .rows = rows, .label_count = label_count};
  }
  static Error invalid_label(std::int32_t label) {
    return {.kind = Kind::InvalidLabel, .label = label};
  }

  // Display text, for example "embedding row 3 is not unit length: norm=1.0020000457763672".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const Error&, const Error&) = default;
};

// One entry per row: the row's cluster number, or nothing for a noise row.
using OptionLabels = std::vector<std::optional<std::size_t>>;

// values holds rows x cols floats row-major (len of them). Checks, in order: min_cluster_size
// >= 2, min_samples >= 1, cols >= 1, rows * cols within size_t, len == rows * cols; then an empty
// matrix gives no labels and fewer rows than min_cluster_size give all noise (without further
// checks); then min_samples <= rows, every value finite (row by row) and every row of unit
// length (|norm - 1| <= 0.001, norm summed in 64-bit from the first column). Clusters are
// numbered 0, 1, ... in order of their lowest row.
[[nodiscard]] std::expected<OptionLabels, DiscoveryClusteringError> cluster_embeddings(
    std::span<const float> values, std::size_t len, std::size_t rows, std::size_t cols,
    std::size_t min_cluster_size, std::size_t min_samples);
// The same, taking the values over: the clustering works on them in place (widening each value
// exactly where a distance needs it) and releases them once its spanning tree is built, so that
// a library is never held twice (cluster_embeddings copies the values once).
[[nodiscard]] std::expected<OptionLabels, DiscoveryClusteringError> cluster_embeddings_releasing(
    std::vector<float>&& values, std::size_t len, std::size_t rows, std::size_t cols,
    std::size_t min_cluster_size, std::size_t min_samples);

// Canonical numbering of HDBSCAN's labels (-1 noise): groups ordered by their first row.
[[nodiscard]] std::expected<OptionLabels, DiscoveryClusteringError> option_labels_from_hdbscan(
    std::span<const std::int32_t> labels, std::size_t rows);

}  // namespace quillfen::speakers::discovery
