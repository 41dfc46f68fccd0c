#include "speakers/hdbscan/prim.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The key of a group: its smallest (best, row) among rows outside the tree.
struct GroupKey {
  double value = kInf;
  std::size_t row = 0;
  std::size_t slot = 0;
};

[[nodiscard]] bool precedes(const GroupKey& a, const GroupKey& b) {
  return a.value < b.value || (a.value == b.value && a.row < b.row);
}

// Prim's loop over groups with pending tree rows. Slots of a group: begin .. begin + active - 1
// hold its rows outside the tree, the rest its rows already in the tree.
class LazyPrim {
 public:
  LazyPrim(std::span<const std::span<const double>> rows, std::span<const double> core,
           RowGroups& groups, const GroupPairBounds& bounds);
  [[nodiscard]] std::vector<MSTEdge> run();

 private:
  void take(std::size_t slot);
  void note_pending(std::size_t row);
  [[nodiscard]] std::size_t select();
  void flush(std::size_t group, double smallest);
  void resolve_deferred(std::size_t group, double smallest);
  void defer(std::size_t source, std::size_t group);
  void apply(std::size_t tree_row, std::size_t group);
  void refresh(std::size_t group);
  void swap_slots(std::size_t a, std::size_t b);

  std::span<const std::span<const double>> rows_;
  std::span<const double> core_;
  RowGroups& g_;
  const GroupPairBounds& bounds_;
  std::vector<std::uint32_t> group_of_row_;
  std::vector<double> best_;       // per slot
  std::vector<double> slot_core_;  // per slot
  std::vector<std::uint32_t> group_of_slot_;
  std::vector<std::size_t> slot_of_row_;
  std::vector<std::size_t> active_;   // per group: rows outside the tree
  std::vector<std::size_t> applied_;  // per group: tree rows taken into account (a prefix)
  std::vector<double> pending_bound_;
  // Per (group, source group): whether the source's tree rows are set aside for the group
  // (possibly only some of them applied); per group, a lower bound of m over the set-aside rows.
  std::vector<std::uint8_t> deferred_mark_;
  std::vector<double> deferred_bound_;
  std::vector<double> max_best_;
  std::vector<double> min_core_;
  std::vector<GroupKey> key_;
  std::vector<std::size_t> live_;  // groups with rows outside the tree
  std::vector<std::size_t> tree_;  // rows in the order they joined
  std::vector<double> lower_bounds_;
  std::vector<std::size_t> exact_slots_;
  std::vector<double> exact_floor_;
  std::vector<const double*> exact_rows_;
  std::vector<double> exact_;
};

LazyPrim::LazyPrim(std::span<const std::span<const double>> rows, std::span<const double> core,
                   RowGroups& groups, const GroupPairBounds& bounds)
    : rows_(rows), core_(core), g_(groups), bounds_(bounds) {
  const std::size_t n = rows.size();
  const std::size_t count = g_.groups();
  best_.assign(n, kInf);
  slot_core_.resize(n);
  group_of_slot_.resize(n);
  slot_of_row_.resize(n);
  group_of_row_.resize(n);
  active_.resize(count);
  applied_.assign(count, 0);
  pending_bound_.assign(count, kInf);
  // Setting rows aside needs a mark per pair of groups; without the bound table (too many
  // groups for either) every pending row is applied instead.
  if (bounds.has_table()) deferred_mark_.assign(count * count, 0);
  deferred_bound_.assign(count, kInf);
  max_best_.assign(count, kInf);
  min_core_.assign(count, kInf);
  key_.resize(count);
  for (std::size_t h = 0; h < count; ++h) {
    active_[h] = g_.size(h);
    live_.push_back(h);
    for (std::size_t s = g_.begin[h]; s < g_.begin[h + 1]; ++s) {
      const std::size_t row = g_.row_of_slot[s];
      slot_core_[s] = core[row];
      group_of_slot_[s] = static_cast<std::uint32_t>(h);
      group_of_row_[row] = static_cast<std::uint32_t>(h);
      slot_of_row_[row] = s;
      min_core_[h] = std::min(min_core_[h], core[row]);
    }
    refresh(h);
  }
  tree_.reserve(n);
}

std::vector<MSTEdge> LazyPrim::run() {
  const std::size_t n = rows_.size();
  std::vector<MSTEdge> edges;
  if (n < 2) return edges;
  edges.reserve(n - 1);
  take(slot_of_row_[0]);
  for (std::size_t step = 1; step < n; ++step) {
    const std::size_t slot = select();
    const std::size_t from = tree_.back();
    const double distance = best_[slot];
    take(slot);
    edges.push_back({from, tree_.back(), distance});
  }
  return edges;
}

void LazyPrim::swap_slots(std::size_t a, std::size_t b) {
  if (a == b) return;
  std::swap(g_.row_of_slot[a], g_.row_of_slot[b]);
  std::swap(best_[a], best_[b]);
  std::swap(slot_core_[a], slot_core_[b]);
  g_.rows.swap_slots(a, b);
  slot_of_row_[g_.row_of_slot[a]] = a;
  slot_of_row_[g_.row_of_slot[b]] = b;
}

// Moves the row in slot into the tree (behind its group's rows outside the tree).
void LazyPrim::take(std::size_t slot) {
  const std::size_t group = group_of_slot_[slot];
  const std::size_t row = g_.row_of_slot[slot];
  swap_slots(slot, g_.begin[group] + --active_[group]);
  tree_.push_back(row);
  refresh(group);
  note_pending(row);
}

