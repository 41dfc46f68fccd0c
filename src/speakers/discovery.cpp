#include "speakers/discovery.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

#include "speakers/decimal_text.h"
#include "speakers/hdbscan/hdbscan.h"
#include "speakers/numeric.h"

namespace quillfen::speakers::discovery {
namespace {

using Error = DiscoveryClusteringError;

constexpr double kUnitTolerance = 0.001;

}  // namespace

std::string Error::to_string() const {
  using std::to_string;
  switch (kind) {
    case Kind::InvalidMinClusterSize:
      return "invalid min_cluster_size: expected at least 2, got " + to_string(min_cluster_size);
    case Kind::InvalidMinSamples:
      return "invalid min_samples: expected at least 1, got " + to_string(min_samples);
    case Kind::MissingColumns:
      return "row-major matrix must have at least one column";
    case Kind::ShapeOverflow:
      return "row-major matrix shape overflow: rows=" + to_string(rows) +
             " cols=" + to_string(cols);
    case Kind::ShapeMismatch:
      return "row-major matrix length mismatch: rows=" + to_string(rows) +
             " cols=" + to_string(cols) + " len=" + to_string(len);
    case Kind::MinSamplesExceedsRows:
      return "invalid min_samples: min_samples=" + to_string(min_samples) +
             " exceeds rows=" + to_string(rows);
    case Kind::NonFiniteValue:
      return "matrix value at row=" + to_string(row) + " col=" + to_string(col) + " is not finite";
    case Kind::NotUnitLength:
      return "embedding row " + to_string(row) +
             " is not unit length: norm=" + shortest_decimal(norm);
    case Kind::HdbscanEmptyDataset:
      return "hdbscan rejected an empty dataset";
    case Kind::HdbscanWrongDimension:
      return "hdbscan rejected matrix dimensions: " + detail;
    case Kind::HdbscanNonFiniteCoordinate:
      return "hdbscan rejected a non-finite coordinate: " + detail;
    case Kind::LabelCountMismatch:
      return "hdbscan returned " + to_string(label_count) + " labels for " + to_string(rows) +
             " rows";
    case Kind::InvalidLabel:
      return "hdbscan returned invalid label " + to_string(label);
  }
  return {};
}

namespace {

// Rules 1 to 10: an error, labels decided without clustering, or nothing (cluster the rows).
std::expected<std::optional<OptionLabels>, Error> check_embeddings(
    std::span<const float> values, std::size_t len, std::size_t rows, std::size_t cols,
    std::size_t min_cluster_size, std::size_t min_samples) {
  if (min_cluster_size < 2)
    return std::unexpected(Error::invalid_min_cluster_size(min_cluster_size));
  if (min_samples == 0) return std::unexpected(Error::invalid_min_samples(min_samples));
  if (cols == 0) return std::unexpected(Error::missing_columns());
  std::size_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count)) {
    return std::unexpected(Error::shape_overflow(rows, cols));
  }
  if (len != count) return std::unexpected(Error::shape_mismatch(rows, cols, len));
  if (rows == 0) return OptionLabels{};
  if (rows < min_cluster_size) return OptionLabels(rows);
  if (min_samples > rows)
    return std::unexpected(Error::min_samples_exceeds_rows(min_samples, rows));
  // len counts the values the caller vouches for; never read past the span itself.
  if (values.size() < count)
    return std::unexpected(Error::shape_mismatch(rows, cols, values.size()));

  if (const std::size_t bad = first_non_finite(values.first(count)); bad != count) {
    return std::unexpected(Error::non_finite_value(bad / cols, bad % cols));
  }
  for (std::size_t r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (std::size_t c = 0; c < cols; ++c) {
      const double v = values[r * cols + c];
      sum += v * v;
    }
    const double norm = std::sqrt(sum);
    if (std::fabs(norm - 1.0) > kUnitTolerance)
      return std::unexpected(Error::not_unit_length(r, norm));
  }
  return std::nullopt;
}

