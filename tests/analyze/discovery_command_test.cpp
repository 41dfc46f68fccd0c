// End-to-end tests of the discovery-cluster command: request validation in its fixed order,
// payload reading, the clustering checks and the response document. Each runs the engine
// executable and compares standard output, standard error and the exit status byte for byte.
#include "analyze/discovery_command.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "request_text.h"
#include "support/paths.h"
#include "support/unit_rows.h"

namespace quillfen::analyze {
namespace {

using quillfen::testing::ProcessResult;
using quillfen::testing::TempDir;
using quillfen::testing::unit_rows;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;
using testing::error_line;

const std::string kSchema = "quillfen-speaker-discovery-cluster-request-v1";
const std::string kMissing = "/nonexistent-quillfen-dir/embeddings.f32";

// A discovery request; starts valid (apart from naming a payload that does not exist).
class DiscoveryText : public testing::JsonMembersText<DiscoveryText> {
 public:
  DiscoveryText()
      : JsonMembersText({
            {"schema", "\"" + kSchema + "\""},
            {"embeddings_f32le_path", "\"" + kMissing + "\""},
            {"shape", "[2,3]"},
            {"payload_format", "\"raw-f32le-row-major-v1\""},
            {"dtype", "\"float32-le\""},
            {"min_cluster_size", "2"},
            {"min_samples", "1"},
        }) {}

