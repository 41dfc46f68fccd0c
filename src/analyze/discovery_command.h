// The discovery-cluster command: validates its request, reads the row-major embedding payload
// the request names, clusters the rows by density and answers with one label per row
// (-1 for noise, otherwise the cluster number in order of each cluster's lowest row).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "analyze/analyze_error.h"
#include "analyze/json.h"
#include "speakers/discovery.h"

namespace quillfen::analyze {

inline constexpr std::string_view kDiscoveryRequestSchema =
    "quillfen-speaker-discovery-cluster-request-v1";
inline constexpr std::string_view kDiscoveryResponseSchema =
    "quillfen-speaker-discovery-cluster-response-v1";
inline constexpr std::string_view kDiscoveryAlgorithm = "hdbscan-eom-euclidean-f64-prim-mst";

// The validated request. byte_count = rows * cols * 4, known not to overflow 64 bits;
// cols is at least 1. The density parameters are only range-checked as non-negative i64
// here; the clustering decides whether they are usable.
struct DiscoveryRequest {
  std::string embeddings_f32le_path;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::uint64_t byte_count = 0;
  std::uint64_t min_cluster_size = 0;
  std::uint64_t min_samples = 0;

  friend bool operator==(const DiscoveryRequest&, const DiscoveryRequest&) = default;
};

// Parses and validates the request text; every rule stops at its first failure, in the order
// schema, embeddings_f32le_path, shape, byte count, payload_format, dtype, min_cluster_size,
// min_samples. Failures are malformed-request, or unknown-schema naming the discovery id as
// the expected one. Reads no file.
std::expected<DiscoveryRequest, AnalyzeError> parse_discovery_request(std::string_view text);

// Parameter and unit-length errors become payload-invalid for path, a non-finite value
// payload-non-finite at its row and col, everything else internal-error.
AnalyzeError analyze_error_from_discovery(
    const speakers::discovery::DiscoveryClusteringError& error, const std::string& path);

// The response document: schema, labels, cluster_count, noise_count, parameters, algorithm.
json::Value discovery_response(const speakers::discovery::OptionLabels& labels,
                               const DiscoveryRequest& request);

// The whole command: request text to response document. The parsed request tree is released
// before the payload is read.
std::expected<json::Value, AnalyzeError> run_discovery_cluster(std::string_view text);

}  // namespace quillfen::analyze
