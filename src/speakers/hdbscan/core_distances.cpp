#include "speakers/hdbscan/core_distances.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include "speakers/hdbscan/kd_tree.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Each group's block with itself and with this many following groups is screened first.
constexpr std::size_t kFirstNeighbours = 3;
// Groups of one tile of the sweep hold about this many rows: they stay in cache while every
// group is screened against them.
constexpr std::size_t kTileRows = 1024;
// Consecutive right groups screened in one block hold at most about this many rows.
constexpr std::size_t kRunRows = 256;

// Offers (key, value) to a max-heap by key of at most capacity entries (keys[0] the largest):
// taken while there is room, else in place of the largest when strictly smaller. Returns the
// key that is not kept (the largest one replaced, or key itself), or nothing.
template <class Key, class Size>
std::optional<Key> offer_bounded(Key* keys, std::uint32_t* values, Size& size,
                                 std::size_t capacity, Key key, std::uint32_t value) {
  std::size_t at;
  std::optional<Key> dropped;
  if (size < capacity) {
    at = size++;
    while (at > 0 && keys[(at - 1) / 2] < key) {  // sift up
      keys[at] = keys[(at - 1) / 2];
      values[at] = values[(at - 1) / 2];
      at = (at - 1) / 2;
    }
  } else if (key < keys[0]) {
    dropped = keys[0];
    at = 0;
    for (;;) {  // sift down from the root
      std::size_t child = 2 * at + 1;
      if (child >= capacity) break;
      if (child + 1 < capacity && keys[child + 1] > keys[child]) ++child;
      if (!(keys[child] > key)) break;
      keys[at] = keys[child];
      values[at] = values[child];
      at = child;
    }
  } else {
    return key;
  }
  keys[at] = key;
  values[at] = value;
  return dropped;
}

// The k smallest distances found so far of each row of a batch (a max-heap per row).
class KeptDistances {
 public:
  KeptDistances(std::size_t first_slot, std::size_t slots, std::size_t k)
      : first_(first_slot),
        k_(k),
        distance_(slots * k),
        other_(slots * k),
        size_(slots, 0),
        tau_(slots, kInf) {}

  bool holds(std::size_t slot) const { return slot >= first_ && slot < first_ + size_.size(); }
  double tau(std::size_t slot) const { return tau_[slot - first_]; }

  // Keeps d for slot while fewer than k are kept, or in place of the largest when strictly
  // smaller.
  void keep(std::size_t slot, double d, std::size_t other) {
    const std::size_t i = slot - first_;
    offer_bounded(&distance_[i * k_], &other_[i * k_], size_[i], k_, d,
                  static_cast<std::uint32_t>(other));
    if (size_[i] == k_) tau_[i] = distance_[i * k_];
  }

  // Appends the slot's kept rows other than itself, nearest first, at most kListedNeighbours.
  void list(std::size_t slot, std::vector<std::uint32_t>& out) const {
    const std::size_t i = slot - first_;
    std::vector<std::pair<double, std::uint32_t>> kept;
    for (std::size_t e = 0; e < size_[i]; ++e) {
      if (other_[i * k_ + e] != slot) kept.emplace_back(distance_[i * k_ + e], other_[i * k_ + e]);
    }
    std::sort(kept.begin(), kept.end());
    if (kept.size() > kListedNeighbours) kept.resize(kListedNeighbours);
    for (const auto& entry : kept) out.push_back(entry.second);
  }

 private:
  std::size_t first_;
  std::size_t k_;
  std::vector<double> distance_;
  std::vector<std::uint32_t> other_;
  std::vector<std::uint32_t> size_;
  std::vector<double> tau_;
};

class Sweep {
 public:
  Sweep(const RowStore& rows, const RowGroups& groups, const BlockSketches& sketches,
        std::size_t k, GroupBounds& bounds, const SweepOptions& options)
      : rows_(rows),
        groups_(groups),
        sketches_(sketches),
        k_(k),
        bounds_(bounds),
        options_(options),
        ceiling_(bounds.quantizer().step() * 250.0) {}

  [[nodiscard]] CoreSearch run();

