// Internals of the filterbank shared by its scalar and vector kernels, and exposed to the
// tests and benchmarks: the per-call tables (window, mel filters, FFT twiddles), the
// single-precision logarithm, and entry points that pick a kernel explicitly.
//
// Every kernel performs, for each frame, exactly the scalar sequence of single-precision
// operations of the scalar kernel; vector kernels run one frame per lane. They therefore
// give identical bits.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "speakers/feature_matrix.h"

namespace quillfen::speakers::filterbank_detail {

inline constexpr std::size_t kFftSize = 512;
inline constexpr std::size_t kFftBits = 9;
inline constexpr std::size_t kSpectrumBins = kFftSize / 2 + 1;  // 257
inline constexpr std::size_t kTwiddleCount = kFftSize - 1;      // stages 2, 4, ..., 512
inline constexpr float kLogFloor = 1.1920929e-7f;               // 2^-23
inline constexpr float kSampleScale = 32768.0f;
inline constexpr float kPreemphasis = 0.97f;

// One mel filter: its weights for FFT bins start_bin, start_bin + 1, ... (its non-zero
// span) are mel_weights[weight_offset ... weight_offset + weight_count - 1] of the tables.
struct MelBin {
  std::size_t start_bin = 0;
  std::size_t weight_offset = 0;
  std::size_t weight_count = 0;
};
// Every FFT bin lies inside at most two neighbouring filters.
inline constexpr std::size_t kMaxMelWeights = 2 * (kFftSize / 2);

// Tables built once per call and shared by all frames of that call.
struct FilterbankTables {
  std::array<float, 400> window{};  // Povey window, double precision narrowed to float
  std::array<MelBin, 80> mel_bins{};
  std::array<float, kMaxMelWeights> mel_weights{};
  // Per stage length L = 2, 4, ..., 512: sine and cosine of -6.2831855f / L.
  std::array<float, kFftBits> stage_sin{};
  std::array<float, kFftBits> stage_cos{};
  // Twiddle k of stage L at index L / 2 - 1 + k, as the recurrence w <- w * (cos + i sin)
  // from (1, 0) produces it (identical for every block of the stage).
  std::array<float, kTwiddleCount> twiddle_re{};
  std::array<float, kTwiddleCount> twiddle_im{};

  std::span<const float> weights(std::size_t filter) const {
    const MelBin& bin = mel_bins[filter];
    return std::span<const float>(mel_weights).subspan(bin.weight_offset, bin.weight_count);
  }
};

FilterbankTables build_filterbank_tables();

// The single-precision natural logarithm: ln evaluated in double precision, rounded to
// the nearest float (the correctly rounded result in practice).
inline float log_f32(float x) { return static_cast<float>(std::log(static_cast<double>(x))); }

// Kernels. Sse2 runs 4 frames at a time (SSE2 is the x86-64 baseline; elsewhere the same
// code is built for the target's own vectors), Avx2 8 and Avx512 16 frames, each chosen
// only when the CPU reports the instruction set. No kernel uses fused multiply-add.
enum class FilterbankKernel : std::uint8_t { Scalar, Sse2, Avx2, Avx512 };

// Writes log_f32(max(in[i], 2^-23)) to out[i], a NaN input counting as below the floor.
// out.size() must equal in.size().
void floored_log_batch(FilterbankKernel kernel, std::span<const float> in, std::span<float> out);

// Kernels this machine can run (Scalar always; vector kernels by CPU support).
std::vector<FilterbankKernel> available_filterbank_kernels();
bool filterbank_kernel_available(FilterbankKernel kernel);
// The fastest available kernel; what compute_wespeaker_filterbank_cmn uses.
FilterbankKernel preferred_filterbank_kernel();
const char* filterbank_kernel_name(FilterbankKernel kernel);

// compute_wespeaker_filterbank_cmn with an explicit kernel (which must be available).
std::expected<FeatureMatrix, SpeakerFeatureError> compute_filterbank_with_kernel(
    FilterbankKernel kernel, std::span<const float> samples, std::uint32_t sample_rate_hz);

// Raw (not yet mean-normalised) log-mel rows of frames first_frame ... first_frame +
// count - 1 of samples, written row-major (80 values per frame) to out. Every frame must
// lie inside samples. Defined per kernel.
void log_mel_frames_scalar(const FilterbankTables& tables, const float* samples,
                           std::size_t first_frame, std::size_t count, float* out);
void log_mel_frames_sse2(const FilterbankTables& tables, const float* samples,
                         std::size_t first_frame, std::size_t count, float* out);
void log_mel_frames_avx2(const FilterbankTables& tables, const float* samples,
                         std::size_t first_frame, std::size_t count, float* out);
void log_mel_frames_avx512(const FilterbankTables& tables, const float* samples,
                           std::size_t first_frame, std::size_t count, float* out);
void floored_log_sse2(const float* in, float* out, std::size_t n);
void floored_log_avx2(const float* in, float* out, std::size_t n);
void floored_log_avx512(const float* in, float* out, std::size_t n);

}  // namespace quillfen::speakers::filterbank_detail
