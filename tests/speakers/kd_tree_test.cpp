#include "speakers/hdbscan/kd_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "speakers/hdbscan/hdbscan.h"

namespace quillfen::speakers::hdbscan {
namespace {

using Rows = std::vector<std::vector<double>>;

KdTree build(const Rows& rows, std::size_t capacity = 16) {
  KdTree tree(rows.empty() ? 1 : rows[0].size(), capacity);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(tree.add(rows[i], i).has_value());
  return tree;
}

std::vector<std::size_t> leaf_items(const KdTree& tree, std::size_t node) {
  return tree.node(node).items;
}

// Every answer is checked against all stored points: the distances must be the smallest ones in
// ascending order, each item must sit at its reported distance, and no item may repeat.
void expect_exact(const KdTree& tree, const Rows& rows, const std::vector<double>& query,
                  std::size_t k) {
  std::vector<double> all;
  for (const auto& row : rows) all.push_back(euclidean_distance(query, row));
  std::sort(all.begin(), all.end());
  const auto found = tree.nearest(query, k, euclidean_distance);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), std::min(k, rows.size()));
  std::set<std::size_t> items;
  for (std::size_t i = 0; i < found->size(); ++i) {
    const Neighbour& answer = (*found)[i];
    EXPECT_EQ(answer.distance, all[i]) << "rank " << i << " k " << k;
    EXPECT_EQ(euclidean_distance(query, rows[answer.item]), answer.distance);
    EXPECT_TRUE(items.insert(answer.item).second);
  }
}

TEST(KdTree, NearestMatchesBruteForceOnGridsWithDuplicates) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::size_t dims = 1 + rng() % 5;
    const std::size_t n = 1 + rng() % 300;
    const int grid = 1 + static_cast<int>(rng() % 6);  // few values: duplicates, split-value ties
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) v = static_cast<double>(static_cast<int>(rng() % grid)) * 0.5;
    }
    const std::size_t capacity = 1 + rng() % 16;
    const KdTree tree = build(rows, capacity);
    EXPECT_EQ(tree.size(), n);
    for (int q = 0; q < 10; ++q) {
      std::vector<double> query = rows[rng() % n];
      if (q % 3 == 0) {
        for (double& v : query) v += static_cast<double>(static_cast<int>(rng() % 5) - 2) * 0.25;
      }
      expect_exact(tree, rows, query, 1 + rng() % (n + 3));
    }
  }
}

TEST(KdTree, NearestMatchesBruteForceOnContinuousData) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  for (const std::size_t dims : {2u, 8u, 64u}) {
    Rows rows(500, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) v = normal(rng);
    }
    const KdTree tree = build(rows);
    for (std::size_t q = 0; q < 40; ++q) expect_exact(tree, rows, rows[q * 7], 1 + q % 9);
  }
}

// All stored points at once: the k-th distance of each, as brute force and nearest() give it.
TEST(KdTree, KthNeighbourDistancesOfAllStoredPoints) {
  std::mt19937_64 rng(17);
  std::normal_distribution<double> normal;
  for (int round = 0; round < 40; ++round) {
    const std::size_t dims = 1 + rng() % (round % 4 == 0 ? 40 : 4);
    const std::size_t n = 1 + rng() % 250;
    Rows rows(n, std::vector<double>(dims));
    for (auto& row : rows) {
      for (double& v : row) {
        v = round % 2 == 0 ? static_cast<double>(static_cast<int>(rng() % 4)) : normal(rng);
      }
    }
    // Leaves that cannot split, one beyond 64 points.
    if (round % 5 == 0) {
      rows.insert(rows.end(), round % 10 == 0 ? 20 : 70, rows[0]);
      // Copies whose zeros carry the other sign are still the same point.
      for (std::size_t i = n; i < rows.size(); i += 2) {
        for (double& v : rows[i]) v = v == 0.0 ? -v : v;
      }
    }
    const KdTree tree = build(rows);
    const std::size_t k = rng() % (rows.size() + 2);
    const auto kth = tree.kth_neighbour_distances(k);
    ASSERT_EQ(kth.size(), rows.size());
    std::vector<bool> seen(rows.size(), false);
    for (const Neighbour& answer : kth) {
      ASSERT_LT(answer.item, rows.size());
      EXPECT_FALSE(seen[answer.item]);
      seen[answer.item] = true;
      std::vector<double> all;
      for (const auto& row : rows) all.push_back(euclidean_distance(rows[answer.item], row));
      std::sort(all.begin(), all.end());
      const double expected = k == 0 ? 0.0 : all[std::min(k, all.size()) - 1];
      EXPECT_EQ(answer.distance, expected) << "round " << round << " k " << k;
      if (k > 0) {
        EXPECT_EQ(tree.nearest(rows[answer.item], k, euclidean_distance)->back().distance,
                  expected);
      }
    }
  }
}

TEST(KdTree, KLargerThanSizeReturnsAllNearestFirst) {
  const Rows rows = {{5.0}, {1.0}, {3.0}};
  const KdTree tree = build(rows);
  const auto found = tree.nearest(std::vector<double>{0.0}, 10, euclidean_distance);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, (std::vector<Neighbour>{{1.0, 1}, {3.0, 2}, {5.0, 0}}));

  const KdTree empty(2, 16);
  const auto none = empty.nearest(std::vector<double>{0.0, 0.0}, 3, euclidean_distance);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST(KdTree, IdenticalPointsStayInOneLeaf) {
  const Rows rows(17, std::vector<double>{2.5, -1.0});
  const KdTree tree = build(rows);
  ASSERT_EQ(tree.node_count(), 1u);
  EXPECT_TRUE(tree.node(0).is_leaf);
  EXPECT_EQ(tree.node(0).items.size(), 17u);
  const auto found = tree.nearest(rows[0], 5, euclidean_distance);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), 5u);
  for (const Neighbour& answer : *found) EXPECT_EQ(answer.distance, 0.0);
}

