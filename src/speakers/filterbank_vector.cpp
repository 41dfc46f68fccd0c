// Vector kernels of the filterbank: W frames at once, one frame per lane, each lane
// performing exactly the single-precision sequence of the scalar kernel (filterbank.cpp).
// What differs is only where values live and how often invariant values are recomputed:
// the bit-reversal permutation is applied while the windowed frame is stored, and the
// twiddle of butterfly k of a stage is read from the table the same recurrence filled
// (it is the same for every block and frame).
//
// The logarithm is evaluated in double precision per lane and rounded to float; where the
// double result lies so close to a rounding boundary between two floats that a few units
// of error could change the rounding, that lane is recomputed with log_f32, so the result
// always equals log_f32.
//
// Built once for the baseline (4 lanes) and, on x86, for AVX2 (8 lanes) and AVX-512F
// (16 lanes) through target attributes (speakers/simd.h); callers check CPU support first.
// Floating-point contraction is off, so no fused multiply-add is emitted.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "speakers/filterbank.h"
#include "speakers/filterbank_kernels.h"
#include "speakers/simd.h"

// Vector values are passed only between always-inlined helpers, never across a call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quillfen::speakers::filterbank_detail {
namespace {

template <int W>
struct Lanes {
  typedef float F __attribute__((vector_size(W * sizeof(float))));
  // Half as many lanes in double precision, and the matching integer and float views.
  typedef double D __attribute__((vector_size(W * sizeof(float))));
  typedef std::uint64_t U __attribute__((vector_size(W * sizeof(float))));
  typedef float H __attribute__((vector_size(W * sizeof(float) / 2)));
};

constexpr std::array<std::uint16_t, kFftSize> make_bit_reversal() {
  std::array<std::uint16_t, kFftSize> table{};
  for (std::size_t i = 0; i < kFftSize; ++i) {
    std::size_t r = 0;
    for (std::size_t b = 0; b < kFftBits; ++b) r |= ((i >> b) & 1u) << (kFftBits - 1 - b);
    table[i] = static_cast<std::uint16_t>(r);
  }
  return table;
}
constexpr std::array<std::uint16_t, kFftSize> kBitReversal = make_bit_reversal();

template <typename F>
[[gnu::always_inline]] inline F splat(float value) {
  F v = {};
  for (std::size_t l = 0; l < sizeof(F) / sizeof(float); ++l) v[l] = value;
  return v;
}

template <typename To, typename From>
[[gnu::always_inline]] inline To bit_cast_vec(const From& from) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &from, sizeof to);
  return to;
}

// ln of n floats already at or above the floor (or +inf), rounded to float: equals log_f32.
// x = 2^k m with m in [sqrt(1/2), sqrt(2)), f = m - 1, s = f / (2 + f),
// ln x = k ln2 + f - f^2/2 + s (f^2/2 + R(s^2)), R the series of 2 atanh(s) / s - 2.
template <int W>
[[gnu::always_inline]] inline void log_of_floored(const float* in, float* out, std::size_t n) {
  using D = typename Lanes<W>::D;
  using U = typename Lanes<W>::U;
  using H = typename Lanes<W>::H;
  constexpr std::size_t kDl = W / 2;
  constexpr double kLn2Hi = 0x1.62e42feep-1;        // ln 2 rounded to 32 bits
  constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;  // ln 2 - kLn2Hi
  std::size_t i = 0;
  for (; i + kDl <= n; i += kDl) {
    H h;
    std::memcpy(&h, in + i, sizeof h);
    const D x = __builtin_convertvector(h, D);
    const U bits = bit_cast_vec<U>(x);
    // Biased exponent k + 1024 of the reduction x = 2^k m.
    const U biased_k = (bits + (0x4000000000000000ull - 0x3fe6a09e667f3bcdull)) >> 52;
    const D m = bit_cast_vec<D>(bits - ((biased_k - 1024u) << 52));
    const D k = bit_cast_vec<D>(biased_k | 0x4330000000000000ull) - 4503599627371520.0;
    const D f = m - 1.0;
    const D hfsq = 0.5 * f * f;
    const D s = f / (2.0 + f);
    const D z = s * s;
    const D r =
        z * (2.0 / 3 +
             z * (2.0 / 5 +
                  z * (2.0 / 7 +
                       z * (2.0 / 9 +
                            z * (2.0 / 11 +
                                 z * (2.0 / 13 +
                                      z * (2.0 / 15 +
                                           z * (2.0 / 17 + z * (2.0 / 19 + z * (2.0 / 21))))))))));
    const D y = k * kLn2Hi - ((hfsq - (s * (hfsq + r) + k * kLn2Lo)) - f);
    H result = __builtin_convertvector(y, H);
    // Lanes whose dropped 29 mantissa bits are within 16 units of the halfway pattern,
    // and +inf inputs, are recomputed exactly.
    const U low = bit_cast_vec<U>(y) & 0x1fffffffull;
    const U near = (low - (0x10000000ull - 16u)) <= 32u;
    const U special = bits == 0x7ff0000000000000ull;
    const U redo = near | special;
    std::uint64_t any = 0;
    for (std::size_t l = 0; l < kDl; ++l) any |= redo[l];
    if (any != 0) {
      for (std::size_t l = 0; l < kDl; ++l) {
        if (redo[l] != 0) result[l] = log_f32(in[i + l]);
      }
    }
    std::memcpy(out + i, &result, sizeof result);
  }
  for (; i < n; ++i) out[i] = log_f32(in[i]);
}

