#include "speakers/hdbscan/row_groups.h"

#include <bit>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "speakers/hdbscan/sketch_block.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kBallMargin = 1e-9;
constexpr double kUnderflowMargin = 1e-149;

// The rows as points for splitting: every value divided by the largest magnitude (so that
// every square stays finite), in 32-bit arithmetic; only the quality of the groups depends on
// it.
template <class T>
class Points {
 public:
  Points(const std::vector<const T*>& rows, std::size_t dims, double max_abs)
      : rows_(rows), dims_(dims), inverse_(max_abs > 0.0 ? 1.0 / max_abs : 1.0) {}

  std::size_t dims() const { return dims_; }
  [[nodiscard]] float value(std::size_t row, std::size_t j) const {
    return static_cast<float>(static_cast<double>(rows_[row][j]) * inverse_);
  }
  // Summed in 8 interleaved partial sums, so that the loop runs in vector lanes.
  [[nodiscard]] float squared_gap(std::size_t row, const float* point) const {
    const T* r = rows_[row];
    const auto inverse = static_cast<float>(inverse_);
    float part[8] = {};
    std::size_t j = 0;
    for (; j + 8 <= dims_; j += 8) {
      for (std::size_t l = 0; l < 8; ++l) {
        const float diff = scaled(r[j + l], inverse) - point[j + l];
        part[l] += diff * diff;
      }
    }
    for (; j < dims_; ++j) {
      const float diff = scaled(r[j], inverse) - point[j];
      part[0] += diff * diff;
    }
    return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
  }
  void load(std::size_t row, float* out) const {
    for (std::size_t j = 0; j < dims_; ++j) out[j] = value(row, j);
  }
  // sums[j] += value j of the row.
  void add_to(std::size_t row, double* sums) const {
    const T* r = rows_[row];
    for (std::size_t j = 0; j < dims_; ++j) {
      sums[j] += static_cast<double>(static_cast<double>(r[j]) * inverse_);
    }
  }
  // out = the mean of the members.
  void mean_of(std::span<const std::size_t> members, float* out) const {
    std::vector<double> sum(dims_, 0.0);
    if constexpr (std::is_same_v<T, float>) {
      // 32-bit values cannot overflow a 64-bit sum; scaled once at the end.
      for (const std::size_t row : members) {
        const T* r = rows_[row];
        for (std::size_t j = 0; j < dims_; ++j) sum[j] += static_cast<double>(r[j]);
      }
      for (std::size_t j = 0; j < dims_; ++j) sum[j] *= inverse_;
    } else {
      for (const std::size_t row : members) {
        for (std::size_t j = 0; j < dims_; ++j) sum[j] += value(row, j);
      }
    }
    for (std::size_t j = 0; j < dims_; ++j) {
      out[j] = static_cast<float>(sum[j] / static_cast<double>(members.size()));
    }
  }

 private:
  [[nodiscard]] float scaled(float x, float inverse) const { return x * inverse; }
  [[nodiscard]] float scaled(double x, float) const { return static_cast<float>(x * inverse_); }

  const std::vector<const T*>& rows_;
  std::size_t dims_;
  double inverse_;
};

// Parts per split at most: with many clusters of rows in many dimensions, a split in two
// leaves each row only a weak pull towards either half, and rows stray; among 16 parts each
// part's mean stands for few clusters, and the rows of one cluster go together.
constexpr std::size_t kMaxParts = 16;
// Rows per leader: dense enough that nearly every cluster of rows has leaders of its own.
constexpr std::size_t kLeaderSpacing = 32;
constexpr int kRounds = 4;

// A fixed pseudo-random sequence (the splits are reproducible).
class Sequence {
 public:
  std::uint64_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return state_ >> 11;
  }
  double unit() { return static_cast<double>(next()) / 9007199254740992.0; }  // [0, 1)

 private:
  std::uint64_t state_ = 0x9e3779b97f4a7c15ull;
};