// Rules 11 to 14. The values (rows x cols, row-major) are widened exactly to 64 bits as the
// distances need them, never copied: the clustering takes them over and reorders them.
std::expected<OptionLabels, Error> cluster_values(std::vector<float>&& values, std::size_t rows,
                                                  std::size_t cols, std::size_t min_cluster_size,
                                                  std::size_t min_samples) {
  const hdbscan::HdbscanParams params =
      hdbscan::HyperParamBuilder{}
          .min_cluster_size(min_cluster_size)
          .min_samples(min_samples)
          .max_cluster_size(std::numeric_limits<std::size_t>::max())
          .single_cluster_allowed(false)
          .epsilon(0.0)
          .distance_metric(hdbscan::DistanceMetric::Euclidean)
          .neighbour_search(hdbscan::NeighbourSearch::KdTree)
          .build();
  auto labels = hdbscan::cluster(std::move(values), cols, params);
  if (!labels) {
    const hdbscan::HdbscanError& e = labels.error();
    switch (e.kind) {
      case hdbscan::HdbscanError::Kind::EmptyDataset:
        return std::unexpected(Error::hdbscan_empty_dataset());
      case hdbscan::HdbscanError::Kind::WrongDimension:
        return std::unexpected(Error::hdbscan_wrong_dimension(e.message()));
      case hdbscan::HdbscanError::Kind::NonFiniteCoordinate:
        return std::unexpected(Error::hdbscan_non_finite_coordinate(e.message()));
    }
  }
  return option_labels_from_hdbscan(*labels, rows);
}

}  // namespace

std::expected<OptionLabels, Error> cluster_embeddings(std::span<const float> values,
                                                      std::size_t len, std::size_t rows,
                                                      std::size_t cols,
                                                      std::size_t min_cluster_size,
                                                      std::size_t min_samples) {
  auto checked = check_embeddings(values, len, rows, cols, min_cluster_size, min_samples);
  if (!checked) return std::unexpected(std::move(checked.error()));
  if (*checked) return std::move(**checked);
  std::vector<float> copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(len));
  return cluster_values(std::move(copy), rows, cols, min_cluster_size, min_samples);
}

std::expected<OptionLabels, Error> cluster_embeddings_releasing(std::vector<float>&& values,
                                                                std::size_t len, std::size_t rows,
                                                                std::size_t cols,
                                                                std::size_t min_cluster_size,
                                                                std::size_t min_samples) {
  std::vector<float> owned = std::move(values);
  auto checked = check_embeddings(owned, len, rows, cols, min_cluster_size, min_samples);
  if (!checked) return std::unexpected(std::move(checked.error()));
  if (*checked) return std::move(**checked);
  owned.resize(len);
  return cluster_values(std::move(owned), rows, cols, min_cluster_size, min_samples);
}

std::expected<OptionLabels, Error> option_labels_from_hdbscan(std::span<const std::int32_t> labels,
                                                              std::size_t rows) {
  if (labels.size() != rows)
    return std::unexpected(Error::label_count_mismatch(labels.size(), rows));
  std::map<std::int32_t, std::vector<std::size_t>> groups;
  for (std::size_t row = 0; row < labels.size(); ++row) {
    const std::int32_t label = labels[row];
    if (label == -1) continue;
    if (label < 0) return std::unexpected(Error::invalid_label(label));
    groups[label].push_back(row);
  }
  std::vector<const std::vector<std::size_t>*> ordered;
  ordered.reserve(groups.size());
  for (const auto& [label, members] : groups) ordered.push_back(&members);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto* a, const auto* b) { return a->front() < b->front(); });
  OptionLabels result(rows);
  for (std::size_t p = 0; p < ordered.size(); ++p) {
    for (const std::size_t row : *ordered[p]) result[row] = p;
  }
  return result;
}

}  // namespace quillfen::speakers::discovery
