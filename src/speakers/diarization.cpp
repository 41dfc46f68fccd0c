#include "speakers/diarization.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "speakers/segmentation.h"

namespace quillfen::speakers::diarization {

DiarizationError DiarizationError::frame_matrix_length_mismatch(std::size_t len,
                                                                std::size_t num_classes) {
  DiarizationError e;
  e.kind = Kind::FrameMatrixLengthMismatch;
  e.len = len;
  e.num_classes = num_classes;
  return e;
}

DiarizationError DiarizationError::matrix_shape_overflow(std::size_t rows, std::size_t cols) {
  DiarizationError e;
  e.kind = Kind::MatrixShapeOverflow;
  e.rows = rows;
  e.cols = cols;
  return e;
}

DiarizationError DiarizationError::embedding_length_mismatch(std::size_t rows, std::size_t cols,
                                                             std::size_t len) {
  DiarizationError e;
  e.kind = Kind::EmbeddingLengthMismatch;
  e.rows = rows;
  e.cols = cols;
  e.len = len;
  return e;
}

DiarizationError DiarizationError::label_length_mismatch(std::size_t intervals,
                                                         std::size_t labels) {
  DiarizationError e;
  e.kind = Kind::LabelLengthMismatch;
  e.intervals = intervals;
  e.labels = labels;
  return e;
}

std::string DiarizationError::to_string() const {
  switch (kind) {
    case Kind::FrameMatrixLengthMismatch:
      return "frame log-prob matrix length mismatch: len=" + std::to_string(len) +
             " num_classes=" + std::to_string(num_classes);
    case Kind::MatrixShapeOverflow:
      return "row-major matrix shape overflow: rows=" + std::to_string(rows) +
             " cols=" + std::to_string(cols);
    case Kind::EmbeddingLengthMismatch:
      return "embedding matrix length mismatch: rows=" + std::to_string(rows) +
             " cols=" + std::to_string(cols) + " len=" + std::to_string(len);
    case Kind::LabelLengthMismatch:
      return "sentence assignment label length mismatch: intervals=" + std::to_string(intervals) +
             " labels=" + std::to_string(labels);
  }
  return {};
}

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// ---------------------------------------------------------------------------------------------
// Intervals

// Softmax probability of class c in 64-bit floats, shifted by the largest non-NaN score.
double class_probability(std::span<const float> scores, std::size_t c) {
  double m = -std::numeric_limits<double>::infinity();
  for (const float s : scores) {
    const double x = s;
    if (x > m) {
      m = x;
    }
  }
  double sum = 0.0;
  for (const float s : scores) {
    sum += std::exp(static_cast<double>(s) - m);
  }
  return std::exp(static_cast<double>(scores[c]) - m) / sum;
}

double frame_time_s(std::size_t frame) {
  return static_cast<double>(frame) * kFrameStepSamples / kSampleRateHz;
}

// ---------------------------------------------------------------------------------------------
// Clustering

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

// Average-linkage merges over the n x n distance table d (consumed as working storage).
//
// Equivalent to scanning every active pair (a < b) in id order for each merge, but the new
// cluster reuses the table slot of its left member, so the table stays n x n; ids map to slots
// and the active ids are kept in increasing order (a new id is always the largest). Each active
// id x caches its nearest larger active id nn[x] under the order (distance, id), so the global
// choice is the first x in id order with the smallest cached distance -- the same pair the full
// scan finds, ties included.
std::vector<Merge> linkage_from_distances(std::vector<double> d, std::size_t n) {
  std::vector<Merge> merges;
  if (n < 2) {
    return merges;
  }
  merges.reserve(n - 1);
  const std::size_t ids = 2 * n - 1;
  std::vector<std::size_t> slot(ids, kNone);
  std::vector<std::size_t> size(ids, 0);
  std::vector<std::size_t> nn(ids, kNone);
  std::vector<double> nn_dist(ids, 0.0);
  std::vector<std::size_t> active(n);
  for (std::size_t i = 0; i < n; ++i) {
    slot[i] = i;
    size[i] = 1;
    active[i] = i;
  }
  auto rescan = [&](std::size_t pos) {
    const std::size_t x = active[pos];
    const double* row = d.data() + slot[x] * n;
    nn[x] = kNone;
    for (std::size_t q = pos + 1; q < active.size(); ++q) {
      const std::size_t y = active[q];
      const double dist = row[slot[y]];
      if (nn[x] == kNone || closer(dist, nn_dist[x])) {
        nn[x] = y;
        nn_dist[x] = dist;
      }
    }
  };
  for (std::size_t pos = 0; pos < n; ++pos) {
    rescan(pos);
  }

  for (std::size_t m = 0; m + 1 < n; ++m) {
    std::size_t a = kNone;
    for (const std::size_t x : active) {
      if (nn[x] != kNone && (a == kNone || closer(nn_dist[x], nn_dist[a]))) {
        a = x;
      }
    }
    const std::size_t b = nn[a];
    const double merged_at = nn_dist[a];
    const std::size_t c = n + m;
    const std::size_t sc = size[a] + size[b];
    const double wa = static_cast<double>(size[a]);
    const double wb = static_cast<double>(size[b]);
    const double wc = static_cast<double>(sc);
    const std::size_t sa = slot[a];
    const std::size_t sb = slot[b];
    slot[c] = sa;
    size[c] = sc;
    active.erase(std::lower_bound(active.begin(), active.end(), b));
    active.erase(std::lower_bound(active.begin(), active.end(), a));

    double* row_c = d.data() + sa * n;
    const double* row_b = d.data() + sb * n;
    for (const std::size_t x : active) {
      const std::size_t sx = slot[x];
      const double from_a = row_c[sx] * wa;
      const double from_b = row_b[sx] * wb;
      const double dist = (from_a + from_b) / wc;
      row_c[sx] = dist;
      d[sx * n + sa] = dist;
    }
    active.push_back(c);

    for (std::size_t pos = 0; pos + 1 < active.size(); ++pos) {
      const std::size_t x = active[pos];
      if (nn[x] == a || nn[x] == b) {
        rescan(pos);
      } else {
        const double dist = row_c[slot[x]];
        if (nn[x] == kNone || closer(dist, nn_dist[x])) {
          nn[x] = c;
          nn_dist[x] = dist;
        }
      }
    }
    merges.push_back(Merge{a, b, merged_at, sc});
  }
  return merges;
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

std::vector<SpeakerInterval> find_intervals(std::span<const float> scores, std::size_t num_classes,
                                            std::uint64_t total_samples) {
  std::vector<SpeakerInterval> intervals;
  if (num_classes == 0 || num_classes > scores.size()) {
    return intervals;
  }
  const std::size_t frames = scores.size() / num_classes;
  const double duration_s = static_cast<double>(total_samples) / kSampleRateHz;

  std::size_t run_start = 0;
  std::size_t run_class = 0;  // 0: no open run
  auto close_run = [&](std::size_t end_frame) {
    const double start_s = frame_time_s(run_start);
    const double end_s = std::fmin(frame_time_s(end_frame), duration_s);
    if (end_s - start_s >= kMinIntervalSeconds) {
      intervals.push_back(SpeakerInterval{start_s, end_s, static_cast<std::uint8_t>(run_class)});
    }
    run_class = 0;
  };

  for (std::size_t t = 0; t < frames; ++t) {
    const std::span<const float> row = scores.subspan(t * num_classes, num_classes);
    const std::size_t c = most_likely_class(row);
    const bool active = c >= 1 && c <= 3 && class_probability(row, c) >= kActivityThreshold;
    if (run_class != 0 && (!active || c != run_class)) {
      close_run(t);
    }
    if (active && run_class == 0) {
      run_start = t;
      run_class = c;
    }
  }
  if (run_class != 0) {
    close_run(frames);
  }
  return intervals;
}

std::expected<std::vector<std::optional<std::size_t>>, DiarizationError> assign_sentences(
    std::span<const StatementTimes> sentences, std::span<const SpeakerInterval> intervals,
    std::span<const std::size_t> labels) {
  if (intervals.size() != labels.size()) {
    return std::unexpected(
        DiarizationError::label_length_mismatch(intervals.size(), labels.size()));
  }
  std::vector<std::optional<std::size_t>> out;
  out.reserve(sentences.size());
  for (const StatementTimes& sentence : sentences) {
    std::optional<std::size_t> label;
    if (sentence.start_s && sentence.end_s && std::isfinite(*sentence.start_s) &&
        std::isfinite(*sentence.end_s) && *sentence.end_s > *sentence.start_s) {
      const double start_s = *sentence.start_s;
      const double end_s = *sentence.end_s;
      double best = 0.0;
      for (std::size_t i = 0; i < intervals.size(); ++i) {
        const double overlap = std::max(
            0.0, std::min(end_s, intervals[i].end_s) - std::max(start_s, intervals[i].start_s));
        if (overlap > best) {
          best = overlap;
          label = labels[i] + 1;
        }
      }
    }
    out.push_back(label);
  }
  return out;
}

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