template <int W>
[[gnu::always_inline]] inline void floored_log(const float* in, float* out, std::size_t n) {
  constexpr std::size_t kChunk = 256;
  alignas(64) float floored[kChunk];
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t len = std::min(kChunk, n - start);
    for (std::size_t i = 0; i < len; ++i) {
      const float e = in[start + i];
      floored[i] = e > kLogFloor ? e : kLogFloor;
    }
    log_of_floored<W>(floored, out + start, len);
  }
}

// Scratch of a vector kernel, reused from one group of W frames to the next. Vectors hold
// one frame per lane.
template <int W>
struct VectorScratch {
  using F = typename Lanes<W>::F;
  alignas(64) float staging[400 * W];  // sample i of lane l at i * W + l
  F x[400];
  F re[kFftSize];
  F im[kFftSize];
  F power[kSpectrumBins];
  alignas(64) float energy[kMelBins * W];  // mel bin m of lane l at m * W + l
  alignas(64) float logs[kMelBins * W];    // the same layout
};

// The samples of frames first, first + 1, ..., first + active - 1 (active <= W) into the
// lanes of s.staging; lanes past the last frame repeat it, and their results are dropped.
template <int W>
[[gnu::always_inline]] inline void stage_frames(const float* samples, std::size_t first,
                                                std::size_t active, VectorScratch<W>& s) {
  for (std::size_t l = 0; l < W; ++l) {
    const float* src = samples + (first + std::min(l, active - 1)) * kFilterbankFrameShift;
    for (std::size_t i = 0; i < 400; ++i) s.staging[i * W + l] = src[i];
  }
}

// Steps 1 to 4 (scale, DC removal, pre-emphasis, window) of the staged frames, stored in
// bit-reversed order into s.re, with s.im zeroed: the input of the FFT stages.
template <int W>
[[gnu::always_inline]] inline void windowed_frames(const FilterbankTables& tables,
                                                   VectorScratch<W>& s) {
  using F = typename Lanes<W>::F;
  F* const x = s.x;
  F sum = splat<F>(-0.0f);
  for (std::size_t i = 0; i < 400; ++i) {
    F raw;
    std::memcpy(&raw, s.staging + i * W, sizeof raw);
    x[i] = raw * kSampleScale;
    sum = sum + x[i];
  }
  const F mean = sum / 400.0f;
  for (std::size_t i = 0; i < 400; ++i) x[i] = x[i] - mean;

  const F zero = splat<F>(0.0f);
  for (std::size_t i = 399; i >= 1; --i) {
    s.re[kBitReversal[i]] = (x[i] - kPreemphasis * x[i - 1]) * tables.window[i];
  }
  s.re[0] = (x[0] - kPreemphasis * x[0]) * tables.window[0];
  for (std::size_t i = 400; i < kFftSize; ++i) s.re[kBitReversal[i]] = zero;
  for (std::size_t i = 0; i < kFftSize; ++i) s.im[i] = zero;
}

