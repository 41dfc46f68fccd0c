#include "speakers/hdbscan/core_distances.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace quillfen::speakers::hdbscan {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kExactBatch = 16;

struct Candidate {
  double lower = 0.0;
  double upper = kInf;
  std::size_t row = 0;
  bool computed = false;  // lower and upper are the computed distance
};

// The candidates of one query row: those admitted while their lower bound was below tau(), and
// the k smallest of their upper bounds (a max-heap), whose largest is tau() once there are k.
class QueryCandidates {
 public:
  void reset(std::size_t k) {
    k_ = k;
    list_.clear();
    uppers_.clear();
  }
  [[nodiscard]] double tau() const { return uppers_.size() == k_ ? uppers_.front() : kInf; }
  [[nodiscard]] bool full() const { return list_.size() > 2 * k_ + 64; }

  void admit(const Candidate& candidate) {
    list_.push_back(candidate);
    if (uppers_.size() < k_) {
      uppers_.push_back(candidate.upper);
      std::push_heap(uppers_.begin(), uppers_.end());
    } else if (candidate.upper < uppers_.front()) {
      std::pop_heap(uppers_.begin(), uppers_.end());
      uppers_.back() = candidate.upper;
      std::push_heap(uppers_.begin(), uppers_.end());
    }
  }

  // Computes distances in ascending order of lower bounds until the k-th smallest is settled,
  // and keeps only the k nearest candidates (all with computed distances).
  void settle(const double* query, std::span<const std::span<const double>> rows);

 private:
  void compute(std::size_t first, std::size_t last, const double* query,
               std::span<const std::span<const double>> rows);

  std::size_t k_ = 0;
  std::vector<Candidate> list_;
  std::vector<double> uppers_;
};

void QueryCandidates::compute(std::size_t first, std::size_t last, const double* query,
                              std::span<const std::span<const double>> rows) {
  const double* left[kExactBatch] = {};
  const double* right[kExactBatch] = {};
  std::size_t which[kExactBatch] = {};
  double distances[kExactBatch] = {};
  std::size_t count = 0;
  for (std::size_t c = first; c < last; ++c) {
    if (list_[c].computed) continue;
    left[count] = query;
    right[count] = rows[list_[c].row].data();
    which[count++] = c;
  }
  euclidean_distances(left, right, count, rows[0].size(), distances);
  for (std::size_t e = 0; e < count; ++e) {
    list_[which[e]] = {distances[e], distances[e], list_[which[e]].row, true};
  }
}

void QueryCandidates::settle(const double* query, std::span<const std::span<const double>> rows) {
  std::sort(list_.begin(), list_.end(), [](const Candidate& a, const Candidate& b) {
    return a.lower < b.lower || (a.lower == b.lower && a.row < b.row);
  });
  const auto farther = [](const Candidate& a, const Candidate& b) { return a.upper < b.upper; };
  std::vector<Candidate> kept;  // max-heap by distance, at most k
  for (std::size_t c = 0; c < list_.size();) {
    if (kept.size() == k_ && list_[c].lower >= kept.front().upper) break;
    const std::size_t last = std::min(c + kExactBatch, list_.size());
    compute(c, last, query, rows);
    for (; c < last; ++c) {
      if (kept.size() < k_) {
        kept.push_back(list_[c]);
        std::push_heap(kept.begin(), kept.end(), farther);
      } else if (list_[c].upper < kept.front().upper) {
        std::pop_heap(kept.begin(), kept.end(), farther);
        kept.back() = list_[c];
        std::push_heap(kept.begin(), kept.end(), farther);
      }
    }
  }
  list_ = std::move(kept);
  uppers_.clear();
  for (const Candidate& c : list_) uppers_.push_back(c.upper);
  std::make_heap(uppers_.begin(), uppers_.end());
}

