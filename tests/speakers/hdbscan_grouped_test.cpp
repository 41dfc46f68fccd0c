// The grouped stages of density clustering (row groups, group pair bounds, core distances and
// Prim's loop over groups) against the plain transcription, on data built to sit where the
// bounds are weakest: exact duplicates, near-duplicates differing in the last bits, rows at
// exactly equal distances, distances within the sketch error of each other, and values at the
// sketch scale's extremes; with group sizes from 1 row upwards so that every path (pending rows,
// set-aside source groups, bounds that cannot decide) is taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "hdbscan_reference.h"
#include "speakers/hdbscan/core_distances.h"
#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/prim.h"
#include "speakers/hdbscan/row_groups.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

using Rows = std::vector<std::vector<double>>;

std::vector<std::span<const double>> views(const Rows& rows) { return {rows.begin(), rows.end()}; }

// Groups of points around a few centres, each point copied, nudged in its last bits or
// scattered; spread and copies vary per call.
Rows near_duplicates(std::mt19937_64& rng, std::size_t n, std::size_t dims) {
  std::normal_distribution<double> normal;
  Rows centres(2 + rng() % 4, std::vector<double>(dims));
  for (auto& c : centres) {
    for (double& v : c) v = normal(rng);
  }
  const double spread = std::pow(10.0, -static_cast<double>(rng() % 9));
  Rows rows;
  while (rows.size() < n) {
    std::vector<double> row = centres[rng() % centres.size()];
    for (double& v : row) v += spread * normal(rng);
    const std::size_t copies = rng() % 3 == 0 ? 1 + rng() % 6 : 1;
    for (std::size_t c = 0; c < copies && rows.size() < n; ++c) {
      rows.push_back(row);
      if (rng() % 2 == 0) {
        double& v = rows.back()[rng() % dims];
        v = std::nextafter(v, rng() % 2 == 0 ? 1e300 : -1e300);
      }
    }
  }
  return rows;
}

// Vertices of a scaled cross-polytope (+-s e_j), each repeated: every distance between distinct
// vertices is s*sqrt(2) or 2s exactly, so distances and core distances tie everywhere.
Rows equal_distances(std::mt19937_64& rng, std::size_t dims) {
  const double s = std::ldexp(1.0, static_cast<int>(rng() % 20) - 10);
  Rows rows;
  for (std::size_t j = 0; j < dims; ++j) {
    for (const double sign : {1.0, -1.0}) {
      std::vector<double> row(dims, 0.0);
      row[j] = sign * s;
      for (std::size_t c = 0; c < 1 + rng() % 3; ++c) rows.push_back(row);
    }
  }
  std::shuffle(rows.begin(), rows.end(), rng);
  return rows;
}

// A base row and rows at distances around the sketch error bound from it and from each other,
// with the largest coordinate at the scale's extreme.
Rows near_margins(std::mt19937_64& rng, std::size_t dims) {
  std::normal_distribution<double> normal;
  std::vector<double> base(dims);
  for (double& v : base) v = normal(rng);
  base[0] = 4.0;  // the largest magnitude: sketched at +-126 or clamped to 127
  const SketchScale scale = SketchScale::for_rows(4.0, dims);
  std::vector<std::int8_t> sketch(dims);
  const double error = scale.quantize(base.data(), dims, sketch.data());
  Rows rows{base};
  for (int k = 0; k < 40; ++k) {
    std::vector<double> row = base;
    const double step = error * std::pow(10.0, (k % 8) / 4.0 - 1.0);
    row[1 + rng() % (dims - 1)] += (k % 2 == 0 ? step : -step);
    row[0] = std::min(4.0, row[0] + step * 1e-3);
    rows.push_back(row);
  }
  return rows;
}

// Unit rows of 256 values as the discovery command clusters them (float values widened).
Rows unit_embeddings(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<double> normal;
  Rows centres(5, std::vector<double>(256));
  for (auto& c : centres) {
    for (double& v : c) v = normal(rng);
  }
  Rows rows;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> row(256);
    if (i % 10 == 0) {
      for (double& v : row) v = normal(rng);
    } else {
      const auto& c = centres[rng() % centres.size()];
      for (std::size_t j = 0; j < 256; ++j) row[j] = c[j] / 16.0 + normal(rng) * 0.02;
    }
    double sum = 0.0;
    for (const double v : row) sum += v * v;
    for (double& v : row) v = static_cast<double>(static_cast<float>(v / std::sqrt(sum)));
    rows.push_back(row);
  }
  return rows;
}

// Core distances and Prim's edges from the grouped stages equal the plain procedure's.
void expect_grouped_stages_match(const Rows& rows, std::size_t capacity, std::size_t min_samples,
                                 std::size_t max_table_groups) {
  SCOPED_TRACE(::testing::Message() << "n " << rows.size() << " dims " << rows[0].size()
                                    << " capacity " << capacity << " ms " << min_samples);
  RowGroups groups = group_rows(views(rows), capacity);
  const GroupPairBounds bounds(groups, max_table_groups);
  const std::vector<double> core = core_distances(views(rows), groups, bounds, min_samples);
  ASSERT_EQ(core, testing::reference::core_distances(rows, min_samples));
  ASSERT_EQ(prim_mst(views(rows), core, groups, bounds), testing::reference::prim_mst(rows, core));
}

