// Small groups of nearby rows, so that density clustering can work on blocks of pairs (a group
// against a group, or a point against a group) and rule out whole groups with one bound.
//
// Rows are split recursively (two-means, started from two far-apart rows) until every group
// holds at most `capacity` rows; then the rows that lie far out in their group (beyond twice
// the median distance to its mean) are grouped again among themselves, so that scattered rows
// do not widen the groups of dense ones. The splits work on a coarse 32-value signed-sum
// projection of every row; only speed depends on how good they are, every bound below holds for
// any partition. Groups occupy consecutive slots.
//
// Each group has a centre c (the mean of its rows, 64-bit) and a radius r, the largest computed
// Euclidean distance from c to a member. Sketches (8-bit, one scale for rows and centres) of
// every row in slot order and of every centre give provable lower bounds of distances to a
// centre; ball_lower_bound() turns such a bound into one that holds for every member.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "speakers/hdbscan/sketch.h"

namespace quillfen::speakers::hdbscan {

struct RowGroups {
  std::vector<std::size_t> row_of_slot;  // slots in group order -> row index
  std::vector<std::size_t> begin;        // group g holds slots begin[g] .. begin[g + 1] - 1
  std::vector<double> radius;            // per group
  SketchSet rows;                        // per slot
  SketchSet centres;                     // per group

  std::size_t groups() const { return radius.size(); }
  std::size_t size(std::size_t group) const { return begin[group + 1] - begin[group]; }
};

// Groups of at most capacity (>= 1) rows over rows that passed the input check.
[[nodiscard]] RowGroups group_rows(std::span<const std::span<const double>> rows,
                                   std::size_t capacity);

// Per group: the largest error bound of its rows' sketches.
[[nodiscard]] std::vector<double> largest_errors(const RowGroups& groups);

// A lower bound of the computed distance from any point x to every member of a group, given a
// lower bound of the true distance from x to the group's centre and the group's radius:
// d(x, j) >= d(x, c) - d(c, j) (triangle inequality), with relative margins of 1e-9 for the
// rounding of the computed distances (each within 4e-12 of the true value, relatively, for up
// to 32768 values) and an absolute margin of 1e-149 for underflow in their sums of squares; 0
// when nothing better holds.
[[nodiscard]] double ball_lower_bound(double centre_lower_bound, double radius);

}  // namespace quillfen::speakers::hdbscan
