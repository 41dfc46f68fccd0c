#include "analyze/discovery_command.h"

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "analyze/field_readers.h"
#include "analyze/raw_files.h"

namespace quillfen::analyze {
namespace {

namespace discovery = speakers::discovery;

// Rows, cols and the parameters travel as 64-bit values into a size_t interface.
static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));

std::string with_shape(std::string_view prefix, std::uint64_t rows, std::uint64_t cols) {
  std::string text(prefix);
  text += "rows=";
  text += std::to_string(rows);
  text += " cols=";
  text += std::to_string(cols);
  return text;
}

struct Shape {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

std::expected<Shape, AnalyzeError> read_shape(const json::Object& object) {
  const json::Value* shape = object.find("shape");
  if (shape == nullptr || !shape->is_array()) {
    return std::unexpected(AnalyzeError::malformed_request("shape must be [rows, cols]"));
  }
  const json::Array& dims = shape->as_array();
  if (dims.size() != 2) {
    return std::unexpected(
        AnalyzeError::malformed_request("shape must contain exactly two integers"));
  }
  auto rows = non_negative_i64_value(&dims[0], "shape[0]");
  if (!rows) return std::unexpected(std::move(rows.error()));
  auto cols = non_negative_i64_value(&dims[1], "shape[1]");
  if (!cols) return std::unexpected(std::move(cols.error()));
  if (*cols == 0) {
    return std::unexpected(AnalyzeError::malformed_request("shape[1] must be at least 1"));
  }
  return Shape{*rows, *cols};
}

// rows * cols * 4 in 64 bits: the element count must fit, then its byte count.
std::expected<std::uint64_t, AnalyzeError> payload_byte_count(const Shape& shape) {
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(shape.rows, shape.cols, &count)) {
    return std::unexpected(
        AnalyzeError::malformed_request(with_shape("shape overflow: ", shape.rows, shape.cols)));
  }
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, std::uint64_t{4}, &bytes)) {
    return std::unexpected(AnalyzeError::malformed_request(
        with_shape("payload byte count overflow: ", shape.rows, shape.cols)));
  }
  return bytes;
}

}  // namespace

std::expected<DiscoveryRequest, AnalyzeError> parse_discovery_request(std::string_view text) {
  auto parsed = parse_request_object(text);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  const json::Object& object = parsed->as_object();

  if (auto schema = read_schema(object, kDiscoveryRequestSchema); !schema) {
    return std::unexpected(std::move(schema.error()));
  }
  DiscoveryRequest request;
  auto path = read_required_string(object, "embeddings_f32le_path");
  if (!path) return std::unexpected(std::move(path.error()));
  request.embeddings_f32le_path = std::move(*path);

  const auto shape = read_shape(object);
  if (!shape) return std::unexpected(shape.error());
  const auto byte_count = payload_byte_count(*shape);
  if (!byte_count) return std::unexpected(byte_count.error());
  request.rows = shape->rows;
  request.cols = shape->cols;
  request.byte_count = *byte_count;

  if (auto format = read_exact_string(object, "payload_format", kPayloadFormat); !format) {
    return std::unexpected(std::move(format.error()));
  }
  if (auto dtype = read_exact_string(object, "dtype", kPayloadDtype); !dtype) {
    return std::unexpected(std::move(dtype.error()));
  }
  const auto min_cluster_size = read_non_negative_i64(object, "min_cluster_size");
  if (!min_cluster_size) return std::unexpected(min_cluster_size.error());
  const auto min_samples = read_non_negative_i64(object, "min_samples");
  if (!min_samples) return std::unexpected(min_samples.error());
  request.min_cluster_size = *min_cluster_size;
  request.min_samples = *min_samples;
  return request;
}

AnalyzeError analyze_error_from_discovery(const discovery::DiscoveryClusteringError& error,
                                          const std::string& path) {
  using Kind = discovery::DiscoveryClusteringError::Kind;
  switch (error.kind) {
    case Kind::InvalidMinClusterSize:
    case Kind::InvalidMinSamples:
    case Kind::MinSamplesExceedsRows:
    case Kind::NotUnitLength:
      return AnalyzeError::payload_invalid(path, error.to_string());
    case Kind::NonFiniteValue:
      return AnalyzeError::payload_non_finite(error.row, error.col, path);
    case Kind::MissingColumns:
    case Kind::ShapeOverflow:
    case Kind::ShapeMismatch:
    case Kind::HdbscanEmptyDataset:
    case Kind::HdbscanWrongDimension:
    case Kind::HdbscanNonFiniteCoordinate:
    case Kind::LabelCountMismatch:
    case Kind::InvalidLabel:
      break;
  }
  return AnalyzeError::internal_error(error.to_string());
}

json::Value discovery_response(const discovery::OptionLabels& labels,
                               const DiscoveryRequest& request) {
  json::Array values;
  values.reserve(labels.size());
  // Cluster numbers are below the row count, so one flag per row marks those seen.
  std::vector<bool> seen(labels.size(), false);
  std::uint64_t cluster_count = 0;
  std::uint64_t noise_count = 0;
  for (const auto& label : labels) {
    if (!label) {
      ++noise_count;
      values.emplace_back(std::int64_t{-1});
      continue;
    }
    if (*label >= seen.size()) seen.resize(*label + 1, false);
    if (!seen[*label]) {
      seen[*label] = true;
      ++cluster_count;
    }
    values.emplace_back(static_cast<std::int64_t>(*label));
  }

  json::Object parameters;
  parameters.insert("min_cluster_size", request.min_cluster_size);
  parameters.insert("min_samples", request.min_samples);

  json::Object response;
  response.insert("schema", std::string(kDiscoveryResponseSchema));
  response.insert("labels", std::move(values));
  response.insert("cluster_count", cluster_count);
  response.insert("noise_count", noise_count);
  response.insert("parameters", std::move(parameters));
  response.insert("algorithm", std::string(kDiscoveryAlgorithm));
  return response;
}

std::expected<json::Value, AnalyzeError> run_discovery_cluster(std::string_view text) {
  // The parsed tree lives only inside parse_discovery_request.
  const auto request = parse_discovery_request(text);
  if (!request) return std::unexpected(request.error());

  auto labels = [&]() -> std::expected<discovery::OptionLabels, AnalyzeError> {
    // The payload values are handed over to clustering, which releases them once widened.
    auto values = read_payload_file(request->embeddings_f32le_path, request->rows,
                                    request->cols, request->byte_count);
    if (!values) return std::unexpected(values.error());
    const std::size_t len = values->size();
    auto clustered = discovery::cluster_embeddings_releasing(
        std::move(*values), len, request->rows, request->cols, request->min_cluster_size,
        request->min_samples);
    if (!clustered) {
      return std::unexpected(
          analyze_error_from_discovery(clustered.error(), request->embeddings_f32le_path));
    }
    return std::move(*clustered);
  }();
  if (!labels) return std::unexpected(std::move(labels.error()));
  return discovery_response(*labels, *request);
}

}  // namespace quillfen::analyze
