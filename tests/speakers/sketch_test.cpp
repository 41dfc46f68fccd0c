#include "speakers/hdbscan/sketch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "speakers/hdbscan/hdbscan.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

using Rows = std::vector<std::vector<double>>;

std::vector<SimdLevel> levels() {
  std::vector<SimdLevel> all;
  for (const SimdLevel level : {SimdLevel::Portable, SimdLevel::Sse2, SimdLevel::Avx2,
                                SimdLevel::Avx512, SimdLevel::Avx512Vnni}) {
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
    // Pairs: the query against every row, and each row against the next one.
    std::vector<const double*> left;
    std::vector<const double*> right;
    std::vector<double> expected;
    for (std::size_t r = 0; r < count; ++r) {
      left.push_back(query.data());
      right.push_back(rows[r].data());
      expected.push_back(euclidean_distance(query, rows[r]));
      left.push_back(rows[r].data());
      right.push_back(rows[(r + 1) % count].data());
      expected.push_back(euclidean_distance(rows[r], rows[(r + 1) % count]));
    }
    for (const SimdLevel level : levels()) {
      std::vector<double> out(left.size(), -1.0);
      euclidean_distances_at(level, left.data(), right.data(), left.size(), dims, out.data());
      EXPECT_EQ(out, expected) << "level " << static_cast<int>(level) << " dims " << dims;
    }
    // 32-bit rows widened on the fly give the bits of their widened copies.
    std::vector<std::vector<float>> narrow(count + 1);
    std::vector<std::vector<double>> widened(count + 1);
    for (std::size_t r = 0; r <= count; ++r) {
      for (std::size_t j = 0; j < dims; ++j) {
        const double v = r == count ? query[j] : rows[r][j];
        narrow[r].push_back(static_cast<float>(v));
        widened[r].push_back(static_cast<double>(narrow[r].back()));
      }
    }
    std::vector<const float*> narrow_left;
    std::vector<const float*> narrow_right;
    std::vector<double> widened_expected;
    for (std::size_t r = 0; r < count; ++r) {
      narrow_left.push_back(narrow[count].data());
      narrow_right.push_back(narrow[r].data());
      widened_expected.push_back(euclidean_distance(widened[count], widened[r]));
    }
    for (const SimdLevel level : levels()) {
      std::vector<double> out(count, -1.0);
      euclidean_distances_at(level, narrow_left.data(), narrow_right.data(), count, dims,
                             out.data());
      EXPECT_EQ(out, widened_expected) << "32-bit, level " << static_cast<int>(level);
    }
    std::vector<double> dispatched(left.size(), -1.0);
    euclidean_distances(left.data(), right.data(), left.size(), dims, dispatched.data());
    EXPECT_EQ(dispatched, expected);
  }
}

TEST(DistanceKernels, IntegerKernelsAgreeOnEveryLevel) {
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  auto value = [&] { return static_cast<std::int8_t>(static_cast<int>(rng() % 255) - 127); };
  for (const std::size_t dims : {1u, 15u, 16u, 31u, 33u, 64u, 65u, 256u, 600u}) {
    const std::size_t count = 1 + rng() % 9;
    std::vector<double> rows((count + 1) * dims);
    for (double& v : rows) v = uniform(rng);
    rows[0] = 1.0;  // the scale's extreme, sketched as +-126 or 127
    rows[1] = -1.0;
    SketchSet filled(SketchScale::for_rows(1.0, dims), dims, count + 1);
    for (std::size_t r = 0; r <= count; ++r) filled.set(r, &rows[r * dims]);
    SketchQuery query;
    filled.query_of(count, query);

    std::vector<std::int32_t> expected(count);
    sketch_squared_distances_at(SimdLevel::Portable, query, filled, 0, count, expected.data());
    std::int32_t by_hand = 0;
    for (std::size_t j = 0; j < dims; ++j) {
      const int diff = query.values[j] - filled.sketch(0)[j];
      by_hand += diff * diff;
    }
    EXPECT_EQ(expected[0], by_hand);

    std::vector<std::int8_t> lower(dims);
    std::vector<std::int8_t> upper(dims);
    for (std::size_t j = 0; j < dims; ++j) {
      lower[j] = value();
      upper[j] = std::max(lower[j], value());
    }
    const std::int32_t box = box_squared_distance_at(SimdLevel::Portable, query.values.data(),
                                                     lower.data(), upper.data(), dims);
    std::int32_t through_many = -1;
    const SketchQuery* one = &query;
    box_squared_distances(lower.data(), upper.data(), &one, 1, dims, &through_many);
    EXPECT_EQ(through_many, box);
    for (const SimdLevel level : levels()) {
      std::vector<std::int32_t> out(count);
      sketch_squared_distances_at(level, query, filled, 0, count, out.data());
      EXPECT_EQ(out, expected) << "level " << static_cast<int>(level) << " dims " << dims;
      EXPECT_EQ(
          box_squared_distance_at(level, query.values.data(), lower.data(), upper.data(), dims),
          box);
    }
  }
}

