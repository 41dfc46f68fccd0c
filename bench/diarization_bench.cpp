// Agglomerative clustering of interval embeddings: 256-value rows scattered around a few
// speaker centres, as the diarization stage produces them.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "speakers/diarization.h"

namespace {

using namespace quillfen::speakers::diarization;

constexpr std::size_t kCols = 256;

std::vector<float> clustered_rows(std::size_t rows) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  constexpr std::size_t kSpeakers = 5;
  std::vector<float> centres(kSpeakers * kCols);
  for (float& v : centres) v = normal(rng);
  std::vector<float> values;
  values.reserve(rows * kCols);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t speaker = rng() % kSpeakers;
    for (std::size_t c = 0; c < kCols; ++c) {
      values.push_back(centres[speaker * kCols + c] + 0.8f * normal(rng));
    }
  }
  return values;
}

void BM_ClusterEmbeddings(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  const auto values = clustered_rows(rows);
  for (auto _ : state) {
    auto result = cluster_embeddings(values, rows, kCols, std::nullopt);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ClusterEmbeddings)->Arg(50)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_AverageLinkage(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  const auto unit = *normalize_embedding_rows(clustered_rows(rows), rows, kCols);
  for (auto _ : state) {
    auto merges = average_linkage(unit, rows, kCols);
    benchmark::DoNotOptimize(merges);
  }
}
BENCHMARK(BM_AverageLinkage)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
