#include "speakers/hdbscan/prim.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "speakers/simd.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint16_t kNone = Quantizer::kFineNone;
// Pending tree rows are screened against a group in blocks of at most this many rows.
constexpr std::size_t kApplyRows = 512;
constexpr std::size_t kFirstApplyRows = 1;
// Held-back pairs: a flush at v takes pairs into account only below about v (1 + margin).
constexpr double kLevelMargin = 0.05;
// Pairs are held back only in flushes at v well above the group's smallest open core distance
// (where its open rows' best(j) are mostly far above v).
constexpr double kLevelRatio = 1.15;

// The smallest (best, row) of a group's rows outside the tree, with the row's slot.
struct Key {
  double value = kInf;
  std::uint32_t row = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t slot = 0;
};

[[nodiscard]] bool precedes(const Key& a, const Key& b) {
  return a.value < b.value || (a.value == b.value && a.row < b.row);
}

// The smallest key over all groups, kept in a tournament tree.
class KeyTree {
 public:
  explicit KeyTree(std::size_t groups) {
    while (leaves_ < groups) leaves_ *= 2;
    node_.assign(2 * leaves_, Key{});
  }
  void set(std::size_t group, const Key& key) {
    std::size_t at = leaves_ + group;
    node_[at] = key;
    for (at /= 2; at >= 1; at /= 2) {
      const Key& a = node_[2 * at];
      const Key& b = node_[2 * at + 1];
      node_[at] = precedes(b, a) ? b : a;
    }
  }
  const Key& smallest() const { return node_[1]; }

 private:
  std::size_t leaves_ = 1;
  std::vector<Key> node_;
};

// The groups that gave tree rows, most recent first (a move-to-front list), so that the
// groups with tree rows from a given position on are a prefix of it.
class RecentSources {
 public:
  explicit RecentSources(std::size_t groups)
      : prev_(groups, kNil), next_(groups, kNil), last_(groups, 0), listed_(groups, false) {}

  // Group g gave the tree row at position.
  void touch(std::size_t g, std::size_t position) {
    last_[g] = position;
    if (head_ == g) return;
    if (listed_[g]) {
      next_[prev_[g]] = next_[g];
      if (next_[g] != kNil) prev_[next_[g]] = prev_[g];
    }
    listed_[g] = true;
    prev_[g] = kNil;
    next_[g] = head_;
    if (head_ != kNil) prev_[head_] = static_cast<std::uint32_t>(g);
    head_ = static_cast<std::uint32_t>(g);
  }
  // Calls f(g) for every group with a tree row at or after position, most recent first.
  template <class F>
  void since(std::size_t position, F&& f) const {
    for (std::uint32_t g = head_; g != kNil && last_[g] >= position; g = next_[g]) f(g);
  }

 private:
  static constexpr std::uint32_t kNil = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t head_ = kNil;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint32_t> next_;
  std::vector<std::size_t> last_;
  std::vector<bool> listed_;
};

class GroupedPrim {
 public:
  explicit GroupedPrim(const PrimInput& input);
  [[nodiscard]] std::vector<MSTEdge> run();