// Lowers the pending bound of every group that the new tree row can still matter to.
void LazyPrim::note_pending(std::size_t row) {
  const double core = core_[row];
  const std::size_t from = group_of_row_[row];
  for (const std::size_t h : live_) {
    if (core >= max_best_[h]) continue;
    const double bound = std::max(std::max(core, min_core_[h]), bounds_(from, h));
    pending_bound_[h] = std::min(pending_bound_[h], bound);
  }
}

// The slot of the row Prim's loop adds next.
std::size_t LazyPrim::select() {
  double smallest = kInf;
  for (const std::size_t h : live_) smallest = std::min(smallest, key_[h].value);
  for (const std::size_t h : live_) {
    if ((applied_[h] < tree_.size() && pending_bound_[h] <= smallest) ||
        deferred_bound_[h] <= smallest) {
      flush(h, smallest);
    }
  }
  GroupKey winner;
  bool found = false;
  for (const std::size_t h : live_) {
    if (!found || precedes(key_[h], winner)) winner = key_[h];
    found = true;
  }
  return winner.slot;
}

// Takes into account every tree row that could give one of the group's rows a best(j) at or
// below smallest; sets aside, by source group, the rest of the pending rows.
void LazyPrim::flush(std::size_t group, double smallest) {
  resolve_deferred(group, smallest);
  for (std::size_t position = applied_[group]; position < tree_.size(); ++position) {
    const std::size_t row = tree_[position];
    const std::size_t source = group_of_row_[row];
    const double floor = std::max(core_[row], bounds_(source, group));
    if (floor >= max_best_[group]) continue;  // can never lower a best(j) of the group
    if (!deferred_mark_.empty() && std::max(floor, min_core_[group]) > smallest) {
      defer(source, group);
    } else {
      apply(row, group);
    }
  }
  applied_[group] = tree_.size();
  pending_bound_[group] = kInf;
  refresh(group);
}

void LazyPrim::defer(std::size_t source, std::size_t group) {
  std::uint8_t& mark = deferred_mark_[group * g_.groups() + source];
  if (mark != 0) return;
  mark = 1;
  const double bound = std::max(bounds_(source, group), min_core_[group]);
  deferred_bound_[group] = std::min(deferred_bound_[group], bound);
}

// Applies all tree rows of the set-aside source groups whose bound is at or below smallest.
void LazyPrim::resolve_deferred(std::size_t group, double smallest) {
  if (deferred_mark_.empty() || deferred_bound_[group] > smallest) return;
  std::uint8_t* marks = &deferred_mark_[group * g_.groups()];
  double remaining = kInf;
  for (std::size_t source = 0; source < g_.groups(); ++source) {
    if (marks[source] == 0) continue;
    const double bound = std::max(bounds_(source, group), min_core_[group]);
    if (bound > smallest) {
      remaining = std::min(remaining, bound);
      continue;
    }
    marks[source] = 0;
    for (std::size_t slot = g_.begin[source] + active_[source]; slot < g_.begin[source + 1];
         ++slot) {
      const std::size_t row = g_.row_of_slot[slot];
      if (std::max(core_[row], bounds_(source, group)) < max_best_[group]) apply(row, group);
    }
  }
  deferred_bound_[group] = remaining;
}

// best(j) = min(best(j), m(tree_row, j)) for the group's rows outside the tree; a computed
// distance only where neither the core distances nor the sketch bound settle it.
void LazyPrim::apply(std::size_t tree_row, std::size_t group) {
  const std::size_t first = g_.begin[group];
  const std::size_t count = active_[group];
  const double tree_core = core_[tree_row];
  lower_bounds_.resize(count);
  g_.rows.lower_bounds(g_.rows.ref(slot_of_row_[tree_row]), first, count, lower_bounds_.data());
  exact_slots_.clear();
  exact_floor_.clear();
  exact_rows_.clear();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t slot = first + k;
    const double cores = std::max(tree_core, slot_core_[slot]);
    if (cores >= best_[slot] || lower_bounds_[k] >= best_[slot]) continue;
    exact_slots_.push_back(slot);
    exact_floor_.push_back(cores);
    exact_rows_.push_back(rows_[g_.row_of_slot[slot]].data());
  }
  exact_.resize(exact_slots_.size());
  euclidean_distances(rows_[tree_row].data(), exact_rows_.data(), exact_rows_.size(),
                      rows_[0].size(), exact_.data());
  double largest = 0.0;
  for (std::size_t e = 0; e < exact_slots_.size(); ++e) {
    double& best = best_[exact_slots_[e]];
    best = std::min(best, std::max(exact_floor_[e], exact_[e]));
  }
  for (std::size_t k = 0; k < count; ++k) largest = std::max(largest, best_[first + k]);
  max_best_[group] = count == 0 ? kInf : largest;
}

// Recomputes a group's key and largest best(j); drops it from the live list when empty.
void LazyPrim::refresh(std::size_t group) {
  const std::size_t first = g_.begin[group];
  GroupKey key;
  double largest = 0.0;
  for (std::size_t slot = first; slot < first + active_[group]; ++slot) {
    const GroupKey here{best_[slot], g_.row_of_slot[slot], slot};
    if (slot == first || precedes(here, key)) key = here;
    largest = std::max(largest, best_[slot]);
  }
  key_[group] = key;
  max_best_[group] = active_[group] == 0 ? kInf : largest;
  if (active_[group] == 0) std::erase(live_, group);
}

}  // namespace

std::vector<MSTEdge> prim_mst(std::span<const std::span<const double>> rows,
                              std::span<const double> core, RowGroups& groups,
                              const GroupPairBounds& bounds) {
  return LazyPrim(rows, core, groups, bounds).run();
}

}  // namespace quillfen::speakers::hdbscan
