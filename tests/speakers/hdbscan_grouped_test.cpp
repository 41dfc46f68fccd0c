// The grouped stages of density clustering (row groups, block sketch sweep or k-d tree for the
// core distances, group pair bounds, Prim's loop over groups) against the plain transcription,
// on data built to sit where the bounds are weakest: exact duplicates, near-duplicates
// differing in the last bits, rows at exactly equal distances, distances within the sketch
// error of each other, values at the sketch scale's extremes, diffuse unit embeddings; every
// mode forced at small sizes: groups of 1 row upwards, the group count cap (capacity
// doubling), the sweep and the k-d tree, the sweep in batches, 32-bit rows, every kernel level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "hdbscan_reference.h"
#include "speakers/hdbscan/core_distances.h"
#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/hdbscan.h"
#include "speakers/hdbscan/row_groups.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

using Rows = std::vector<std::vector<double>>;

std::vector<std::span<const double>> views(const Rows& rows) { return {rows.begin(), rows.end()}; }

std::vector<SimdLevel> levels() {
  std::vector<SimdLevel> all;
  for (const SimdLevel level : {SimdLevel::Portable, SimdLevel::Sse2, SimdLevel::Avx2,
                                SimdLevel::Avx512, SimdLevel::Avx512Vnni}) {
    if (level <= best_simd_level()) all.push_back(level);
  }
  return all;
}

// Rows rounded to 32-bit floats, as the discovery command hands them over.
Rows as_floats(Rows rows) {
  for (auto& row : rows) {
    for (double& v : row) v = static_cast<double>(static_cast<float>(v));
  }
  return rows;
}

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
  base[0] = 4.0;  // the largest magnitude: clipped by the finer block sketch steps
  const SketchScale scale = SketchScale::with_step(4.0 / 62.5, dims, kBlockSketchLimit);
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

// Unit rows of 256 values (rounded to floats): speakers as users have them (centre plus
// per-coordinate noise of 0.06, cosine about 0.5 within a speaker), scattered rows, and a few
// tidy groups with exact duplicates.
Rows unit_embeddings(std::mt19937_64& rng, std::size_t n) {
  std::normal_distribution<double> normal;
  Rows centres(std::max<std::size_t>(3, n / 60), std::vector<double>(256));
  for (auto& c : centres) {
    for (double& v : c) v = normal(rng) / 16.0;
  }
  Rows rows;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> row(256);
    if (i % 10 == 0) {
      for (double& v : row) v = normal(rng);
    } else if (i % 13 == 0 && !rows.empty()) {
      row = rows[rng() % rows.size()];
    } else {
      const std::size_t c = rng() % centres.size();
      const double spread = c % 3 == 0 ? 0.01 : 0.06;
      for (std::size_t j = 0; j < 256; ++j) row[j] = centres[c][j] + normal(rng) * spread;
    }
    double sum = 0.0;
    for (const double v : row) sum += v * v;
    for (double& v : row) v /= std::sqrt(sum);
    rows.push_back(row);
  }
  return as_floats(std::move(rows));
}

// Core distances and Prim's edges from the grouped stages equal the plain procedure's, for
// 64-bit rows and (when they are floats) 32-bit rows, over given core distances too.
void expect_stages_match(const Rows& rows, std::size_t min_samples, const EngineOptions& options) {
  SCOPED_TRACE(::testing::Message()
               << "n " << rows.size() << " dims " << rows[0].size() << " capacity "
               << options.group_capacity << " max groups " << options.max_groups << " tree dims "
               << options.tree_dims << " budget " << options.sweep_state_budget << " direct "
               << options.direct_pairs << " level "
               << static_cast<int>(options.level) << " ms " << min_samples);
  const std::vector<double> core = testing::reference::core_distances(rows, min_samples);
  const std::vector<MSTEdge> edges = testing::reference::prim_mst(rows, core);
  RowStore store(views(rows));
  const SpanningTree tree = spanning_tree(store, min_samples, options);
  ASSERT_EQ(tree.core, core);
  ASSERT_EQ(tree.edges, edges);
  RowStore again(views(rows));
  ASSERT_EQ(spanning_tree_over(again, core, options), edges);
  if (as_floats(rows) != rows) return;
  std::vector<float> values;
  for (const auto& row : rows) values.insert(values.end(), row.begin(), row.end());
  RowStore floats(values.data(), rows.size(), rows[0].size());
  const SpanningTree from_floats = spanning_tree(floats, min_samples, options);
  ASSERT_EQ(from_floats.core, core);
  ASSERT_EQ(from_floats.edges, edges);
}

// Options forcing the small-size modes: group capacity, the group cap, sweep or tree, batches.
EngineOptions forced(std::mt19937_64& rng, std::size_t n) {
  EngineOptions options;
  options.group_capacity = 1 + rng() % 9;
  options.max_groups = rng() % 3 == 0 ? 1 + rng() % std::max<std::size_t>(n / 4, 1) : 8192;
  options.tree_dims = rng() % 3 == 0 ? 64 : 0;
  options.sweep_state_budget = rng() % 3 == 0 ? 64 + rng() % 2048 : std::size_t{128} << 20;
  options.direct_pairs = rng() % 3 == 0 ? 0 : (rng() % 2 == 0 ? 128 : 1 << 20);
  const auto all = levels();
  options.level = all[rng() % all.size()];
  return options;
}

