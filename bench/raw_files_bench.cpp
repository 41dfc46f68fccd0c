// Throughput of the raw float file paths: reading audio and payload files whole, and
// encoding and writing payloads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "analyze/raw_files.h"
#include "support/paths.h"

namespace {

using quillfen::analyze::encode_matrix;
using quillfen::analyze::PayloadWrite;

std::vector<float> ramp(std::size_t count) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = std::sin(static_cast<float>(i) * 0.001f);
  return values;
}

// Audio of the given length in seconds at 16 kHz (600 s: 38.4 MB). Buffers above the
// allocator's mmap threshold (32 MB) are fresh pages on every iteration, so the large case
// includes the page faults that a real run pays once.
void BM_ReadAudio(benchmark::State& state) {
  quillfen::testing::TempDir dir;
  const std::string path = dir / "audio.f32";
  const auto samples_count = static_cast<std::size_t>(state.range(0)) * 16000;
  quillfen::testing::write_floats(path, ramp(samples_count));
  for (auto _ : state) {
    auto samples = quillfen::analyze::read_audio_file(path);
    benchmark::DoNotOptimize(samples);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(samples_count) * 4);
}
BENCHMARK(BM_ReadAudio)->Arg(60)->Arg(600)->Unit(benchmark::kMillisecond);

// 20000 embeddings of 256 values (20.5 MB).
void BM_ReadPayload(benchmark::State& state) {
  quillfen::testing::TempDir dir;
  const std::string path = dir / "payload.f32";
  quillfen::testing::write_floats(path, ramp(20000 * 256));
  for (auto _ : state) {
    auto values = quillfen::analyze::read_payload_file(path, 20000, 256, 20000 * 256 * 4);
    benchmark::DoNotOptimize(values);
  }
  state.SetBytesProcessed(state.iterations() * 20000 * 256 * 4);
}
BENCHMARK(BM_ReadPayload)->Unit(benchmark::kMillisecond);

// Encoding and writing 2000 statement embeddings (2 MB).
void BM_EncodeAndWritePayload(benchmark::State& state) {
  quillfen::testing::TempDir dir;
  const std::vector<float> values = ramp(2000 * 256);
  for (auto _ : state) {
    const std::vector<PayloadWrite> writes = {{dir / "out.f32", encode_matrix(values)}};
    auto written = quillfen::analyze::write_payloads(writes);
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(state.iterations() * 2000 * 256 * 4);
}
BENCHMARK(BM_EncodeAndWritePayload)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
