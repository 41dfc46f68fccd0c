// The whole analyze run on long recordings with the trained segmentation model and a
// generated embedding model: wall time, the part spent inside the runtime's Run calls, the
// rest, and the peak resident set against the size of the audio.
//
// Two embedding models: the tiny test model (BM_AnalyzeRecording), and a benchmark-only model
// with the layer shapes of a ResNet34 speaker embedder (BM_AnalyzeRecordingResNet34, random
// weights, about 7 billion multiply-adds per 3-second statement), generated once by
// tools/models/make_resnet34_bench_model.py into the benchmark cache. One hour with it:
//   build/release/bench/pipeline_bench --benchmark_filter='ResNet34/60'
//
// The recording loops the test data's recordings to the requested length; statements are
// spread evenly over it (1000 per hour). The peak resident set of the process is compared
// with the peak of a 20-second run made first (runtime library, sessions and model loaded),
// so that what the long run adds beyond that baseline can be set against the audio size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "analyze/json.h"
#include "analyze/pipeline.h"
#include "support/paths.h"

namespace {

namespace fs = std::filesystem;
using quillfen::analyze::AnalyzeRequest;
using quillfen::analyze::ModelRunTimes;
using quillfen::analyze::StatementSpan;
using Clock = std::chrono::steady_clock;

constexpr double kStatementsPerHour = 1000.0;

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// Writes `seconds` of audio looping the test data's recordings, without holding the whole file.
bool write_looped_recording(const fs::path& out, double seconds) {
  std::vector<float> source;
  for (const auto& recording : quillfen::testing::recordings()) {
    const std::vector<float> samples = quillfen::testing::read_wav_mono_16k(recording.wav);
    source.insert(source.end(), samples.begin(), samples.end());
  }
  if (source.empty()) return false;
  std::ofstream file(out, std::ios::binary);
  auto remaining = static_cast<std::size_t>(seconds * 16000.0);
  while (remaining > 0) {
    const std::size_t n = std::min(remaining, source.size());
    file.write(reinterpret_cast<const char*>(source.data()),
               static_cast<std::streamsize>(n * sizeof(float)));
    remaining -= n;
  }
  return static_cast<bool>(file);
}

// The benchmark-only ResNet34-shaped embedding model, generated on first use.
std::optional<fs::path> resnet34_model() {
  const fs::path path = quillfen::testing::bench_cache_dir() / "resnet34-bench-v1.onnx";
  if (fs::exists(path)) return path;
  const fs::path tool = quillfen::testing::source_dir() / "tools" / "models" /
                        "make_resnet34_bench_model.py";
  const auto result = quillfen::testing::run_process("/usr/bin/python3",
                                                     {tool.string(), path.string()}, "");
  if (result.status != 0 || !fs::exists(path)) return std::nullopt;
  return path;
}

fs::path test_embedding_model() { return quillfen::testing::test_models_dir() / "embedding.onnx"; }

AnalyzeRequest make_request(const fs::path& dir, const fs::path& full, const fs::path& seg_model,
                            const fs::path& emb_model, double seconds) {
  AnalyzeRequest request;
  request.sample_rate_hz = 16000;
  request.full_audio_f32le_path = full.string();
  request.output_payload_f32le_path = (dir / "statements.f32").string();
  request.interval_embedding_payload_f32le_path = (dir / "intervals.f32").string();
  request.pyannote_segmentation_onnx_path = seg_model.string();
  request.wespeaker_onnx_path = emb_model.string();
  const auto count = static_cast<std::int64_t>(kStatementsPerHour * seconds / 3600.0 + 0.5);
  const double pitch = seconds / static_cast<double>(count);
  for (std::int64_t i = 0; i < count; ++i) {
    const double start = static_cast<double>(i) * pitch + 0.2;
    request.statement_spans.push_back(StatementSpan{start, start + 0.8 * pitch, i});
  }
  request.diarization_spans = request.statement_spans;
  return request;
}

struct Baseline {
  double rss_mib = 0.0;
  std::string error;
};

// A short analysis first, so that the runtime and the sessions are part of the baseline (once
// per embedding model).
Baseline baseline(const fs::path& seg_model, const fs::path& emb_model) {
  Baseline b;
  quillfen::testing::TempDir dir;
  const fs::path full = dir / "short.f32";
  if (!write_looped_recording(full, 20.0)) {
    b.error = "no recordings in the test data";
    return b;
  }
  auto response =
      quillfen::analyze::run_analyze(make_request(dir.path(), full, seg_model, emb_model, 20.0));
  if (!response) b.error = response.error().detail();
  b.rss_mib = peak_rss_mib();
  return b;
}

void analyze_recording(benchmark::State& state, const std::optional<fs::path>& emb_model) {
  const fs::path seg_model = quillfen::testing::trained_segmentation_model();
  if (!emb_model) {
    state.SkipWithError("the embedding model could not be generated");
    return;
  }
  const Baseline base = baseline(seg_model, *emb_model);
  if (!base.error.empty()) {
    state.SkipWithError(base.error.c_str());
    return;
  }
  const double seconds = static_cast<double>(state.range(0)) * 60.0;
  quillfen::testing::TempDir dir;
  const fs::path full = dir / "full.f32";
  if (!write_looped_recording(full, seconds)) {
    state.SkipWithError("cannot write the recording");
    return;
  }
  const AnalyzeRequest request = make_request(dir.path(), full, seg_model, *emb_model, seconds);

  for (auto _ : state) {
    ModelRunTimes times;
    const auto start = Clock::now();
    auto response = quillfen::analyze::run_analyze(request, &times);
    const std::chrono::duration<double> wall = Clock::now() - start;
    if (!response) {
      state.SkipWithError(response.error().detail().c_str());
      return;
    }
    const std::chrono::duration<double> segmentation = times.segmentation;
    const std::chrono::duration<double> embedding = times.embedding;
    const double outside = wall.count() - segmentation.count() - embedding.count();
    const auto& root = response->as_object();
    const auto& diarization = root.find("diarization")->as_object();
    const auto* intervals = diarization.find("intervals");
    state.counters["wall_s"] = wall.count();
    state.counters["seg_run_s"] = segmentation.count();
    state.counters["emb_run_s"] = embedding.count();
    state.counters["outside_run_s"] = outside;
    state.counters["outside_pct"] = 100.0 * outside / wall.count();
    state.counters["windows"] = static_cast<double>(
        root.find("pyannote")->as_object().find("window_stats")->as_array().size());
    state.counters["intervals"] =
        intervals->is_array() ? static_cast<double>(intervals->as_array().size()) : 0.0;
    state.counters["statements"] = static_cast<double>(request.statement_spans.size());
  }
  const double audio_mib = static_cast<double>(fs::file_size(full)) / (1024.0 * 1024.0);
  const double peak = peak_rss_mib();
  state.counters["audio_mib"] = audio_mib;
  state.counters["baseline_rss_mib"] = base.rss_mib;
  state.counters["peak_rss_mib"] = peak;
  // What the run holds beyond the baseline and the audio itself; the target is 64 MiB.
  state.counters["extra_rss_mib"] = peak - base.rss_mib - audio_mib;
}
void BM_AnalyzeRecording(benchmark::State& state) {
  analyze_recording(state, test_embedding_model());
}
void BM_AnalyzeRecordingResNet34(benchmark::State& state) {
  analyze_recording(state, resnet34_model());
}
BENCHMARK(BM_AnalyzeRecording)
    ->Arg(10)
    ->Arg(60)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_AnalyzeRecordingResNet34)
    ->Arg(10)
    ->Arg(60)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
