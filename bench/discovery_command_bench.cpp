// The discovery-cluster command end to end: request text on standard input to the response
// line, in a fresh engine process per run so that the peak resident set of each size is its
// own. min_cluster_size 5 and min_samples 5 throughout.
//
// Families (unit rows; float32 payloads):
// - realistic: speaker embeddings as users have them. n / 200 speakers with random unit
//   centres; a speaker's rows are its centre plus independent N(0, 0.06^2) per coordinate, then
//   normalised (same-speaker cosine about 0.5, different speakers about 0); speaker sizes are at
//   least 20 rows plus a Dirichlet(2) share of the rest; 10% of the rows are uniform on the
//   sphere; rows in random order. 256 values. The nearby variants change the seed, the spread,
//   the noise share and the rows per speaker.
// - clusters: 24 Gaussian clusters (per-coordinate spread 0.02, same-cluster cosine about 0.9)
//   plus 10% rows uniform on the sphere, 256 values; far tidier than speaker embeddings.
// - duplicates: n copies of one unit row (every distance is zero, no split of the data exists).
// - tight: five unit centres, per-coordinate spread 0.0005, no scattered rows.
// - few dimensions: dense clusters (spread 0.01) plus 2% far rows, 3 and 7 values; rows near
//   the 64 vertices of a simplex (spread 0.001); rows on a great circle (2 values, random angles).
//
// Payloads are generated once and cached outside the repository (bench_cache_dir(): file names
// carry the family, its parameters, the row count and the generator version); a size's payload
// is the same bytes on every run and every machine.
//
// One size:  build/release/bench/discovery_command_bench --benchmark_filter='BM_DiscoveryCommandRealistic/50000/'
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
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/paths.h"

namespace {

using quillfen::testing::TempDir;

constexpr int kGeneratorVersion = 1;  // bump when a generator's output changes

// A payload family: how its rows are made, in row order.
struct Family {
  enum class Kind { Realistic, Clusters, Duplicates, TightGroups, DenseFar, Simplex, Circle };
  Kind kind = Kind::Clusters;
  std::size_t cols = 256;
  std::uint64_t seed = 20240611;
  double spread = 0.0;       // per-coordinate standard deviation around a centre
  double noise_share = 0.0;  // rows uniform on the sphere
  std::size_t rows_per_centre = 0;

  // The cache file name: the family and every parameter (the families of earlier measurements
  // keep their names).
  std::string name(std::size_t rows) const {
    static const char* const kinds[] = {"realistic", "clusters", "duplicates", "tight",
                                        "densefar",  "simplex",  "circle"};
    char text[160];
    if (kind == Kind::Clusters || kind == Kind::Duplicates || kind == Kind::TightGroups) {
      std::snprintf(text, sizeof text, "discovery-%s-v1-%zux256.f32", kinds[static_cast<int>(kind)],
                    rows);
      return text;
    }
    std::snprintf(text, sizeof text, "discovery-%s-s%llu-sp%g-no%g-pc%zu-v%d-%zux%zu.f32",
                  kinds[static_cast<int>(kind)], static_cast<unsigned long long>(seed), spread,
                  noise_share, rows_per_centre, kGeneratorVersion, rows, cols);
    return text;
  }
};

Family tidy(Family::Kind kind) { return {kind, 256, 20240611, 0.02, 0.1, 0}; }
Family realistic(std::uint64_t seed = 1, double spread = 0.06, double noise_share = 0.1,
                 std::size_t rows_per_speaker = 200) {
  return {Family::Kind::Realistic, 256, seed, spread, noise_share, rows_per_speaker};
}

void normalise(std::vector<double>& row) {
  double sum = 0.0;
  for (double v : row) sum += v * v;
  const double norm = std::sqrt(sum);
  for (double& v : row) v /= norm;
}

std::vector<double> unit_centre(std::mt19937_64& rng, std::normal_distribution<double>& normal,
                                std::size_t cols) {
  std::vector<double> centre(cols);
  for (double& v : centre) v = normal(rng);
  normalise(centre);
  return centre;
}

// Writes float32 rows as they are made, so that a payload of a million rows never sits in
// memory as a whole.
class PayloadWriter {
 public:
  explicit PayloadWriter(const std::string& path) : out_(path, std::ios::binary) {
    if (!out_) throw std::runtime_error("cannot write " + path);
  }
  void row(const std::vector<double>& values) {
    for (const double v : values) buffer_.push_back(static_cast<float>(v));
    if (buffer_.size() >= (1u << 20)) flush();
  }
  void finish() {
    flush();
    out_.close();
    if (!out_) throw std::runtime_error("payload write failed");
  }

