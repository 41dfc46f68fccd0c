// Embedding rows for the discovery tests and fuzz targets.
#pragma once

#include <cmath>
#include <vector>

namespace quillfen::testing {

// Each row scaled to unit length in 64-bit, then stored as 32-bit floats, row-major.
inline std::vector<float> unit_rows(const std::vector<std::vector<double>>& rows) {
  std::vector<float> values;
  for (const auto& row : rows) {
    double sum = 0.0;
    for (double v : row) sum += v * v;
    for (double v : row) values.push_back(static_cast<float>(v / std::sqrt(sum)));
  }
  return values;
}

}  // namespace quillfen::testing
