// Per-call cost of the segmentation and embedding runners, and the share of it spent outside
// the runtime's Run call (input copy, tensor creation, output checks and copy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <expected>
#include <filesystem>
#include <vector>

#include "speakers_onnx/pyannote.h"
#include "speakers_onnx/wespeaker.h"
#include "support/paths.h"

namespace {

using quillfen::onnx::default_speaker_execution_providers;
using quillfen::onnx::PyannoteSegmenter;
using quillfen::onnx::WespeakerEmbedder;
using quillfen::speakers::FeatureMatrix;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWindows = 60;
constexpr std::size_t kFeatureMatrices = 100;
constexpr std::size_t kFeatureFrames = 300;

// 60 windows of a deterministic signal: speech-like noise in the first half of each window,
// a level steering the test model in the second.
std::vector<std::vector<float>> make_windows() {
  std::vector<std::vector<float>> windows(kWindows, std::vector<float>(160000));
  std::uint32_t state = 12345;
  for (std::size_t w = 0; w < kWindows; ++w) {
    for (std::size_t i = 0; i < 160000; ++i) {
      state = state * 1664525u + 1013904223u;
      const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
      windows[w][i] = i < 80000 ? 0.2f * noise * std::sin(static_cast<float>(i) * 0.001f)
                                : 0.1f * static_cast<float>(w % 7);
    }
  }
  return windows;
}

std::vector<FeatureMatrix> make_features() {
  std::vector<FeatureMatrix> matrices;
  for (std::size_t m = 0; m < kFeatureMatrices; ++m) {
    std::vector<float> values(kFeatureFrames * 80);
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = std::sin(static_cast<float>(i * (m + 1)) * 0.01f);
    }
    matrices.push_back(*FeatureMatrix::from_row_major(kFeatureFrames, 80, std::move(values)));
  }
  return matrices;
}

void report(benchmark::State& state, std::chrono::nanoseconds total, std::chrono::nanoseconds run,
            std::size_t calls) {
  const double n = static_cast<double>(calls);
  state.counters["call_us"] = std::chrono::duration<double, std::micro>(total).count() / n;
  state.counters["run_us"] = std::chrono::duration<double, std::micro>(run).count() / n;
  state.counters["outside_run_us"] =
      std::chrono::duration<double, std::micro>(total - run).count() / n;
  state.counters["overhead_pct"] =
      100.0 * static_cast<double>((total - run).count()) / static_cast<double>(run.count());
}

// Calls call(model, input) on every input once per iteration, timing each call and, inside
// it, the runtime's Run.
template <typename Model, typename Inputs, typename Call>
void time_model_calls(benchmark::State& state,
                      std::expected<Model, quillfen::onnx::SpeakerOnnxError> model,
                      const Inputs& inputs, Call call) {
  if (!model) {
    state.SkipWithError(model.error().to_string().c_str());
    return;
  }
  std::chrono::nanoseconds run{0}, total{0};
  model->time_runs_into(&run);
  std::size_t calls = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      const auto start = Clock::now();
      auto result = call(*model, input);
      total += Clock::now() - start;
      if (!result) state.SkipWithError(result.error().to_string().c_str());
      benchmark::DoNotOptimize(result);
      ++calls;
    }
  }
  report(state, total, run, calls);
}

void segment_windows(benchmark::State& state, const std::filesystem::path& model) {
  time_model_calls(state,
                   PyannoteSegmenter::open(model, default_speaker_execution_providers(false)),
                   make_windows(), [](const PyannoteSegmenter& segmenter, const auto& window) {
                     return segmenter.infer_window(window);
                   });
}

void BM_SegmentTestModel(benchmark::State& state) {
  segment_windows(state, quillfen::testing::test_models_dir() / "segmentation.onnx");
}
BENCHMARK(BM_SegmentTestModel)->Unit(benchmark::kMillisecond);

void BM_SegmentTrainedModel(benchmark::State& state) {
  segment_windows(state, quillfen::testing::trained_segmentation_model());
}
BENCHMARK(BM_SegmentTrainedModel)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_EmbedTestModel(benchmark::State& state) {
  time_model_calls(state,
                   WespeakerEmbedder::open(quillfen::testing::test_models_dir() / "embedding.onnx",
                                           default_speaker_execution_providers(false)),
                   make_features(), [](const WespeakerEmbedder& embedder, const auto& features) {
                     return embedder.embed(features);
                   });
}
BENCHMARK(BM_EmbedTestModel)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
