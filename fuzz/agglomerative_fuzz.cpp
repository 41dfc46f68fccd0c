// The agglomerative clustering with silhouette selection against its direct transcription kept
// beside the tests, on small fuzzed matrices: rows from a small pool or grid (exact ties and
// duplicates), zero rows, free values and now and then a NaN. Merges and silhouettes are
// compared bit for bit. Input: rows, cols, k, then one byte per value.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "speakers/diarization.h"
#include "speakers/diarization_reference.h"

namespace diarization = quillfen::speakers::diarization;
namespace reference = quillfen::speakers::diarization::reference;
using quillfen::fuzz::require;

namespace {

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

bool same_merges(const std::vector<diarization::Merge>& a, const std::vector<diarization::Merge>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t m = 0; m < a.size(); ++m) {
    if (a[m].left != b[m].left || a[m].right != b[m].right || a[m].size != b[m].size ||
        std::bit_cast<std::uint64_t>(a[m].distance) != std::bit_cast<std::uint64_t>(b[m].distance)) {
      return false;
    }
  }
  return true;
}

// A byte as a value: a grid value -1..2 for most bytes, 0xF0..0xFE a value from the next two
// bytes, 0xFF NaN.
float value(const std::uint8_t*& data, const std::uint8_t* end) {
  const std::uint8_t b = *data++;
  if (b == 0xFF) return std::numeric_limits<float>::quiet_NaN();
  if (b >= 0xF0 && end - data >= 2) {
    std::int16_t raw;
    std::memcpy(&raw, data, 2);
    data += 2;
    return static_cast<float>(raw) / 1024.0f;
  }
  return static_cast<float>(b % 4) - 1.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return -1;
  const std::uint8_t* end = data + size;
  const std::size_t rows = data[0] % 30;
  const std::size_t cols = 1 + data[1] % 6;
  const std::uint8_t k_byte = data[2];
  data += 3;
  // A row repeats an earlier row when its first byte says so (the byte is consumed).
  std::vector<float> values;
  for (std::size_t r = 0; r < rows; ++r) {
    if (data != end && *data >= 0xE0 && *data < 0xF0 && r > 0) {
      const std::size_t from = (*data++ - 0xE0) % r;
      for (std::size_t c = 0; c < cols; ++c) values.push_back(values[from * cols + c]);
      continue;
    }
    for (std::size_t c = 0; c < cols; ++c) values.push_back(data == end ? 0.0f : value(data, end));
  }

  const auto unit = diarization::normalize_embedding_rows(values, rows, cols);
  require(unit.has_value(), "normalisation failed on a well-shaped matrix");
  require(bits_of(*unit) == bits_of(reference::normalize_rows(values, rows, cols)),
          "normalised rows differ");
  const auto merges = diarization::average_linkage(*unit, rows, cols);
  const auto ref_merges = reference::average_linkage(*unit, rows, cols);
  require(same_merges(merges, ref_merges), "merges differ");
  for (std::size_t k = 1; k <= std::min<std::size_t>(rows, 9); ++k) {
    const auto labels = diarization::cut_tree_canonical_labels(merges, rows, k);
    require(labels == reference::cut_tree_canonical_labels(ref_merges, rows, k), "cut differs");
    require(std::bit_cast<std::uint64_t>(diarization::silhouette_score(*unit, rows, cols, labels)) ==
                std::bit_cast<std::uint64_t>(reference::silhouette_score(*unit, rows, cols, labels)),
            "silhouette differs");
  }
  const std::size_t any_k = k_byte % 12;
  require(diarization::agglomerative_labels(*unit, rows, cols, any_k) ==
              reference::agglomerative_labels(*unit, rows, cols, any_k),
          "labels for a fixed count differ");
  const std::optional<std::size_t> k_override =
      k_byte & 0x80 ? std::optional<std::size_t>(any_k) : std::nullopt;
  const auto clustering = diarization::cluster_embeddings(values, rows, cols, k_override);
  require(clustering.has_value(), "clustering failed on a well-shaped matrix");
  require(*clustering == reference::cluster_embeddings(values, rows, cols, k_override),
          "clustering differs");
  return 0;
}
