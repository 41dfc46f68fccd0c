#include "speakers/hdbscan/row_store.h"

#include <algorithm>
#include <cstring>

namespace quillfen::speakers::hdbscan {

RowStore::RowStore(std::span<const std::span<const double>> rows)
    : is_float_(false), dims_(rows.empty() ? 0 : rows[0].size()) {
  double_rows_.reserve(rows.size());
  for (const auto row : rows) double_rows_.push_back(row.data());
}

RowStore::RowStore(float* values, std::size_t rows, std::size_t dims)
    : is_float_(true), dims_(dims), floats_(values) {
  float_rows_.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) float_rows_.push_back(values + r * dims);
}

void RowStore::reorder(const std::vector<std::size_t>& order) {
  const std::size_t n = order.size();
  if (!is_float_) {
    std::vector<const double*> rows(n);
    for (std::size_t s = 0; s < n; ++s) rows[s] = double_rows_[order[s]];
    double_rows_ = std::move(rows);
    return;
  }
  // Cycles of the permutation: position s takes the row at order[s].
  std::vector<bool> placed(n, false);
  std::vector<float> held(dims_);
  const std::size_t bytes = dims_ * sizeof(float);
  for (std::size_t start = 0; start < n; ++start) {
    if (placed[start] || order[start] == start) continue;
    std::memcpy(held.data(), floats_ + start * dims_, bytes);
    std::size_t s = start;
    while (order[s] != start) {
      std::memcpy(floats_ + s * dims_, floats_ + order[s] * dims_, bytes);
      placed[s] = true;
      s = order[s];
    }
    std::memcpy(floats_ + s * dims_, held.data(), bytes);
    placed[s] = true;
  }
}

void RowStore::distances(SimdLevel level, const std::uint32_t* a, const std::uint32_t* b,
                         std::size_t count, double* out) const {
  constexpr std::size_t kChunk = 64;
  visit([&](const auto& rows) {
    using Row = std::remove_cvref_t<decltype(rows[0])>;
    Row left[kChunk];
    Row right[kChunk];
    for (std::size_t begin = 0; begin < count; begin += kChunk) {
      const std::size_t m = std::min(kChunk, count - begin);
      for (std::size_t i = 0; i < m; ++i) {
        left[i] = rows[a[begin + i]];
        right[i] = rows[b[begin + i]];
      }
      euclidean_distances_at(level, left, right, m, dims_, out + begin);
    }
  });
}

void RowStore::floors(SimdLevel level, const std::uint32_t* a, const std::uint32_t* b,
                      std::size_t count, double* out) const {
  if (!is_float_) {
    std::fill_n(out, count, 0.0);
    return;
  }
  constexpr std::size_t kChunk = 64;
  const float* left[kChunk];
  const float* right[kChunk];
  float squared[kChunk];
  for (std::size_t begin = 0; begin < count; begin += kChunk) {
    const std::size_t m = std::min(kChunk, count - begin);
    for (std::size_t i = 0; i < m; ++i) {
      left[i] = float_rows_[a[begin + i]];
      right[i] = float_rows_[b[begin + i]];
    }
    squared_differences_at(level, left, right, m, dims_, squared);
    for (std::size_t i = 0; i < m; ++i) out[begin + i] = distance_floor(squared[i], dims_);
  }
}

}  // namespace quillfen::speakers::hdbscan
