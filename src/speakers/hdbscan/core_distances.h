// Core distances of density clustering, and what Prim's loop takes from their search: for
// every row p (slot order), core(p) = the k-th smallest computed Euclidean distance from p to
// all rows, p included (0 for k <= 1); some of p's nearest rows (each at distance at most
// core(p), so that the mutual reachability of the pair is max(core(p), core(j)) without its
// distance); the group pair bounds (GroupBounds); and, from the sweep, each row's near groups
// (NearGroups).
//
// Two routes, each exact:
// - The sweep (any dimensions): every pair of groups is screened once as a block of row pairs
//   with 7-bit sketches (sketch_block.h), a group against a run of consecutive groups. Per row,
//   the k smallest computed distances found so far are kept; tau(p), the largest of them once
//   there are k (+inf before), never falls below core(p). A pair gets its computed distance
//   only when the sketch lower bound of its distance is below tau of either row (with the error
//   bound of the other side's worst row) and its 32-bit floor (RowStore::floors) still is:
//   every pair left out has a distance no smaller than a tau of that row at that time, so it
//   cannot be among the k smallest. Each block's smallest sketch bound per pair of groups
//   raises their pair bound, and each row's smallest sketch bound to each group is offered to
//   its near groups. Blocks go in a cache-friendly order after each group's own block and its
//   next neighbours; a block whose groups' centre balls lie farther apart than every tau of
//   both groups is left out (its rows cannot enter, and the ball bound is the pair bound).
//   With more rows x k than the budget allows, the rows are swept in batches of groups, each
//   against all groups (about twice the work, the state of one batch at a time).
// - The k-d tree (few dimensions): the tree's k-th neighbour search (kd_tree.h); the pair bounds
//   are then the centre ball bounds of every pair of groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "speakers/hdbscan/group_bounds.h"
#include "speakers/hdbscan/row_groups.h"
#include "speakers/hdbscan/row_store.h"
#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {

// Per slot, some slots within its core distance (CSR).
struct NeighbourLists {
  std::vector<std::uint32_t> offset{0};  // slots + 1 entries
  std::vector<std::uint32_t> slot;

  std::span<const std::uint32_t> of(std::size_t s) const {
    return {slot.data() + offset[s], offset[s + 1] - offset[s]};
  }
};

// Per row t (slot), the groups nearest to it by a per-row bound b(t, g) <= the computed distance
// from t to every row of group g (g other than t's own group; bytes on the bounds' Quantizer
// scale, rounded down): at most kNearGroups of them, and a floor that b(t, g) reaches for every
// group g not listed (Quantizer::kNone when no group is left unlisted). Empty when not known.
struct NearGroups {
  static constexpr std::size_t kNearGroups = 8;

  std::vector<std::uint32_t> group;  // slots x kNearGroups
  std::vector<std::uint8_t> bound;   // slots x kNearGroups
  std::vector<std::uint8_t> count;   // per slot
  std::vector<std::uint8_t> floor;   // per slot

  bool known() const { return !floor.empty(); }
  void reset(std::size_t slots);
  // Offers the bound of one group (each group at most once per slot).
  void offer(std::size_t slot, std::size_t g, std::uint8_t b);
  // The bound of group g for slot: the listed one, or the floor.
  [[nodiscard]] std::uint8_t of(std::size_t slot, std::size_t g) const;
};

struct CoreSearch {
  std::vector<double> core;  // per slot
  NeighbourLists neighbours;
  NearGroups near;
};

// Nearest rows listed per row at most.
inline constexpr std::size_t kListedNeighbours = 16;

struct SweepOptions {
  SimdLevel level = SimdLevel::Portable;
  // Bytes of per-row search state (k kept distances per row) beyond which the rows are swept in
  // batches.
  std::size_t state_budget = std::size_t{128} << 20;
};

// The sweep. rows, groups and sketches in slot order; bounds must have the groups' count.
[[nodiscard]] CoreSearch sweep_core_distances(const RowStore& rows, const RowGroups& groups,
                                              const BlockSketches& sketches, std::size_t k,
                                              GroupBounds& bounds, const SweepOptions& options);

// The k-d tree route (core distances and neighbour lists only).
[[nodiscard]] CoreSearch tree_core_distances(const RowStore& rows, std::size_t k);

// Every pair bound from the groups' centre balls.
void ball_bounds(const RowGroups& groups, GroupBounds& bounds);

}  // namespace quillfen::speakers::hdbscan
