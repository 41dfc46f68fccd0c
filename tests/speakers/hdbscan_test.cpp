#include "speakers/hdbscan/hdbscan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "hdbscan_reference.h"

namespace quillfen::speakers::hdbscan {
namespace {

using Rows = std::vector<std::vector<double>>;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<std::span<const double>> views(const Rows& rows) { return {rows.begin(), rows.end()}; }

std::vector<std::int32_t> run(const Rows& rows, std::size_t min_cluster_size,
                              std::size_t min_samples) {
  const auto params =
      HyperParamBuilder{}.min_cluster_size(min_cluster_size).min_samples(min_samples).build();
  auto labels = cluster(views(rows), params);
  EXPECT_TRUE(labels.has_value());
  return labels.value_or(std::vector<std::int32_t>{});
}

TEST(HyperParamBuilder, DefaultsAndClampingWarnings) {
  ::testing::internal::CaptureStdout();
  const HdbscanParams defaults = HyperParamBuilder{}.build();
  const HdbscanParams chosen = HyperParamBuilder{}.min_cluster_size(7).build();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(defaults.min_cluster_size, 5u);
  EXPECT_EQ(defaults.min_samples, 5u);
  EXPECT_EQ(defaults.max_cluster_size, std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(defaults.epsilon, 0.0);
  EXPECT_FALSE(defaults.single_cluster_allowed);
  EXPECT_EQ(chosen.min_samples, 7u);  // follows min_cluster_size when unset

  ::testing::internal::CaptureStdout();
  const HdbscanParams clamped = HyperParamBuilder{}
                                    .min_cluster_size(1)
                                    .max_cluster_size(0)
                                    .min_samples(0)
                                    .epsilon(-0.25)
                                    .build();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "HDBSCAN_WARNING: min_cluster_size (1) cannot be lower than 2. Set to 2.\n"
            "HDBSCAN_WARNING: max_cluster_size (0) cannot be lower than 2. Set to 2.\n"
            "HDBSCAN_WARNING: min_samples (0) cannot be lower than 1. Set to 1.\n"
            "HDBSCAN_WARNING: epsilon (-0.25) cannot be lower than 0. Set to 0.\n");
  EXPECT_EQ(clamped.min_cluster_size, 2u);
  EXPECT_EQ(clamped.max_cluster_size, 2u);
  EXPECT_EQ(clamped.min_samples, 1u);
  EXPECT_EQ(clamped.epsilon, 0.0);
}

TEST(HdbscanInput, ChecksRowsInOrderWithExactMessages) {
  EXPECT_EQ(cluster({}, HdbscanParams{}).error(), HdbscanError::empty_dataset());

  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Row 1 is both short and non-finite: finiteness is checked first for each row.
  const Rows non_finite = {{0.0, 1.0}, {nan}, {1.0, 2.0, 3.0}};
  const auto e1 = cluster(views(non_finite), HdbscanParams{}).error();
  EXPECT_EQ(e1, HdbscanError::non_finite_coordinate(1));
  EXPECT_EQ(e1.message(), "1th vector contains non-finite element(s)");

  const Rows ragged = {{0.0, 1.0}, {1.0, 1.0}, {1.0, 2.0, 3.0}, {kInf, 0.0}};
  const auto e2 = cluster(views(ragged), HdbscanParams{}).error();
  EXPECT_EQ(e2, HdbscanError::wrong_dimension(2, 2, 3));
  EXPECT_EQ(e2.message(), "Oth data point has 2 dimensions, but 2th has 3");
}

TEST(Hdbscan, TwoTightGroupsBecomeTwoClusters) {
  // Interleaved rows; Prim's loop starts in row 0's group, whose cluster is created first.
  Rows rows;
  for (int i = 0; i < 5; ++i) {
    rows.push_back({100.0 + 0.1 * i, 50.0});
    rows.push_back({0.1 * i, 0.05 * i});
  }
  EXPECT_EQ(run(rows, 5, 5), (std::vector<std::int32_t>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
}

TEST(Hdbscan, MinClusterSizeEqualToNGivesOnlyNoise) {
  Rows rows;
  for (int i = 0; i < 6; ++i) rows.push_back({static_cast<double>(i % 2) * 10.0, 0.1 * i});
  EXPECT_EQ(run(rows, 6, 2), std::vector<std::int32_t>(6, -1));
  EXPECT_EQ(run({{1.0, 2.0}}, 2, 1), std::vector<std::int32_t>{-1});
}

TEST(Hdbscan, IdenticalRowsMergeAtInfiniteLambda) {
  Rows rows(5, std::vector<double>{1.0, 1.0});
  rows.insert(rows.end(), 5, std::vector<double>{4.0, 5.0});
  const std::vector<double> core = core_distances(views(rows), 5);
  EXPECT_EQ(core, std::vector<double>(10, 0.0));
  auto edges = prim_mst(views(rows), core);
  EXPECT_EQ(edges[4], (MSTEdge{4, 5, 5.0}));
  sort_mst_by_dist(edges);
  const auto condensed = condense_tree(single_linkage(edges, 10), 10, 5);
  // The split at distance 5 creates clusters 11 and 12; every point leaves them at +inf.
  ASSERT_EQ(condensed.size(), 12u);
  EXPECT_EQ(condensed[0], (CondensedNode{11, 10, 0.2, 5}));
  for (std::size_t r = 2; r < condensed.size(); ++r) EXPECT_EQ(condensed[r].lambda_birth, kInf);
  EXPECT_EQ(label_points(condensed, 10, std::numeric_limits<std::size_t>::max()),
            (std::vector<std::int32_t>{0, 0, 0, 0, 0, 1, 1, 1, 1, 1}));
}

TEST(Hdbscan, NanStabilityNeverWins) {
  // Clusters 5 and 6 are born at +inf and lose their points at +inf: stability NaN.
  const std::vector<CondensedNode> born_at_inf = {{5, 4, kInf, 2}, {6, 4, kInf, 2},
                                                  {0, 5, kInf, 1}, {1, 5, kInf, 1},
                                                  {2, 6, kInf, 1}, {3, 6, kInf, 1}};
  EXPECT_EQ(label_points(born_at_inf, 4, 100), std::vector<std::int32_t>(4, -1));

  // Clusters 9 and 10 have NaN stability and lose; their parent 7 then wins with its infinite
  // stability against their children sum of 0, beside its sibling 8.
  const std::vector<CondensedNode> nan_children = {
      {7, 6, 0.5, 4}, {8, 6, 0.5, 2},  {9, 7, kInf, 2}, {10, 7, kInf, 2}, {4, 8, 1.0, 1},
      {5, 8, 2.0, 1}, {0, 9, kInf, 1}, {1, 9, kInf, 1}, {2, 10, kInf, 1}, {3, 10, kInf, 1}};
  EXPECT_EQ(label_points(nan_children, 6, 100), (std::vector<std::int32_t>{0, 0, 0, 0, 1, 1}));
}

TEST(Hdbscan, MaxClusterSizeBlocksLargeClusters) {
  // Cluster 7 (size 4) would win over its children 8 and 9, but exceeds the maximum of 3.
  const std::vector<CondensedNode> condensed = {{7, 6, 0.1, 4}, {5, 6, 0.1, 1}, {4, 6, 0.1, 1},
                                                {8, 7, 1.0, 2}, {9, 7, 1.0, 2}, {0, 8, 1.5, 1},
                                                {1, 8, 1.5, 1}, {2, 9, 1.5, 1}, {3, 9, 1.5, 1}};
  EXPECT_EQ(label_points(condensed, 6, 100), (std::vector<std::int32_t>{0, 0, 0, 0, -1, -1}));
  EXPECT_EQ(label_points(condensed, 6, 3), (std::vector<std::int32_t>{0, 0, 1, 1, -1, -1}));
}

TEST(Hdbscan, PrimTiesGoToTheLowestIndexAndRecordThePreviousPoint) {
  const Rows rows = {{0.0}, {2.0}, {-2.0}, {2.0}};
  const std::vector<double> core(4, 0.0);
  // From 0: rows 1, 2 and 3 all at 2; row 1 wins. From 1: row 3 at 0. From 3: row 2 keeps 2,
  // reached through row 0 but recorded from row 3.
  const auto edges = prim_mst(views(rows), core);
  EXPECT_EQ(edges, (std::vector<MSTEdge>{{0, 1, 2.0}, {1, 3, 0.0}, {3, 2, 2.0}}));

  // Core distances dominate the mutual reachability: everything ties at 3, lowest index first.
  const auto flat = prim_mst(views(rows), std::vector<double>{3.0, 3.0, 3.0, 3.0});
  EXPECT_EQ(flat, (std::vector<MSTEdge>{{0, 1, 3.0}, {1, 2, 3.0}, {2, 3, 3.0}}));

  auto sorted = edges;
  sort_mst_by_dist(sorted);
  EXPECT_EQ(sorted, (std::vector<MSTEdge>{{1, 3, 0.0}, {0, 1, 2.0}, {3, 2, 2.0}}));
  EXPECT_EQ(single_linkage(sorted, 4),
            (std::vector<SLTNode>{{1, 3, 0.0, 2}, {0, 4, 2.0, 3}, {5, 2, 2.0, 4}}));
}

TEST(Hdbscan, PrimGivesASpanningPathEvenWhenDistancesOverflow) {
  const double big = 1e200;
  const Rows rows = {{-big}, {big}, {3 * big}};
  const auto edges = prim_mst(views(rows), std::vector<double>(3, 0.0));
  EXPECT_EQ(edges, (std::vector<MSTEdge>{{0, 1, kInf}, {1, 2, kInf}}));
  EXPECT_EQ(run(rows, 2, 1).size(), 3u);
}

// The optimised stages against the plain transcription on small integer grids, where
// duplicates and distance ties are common.
TEST(Hdbscan, MatchesThePlainProcedureOnRandomSmallGrids) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 600; ++round) {
    const std::size_t n = 1 + rng() % 60;
    const std::size_t dims = 1 + rng() % 4;
    const int grid = 2 + static_cast<int>(rng() % 5);
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) v = static_cast<double>(static_cast<int>(rng() % grid) - 1);
    }
    const std::size_t min_cluster_size = 2 + rng() % 8;
    const std::size_t min_samples = 1 + rng() % std::min<std::size_t>(n, 8);
    SCOPED_TRACE(::testing::Message() << "round " << round << " n " << n << " dims " << dims
                                      << " mcs " << min_cluster_size << " ms " << min_samples);

