#include "speakers/discovery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillfen::speakers::discovery {
namespace {

using Error = DiscoveryClusteringError;
constexpr auto kAbsent = std::nullopt;

std::expected<OptionLabels, Error> run(const std::vector<float>& values, std::size_t rows,
                                       std::size_t cols, std::size_t min_cluster_size,
                                       std::size_t min_samples) {
  return cluster_embeddings(values, values.size(), rows, cols, min_cluster_size, min_samples);
}

// rows x 2 unit vectors at the given angles (radians).
std::vector<float> on_circle(const std::vector<double>& angles) {
  std::vector<float> values;
  for (const double a : angles) {
    values.push_back(static_cast<float>(std::cos(a)));
    values.push_back(static_cast<float>(std::sin(a)));
  }
  return values;
}

TEST(DiscoveryClustering, ChecksParametersAndShapeInOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto e = run({}, 0, 0, 1, 0).error();
  EXPECT_EQ(e, Error::invalid_min_cluster_size(1));
  EXPECT_EQ(e.to_string(), "invalid min_cluster_size: expected at least 2, got 1");

  e = run({}, 0, 0, 2, 0).error();
  EXPECT_EQ(e.to_string(), "invalid min_samples: expected at least 1, got 0");

  e = run({}, 0, 0, 2, 1).error();
  EXPECT_EQ(e, Error::missing_columns());
  EXPECT_EQ(e.to_string(), "row-major matrix must have at least one column");

  const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
  e = cluster_embeddings({}, 0, big, 2, 2, 1).error();
  EXPECT_EQ(e, Error::shape_overflow(big, 2));
  EXPECT_EQ(e.to_string(),
            "row-major matrix shape overflow: rows=" + std::to_string(big) + " cols=2");

  e = run(std::vector<float>(7, 0.5f), 4, 2, 2, 1).error();
  EXPECT_EQ(e, Error::shape_mismatch(4, 2, 7));
  EXPECT_EQ(e.to_string(), "row-major matrix length mismatch: rows=4 cols=2 len=7");

  const auto empty = run({}, 0, 3, 2, 1);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  // Fewer rows than min_cluster_size: all noise, without looking at min_samples or the values.
  const auto few = run({nan, 9.0f, 0.0f, 1.0f, 1.0f, 0.0f}, 3, 2, 5, 10);
  ASSERT_TRUE(few.has_value());
  EXPECT_EQ(*few, OptionLabels(3, kAbsent));

  e = run(on_circle({0, 1, 2, 3, 4}), 5, 2, 2, 6).error();
  EXPECT_EQ(e, Error::min_samples_exceeds_rows(6, 5));
  EXPECT_EQ(e.to_string(), "invalid min_samples: min_samples=6 exceeds rows=5");
  EXPECT_TRUE(run(on_circle({0, 1, 2, 3, 4}), 5, 2, 2, 5).has_value());
}

TEST(DiscoveryClustering, ChecksFinitenessBeforeUnitLength) {
  std::vector<float> values(4 * 8, 0.0f);
  for (std::size_t r = 0; r < 4; ++r) values[r * 8] = 1.0f;
  values[0] = 3.0f;  // row 0 is not of unit length
  values[2 * 8 + 7] = std::numeric_limits<float>::infinity();
  values[3 * 8 + 1] = std::numeric_limits<float>::quiet_NaN();
  const auto e = run(values, 4, 8, 2, 1).error();
  EXPECT_EQ(e, Error::non_finite_value(2, 7));
  EXPECT_EQ(e.to_string(), "matrix value at row=2 col=7 is not finite");
}

TEST(DiscoveryClustering, UnitLengthToleranceIsOneThousandth) {
  std::vector<float> values = on_circle({0.0, 1.0, 2.0});
  values[2] = 1.0009f;  // row 1 = (1.0009, 0)
  values[3] = 0.0f;
  EXPECT_TRUE(run(values, 3, 2, 2, 1).has_value());

  values[4] = 0.6f;  // row 2 = (0.6, 0.802): norm 1.0016007220592809 in 64-bit arithmetic
  values[5] = 0.802f;
  const auto e = run(values, 3, 2, 2, 1).error();
  const double norm = std::sqrt(static_cast<double>(0.6f) * static_cast<double>(0.6f) +
                                static_cast<double>(0.802f) * static_cast<double>(0.802f));
  EXPECT_EQ(e, Error::not_unit_length(2, norm));
  EXPECT_EQ(e.to_string(), "embedding row 2 is not unit length: norm=1.0016007220592809");

  values[4] = 1.002f;
  values[5] = 0.0f;
  EXPECT_EQ(run(values, 3, 2, 2, 1).error().to_string(),
            "embedding row 2 is not unit length: norm=1.0019999742507935");

  values[4] = 2.0f;
  values[5] = 0.0f;
  EXPECT_EQ(run(values, 3, 2, 2, 1).error().to_string(),
            "embedding row 2 is not unit length: norm=2");
}

TEST(DiscoveryClustering, NumbersClustersByLowestRowAndKeepsNoise) {
  // Two tight arcs with interleaved rows and a stray point far from both, which leaves the root
  // and stays noise; the arc holding row 0 is numbered first.
  const std::vector<double> angles = {1.0, 0.0, 1.01, 0.01, 3.6, 0.02, 1.02, 0.03, 1.03, 0.04};
  const auto labels = run(on_circle(angles), angles.size(), 2, 3, 2);
  ASSERT_TRUE(labels.has_value());
  const OptionLabels expected = {0, 1, 0, 1, kAbsent, 1, 0, 1, 0, 1};
  EXPECT_EQ(*labels, expected);

  // min_cluster_size = rows: every row is noise.
  const auto all_noise = run(on_circle(angles), angles.size(), 2, angles.size(), 2);
  ASSERT_TRUE(all_noise.has_value());
  EXPECT_EQ(*all_noise, OptionLabels(angles.size(), kAbsent));
}

TEST(OptionLabels, CanonicalNumberingAndLabelChecks) {
  EXPECT_EQ(*option_labels_from_hdbscan(std::vector<std::int32_t>{1, -1, 0, 1, 0}, 5),
            (OptionLabels{0, kAbsent, 1, 0, 1}));
  // Swapped HDBSCAN labels give the same answer.
  EXPECT_EQ(*option_labels_from_hdbscan(std::vector<std::int32_t>{0, -1, 1, 0, 1}, 5),
            (OptionLabels{0, kAbsent, 1, 0, 1}));
  EXPECT_EQ(*option_labels_from_hdbscan(std::vector<std::int32_t>{7, 3, 7, 12}, 4),
            (OptionLabels{0, 1, 0, 2}));

  auto e = option_labels_from_hdbscan(std::vector<std::int32_t>{0, 0, 1, 1}, 5).error();
  EXPECT_EQ(e, Error::label_count_mismatch(4, 5));
  EXPECT_EQ(e.to_string(), "hdbscan returned 4 labels for 5 rows");

  e = option_labels_from_hdbscan(std::vector<std::int32_t>{0, -1, -2, -3}, 4).error();
  EXPECT_EQ(e, Error::invalid_label(-2));
  EXPECT_EQ(e.to_string(), "hdbscan returned invalid label -2");
}

TEST(DiscoveryClusteringError, HdbscanTexts) {
  EXPECT_EQ(Error::hdbscan_empty_dataset().to_string(), "hdbscan rejected an empty dataset");
  EXPECT_EQ(
      Error::hdbscan_wrong_dimension("Oth data point has 2 dimensions, but 1th has 3").to_string(),
      "hdbscan rejected matrix dimensions: Oth data point has 2 dimensions, but 1th has 3");
  EXPECT_EQ(
      Error::hdbscan_non_finite_coordinate("4th vector contains non-finite element(s)").to_string(),
      "hdbscan rejected a non-finite coordinate: 4th vector contains non-finite element(s)");
}

}  // namespace
}  // namespace quillfen::speakers::discovery
