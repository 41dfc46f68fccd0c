// Small groups of nearby rows, so that density clustering can work on blocks of pairs (a group
// against a group) and rule out whole groups with one bound.
//
// Every row first goes to its nearest "leader" (about n / capacity rows spread over the rows;
// nearest by block sketch distance): with many clusters of rows in many dimensions, a row's own
// cluster is far nearer than any other, but a centre of many clusters pulls at it only weakly,
// so that splits from the top would scatter clusters. Parts larger than `capacity` are split
// recursively (k-means with up to 16 parts, seeded k-means++-style from a fixed sequence);
// then the rows that lie far out in their group (beyond twice the median distance to its mean)
// are grouped again among themselves, so that scattered rows do not widen the groups of dense
// ones. The capacity doubles until there are at most `max_groups` groups. The k-means splits
// work on the rows scaled to magnitudes at most 1, in 32-bit arithmetic; only speed depends on
// how good the groups are, every bound below holds for any partition. Groups
// occupy consecutive slots, and the rows are put in slot order (RowStore::reorder).
//
// Each group has a centre c (the mean of its rows, 64-bit) and a radius r, the largest computed
// Euclidean distance from c to a member; ball_lower_bound() turns a lower bound of a distance
// to the centre into one that holds for every member.
#pragma once

#include <cstddef>
#include <vector>

#include "speakers/hdbscan/row_store.h"

namespace quillfen::speakers::hdbscan {

struct RowGroups {
  std::vector<std::size_t> row_of_slot;  // slot -> row index before reordering
  std::vector<std::size_t> begin;        // group g holds slots begin[g] .. begin[g + 1] - 1
  std::vector<double> radius;            // per group
  std::vector<double> centres;           // groups x dims
  std::size_t dims = 0;

  std::size_t groups() const { return radius.size(); }
  std::size_t size(std::size_t group) const { return begin[group + 1] - begin[group]; }
  const double* centre(std::size_t group) const { return &centres[group * dims]; }
};

// Groups of rows that passed the input check; reorders rows into slot order. scale is the block
// sketch scale (sketch_block.h) of the rows, level the kernel level.
[[nodiscard]] RowGroups group_rows(RowStore& rows, std::size_t capacity, std::size_t max_groups,
                                   const SketchScale& scale, SimdLevel level);

// The largest magnitude of any value.
[[nodiscard]] double largest_magnitude(const RowStore& rows);

// The computed Euclidean distance between the centres of groups g and h.
[[nodiscard]] double centre_distance(const RowGroups& groups, std::size_t g, std::size_t h);

// A lower bound of the computed distance from any point x to every member of a group, given a
// lower bound of the true distance from x to the group's centre and the group's radius (or of
// the computed distance between any members of two groups, given their centres' computed
// distance and the sum of their radii): d(x, j) >= d(x, c) - d(c, j) (triangle inequality),
// with relative margins of 1e-9 for the rounding of the computed distances (each within 4e-12
// of the true value, relatively, for up to 32768 values) and an absolute margin of 1e-149 for
// underflow in their sums of squares; 0 when nothing better holds.
[[nodiscard]] double ball_lower_bound(double centre_lower_bound, double radius);

}  // namespace quillfen::speakers::hdbscan
