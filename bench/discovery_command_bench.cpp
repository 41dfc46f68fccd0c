// The discovery-cluster command end to end: request text on standard input to the response
// line, in a fresh engine process per run so that the peak resident set of each size is its
// own. Payloads hold n unit rows of 256 values: Gaussian clusters around random unit centres
// plus 10% rows drawn uniformly on the sphere; min_cluster_size 5, min_samples 5.
//
// Two degenerate families: n copies of one unit row (every distance is zero and no split of the
// data exists), and a few tight groups (five unit centres, per-coordinate spread 0.0005, no
// scattered rows), where every neighbour distance is tiny next to the values themselves.
//
// Payloads are generated once and cached outside the repository (bench_cache_dir(): file names
// carry the family, the row count and the generator version); a size's payload is the same
// bytes on every run and every machine.
//
// One size:  build/release/bench/discovery_command_bench --benchmark_filter='BM_DiscoveryCommand/50000'
//
// Counters per run: cpu_s (user + system time of the engine process), peak_rss_MiB (its
// maximum resident set), payload_MiB, and rss_over_payload_MiB (the difference). Wall time
// is the benchmark's own (manual) time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/paths.h"

namespace {

using quillfen::testing::TempDir;

constexpr std::size_t kCols = 256;
constexpr std::size_t kCentres = 24;
constexpr double kSpread = 0.02;  // per-coordinate standard deviation around a centre
constexpr std::size_t kTightCentres = 5;
constexpr double kTightSpread = 0.0005;
constexpr int kGeneratorVersion = 1;  // bump when the generator's output changes

enum class Family { Clusters, Duplicates, TightGroups };

void normalise(std::vector<double>& row) {
  double sum = 0.0;
  for (double v : row) sum += v * v;
  const double norm = std::sqrt(sum);
  for (double& v : row) v /= norm;
}

// Writes the payload and keeps nothing in memory, so that the forked engine process starts
// from a small resident set.
void write_payload(const std::string& path, std::size_t rows, Family family) {
  std::mt19937_64 rng(20240611);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::vector<double>> centres(kCentres, std::vector<double>(kCols));
  for (auto& centre : centres) {
    for (double& v : centre) v = normal(rng);
    normalise(centre);
  }
  std::vector<float> values;
  values.reserve(rows * kCols);
  std::vector<double> row(kCols);
  for (std::size_t r = 0; r < rows; ++r) {
    if (family == Family::Duplicates) {
      row.assign(kCols, 0.0);
      row[3] = 1.0;
    } else if (family == Family::TightGroups) {
      const auto& centre = centres[rng() % kTightCentres];
      for (std::size_t c = 0; c < kCols; ++c) row[c] = centre[c] + kTightSpread * normal(rng);
    } else if (rng() % 10 == 0) {
      for (double& v : row) v = normal(rng);
    } else {
      const auto& centre = centres[rng() % kCentres];
      for (std::size_t c = 0; c < kCols; ++c) row[c] = centre[c] + kSpread * normal(rng);
    }
    normalise(row);
    for (double v : row) values.push_back(static_cast<float>(v));
  }
  quillfen::testing::write_floats(path, values);
}

// The cached payload of a family and size, generated on first use (written under a temporary
// name and renamed, so that an interrupted run never leaves a short file behind).
std::string cached_payload(std::size_t rows, Family family) {
  static const char* const names[] = {"clusters", "duplicates", "tight"};
  const std::filesystem::path dir = quillfen::testing::bench_cache_dir();
  const std::string name = std::string("discovery-") + names[static_cast<int>(family)] + "-v" +
                           std::to_string(kGeneratorVersion) + "-" + std::to_string(rows) +
                           "x256.f32";
  const std::filesystem::path path = dir / name;
  std::error_code error;
  if (std::filesystem::file_size(path, error) == rows * kCols * 4 && !error) return path.string();
  const std::filesystem::path partial = dir / (name + ".partial." + std::to_string(::getpid()));
  write_payload(partial.string(), rows, family);
  std::filesystem::rename(partial, path);
  return path.string();
}

std::string request_text(const std::string& payload, std::size_t rows) {
  return R"({"schema":"quillfen-speaker-discovery-cluster-request-v1","embeddings_f32le_path":")" +
         payload + R"(","shape":[)" + std::to_string(rows) + "," + std::to_string(kCols) +
         R"(],"payload_format":"raw-f32le-row-major-v1","dtype":"float32-le",)" +
         R"("min_cluster_size":5,"min_samples":5})";
}

struct EngineRun {
  int status = -1;
  double wall_s = 0.0;
  double cpu_s = 0.0;
  double peak_rss_mib = 0.0;
};

// Runs the engine with stdin and stdout redirected to files and collects its resource use.
EngineRun run_engine(const std::string& stdin_path, const std::string& stdout_path) {
  const std::string engine = quillfen::testing::engine_path().string();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(stdin_path.c_str(), O_RDONLY);
    const int out = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0) ::_exit(126);
    char* argv[] = {const_cast<char*>(engine.c_str()), const_cast<char*>("discovery-cluster"),
                    nullptr};
    ::execv(engine.c_str(), argv);
    ::_exit(127);
  }
  EngineRun run;
  if (pid < 0) return run;
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return run;
  }
  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  run.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peak_rss_mib = usage.ru_maxrss / 1024.0;  // ru_maxrss is in KiB
  return run;
}

void run_command(benchmark::State& state, Family family) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  TempDir dir;
  const std::string payload = cached_payload(rows, family);
  const std::string request = (dir / "request.json").string();
  const std::string response = (dir / "response.json").string();
  quillfen::testing::write_file(request, request_text(payload, rows));

  EngineRun last;
  for (auto _ : state) {
    last = run_engine(request, response);
    if (last.status != 0) {
      state.SkipWithError("the engine failed");
      return;
    }
    state.SetIterationTime(last.wall_s);
  }
  const std::string out = quillfen::testing::read_file(response);
  const auto count_after = [&](const std::string& key) {
    const auto at = out.find("\"" + key + "\":");
    return at == std::string::npos ? -1.0 : std::stod(out.substr(at + key.size() + 3));
  };
  const double payload_mib = static_cast<double>(rows * kCols * 4) / (1024.0 * 1024.0);
  state.counters["cpu_s"] = last.cpu_s;
  state.counters["peak_rss_MiB"] = last.peak_rss_mib;
  state.counters["payload_MiB"] = payload_mib;
  state.counters["rss_over_payload_MiB"] = last.peak_rss_mib - payload_mib;
  state.counters["clusters"] = count_after("cluster_count");
  state.counters["noise"] = count_after("noise_count");
}

void BM_DiscoveryCommand(benchmark::State& state) { run_command(state, Family::Clusters); }
void BM_DiscoveryCommandDuplicates(benchmark::State& state) {
  run_command(state, Family::Duplicates);
}
void BM_DiscoveryCommandTightGroups(benchmark::State& state) {
  run_command(state, Family::TightGroups);
}
// n = 0 shows the resident set of the engine itself.
BENCHMARK(BM_DiscoveryCommand)
    ->Arg(0)
    ->Arg(2000)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoveryCommandDuplicates)
    ->Arg(5000)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoveryCommandTightGroups)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