 private:
  // Slots of group g in members_: [begin, begin + open) open, then settled, then tree rows.
  [[nodiscard]] std::size_t open_end(std::size_t g) const { return begin_[g] + open_[g]; }
  [[nodiscard]] std::size_t tree_begin(std::size_t g) const {
    return begin_[g] + open_[g] + settled_[g];
  }
  [[nodiscard]] bool in_tree(std::size_t slot) const {
    return where_[slot] >= tree_begin(group_of_[slot]);
  }
  void swap_members(std::size_t a, std::size_t b);
  void take(std::size_t slot);
  void settle(std::size_t slot);
  void note_pending(std::size_t slot);
  void lower_pending(std::uint16_t floor, const std::uint8_t* pair);
  bool note_one(std::size_t g, std::uint16_t cand);
  void take_listed(std::size_t g, double v);
  [[nodiscard]] std::uint8_t near_floor(std::size_t slot) const {
    return input_.near.known() ? input_.near.floor[slot] : std::uint8_t{0};
  }
  [[nodiscard]] double joined_min_floor(std::size_t source) const {
    return quantizer_.fine_value(joined_min_floor_q_[source]);
  }
  [[nodiscard]] std::uint16_t pair_q(std::size_t source, std::size_t g) const {
    return Quantizer::fine(input_.bounds.row(g)[source]);
  }
  [[nodiscard]] std::size_t select();
  void flush(std::size_t g, double v);
  // Resolves the set-aside sources whose bound v reaches; true when their bound must be
  // recomputed.
  [[nodiscard]] bool resolve_set_aside(std::size_t g, double v);
  void take_pending_tail(std::size_t g, double v, std::size_t from);
  void order_by_bound(std::size_t g);
  void apply(std::size_t g, bool held_back);
  void apply_directly(std::size_t g, double level);
  void apply_in_blocks(std::size_t g, double level);
  void apply_block(std::size_t first, std::size_t count, double level);
  [[nodiscard]] std::uint16_t level_above(double v, std::uint16_t reached) const;
  [[nodiscard]] double open_max_after_apply(std::size_t g) const;
  void refresh(std::size_t g);
  // The bound table is symmetric; row g is read, in the order of the sources.
  [[nodiscard]] double pair_bound(std::size_t source, std::size_t g) const {
    return input_.bounds(g, source);
  }
  // The bound of the tree rows of a source group for g that do not list g (rows of g itself: by
  // their core distances), on the fine scale.
  [[nodiscard]] std::uint16_t source_bound_q(std::size_t source, std::size_t g) const {
    return source == g ? quantizer_.fine_down(joined_min_core_[g])
                       : std::max(pair_q(source, g), joined_min_floor_q_[source]);
  }
  void set_aside(std::size_t g, std::size_t source) {
    set_aside_[g * words_ + source / 64] |= std::uint64_t{1} << (source % 64);
    set_aside_q_[g] = std::min(set_aside_q_[g], std::max(source_bound_q(source, g),
                                                         quantizer_.fine_down(open_min_core_[g])));
  }

  const PrimInput& input_;
  const Quantizer& quantizer_;
  std::size_t n_;
  std::size_t groups_;
  std::size_t words_;  // per group in set_aside_
  std::vector<double> best_;
  std::vector<std::uint32_t> group_of_;
  std::vector<std::uint32_t> members_;
  std::vector<std::uint32_t> where_;
  std::vector<std::uint32_t> begin_;
  std::vector<std::uint32_t> open_;
  std::vector<std::uint32_t> settled_;
  std::vector<double> open_max_;
  std::vector<double> open_min_core_;
  // Bounds on the fine scale of the Quantizer.
  std::vector<std::uint16_t> open_max_q_;
  std::vector<std::uint16_t> open_min_core_q_;
  std::vector<std::uint16_t> pending_q_;
  std::vector<std::uint16_t> set_aside_q_;
  std::vector<std::uint16_t> level_q_;    // pairs at or above the level held back (kNone: none)
  std::vector<std::size_t> level_from_;   // since which tree position pairs are held back
  std::vector<std::uint16_t> trigger_q_;  // min(pending_q_, set_aside_q_, level_q_)
  std::vector<std::size_t> applied_;      // per group: tree rows taken into account (a prefix)
  std::vector<std::uint64_t> set_aside_;  // per group: bit set of set-aside source groups
  std::vector<std::uint32_t> resolved_;   // per source group: stamp of its last resolution
  std::uint32_t stamp_ = 0;
  KeyTree keys_;
  std::vector<std::uint32_t> tree_;
  RecentSources recent_;
  // Per group: tree positions of its rows in the order they joined (at begin_[g] onwards of
  // joined_), how many, and their smallest core distance.
  std::vector<std::uint32_t> joined_;
  std::vector<std::uint32_t> joined_count_;
  std::vector<double> joined_min_core_;
  std::vector<std::uint16_t> joined_min_floor_q_;  // per group: min of max(core, near floor)
  // Per group: tree rows that list it among their near groups, not yet taken into account.
  std::vector<std::vector<std::uint32_t>> listed_pending_;
  NeighbourLists reverse_;
  // Scratch.
  std::vector<std::size_t> rows_;
  std::vector<std::size_t> sorted_;
  std::vector<std::size_t> open_slots_;
  std::vector<std::size_t> flushed_;
  std::vector<std::uint32_t> dirty_;
  std::vector<std::uint32_t> dirty_stamp_;
  std::uint32_t dirty_round_ = 0;
  GatheredBlock left_;
  GatheredBlock right_;                   // the group's open rows
  std::vector<std::size_t> right_slots_;  // their slots, by position
  std::vector<std::uint16_t> marks_;
  DistanceBatch batch_;
};