TEST(KdTree, SplitTakesWidestDimensionAndRedistributesFirstThenLast) {
  // Spreads 16 and 16: the first dimension wins a tie; split value 0 + 16 * 0.5 = 8.
  Rows rows;
  for (int i = 0; i <= 16; ++i)
    rows.push_back({static_cast<double>(i), static_cast<double>(16 - i)});
  const KdTree tree = build(rows);
  ASSERT_EQ(tree.node_count(), 3u);
  const auto root = tree.node(0);
  EXPECT_FALSE(root.is_leaf);
  EXPECT_EQ(root.split_dimension, 0u);
  EXPECT_EQ(root.split_value, 8.0);
  // Taken in the order 0, 16, 15, ..., 1; the point on the split value goes right.
  EXPECT_EQ(leaf_items(tree, root.left), (std::vector<std::size_t>{0, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(leaf_items(tree, root.right),
            (std::vector<std::size_t>{16, 15, 14, 13, 12, 11, 10, 9, 8}));
  EXPECT_EQ(tree.node(root.left).upper[0], 7.0);
  EXPECT_EQ(tree.node(root.right).lower[0], 8.0);

  // A strictly wider second dimension is chosen.
  Rows tall;
  for (int i = 0; i <= 16; ++i)
    tall.push_back({static_cast<double>(i % 2), static_cast<double>(i)});
  EXPECT_EQ(build(tall).node(0).split_dimension, 1u);
}

TEST(KdTree, PointsOnTheSplitValueGoLeftOnlyWhenItEqualsTheLowerBound) {
  // Two adjacent doubles: the midpoint rounds to the lower one, so equal points must go left.
  const double lo = 1.0;
  const double hi = std::nextafter(1.0, 2.0);
  Rows rows;
  for (int i = 0; i < 17; ++i) rows.push_back({i % 2 == 0 ? lo : hi});
  const KdTree tree = build(rows);
  ASSERT_FALSE(tree.node(0).is_leaf);
  EXPECT_EQ(tree.node(0).split_value, lo);
  EXPECT_EQ(tree.node(tree.node(0).left).items.size(), 9u);
  EXPECT_EQ(tree.node(tree.node(0).right).items.size(), 8u);
  expect_exact(tree, rows, {lo}, 12);

  // Midpoint rounding up to the upper end: points equal to it go right.
  const double lo2 = std::nextafter(1.0, 2.0);
  const double hi2 = std::nextafter(lo2, 2.0);
  Rows rows2;
  for (int i = 0; i < 17; ++i) rows2.push_back({i < 5 ? lo2 : hi2});
  const KdTree tree2 = build(rows2);
  ASSERT_FALSE(tree2.node(0).is_leaf);
  EXPECT_EQ(tree2.node(0).split_value, hi2);
  EXPECT_EQ(tree2.node(tree2.node(0).left).items.size(), 5u);
  EXPECT_EQ(tree2.node(tree2.node(0).right).items.size(), 12u);

  // Later points on the split value follow the same rule at the inner node.
  KdTree tree3(1, 16);
  Rows grid;
  for (int i = 0; i <= 16; ++i) grid.push_back({static_cast<double>(i)});
  grid.push_back({8.0});
  for (std::size_t i = 0; i < grid.size(); ++i) ASSERT_TRUE(tree3.add(grid[i], i));
  EXPECT_EQ(leaf_items(tree3, tree3.node(0).right).back(), 17u);
}

TEST(KdTree, ExtremeSpreadStillSplitsInsideTheRange) {
  const double big = std::numeric_limits<double>::max();
  Rows rows;
  for (int i = 0; i < 17; ++i) rows.push_back({i % 2 == 0 ? -big : big});
  const KdTree tree = build(rows);
  ASSERT_FALSE(tree.node(0).is_leaf);
  EXPECT_EQ(tree.node(0).split_value, 0.0);
  EXPECT_EQ(tree.node(tree.node(0).left).items.size(), 9u);
}

TEST(KdTree, RejectsBadPointsWithTheMatchingKind) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  KdTree zero(2, 0);
  // Capacity is checked before the point.
  EXPECT_EQ(zero.add(std::vector<double>{1.0}, 0).error(), KdTreeError::zero_capacity());

  KdTree tree(2, 16);
  EXPECT_EQ(tree.add(std::vector<double>{1.0}, 0).error(), KdTreeError::wrong_dimension());
  EXPECT_EQ(tree.add(std::vector<double>{1.0, nan}, 0).error(),
            KdTreeError::non_finite_coordinate());
  EXPECT_EQ(tree.add(std::vector<double>{-inf, 1.0}, 0).error(),
            KdTreeError::non_finite_coordinate());
  // Length is checked before finiteness.
  EXPECT_EQ(tree.add(std::vector<double>{nan, nan, nan}, 0).error(),
            KdTreeError::wrong_dimension());
  EXPECT_EQ(tree.size(), 0u);

  ASSERT_TRUE(tree.add(std::vector<double>{1.0, 2.0}, 0));
  EXPECT_EQ(tree.nearest(std::vector<double>{1.0, 2.0, 3.0}, 1, euclidean_distance).error(),
            KdTreeError::wrong_dimension());
  EXPECT_EQ(tree.nearest(std::vector<double>{inf, 2.0}, 1, euclidean_distance).error(),
            KdTreeError::non_finite_coordinate());
  EXPECT_EQ(tree.nearest(std::vector<double>{nan, 2.0}, 0, euclidean_distance).error(),
            KdTreeError::non_finite_coordinate());
}

}  // namespace
}  // namespace quillfen::speakers::hdbscan