TEST(GroupedStages, MatchThePlainProcedureOnNearDuplicates) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 40; ++round) {
    const Rows rows = near_duplicates(rng, 20 + rng() % 200, 1 + rng() % 40);
    expect_grouped_stages_match(rows, 1 + rng() % 9, 1 + rng() % 8, 4096);
  }
}

TEST(GroupedStages, MatchThePlainProcedureOnExactlyEqualDistances) {
  std::mt19937_64 rng(37);
  for (int round = 0; round < 20; ++round) {
    const Rows rows = equal_distances(rng, 2 + rng() % 12);
    expect_grouped_stages_match(rows, 1 + rng() % 6, 1 + rng() % 6, 4096);
  }
}

TEST(GroupedStages, MatchThePlainProcedureNearTheSketchMargins) {
  std::mt19937_64 rng(41);
  for (int round = 0; round < 12; ++round) {
    const Rows rows = near_margins(rng, 2 + rng() % 300);
    expect_grouped_stages_match(rows, 1 + rng() % 8, 1 + rng() % 5, 4096);
  }
}

TEST(GroupedStages, MatchThePlainProcedureOnSmallGridsAndWithoutTheBoundTable) {
  std::mt19937_64 rng(43);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = 1 + rng() % 80;
    const std::size_t dims = 1 + rng() % 4;
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) v = static_cast<double>(static_cast<int>(rng() % 4) - 1);
    }
    // Every other round without the table: the bounds come from the group balls.
    const std::size_t table = round % 2 == 0 ? 4096 : 0;
    expect_grouped_stages_match(rows, 1 + rng() % 5, 1 + rng() % std::min<std::size_t>(n, 6),
                                table);
  }
}

TEST(GroupedStages, MatchThePlainProcedureOnUnitEmbeddings) {
  std::mt19937_64 rng(47);
  const Rows rows = unit_embeddings(rng, 700);
  for (const std::size_t capacity : {3u, 16u, 64u}) {
    expect_grouped_stages_match(rows, capacity, 5, 4096);
  }
  expect_grouped_stages_match(rows, 8, 2, 0);
}

// Every group pair bound, from the table or from the balls, is at most the computed distance
// between any row of one group and any row of the other.
TEST(GroupPairBounds, NeverExceedTheComputedDistance) {
  std::mt19937_64 rng(53);
  for (int round = 0; round < 6; ++round) {
    const Rows rows = round % 2 == 0 ? near_duplicates(rng, 150, 1 + rng() % 30)
                                     : near_margins(rng, 2 + rng() % 100);
    const RowGroups groups = group_rows(views(rows), 1 + rng() % 7);
    std::vector<std::size_t> group_of(rows.size());
    for (std::size_t g = 0; g < groups.groups(); ++g) {
      for (std::size_t s = groups.begin[g]; s < groups.begin[g + 1]; ++s)
        group_of[groups.row_of_slot[s]] = g;
    }
    for (const std::size_t table : {std::size_t{4096}, std::size_t{0}}) {
      const GroupPairBounds bounds(groups, table);
      for (std::size_t a = 0; a < rows.size(); ++a) {
        for (std::size_t b = 0; b < rows.size(); ++b) {
          ASSERT_LE(bounds(group_of[a], group_of[b]), euclidean_distance(rows[a], rows[b]))
              << "round " << round << " table " << table;
        }
      }
    }
  }
}

// The block kernel gives the same integers as the row-by-row kernel, padding never counts.
TEST(SketchBlock, AgreesWithRowByRowSquaredDistances) {
  std::mt19937_64 rng(59);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const std::size_t dims : {1u, 4u, 8u, 12u, 64u, 256u, 260u, 1000u}) {
    const std::size_t n = 130;
    std::vector<double> values(n * dims);
    for (double& v : values) v = uniform(rng);
    values[0] = 1.0;
    SketchSet set(SketchScale::for_rows(1.0, dims), dims, n);
    for (std::size_t r = 0; r < n; ++r) set.set(r, &values[r * dims]);
    for (const std::size_t count : {1u, 5u, 63u, 64u}) {
      SketchBlock block;
      block.assign(set, 60, count);
      for (const std::size_t left : {1u, 2u, 7u, 64u}) {
        std::vector<std::int32_t> out(left * count);
        block.squared_distances(set, 0, left, out.data());
        std::int32_t smallest = std::numeric_limits<std::int32_t>::max();
        for (std::size_t q = 0; q < left; ++q) {
          std::vector<std::int32_t> expected(count);
          set.squared_distances(set.ref(q), 60, count, expected.data());
          for (std::size_t r = 0; r < count; ++r) {
            ASSERT_EQ(out[q * count + r], expected[r]) << dims << " " << count << " " << left;
            smallest = std::min(smallest, expected[r]);
          }
        }
        EXPECT_EQ(block.min_squared(set, 0, left), smallest) << dims << " " << count;
      }
    }
  }
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