// k-means split of members into at most k parts: seeds drawn with probability growing with the
// squared distance to the seeds so far (k-means++), then a few rounds of assigning each row to
// its nearest centre and moving the centres to the means. Members are reordered by part;
// returns the part boundaries (first 0, last members.size(); empty parts dropped).
template <class T>
[[nodiscard]] std::vector<std::size_t> k_means(const Points<T>& points,
                                               std::span<std::size_t> members, std::size_t k,
                                               Sequence& sequence) {
  const std::size_t dims = points.dims();
  const std::size_t m = members.size();
  std::vector<float> centres(k * dims);
  std::vector<float> nearest(m, std::numeric_limits<float>::infinity());
  std::size_t seeds = 0;
  for (std::size_t pick = members[sequence.next() % m]; seeds < k; ++seeds) {
    points.load(pick, &centres[seeds * dims]);
    double total = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      nearest[i] = std::min(nearest[i], points.squared_gap(members[i], &centres[seeds * dims]));
      total += nearest[i];
    }
    if (!(total > 0.0)) break;  // every row sits on a seed
    double target = sequence.unit() * total;
    std::size_t i = 0;
    while (i + 1 < m && (target -= nearest[i]) >= 0.0) ++i;
    pick = members[i];
  }
  if (seeds < k) ++seeds;
  k = seeds;
  std::vector<std::uint32_t> part(m, 0);
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < m; ++i) {
      float best = std::numeric_limits<float>::infinity();
      for (std::size_t c = 0; c < k; ++c) {
        const float gap = points.squared_gap(members[i], &centres[c * dims]);
        if (gap < best) {
          best = gap;
          part[i] = static_cast<std::uint32_t>(c);
        }
      }
    }
    if (round + 1 == kRounds) break;
    std::vector<double> sums(k * dims, 0.0);
    std::vector<std::size_t> counts(k, 0);
    for (std::size_t i = 0; i < m; ++i) {
      points.add_to(members[i], &sums[part[i] * dims]);
      ++counts[part[i]];
    }
    for (std::size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      for (std::size_t j = 0; j < dims; ++j) {
        centres[c * dims + j] = static_cast<float>(sums[c * dims + j] / static_cast<double>(counts[c]));
      }
    }
  }
  // Members reordered by part (stable within a part).
  std::vector<std::size_t> begin(k + 1, 0);
  for (std::size_t i = 0; i < m; ++i) ++begin[part[i] + 1];
  for (std::size_t c = 0; c < k; ++c) begin[c + 1] += begin[c];
  std::vector<std::size_t> reordered(m);
  std::vector<std::size_t> fill(begin.begin(), begin.end() - 1);
  for (std::size_t i = 0; i < m; ++i) reordered[fill[part[i]]++] = members[i];
  std::copy(reordered.begin(), reordered.end(), members.begin());
  begin.erase(std::unique(begin.begin(), begin.end()), begin.end());
  return begin;
}

// Group boundaries of a depth-first recursive split of the listed rows (reordered in place):
// k-means splits, or halves in the middle when a split leaves everything in one part (identical
// rows) or when depth runs deep.
template <class T>
void split_rows(const Points<T>& points, std::span<std::size_t> rows, std::size_t offset,
                std::size_t capacity, std::vector<std::size_t>& begin) {
  struct Part {
    std::size_t first, last, depth;
  };
  constexpr std::size_t kMaxDepth = 48;
  if (rows.empty()) return;
  Sequence sequence;
  std::vector<Part> stack{{0, rows.size(), 0}};
  while (!stack.empty()) {
    const Part part = stack.back();
    stack.pop_back();
    const std::size_t size = part.last - part.first;
    if (size <= capacity) {
      begin.push_back(offset + part.first);
      continue;
    }
    const std::span<std::size_t> members = rows.subspan(part.first, size);
    std::vector<std::size_t> bounds = {0, size / 2, size};
    if (part.depth < kMaxDepth) {
      const std::size_t k = std::min(kMaxParts, (size + capacity - 1) / capacity);
      std::vector<std::size_t> found = k_means(points, members, std::max<std::size_t>(k, 2), sequence);
      if (found.size() > 2) bounds = std::move(found);
    }
    for (std::size_t b = bounds.size() - 1; b > 0; --b) {
      stack.push_back({part.first + bounds[b - 1], part.first + bounds[b], part.depth + 1});
    }
  }
}

