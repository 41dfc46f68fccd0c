// Filterbank: argument checks, per-call tables, the scalar kernel (the reference sequence of
// single-precision operations for one frame), kernel dispatch and mean normalisation.
//
// Per frame t (samples 160 t ... 160 t + 399), in single precision:
//   1. x[i] = sample * 32768 (i < 400), x[400 ... 511] = 0, imaginary part 0.
//   2. DC removal: sum = -0.0 + x[0] + x[1] + ... + x[399] (in index order),
//      mean = sum / 400, x[i] -= mean for i < 400.
//   3. Pre-emphasis on the step-2 values: x[i] -= 0.97 * x[i - 1] for i = 399 down to 1,
//      then x[0] -= 0.97 * x[0].
//   4. Window: x[i] *= w[i].
//   5. In-place radix-2 decimation-in-time FFT of 512 points: 9-bit bit-reversal
//      permutation, then stages L = 2, 4, ..., 512. Each block of a stage starts its
//      twiddle at (1, 0) and multiplies it by (cos + i sin)(-6.2831855 / L) after every
//      butterfly: t = w * X[j + k + L/2]; X[j + k + L/2] = X[j + k] - t; X[j + k] += t.
//   6. Power p[k] = re^2 + im^2, k = 0 ... 256.
//   7. Filter m: e = 0 + w0 p[s] + w1 p[s + 1] + ... (in order); value ln(max(e, 2^-23)),
//      a NaN energy taking the floor.
// Then each column loses its mean over all frames (frame-order single-precision sum
// divided by the frame count as a float).
#include "speakers/filterbank.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <numbers>
#include <utility>

#include "speakers/cpu_features.h"
#include "speakers/filterbank_kernels.h"
#include "speakers/numeric.h"