  DiscoveryText& path(const std::filesystem::path& p) { return str("embeddings_f32le_path", p); }
  DiscoveryText& shape(const std::string& raw) { return set("shape", raw); }
  DiscoveryText& params(std::uint64_t min_cluster_size, std::uint64_t min_samples) {
    set("min_cluster_size", std::to_string(min_cluster_size));
    return set("min_samples", std::to_string(min_samples));
  }
};

ProcessResult run(const DiscoveryText& request) {
  return quillfen::testing::run_engine({"discovery-cluster"}, request.text());
}

void expect_failure(const ProcessResult& result, int status, const std::string& reason,
                    const std::string& detail) {
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, error_line(reason, detail));
  EXPECT_EQ(result.status, status);
}

std::string response(const std::string& labels, int clusters, int noise,
                     const std::string& min_cluster_size, const std::string& min_samples) {
  return R"({"schema":"quillfen-speaker-discovery-cluster-response-v1","labels":[)" + labels +
         R"(],"cluster_count":)" + std::to_string(clusters) +
         ",\"noise_count\":" + std::to_string(noise) + R"(,"parameters":{"min_cluster_size":)" +
         min_cluster_size + ",\"min_samples\":" + min_samples +
         R"(},"algorithm":"hdbscan-eom-euclidean-f64-prim-mst"})" + "\n";
}

void expect_success(const ProcessResult& result, const std::string& expected_out) {
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// Two tight pairs near (1,0,0) and (0.8,0.6,0), and a far row at (0,0,-1).
const std::vector<double> kA0 = {1, 0, 0}, kA1 = {1, 0.01, 0}, kB0 = {0.8, 0.6, 0},
                          kB1 = {0.8, 0.61, 0}, kFar = {0, 0, -1};

TEST(DiscoveryValidation, EachRuleReportsItsMessageInOrder) {
  using D = DiscoveryText;
  const std::string m = "malformed-request";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1]", "request body must be a JSON object"},
      {D().drop("schema").str("shape", "x").text(), "schema must be a non-empty string"},
      {D().str("schema", "").text(), "schema must be a non-empty string"},
      {D().str("embeddings_f32le_path", "").drop("shape").text(),
       "embeddings_f32le_path must be a non-empty string"},
      {D().set("embeddings_f32le_path", "null").text(),
       "embeddings_f32le_path must be a non-empty string"},
      {D().drop("shape").drop("dtype").text(), "shape must be [rows, cols]"},
      {D().shape(R"({"rows":2,"cols":3})").text(), "shape must be [rows, cols]"},
      {D().shape("[2]").text(), "shape must contain exactly two integers"},
      {D().shape("[2,3,1]").text(), "shape must contain exactly two integers"},
      {D().shape("[-1,4]").text(), "shape[0] must be non-negative"},
      {D().shape("[-1,0]").text(), "shape[0] must be non-negative"},
      {D().shape("[2.0,4]").text(), "shape[0] must be an i64 integer"},
      {D().shape(R"(["2",4])").text(), "shape[0] must be an i64 integer"},
      {D().shape("[9223372036854775808,1]").text(), "shape[0] must be an i64 integer"},
      {D().shape("[2,-3]").text(), "shape[1] must be non-negative"},
      {D().shape("[2,null]").text(), "shape[1] must be an i64 integer"},
      {D().shape("[3,0]").text(), "shape[1] must be at least 1"},
      {D().shape("[9223372036854775807,3]").set("dtype", "1").text(),
       "shape overflow: rows=9223372036854775807 cols=3"},
      {D().shape("[4611686018427387904,1]").text(),
       "payload byte count overflow: rows=4611686018427387904 cols=1"},
      {D().shape("[2147483648,2147483648]").text(),
       "payload byte count overflow: rows=2147483648 cols=2147483648"},
      {D().drop("payload_format").set("dtype", "1").text(),
       "payload_format must be a non-empty string"},
      {D().str("payload_format", "raw-f32be-row-major-v1").text(),
       "payload_format must be \"raw-f32le-row-major-v1\""},
      {D().set("dtype", "[]").text(), "dtype must be a non-empty string"},
      {D().str("dtype", "float32").text(), "dtype must be \"float32-le\""},
      {D().set("min_cluster_size", "-2").str("min_samples", "x").text(),
       "min_cluster_size must be non-negative"},
      {D().set("min_cluster_size", "2.0").text(), "min_cluster_size must be an i64 integer"},
      {D().drop("min_cluster_size").text(), "min_cluster_size must be an i64 integer"},
      {D().set("min_samples", "-1").text(), "min_samples must be non-negative"},
      {D().set("min_samples", "9223372036854775808").text(), "min_samples must be an i64 integer"},
  };
  for (const auto& [request, detail] : cases) {
    SCOPED_TRACE(request);
    expect_failure(quillfen::testing::run_engine({"discovery-cluster"}, request), 64, m, detail);
  }
  // The analyze schema, or any other id, names the discovery id as the expected one.
  expect_failure(
      run(D().str("schema", "quillfen-speaker-analyze-request-v1").drop("shape")), 64,
      "unknown-schema",
      "request schema \"quillfen-speaker-analyze-request-v1\" is not \"" + kSchema + "\"");
  expect_failure(run(D().str("schema", "a\\\"b")), 64, "unknown-schema",
                 "request schema \"a\\\"b\" is not \"" + kSchema + "\"");
}