 private:
  void offer_rows(std::size_t g, std::size_t first, std::size_t last, std::size_t columns);
  void offer_ball(std::size_t g, std::size_t h, double ball);
  // Groups first .. last - 1 against themselves (symmetric) or against every group.
  void run_batch(std::size_t first, std::size_t last, bool symmetric);
  void visit(std::size_t g, std::size_t first, std::size_t last);
  [[nodiscard]] bool can_skip(std::size_t g, std::size_t h, double& ball) const;
  void screen(std::size_t g, std::size_t first, std::size_t last);
  void collect_marks(std::size_t g, std::size_t first, std::size_t last, std::size_t columns);
  void fill_limits(std::size_t first, std::size_t count, double other_error,
                   std::int32_t* limits) const;
  void compute_pending();
  void refresh_tau(std::size_t g);
  // Near groups are offered for the rows of the batch only (each row's groups once).
  [[nodiscard]] bool near_holds(std::size_t slot) const {
    return slot >= groups_.begin[batch_first_] && slot < groups_.begin[batch_last_];
  }
  [[nodiscard]] bool done(std::size_t g, std::size_t h) const {
    const std::size_t bit = (g - batch_first_) * groups_.groups() + h;
    return ((done_[bit / 64] >> (bit % 64)) & 1) != 0;
  }
  void mark_done(std::size_t g, std::size_t h) {
    const std::size_t bit = (g - batch_first_) * groups_.groups() + h;
    done_[bit / 64] |= std::uint64_t{1} << (bit % 64);
  }

  const RowStore& rows_;
  const RowGroups& groups_;
  const BlockSketches& sketches_;
  std::size_t k_;
  GroupBounds& bounds_;
  SweepOptions options_;
  double ceiling_;
  bool collect_ = false;  // k > 1: keep distances (else only the pair bounds)
  bool symmetric_ = true;
  std::size_t batch_first_ = 0;
  std::size_t batch_last_ = 0;
  KeptDistances* kept_ = nullptr;
  std::vector<double> max_tau_;  // per group of the batch (index = group)
  std::vector<std::uint64_t> done_;
  GatheredBlock left_;
  std::size_t left_group_ = std::numeric_limits<std::size_t>::max();
  std::size_t right_start_ = 0;  // the slot of position 0 of the right side
  std::vector<std::int32_t> right_limits_;
  std::vector<std::uint16_t> marks_;
  std::vector<std::int32_t> column_min_;
  std::vector<std::int32_t> row_min_;
  NearGroups* near_ = nullptr;
  std::vector<std::uint32_t> position_slot_;
  DistanceBatch pending_;
};

CoreSearch Sweep::run() {
  const std::size_t n = rows_.size();
  CoreSearch result;
  result.core.assign(n, 0.0);
  result.neighbours.offset.assign(n + 1, 0);
  result.near.reset(n);
  near_ = &result.near;
  collect_ = k_ > 1;
  max_tau_.assign(groups_.groups(), collect_ ? kInf : 0.0);
  const std::size_t per_row = k_ * (sizeof(double) + sizeof(std::uint32_t));
  const std::size_t rows_per_batch =
      collect_ ? std::max<std::size_t>(1, options_.state_budget / std::max<std::size_t>(per_row, 1))
               : n;
  std::size_t first = 0;
  const bool one_batch = rows_per_batch >= n;
  while (first < groups_.groups()) {
    std::size_t last = first + 1;
    while (last < groups_.groups() &&
           groups_.begin[last + 1] - groups_.begin[first] <= rows_per_batch) {
      ++last;
    }
    const std::size_t first_slot = groups_.begin[first];
    const std::size_t slots = groups_.begin[last] - first_slot;
    KeptDistances kept(first_slot, collect_ ? slots : 0, collect_ ? k_ : 0);
    if (collect_) {
      for (std::size_t s = first_slot; s < first_slot + slots; ++s) kept.keep(s, 0.0, s);
    }
    kept_ = &kept;
    run_batch(first, last, one_batch);
    if (collect_) {
      for (std::size_t s = first_slot; s < first_slot + slots; ++s) {
        result.core[s] = kept.tau(s);
        kept.list(s, result.neighbours.slot);
        result.neighbours.offset[s + 1] = static_cast<std::uint32_t>(result.neighbours.slot.size());
      }
    }
    kept_ = nullptr;
    first = last;
  }
  if (!collect_) std::fill(result.neighbours.offset.begin(), result.neighbours.offset.end(), 0);
  return result;
}