// Lower bounds of the distance between any row of group `from` and any row of each group, and
// the groups in ascending order of them (ties by group number).
[[nodiscard]] std::vector<std::size_t> groups_by_bound(const GroupPairBounds& bounds,
                                                       std::size_t count, std::size_t from,
                                                       std::vector<double>& bound) {
  bound.resize(count);
  for (std::size_t h = 0; h < count; ++h) bound[h] = bounds(from, h);
  std::vector<std::size_t> order(count);
  for (std::size_t h = 0; h < count; ++h) order[h] = h;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return bound[a] < bound[b] || (bound[a] == bound[b] && a < b);
  });
  return order;
}

// Walks the groups for the rows of one group and returns their core distances in slot order.
class GroupWalk {
 public:
  GroupWalk(std::span<const std::span<const double>> rows, const RowGroups& groups,
            const GroupPairBounds& bounds, std::size_t k)
      : rows_(rows), groups_(groups), bounds_(bounds), k_(k), max_error_(largest_errors(groups)) {}

  void run(std::size_t group, std::vector<double>& core);

 private:
  void scan(std::size_t query_slot, QueryCandidates& state, std::size_t target, double bound);
  const double* row_of(std::size_t slot) const { return rows_[groups_.row_of_slot[slot]].data(); }

  std::span<const std::span<const double>> rows_;
  const RowGroups& groups_;
  const GroupPairBounds& bounds_;
  std::size_t k_;
  std::vector<double> max_error_;  // per group: the largest error bound of its rows
  std::vector<QueryCandidates> states_;
  std::vector<double> bound_;
  std::vector<std::int32_t> squared_;
};

void GroupWalk::run(std::size_t group, std::vector<double>& core) {
  const std::size_t first = groups_.begin[group];
  const std::size_t size = groups_.size(group);
  states_.resize(std::max(states_.size(), size));
  for (std::size_t q = 0; q < size; ++q) states_[q].reset(k_);
  for (const std::size_t target : groups_by_bound(bounds_, groups_.groups(), group, bound_)) {
    double widest = 0.0;
    for (std::size_t q = 0; q < size; ++q) widest = std::max(widest, states_[q].tau());
    if (bound_[target] >= widest) break;
    for (std::size_t q = 0; q < size; ++q) scan(first + q, states_[q], target, bound_[target]);
  }
  for (std::size_t q = 0; q < size; ++q) {
    states_[q].settle(row_of(first + q), rows_);
    core[groups_.row_of_slot[first + q]] = states_[q].tau();
  }
}

void GroupWalk::scan(std::size_t query_slot, QueryCandidates& state, std::size_t target,
                     double bound) {
  if (bound >= state.tau()) return;
  const SketchSet& sketches = groups_.rows;
  const SketchScale& scale = sketches.scale();
  const SketchRef query = sketches.ref(query_slot);
  const std::size_t first = groups_.begin[target];
  const std::size_t count = groups_.size(target);
  squared_.resize(count);
  sketches.squared_distances(query, first, count, squared_.data());
  double skip_above = scale.exceeding_squared(state.tau(), query.error + max_error_[target]);
  for (std::size_t j = 0; j < count; ++j) {
    if (squared_[j] > skip_above) continue;
    const double errors = query.error + sketches.error(first + j);
    const double lower = scale.lower_bound(squared_[j], errors);
    if (lower >= state.tau()) continue;
    state.admit({lower, scale.upper_bound(squared_[j], errors), groups_.row_of_slot[first + j]});
    if (state.full()) {
      state.settle(row_of(query_slot), rows_);
      skip_above = scale.exceeding_squared(state.tau(), query.error + max_error_[target]);
    }
  }
}

}  // namespace

std::vector<double> core_distances(std::span<const std::span<const double>> rows,
                                   const RowGroups& groups, const GroupPairBounds& bounds,
                                   std::size_t min_samples) {
  const std::size_t k = std::min(min_samples, rows.size());
  std::vector<double> core(rows.size(), 0.0);
  if (k <= 1) return core;
  GroupWalk walk(rows, groups, bounds, k);
  for (std::size_t g = 0; g < groups.groups(); ++g) walk.run(g, core);
  return core;
}

}  // namespace quillfen::speakers::hdbscan
