#include "speakers/diarization_reference.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillfen::speakers::diarization::reference {
namespace {

double dot(std::span<const double> x, std::size_t cols, std::size_t i, std::size_t j) {
  double s = -0.0;
  for (std::size_t k = 0; k < cols; ++k) {
    s += x[i * cols + k] * x[j * cols + k];
  }
  return s;
}

std::size_t clamp_k(std::size_t rows, std::size_t k) {
  return std::max<std::size_t>(1, std::min(std::max<std::size_t>(rows, 2) - 1, k));
}

}  // namespace

std::vector<double> normalize_rows(std::span<const float> values, std::size_t rows,
                                   std::size_t cols) {
  std::vector<double> out(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    double squares = -0.0;
    for (std::size_t c = 0; c < cols; ++c) {
      squares +=
          static_cast<double>(values[r * cols + c]) * static_cast<double>(values[r * cols + c]);
    }
    const double norm = std::sqrt(squares);
    const double divisor = norm > 1e-9 ? norm : 1.0;
    for (std::size_t c = 0; c < cols; ++c) {
      out[r * cols + c] = static_cast<double>(values[r * cols + c]) / divisor;
    }
  }
  return out;
}

std::vector<Merge> average_linkage(std::span<const double> unit_rows, std::size_t n,
                                   std::size_t cols) {
  std::vector<Merge> merges;
  if (n < 2) {
    return merges;
  }
  const std::size_t ids = 2 * n - 1;
  std::vector<double> table(ids * ids, std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      table[i * ids + j] =
          i == j ? 0.0 : 1.0 - dot(unit_rows, cols, std::min(i, j), std::max(i, j));
    }
  }
  std::vector<bool> active(ids, false);
  std::vector<std::size_t> size(ids, 0);
  for (std::size_t i = 0; i < n; ++i) {
    active[i] = true;
    size[i] = 1;
  }
  for (std::size_t m = 0; m + 1 < n; ++m) {
    bool found = false;
    std::size_t best_a = 0;
    std::size_t best_b = 0;
    double best = 0.0;
    for (std::size_t a = 0; a < ids; ++a) {
      for (std::size_t b = a + 1; b < ids; ++b) {
        if (!active[a] || !active[b]) {
          continue;
        }
        const double d = table[a * ids + b];
        if (!found || d < best || (std::isnan(best) && !std::isnan(d))) {
          found = true;
          best = d;
          best_a = a;
          best_b = b;
        }
      }
    }
    const std::size_t c = n + m;
    active[best_a] = false;
    active[best_b] = false;
    active[c] = true;
    size[c] = size[best_a] + size[best_b];
    for (std::size_t x = 0; x < c; ++x) {
      if (active[x]) {
        const double pa = table[best_a * ids + x] * static_cast<double>(size[best_a]);
        const double pb = table[best_b * ids + x] * static_cast<double>(size[best_b]);
        const double d = (pa + pb) / static_cast<double>(size[c]);
        table[c * ids + x] = d;
        table[x * ids + c] = d;
      }
    }
    merges.push_back(Merge{best_a, best_b, best, size[c]});
  }
  return merges;
}

std::vector<std::size_t> cut_tree_canonical_labels(std::span<const Merge> merges, std::size_t n,
                                                   std::size_t k) {
  std::vector<std::vector<std::size_t>> members(2 * n);
  std::vector<bool> present(2 * n, false);
  for (std::size_t i = 0; i < n; ++i) {
    members[i] = {i};
    present[i] = true;
  }
  for (std::size_t m = 0; m < n - k; ++m) {
    const Merge& merge = merges[m];
    auto& joined = members[n + m];
    joined = members[merge.left];
    joined.insert(joined.end(), members[merge.right].begin(), members[merge.right].end());
    std::ranges::sort(joined);
    present[merge.left] = false;
    present[merge.right] = false;
    present[n + m] = true;
  }
  std::vector<std::size_t> clusters;
  for (std::size_t id = 0; id < 2 * n; ++id) {
    if (present[id]) {
      clusters.push_back(id);
    }
  }
  std::ranges::stable_sort(clusters, {}, [&](std::size_t id) { return members[id].front(); });
  std::vector<std::size_t> labels(n);
  for (std::size_t number = 0; number < clusters.size(); ++number) {
    for (const std::size_t row : members[clusters[number]]) {
      labels[row] = number;
    }
  }
  return labels;
}

std::vector<std::size_t> agglomerative_labels(std::span<const double> unit_rows, std::size_t n,
                                              std::size_t cols, std::size_t k) {
  const std::size_t kk = clamp_k(n, k);
  if (kk < 2) {
    return std::vector<std::size_t>(n, 0);
  }
  return reference::cut_tree_canonical_labels(reference::average_linkage(unit_rows, n, cols), n,
                                              kk);
}

double silhouette_score(std::span<const double> unit_rows, std::size_t n, std::size_t cols,
                        std::span<const std::size_t> labels) {
  if (labels.size() != n) {
    return -1.0;
  }
  std::vector<std::size_t> distinct(labels.begin(), labels.end());
  std::ranges::sort(distinct);
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  if (distinct.size() < 2 || distinct.size() >= n) {
    return -1.0;
  }
  auto dist = [&](std::size_t i, std::size_t j) {
    return std::fmax(0.0, 1.0 - dot(unit_rows, cols, std::min(i, j), std::max(i, j)));
  };
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t cnt = 0;
    double own = -0.0;
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i && labels[j] == labels[i]) {
        own += dist(i, j);
        ++cnt;
      }
    }
    if (cnt == 0) {
      total += 0.0;
      continue;
    }
    const double a = own / static_cast<double>(cnt);
    double b = std::numeric_limits<double>::infinity();
    for (const std::size_t label : distinct) {
      if (label == labels[i]) {
        continue;
      }
      double sum = 0.0;
      std::size_t count = 0;
      for (std::size_t j = 0; j < n; ++j) {
        if (labels[j] == label) {
          sum += dist(i, j);
          ++count;
        }
      }
      b = std::fmin(b, sum / static_cast<double>(count));
    }
    const double larger = std::max(a, b);
    total += larger > 0.0 ? (b - a) / larger : 0.0;
  }
  return total / static_cast<double>(n);
}

DiarizationClustering cluster_embeddings(std::span<const float> values, std::size_t n,
                                         std::size_t cols, std::optional<std::size_t> k_override) {
  DiarizationClustering result;
  if (n == 0) {
    return result;
  }
  const std::vector<double> unit = normalize_rows(values, n, cols);
  std::size_t k = 1;
  if (k_override) {
    k = *k_override;
  } else if (n < 3) {
    result.silhouette_k = 1;
  } else {
    double best_score = -1.0;
    for (std::size_t c = 2; c <= std::min<std::size_t>(n - 1, 8); ++c) {
      double score = reference::silhouette_score(unit, n, cols,
                                                 reference::agglomerative_labels(unit, n, cols, c));
      if (!std::isfinite(score)) {
        score = -1.0;
      }
      if (score > best_score + 0.03) {
        best_score = score;
        k = c;
      }
    }
    result.silhouette_k = k;
  }
  result.effective_k = clamp_k(n, k);
  result.labels = *result.effective_k < 2
                      ? std::vector<std::size_t>(n, 0)
                      : reference::agglomerative_labels(unit, n, cols, *result.effective_k);
  return result;
}

}  // namespace quillfen::speakers::diarization::reference
