// Core distances of density clustering from groups of nearby rows: for every row p, the
// min_samples-th smallest computed Euclidean distance from p to all rows, p included.
//
// Exact by construction. Rows are visited a group at a time: for the rows of one group, every
// group is taken in ascending order of the group pair bound (GroupPairBounds); from each, a
// pair (p, j) becomes a candidate of p only when the sketch lower bound of d(p, j) is below
// tau(p), the k-th smallest upper bound (sketch bound, or computed distance once known) among
// p's candidates so far (+inf until there are k). tau(p) never falls below the true k-th
// distance, and every row left out has a lower bound at or above some earlier tau(p), hence a
// distance no smaller than the final k-th one. Candidates get their computed distances in
// ascending order of their lower bounds until k are known and the next lower bound is no
// smaller than the k-th of them; the rest cannot change the k-th value. A group whose bound
// reaches tau(p) for every row p of the group ends the walk. Exact duplicates therefore cost
// about k computed distances each.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/row_groups.h"

namespace quillfen::speakers::hdbscan {

// One core distance per row (index = row), min(min_samples, n)-th smallest; 0 when that is the
// first (min_samples 0 or 1). groups must have been built from rows, bounds from groups.
[[nodiscard]] std::vector<double> core_distances(std::span<const std::span<const double>> rows,
                                                 const RowGroups& groups,
                                                 const GroupPairBounds& bounds,
                                                 std::size_t min_samples);

}  // namespace quillfen::speakers::hdbscan