namespace quillfen::speakers {
namespace filterbank_detail {
namespace {

// mel(f) = ln(f / 700 + 1) * 1127 in single precision. The filter edges use the fixed
// values mel(20) and (mel(8000) - mel(20)) / 81 that this evaluation gives.
float mel_scale(float hz) { return log_f32((hz / 700.0f) + 1.0f) * 1127.0f; }
constexpr float kMelLow = 31.7486419677734375f;
constexpr float kMelDelta = 34.670238494873046875f;
constexpr float kFftBinHz = 31.25f;  // 16000 / 512
constexpr float kMinusTwoPi = -6.2831855f;

[[noreturn]] void invariant_failure(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

constexpr std::size_t reverse_bits9(std::size_t i) {
  std::size_t r = 0;
  for (std::size_t b = 0; b < kFftBits; ++b) r |= ((i >> b) & 1u) << (kFftBits - 1 - b);
  return r;
}

// Scratch of the scalar kernel, reused from frame to frame.
struct ScalarScratch {
  float re[kFftSize];
  float im[kFftSize];
  float power[kSpectrumBins];
};

void scalar_frame(const FilterbankTables& tables, const float* frame, float* row,
                  ScalarScratch& s) {
  float* re = s.re;
  float* im = s.im;
  for (std::size_t i = 0; i < 400; ++i) re[i] = frame[i] * kSampleScale;
  for (std::size_t i = 400; i < kFftSize; ++i) re[i] = 0.0f;
  for (std::size_t i = 0; i < kFftSize; ++i) im[i] = 0.0f;

  float sum = -0.0f;
  for (std::size_t i = 0; i < 400; ++i) sum = sum + re[i];
  const float mean = sum / 400.0f;
  for (std::size_t i = 0; i < 400; ++i) re[i] = re[i] - mean;

  for (std::size_t i = 399; i >= 1; --i) re[i] = re[i] - kPreemphasis * re[i - 1];
  re[0] = re[0] - kPreemphasis * re[0];

  for (std::size_t i = 0; i < 400; ++i) re[i] = re[i] * tables.window[i];

  for (std::size_t i = 0; i < kFftSize; ++i) {
    const std::size_t j = reverse_bits9(i);
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  for (std::size_t stage = 0, len = 2; len <= kFftSize; ++stage, len *= 2) {
    const std::size_t half = len / 2;
    const float sn = tables.stage_sin[stage];
    const float cs = tables.stage_cos[stage];
    for (std::size_t j = 0; j < kFftSize; j += len) {
      float wr = 1.0f;
      float wi = 0.0f;
      for (std::size_t k = 0; k < half; ++k) {
        const std::size_t a = j + k;
        const std::size_t b = a + half;
        const float tr = wr * re[b] - wi * im[b];
        const float ti = wi * re[b] + wr * im[b];
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] = re[a] + tr;
        im[a] = im[a] + ti;
        const float nr = cs * wr - sn * wi;
        const float ni = sn * wr + cs * wi;
        wr = nr;
        wi = ni;
      }
    }
  }

  for (std::size_t k = 0; k < kSpectrumBins; ++k) s.power[k] = re[k] * re[k] + im[k] * im[k];

  for (std::size_t m = 0; m < kMelBins; ++m) {
    const std::span<const float> weights = tables.weights(m);
    const float* power = s.power + tables.mel_bins[m].start_bin;
    float e = 0.0f;
    for (std::size_t j = 0; j < weights.size(); ++j) e = e + weights[j] * power[j];
    row[m] = log_f32(e > kLogFloor ? e : kLogFloor);
  }
}

// values -= column means, in place (frames x 80, frames >= 1).
void normalise_columns(float* values, std::size_t frames) {
  constexpr std::size_t kBins = kMelBins;
  float sums[kBins];
  for (std::size_t c = 0; c < kBins; ++c) sums[c] = 0.0f;
  for (std::size_t t = 0; t < frames; ++t) {
    const float* row = values + t * kBins;
    for (std::size_t c = 0; c < kBins; ++c) sums[c] = sums[c] + row[c];
  }
  const float count = static_cast<float>(frames);
  float means[kBins];
  for (std::size_t c = 0; c < kBins; ++c) means[c] = sums[c] / count;
  for (std::size_t t = 0; t < frames; ++t) {
    float* row = values + t * kBins;
    for (std::size_t c = 0; c < kBins; ++c) row[c] = row[c] - means[c];
  }
}

bool cpu_has_avx2() { return cpu_features().avx2; }
bool cpu_has_avx512() { return cpu_features().avx512f; }

}  // namespace

FilterbankTables build_filterbank_tables() {
  FilterbankTables tables;

  const double a = 2.0 * std::numbers::pi / 399.0;
  for (std::size_t i = 0; i < tables.window.size(); ++i) {
    const double c = 0.5 - 0.5 * std::cos(static_cast<double>(i) * a);
    tables.window[i] = static_cast<float>(std::pow(c, 0.85));
  }

  // Mel value of each FFT bin below Nyquist; bin 256 is never weighted.
  constexpr std::size_t kWeightedBins = kFftSize / 2;
  float bin_mel[kWeightedBins];
  for (std::size_t k = 0; k < kWeightedBins; ++k) {
    bin_mel[k] = mel_scale(static_cast<float>(k) * kFftBinHz);
  }
  // The bin mel values never decrease, so the bins strictly inside (left, right) form one
  // run; first_inside only moves forward as the filters move up.
  std::size_t first_inside = 0;
  std::size_t weight_count = 0;
  for (std::size_t m = 0; m < kMelBins; ++m) {
    const float left = static_cast<float>(m) * kMelDelta + kMelLow;
    const float centre = static_cast<float>(m + 1) * kMelDelta + kMelLow;
    const float right = static_cast<float>(m + 2) * kMelDelta + kMelLow;
    const float left_width = centre - left;
    const float right_width = right - centre;
    while (first_inside < kWeightedBins && !(left < bin_mel[first_inside])) ++first_inside;
    MelBin& bin = tables.mel_bins[m];
    bin.start_bin = first_inside;
    bin.weight_offset = weight_count;
    for (std::size_t k = first_inside; k < kWeightedBins && bin_mel[k] < right; ++k) {
      if (weight_count == kMaxMelWeights) invariant_failure("mel filters overlap more than twice");
      const float mk = bin_mel[k];
      tables.mel_weights[weight_count++] =
          mk <= centre ? (mk - left) / left_width : (right - mk) / right_width;
    }
    bin.weight_count = weight_count - bin.weight_offset;
    if (bin.weight_count == 0) invariant_failure("production mel bin should have weights");
  }

  for (std::size_t stage = 0, len = 2; len <= kFftSize; ++stage, len *= 2) {
    const float angle = kMinusTwoPi / static_cast<float>(len);
    const float sn = std::sin(angle);
    const float cs = std::cos(angle);
    tables.stage_sin[stage] = sn;
    tables.stage_cos[stage] = cs;
    float wr = 1.0f;
    float wi = 0.0f;
    for (std::size_t k = 0; k < len / 2; ++k) {
      tables.twiddle_re[len / 2 - 1 + k] = wr;
      tables.twiddle_im[len / 2 - 1 + k] = wi;
      const float nr = cs * wr - sn * wi;
      const float ni = sn * wr + cs * wi;
      wr = nr;
      wi = ni;
    }
  }
  return tables;
}

void log_mel_frames_scalar(const FilterbankTables& tables, const float* samples,
                           std::size_t first_frame, std::size_t count, float* out) {
  ScalarScratch scratch;
  for (std::size_t t = 0; t < count; ++t) {
    scalar_frame(tables, samples + (first_frame + t) * kFilterbankFrameShift, out + t * kMelBins,
                 scratch);
  }
}

namespace {

void floored_log_scalar(const float* in, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = log_f32(in[i] > kLogFloor ? in[i] : kLogFloor);
}

// The entry points and the name of each kernel, indexed by FilterbankKernel.
struct KernelEntry {
  const char* name;
  void (*log_mel_frames)(const FilterbankTables&, const float*, std::size_t, std::size_t, float*);
  void (*floored_log)(const float*, float*, std::size_t);
};
constexpr KernelEntry kKernelEntries[] = {
    {"scalar", log_mel_frames_scalar, floored_log_scalar},
    {"sse2", log_mel_frames_sse2, floored_log_sse2},
    {"avx2", log_mel_frames_avx2, floored_log_avx2},
    {"avx512", log_mel_frames_avx512, floored_log_avx512},
};
static_assert(std::size(kKernelEntries) == static_cast<std::size_t>(FilterbankKernel::Avx512) + 1);

const KernelEntry& entry_of(FilterbankKernel kernel) {
  return kKernelEntries[static_cast<std::size_t>(kernel)];
}

}  // namespace

std::vector<FilterbankKernel> available_filterbank_kernels() {
  std::vector<FilterbankKernel> kernels{FilterbankKernel::Scalar, FilterbankKernel::Sse2};
  if (cpu_has_avx2()) kernels.push_back(FilterbankKernel::Avx2);
  if (cpu_has_avx512()) kernels.push_back(FilterbankKernel::Avx512);
  return kernels;
}

bool filterbank_kernel_available(FilterbankKernel kernel) {
  switch (kernel) {
    case FilterbankKernel::Scalar:
    case FilterbankKernel::Sse2:
      return true;
    case FilterbankKernel::Avx2:
      return cpu_has_avx2();
    case FilterbankKernel::Avx512:
      return cpu_has_avx512();
  }
  return false;
}

FilterbankKernel preferred_filterbank_kernel() {
  static const FilterbankKernel kernel = [] {
    if (cpu_has_avx512()) return FilterbankKernel::Avx512;
    if (cpu_has_avx2()) return FilterbankKernel::Avx2;
    return FilterbankKernel::Sse2;
  }();
  return kernel;
}

const char* filterbank_kernel_name(FilterbankKernel kernel) { return entry_of(kernel).name; }

void floored_log_batch(FilterbankKernel kernel, std::span<const float> in, std::span<float> out) {
  entry_of(kernel).floored_log(in.data(), out.data(), std::min(in.size(), out.size()));
}

namespace {

// The zero-filled output buffer. Long recordings give outputs of hundreds of megabytes whose
// first touch is dominated by page faults; asking for transparent huge pages before the
// buffer is touched cuts that cost. The advice is only a hint: its failure changes nothing.
std::vector<float> allocate_output(std::size_t count) {
  constexpr std::size_t kHugePageAdviceBytes = std::size_t{8} << 20;
  std::vector<float> values;
  values.reserve(count);
  const std::size_t bytes = count * sizeof(float);
  if (bytes >= kHugePageAdviceBytes) {
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
    if (last > first) {
      ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
  }
  values.resize(count);
  return values;
}

// Index of the first sample whose magnitude exceeds kFilterbankSampleLimit, or samples.size().
std::size_t first_beyond_range(std::span<const float> samples) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) > kFilterbankSampleLimit) return i;
  }
  return samples.size();
}

}  // namespace