// Step 5 after the permutation: the butterfly stages L = 2, 4, ..., 512 in place.
template <int W>
[[gnu::always_inline]] inline void fft_stages(const FilterbankTables& tables, VectorScratch<W>& s) {
  using F = typename Lanes<W>::F;
  F* const re = s.re;
  F* const im = s.im;
  for (std::size_t len = 2; len <= kFftSize; len *= 2) {
    const std::size_t half = len / 2;
    const float* tw_re = tables.twiddle_re.data() + (half - 1);
    const float* tw_im = tables.twiddle_im.data() + (half - 1);
    for (std::size_t j = 0; j < kFftSize; j += len) {
      for (std::size_t k = 0; k < half; ++k) {
        const float wr = tw_re[k];
        const float wi = tw_im[k];
        const std::size_t a = j + k;
        const std::size_t b = a + half;
        const F tr = wr * re[b] - wi * im[b];
        const F ti = wi * re[b] + wr * im[b];
        const F ar = re[a];
        const F ai = im[a];
        re[b] = ar - tr;
        im[b] = ai - ti;
        re[a] = ar + tr;
        im[a] = ai + ti;
      }
    }
  }
}

// Steps 6 and 7: power spectrum, floored mel energies and their logarithms into s.logs.
template <int W>
[[gnu::always_inline]] inline void log_mel_energies(const FilterbankTables& tables,
                                                    VectorScratch<W>& s) {
  using F = typename Lanes<W>::F;
  for (std::size_t k = 0; k < kSpectrumBins; ++k) {
    s.power[k] = s.re[k] * s.re[k] + s.im[k] * s.im[k];
  }
  const F zero = splat<F>(0.0f);
  const F log_floor = splat<F>(kLogFloor);
  for (std::size_t m = 0; m < kMelBins; ++m) {
    const std::span<const float> weights = tables.weights(m);
    const F* bin_power = s.power + tables.mel_bins[m].start_bin;
    F e = zero;
    for (std::size_t j = 0; j < weights.size(); ++j) e = e + weights[j] * bin_power[j];
    e = e > log_floor ? e : log_floor;
    std::memcpy(s.energy + m * W, &e, sizeof e);
  }
  log_of_floored<W>(s.energy, s.logs, kMelBins * W);
}

template <int W>
[[gnu::always_inline]] inline void log_mel_frames(const FilterbankTables& tables,
                                                  const float* samples, std::size_t first_frame,
                                                  std::size_t count, float* out) {
  auto scratch = std::make_unique<VectorScratch<W>>();
  for (std::size_t group = 0; group < count; group += W) {
    const std::size_t active = std::min<std::size_t>(W, count - group);
    stage_frames<W>(samples, first_frame + group, active, *scratch);
    windowed_frames<W>(tables, *scratch);
    fft_stages<W>(tables, *scratch);
    log_mel_energies<W>(tables, *scratch);
    for (std::size_t l = 0; l < active; ++l) {
      float* row = out + (group + l) * kMelBins;
      for (std::size_t m = 0; m < kMelBins; ++m) row[m] = scratch->logs[m * W + l];
    }
  }
}

}  // namespace

void log_mel_frames_sse2(const FilterbankTables& tables, const float* samples,
                         std::size_t first_frame, std::size_t count, float* out) {
  log_mel_frames<4>(tables, samples, first_frame, count, out);
}

void floored_log_sse2(const float* in, float* out, std::size_t n) { floored_log<4>(in, out, n); }

QUILLFEN_TARGET("avx2")
void log_mel_frames_avx2(const FilterbankTables& tables, const float* samples,
                         std::size_t first_frame, std::size_t count, float* out) {
  log_mel_frames<8>(tables, samples, first_frame, count, out);
}

QUILLFEN_TARGET("avx2")
void floored_log_avx2(const float* in, float* out, std::size_t n) { floored_log<8>(in, out, n); }

QUILLFEN_TARGET("avx512f")
void log_mel_frames_avx512(const FilterbankTables& tables, const float* samples,
                           std::size_t first_frame, std::size_t count, float* out) {
  log_mel_frames<16>(tables, samples, first_frame, count, out);
}

QUILLFEN_TARGET("avx512f")
void floored_log_avx512(const float* in, float* out, std::size_t n) { floored_log<16>(in, out, n); }

}  // namespace quillfen::speakers::filterbank_detail
