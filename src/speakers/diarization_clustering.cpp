// Average-linkage clustering of embeddings with a silhouette-chosen cluster count.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "speakers/diarization.h"

namespace quillfen::speakers::diarization {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Strict order of linkage distances: numbers by value (-0.0 equal to 0.0), NaN after every
// number, NaNs equal to each other.
bool closer(double lhs, double rhs) { return lhs < rhs || (std::isnan(rhs) && !std::isnan(lhs)); }

// Row-major n x n matrix of 1 - dot(x_i, x_j), each dot summed in column order from -0.0;
// zero diagonal. Four dots run side by side, each keeping its own order of summation.
std::vector<double> cosine_distances(std::span<const double> unit_rows, std::size_t n,
                                     std::size_t cols) {
  std::vector<double> d(n * n, 0.0);
  const double* x = unit_rows.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double* xi = x + i * cols;
    std::size_t j = i + 1;
    for (; j + 4 <= n; j += 4) {
      const double* x0 = x + j * cols;
      const double* x1 = x0 + cols;
      const double* x2 = x1 + cols;
      const double* x3 = x2 + cols;
      double s0 = -0.0;
      double s1 = -0.0;
      double s2 = -0.0;
      double s3 = -0.0;
      for (std::size_t k = 0; k < cols; ++k) {
        const double v = xi[k];
        s0 += v * x0[k];
        s1 += v * x1[k];
        s2 += v * x2[k];
        s3 += v * x3[k];
      }
      const double sums[4] = {s0, s1, s2, s3};
      for (std::size_t q = 0; q < 4; ++q) {
        const double dist = 1.0 - sums[q];
        d[i * n + j + q] = dist;
        d[(j + q) * n + i] = dist;
      }
    }
    for (; j < n; ++j) {
      const double* xj = x + j * cols;
      double s = -0.0;
      for (std::size_t k = 0; k < cols; ++k) {
        s += xi[k] * xj[k];
      }
      d[i * n + j] = 1.0 - s;
      d[j * n + i] = 1.0 - s;
    }
  }
  return d;
}

// Average-linkage merges over the n x n distance table d (n >= 2, consumed as working
// storage).
//
// Equivalent to scanning every active pair (a < b) in id order for each merge, but the new
// cluster reuses the table slot of its left member, so the table stays n x n; ids map to slots
// and the active ids are kept in increasing order (a new id is always the largest). Each active
// id x caches its nearest larger active id nn[x] under the order (distance, id), so the global
// choice is the first x in id order with the smallest cached distance -- the same pair the full
// scan finds, ties included.
class AverageLinkage {
 public:
  AverageLinkage(std::vector<double> d, std::size_t n)
      : d_(std::move(d)),
        n_(n),
        slot_(2 * n - 1, kNone),
        size_(2 * n - 1, 0),
        nn_(2 * n - 1, kNone),
        nn_dist_(2 * n - 1, 0.0),
        active_(n) {
    for (std::size_t i = 0; i < n; ++i) {
      slot_[i] = i;
      size_[i] = 1;
      active_[i] = i;
    }
    for (std::size_t pos = 0; pos < n; ++pos) {
      rescan(pos);
    }
  }

  // The n - 1 merges in order; merge m makes cluster n + m.
  std::vector<Merge> merges() && {
    std::vector<Merge> merges;
    merges.reserve(n_ - 1);
    for (std::size_t m = 0; m + 1 < n_; ++m) {
      merges.push_back(merge_closest_pair(n_ + m));
    }
    return merges;
  }

 private:
  // Recomputes the cached nearest larger active id of the id at active_[pos].
  void rescan(std::size_t pos) {
    const std::size_t x = active_[pos];
    const double* row = d_.data() + slot_[x] * n_;
    nn_[x] = kNone;
    for (std::size_t q = pos + 1; q < active_.size(); ++q) {
      const std::size_t y = active_[q];
      offer(x, y, row[slot_[y]]);
    }
  }

  // Makes y the cached neighbour of x when it is strictly closer than the cached one.
  void offer(std::size_t x, std::size_t y, double dist) {
    if (nn_[x] == kNone || closer(dist, nn_dist_[x])) {
      nn_[x] = y;
      nn_dist_[x] = dist;
    }
  }

  // The first active id, in id order, whose cached pair is the closest.
  std::size_t closest_left_id() const {
    std::size_t a = kNone;
    for (const std::size_t x : active_) {
      if (nn_[x] != kNone && (a == kNone || closer(nn_dist_[x], nn_dist_[a]))) {
        a = x;
      }
    }
    return a;
  }

  Merge merge_closest_pair(std::size_t c) {
    const std::size_t a = closest_left_id();
    const std::size_t b = nn_[a];
    const Merge merge{a, b, nn_dist_[a], size_[a] + size_[b]};
    join(a, b, c);
    refresh_neighbours(a, b, c);
    return merge;
  }