std::expected<FeatureMatrix, SpeakerFeatureError> compute_filterbank_with_kernel(
    FilterbankKernel kernel, std::span<const float> samples, std::uint32_t sample_rate_hz) {
  if (sample_rate_hz != kModelSampleRateHz) {
    return std::unexpected(
        SpeakerFeatureError::unsupported_sample_rate(kModelSampleRateHz, sample_rate_hz));
  }
  if (const std::size_t bad = first_non_finite(samples); bad != samples.size()) {
    return std::unexpected(SpeakerFeatureError::non_finite_audio_sample(bad));
  }
  if (const std::size_t loud = first_beyond_range(samples); loud != samples.size()) {
    return std::unexpected(SpeakerFeatureError::sample_beyond_range(loud));
  }
  const std::size_t frames = filterbank_frame_count(samples.size());
  std::vector<float> values = allocate_output(frames * kMelBins);
  if (frames > 0) {
    const FilterbankTables tables = build_filterbank_tables();
    entry_of(kernel).log_mel_frames(tables, samples.data(), 0, frames, values.data());
    normalise_columns(values.data(), frames);
  }
  return FeatureMatrix::from_row_major(frames, kMelBins, std::move(values));
}

}  // namespace filterbank_detail

std::optional<std::size_t> first_overflowing_filterbank_frame(std::span<const float> samples) {
  const std::size_t frames = filterbank_frame_count(samples.size());
  if (frames == 0) return std::nullopt;
  // A sample beyond the range counts from the first frame that covers it.
  const std::size_t covered = (frames - 1) * kFilterbankFrameShift + kFilterbankFrameLength;
  std::optional<std::size_t> first;
  if (const std::size_t loud = filterbank_detail::first_beyond_range(samples.first(covered));
      loud != covered) {
    first = loud < kFilterbankFrameLength
                ? 0
                : (loud - kFilterbankFrameLength) / kFilterbankFrameShift + 1;
  }
  constexpr std::size_t kChunkFrames = 1000;
  const filterbank_detail::FilterbankTables tables = filterbank_detail::build_filterbank_tables();
  const auto log_mel_frames =
      filterbank_detail::entry_of(filterbank_detail::preferred_filterbank_kernel()).log_mel_frames;
  std::vector<float> chunk(kChunkFrames * kMelBins);
  const std::size_t end = first.value_or(frames);
  for (std::size_t start = 0; start < end; start += kChunkFrames) {
    const std::size_t count = std::min(kChunkFrames, end - start);
    log_mel_frames(tables, samples.data(), start, count, chunk.data());
    const std::size_t bad = first_non_finite(std::span(chunk).first(count * kMelBins));
    if (bad != count * kMelBins) return start + bad / kMelBins;
  }
  return first;
}

std::expected<FeatureMatrix, SpeakerFeatureError> compute_wespeaker_filterbank_cmn(
    std::span<const float> samples, std::uint32_t sample_rate_hz) {
  return filterbank_detail::compute_filterbank_with_kernel(
      filterbank_detail::preferred_filterbank_kernel(), samples, sample_rate_hz);
}

}  // namespace quillfen::speakers
