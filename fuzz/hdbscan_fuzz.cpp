// The optimised HDBSCAN against the plain transcription kept beside the tests, stage by stage,
// on small fuzzed matrices: values from a small grid (exact duplicates and distance ties),
// zero rows, and now and then a free value. Input: n, dimensions, min_cluster_size,
// min_samples, then one byte per value. The grouped stages (core distances and Prim's loop over
// groups of nearby rows) are also run in the modes that only large inputs reach otherwise:
// groups of 1 to 8 rows, a cap on the group count (capacity doubling), the sweep or the k-d tree
// for the core distances, the sweep in batches, 32-bit rows; the modes come from the upper parts
// of the dimension and min_cluster_size bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "speakers/hdbscan_reference.h"
#include "speakers/hdbscan/hdbscan.h"

namespace hdbscan = quillfen::speakers::hdbscan;
namespace reference = quillfen::testing::reference;
using quillfen::fuzz::require;

namespace {

// A byte as a coordinate: mostly a grid value in -3..3 (scaled by 0.5 for the upper half of
// the byte range), 0x7F and 0xFF a value from the next two bytes.
double coordinate(const std::uint8_t*& data, const std::uint8_t* end) {
  const std::uint8_t b = *data++;
  if ((b & 0x7F) == 0x7F && end - data >= 2) {
    std::int16_t raw;
    std::memcpy(&raw, data, 2);
    data += 2;
    return raw / 64.0;
  }
  const double grid = static_cast<double>(b % 7) - 3.0;
  return b & 0x80 ? grid * 0.5 : grid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return -1;
  const std::uint8_t* end = data + size;
  const std::size_t n = 1 + data[0] % 40;
  const std::size_t dims = 1 + data[1] % 5;
  const std::size_t min_cluster_size = 2 + data[2] % 9;
  const std::size_t min_samples = 1 + data[3] % std::min<std::size_t>(n, 9);
  hdbscan::EngineOptions options;
  options.group_capacity = 1 + (data[1] / 5) % 8;
  options.max_groups = (data[2] / 9) % 2 == 0 ? 8192 : 1 + (data[2] / 18) % 4;
  options.tree_dims = (data[1] / 40) % 2 == 0 ? 0 : 8;
  options.sweep_state_budget = (data[2] / 72) % 2 == 0 ? std::size_t{1} << 20 : 64;
  data += 4;

  std::vector<std::vector<double>> rows(n, std::vector<double>(dims, 0.0));
  for (auto& row : rows) {
    for (double& v : row) {
      if (data == end) break;  // rows past the input stay zero
      v = coordinate(data, end);
    }
  }
  std::vector<std::span<const double>> views(rows.begin(), rows.end());

  const auto core = hdbscan::core_distances(views, min_samples);
  require(core == reference::core_distances(rows, min_samples), "core distances differ");
  auto edges = hdbscan::prim_mst(views, core);
  require(edges == reference::prim_mst(rows, core), "minimum spanning tree differs");

  hdbscan::RowStore store(views);
  const hdbscan::SpanningTree tree = hdbscan::spanning_tree(store, min_samples, options);
  require(tree.core == core, "grouped core distances differ");
  require(tree.edges == edges, "grouped minimum spanning tree differs");
  std::vector<float> narrow;
  bool exact_in_floats = true;
  for (const auto& row : rows) {
    for (const double v : row) {
      narrow.push_back(static_cast<float>(v));
      exact_in_floats = exact_in_floats && static_cast<double>(narrow.back()) == v;
    }
  }
  if (exact_in_floats) {
    hdbscan::RowStore floats(narrow.data(), n, dims);
    const hdbscan::SpanningTree from_floats = hdbscan::spanning_tree(floats, min_samples, options);
    require(from_floats.core == core && from_floats.edges == edges, "32-bit rows differ");
  }

  hdbscan::sort_mst_by_dist(edges);
  const auto slt = hdbscan::single_linkage(edges, n);
  require(slt == reference::single_linkage(reference::prim_mst(rows, core), n),
          "single-linkage tree differs");
  const auto condensed = hdbscan::condense_tree(slt, n, min_cluster_size);
  require(condensed == reference::condense_tree(slt, n, min_cluster_size),
          "condensed tree differs");
  const auto params = hdbscan::HyperParamBuilder{}
                          .min_cluster_size(min_cluster_size)
                          .min_samples(min_samples)
                          .build();
  const auto labels = hdbscan::cluster(views, params);
  require(labels.has_value(), "clustering failed on finite rows");
  require(*labels == reference::cluster(rows, min_cluster_size, min_samples), "labels differ");
  return 0;
}
