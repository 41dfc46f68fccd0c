#include "speakers/hdbscan/sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "speakers/hdbscan/hdbscan.h"

namespace quillfen::speakers::hdbscan {
namespace {

std::vector<SimdLevel> levels() {
  std::vector<SimdLevel> all;
  for (const SimdLevel level :
       {SimdLevel::Portable, SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (level <= best_simd_level()) all.push_back(level);
  }
  return all;
}

TEST(DistanceKernels, ExactDistancesAreBitIdenticalOnEveryLevel) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  for (const std::size_t dims : {1u, 2u, 3u, 7u, 8u, 9u, 17u, 256u}) {
    const std::size_t count = 1 + rng() % 21;
    std::vector<double> query(dims);
    std::vector<std::vector<double>> rows(count, std::vector<double>(dims));
    for (double& v : query) v = normal(rng);
    for (auto& row : rows) {
      // Mixed magnitudes make every rounding visible.
      for (double& v : row) v = normal(rng) * std::pow(10.0, static_cast<double>(rng() % 7) - 3);
    }
    std::vector<const double*> pointers;
    for (const auto& row : rows) pointers.push_back(row.data());
    for (const SimdLevel level : levels()) {
      std::vector<double> out(count, -1.0);
      euclidean_distances_at(level, query.data(), pointers.data(), count, dims, out.data());
      for (std::size_t r = 0; r < count; ++r) {
        EXPECT_EQ(out[r], euclidean_distance(query, rows[r]))
            << "level " << static_cast<int>(level) << " dims " << dims << " row " << r;
      }
    }
  }
}

TEST(DistanceKernels, IntegerKernelsAgreeOnEveryLevel) {
  std::mt19937_64 rng(8);
  auto value = [&] { return static_cast<std::int8_t>(static_cast<int>(rng() % 255) - 127); };
  for (const std::size_t dims : {1u, 15u, 16u, 31u, 33u, 64u, 256u, 600u}) {
    const std::size_t count = 1 + rng() % 9;
    std::vector<std::int8_t> query(dims);
    std::vector<std::int8_t> rows(count * dims);
    std::vector<std::int8_t> lower(dims);
    std::vector<std::int8_t> upper(dims);
    for (auto& v : query) v = value();
    for (auto& v : rows) v = value();
    for (std::size_t j = 0; j < dims; ++j) {
      lower[j] = value();
      upper[j] = std::max(lower[j], value());
    }
    std::vector<std::int32_t> expected(count);
    sketch_squared_distances_at(SimdLevel::Portable, query.data(), rows.data(), count, dims,
                                expected.data());
    std::int32_t by_hand = 0;
    for (std::size_t j = 0; j < dims; ++j) by_hand += (query[j] - rows[j]) * (query[j] - rows[j]);
    EXPECT_EQ(expected[0], by_hand);
    const std::int32_t box = box_squared_distance_at(SimdLevel::Portable, query.data(),
                                                     lower.data(), upper.data(), dims);
    for (const SimdLevel level : levels()) {
      std::vector<std::int32_t> out(count);
      sketch_squared_distances_at(level, query.data(), rows.data(), count, dims, out.data());
      EXPECT_EQ(out, expected) << "level " << static_cast<int>(level) << " dims " << dims;
      EXPECT_EQ(box_squared_distance_at(level, query.data(), lower.data(), upper.data(), dims),
                box);
    }
  }
}

// The bounds must never exceed the computed distance, whatever the magnitudes; and on unit
// rows they must be close enough to be useful.
TEST(SketchScale, LowerBoundsNeverExceedTheComputedDistance) {
  std::mt19937_64 rng(13);
  std::normal_distribution<double> normal;
  for (const double magnitude : {1e-80, 1e-6, 1.0, 3e4, 1e80}) {
    const std::size_t dims = 1 + rng() % 300;
    const std::size_t n = 60;
    std::vector<std::vector<double>> rows(n, std::vector<double>(dims));
    for (std::size_t i = 0; i < n; ++i) {
      for (double& v : rows[i]) v = normal(rng) * magnitude;
      if (i % 3 == 1) {
        // A near-duplicate of the previous row: differences at the last bits.
        rows[i] = rows[i - 1];
        const std::size_t j = rng() % dims;
        rows[i][j] = std::nextafter(rows[i][j], 0.0);
      }
    }
    double max_abs = 0.0;
    for (const auto& row : rows) {
      for (const double v : row) max_abs = std::max(max_abs, std::fabs(v));
    }
    const SketchScale scale = SketchScale::for_rows(max_abs, dims);
    ASSERT_TRUE(scale.usable());
    std::vector<std::int8_t> sketches(n * dims);
    std::vector<double> errors(n);
    std::vector<std::int8_t> lower(dims, 127);
    std::vector<std::int8_t> upper(dims, -127);
    for (std::size_t i = 0; i < n; ++i) {
      errors[i] = scale.quantize(rows[i].data(), dims, &sketches[i * dims]);
      if (i >= n / 2) continue;
      for (std::size_t j = 0; j < dims; ++j) {
        lower[j] = std::min(lower[j], scale.lower_of(rows[i][j]));
        upper[j] = std::max(upper[j], scale.upper_of(rows[i][j]));
      }
    }
    for (std::size_t a = 0; a < n; ++a) {
      std::vector<double> bounds(n);
      sketch_lower_bounds(scale, &sketches[a * dims], errors[a], sketches.data(), errors.data(), n,
                          dims, bounds.data());
      const double box = scale.lower_bound(
          box_squared_distance(&sketches[a * dims], lower.data(), upper.data(), dims), errors[a]);
      for (std::size_t b = 0; b < n; ++b) {
        const double exact = euclidean_distance(rows[a], rows[b]);
        EXPECT_LE(bounds[b], exact) << "magnitude " << magnitude;
        if (b < n / 2) {
          EXPECT_LE(box, exact) << "magnitude " << magnitude;
        }
      }
    }
  }

  // Unit rows far apart: the bound is within a few percent of the distance.
  std::vector<double> a(256, 0.0);
  std::vector<double> b(256, 0.0);
  for (std::size_t j = 0; j < 256; ++j) (j % 2 == 0 ? a : b)[j] = 1.0 / std::sqrt(128.0);
  const SketchScale unit = SketchScale::for_rows(1.0 / std::sqrt(128.0), 256);
  std::vector<std::int8_t> sa(256);
  std::vector<std::int8_t> sb(256);
  const double ea = unit.quantize(a.data(), 256, sa.data());
  const double eb = unit.quantize(b.data(), 256, sb.data());
  std::int32_t squared = 0;
  sketch_squared_distances(sa.data(), sb.data(), 1, 256, &squared);
  EXPECT_GT(unit.lower_bound(squared, ea + eb), 0.97 * euclidean_distance(a, b));
}

TEST(SketchScale, UnusableScalesGiveZeroBounds) {
  for (const auto& [max_abs, dims] : std::vector<std::pair<double, std::size_t>>{
           {0.0, 4}, {1e-95, 4}, {1e95, 4}, {1.0, 0}, {1.0, 40000}}) {
    const SketchScale scale = SketchScale::for_rows(max_abs, dims);
    EXPECT_FALSE(scale.usable());
    const std::vector<double> row(std::min<std::size_t>(dims, 4), 0.5);
    std::vector<std::int8_t> sketch(row.size());
    const double error = scale.quantize(row.data(), row.size(), sketch.data());
    EXPECT_EQ(scale.lower_bound(1000, error), 0.0);
  }
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