void Sweep::run_batch(std::size_t first, std::size_t last, bool symmetric) {
  const std::size_t count = groups_.groups();
  symmetric_ = symmetric;
  batch_first_ = first;
  batch_last_ = last;
  done_.assign(((last - first) * count + 63) / 64, 0);
  const std::size_t end = symmetric ? last : count;
  // Each group's own block and its next neighbours first, so that most taus are small before
  // the blocks far away come.
  for (std::size_t g = first; g < last; ++g) {
    visit(g, g, g + 1);
    visit(g, g + 1, std::min(end, g + 1 + kFirstNeighbours));
  }
  // Then every remaining pair, a tile of left groups against runs of right groups.
  for (std::size_t tile = first; tile < last;) {
    std::size_t tile_end = tile + 1;
    while (tile_end < last && groups_.begin[tile_end + 1] - groups_.begin[tile] <= kTileRows) {
      ++tile_end;
    }
    for (std::size_t h = symmetric ? tile : 0; h < end;) {
      std::size_t run_end = h + 1;
      while (run_end < end && groups_.begin[run_end + 1] - groups_.begin[h] <= kRunRows) ++run_end;
      for (std::size_t g = tile; g < tile_end; ++g) visit(g, h, run_end);
      h = run_end;
    }
    tile = tile_end;
  }
}

// Screens group g against the groups first .. last - 1 that are still to do with it (for the
// symmetric sweep only those after g), in runs of consecutive groups, leaving out the groups
// whose block can be skipped (their pair bound is then the ball bound).
void Sweep::visit(std::size_t g, std::size_t first, std::size_t last) {
  std::size_t run = last;  // start of the current run of groups to screen
  for (std::size_t h = first; h <= last; ++h) {
    bool take = false;
    if (h < last && (!symmetric_ || h > g || (h == g && first == g)) && (h != g || first == g) &&
        !done(g, h)) {
      mark_done(g, h);
      if (symmetric_ && h >= batch_first_ && h < batch_last_) mark_done(h, g);
      double ball = 0.0;
      if (h == g || !can_skip(g, h, ball)) {
        take = true;
        if (ball > 0.0) bounds_.raise(g, h, ball);
      } else {
        bounds_.raise(g, h, ball);
        offer_ball(g, h, ball);
      }
    }
    if (take && run == last) run = h;
    if (!take && run != last) {
      screen(g, run, h);
      run = last;
    }
  }
}

// A block can be left out when the centre balls of its groups lie farther apart than every tau
// of the rows that take their candidates from it (ball is set whenever it was computed).
bool Sweep::can_skip(std::size_t g, std::size_t h, double& ball) const {
  if (!collect_) return false;
  const double widest = symmetric_ ? std::max(max_tau_[g], max_tau_[h]) : max_tau_[g];
  const double radii = groups_.radius[g] + groups_.radius[h];
  if (!(widest + radii < ceiling_)) return false;  // no ball bound can reach widest
  ball = ball_lower_bound(centre_distance(groups_, g, h), radii);
  return ball >= widest;
}

// Limits for the rows of slots first .. first + count - 1 (laid out from position at of
// limits): pairs whose sketch bound can be below the row's tau, given the other side's largest
// error bound.
void Sweep::fill_limits(std::size_t first, std::size_t count, double other_error,
                        std::int32_t* limits) const {
  if (!collect_ || !kept_->holds(first)) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t slot = first + i;
    limits[i] = screen_limit(sketches_.scale(), kept_->tau(slot), sketches_.error(slot) + other_error);
  }
}

// Group g (left) against the consecutive groups first .. last - 1 (right, one packed block).
void Sweep::screen(std::size_t g, std::size_t first, std::size_t last) {
  const std::size_t left_rows = groups_.size(g);
  if (left_group_ != g) {
    left_.gather_run(sketches_, groups_.begin[g], left_rows);
    left_group_ = g;
  }
  ScreenSide right_block = sketches_.range(groups_.begin[first], groups_.begin[last]);
  right_start_ = BlockSketches::range_start(groups_.begin[first]);
  double right_error = 0.0;
  for (std::size_t h = first; h < last; ++h) right_error = std::max(right_error, sketches_.largest_error(h));
  std::int32_t* left_limits = left_.limits();
  std::fill_n(left_limits, round_up(left_rows, kBlockColumn), kNoLimit);
  fill_limits(groups_.begin[g], left_rows, right_error, left_limits);
  right_limits_.assign(round_up(right_block.rows, kBlockColumn), kNoLimit);
  if (symmetric_ || first == g) {
    for (std::size_t h = first; h < last; ++h) {
      fill_limits(groups_.begin[h], groups_.size(h), sketches_.largest_error(g),
                  &right_limits_[groups_.begin[h] - right_start_]);
    }
  }
  right_block.limits = right_limits_.data();
  const std::size_t columns = round_up(right_block.rows, kBlockColumn) / kBlockColumn;
  marks_.resize(round_up(left_rows, 4) * columns);
  column_min_.resize(columns * kBlockColumn);
  row_min_.resize(round_up(left_rows, 4) * columns);
  (void)screen_block_at(options_.level, left_.side(), right_block, sketches_.chunks(),
                        {marks_.data(), column_min_.data(), row_min_.data()});
  for (std::size_t h = first; h < last; ++h) {
    if (h == g) continue;
    const std::size_t at = groups_.begin[h] - right_start_;
    const std::int32_t smallest =
        *std::min_element(column_min_.begin() + static_cast<std::ptrdiff_t>(at),
                          column_min_.begin() + static_cast<std::ptrdiff_t>(at + groups_.size(h)));
    bounds_.raise(g, h, sketches_.scale().lower_bound(
                            smallest, sketches_.largest_error(g) + sketches_.largest_error(h)));
  }
  offer_rows(g, first, last, columns);
  if (!collect_) return;
  collect_marks(g, first, last, columns);
  compute_pending();
  refresh_tau(g);
  if (symmetric_) {
    for (std::size_t h = first; h < last; ++h) refresh_tau(h);
  }
}