// Bit i set when values[i] <= limit, for i < count (at most 64).
[[nodiscard]] std::uint64_t at_most(const std::uint16_t* values, std::size_t count,
                                    std::uint16_t limit) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (values[i] <= limit) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

[[nodiscard]] std::uint64_t at_most(const std::uint8_t* bytes, std::size_t count,
                                    std::uint8_t limit) {
  std::uint64_t mask = 0;
  std::size_t i = 0;
#if defined(QUILLFEN_X86)
  const __m128i limit16 = _mm_set1_epi8(static_cast<char>(limit));
  for (; i + 16 <= count; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const auto m =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(b, limit16), b)));
    mask |= static_cast<std::uint64_t>(m) << i;
  }
#endif
  for (; i < count; ++i) {
    if (bytes[i] <= limit) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

// Lists every (slot, neighbour) pair from the neighbour's side as well.
NeighbourLists reversed(const NeighbourLists& lists, std::size_t n) {
  NeighbourLists reverse;
  reverse.offset.assign(n + 1, 0);
  for (const std::uint32_t s : lists.slot) ++reverse.offset[s + 1];
  for (std::size_t s = 0; s < n; ++s) reverse.offset[s + 1] += reverse.offset[s];
  reverse.slot.resize(lists.slot.size());
  std::vector<std::uint32_t> fill(reverse.offset.begin(), reverse.offset.end() - 1);
  for (std::size_t s = 0; s < n; ++s) {
    for (const std::uint32_t other : lists.of(s))
      reverse.slot[fill[other]++] = static_cast<std::uint32_t>(s);
  }
  return reverse;
}

GroupedPrim::GroupedPrim(const PrimInput& input)
    : input_(input),
      quantizer_(input.bounds.quantizer()),
      n_(input.rows.size()),
      groups_(input.groups.groups()),
      words_((groups_ + 63) / 64),
      best_(n_, kInf),
      group_of_(n_),
      members_(n_),
      where_(n_),
      begin_(groups_ + 1),
      open_(groups_),
      settled_(groups_, 0),
      open_max_(groups_, kInf),
      open_min_core_(groups_, 0.0),
      open_max_q_(groups_, kNone),
      open_min_core_q_(groups_, 0),
      pending_q_(groups_, kNone),
      set_aside_q_(groups_, kNone),
      level_q_(groups_, kNone),
      level_from_(groups_, 0),
      trigger_q_(groups_, kNone),
      applied_(groups_, 0),
      set_aside_(groups_ * words_, 0),
      resolved_(groups_, 0),
      keys_(groups_),
      recent_(groups_),
      joined_(n_),
      joined_count_(groups_, 0),
      joined_min_core_(groups_, kInf),
      joined_min_floor_q_(groups_, kNone),
      listed_pending_(groups_),
      reverse_(reversed(input.neighbours, n_)),
      dirty_stamp_(groups_, 0) {
  for (std::size_t g = 0; g <= groups_; ++g) {
    begin_[g] = static_cast<std::uint32_t>(input.groups.begin[g]);
  }
  for (std::size_t g = 0; g < groups_; ++g) {
    open_[g] = begin_[g + 1] - begin_[g];
    for (std::size_t s = begin_[g]; s < begin_[g + 1]; ++s) {
      group_of_[s] = static_cast<std::uint32_t>(g);
      members_[s] = static_cast<std::uint32_t>(s);
      where_[s] = static_cast<std::uint32_t>(s);
    }
    refresh(g);
  }
  tree_.reserve(n_);
}

std::vector<MSTEdge> GroupedPrim::run() {
  std::vector<MSTEdge> edges;
  if (n_ < 2) return edges;
  edges.reserve(n_ - 1);
  const auto& row_of = input_.groups.row_of_slot;
  std::size_t first = 0;
  while (row_of[first] != 0) ++first;
  take(first);
  for (std::size_t step = 1; step < n_; ++step) {
    const std::size_t slot = select();
    const double distance = best_[slot];
    const std::size_t from = row_of[tree_.back()];
    take(slot);
    edges.push_back({from, row_of[slot], distance});
  }
  return edges;
}

void GroupedPrim::swap_members(std::size_t a, std::size_t b) {
  if (a == b) return;
  std::swap(members_[a], members_[b]);
  where_[members_[a]] = static_cast<std::uint32_t>(a);
  where_[members_[b]] = static_cast<std::uint32_t>(b);
}

// Moves the slot into the tree.
void GroupedPrim::take(std::size_t slot) {
  const std::size_t g = group_of_[slot];
  if (where_[slot] < open_end(g)) {
    swap_members(where_[slot], open_end(g) - 1);
    --open_[g];
    ++settled_[g];
  }
  swap_members(where_[slot], tree_begin(g) - 1);
  --settled_[g];
  recent_.touch(g, tree_.size());
  joined_[begin_[g] + joined_count_[g]++] = static_cast<std::uint32_t>(tree_.size());
  joined_min_core_[g] = std::min(joined_min_core_[g], input_.core[slot]);
  joined_min_floor_q_[g] = std::min(
      joined_min_floor_q_[g],
      std::max(quantizer_.fine_down(input_.core[slot]), Quantizer::fine(near_floor(slot))));
  tree_.push_back(static_cast<std::uint32_t>(slot));
  refresh(g);
  settle(slot);
  note_pending(slot);
}

// Applies the pairs of the new tree row whose distance is known to be within a core distance.
void GroupedPrim::settle(std::size_t slot) {
  ++dirty_round_;
  dirty_.clear();
  const double core = input_.core[slot];
  for (const NeighbourLists* lists :
       {&input_.neighbours, static_cast<const NeighbourLists*>(&reverse_)}) {
    for (const std::uint32_t j : lists->of(slot)) {
      if (in_tree(j)) continue;
      const double m = std::max(core, input_.core[j]);
      if (!(m < best_[j])) continue;
      best_[j] = m;
      const std::size_t g = group_of_[j];
      if (where_[j] < open_end(g) && best_[j] <= input_.core[j]) {
        swap_members(where_[j], open_end(g) - 1);
        --open_[g];
        ++settled_[g];
      }
      if (dirty_stamp_[g] != dirty_round_) {
        dirty_stamp_[g] = dirty_round_;
        dirty_.push_back(static_cast<std::uint32_t>(g));
      }
    }
  }
  for (const std::uint32_t g : dirty_) refresh(g);
}

// Lowers the pending bound of every group whose open rows the new tree row could still reach.
void GroupedPrim::note_pending(std::size_t slot) {
  const std::uint16_t core = quantizer_.fine_down(input_.core[slot]);
  const std::size_t source = group_of_[slot];
  const std::uint8_t* pair = input_.bounds.row(source);
  // Every group but the row's own and its listed near groups: at least its near-group floor.
  lower_pending(std::max(core, Quantizer::fine(near_floor(slot))), pair);
  note_one(source, core);
  if (!input_.near.known()) return;
  for (std::size_t i = 0; i < input_.near.count[slot]; ++i) {
    const std::size_t g = input_.near.group[slot * NearGroups::kNearGroups + i];
    const std::uint16_t cand =
        std::max({core, Quantizer::fine(input_.near.bound[slot * NearGroups::kNearGroups + i]),
                  Quantizer::fine(pair[g])});
    if (note_one(g, cand)) listed_pending_[g].push_back(static_cast<std::uint32_t>(slot));
  }
}

// pending_q_ and trigger_q_ of every group lowered to max(floor, pair[g]) (pair bytes on the
// fine scale) where that is below the group's largest open best(j).
void GroupedPrim::lower_pending(std::uint16_t floor, const std::uint8_t* pair) {
  std::size_t g = 0;
#if defined(QUILLFEN_X86)
  // Fine values are below 2^15, so the signed 16-bit operations order them correctly.
  const __m128i floor8 = _mm_set1_epi16(static_cast<short>(floor));
  const __m128i none8 = _mm_set1_epi16(static_cast<short>(kNone));
  for (; g + 8 <= groups_; g += 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pair + g));
    const __m128i fine = _mm_slli_epi16(_mm_unpacklo_epi8(bytes, _mm_setzero_si128()), 7);
    const __m128i cores = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&open_min_core_q_[g]));
    const __m128i cand = _mm_max_epi16(_mm_max_epi16(floor8, fine), cores);
    const __m128i open = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&open_max_q_[g]));
    const __m128i below = _mm_cmpgt_epi16(open, cand);
    const __m128i update = _mm_or_si128(_mm_and_si128(below, cand), _mm_andnot_si128(below, none8));
    __m128i* pending = reinterpret_cast<__m128i*>(&pending_q_[g]);
    __m128i* trigger = reinterpret_cast<__m128i*>(&trigger_q_[g]);
    _mm_storeu_si128(pending, _mm_min_epi16(_mm_loadu_si128(pending), update));
    _mm_storeu_si128(trigger, _mm_min_epi16(_mm_loadu_si128(trigger), update));
  }