TEST(DiscoveryPayload, ReadFailuresNameThePath) {
  TempDir dir;
  const std::string file = dir / "e.f32";
  write_floats(file, unit_rows({kA0, kA1}));
  const std::string quoted_file = "\"" + file + "\"";
  const std::string invalid =
      "payload path " + quoted_file + " is not raw little-endian f32 row-major: ";

  expect_failure(
      run(DiscoveryText()), 69, "payload-unreadable",
      "payload path \"" + kMissing + "\" is unreadable: No such file or directory (os error 2)");
  expect_failure(
      run(DiscoveryText().path(dir.path())), 69, "payload-unreadable",
      "payload path \"" + dir.path().string() + "\" is unreadable: path is not a regular file");
  // A quote in the path is escaped in the quoted form and again in the JSON string.
  std::filesystem::create_directory(dir / "a\"b");
  expect_failure(run(DiscoveryText().str("embeddings_f32le_path", dir.path().string() + "/a\\\"b")),
                 69, "payload-unreadable",
                 "payload path \"" + dir.path().string() +
                     "/a\\\"b\" is unreadable: path is not a regular file");
  expect_failure(run(DiscoveryText().path(file).shape("[2,4]")), 69, "payload-invalid",
                 invalid + "byte length 24 does not match expected 32");
  expect_failure(run(DiscoveryText().path(file).shape("[1,3]")), 69, "payload-invalid",
                 invalid + "byte length 24 does not match expected 12");
  // Payload errors come before the parameter checks of the clustering.
  expect_failure(run(DiscoveryText().path(file).shape("[3,3]").params(1, 0)), 69, "payload-invalid",
                 invalid + "byte length 24 does not match expected 36");

  // Row and col of the first value whose exponent bits are all ones.
  std::vector<float> values = unit_rows({kA0, kA1, kB0});
  values[7] = INFINITY;
  values[8] = NAN;
  write_floats(file, values);
  const std::string non_finite = "payload path " + quoted_file + " contains non-finite value at ";
  expect_failure(run(DiscoveryText().path(file).shape("[3,3]")), 69, "payload-non-finite",
                 non_finite + "row=2 col=1");
  expect_failure(run(DiscoveryText().path(file).shape("[3,3]").params(1, 1)), 69,
                 "payload-non-finite", non_finite + "row=2 col=1");
  expect_failure(run(DiscoveryText().path(file).shape("[9,1]").params(20, 30)), 69,
                 "payload-non-finite", non_finite + "row=7 col=0");
  values[7] = -NAN;
  write_floats(file, values);
  expect_failure(run(DiscoveryText().path(file).shape("[1,9]")), 69, "payload-non-finite",
                 non_finite + "row=0 col=7");
}

TEST(DiscoveryClustering, ParameterAndUnitLengthErrorsArePayloadInvalid) {
  TempDir dir;
  const std::string file = dir / "e.f32";
  const std::string invalid =
      "payload path \"" + file + "\" is not raw little-endian f32 row-major: ";
  write_floats(file, unit_rows({kA0, kA1, kFar, kB0, kB1}));
  const auto five = [&] { return DiscoveryText().path(file).shape("[5,3]"); };

  expect_failure(run(five().params(1, 1)), 69, "payload-invalid",
                 invalid + "invalid min_cluster_size: expected at least 2, got 1");
  expect_failure(run(five().params(0, 0)), 69, "payload-invalid",
                 invalid + "invalid min_cluster_size: expected at least 2, got 0");
  expect_failure(run(five().params(2, 0)), 69, "payload-invalid",
                 invalid + "invalid min_samples: expected at least 1, got 0");
  expect_failure(run(five().params(2, 6)), 69, "payload-invalid",
                 invalid + "invalid min_samples: min_samples=6 exceeds rows=5");
  // The parameter checks run even on an empty matrix.
  write_file(file, "");
  expect_failure(run(DiscoveryText().path(file).shape("[0,5]").params(1, 1)), 69, "payload-invalid",
                 invalid + "invalid min_cluster_size: expected at least 2, got 1");
  expect_failure(run(DiscoveryText().path(file).shape("[0,5]").params(3, 0)), 69, "payload-invalid",
                 invalid + "invalid min_samples: expected at least 1, got 0");

  // The first row that is not of unit length, with its 64-bit norm.
  write_floats(file, {2, 0, 0, 0, 1, 0, 0, 1, 0});
  expect_failure(run(DiscoveryText().path(file).shape("[3,3]")), 69, "payload-invalid",
                 invalid + "embedding row 0 is not unit length: norm=2");
  write_floats(file, {0, 1, 0, 0, 1, 0, 1.5f, 0, 0, 0, 0, 0});
  expect_failure(run(DiscoveryText().path(file).shape("[4,3]")), 69, "payload-invalid",
                 invalid + "embedding row 2 is not unit length: norm=1.5");
}