TEST(GroupedStages, MatchThePlainProcedureOnNearDuplicates) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 40; ++round) {
    const Rows rows = near_duplicates(rng, 20 + rng() % 200, 1 + rng() % 40);
    expect_stages_match(rows, 1 + rng() % 8, forced(rng, rows.size()));
  }
}

TEST(GroupedStages, MatchThePlainProcedureOnExactlyEqualDistances) {
  std::mt19937_64 rng(37);
  for (int round = 0; round < 20; ++round) {
    const Rows rows = equal_distances(rng, 2 + rng() % 12);
    expect_stages_match(rows, 1 + rng() % 6, forced(rng, rows.size()));
  }
}

TEST(GroupedStages, MatchThePlainProcedureNearTheSketchMargins) {
  std::mt19937_64 rng(41);
  for (int round = 0; round < 12; ++round) {
    const Rows rows = near_margins(rng, 2 + rng() % 300);
    expect_stages_match(rows, 1 + rng() % 5, forced(rng, rows.size()));
  }
}

TEST(GroupedStages, MatchThePlainProcedureOnSmallGrids) {
  std::mt19937_64 rng(43);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = 1 + rng() % 80;
    const std::size_t dims = 1 + rng() % 4;
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) v = static_cast<double>(static_cast<int>(rng() % 4) - 1);
    }
    expect_stages_match(rows, 1 + rng() % std::min<std::size_t>(n, 6), forced(rng, n));
  }
}

// Every kernel level and every mode on diffuse unit embeddings: the sweep alone, in batches,
// the k-d tree, the group cap.
TEST(GroupedStages, MatchThePlainProcedureOnUnitEmbeddingsInEveryMode) {
  std::mt19937_64 rng(47);
  const Rows rows = unit_embeddings(rng, 700);
  for (const SimdLevel level : levels()) {
    EngineOptions options;
    options.level = level;
    expect_stages_match(rows, 5, options);
  }
  EngineOptions options;
  options.group_capacity = 8;
  options.sweep_state_budget = 4096;  // batches of about 100 rows
  options.direct_pairs = 0;           // every application in screened blocks
  expect_stages_match(rows, 5, options);
  options.direct_pairs = 1 << 20;     // every application pair by pair
  expect_stages_match(rows, 5, options);
  options.max_groups = 5;  // capacity doubles until 5 groups do
  options.tree_dims = 256;
  expect_stages_match(rows, 2, options);
}

// Every group pair bound, from the sweep or from the balls, is at most the computed distance
// between any row of one group and any row of the other; and Quantizer rounds the right way.
TEST(GroupBounds, NeverExceedTheComputedDistance) {
  std::mt19937_64 rng(53);
  for (int round = 0; round < 6; ++round) {
    const Rows rows = round % 2 == 0 ? near_duplicates(rng, 150, 1 + rng() % 30)
                                     : near_margins(rng, 2 + rng() % 100);
    RowStore store(views(rows));
    const double max_abs = largest_magnitude(store);
    const SketchScale scale = SketchScale::with_step(max_abs / 62.5 / 3.0, rows[0].size(), 63);
    const RowGroups groups = group_rows(store, 1 + rng() % 7, 8192, scale, best_simd_level());
    std::vector<std::size_t> group_of(rows.size());
    for (std::size_t g = 0; g < groups.groups(); ++g) {
      for (std::size_t s = groups.begin[g]; s < groups.begin[g + 1]; ++s)
        group_of[groups.row_of_slot[s]] = g;
    }
    const BlockSketches sketches(scale, store, groups.begin);
    GroupBounds swept(groups.groups(), 2.0 * max_abs * std::sqrt(rows[0].size()));
    (void)sweep_core_distances(store, groups, sketches, 1 + round, swept, {});
    GroupBounds balls(groups.groups(), 2.0 * max_abs * std::sqrt(rows[0].size()));
    ball_bounds(groups, balls);
    for (std::size_t a = 0; a < rows.size(); ++a) {
      for (std::size_t b = 0; b < rows.size(); ++b) {
        const double d = euclidean_distance(rows[a], rows[b]);
        ASSERT_LE(swept(group_of[a], group_of[b]), d) << "round " << round;
        ASSERT_LE(balls(group_of[a], group_of[b]), d) << "round " << round;
      }
    }
  }
  const Quantizer q(2.0);
  for (const double x : {0.0, 1e-9, 0.008, 0.5, 1.0, 1.999, 2.0, 3.0}) {
    EXPECT_LE(q.value(q.down(x)), x);
    EXPECT_GE(q.up(x) == Quantizer::kNone ? 1e300 : q.value(q.up(x)), x);
  }
  EXPECT_EQ(q.up(std::numeric_limits<double>::infinity()), Quantizer::kNone);
  EXPECT_EQ(Quantizer(std::numeric_limits<double>::infinity()).down(1.0), 0);
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