#endif
  for (; g < groups_; ++g) note_one(g, std::max(floor, Quantizer::fine(pair[g])));
}

// Lowers group g's pending bound to cand (at least the group's smallest open core distance,
// which every m(t, j) reaches) when that is below its largest open best(j).
bool GroupedPrim::note_one(std::size_t g, std::uint16_t cand) {
  cand = std::max(cand, open_min_core_q_[g]);
  if (!(cand < open_max_q_[g])) return false;
  pending_q_[g] = std::min(pending_q_[g], cand);
  trigger_q_[g] = std::min(trigger_q_[g], cand);
  return true;
}

// The slot of the row Prim's loop adds next.
std::size_t GroupedPrim::select() {
  const double v = keys_.smallest().value;
  const std::uint16_t limit = quantizer_.fine_down(v);
  flushed_.clear();
  std::size_t g = 0;
#if defined(QUILLFEN_X86)
  const __m128i limit8 = _mm_set1_epi16(static_cast<short>(limit));
  for (; g + 8 <= groups_; g += 8) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&trigger_q_[g]));
    // Two mask bits per 16-bit lane.
    auto due = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi16(t, limit8))) ^ 0xffffu;
    while (due != 0) {
      flushed_.push_back(g + static_cast<std::size_t>(std::countr_zero(due)) / 2);
      due &= due - 1;
      due &= due - 1;
    }
  }