TEST(DiscoveryClustering, LabelsFollowRowOrder) {
  TempDir dir;
  const std::string file = dir / "e.f32";

  // An empty matrix gives no labels.
  write_file(file, "");
  expect_success(run(DiscoveryText().path(file).shape("[0,5]")), response("", 0, 0, "2", "1"));

  // Noise between the clusters stays at its row; clusters are numbered by first row.
  write_floats(file, unit_rows({kA0, kA1, kFar, kB0, kB1}));
  expect_success(run(DiscoveryText().path(file).shape("[5,3]")),
                 response("0,0,-1,1,1", 2, 1, "2", "1"));
  write_floats(file, unit_rows({kB0, kA0, kFar, kB1, kA1}));
  expect_success(run(DiscoveryText().path(file).shape("[5,3]")),
                 response("0,1,-1,0,1", 2, 1, "2", "1"));
  // min_samples equal to the row count is accepted.
  expect_success(run(DiscoveryText().path(file).shape("[5,3]").params(2, 5)),
                 response("-1,-1,-1,-1,-1", 0, 5, "2", "5"));

  // Fewer rows than min_cluster_size: all noise, whatever min_samples and the row norms.
  write_floats(file, {3, 0, 0, 0, 1, 0, 0, 0, 0});
  expect_success(run(DiscoveryText().path(file).shape("[3,3]").params(5, 10)),
                 response("-1,-1,-1", 0, 3, "5", "10"));
  expect_success(run(DiscoveryText().path(file).shape("[3,3]").params(9223372036854775807u, 4)),
                 response("-1,-1,-1", 0, 3, "9223372036854775807", "4"));
  // The same three values read as one row of nine.
  expect_success(run(DiscoveryText().path(file).shape("[1,9]")), response("-1", 0, 1, "2", "1"));
}

TEST(DiscoveryClustering, DuplicateRowsFinish) {
  TempDir dir;
  const std::string file = dir / "e.f32";
  std::vector<float> values;
  for (int r = 0; r < 200; ++r) {
    for (int c = 0; c < 16; ++c) values.push_back(c == 3 ? 1.0f : 0.0f);
  }
  write_floats(file, values);
  const auto request = DiscoveryText().path(file).shape("[200,16]").params(5, 5);
  // All distances are zero: the single group is the root, which is never a cluster.
  std::string all_noise;
  for (int r = 0; r < 200; ++r) all_noise += r ? ",-1" : "-1";
  expect_success(run(request), response(all_noise, 0, 200, "5", "5"));
  // Two groups of exact duplicates.
  for (int r = 100; r < 200; ++r) {
    values[r * 16 + 3] = 0.0f;
    values[r * 16 + 9] = 1.0f;
  }
  write_floats(file, values);
  std::string two_groups;
  for (int r = 0; r < 200; ++r) two_groups += std::string(r ? "," : "") + (r < 100 ? "0" : "1");
  expect_success(run(request), response(two_groups, 2, 0, "5", "5"));
}

// Kinds the payload reader or the request checks make unreachable from the command line.
TEST(DiscoveryClustering, ErrorsMapToTheirKinds) {
  using speakers::discovery::DiscoveryClusteringError;
  const std::string path = "p\"q";
  EXPECT_EQ(analyze_error_from_discovery(DiscoveryClusteringError::non_finite_value(4, 7), path),
            AnalyzeError::payload_non_finite(4, 7, path));
  EXPECT_EQ(analyze_error_from_discovery(DiscoveryClusteringError::not_unit_length(1, 0.5), path),
            AnalyzeError::payload_invalid(path, "embedding row 1 is not unit length: norm=0.5"));
  EXPECT_EQ(analyze_error_from_discovery(DiscoveryClusteringError::shape_mismatch(4, 2, 7), path),
            AnalyzeError::internal_error("row-major matrix length mismatch: rows=4 cols=2 len=7"));
  EXPECT_EQ(analyze_error_from_discovery(DiscoveryClusteringError::invalid_label(-3), path),
            AnalyzeError::internal_error("hdbscan returned invalid label -3"));
}

}  // namespace
}  // namespace quillfen::analyze