    const auto core = core_distances(views(rows), min_samples);
    ASSERT_EQ(core, testing::reference::core_distances(rows, min_samples));
    auto edges = prim_mst(views(rows), core);
    ASSERT_EQ(edges, testing::reference::prim_mst(rows, core));
    sort_mst_by_dist(edges);
    const auto slt = single_linkage(edges, n);
    ASSERT_EQ(slt, testing::reference::single_linkage(testing::reference::prim_mst(rows, core), n));
    const auto condensed = condense_tree(slt, n, min_cluster_size);
    ASSERT_EQ(condensed, testing::reference::condense_tree(slt, n, min_cluster_size));
    ASSERT_EQ(run(rows, min_cluster_size, min_samples),
              testing::reference::cluster(rows, min_cluster_size, min_samples));
  }
}

// Larger continuous data in more dimensions: groups of near-duplicates plus scattered points.
TEST(Hdbscan, MatchesThePlainProcedureOnClusteredData) {
  std::mt19937_64 rng(99);
  std::normal_distribution<double> normal;
  for (int round = 0; round < 12; ++round) {
    const std::size_t dims = 1 + rng() % 24;
    const std::size_t n = 40 + rng() % 200;
    Rows centres(1 + rng() % 6, std::vector<double>(dims));
    for (auto& c : centres) {
      for (double& v : c) v = normal(rng) * 4.0;
    }
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      const auto& c = centres[rng() % centres.size()];
      const double spread = rng() % 10 == 0 ? 6.0 : 0.5;
      for (std::size_t j = 0; j < dims; ++j) row[j] = c[j] + normal(rng) * spread;
    }
    const std::size_t min_cluster_size = 2 + rng() % 10;
    const std::size_t min_samples = 1 + rng() % 10;
    EXPECT_EQ(run(rows, min_cluster_size, min_samples),
              testing::reference::cluster(rows, min_cluster_size, min_samples))
        << "round " << round;
  }
}