// Moves the rows of each group that lie far out (beyond 1.5 times the median distance to the
// group's mean) to the end of order, and returns where they start; the groups shrink in place.
template <class T>
[[nodiscard]] std::size_t extract_outliers(const Points<T>& points, std::vector<std::size_t>& order,
                                           std::vector<std::size_t>& begin) {
  std::vector<std::size_t> kept;
  std::vector<std::size_t> outliers;
  std::vector<std::size_t> new_begin;
  std::vector<float> gaps;
  std::vector<float> mean(points.dims());
  for (std::size_t g = 0; g + 1 < begin.size(); ++g) {
    const std::span<const std::size_t> members(&order[begin[g]], begin[g + 1] - begin[g]);
    points.mean_of(members, mean.data());
    gaps.clear();
    for (const std::size_t row : members) gaps.push_back(points.squared_gap(row, mean.data()));
    std::vector<float> sorted = gaps;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const float limit = 2.25f * sorted[sorted.size() / 2];  // squared: 1.5 times the distance
    const std::size_t start = kept.size();
    for (std::size_t m = 0; m < members.size(); ++m) {
      (gaps[m] > limit ? outliers : kept).push_back(members[m]);
    }
    if (kept.size() > start) new_begin.push_back(start);
  }
  const std::size_t outliers_start = kept.size();
  kept.insert(kept.end(), outliers.begin(), outliers.end());
  order = std::move(kept);
  begin = std::move(new_begin);
  return outliers_start;
}

// The squared sketch distance D of rows a and b (slots of sketches), computed directly.
[[nodiscard]] std::int32_t sketch_distance(const BlockSketches& sketches, std::size_t a,
                                           std::size_t b) {
  std::int32_t d = 0;
  for (std::size_t c = 0; c < sketches.chunks(); ++c) {
    const std::int8_t* x = sketches.chunk(a, c);
    const std::int8_t* y = sketches.chunk(b, c);
    for (std::size_t v = 0; v < 4; ++v) d += (x[v] - y[v]) * (x[v] - y[v]);
  }
  return d;
}

// The leader (index into leaders) nearest to each member row by squared sketch distance, the
// lowest index among equal ones: members are screened in blocks against blocks of leaders, each
// row's limit one below its smallest distance so far, so that only improvements come out as
// marks (a tie is no improvement: rows equal to many leaders are not looked at again).
[[nodiscard]] std::vector<std::uint32_t> nearest_leaders(const BlockSketches& sketches,
                                                         std::span<const std::size_t> members,
                                                         const std::vector<std::size_t>& leaders,
                                                         SimdLevel level,
                                                         std::vector<std::int32_t>& distance) {
  constexpr std::size_t kRowBlock = 256;
  constexpr std::size_t kLeaderBlock = 256;
  constexpr std::size_t kFirstLeaders = kBlockColumn;  // everything is marked in the first
  GatheredBlock all_leaders;
  all_leaders.gather(sketches, leaders.data(), leaders.size());
  const ScreenSide leader_side = all_leaders.side();
  GatheredBlock block;
  std::vector<std::uint32_t> nearest(members.size(), 0);
  distance.assign(members.size(), 0);
  std::vector<std::uint16_t> marks;
  for (std::size_t at = 0; at < members.size(); at += kRowBlock) {
    const std::size_t size = std::min(kRowBlock, members.size() - at);
    block.gather(sketches, members.data() + at, size);
    std::int32_t* const limit = block.limits();
    std::fill(limit, limit + size, std::numeric_limits<std::int32_t>::max());
    std::int32_t* const best = distance.data() + at;
    std::fill(best, best + size, std::numeric_limits<std::int32_t>::max());
    for (std::size_t first = 0; first < leaders.size();) {
      const std::size_t count =
          std::min(first == 0 ? kFirstLeaders : kLeaderBlock, leaders.size() - first);
      const ScreenSide right{leader_side.packed + first * sketches.chunks() * 4, count,
                             leader_side.squares + first, leader_side.sums + first,
                             leader_side.limits + first};
      const std::size_t columns = round_up(count, kBlockColumn) / kBlockColumn;
      marks.resize(round_up(size, 4) * columns);
      (void)screen_block_at(level, block.side(), right, sketches.chunks(), {marks.data()});
      for (std::size_t p = 0; p < size; ++p) {
        for (std::size_t col = 0; col < columns; ++col) {
          unsigned mark = marks[p * columns + col];
          while (mark != 0) {
            const std::size_t j =
                col * kBlockColumn + static_cast<std::size_t>(std::countr_zero(mark));
            mark &= mark - 1;
            if (j >= count) break;
            const std::int32_t d = sketch_distance(sketches, members[at + p], leaders[first + j]);
            if (d < best[p]) {
              best[p] = d;
              limit[p] = d - 1;
              nearest[at + p] = static_cast<std::uint32_t>(first + j);
            }
          }
        }
      }
      first += count;
    }
  }
  return nearest;
}

