// Prim's minimum spanning tree of the mutual reachability graph, m(a, b) =
// max(max(core(a), core(b)), d(a, b)), with exactly the edges, distances and order of the plain
// loop: start at row 0; each step adds the row j outside the tree with the smallest
// best(j) = min over tree rows t of m(t, j), the lowest row index among equal values, and
// records (row added in the previous step, j, best(j)).
//
// The rows outside the tree are kept in their groups of nearby rows (RowGroups). A group's rows
// are open (best(j) may still fall), settled (best(j) = core(j), which nothing can lower, since
// m(t, j) >= core(j)) or in the tree. Instead of updating every open row when a row t joins the
// tree, each group keeps the tree rows it has not taken into account (its pending rows, a tail
// of the tree order) and a lower bound of m over them and its open rows: the largest of core(t),
// the group's smallest open core distance and a bound of d(t, j) (the group pair bound of
// GroupBounds, and t's own near-group bound of NearGroups: listed, or its floor), the smallest
// over the pending rows, on the fine scale of the Quantizer. A tree row that cannot lower any
// open best(j) of a group (that bound at or above the group's largest open best(j)) never counts
// for it.
//
// Each step takes v = the smallest (best(j), j) known in any group. Every group whose bound is
// at or below v first takes its pending rows into account: a block of pairs screened with block
// sketches (or, for few pairs, each pair's 32-bit distance floor), computed distances only for
// the pairs that neither the core distances nor the bounds settle. Pending rows whose own bound
// for the group is above v wait: rows that list the group one by one, the others set aside by
// source group, taken into account whole (all the source's tree rows) as soon as v reaches its
// bound. In a flush at v well above the group's open core distances (where its rows' best(j)
// mostly lie far above v, as when Prim's loop passes from one cluster of rows to the next),
// pairs whose bound reaches a level a margin above v are held back; the held-back rows are
// taken into account again as soon as v reaches the level. After that every open row has either
// its exact best(j) or best(j) > v, so the smallest (best(j), j) over all groups is the row
// Prim's loop adds: the same value (the minimum of the same computed m) and the same tie rule.
//
// Pairs whose distance is known to be at most a row's core distance (the neighbour lists of the
// core distance search) need no distance at all: m = max(core(t), core(j)). They are applied as
// soon as either row joins the tree, which settles most rows early; settled rows cost nothing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "speakers/hdbscan/core_distances.h"
#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/hdbscan.h"
#include "speakers/hdbscan/row_groups.h"
#include "speakers/hdbscan/row_store.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {

struct PrimInput {
  const RowStore& rows;                // slot order
  const RowGroups& groups;             // row_of_slot gives the row numbers of the edges
  const BlockSketches& sketches;       // per group
  const GroupBounds& bounds;           // per pair of groups
  std::span<const double> core;        // per slot
  const NeighbourLists& neighbours;    // per slot: slots within its core distance
  const NearGroups& near;              // per slot (or not known)
  SimdLevel level = SimdLevel::Portable;
  // Pairs taken into account one by one up to this many at once, in screened blocks above.
  std::size_t direct_pairs = 128;
};

// n - 1 edges in Prim order (see above), with row numbers (not slots).
[[nodiscard]] std::vector<MSTEdge> grouped_prim(const PrimInput& input);

}  // namespace quillfen::speakers::hdbscan
