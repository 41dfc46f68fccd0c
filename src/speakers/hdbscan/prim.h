// Prim's minimum spanning tree of the mutual reachability graph, m(a, b) =
// max(max(core(a), core(b)), d(a, b)), with exactly the edges, distances and order of the plain
// loop: start at row 0; each step adds the row j outside the tree with the smallest
// best(j) = min over tree rows t of m(t, j), the lowest row index among equal values, and
// records (row added in the previous step, j, best(j)).
//
// The rows outside the tree are kept in groups of nearby rows (RowGroups). Instead of updating
// every row's best(j) when a row joins the tree, a group keeps the tree rows it has not yet
// taken into account (its pending rows) and a lower bound of m over them and its rows:
// max(core(t), smallest core in the group, group pair bound (GroupPairBounds) of t's group and
// this group), the smallest over its pending rows t. A tree row t that cannot lower any best(j)
// of a group (max(core(t), pair bound) at or above the group's largest best(j)) never counts
// for it. Each step takes v = the smallest best(j) known in any group. Every group whose bound
// is at or below v first takes its pending rows into account (the group's block of pairs, with
// the sketch bound and the core distances deciding most of them without a computed distance),
// except that pending rows whose own bound for the group is above v are set aside by source
// group, with that bound; a source group set aside is later taken into account whole (all its
// tree rows, again) as soon as v reaches its bound. After that, every group's rows have either
// their exact best(j), or best(j) > v, so the smallest (best(j), j) over all groups is the row
// Prim's loop adds: the same value (the minimum of the same exactly computed m) and the same
// tie rule. Far-away groups are thus touched only when Prim's loop gets near them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/hdbscan.h"
#include "speakers/hdbscan/row_groups.h"

namespace quillfen::speakers::hdbscan {

// n - 1 edges in Prim order (see above); groups must have been built from rows (their slots
// are reordered within each group as the tree grows), bounds from groups.
[[nodiscard]] std::vector<MSTEdge> prim_mst(std::span<const std::span<const double>> rows,
                                            std::span<const double> core, RowGroups& groups,
                                            const GroupPairBounds& bounds);

}  // namespace quillfen::speakers::hdbscan