  // Replaces a and b by c, which takes a's slot; c's distance to every other active cluster is
  // the size-weighted mean of a's and b's, (d_a * |a| + d_b * |b|) / |c|.
  void join(std::size_t a, std::size_t b, std::size_t c) {
    const double wa = static_cast<double>(size_[a]);
    const double wb = static_cast<double>(size_[b]);
    const double wc = static_cast<double>(size_[a] + size_[b]);
    const std::size_t sa = slot_[a];
    const std::size_t sb = slot_[b];
    slot_[c] = sa;
    size_[c] = size_[a] + size_[b];
    active_.erase(std::lower_bound(active_.begin(), active_.end(), b));
    active_.erase(std::lower_bound(active_.begin(), active_.end(), a));

    double* row_c = d_.data() + sa * n_;
    const double* row_b = d_.data() + sb * n_;
    for (const std::size_t x : active_) {
      const std::size_t sx = slot_[x];
      const double from_a = row_c[sx] * wa;
      const double from_b = row_b[sx] * wb;
      const double dist = (from_a + from_b) / wc;
      row_c[sx] = dist;
      d_[sx * n_ + sa] = dist;
    }
    active_.push_back(c);
  }

  // Ids whose cached neighbour was a or b scan again; every other id only compares c, the
  // largest id, with its cached neighbour.
  void refresh_neighbours(std::size_t a, std::size_t b, std::size_t c) {
    const double* row_c = d_.data() + slot_[c] * n_;
    for (std::size_t pos = 0; pos + 1 < active_.size(); ++pos) {
      const std::size_t x = active_[pos];
      if (nn_[x] == a || nn_[x] == b) {
        rescan(pos);
      } else {
        offer(x, c, row_c[slot_[x]]);
      }
    }
  }

  std::vector<double> d_;
  std::size_t n_;
  std::vector<std::size_t> slot_;
  std::vector<std::size_t> size_;
  std::vector<std::size_t> nn_;
  std::vector<double> nn_dist_;
  std::vector<std::size_t> active_;
};

std::vector<Merge> linkage_from_distances(std::vector<double> d, std::size_t n) {
  if (n < 2) {
    return {};
  }
  return AverageLinkage(std::move(d), n).merges();
}

// Replaces every distance by max(0, distance); NaN becomes 0.
void clamp_distances(std::vector<double>& d) {
  for (double& v : d) {
    v = std::fmax(0.0, v);
  }
}

// Mean silhouette over the clamped distance table d (n x n).
double silhouette_from_distances(std::span<const double> d, std::size_t n,
                                 std::span<const std::size_t> labels) {
  if (labels.size() != n) {
    return kBaselineSilhouette;
  }
  std::vector<std::size_t> distinct(labels.begin(), labels.end());
  std::ranges::sort(distinct);
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  if (distinct.size() < 2 || distinct.size() >= n) {
    return kBaselineSilhouette;
  }
  const std::size_t groups = distinct.size();
  std::vector<std::size_t> group(n);
  std::vector<std::size_t> count(groups, 0);
  for (std::size_t i = 0; i < n; ++i) {
    group[i] =
        static_cast<std::size_t>(std::ranges::lower_bound(distinct, labels[i]) - distinct.begin());
    ++count[group[i]];
  }
  std::vector<double> sums(groups);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t own = group[i];
    const std::size_t others_in_own = count[own] - 1;
    if (others_in_own == 0) {
      total += 0.0;
      continue;
    }
    std::ranges::fill(sums, 0.0);
    sums[own] = -0.0;
    const double* row = d.data() + i * n;
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i) {
        sums[group[j]] += row[j];
      }
    }
    const double a = sums[own] / static_cast<double>(others_in_own);
    double b = std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g < groups; ++g) {
      if (g != own) {
        const double mean = sums[g] / static_cast<double>(count[g]);
        if (mean < b) {
          b = mean;
        }
      }
    }
    const double larger = std::max(a, b);
    total += larger > 0.0 ? (b - a) / larger : 0.0;
  }
  return total / static_cast<double>(n);
}

std::size_t clamp_cluster_count(std::size_t rows, std::size_t k) {
  return std::max<std::size_t>(1, std::min(std::max<std::size_t>(rows, 2) - 1, k));
}

}  // namespace

std::expected<std::vector<double>, DiarizationError> normalize_embedding_rows(
    std::span<const float> values, std::size_t rows, std::size_t cols) {
  std::size_t total = 0;
  if (__builtin_mul_overflow(rows, cols, &total)) {
    return std::unexpected(DiarizationError::matrix_shape_overflow(rows, cols));
  }
  if (values.size() != total) {
    return std::unexpected(DiarizationError::embedding_length_mismatch(rows, cols, values.size()));
  }
  std::vector<double> out(total);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const float> row = values.subspan(r * cols, cols);
    double squares = -0.0;
    for (const float v : row) {
      const double x = v;
      squares += x * x;
    }
    const double norm = std::sqrt(squares);
    const double divisor = norm > kNormalizationFloor ? norm : 1.0;
    for (std::size_t c = 0; c < cols; ++c) {
      out[r * cols + c] = static_cast<double>(row[c]) / divisor;
    }
  }
  return out;
}