// Lower bounds never exceed and upper bounds never fall below the computed distance, whatever
// the magnitudes; and on unit rows the lower bounds are close enough to be useful.
TEST(SketchScale, BoundsBracketTheComputedDistance) {
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
    SketchSet set(scale, dims, n);
    std::vector<std::int8_t> lower(dims, 127);
    std::vector<std::int8_t> upper(dims, -127);
    for (std::size_t i = 0; i < n; ++i) {
      set.set(i, rows[i].data());
      if (i >= n / 2) continue;
      for (std::size_t j = 0; j < dims; ++j) {
        lower[j] = std::min(lower[j], scale.lower_of(rows[i][j]));
        upper[j] = std::max(upper[j], scale.upper_of(rows[i][j]));
      }
    }
    SketchQuery query;
    for (std::size_t a = 0; a < n; ++a) {
      set.query_of(a, query);
      std::vector<double> bounds(n);
      set.lower_bounds(query, 0, n, bounds.data());
      const double box = scale.lower_bound(
          box_squared_distance(query.values.data(), lower.data(), upper.data(), dims), query.error);
      std::vector<std::int32_t> squared(n);
      set.squared_distances(query.ref(), 0, n, squared.data());
      for (std::size_t b = 0; b < n; ++b) {
        const double exact = euclidean_distance(rows[a], rows[b]);
        EXPECT_LE(bounds[b], exact) << "magnitude " << magnitude;
        EXPECT_GE(scale.upper_bound(squared[b], query.error + set.error(b)), exact)
            << "magnitude " << magnitude;
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
  SketchSet unit(SketchScale::for_rows(1.0 / std::sqrt(128.0), 256), 256, 2);
  unit.set(0, a.data());
  unit.set(1, b.data());
  SketchQuery query;
  unit.query_of(0, query);
  double bound = 0.0;
  unit.lower_bounds(query, 1, 1, &bound);
  EXPECT_GT(bound, 0.97 * euclidean_distance(a, b));
}

// Block screening: every level marks exactly the pairs whose squared sketch distance is within
// either row's limit, and finds the same smallest distance, on blocks of any size (padding rows
// never count) with values at the extremes of the 7-bit range.
TEST(BlockScreening, EveryLevelMarksTheSamePairs) {
  std::mt19937_64 rng(21);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const std::size_t dims : {1u, 3u, 4u, 8u, 13u, 64u, 256u, 300u}) {
    const std::size_t n = 70;
    std::vector<double> values(n * dims);
    for (double& v : values) v = uniform(rng);
    for (std::size_t j = 0; j < dims; j += 2) values[j] = (j % 4 == 0 ? 1.0 : -1.0);  // +-63
    Rows rows(n);
    for (std::size_t r = 0; r < n; ++r) rows[r].assign(&values[r * dims], &values[(r + 1) * dims]);
    std::vector<std::span<const double>> spans(rows.begin(), rows.end());
    RowStore store(spans);
    const std::vector<std::size_t> begin = {0, 1, 16, 18, 50, 70};
    const BlockSketches sketches(SketchScale::with_step(1.0 / 62.5, dims, kBlockSketchLimit),
                                 store, begin);
    for (std::size_t g = 0; g + 1 < begin.size(); ++g) {
      for (std::size_t h = 0; h + 1 < begin.size(); ++h) {
        std::vector<std::int32_t> left(round_up(sketches.block_size(g), kBlockColumn), kNoLimit);
        std::vector<std::int32_t> right(round_up(sketches.block_size(h), kBlockColumn), kNoLimit);
        std::vector<std::int32_t> squared;
        std::int32_t smallest = std::numeric_limits<std::int32_t>::max();
        for (std::size_t p = 0; p < sketches.block_size(g); ++p) {
          for (std::size_t j = 0; j < sketches.block_size(h); ++j) {
            std::int32_t d = 0;
            for (std::size_t c = 0; c < sketches.chunks(); ++c) {
              for (std::size_t v = 0; v < 4; ++v) {
                const int diff = sketches.chunk(begin[g] + p, c)[v] - sketches.chunk(begin[h] + j, c)[v];
                d += diff * diff;
              }
            }
            squared.push_back(d);
            smallest = std::min(smallest, d);
          }
        }
        for (std::int32_t& limit : left) limit = static_cast<std::int32_t>(rng() % 400000) - 1;
        for (std::int32_t& limit : right) limit = static_cast<std::int32_t>(rng() % 400000) - 1;
        left.resize(sketches.block_size(g));
        right.resize(sketches.block_size(h));
        left.resize(round_up(sketches.block_size(g), kBlockColumn), kNoLimit);
        right.resize(round_up(sketches.block_size(h), kBlockColumn), kNoLimit);
        const std::size_t columns = round_up(sketches.block_size(h), kBlockColumn) / kBlockColumn;
        // Gathered blocks of both; the right one also as a range of the sketches in place when
        // it starts a column.
        GatheredBlock left_block;
        left_block.gather_run(sketches, begin[g], sketches.block_size(g));
        std::copy(left.begin(), left.end(), left_block.limits());
        GatheredBlock right_block;
        right_block.gather_run(sketches, begin[h], sketches.block_size(h));
        std::copy(right.begin(), right.end(), right_block.limits());
        std::vector<ScreenSide> right_sides = {right_block.side()};
        if (begin[h] % kBlockColumn == 0) {
          right_sides.push_back(sketches.range(begin[h], begin[h + 1]));
          right_sides.back().limits = right.data();
        }
        for (const ScreenSide& right_side : right_sides)
        for (const SimdLevel level : levels()) {
          const bool in_place = right_side.packed != right_sides.front().packed;
          std::vector<std::uint16_t> marks(round_up(sketches.block_size(g), 4) * columns);
          std::vector<std::int32_t> column_min(columns * kBlockColumn);
          std::vector<std::int32_t> row_min(round_up(sketches.block_size(g), 4) * columns);
          // Rows past the range belong to the next block: only the range's rows are checked.
          EXPECT_LE(screen_block_at(level, left_block.side(), right_side, sketches.chunks(),
                                    {marks.data(), column_min.data(), row_min.data()}),
                    smallest)
              << "level " << static_cast<int>(level) << " dims " << dims;
          for (std::size_t j = 0; j < sketches.block_size(h); ++j) {
            std::int32_t expected = std::numeric_limits<std::int32_t>::max();
            for (std::size_t p = 0; p < sketches.block_size(g); ++p) {
              expected = std::min(expected, squared[p * sketches.block_size(h) + j]);
            }
            // Padding left rows (beyond the block) only ever exceed real ones.
            ASSERT_EQ(column_min[j], expected) << "level " << static_cast<int>(level);
          }
          for (std::size_t p = 0; p < sketches.block_size(g); ++p) {
            for (std::size_t col = 0; col < columns; ++col) {
              std::int32_t expected = std::numeric_limits<std::int32_t>::max();
              for (std::size_t j = col * 16; j < std::min((col + 1) * 16, sketches.block_size(h)); ++j) {
                expected = std::min(expected, squared[p * sketches.block_size(h) + j]);
              }
              // In place, the last column may hold rows of the next block.
              if (in_place) {
                ASSERT_LE(row_min[p * columns + col], expected);
              } else {
                ASSERT_EQ(row_min[p * columns + col], expected) << "level " << static_cast<int>(level);
              }
            }
          }
          for (std::size_t p = 0; p < sketches.block_size(g); ++p) {
            for (std::size_t j = 0; j < sketches.block_size(h); ++j) {
              const bool marked = ((marks[p * columns + j / 16] >> (j % 16)) & 1) != 0;
              const std::int32_t d = squared[p * sketches.block_size(h) + j];
              ASSERT_EQ(marked, d <= std::max(left[p], right[j]))
                  << "level " << static_cast<int>(level) << " dims " << dims << " p " << p
                  << " j " << j;
            }
          }
        }
      }
    }
  }
}

// The 32-bit first look at a pair never exceeds the 64-bit distance of the widened rows, on every
// level, whatever the magnitudes (huge values whose squares overflow, subnormal differences,
// near-duplicates), and it is close to it otherwise.
TEST(DistanceFloor, NeverExceedsTheComputedDistance) {
  std::mt19937_64 rng(29);
  std::normal_distribution<double> normal;
  for (const double magnitude : {1e-42, 1e-30, 1e-3, 1.0, 1e15, 1e25, 3e38}) {
    for (const std::size_t dims : {1u, 3u, 8u, 17u, 256u, 1000u}) {
      std::vector<std::vector<float>> rows(12, std::vector<float>(dims));
      for (std::size_t r = 0; r < rows.size(); ++r) {
        for (float& v : rows[r]) v = static_cast<float>(std::clamp(normal(rng) * magnitude, -3e38, 3e38));
        if (r % 3 == 1) {
          rows[r] = rows[r - 1];
          rows[r][rng() % dims] = std::nextafter(rows[r][rng() % dims], 0.0f);
        }
      }
      std::vector<const float*> left;
      std::vector<const float*> right;
      for (std::size_t a = 0; a < rows.size(); ++a) {
        for (std::size_t b = 0; b < rows.size(); ++b) {
          left.push_back(rows[a].data());
          right.push_back(rows[b].data());
        }
      }
      std::vector<double> exact(left.size());
      euclidean_distances_at(SimdLevel::Portable, left.data(), right.data(), left.size(), dims,
                             exact.data());
      for (const SimdLevel level : levels()) {
        std::vector<float> squared(left.size());
        squared_differences_at(level, left.data(), right.data(), left.size(), dims, squared.data());
        for (std::size_t i = 0; i < left.size(); ++i) {
          const double floor = distance_floor(squared[i], dims);
          ASSERT_LE(floor, exact[i]) << "magnitude " << magnitude << " dims " << dims;
          if (magnitude == 1.0) {
            EXPECT_GE(floor, exact[i] * (1.0 - 1e-4));
          }
        }
      }
    }
  }
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
    EXPECT_EQ(scale.upper_bound(0, error), std::numeric_limits<double>::infinity());
  }
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
