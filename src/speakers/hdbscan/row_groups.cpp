#include "speakers/hdbscan/row_groups.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace quillfen::speakers::hdbscan {
namespace {

constexpr std::size_t kProjected = 32;  // values per coarse projection
constexpr double kBallMargin = 1e-9;
constexpr double kUnderflowMargin = 1e-149;

// Coordinate j of a row, divided by the largest magnitude (so that every value stays finite),
// adds to projected value j % 32 with a fixed pseudo-random sign.
[[nodiscard]] std::vector<float> project_rows(std::span<const std::span<const double>> rows,
                                              double max_abs) {
  const double inverse = max_abs > 0.0 ? 1.0 / max_abs : 1.0;
  const std::size_t dims = rows[0].size();
  std::vector<float> signs(dims);
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  for (float& sign : signs) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    sign = (state >> 63) != 0 ? 1.0f : -1.0f;
  }
  std::vector<float> projected(rows.size() * kProjected, 0.0f);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    float* out = &projected[r * kProjected];
    for (std::size_t j = 0; j < dims; ++j) {
      out[j % kProjected] += signs[j] * static_cast<float>(rows[r][j] * inverse);
    }
  }
  return projected;
}

[[nodiscard]] float squared_gap(const float* a, const float* b) {
  float sum = 0.0f;
  for (std::size_t k = 0; k < kProjected; ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
  return sum;
}

using Projected = std::vector<float>;

[[nodiscard]] const float* point_of(const Projected& projected, std::size_t row) {
  return &projected[row * kProjected];
}

// The member farthest from point.
[[nodiscard]] const float* farthest(const Projected& projected,
                                    std::span<const std::size_t> members, const float* point) {
  const float* best = point_of(projected, members[0]);
  float best_gap = -1.0f;
  for (const std::size_t row : members) {
    const float gap = squared_gap(point_of(projected, row), point);
    if (gap > best_gap) {
      best_gap = gap;
      best = point_of(projected, row);
    }
  }
  return best;
}

void mean_of(const Projected& projected, std::span<const std::size_t> members, float* out) {
  std::fill(out, out + kProjected, 0.0f);
  for (const std::size_t row : members) {
    for (std::size_t k = 0; k < kProjected; ++k) out[k] += point_of(projected, row)[k];
  }
  for (std::size_t k = 0; k < kProjected; ++k) out[k] /= static_cast<float>(members.size());
}

// Two-means split of members: starts from two far-apart rows, a few rounds of assigning each
// row to the nearer centre and moving the centres to the means. Returns the number of rows
// put first (those nearer the first centre).
[[nodiscard]] std::size_t two_means(const Projected& projected, std::span<std::size_t> members) {
  float centres[2][kProjected];
  mean_of(projected, members, centres[0]);
  const float* a = farthest(projected, members, centres[0]);
  const float* b = farthest(projected, members, a);
  std::copy_n(a, kProjected, centres[0]);
  std::copy_n(b, kProjected, centres[1]);
  std::size_t first_count = 0;
  for (int round = 0; round < 4; ++round) {
    const auto nearer_first = [&](std::size_t row) {
      const float* p = point_of(projected, row);
      return squared_gap(p, centres[0]) <= squared_gap(p, centres[1]);
    };
    first_count = static_cast<std::size_t>(
        std::stable_partition(members.begin(), members.end(), nearer_first) - members.begin());
    if (first_count == 0 || first_count == members.size()) break;
    mean_of(projected, members.first(first_count), centres[0]);
    mean_of(projected, members.subspan(first_count), centres[1]);
  }
  return first_count;
}

// Splits members in two non-empty parts and returns the size of the first: by two-means, or
// in the middle when that leaves a side empty (identical rows) or when depth runs deep.
[[nodiscard]] std::size_t split_members(const Projected& projected, std::span<std::size_t> members,
                                        std::size_t depth) {
  constexpr std::size_t kMaxDepth = 48;
  const std::size_t first = depth < kMaxDepth ? two_means(projected, members) : 0;
  if (first == 0 || first == members.size()) return members.size() / 2;
  return first;
}

// Group boundaries of a depth-first recursive split of the listed rows (reordered in place).
void split_rows(const Projected& projected, std::span<std::size_t> rows, std::size_t offset,
                std::size_t capacity, std::vector<std::size_t>& begin) {
  struct Part {
    std::size_t first, last, depth;
  };
  if (rows.empty()) return;
  std::vector<Part> stack{{0, rows.size(), 0}};
  while (!stack.empty()) {
    const Part part = stack.back();
    stack.pop_back();
    if (part.last - part.first <= capacity) {
      begin.push_back(offset + part.first);
      continue;
    }
    const std::span<std::size_t> members = rows.subspan(part.first, part.last - part.first);
    const std::size_t middle = part.first + split_members(projected, members, part.depth);
    stack.push_back({middle, part.last, part.depth + 1});
    stack.push_back({part.first, middle, part.depth + 1});
  }
}

// Moves the rows of each group that lie far out (beyond twice the median distance to the
// group's mean) to the end of order, and returns where they start; the groups shrink in place.
[[nodiscard]] std::size_t extract_outliers(const Projected& projected,
                                           std::vector<std::size_t>& order,
                                           std::vector<std::size_t>& begin) {
  std::vector<std::size_t> kept;
  std::vector<std::size_t> outliers;
  std::vector<std::size_t> new_begin;
  std::vector<float> gaps;
  float mean[kProjected];
  for (std::size_t g = 0; g + 1 < begin.size(); ++g) {
    const std::span<const std::size_t> members(&order[begin[g]], begin[g + 1] - begin[g]);
    mean_of(projected, members, mean);
    gaps.clear();
    for (const std::size_t row : members)
      gaps.push_back(squared_gap(point_of(projected, row), mean));
    std::vector<float> sorted = gaps;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const float limit = 4.0f * sorted[sorted.size() / 2];  // squared: twice the distance
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

// Group boundaries and slot order of all rows: groups by recursive two-means splits; the rows
// far out in their groups are grouped again among themselves.
[[nodiscard]] std::vector<std::size_t> group_order(std::span<const std::span<const double>> rows,
                                                   double max_abs, std::size_t capacity,
                                                   std::vector<std::size_t>& order) {
  const Projected projected = project_rows(rows, max_abs);
  order.resize(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) order[r] = r;
  std::vector<std::size_t> begin;
  split_rows(projected, order, 0, capacity, begin);
  begin.push_back(rows.size());
  const std::size_t outliers = extract_outliers(projected, order, begin);
  split_rows(projected, std::span<std::size_t>(order).subspan(outliers), outliers, capacity, begin);
  begin.push_back(rows.size());
  return begin;
}

// Centre (mean, 64-bit) and radius (largest computed distance to a member, +inf when one is
// not a number) of one group.
[[nodiscard]] double centre_and_radius(std::span<const std::span<const double>> rows,
                                       std::span<const std::size_t> members,
                                       std::vector<double>& centre) {
  const std::size_t dims = rows[0].size();
  centre.assign(dims, 0.0);
  for (const std::size_t r : members) {
    for (std::size_t j = 0; j < dims; ++j) centre[j] += rows[r][j];
  }
  for (double& v : centre) v /= static_cast<double>(members.size());
  double radius = 0.0;
  for (const std::size_t r : members) {
    const double d = euclidean_distance(centre, rows[r]);
    if (std::isnan(d)) return std::numeric_limits<double>::infinity();
    radius = std::max(radius, d);
  }
  return radius;
}

}  // namespace

RowGroups group_rows(std::span<const std::span<const double>> rows, std::size_t capacity) {
  RowGroups g;
  const std::size_t n = rows.size();
  const std::size_t dims = rows[0].size();
  double max_abs = 0.0;
  for (const auto row : rows) {
    for (const double v : row) max_abs = std::max(max_abs, std::fabs(v));
  }
  g.begin = group_order(rows, max_abs, std::max<std::size_t>(capacity, 1), g.row_of_slot);
  const SketchScale scale = SketchScale::for_rows(max_abs, dims);
  g.rows = SketchSet(scale, dims, n);
  for (std::size_t s = 0; s < n; ++s) g.rows.set(s, rows[g.row_of_slot[s]].data());
  const std::size_t groups = g.begin.size() - 1;
  g.centres = SketchSet(scale, dims, groups);
  g.radius.resize(groups);
  std::vector<double> centre;
  for (std::size_t k = 0; k < groups; ++k) {
    const std::span<const std::size_t> members(&g.row_of_slot[g.begin[k]], g.size(k));
    g.radius[k] = centre_and_radius(rows, members, centre);
    g.centres.set(k, centre.data());
  }
  return g;
}

std::vector<double> largest_errors(const RowGroups& groups) {
  std::vector<double> largest(groups.groups(), 0.0);
  for (std::size_t g = 0; g < groups.groups(); ++g) {
    for (std::size_t s = groups.begin[g]; s < groups.begin[g + 1]; ++s) {
      largest[g] = std::max(largest[g], groups.rows.error(s));
    }
  }
  return largest;
}

double ball_lower_bound(double centre_lower_bound, double radius) {
  const double bound = (centre_lower_bound * (1.0 - kBallMargin) - radius * (1.0 + kBallMargin)) *
                           (1.0 - kBallMargin) -
                       kUnderflowMargin;
  return bound > 0.0 ? bound : 0.0;
}

}  // namespace quillfen::speakers::hdbscan