std::vector<Merge> average_linkage(std::span<const double> unit_rows, std::size_t rows,
                                   std::size_t cols) {
  return linkage_from_distances(cosine_distances(unit_rows, rows, cols), rows);
}

std::vector<std::size_t> cut_tree_canonical_labels(std::span<const Merge> merges, std::size_t rows,
                                                   std::size_t k) {
  const std::size_t replay = std::min(k >= rows ? 0 : rows - k, merges.size());
  // parent[id] is the cluster that absorbed id within the replayed merges (itself if none).
  std::vector<std::size_t> parent(rows + replay);
  for (std::size_t id = 0; id < parent.size(); ++id) {
    parent[id] = id;
  }
  for (std::size_t m = 0; m < replay; ++m) {
    parent[merges[m].left] = rows + m;
    parent[merges[m].right] = rows + m;
  }
  auto root_of = [&](std::size_t id) {
    std::size_t root = id;
    while (parent[root] != root) {
      root = parent[root];
    }
    while (parent[id] != root) {
      id = std::exchange(parent[id], root);
    }
    return root;
  };
  // Numbering clusters in the order their first row appears is numbering them by smallest row.
  std::vector<std::size_t> number(parent.size(), kNone);
  std::vector<std::size_t> labels(rows);
  std::size_t next = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t root = root_of(r);
    if (number[root] == kNone) {
      number[root] = next++;
    }
    labels[r] = number[root];
  }
  return labels;
}

std::vector<std::size_t> agglomerative_labels(std::span<const double> unit_rows, std::size_t rows,
                                              std::size_t cols, std::size_t k) {
  const std::size_t clusters = clamp_cluster_count(rows, k);
  if (clusters < 2) {
    return std::vector<std::size_t>(rows, 0);
  }
  return cut_tree_canonical_labels(average_linkage(unit_rows, rows, cols), rows, clusters);
}

double silhouette_score(std::span<const double> unit_rows, std::size_t rows, std::size_t cols,
                        std::span<const std::size_t> labels) {
  if (labels.size() != rows) {
    return kBaselineSilhouette;
  }
  std::vector<double> distances = cosine_distances(unit_rows, rows, cols);
  clamp_distances(distances);
  return silhouette_from_distances(distances, rows, labels);
}

std::size_t select_silhouette_k(std::span<const double> scores) {
  std::size_t best = 1;
  double best_score = kBaselineSilhouette;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const double score = std::isfinite(scores[i]) ? scores[i] : kBaselineSilhouette;
    if (score > best_score + kSilhouetteMargin) {
      best = i + 2;
      best_score = score;
    }
  }
  return best;
}

std::expected<DiarizationClustering, DiarizationError> cluster_embeddings(
    std::span<const float> values, std::size_t rows, std::size_t cols,
    std::optional<std::size_t> k_override) {
  auto unit_rows = normalize_embedding_rows(values, rows, cols);
  if (!unit_rows) {
    return std::unexpected(unit_rows.error());
  }
  DiarizationClustering result;
  if (rows == 0) {
    return result;
  }

  const bool search = !k_override && rows >= 3;
  std::size_t k = 1;
  if (k_override) {
    k = *k_override;
  } else if (!search) {
    result.silhouette_k = 1;
  }
  if (!search && clamp_cluster_count(rows, k) < 2) {
    result.effective_k = 1;
    result.labels.assign(rows, 0);
    return result;
  }

  // One dendrogram serves every cut: a cut into k clusters depends only on its first rows - k
  // merges. The linkage works on a copy of the unclamped distances; the silhouettes then read
  // the same table clamped at 0.
  std::vector<double> distances = cosine_distances(*unit_rows, rows, cols);
  const std::vector<Merge> merges = linkage_from_distances(distances, rows);
  if (search) {
    clamp_distances(distances);
    const std::size_t k_max = std::min(rows - 1, kMaxSearchedClusters);
    std::vector<double> scores;
    for (std::size_t c = 2; c <= k_max; ++c) {
      scores.push_back(
          silhouette_from_distances(distances, rows, cut_tree_canonical_labels(merges, rows, c)));
    }
    k = select_silhouette_k(scores);
    result.silhouette_k = k;
  }
  result.effective_k = clamp_cluster_count(rows, k);
  result.labels = *result.effective_k < 2
                      ? std::vector<std::size_t>(rows, 0)
                      : cut_tree_canonical_labels(merges, rows, *result.effective_k);
  return result;
}

}  // namespace quillfen::speakers::diarization