#endif
  for (; g < groups_; ++g) {
    if (trigger_q_[g] <= limit) flushed_.push_back(g);
  }
  for (const std::size_t h : flushed_) flush(h, v);
  return keys_.smallest().slot;
}

// Takes into account every tree row that could give one of the group's open rows a best(j) at
// or below v; sets aside, by source group, the rest of the pending rows.
void GroupedPrim::flush(std::size_t g, double v) {
  rows_.clear();
  if (open_[g] == 0) {
    applied_[g] = tree_.size();
    pending_q_[g] = kNone;
    level_q_[g] = kNone;
    std::vector<std::uint32_t>().swap(listed_pending_[g]);
    std::fill_n(&set_aside_[g * words_], words_, std::uint64_t{0});
    set_aside_q_[g] = kNone;
    refresh(g);
    return;
  }
  const std::uint16_t reached = quantizer_.fine_down(v);
  if (level_q_[g] <= reached) {
    // v reached the level: the rows taken into account under it are taken into account again.
    applied_[g] = level_from_[g];
    level_q_[g] = kNone;
  }
  const std::size_t from = applied_[g];
  if (level_q_[g] == kNone && v > kLevelRatio * open_min_core_[g]) {
    level_q_[g] = level_above(v, reached);
    level_from_[g] = from;
  }
  applied_[g] = tree_.size();
  pending_q_[g] = kNone;
  ++stamp_;
  if (resolve_set_aside(g, v)) {
    // The smallest bound of the sources still set aside (their bounds may have risen with the
    // group's smallest open core distance).
    const std::uint16_t core = quantizer_.fine_down(open_min_core_[g]);
    std::uint16_t aside = kNone;
    for (std::size_t w = 0; w < words_; ++w) {
      std::uint64_t bits = set_aside_[g * words_ + w];
      while (bits != 0) {
        const std::size_t source = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        aside = std::min(aside, std::max(source_bound_q(source, g), core));
      }
    }
    set_aside_q_[g] = aside;
  }
  // Whole source groups and rows that list g are never held back (see level_q_).
  take_listed(g, v);
  apply(g, false);
  rows_.clear();
  take_pending_tail(g, v, from);
  apply(g, true);
  // A level at or above every open best(j) holds back nothing.
  if (quantizer_.fine_up(open_max_after_apply(g)) <= level_q_[g]) level_q_[g] = kNone;
  refresh(g);
}