// Unit rows of 256 values as the discovery command clusters them (float values widened):
// groups around random centres, near-duplicates and scattered rows.
TEST(Hdbscan, MatchesThePlainProcedureOnUnitEmbeddings) {
  std::mt19937_64 rng(4242);
  std::normal_distribution<double> normal;
  constexpr std::size_t kDims = 256;
  for (int round = 0; round < 3; ++round) {
    Rows centres(6, std::vector<double>(kDims));
    for (auto& c : centres) {
      for (double& v : c) v = normal(rng);
    }
    Rows rows;
    for (std::size_t i = 0; i < 300; ++i) {
      std::vector<double> row(kDims);
      if (i % 10 == 0) {
        for (double& v : row) v = normal(rng);
      } else if (i % 7 == 0 && !rows.empty()) {
        row = rows.back();  // an exact duplicate
      } else {
        const auto& c = centres[rng() % centres.size()];
        for (std::size_t j = 0; j < kDims; ++j) row[j] = c[j] / 16.0 + normal(rng) * 0.04;
      }
      double sum = 0.0;
      for (const double v : row) sum += v * v;
      for (double& v : row) v = static_cast<double>(static_cast<float>(v / std::sqrt(sum)));
      rows.push_back(row);
    }
    const std::size_t min_samples = 1 + static_cast<std::size_t>(round) * 4;
    const auto core = core_distances(views(rows), min_samples);
    ASSERT_EQ(core, testing::reference::core_distances(rows, min_samples));
    ASSERT_EQ(prim_mst(views(rows), core), testing::reference::prim_mst(rows, core));
    const auto labels = run(rows, 5, min_samples);
    EXPECT_EQ(labels, testing::reference::cluster(rows, 5, min_samples));
    EXPECT_GE(*std::max_element(labels.begin(), labels.end()), 1);   // several clusters
    EXPECT_EQ(*std::min_element(labels.begin(), labels.end()), -1);  // and noise
  }
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