// Cells (the rows nearest to one leader) merged into groups of at most capacity rows: pairs of
// leaders in ascending order of their squared sketch distance (ties by the leaders' order), as
// long as it is at most kMergeRatio times the typical squared distance of either cell's rows to
// its leader (the leaders then sit in the same cluster of rows). Returns the group of every cell.
//
// The pairs are held as 8 bytes each, listed per first leader in ascending order and merged
// across the leaders; pairs at distance 0 come first in that order and are taken at once, as
// they are found (copies of one row make every pair of their leaders such a pair).
[[nodiscard]] std::vector<std::uint32_t> merge_cells(const BlockSketches& sketches,
                                                     const std::vector<std::size_t>& leaders,
                                                     const std::vector<std::size_t>& cell_size,
                                                     const std::vector<std::int32_t>& typical,
                                                     std::size_t capacity, SimdLevel level) {
  constexpr double kMergeRatio = 1.3;
  const std::size_t m = leaders.size();
  std::vector<std::uint32_t> parent(m);
  std::vector<std::size_t> size(cell_size);
  for (std::size_t l = 0; l < m; ++l) parent[l] = static_cast<std::uint32_t>(l);
  const auto find = [&](std::uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  const auto merge = [&](std::uint32_t x, std::uint32_t y) {
    const std::uint32_t a = find(x);
    const std::uint32_t b = find(y);
    if (a == b || size[a] + size[b] > capacity) return;
    parent[b] = a;
    size[a] += size[b];
  };

  GatheredBlock block;
  block.gather(sketches, leaders.data(), m);
  std::int32_t* limits = block.limits();
  for (std::size_t l = 0; l < m; ++l) {
    limits[l] = static_cast<std::int32_t>(
        std::min(kMergeRatio * typical[l], static_cast<double>(std::numeric_limits<std::int32_t>::max())));
  }
  constexpr std::size_t kLeftLeaders = 256;
  const std::size_t columns = round_up(m, kBlockColumn) / kBlockColumn;
  std::vector<std::uint16_t> marks(kLeftLeaders * columns);
  struct Partner {
    std::int32_t d;
    std::uint32_t b;
  };
  const auto before = [](const Partner& x, const Partner& y) {
    return x.d < y.d || (x.d == y.d && x.b < y.b);
  };
  // The partners of leader a: lists[a / kLeftLeaders][list_begin[a] .. list_end[a]).
  std::vector<std::vector<Partner>> lists;
  std::vector<std::size_t> list_begin(m, 0);
  std::vector<std::size_t> list_end(m, 0);
  std::vector<Partner> found;
  GatheredBlock left;
  for (std::size_t first = 0; first < m; first += kLeftLeaders) {
    const std::size_t count = std::min(kLeftLeaders, m - first);
    left.gather(sketches, leaders.data() + first, count);
    std::copy(limits + first, limits + first + count, left.limits());
    (void)screen_block_at(level, left.side(), block.side(), sketches.chunks(), {marks.data()});
    found.clear();
    for (std::size_t a = first; a < first + count; ++a) {
      list_begin[a] = found.size();
      for (std::size_t col = 0; col < columns; ++col) {
        unsigned mark = marks[(a - first) * columns + col];
        while (mark != 0) {
          const std::size_t b = col * kBlockColumn + static_cast<std::size_t>(std::countr_zero(mark));
          mark &= mark - 1;
          if (b >= m || b <= a) continue;
          const std::int32_t d = sketch_distance(sketches, leaders[a], leaders[b]);
          if (d == 0) {
            merge(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
          } else {
            found.push_back({d, static_cast<std::uint32_t>(b)});
          }
        }
      }
      list_end[a] = found.size();
      std::sort(found.begin() + static_cast<std::ptrdiff_t>(list_begin[a]), found.end(), before);
    }
    lists.emplace_back(found.begin(), found.end());
  }
  std::vector<Partner>().swap(found);

  // Every leader's next partner in a binary heap, smallest (d, a, b) on top.
  struct Next {
    std::int32_t d;
    std::uint32_t a, b;
  };
  const auto precedes = [](const Next& x, const Next& y) {
    return x.d < y.d || (x.d == y.d && (x.a < y.a || (x.a == y.a && x.b < y.b)));
  };
  const auto partner = [&](std::size_t a) { return lists[a / kLeftLeaders][list_begin[a]]; };
  std::vector<Next> heap;
  for (std::size_t a = 0; a < m; ++a) {
    if (list_begin[a] == list_end[a]) continue;
    const Partner p = partner(a);
    heap.push_back({p.d, static_cast<std::uint32_t>(a), p.b});
  }
  const auto sift_down = [&](std::size_t at) {
    const Next moving = heap[at];
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= heap.size()) break;
      if (child + 1 < heap.size() && precedes(heap[child + 1], heap[child])) ++child;
      if (!precedes(heap[child], moving)) break;
      heap[at] = heap[child];
      at = child;
    }
    heap[at] = moving;
  };
  for (std::size_t at = heap.size() / 2; at-- > 0;) sift_down(at);
  while (!heap.empty()) {
    const Next top = heap.front();
    merge(top.a, top.b);
    if (++list_begin[top.a] != list_end[top.a]) {
      const Partner p = partner(top.a);
      heap.front() = {p.d, top.a, p.b};
    } else {
      heap.front() = heap.back();
      heap.pop_back();
    }
    if (!heap.empty()) sift_down(0);
  }
  std::vector<std::uint32_t> group(m);
  for (std::size_t l = 0; l < m; ++l) group[l] = find(static_cast<std::uint32_t>(l));
  return group;
}