// Takes all tree rows of each set-aside source group whose bound is at or below v.
bool GroupedPrim::resolve_set_aside(std::size_t g, double v) {
  const std::uint16_t reached = quantizer_.fine_down(v);
  const std::uint8_t reached_byte = quantizer_.down(v);
  // A source resolves when max(its pair bound, its rows' floors, the open smallest core) <= v;
  // on the scales of the bounds, a bound is at most v exactly when it is at most down(v). When
  // the bound of the sources set aside is reached, it is recomputed even if none resolves.
  if (set_aside_q_[g] > reached) return false;
  if (open_min_core_[g] > v) return true;
  bool resolved = true;
  const double open_max = open_max_[g];
  const std::uint8_t* bound = input_.bounds.row(g);
  for (std::size_t w = 0; w < words_; ++w) {
    std::uint64_t& word = set_aside_[g * words_ + w];
    if (word == 0) continue;
    const std::size_t count = std::min<std::size_t>(64, groups_ - 64 * w);
    std::uint64_t bits = word & at_most(bound + 64 * w, count, reached_byte) &
                         at_most(&joined_min_floor_q_[64 * w], count, reached);
    if (g / 64 == w && ((word >> (g % 64)) & 1) != 0) {
      // The group's own rows: by their core distances.
      const std::uint64_t own = std::uint64_t{1} << (g % 64);
      bits = (bits & ~own) | (source_bound_q(g, g) <= reached ? own : 0);
    }
    word &= ~bits;
    while (bits != 0) {
      const std::size_t source = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      bits &= bits - 1;
      resolved_[source] = stamp_;
      for (std::size_t at = tree_begin(source); at < begin_[source + 1]; ++at) {
        const std::size_t t = members_[at];
        if (input_.core[t] < open_max) rows_.push_back(t);
      }
    }
  }
  return resolved;
}

// Takes the rows that list g among their near groups and can matter at v; keeps the others
// waiting (with their bounds in pending_q_).
void GroupedPrim::take_listed(std::size_t g, double v) {
  std::vector<std::uint32_t>& listed = listed_pending_[g];
  const double open_max = open_max_[g];
  std::size_t kept = 0;
  for (const std::uint32_t t : listed) {
    const std::uint8_t near = input_.near.of(t, g);
    const double bound =
        std::max({input_.core[t], quantizer_.value(near), pair_bound(group_of_[t], g)});
    if (bound >= open_max) continue;
    if (std::max(bound, open_min_core_[g]) > v) {
      listed[kept++] = t;
      pending_q_[g] =
          std::min(pending_q_[g], quantizer_.fine_down(std::max(bound, open_min_core_[g])));
      continue;
    }
    rows_.push_back(t);
  }
  listed.resize(kept);
}