// The marked pairs of a screened block: their distances are computed (each unordered pair of
// the symmetric sweep once).
void Sweep::collect_marks(std::size_t g, std::size_t first, std::size_t last,
                          std::size_t columns) {
  // The slot of every position of the right side (kNoSlot for padding rows).
  constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();
  position_slot_.assign(columns * kBlockColumn, kNoSlot);
  for (std::size_t s = groups_.begin[first]; s < groups_.begin[last]; ++s) {
    position_slot_[s - right_start_] = static_cast<std::uint32_t>(s);
  }
  const std::size_t first_left = groups_.begin[g];
  for (std::size_t p = 0; p < groups_.size(g); ++p) {
    const std::size_t left = first_left + p;
    for (std::size_t col = 0; col < columns; ++col) {
      unsigned mark = marks_[p * columns + col];
      while (mark != 0) {
        const std::size_t position =
            col * kBlockColumn + static_cast<std::size_t>(std::countr_zero(mark));
        mark &= mark - 1;
        const std::uint32_t right = position_slot_[position];
        if (right == kNoSlot) continue;
        // Pairs within g: each unordered pair once (symmetric), never a row with itself.
        if (right >= first_left && right < first_left + groups_.size(g) &&
            (symmetric_ ? right <= left : right == left)) {
          continue;
        }
        pending_.add(left, right);
        if (pending_.full()) compute_pending();
      }
    }
  }
}

// Each row's smallest sketch bound to each group of the block, as its near-group candidates:
// the left rows of g against every right group, and (symmetric sweep) the right rows against g.
void Sweep::offer_rows(std::size_t g, std::size_t first, std::size_t last, std::size_t columns) {
  const SketchScale& scale = sketches_.scale();
  const Quantizer& quantizer = bounds_.quantizer();
  for (std::size_t h = first; h < last; ++h) {
    if (h == g) continue;
    // Columns that hold a row of h (those shared with a neighbour group give a smaller, still
    // valid, bound).
    const std::size_t at = groups_.begin[h] - right_start_;
    const std::size_t first_column = at / kBlockColumn;
    const std::size_t end_column = (at + groups_.size(h) + kBlockColumn - 1) / kBlockColumn;
    const double right_error = sketches_.largest_error(h);
    for (std::size_t p = 0; p < groups_.size(g); ++p) {
      const std::size_t slot = groups_.begin[g] + p;
      if (!near_holds(slot)) break;
      const std::int32_t* mins = &row_min_[p * columns];
      const std::int32_t smallest = *std::min_element(mins + first_column, mins + end_column);
      near_->offer(slot, h,
                   quantizer.down(scale.lower_bound(smallest, sketches_.error(slot) + right_error)));
    }
    if (!symmetric_) continue;
    const double left_error = sketches_.largest_error(g);
    for (std::size_t j = 0; j < groups_.size(h); ++j) {
      const std::size_t slot = groups_.begin[h] + j;
      near_->offer(slot, g, quantizer.down(scale.lower_bound(column_min_[at + j],
                                                             sketches_.error(slot) + left_error)));
    }
  }
}

// A block left out: the ball bound holds for every row of either group.
void Sweep::offer_ball(std::size_t g, std::size_t h, double ball) {
  const std::uint8_t b = bounds_.quantizer().down(ball);
  for (std::size_t s = groups_.begin[g]; s < groups_.begin[g + 1]; ++s) near_->offer(s, h, b);
  if (!symmetric_) return;
  for (std::size_t s = groups_.begin[h]; s < groups_.begin[h + 1]; ++s) near_->offer(s, g, b);
}