// Splits members by nearest leader (leaders: about members / capacity of them, spread over the
// members), each part larger than capacity further by k-means; appends the group boundaries
// (members are reordered, offset is their first slot).
template <class T>
void leader_parts(const Points<T>& points, const BlockSketches& sketches,
                  std::span<std::size_t> members, std::size_t offset, std::size_t capacity,
                  SimdLevel level, std::vector<std::size_t>& begin) {
  const std::size_t n = members.size();
  const std::size_t count = std::max<std::size_t>(1, n / kLeaderSpacing);
  std::vector<std::size_t> leaders;
  Sequence sequence;
  for (std::size_t l = 0; l < count; ++l) {
    const std::size_t at = (l * n) / count + sequence.next() % std::max<std::size_t>(1, n / count);
    leaders.push_back(members[std::min(at, n - 1)]);
  }
  std::vector<std::int32_t> distance;
  const std::vector<std::uint32_t> nearest = nearest_leaders(sketches, members, leaders, level, distance);
  // Cell sizes and each cell's typical (median) squared distance to its leader.
  std::vector<std::size_t> cell_size(count, 0);
  for (std::size_t r = 0; r < n; ++r) ++cell_size[nearest[r]];
  std::vector<std::vector<std::int32_t>> cell_distances(count);
  for (std::size_t r = 0; r < n; ++r) {
    if (members[r] != leaders[nearest[r]]) cell_distances[nearest[r]].push_back(distance[r]);
  }
  std::vector<std::int32_t> typical(count, 0);
  for (std::size_t l = 0; l < count; ++l) {
    std::vector<std::int32_t>& d = cell_distances[l];
    if (d.empty()) continue;
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
    typical[l] = d[d.size() / 2];
  }
  const std::vector<std::uint32_t> group_of_cell =
      merge_cells(sketches, leaders, cell_size, typical, capacity, level);
  std::vector<std::size_t> start(count + 1, 0);
  for (std::size_t r = 0; r < n; ++r) ++start[group_of_cell[nearest[r]] + 1];
  for (std::size_t l = 0; l < count; ++l) start[l + 1] += start[l];
  std::vector<std::size_t> by_group(n);
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t r = 0; r < n; ++r) by_group[fill[group_of_cell[nearest[r]]]++] = members[r];
  std::copy(by_group.begin(), by_group.end(), members.begin());
  for (std::size_t l = 0; l < count; ++l) {
    if (start[l + 1] == start[l]) continue;
    split_rows(points, members.subspan(start[l], start[l + 1] - start[l]), offset + start[l],
               capacity, begin);
  }
}

// Groups the members (reordered in place; offset is their first slot): by nearest leaders when
// there are block sketches, else by recursive k-means splits alone.
template <class T>
void group_members(const Points<T>& points, const BlockSketches* sketches,
                   std::span<std::size_t> members, std::size_t offset, std::size_t capacity,
                   SimdLevel level, std::vector<std::size_t>& begin) {
  if (sketches != nullptr && members.size() > capacity) {
    leader_parts(points, *sketches, members, offset, capacity, level, begin);
  } else {
    split_rows(points, members, offset, capacity, begin);
  }
}