// Takes the pending tree rows (from applied_[g] on) that can matter at v, and sets aside the
// source groups of those that cannot matter yet.
void GroupedPrim::take_pending_tail(std::size_t g, double v, std::size_t from) {
  if (from >= tree_.size()) return;
  const double open_max = open_max_[g];
  recent_.since(from, [&](std::size_t source) {
    if (resolved_[source] == stamp_) return;
    // Rows of other groups: at least their near-group floors (the rows that list g wait in
    // listed_pending_); rows of g itself: their core distances.
    const double bound = source == g ? joined_min_core_[source]
                                     : std::max(pair_bound(source, g), joined_min_floor(source));
    if (bound >= open_max) return;  // can never lower an open best(j) of the group
    if (std::max(bound, open_min_core_[g]) > v) {
      set_aside(g, source);
      return;
    }
    const std::uint32_t* positions = &joined_[begin_[source]];
    const std::uint32_t* last = positions + joined_count_[source];
    for (const std::uint32_t* at = std::lower_bound(positions, last, from); at != last; ++at) {
      const std::size_t t = tree_[*at];
      if (input_.core[t] < open_max) rows_.push_back(t);
    }
  });
}

// Puts rows_ in ascending order of their group pair bound to g (a counting sort on the byte
// scale), so that the nearest rows come first and give the open rows small best(j) early.
void GroupedPrim::order_by_bound(std::size_t g) {
  std::size_t count[257] = {};
  const std::uint8_t* bound = input_.bounds.row(g);
  for (const std::size_t t : rows_) ++count[bound[group_of_[t]] + 1];
  for (std::size_t b = 1; b < 257; ++b) count[b] += count[b - 1];
  sorted_.resize(rows_.size());
  for (const std::size_t t : rows_) sorted_[count[bound[group_of_[t]]]++] = t;
  rows_.swap(sorted_);
}

// best(j) = min(best(j), m(t, j)) for the rows t in rows_ and the group's open rows j; a
// computed distance only where neither the core distances nor the sketch bound settle it. The
// rows go in blocks that start small and double, so that the first computed distances give the
// sketch screening of the later blocks tight limits.
void GroupedPrim::apply(std::size_t g, bool held_back) {
  if (rows_.empty() || open_[g] == 0) return;
  const double level = !held_back || level_q_[g] == kNone ? std::numeric_limits<double>::infinity()
                                                          : quantizer_.fine_value(level_q_[g]);
  if (rows_.size() * open_[g] <= input_.direct_pairs) {
    apply_directly(g, level);
  } else {
    apply_in_blocks(g, level);
  }
  open_slots_.assign(members_.begin() + begin_[g], members_.begin() + open_end(g));
  for (const std::size_t j : open_slots_) {
    if (best_[j] <= input_.core[j]) {
      swap_members(where_[j], open_end(g) - 1);
      --open_[g];
      ++settled_[g];
    }
  }
}

// Few pairs: each through the cheap floor of its distance, then (where still needed) the
// computed distance; pairs whose floor reaches the level are held back.
void GroupedPrim::apply_directly(std::size_t g, double level) {
  const std::span<const double> core = input_.core;
  const auto update = [&](std::size_t t, std::size_t j, double d) {
    const double m = std::max(std::max(core[t], core[j]), d);
    if (m < best_[j]) best_[j] = m;
  };
  const auto needed = [&](std::size_t t, std::size_t j, double floor) {
    return floor < level && std::max(std::max(core[t], core[j]), floor) < best_[j];
  };
  for (const std::size_t t : rows_) {
    for (std::size_t at = begin_[g]; at < open_end(g); ++at) {
      const std::size_t j = members_[at];
      if (!(std::max(core[t], core[j]) < best_[j])) continue;
      batch_.add(t, j);
      if (batch_.full()) batch_.run(input_.rows, input_.level, needed, update);
    }
  }
  if (!batch_.empty()) batch_.run(input_.rows, input_.level, needed, update);
}

void GroupedPrim::apply_in_blocks(std::size_t g, double level) {
  order_by_bound(g);
  right_slots_.assign(members_.begin() + begin_[g], members_.begin() + open_end(g));
  right_.gather(input_.sketches, right_slots_.data(), right_slots_.size());
  std::size_t block = kFirstApplyRows;
  for (std::size_t first = 0; first < rows_.size();
       first += block, block = std::min(2 * block, kApplyRows)) {
    apply_block(first, std::min(block, rows_.size() - first), level);
  }
}