void Sweep::compute_pending() {
  if (pending_.empty()) return;
  const auto needed = [&](std::size_t a, std::size_t b, double floor) {
    return floor < kept_->tau(a) || (symmetric_ && kept_->holds(b) && floor < kept_->tau(b));
  };
  pending_.run(rows_, options_.level, needed, [&](std::size_t a, std::size_t b, double d) {
    kept_->keep(a, d, b);
    if (symmetric_ && kept_->holds(b)) kept_->keep(b, d, a);
  });
}

void Sweep::refresh_tau(std::size_t g) {
  if (!kept_->holds(groups_.begin[g])) return;
  double widest = 0.0;
  for (std::size_t s = groups_.begin[g]; s < groups_.begin[g + 1]; ++s) {
    widest = std::max(widest, kept_->tau(s));
  }
  max_tau_[g] = widest;
}

}  // namespace

void NearGroups::reset(std::size_t slots) {
  group.assign(slots * kNearGroups, 0);
  bound.assign(slots * kNearGroups, 0);
  count.assign(slots, 0);
  floor.assign(slots, Quantizer::kNone);
}

// A max-heap by bound of the listed groups; what leaves it, or never enters, lowers the floor.
void NearGroups::offer(std::size_t slot, std::size_t g, std::uint8_t b) {
  const std::optional<std::uint8_t> dropped =
      offer_bounded(&bound[slot * kNearGroups], &group[slot * kNearGroups], count[slot],
                    kNearGroups, b, static_cast<std::uint32_t>(g));
  if (dropped) floor[slot] = std::min(floor[slot], *dropped);
}

std::uint8_t NearGroups::of(std::size_t slot, std::size_t g) const {
  for (std::size_t i = 0; i < count[slot]; ++i) {
    if (group[slot * kNearGroups + i] == g) return bound[slot * kNearGroups + i];
  }
  return floor[slot];
}

CoreSearch sweep_core_distances(const RowStore& rows, const RowGroups& groups,
                                const BlockSketches& sketches, std::size_t k, GroupBounds& bounds,
                                const SweepOptions& options) {
  return Sweep(rows, groups, sketches, std::min(k, rows.size()), bounds, options).run();
}

CoreSearch tree_core_distances(const RowStore& rows, std::size_t k) {
  const std::size_t n = rows.size();
  const std::size_t dims = rows.dims();
  std::vector<double> widened;
  std::vector<std::span<const double>> points;
  rows.visit([&](const auto& row) {
    using Value = std::remove_cvref_t<decltype(*row[0])>;
    if constexpr (std::is_same_v<Value, float>) {
      widened.resize(n * dims);
      for (std::size_t s = 0; s < n; ++s) {
        std::copy(row[s], row[s] + dims, widened.begin() + static_cast<std::ptrdiff_t>(s * dims));
      }
      for (std::size_t s = 0; s < n; ++s) points.emplace_back(&widened[s * dims], dims);
    } else {
      for (std::size_t s = 0; s < n; ++s) points.emplace_back(row[s], dims);
    }
  });
  CoreSearch result;
  result.core.assign(n, 0.0);
  result.neighbours.offset.assign(n + 1, 0);
  k = std::min(k, n);
  if (k <= 1) return result;
  KdTree tree(dims, 16);
  for (std::size_t s = 0; s < n; ++s) (void)tree.add(points[s], s);
  std::vector<std::vector<std::size_t>> listed;
  for (const Neighbour& kth : tree.kth_neighbour_distances(k, kListedNeighbours, &listed)) {
    result.core[kth.item] = kth.distance;
  }
  for (std::size_t s = 0; s < n; ++s) {
    for (const std::size_t other : listed[s]) {
      result.neighbours.slot.push_back(static_cast<std::uint32_t>(other));
    }
    result.neighbours.offset[s + 1] = static_cast<std::uint32_t>(result.neighbours.slot.size());
  }
  return result;
}

void ball_bounds(const RowGroups& groups, GroupBounds& bounds) {
  for (std::size_t g = 0; g < groups.groups(); ++g) {
    for (std::size_t h = g + 1; h < groups.groups(); ++h) {
      bounds.raise(g, h,
                   ball_lower_bound(centre_distance(groups, g, h),
                                    groups.radius[g] + groups.radius[h]));
    }
  }
}

}  // namespace quillfen::speakers::hdbscan