// Group boundaries and slot order of all rows; the rows far out in their groups are grouped
// again among themselves (which brings together the rows of clusters that had no leader).
template <class T>
[[nodiscard]] std::vector<std::size_t> group_order(const Points<T>& points,
                                                   const BlockSketches* sketches, std::size_t n,
                                                   std::size_t capacity, SimdLevel level,
                                                   std::vector<std::size_t>& order) {
  order.resize(n);
  for (std::size_t r = 0; r < n; ++r) order[r] = r;
  std::vector<std::size_t> begin;
  group_members(points, sketches, order, 0, capacity, level, begin);
  begin.push_back(n);
  const std::size_t outliers = extract_outliers(points, order, begin);
  group_members(points, sketches, std::span<std::size_t>(order).subspan(outliers), outliers,
                capacity, level, begin);
  begin.push_back(n);
  return begin;
}

// Centre (mean, 64-bit) and radius (largest computed distance to a member, +inf when one is
// not a number) of the group of slots first .. first + count - 1 (rows in slot order).
[[nodiscard]] double centre_and_radius(const RowStore& rows, std::size_t first, std::size_t count,
                                       double* centre) {
  const std::size_t dims = rows.dims();
  std::fill(centre, centre + dims, 0.0);
  for (std::size_t s = first; s < first + count; ++s) {
    for (std::size_t j = 0; j < dims; ++j) centre[j] += rows.value(s, j);
  }
  for (std::size_t j = 0; j < dims; ++j) centre[j] /= static_cast<double>(count);
  double radius = 0.0;
  for (std::size_t s = first; s < first + count; ++s) {
    double sum = 0.0;
    for (std::size_t j = 0; j < dims; ++j) {
      const double diff = centre[j] - rows.value(s, j);
      sum += diff * diff;
    }
    const double d = std::sqrt(sum);
    if (std::isnan(d)) return std::numeric_limits<double>::infinity();
    radius = std::max(radius, d);
  }
  return radius;
}

}  // namespace

double largest_magnitude(const RowStore& rows) {
  double max_abs = 0.0;
  rows.visit([&](const auto& row) {
    for (const auto* r : row) {
      for (std::size_t j = 0; j < rows.dims(); ++j) {
        max_abs = std::max(max_abs, std::fabs(static_cast<double>(r[j])));
      }
    }
  });
  return max_abs;
}

RowGroups group_rows(RowStore& rows, std::size_t capacity, std::size_t max_groups,
                     const SketchScale& scale, SimdLevel level) {
  RowGroups g;
  const std::size_t n = rows.size();
  const double max_abs = largest_magnitude(rows);
  capacity = std::max<std::size_t>(capacity, 1);
  // Groups hold about 0.7 of the capacity on average: start where max_groups is likely kept.
  while (static_cast<double>(n) > 0.7 * static_cast<double>(capacity) * static_cast<double>(max_groups) &&
         capacity < n) {
    capacity *= 2;
  }
  std::optional<BlockSketches> sketches;  // of the rows in their given order, one block
  if (scale.usable() && n > capacity) sketches.emplace(scale, rows, std::vector<std::size_t>{0, n});
  rows.visit([&](const auto& row) {
    const Points points(row, rows.dims(), max_abs);
    for (;;) {
      g.begin = group_order(points, sketches ? &*sketches : nullptr, n, capacity, level,
                            g.row_of_slot);
      if (g.begin.size() - 1 <= std::max<std::size_t>(max_groups, 1) || capacity >= n) break;
      capacity *= 2;
    }
  });
  sketches.reset();
  rows.reorder(g.row_of_slot);
  const std::size_t groups = g.begin.size() - 1;
  g.dims = rows.dims();
  g.centres.assign(groups * g.dims, 0.0);
  g.radius.resize(groups);
  for (std::size_t k = 0; k < groups; ++k) {
    g.radius[k] = centre_and_radius(rows, g.begin[k], g.size(k), &g.centres[k * g.dims]);
  }
  return g;
}

double ball_lower_bound(double centre_lower_bound, double radius) {
  const double bound = (centre_lower_bound * (1.0 - kBallMargin) - radius * (1.0 + kBallMargin)) *
                           (1.0 - kBallMargin) -
                       kUnderflowMargin;
  return bound > 0.0 ? bound : 0.0;
}

double centre_distance(const RowGroups& groups, std::size_t g, std::size_t h) {
  const double* a = groups.centre(g);
  const double* b = groups.centre(h);
  double sum = 0.0;
  for (std::size_t j = 0; j < groups.dims; ++j) {
    const double diff = a[j] - b[j];
    sum += diff * diff;
  }
  return std::sqrt(sum);
}

}  // namespace quillfen::speakers::hdbscan