// Pairs whose sketch bound reaches the level are held back (see flush()).
void GroupedPrim::apply_block(std::size_t first, std::size_t count, double level) {
  const SketchScale& scale = input_.sketches.scale();
  const std::span<const double> core = input_.core;
  left_.gather(input_.sketches, rows_.data() + first, count);
  std::int32_t* limits = right_.limits();
  for (std::size_t i = 0; i < right_slots_.size(); ++i) {
    const std::size_t j = right_slots_[i];
    limits[i] = screen_limit(scale, std::min(best_[j], level),
                             input_.sketches.error(j) + left_.largest_error());
  }
  const std::size_t columns = round_up(right_slots_.size(), kBlockColumn) / kBlockColumn;
  marks_.resize(round_up(count, 4) * columns);
  (void)screen_block_at(input_.level, left_.side(), right_.side(), input_.sketches.chunks(),
                        {marks_.data()});
  const auto update = [&](std::size_t t, std::size_t j, double d) {
    const double m = std::max(std::max(core[t], core[j]), d);
    if (m < best_[j]) best_[j] = m;
  };
  const auto needed = [&](std::size_t t, std::size_t j, double floor) {
    return floor < level && std::max(std::max(core[t], core[j]), floor) < best_[j];
  };
  for (std::size_t p = 0; p < count; ++p) {
    const std::size_t t = rows_[first + p];
    for (std::size_t col = 0; col < columns; ++col) {
      unsigned mark = marks_[p * columns + col];
      while (mark != 0) {
        const std::size_t i = col * kBlockColumn + static_cast<std::size_t>(std::countr_zero(mark));
        mark &= mark - 1;
        if (i >= right_slots_.size()) break;
        const std::size_t j = right_slots_[i];
        if (!(std::max(core[t], core[j]) < best_[j])) continue;
        batch_.add(t, j);
        if (batch_.full()) batch_.run(input_.rows, input_.level, needed, update);
      }
    }
  }
  if (!batch_.empty()) batch_.run(input_.rows, input_.level, needed, update);
}

// The level of a flush at v: a margin above v, on the byte scale (so that the trigger
// level <= down(v) holds exactly when v reaches it); none for v infinite.
std::uint16_t GroupedPrim::level_above(double v, std::uint16_t reached) const {
  if (!(v < std::numeric_limits<double>::infinity())) return kNone;
  const std::uint16_t level = quantizer_.fine_down(v * (1.0 + kLevelMargin));
  if (level <= reached) {
    return reached == Quantizer::kFineLargest ? kNone : static_cast<std::uint16_t>(reached + 1);
  }
  return level == Quantizer::kFineLargest ? kNone : level;
}

double GroupedPrim::open_max_after_apply(std::size_t g) const {
  double largest = -std::numeric_limits<double>::infinity();
  for (std::size_t at = begin_[g]; at < open_end(g); ++at)
    largest = std::max(largest, best_[members_[at]]);
  return largest;
}

// Recomputes a group's key, open largest best(j) and open smallest core distance.
void GroupedPrim::refresh(std::size_t g) {
  Key key;
  double open_max = -kInf;
  double open_min_core = kInf;
  const auto& row_of = input_.groups.row_of_slot;
  for (std::size_t at = begin_[g]; at < tree_begin(g); ++at) {
    const std::size_t s = members_[at];
    const Key here{best_[s], static_cast<std::uint32_t>(row_of[s]), static_cast<std::uint32_t>(s)};
    if (precedes(here, key)) key = here;
    if (at < open_end(g)) {
      open_max = std::max(open_max, best_[s]);
      open_min_core = std::min(open_min_core, input_.core[s]);
    }
  }
  keys_.set(g, key);
  open_max_[g] = open_max;
  open_min_core_[g] = open_min_core;
  if (open_[g] == 0) {
    open_max_q_[g] = 0;
    trigger_q_[g] = kNone;
  } else {
    open_max_q_[g] = quantizer_.fine_up(open_max);
    open_min_core_q_[g] = quantizer_.fine_down(open_min_core);
    trigger_q_[g] = std::min({pending_q_[g], set_aside_q_[g], level_q_[g]});
  }
}

}  // namespace

std::vector<MSTEdge> grouped_prim(const PrimInput& input) { return GroupedPrim(input).run(); }

}  // namespace quillfen::speakers::hdbscan