 private:
  void flush() {
    out_.write(reinterpret_cast<const char*>(buffer_.data()),
               static_cast<std::streamsize>(buffer_.size() * sizeof(float)));
    buffer_.clear();
  }
  std::ofstream out_;
  std::vector<float> buffer_;
};

// Speaker of every row (-1: uniform on the sphere), in random row order: every speaker at least
// 20 rows plus a Dirichlet(2) share of the rest.
std::vector<std::int32_t> speaker_of_rows(std::mt19937_64& rng, std::size_t rows,
                                          const Family& family, std::size_t& speakers) {
  const auto noise = static_cast<std::size_t>(std::llround(family.noise_share * rows));
  const std::size_t speaker_rows = rows - noise;
  constexpr std::size_t kSmallest = 20;
  speakers = std::max<std::size_t>(1, rows / family.rows_per_centre);
  speakers = std::min(speakers, std::max<std::size_t>(1, speaker_rows / kSmallest));
  std::gamma_distribution<double> gamma(2.0, 1.0);
  std::vector<double> share(speakers);
  for (double& s : share) s = gamma(rng);
  const double total = std::accumulate(share.begin(), share.end(), 0.0);
  const std::size_t rest = speaker_rows - std::min(speaker_rows, kSmallest * speakers);
  std::vector<std::size_t> sizes(speakers);
  std::size_t assigned = 0;
  for (std::size_t s = 0; s < speakers; ++s) {
    sizes[s] = std::min(kSmallest, speaker_rows) +
               static_cast<std::size_t>(std::floor(share[s] / total * static_cast<double>(rest)));
    assigned += sizes[s];
  }
  for (std::size_t s = 0; assigned < speaker_rows; s = (s + 1) % speakers, ++assigned) ++sizes[s];
  std::vector<std::int32_t> speaker;
  speaker.reserve(rows);
  for (std::size_t s = 0; s < speakers; ++s) speaker.insert(speaker.end(), sizes[s], s);
  speaker.resize(rows, -1);
  for (std::size_t i = rows; i > 1; --i) std::swap(speaker[i - 1], speaker[rng() % i]);
  return speaker;
}

void write_realistic(PayloadWriter& out, std::size_t rows, const Family& family) {
  std::mt19937_64 rng(family.seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::size_t speakers = 0;
  const std::vector<std::int32_t> speaker = speaker_of_rows(rng, rows, family, speakers);
  std::vector<std::vector<double>> centres;
  for (std::size_t s = 0; s < speakers; ++s) centres.push_back(unit_centre(rng, normal, family.cols));
  std::vector<double> row(family.cols);
  for (std::size_t r = 0; r < rows; ++r) {
    if (speaker[r] < 0) {
      for (double& v : row) v = normal(rng);
    } else {
      const std::vector<double>& centre = centres[static_cast<std::size_t>(speaker[r])];
      for (std::size_t c = 0; c < family.cols; ++c) row[c] = centre[c] + family.spread * normal(rng);
    }
    normalise(row);
    out.row(row);
  }
}

// Families of earlier measurements: clusters, duplicates, tight groups.
void write_tidy(PayloadWriter& out, std::size_t rows, const Family& family) {
  constexpr std::size_t kCentres = 24;
  constexpr std::size_t kTightCentres = 5;
  constexpr double kTightSpread = 0.0005;
  std::mt19937_64 rng(family.seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::vector<double>> centres;
  for (std::size_t c = 0; c < kCentres; ++c) centres.push_back(unit_centre(rng, normal, family.cols));
  std::vector<double> row(family.cols);
  for (std::size_t r = 0; r < rows; ++r) {
    if (family.kind == Family::Kind::Duplicates) {
      row.assign(family.cols, 0.0);
      row[3] = 1.0;
    } else if (family.kind == Family::Kind::TightGroups) {
      const auto& centre = centres[rng() % kTightCentres];
      for (std::size_t c = 0; c < family.cols; ++c) row[c] = centre[c] + kTightSpread * normal(rng);
    } else if (rng() % 10 == 0) {
      for (double& v : row) v = normal(rng);
    } else {
      const auto& centre = centres[rng() % kCentres];
      for (std::size_t c = 0; c < family.cols; ++c) row[c] = centre[c] + family.spread * normal(rng);
    }
    normalise(row);
    out.row(row);
  }
}

// Few dimensions: dense clusters plus far rows, simplex vertices, a great circle.
void write_low_dimensional(PayloadWriter& out, std::size_t rows, const Family& family) {
  std::mt19937_64 rng(family.seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> angle(0.0, 2.0 * std::numbers::pi);
  const std::size_t centre_count =
      family.rows_per_centre == 0 ? 1 : std::max<std::size_t>(1, rows / family.rows_per_centre);
  std::vector<std::vector<double>> centres;
  for (std::size_t c = 0; c < centre_count; ++c) centres.push_back(unit_centre(rng, normal, family.cols));
  std::vector<double> row(family.cols);
  for (std::size_t r = 0; r < rows; ++r) {
    if (family.kind == Family::Kind::Circle) {
      const double a = angle(rng);
      row = {std::cos(a), std::sin(a)};
    } else if (family.kind == Family::Kind::Simplex) {
      row.assign(family.cols, 0.0);
      row[rng() % family.cols] = 1.0;
      for (double& v : row) v += family.spread * normal(rng);
    } else if (static_cast<double>(rng() % 1000) < 1000.0 * family.noise_share) {
      for (double& v : row) v = normal(rng);
    } else {
      const auto& centre = centres[rng() % centre_count];
      for (std::size_t c = 0; c < family.cols; ++c) row[c] = centre[c] + family.spread * normal(rng);
    }
    normalise(row);
    out.row(row);
  }
}

void write_payload(const std::string& path, std::size_t rows, const Family& family) {
  PayloadWriter out(path);
  switch (family.kind) {
    case Family::Kind::Realistic:
      write_realistic(out, rows, family);
      break;
    case Family::Kind::Clusters:
    case Family::Kind::Duplicates:
    case Family::Kind::TightGroups:
      write_tidy(out, rows, family);
      break;
    case Family::Kind::DenseFar:
    case Family::Kind::Simplex:
    case Family::Kind::Circle:
      write_low_dimensional(out, rows, family);
      break;
  }
  out.finish();
}

// The cached payload of a family and size, generated on first use (written under a temporary
// name and renamed, so that an interrupted run never leaves a short file behind).
std::string cached_payload(std::size_t rows, const Family& family) {
  const std::filesystem::path dir = quillfen::testing::bench_cache_dir();
  const std::string name = family.name(rows);
  const std::filesystem::path path = dir / name;
  std::error_code error;
  if (std::filesystem::file_size(path, error) == rows * family.cols * 4 && !error)
    return path.string();
  const std::filesystem::path partial = dir / (name + ".partial." + std::to_string(::getpid()));
  write_payload(partial.string(), rows, family);
  std::filesystem::rename(partial, path);
  return path.string();
}

std::string request_text(const std::string& payload, std::size_t rows, std::size_t cols) {
  return R"({"schema":"quillfen-speaker-discovery-cluster-request-v1","embeddings_f32le_path":")" +
         payload + R"(","shape":[)" + std::to_string(rows) + "," + std::to_string(cols) +
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

void run_command(benchmark::State& state, const Family& family, std::size_t rows) {
  TempDir dir;
  const std::string payload = cached_payload(rows, family);
  const std::string request = (dir / "request.json").string();
  const std::string response = (dir / "response.json").string();
  quillfen::testing::write_file(request, request_text(payload, rows, family.cols));

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
  const double payload_mib = static_cast<double>(rows * family.cols * 4) / (1024.0 * 1024.0);
  state.counters["cpu_s"] = last.cpu_s;
  state.counters["peak_rss_MiB"] = last.peak_rss_mib;
  state.counters["payload_MiB"] = payload_mib;
  state.counters["rss_over_payload_MiB"] = last.peak_rss_mib - payload_mib;
  state.counters["clusters"] = count_after("cluster_count");
  state.counters["noise"] = count_after("noise_count");
}

std::size_t rows_of(const benchmark::State& state, int arg) {
  return static_cast<std::size_t>(state.range(arg));
}

void BM_DiscoveryCommandRealistic(benchmark::State& state) {
  run_command(state, realistic(), rows_of(state, 0));
}
// Nearby parameters: other seeds, spreads, noise shares and speaker counts.
void BM_DiscoveryCommandRealisticNearby(benchmark::State& state) {
  static const Family variants[] = {realistic(2, 0.05, 0.05, 150), realistic(3, 0.07, 0.15, 250),
                                    realistic(4, 0.06, 0.10, 100), realistic(5, 0.08, 0.20, 300)};
  run_command(state, variants[state.range(0)], rows_of(state, 1));
}
void BM_DiscoveryCommand(benchmark::State& state) {
  run_command(state, tidy(Family::Kind::Clusters), rows_of(state, 0));
}
void BM_DiscoveryCommandDuplicates(benchmark::State& state) {
  run_command(state, tidy(Family::Kind::Duplicates), rows_of(state, 0));
}
void BM_DiscoveryCommandTightGroups(benchmark::State& state) {
  run_command(state, tidy(Family::Kind::TightGroups), rows_of(state, 0));
}
// Few dimensions, by case: dense clusters plus far rows in 3 and 7 values, simplex vertices in
// 64 values, a great circle.
void BM_DiscoveryCommandFewDimensions(benchmark::State& state) {
  struct Case {
    Family family;
    std::size_t rows;
  };
  static const Case cases[] = {
      {{Family::Kind::DenseFar, 3, 7, 0.01, 0.02, 500}, 2540},
      {{Family::Kind::DenseFar, 7, 8, 0.01, 0.02, 400}, 4985},
      {{Family::Kind::Simplex, 64, 9, 0.001, 0.0, 0}, 5832},
      {{Family::Kind::Circle, 2, 10, 0.0, 0.0, 0}, 170000},
  };
  const Case& c = cases[state.range(0)];
  run_command(state, c.family, c.rows);
}

void once(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DiscoveryCommandRealistic)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(300000)
    ->Arg(500000)
    ->Arg(1000000)
    ->Apply(once);
BENCHMARK(BM_DiscoveryCommandRealisticNearby)
    ->ArgsProduct({{0, 1, 2, 3}, {20000, 50000}})
    ->Apply(once);
// n = 0 shows the resident set of the engine itself.
BENCHMARK(BM_DiscoveryCommand)
    ->Arg(0)
    ->Arg(2000)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(50000)
    ->Arg(100000)
    ->Apply(once);
BENCHMARK(BM_DiscoveryCommandDuplicates)->Arg(5000)->Arg(20000)->Apply(once);
BENCHMARK(BM_DiscoveryCommandTightGroups)->Arg(20000)->Apply(once);
BENCHMARK(BM_DiscoveryCommandFewDimensions)->DenseRange(0, 3)->Apply(once);

}  // namespace

BENCHMARK_MAIN();
