// Discovery clustering on accumulated speaker-like embeddings: n unit rows of 256 values,
// Gaussian clusters around random unit centres plus 10% scattered rows, min_cluster_size 5 and
// min_samples 5. Reports wall time per run and the peak resident set beyond what the process
// held before the run (the payload included in the latter).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "speakers/discovery.h"
#include "speakers/hdbscan/hdbscan.h"

namespace {

constexpr std::size_t kCols = 256;

void normalise(std::span<float> row) {
  double sum = 0.0;
  for (const float v : row) sum += static_cast<double>(v) * v;
  const double norm = std::sqrt(sum);
  for (float& v : row) v = static_cast<float>(v / norm);
}

std::vector<float> make_embeddings(std::size_t n) {
  std::mt19937_64 rng(n);
  std::normal_distribution<double> normal;
  const std::size_t centres_count = std::max<std::size_t>(8, n / 200);
  std::vector<float> centres(centres_count * kCols);
  for (float& v : centres) v = static_cast<float>(normal(rng));
  for (std::size_t c = 0; c < centres_count; ++c) normalise({&centres[c * kCols], kCols});

  std::vector<float> values(n * kCols);
  for (std::size_t r = 0; r < n; ++r) {
    std::span<float> row(&values[r * kCols], kCols);
    if (rng() % 10 == 0) {
      for (float& v : row) v = static_cast<float>(normal(rng));
    } else {
      const float* centre = &centres[(rng() % centres_count) * kCols];
      for (std::size_t j = 0; j < kCols; ++j) {
        row[j] = static_cast<float>(centre[j] + 0.04 * normal(rng));
      }
    }
    normalise(row);
  }
  return values;
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

double current_rss_mib() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

// Sizes 5000, 10000 and 20000, each run once and timed in milliseconds of wall-clock time.
void stage_sizes_once(benchmark::internal::Benchmark* b) {
  b->Arg(5000)->Arg(10000)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_ClusterEmbeddings(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> values = make_embeddings(n);
  const double before = current_rss_mib();
  std::size_t clusters = 0;
  std::size_t noise = 0;
  for (auto _ : state) {
    auto labels =
        quillfen::speakers::discovery::cluster_embeddings(values, values.size(), n, kCols, 5, 5);
    if (!labels) {
      state.SkipWithError(labels.error().to_string().c_str());
      return;
    }
    clusters = 0;
    noise = 0;
    for (const auto& label : *labels) {
      if (!label) ++noise;
      if (label && *label + 1 > clusters) clusters = *label + 1;
    }
    benchmark::DoNotOptimize(labels);
  }
  state.counters["clusters"] = static_cast<double>(clusters);
  state.counters["noise"] = static_cast<double>(noise);
  state.counters["payload_mib"] = static_cast<double>(values.size() * 4) / (1024.0 * 1024.0);
  state.counters["peak_rss_mib"] = peak_rss_mib();
  state.counters["peak_beyond_start_mib"] = peak_rss_mib() - before;
}
BENCHMARK(BM_ClusterEmbeddings)->Arg(2000)->Apply(stage_sizes_once);

// The two quadratic stages on their own.
struct Widened {
  std::vector<double> values;
  std::vector<std::span<const double>> rows;
  explicit Widened(std::size_t n) {
    const std::vector<float> f = make_embeddings(n);
    values.assign(f.begin(), f.end());
    for (std::size_t r = 0; r < n; ++r) rows.emplace_back(&values[r * kCols], kCols);
  }
};

void BM_CoreDistances(benchmark::State& state) {
  const Widened data(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillfen::speakers::hdbscan::core_distances(data.rows, 5));
  }
}
BENCHMARK(BM_CoreDistances)->Apply(stage_sizes_once);

void BM_PrimMst(benchmark::State& state) {
  const Widened data(static_cast<std::size_t>(state.range(0)));
  const std::vector<double> core = quillfen::speakers::hdbscan::core_distances(data.rows, 5);
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillfen::speakers::hdbscan::prim_mst(data.rows, core));
  }
}
BENCHMARK(BM_PrimMst)->Apply(stage_sizes_once);

}  // namespace

BENCHMARK_MAIN();
