// Filterbank throughput in frames per CPU second (the machine may be shared): one hour of 16 kHz
// audio in one call, the same hour as 3600 one-second statements, each kernel on one minute, and
// the per-call tables.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "speakers/filterbank.h"
#include "speakers/filterbank_kernels.h"

namespace {

using quillfen::speakers::compute_wespeaker_filterbank_cmn;
using quillfen::speakers::filterbank_frame_count;
namespace detail = quillfen::speakers::filterbank_detail;

constexpr std::size_t kRate = 16000;
constexpr std::size_t kHour = 3600 * kRate;

// Deterministic speech-like signal: a gliding harmonic voice with a syllable-rate envelope,
// pauses, and a little noise from a fixed linear congruential generator.
const std::vector<float>& hour_of_audio() {
  static const std::vector<float> audio = [] {
    std::vector<float> s(kHour);
    std::uint32_t state = 12345;
    double phase = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const double t = static_cast<double>(i) / kRate;
      const double pitch = 140.0 + 40.0 * std::sin(2.0 * M_PI * 0.3 * t);
      phase += 2.0 * M_PI * pitch / kRate;
      const double envelope =
          std::fmax(0.0, std::sin(2.0 * M_PI * 4.0 * t)) * (std::fmod(t, 7.0) < 5.5 ? 1.0 : 0.0);
      const double voice = 0.5 * std::sin(phase) + 0.25 * std::sin(2.0 * phase) +
                           0.12 * std::sin(3.0 * phase) + 0.06 * std::sin(5.0 * phase);
      state = state * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.02;
      s[i] = static_cast<float>(0.4 * envelope * voice + noise);
    }
    return s;
  }();
  return audio;
}

void set_frame_rate(benchmark::State& state, std::size_t frames_per_iteration) {
  state.counters["frames_per_s"] = benchmark::Counter(
      static_cast<double>(frames_per_iteration) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_OneHourOneCall(benchmark::State& state) {
  const auto& audio = hour_of_audio();
  std::size_t frames = 0;
  for (auto _ : state) {
    auto features = compute_wespeaker_filterbank_cmn(audio, kRate);
    frames = features->frames();
    benchmark::DoNotOptimize(features->values().data());
  }
  set_frame_rate(state, frames);
}
BENCHMARK(BM_OneHourOneCall)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Part of the one-call figure: allocating and first touching the hour's 115 MB of output.
void BM_OneHourOutputAllocation(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<float> values(filterbank_frame_count(kHour) * 80);
    benchmark::DoNotOptimize(values.data());
  }
}
BENCHMARK(BM_OneHourOutputAllocation)->Unit(benchmark::kMillisecond);

void BM_OneHourAsOneSecondStatements(benchmark::State& state) {
  const auto& audio = hour_of_audio();
  const std::span<const float> all(audio);
  const std::size_t frames = 3600 * filterbank_frame_count(kRate);
  for (auto _ : state) {
    for (std::size_t s = 0; s < 3600; ++s) {
      auto features = compute_wespeaker_filterbank_cmn(all.subspan(s * kRate, kRate), kRate);
      benchmark::DoNotOptimize(features->values().data());
    }
  }
  set_frame_rate(state, frames);
}
BENCHMARK(BM_OneHourAsOneSecondStatements)
    ->Unit(benchmark::kMillisecond)

    ->MinTime(3.0);

// One minute in one call with each kernel this machine can run.
void BM_OneMinutePerKernel(benchmark::State& state) {
  const auto kernel = static_cast<detail::FilterbankKernel>(state.range(0));
  if (!detail::filterbank_kernel_available(kernel)) {
    state.SkipWithError("kernel not supported by this CPU");
    return;
  }
  state.SetLabel(detail::filterbank_kernel_name(kernel));
  const std::span<const float> minute = std::span<const float>(hour_of_audio()).first(60 * kRate);
  for (auto _ : state) {
    auto features = detail::compute_filterbank_with_kernel(kernel, minute, kRate);
    benchmark::DoNotOptimize(features->values().data());
  }
  set_frame_rate(state, filterbank_frame_count(minute.size()));
}
BENCHMARK(BM_OneMinutePerKernel)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The window, filters and twiddles every call rebuilds.
void BM_PerCallTables(benchmark::State& state) {
  for (auto _ : state) {
    auto tables = detail::build_filterbank_tables();
    benchmark::DoNotOptimize(tables.window.data());
  }
}
BENCHMARK(BM_PerCallTables)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
