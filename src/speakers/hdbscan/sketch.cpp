#include "speakers/hdbscan/sketch.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "speakers/cpu_features.h"
#include "speakers/simd.h"

namespace quillfen::speakers::hdbscan {
namespace {

// Relative and absolute margins of the bounds (see SketchScale). The rounding errors they cover
// are below 1e-12 relative (a sum of at most 32768 squares) and far below the absolute terms.
constexpr double kRelativeMargin = 1e-6;
constexpr double kScaleMargin = 1e-9;
constexpr std::size_t kMaxDims = 32768;  // keeps squared sketch distances within int32

// ---- portable kernels ----

// Sum over j < dims of (a[j] - b[j])^2, exact in 32-bit integers.
[[nodiscard]] std::int32_t squared_gap(const std::int8_t* a, const std::int8_t* b,
                                       std::size_t dims) {
  std::int32_t sum = 0;
  for (std::size_t j = 0; j < dims; ++j) {
    const std::int32_t d = static_cast<std::int32_t>(a[j]) - b[j];
    sum += d * d;
  }
  return sum;
}

void sketch_scalar(const std::int8_t* query, const std::int8_t* rows, std::size_t count,
                   std::size_t dims, std::int32_t* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = squared_gap(query, rows + r * dims, dims);
}

[[nodiscard]] std::int32_t box_scalar(const std::int8_t* query, const std::int8_t* lower,
                                      const std::int8_t* upper, std::size_t dims) {
  std::int32_t sum = 0;
  for (std::size_t j = 0; j < dims; ++j) {
    const std::int32_t q = query[j];
    const std::int32_t d = q > upper[j] ? q - upper[j] : (q < lower[j] ? lower[j] - q : 0);
    sum += d * d;
  }
  return sum;
}

// Rows of 32-bit floats are widened exactly, value by value, before the subtraction.
template <class T>
void euclid_scalar(const T* const* left, const T* const* rows, std::size_t count, std::size_t dims,
                   double* out) {
  for (std::size_t r = 0; r < count; ++r) {
    double sum = 0.0;
    for (std::size_t j = 0; j < dims; ++j) {
      const double diff = static_cast<double>(left[r][j]) - static_cast<double>(rows[r][j]);
      sum += diff * diff;
    }
    out[r] = std::sqrt(sum);
  }
}

// Sums of squared differences of 32-bit rows in 32-bit arithmetic, in any order (only bounds
// are taken from them).
void squares_f32_scalar(const float* const* left, const float* const* rows, std::size_t count,
                        std::size_t dims, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    float part[4] = {};
    std::size_t j = 0;
    for (; j + 4 <= dims; j += 4) {
      for (std::size_t l = 0; l < 4; ++l) {
        const float diff = left[r][j + l] - rows[r][j + l];
        part[l] += diff * diff;
      }
    }
    for (; j < dims; ++j) {
      const float diff = left[r][j] - rows[r][j];
      part[0] += diff * diff;
    }
    out[r] = (part[0] + part[1]) + (part[2] + part[3]);
  }
}

#ifdef QUILLFEN_X86

// Two values of a row as 64-bit floats (32-bit ones widened exactly).
[[nodiscard]] inline __m128d load2(const double* p) { return _mm_loadu_pd(p); }
[[nodiscard]] inline __m128d load2(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// Two rows per 128-bit register (SSE2 belongs to the x86-64 baseline).
template <class T>
void euclid_sse2(const T* const* left, const T* const* rows, std::size_t count, std::size_t dims,
                 double* out) {
  std::size_t r = 0;
  for (; r + 2 <= count; r += 2) {
    const T* a0 = left[r];
    const T* a1 = left[r + 1];
    const T* p0 = rows[r];
    const T* p1 = rows[r + 1];
    __m128d acc = _mm_setzero_pd();
    std::size_t j = 0;
    for (; j + 2 <= dims; j += 2) {
      const __m128d d0 = _mm_sub_pd(load2(a0 + j), load2(p0 + j));
      const __m128d d1 = _mm_sub_pd(load2(a1 + j), load2(p1 + j));
      const __m128d s0 = _mm_mul_pd(d0, d0);
      const __m128d s1 = _mm_mul_pd(d1, d1);
      acc = _mm_add_pd(acc, _mm_unpacklo_pd(s0, s1));  // dimension j of both rows
      acc = _mm_add_pd(acc, _mm_unpackhi_pd(s0, s1));  // dimension j + 1
    }
    for (; j < dims; ++j) {
      const __m128d d =
          _mm_sub_pd(_mm_set_pd(static_cast<double>(a1[j]), static_cast<double>(a0[j])),
                     _mm_set_pd(static_cast<double>(p1[j]), static_cast<double>(p0[j])));
      acc = _mm_add_pd(acc, _mm_mul_pd(d, d));
    }
    _mm_storeu_pd(out + r, _mm_sqrt_pd(acc));
  }
  euclid_scalar(left + r, rows + r, count - r, dims, out + r);
}

void squares_f32_sse2(const float* const* left, const float* const* rows, std::size_t count,
                      std::size_t dims, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    __m128 acc = _mm_setzero_ps();
    std::size_t j = 0;
    for (; j + 4 <= dims; j += 4) {
      const __m128 d = _mm_sub_ps(_mm_loadu_ps(left[r] + j), _mm_loadu_ps(rows[r] + j));
      acc = _mm_add_ps(acc, _mm_mul_ps(d, d));
    }
    float part[4];
    _mm_storeu_ps(part, acc);
    float sum = (part[0] + part[1]) + (part[2] + part[3]);
    for (; j < dims; ++j) {
      const float diff = left[r][j] - rows[r][j];
      sum += diff * diff;
    }
    out[r] = sum;
  }
}

// ---- AVX2 ----

QUILLFEN_TARGET("avx2")
void squares_f32_avx2(const float* const* left, const float* const* rows, std::size_t count,
                      std::size_t dims, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    __m256 acc0 = _mm256_setzero_ps();
    __m256 acc1 = _mm256_setzero_ps();
    std::size_t j = 0;
    for (; j + 16 <= dims; j += 16) {
      const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(left[r] + j), _mm256_loadu_ps(rows[r] + j));
      const __m256 d1 =
          _mm256_sub_ps(_mm256_loadu_ps(left[r] + j + 8), _mm256_loadu_ps(rows[r] + j + 8));
      acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(d0, d0));
      acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(d1, d1));
    }
    const __m256 acc = _mm256_add_ps(acc0, acc1);
    __m128 half = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
    half = _mm_add_ps(half, _mm_movehl_ps(half, half));
    half = _mm_add_ss(half, _mm_shuffle_ps(half, half, 1));
    float sum = _mm_cvtss_f32(half);
    for (; j < dims; ++j) {
      const float diff = left[r][j] - rows[r][j];
      sum += diff * diff;
    }
    out[r] = sum;
  }
}

// The sum of the eight 32-bit lanes.
[[nodiscard]] QUILLFEN_TARGET("avx2") inline std::int32_t lane_sum(__m256i acc) {
  __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4e));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xb1));
  return _mm_cvtsi128_si32(sum);
}

// 16 signed values widened to 16 bits.
[[nodiscard]] QUILLFEN_TARGET("avx2") inline __m256i widen16(const std::int8_t* values) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values)));
}

QUILLFEN_TARGET("avx2")
void sketch_avx2(const std::int8_t* query, const std::int8_t* rows, std::size_t count,
                 std::size_t dims, std::int32_t* out) {
  const std::size_t blocks = dims / 16;
  const std::size_t done = blocks * 16;
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* row = rows + r * dims;
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t b = 0; b < blocks; ++b) {
      const __m256i d = _mm256_sub_epi16(widen16(query + 16 * b), widen16(row + 16 * b));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
    }
    out[r] = lane_sum(acc) + squared_gap(query + done, row + done, dims - done);
  }
}

[[nodiscard]] QUILLFEN_TARGET("avx2") std::int32_t
    box_avx2(const std::int8_t* query, const std::int8_t* lower, const std::int8_t* upper,
             std::size_t dims) {
  const std::size_t blocks = dims / 32;
  __m256i acc = _mm256_setzero_si256();
  for (std::size_t b = 0; b < blocks; ++b) {
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + 32 * b));
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + 32 * b));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + 32 * b));
    const __m256i c = _mm256_max_epi8(lo, _mm256_min_epi8(hi, q));
    const __m256i q_lo = _mm256_cvtepi8_epi16(_mm256_castsi256_si128(q));
    const __m256i q_hi = _mm256_cvtepi8_epi16(_mm256_extracti128_si256(q, 1));
    const __m256i c_lo = _mm256_cvtepi8_epi16(_mm256_castsi256_si128(c));
    const __m256i c_hi = _mm256_cvtepi8_epi16(_mm256_extracti128_si256(c, 1));
    const __m256i d_lo = _mm256_sub_epi16(q_lo, c_lo);
    const __m256i d_hi = _mm256_sub_epi16(q_hi, c_hi);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d_lo, d_lo));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d_hi, d_hi));
  }
  const std::size_t done = blocks * 32;
  return lane_sum(acc) + box_scalar(query + done, lower + done, upper + done, dims - done);
}

// Four rows per register; each block of four dimensions is transposed so that the four
// additions into a lane follow the row's index order.
[[nodiscard]] QUILLFEN_TARGET("avx2") inline __m256d load4(const double* p) {
  return _mm256_loadu_pd(p);
}
[[nodiscard]] QUILLFEN_TARGET("avx2") inline __m256d load4(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

template <class T>
QUILLFEN_TARGET("avx2")
void euclid_avx2(const T* const* left, const T* const* rows, std::size_t count, std::size_t dims,
                 double* out) {
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const T* a0 = left[r];
    const T* a1 = left[r + 1];
    const T* a2 = left[r + 2];
    const T* a3 = left[r + 3];
    const T* p0 = rows[r];
    const T* p1 = rows[r + 1];
    const T* p2 = rows[r + 2];
    const T* p3 = rows[r + 3];
    __m256d acc = _mm256_setzero_pd();
    std::size_t j = 0;
    for (; j + 4 <= dims; j += 4) {
      const __m256d d0 = _mm256_sub_pd(load4(a0 + j), load4(p0 + j));
      const __m256d d1 = _mm256_sub_pd(load4(a1 + j), load4(p1 + j));
      const __m256d d2 = _mm256_sub_pd(load4(a2 + j), load4(p2 + j));
      const __m256d d3 = _mm256_sub_pd(load4(a3 + j), load4(p3 + j));
      const __m256d s0 = _mm256_mul_pd(d0, d0);
      const __m256d s1 = _mm256_mul_pd(d1, d1);
      const __m256d s2 = _mm256_mul_pd(d2, d2);
      const __m256d s3 = _mm256_mul_pd(d3, d3);
      const __m256d t0 = _mm256_unpacklo_pd(s0, s1);  // s0[0] s1[0] s0[2] s1[2]
      const __m256d t1 = _mm256_unpackhi_pd(s0, s1);  // s0[1] s1[1] s0[3] s1[3]
      const __m256d t2 = _mm256_unpacklo_pd(s2, s3);
      const __m256d t3 = _mm256_unpackhi_pd(s2, s3);
      acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x20));  // dimension j
      acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x20));  // j + 1
      acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x31));  // j + 2
      acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x31));  // j + 3
    }
    for (; j < dims; ++j) {
      const __m256d d =
          _mm256_sub_pd(_mm256_set_pd(static_cast<double>(a3[j]), static_cast<double>(a2[j]),
                                      static_cast<double>(a1[j]), static_cast<double>(a0[j])),
                        _mm256_set_pd(static_cast<double>(p3[j]), static_cast<double>(p2[j]),
                                      static_cast<double>(p1[j]), static_cast<double>(p0[j])));
      acc = _mm256_add_pd(acc, _mm256_mul_pd(d, d));
    }
    _mm256_storeu_pd(out + r, _mm256_sqrt_pd(acc));
  }
  euclid_sse2(left + r, rows + r, count - r, dims, out + r);
}

// ---- AVX-512 ----

// The AVX-512 intrinsics start from deliberately undefined registers, which GCC 12 reports as
// (possibly) uninitialised, depending on the optimisation level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// 32 signed values widened to 16 bits.
[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw") inline __m512i
    widen32(const std::int8_t* values) {
  return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)));
}

// acc plus the squared distances of the 32 widened values x from the box [lo, hi], pairwise
// summed into 32-bit lanes.
[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw") inline __m512i
    add_box_squares(__m512i acc, __m512i x, __m512i lo, __m512i hi) {
  const __m512i d = _mm512_sub_epi16(x, _mm512_max_epi16(lo, _mm512_min_epi16(hi, x)));
  return _mm512_add_epi32(acc, _mm512_madd_epi16(d, d));
}

QUILLFEN_TARGET("avx512f,avx512bw")
void sketch_avx512(const std::int8_t* query, const std::int8_t* rows, std::size_t count,
                   std::size_t dims, std::int32_t* out) {
  constexpr std::size_t kHeld = 16;  // query blocks of 32 values kept widened in registers
  const std::size_t blocks = dims / 32;
  if (blocks > kHeld) {
    sketch_avx2(query, rows, count, dims, out);
    return;
  }
  __m512i q[kHeld];
  for (std::size_t b = 0; b < blocks; ++b) q[b] = widen32(query + 32 * b);
  const std::size_t done = blocks * 32;
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* row = rows + r * dims;
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t b = 0; b < blocks; ++b) {
      const __m512i d = _mm512_sub_epi16(q[b], widen32(row + 32 * b));
      acc = _mm512_add_epi32(acc, _mm512_madd_epi16(d, d));
    }
    out[r] = _mm512_reduce_add_epi32(acc) + squared_gap(query + done, row + done, dims - done);
  }
}

[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw") std::int32_t
    box_avx512(const std::int8_t* query, const std::int8_t* lower, const std::int8_t* upper,
               std::size_t dims) {
  const std::size_t blocks = dims / 32;
  __m512i acc = _mm512_setzero_si512();
  for (std::size_t b = 0; b < blocks; ++b) {
    acc = add_box_squares(acc, widen32(query + 32 * b), widen32(lower + 32 * b),
                          widen32(upper + 32 * b));
  }
  const std::size_t done = blocks * 32;
  return _mm512_reduce_add_epi32(acc) +
         box_scalar(query + done, lower + done, upper + done, dims - done);
}

constexpr std::size_t kHeldBoxBlocks = 8;  // box blocks of 32 values kept widened in registers

// One box against several queries, the box's first `blocks` (at most kHeldBoxBlocks) blocks
// of 32 values held widened in registers.
QUILLFEN_TARGET("avx512f,avx512bw")
__attribute__((always_inline)) inline void boxes_held(const std::int8_t* lower,
                                                      const std::int8_t* upper,
                                                      const SketchQuery* const* queries,
                                                      std::size_t count, std::size_t dims,
                                                      std::size_t blocks, std::int32_t* out) {
  __m512i lo[kHeldBoxBlocks];
  __m512i hi[kHeldBoxBlocks];
  for (std::size_t b = 0; b < blocks; ++b) {
    lo[b] = widen32(lower + 32 * b);
    hi[b] = widen32(upper + 32 * b);
  }
  const std::size_t done = blocks * 32;
  for (std::size_t q = 0; q < count; ++q) {
    const std::int8_t* v = queries[q]->values.data();
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t b = 0; b < blocks; ++b) {
      acc = add_box_squares(acc, widen32(v + 32 * b), lo[b], hi[b]);
    }
    out[q] = _mm512_reduce_add_epi32(acc) +
             box_scalar(v + done, lower + done, upper + done, dims - done);
  }
}

// One box against several queries: the box stays widened in registers.
QUILLFEN_TARGET("avx512f,avx512bw")
void boxes_avx512(const std::int8_t* lower, const std::int8_t* upper,
                  const SketchQuery* const* queries, std::size_t count, std::size_t dims,
                  std::int32_t* out) {
  const std::size_t blocks = dims / 32;
  if (dims == 256) {
    // The embedding size, with every block count known at compile time.
    boxes_held(lower, upper, queries, count, 256, 8, out);
  } else if (blocks <= kHeldBoxBlocks) {
    boxes_held(lower, upper, queries, count, dims, blocks, out);
  } else {
    for (std::size_t q = 0; q < count; ++q) {
      out[q] = box_avx512(queries[q]->values.data(), lower, upper, dims);
    }
  }
}

// acc plus the squares of eight rows in eight dimensions, s[l] holding row l's: the 8 x 8 block
// is transposed so that lane l adds s[l][0], s[l][1], ..., s[l][7] in this order.
[[nodiscard]] QUILLFEN_TARGET("avx512f") __attribute__((always_inline)) inline __m512d
    add_transposed(__m512d acc, const __m512d s[8]) {
  const __m512i pick_even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i pick_odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  // Rows 2m, 2m+1 interleaved for dimensions k, k+2, k+4, k+6.
  const __m512d a0 = _mm512_unpacklo_pd(s[0], s[1]);  // dims 0 2 4 6 of rows 0 1
  const __m512d a1 = _mm512_unpackhi_pd(s[0], s[1]);  // dims 1 3 5 7 of rows 0 1
  const __m512d b0 = _mm512_unpacklo_pd(s[2], s[3]);
  const __m512d b1 = _mm512_unpackhi_pd(s[2], s[3]);
  const __m512d c0 = _mm512_unpacklo_pd(s[4], s[5]);
  const __m512d c1 = _mm512_unpackhi_pd(s[4], s[5]);
  const __m512d e0 = _mm512_unpacklo_pd(s[6], s[7]);
  const __m512d e1 = _mm512_unpackhi_pd(s[6], s[7]);
  // Rows 0..3 for dims {0, 4} and {2, 6} (from a0, b0), {1, 5} and {3, 7} (a1, b1).
  const __m512d f04 = _mm512_permutex2var_pd(a0, pick_even, b0);
  const __m512d f26 = _mm512_permutex2var_pd(a0, pick_odd, b0);
  const __m512d f15 = _mm512_permutex2var_pd(a1, pick_even, b1);
  const __m512d f37 = _mm512_permutex2var_pd(a1, pick_odd, b1);
  // Rows 4..7 likewise.
  const __m512d g04 = _mm512_permutex2var_pd(c0, pick_even, e0);
  const __m512d g26 = _mm512_permutex2var_pd(c0, pick_odd, e0);
  const __m512d g15 = _mm512_permutex2var_pd(c1, pick_even, e1);
  const __m512d g37 = _mm512_permutex2var_pd(c1, pick_odd, e1);
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f04, g04, 0x44));  // dimension 0
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f15, g15, 0x44));  // 1
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f26, g26, 0x44));  // 2
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f37, g37, 0x44));  // 3
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f04, g04, 0xee));  // 4
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f15, g15, 0xee));  // 5
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f26, g26, 0xee));  // 6
  acc = _mm512_add_pd(acc, _mm512_shuffle_f64x2(f37, g37, 0xee));  // 7
  return acc;
}

// Eight rows per register; 8 x 8 blocks are transposed so that each lane adds its row's
// squares in index order.
[[nodiscard]] QUILLFEN_TARGET("avx512f") inline __m512d load8(const double* p) {
  return _mm512_loadu_pd(p);
}
[[nodiscard]] QUILLFEN_TARGET("avx512f") inline __m512d load8(const float* p) {
  return _mm512_cvtps_pd(_mm256_loadu_ps(p));
}

template <class T>
QUILLFEN_TARGET("avx512f")
void euclid_avx512(const T* const* left, const T* const* rows, std::size_t count, std::size_t dims,
                   double* out) {
  std::size_t r = 0;
  for (; r + 8 <= count; r += 8) {
    const T* a[8];
    const T* p[8];
    for (int l = 0; l < 8; ++l) {
      a[l] = left[r + static_cast<std::size_t>(l)];
      p[l] = rows[r + static_cast<std::size_t>(l)];
    }
    __m512d acc = _mm512_setzero_pd();
    std::size_t j = 0;
    for (; j + 8 <= dims; j += 8) {
      __m512d s[8];
      for (int l = 0; l < 8; ++l) {
        const __m512d d = _mm512_sub_pd(load8(a[l] + j), load8(p[l] + j));
        s[l] = _mm512_mul_pd(d, d);
      }
      acc = add_transposed(acc, s);
    }
    for (; j < dims; ++j) {
      double v_lanes[8];
      double u_lanes[8];
      for (int l = 0; l < 8; ++l) {
        v_lanes[l] = static_cast<double>(p[l][j]);
        u_lanes[l] = static_cast<double>(a[l][j]);
      }
      const __m512d v = _mm512_loadu_pd(v_lanes);
      const __m512d u = _mm512_loadu_pd(u_lanes);
      const __m512d d = _mm512_sub_pd(u, v);
      acc = _mm512_add_pd(acc, _mm512_mul_pd(d, d));
    }
    _mm512_storeu_pd(out + r, _mm512_sqrt_pd(acc));
  }
  euclid_avx2(left + r, rows + r, count - r, dims, out + r);
}

QUILLFEN_TARGET("avx512f")
void squares_f32_avx512(const float* const* left, const float* const* rows, std::size_t count,
                        std::size_t dims, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    __m512 acc = _mm512_setzero_ps();
    std::size_t j = 0;
    for (; j + 16 <= dims; j += 16) {
      const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(left[r] + j), _mm512_loadu_ps(rows[r] + j));
      acc = _mm512_add_ps(acc, _mm512_mul_ps(d, d));
    }
    float sum = _mm512_reduce_add_ps(acc);
    for (; j < dims; ++j) {
      const float diff = left[r][j] - rows[r][j];
      sum += diff * diff;
    }
    out[r] = sum;
  }
}

constexpr std::size_t kHeldSketchBlocks = 8;  // query blocks of 64 values kept in registers

// The four accumulators' sums of their 16 lanes, as four 32-bit lanes.
[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni") inline __m128i
    fold_four(const __m512i acc[4]) {
  const __m512i t01 = _mm512_add_epi32(_mm512_unpacklo_epi32(acc[0], acc[1]),
                                       _mm512_unpackhi_epi32(acc[0], acc[1]));
  const __m512i t23 = _mm512_add_epi32(_mm512_unpacklo_epi32(acc[2], acc[3]),
                                       _mm512_unpackhi_epi32(acc[2], acc[3]));
  const __m512i u =
      _mm512_add_epi32(_mm512_unpacklo_epi64(t01, t23), _mm512_unpackhi_epi64(t01, t23));
  const __m256i v = _mm256_add_epi32(_mm512_castsi512_si256(u), _mm512_extracti64x4_epi64(u, 1));
  return _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// Lane sums of the dot products of the shifted query (held blocks q, then the masked tail)
// with one row.
[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
    __attribute__((always_inline)) inline __m512i
    shifted_dots(const __m512i* q, std::size_t blocks, const std::int8_t* row, __mmask64 tail_mask,
                 __m512i q_tail) {
  __m512i acc = _mm512_setzero_si512();
  for (std::size_t b = 0; b < blocks; ++b) {
    acc = _mm512_dpbusd_epi32(acc, q[b], _mm512_loadu_si512(row + 64 * b));
  }
  if (tail_mask != 0) {
    acc = _mm512_dpbusd_epi32(acc, q_tail, _mm512_maskz_loadu_epi8(tail_mask, row + 64 * blocks));
  }
  return acc;
}

// sketch_vnni for dims values in `blocks` (at most kHeldSketchBlocks) blocks of 64 and a tail
// of fewer than 64, the shifted query held in registers.
QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
__attribute__((always_inline)) inline void sketch_held(
    const std::int8_t* query, std::int32_t query_squares, const std::int8_t* rows,
    const std::int32_t* sums, const std::int32_t* squares, std::size_t count, std::size_t dims,
    std::size_t blocks, std::int32_t* out) {
  const std::size_t tail = dims - 64 * blocks;
  const __mmask64 tail_mask = tail == 0 ? 0 : (~std::uint64_t{0} >> (64 - tail));
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));  // value + 128 as unsigned
  __m512i q[kHeldSketchBlocks];
  for (std::size_t b = 0; b < blocks; ++b) {
    q[b] = _mm512_xor_si512(_mm512_loadu_si512(query + 64 * b), flip);
  }
  // Lanes past the tail meet zero row values, so their shifted query value does not matter.
  const __m512i q_tail =
      _mm512_xor_si512(_mm512_maskz_loadu_epi8(tail_mask, query + 64 * blocks), flip);
  std::size_t r = 0;
  // Four rows at a time: their 16-lane partial sums are folded together before the last steps.
  for (; r + 4 <= count; r += 4) {
    __m512i acc[4];
    for (std::size_t l = 0; l < 4; ++l) {
      acc[l] = shifted_dots(q, blocks, rows + (r + l) * dims, tail_mask, q_tail);
    }
    // dot = total - 128 * sum; out = query squares + row squares - 2 * dot.
    const __m128i dot = _mm_sub_epi32(
        fold_four(acc),
        _mm_slli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + r)), 7));
    const __m128i result =
        _mm_sub_epi32(_mm_add_epi32(_mm_set1_epi32(query_squares),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(squares + r))),
                      _mm_slli_epi32(dot, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + r), result);
  }
  for (; r < count; ++r) {
    const __m512i acc = shifted_dots(q, blocks, rows + r * dims, tail_mask, q_tail);
    const std::int32_t dot = _mm512_reduce_add_epi32(acc) - 128 * sums[r];
    out[r] = query_squares + squares[r] - 2 * dot;
  }
}

// Dot products of the shifted query (values + 128, unsigned) with the signed row values, 64
// per instruction; the shift is undone with the row's sum, and the squared distance follows
// from the two sums of squares. Every step is exact in 32-bit integers for dims <= 32768.
QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
void sketch_vnni(const std::int8_t* query, std::int32_t query_squares, const std::int8_t* rows,
                 const std::int32_t* sums, const std::int32_t* squares, std::size_t count,
                 std::size_t dims, std::int32_t* out) {
  const std::size_t blocks = dims / 64;
  if (dims == 256) {
    // The embedding size, with every block count known at compile time.
    sketch_held(query, query_squares, rows, sums, squares, count, 256, 4, out);
  } else if (blocks <= kHeldSketchBlocks) {
    sketch_held(query, query_squares, rows, sums, squares, count, dims, blocks, out);
  } else {
    sketch_avx512(query, rows, count, dims, out);
  }
}

#pragma GCC diagnostic pop

#endif  // QUILLFEN_X86

using SketchKernel = void (*)(const std::int8_t*, std::int32_t, const std::int8_t*,
                              const std::int32_t*, const std::int32_t*, std::size_t, std::size_t,
                              std::int32_t*);

// The kernels that work on the signed values alone.
template <void (*kernel)(const std::int8_t*, const std::int8_t*, std::size_t, std::size_t,
                         std::int32_t*)>
void on_values(const std::int8_t* query, std::int32_t, const std::int8_t* rows, const std::int32_t*,
               const std::int32_t*, std::size_t count, std::size_t dims, std::int32_t* out) {
  kernel(query, rows, count, dims, out);
}

using BoxKernel = std::int32_t (*)(const std::int8_t*, const std::int8_t*, const std::int8_t*,
                                   std::size_t);
using BoxesKernel = void (*)(const std::int8_t*, const std::int8_t*, const SketchQuery* const*,
                             std::size_t, std::size_t, std::int32_t*);

template <BoxKernel kernel>
void each_box(const std::int8_t* lower, const std::int8_t* upper, const SketchQuery* const* queries,
              std::size_t count, std::size_t dims, std::int32_t* out) {
  for (std::size_t q = 0; q < count; ++q)
    out[q] = kernel(queries[q]->values.data(), lower, upper, dims);
}

struct Kernels {
  SketchKernel sketch = on_values<sketch_scalar>;
  BoxKernel box = box_scalar;
  BoxesKernel boxes = each_box<box_scalar>;
  void (*euclid)(const double* const*, const double* const*, std::size_t, std::size_t,
                 double*) = euclid_scalar<double>;
  void (*euclid_f32)(const float* const*, const float* const*, std::size_t, std::size_t,
                     double*) = euclid_scalar<float>;
  void (*squares_f32)(const float* const*, const float* const*, std::size_t, std::size_t,
                      float*) = squares_f32_scalar;
};

[[nodiscard]] SimdLevel detect_level() {
#ifdef QUILLFEN_X86
  const CpuFeatures& cpu = cpu_features();
  if (!cpu.avx2) return SimdLevel::Sse2;
  if (!cpu.avx512f || !cpu.avx512bw) return SimdLevel::Avx2;
  return cpu.avx512vnni ? SimdLevel::Avx512Vnni : SimdLevel::Avx512;
#else
  return SimdLevel::Portable;
#endif
}

[[nodiscard]] Kernels build_kernels([[maybe_unused]] SimdLevel level) {
  Kernels k;
#ifdef QUILLFEN_X86
  switch (level) {
    case SimdLevel::Portable:
      break;
    case SimdLevel::Sse2:
      k.euclid = euclid_sse2<double>;
      k.euclid_f32 = euclid_sse2<float>;
      k.squares_f32 = squares_f32_sse2;
      break;
    case SimdLevel::Avx2:
      k = {on_values<sketch_avx2>, box_avx2,           each_box<box_avx2>,
           euclid_avx2<double>,    euclid_avx2<float>, squares_f32_avx2};
      break;
    case SimdLevel::Avx512:
      k = {on_values<sketch_avx512>, box_avx512,           boxes_avx512,
           euclid_avx512<double>,    euclid_avx512<float>, squares_f32_avx512};
      break;
    case SimdLevel::Avx512Vnni:
      k = {sketch_vnni,           box_avx512,           boxes_avx512,
           euclid_avx512<double>, euclid_avx512<float>, squares_f32_avx512};
      break;
  }
#endif
  return k;
}

// The kernels of a level, capped at the best available.
[[nodiscard]] const Kernels& kernels_for(SimdLevel level) {
  static const Kernels all[] = {build_kernels(SimdLevel::Portable), build_kernels(SimdLevel::Sse2),
                                build_kernels(SimdLevel::Avx2), build_kernels(SimdLevel::Avx512),
                                build_kernels(SimdLevel::Avx512Vnni)};
  return all[static_cast<int>(std::min(level, best_simd_level()))];
}

[[nodiscard]] const Kernels& kernels() { return kernels_for(best_simd_level()); }

}  // namespace

double euclidean_distance(std::span<const double> a, std::span<const double> b) {
  double sum = 0.0;
  for (std::size_t j = 0; j < a.size(); ++j) {
    const double diff = a[j] - b[j];
    sum += diff * diff;
  }
  return std::sqrt(sum);
}

SketchScale SketchScale::for_rows(double max_abs, std::size_t dims) {
  SketchScale s;
  if (!(max_abs >= 1e-90 && max_abs <= 1e90) || dims == 0 || dims > kMaxDims) return s;
  s.scale_ = max_abs / 126.5;  // |x / s| stays below 127 with room for rounding
  s.inverse_ = 1.0 / s.scale_;
  s.shrunk_ = s.scale_ * (1.0 - kRelativeMargin);
  s.grown_ = s.scale_ * (1.0 + kRelativeMargin);
  return s;
}

SketchScale SketchScale::with_step(double step, std::size_t dims, int limit) {
  SketchScale s;
  if (!(step >= 1e-95 && step <= 1e90) || dims == 0 || dims > kMaxDims) return s;
  s.scale_ = step;
  s.limit_ = std::clamp(limit, 1, 127);
  s.inverse_ = 1.0 / s.scale_;
  s.shrunk_ = s.scale_ * (1.0 - kRelativeMargin);
  s.grown_ = s.scale_ * (1.0 + kRelativeMargin);
  return s;
}

template <class T>
double SketchScale::quantize_row(const T* row, std::size_t dims, std::int8_t* out) const {
  if (!usable()) {
    std::fill(out, out + dims, std::int8_t{0});
    return std::numeric_limits<double>::infinity();
  }
  const double limit = limit_;
  double sum = 0.0;
  for (std::size_t j = 0; j < dims; ++j) {
    const double x = static_cast<double>(row[j]);
    const double q = std::clamp(std::nearbyint(x * inverse_), -limit, limit);
    out[j] = static_cast<std::int8_t>(q);
    const double residual = x - scale_ * q;
    sum += residual * residual;
  }
  return std::sqrt(sum) * (1.0 + kRelativeMargin) + kScaleMargin * scale_;
}

double SketchScale::quantize(const double* row, std::size_t dims, std::int8_t* out) const {
  return quantize_row(row, dims, out);
}

double SketchScale::quantize(const float* row, std::size_t dims, std::int8_t* out) const {
  return quantize_row(row, dims, out);
}

void box_squared_distances(const std::int8_t* lower, const std::int8_t* upper,
                           const SketchQuery* const* queries, std::size_t count, std::size_t dims,
                           std::int32_t* out) {
  kernels().boxes(lower, upper, queries, count, dims, out);
}

std::int32_t box_squared_distance(const std::int8_t* query, const std::int8_t* lower,
                                  const std::int8_t* upper, std::size_t dims) {
  return kernels().box(query, lower, upper, dims);
}

namespace {

// Pairs through a level's kernel. The kernels of the widest level take whole vectors of pairs:
// a short tail fills one vector, its last pair repeated, and every lane sums its own pair, so
// the results are those of the narrower kernels.
template <class T>
void pair_distances(void (*euclid)(const T* const*, const T* const*, std::size_t, std::size_t,
                                   double*),
                    SimdLevel level, const T* const* left, const T* const* right, std::size_t count,
                    std::size_t dims, double* out) {
  constexpr std::size_t kLanes = 8;  // pairs per vector at the widest level
  const std::size_t whole = level >= SimdLevel::Avx512 ? count - count % kLanes : count;
  euclid(left, right, whole, dims, out);
  const std::size_t tail = count - whole;
  if (tail == 0) return;
  const T* l[kLanes];
  const T* r[kLanes];
  double o[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) {
    l[i] = left[whole + std::min(i, tail - 1)];
    r[i] = right[whole + std::min(i, tail - 1)];
  }
  euclid(l, r, kLanes, dims, o);
  std::copy_n(o, tail, out + whole);
}

}  // namespace

void euclidean_distances(const double* const* left, const double* const* right, std::size_t count,
                         std::size_t dims, double* out) {
  pair_distances(kernels().euclid, best_simd_level(), left, right, count, dims, out);
}

void euclidean_distances(const float* const* left, const float* const* right, std::size_t count,
                         std::size_t dims, double* out) {
  pair_distances(kernels().euclid_f32, best_simd_level(), left, right, count, dims, out);
}

void SketchQuery::assign(const std::int8_t* sketch, std::size_t dims, double error_bound) {
  values.assign(sketch, sketch + dims);
  squares = 0;
  for (std::size_t j = 0; j < dims; ++j) squares += values[j] * values[j];
  error = error_bound;
}

SketchSet::SketchSet(const SketchScale& scale, std::size_t dims, std::size_t slots)
    : scale_(scale),
      dims_(dims),
      values_(slots * dims),
      sums_(slots),
      squares_(slots),
      errors_(slots) {}

void SketchSet::set(std::size_t slot, const double* row) {
  std::int8_t* out = &values_[slot * dims_];
  errors_[slot] = scale_.quantize(row, dims_, out);
  std::int32_t sum = 0;
  std::int32_t squares = 0;
  for (std::size_t j = 0; j < dims_; ++j) {
    sum += out[j];
    squares += out[j] * out[j];
  }
  sums_[slot] = sum;
  squares_[slot] = squares;
}

void SketchSet::query_of(std::size_t slot, SketchQuery& query) const {
  query.assign(sketch(slot), dims_, errors_[slot]);
}

void SketchSet::query_of_row(const double* row, SketchQuery& query) const {
  std::vector<std::int8_t> values(dims_);
  const double error = scale_.quantize(row, dims_, values.data());
  query.assign(values.data(), dims_, error);
}

void SketchSet::squared_distances(SketchRef query, std::size_t first, std::size_t count,
                                  std::int32_t* out) const {
  kernels().sketch(query.values, query.squares, sketch(first), &sums_[first], &squares_[first],
                   count, dims_, out);
}

void SketchSet::lower_bounds(SketchRef query, std::size_t first, std::size_t count,
                             double* out) const {
  constexpr std::size_t kChunk = 64;
  std::int32_t squared[kChunk];
  for (std::size_t begin = 0; begin < count; begin += kChunk) {
    const std::size_t n = std::min(kChunk, count - begin);
    squared_distances(query, first + begin, n, squared);
    const double* errors = &errors_[first + begin];
    double* bounds = out + begin;
    std::size_t r = 0;
#ifdef QUILLFEN_X86
    const __m128d factor = _mm_set1_pd(scale_.shrunk_scale());
    const __m128d query_error = _mm_set1_pd(query.error);
    for (; r + 2 <= n; r += 2) {
      const __m128d root = _mm_sqrt_pd(
          _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(squared + r))));
      const __m128d e = _mm_add_pd(query_error, _mm_loadu_pd(errors + r));
      _mm_storeu_pd(bounds + r,
                    _mm_max_pd(_mm_sub_pd(_mm_mul_pd(factor, root), e), _mm_setzero_pd()));
    }
#endif
    for (; r < n; ++r) bounds[r] = scale_.lower_bound(squared[r], query.error + errors[r]);
  }
}

SimdLevel best_simd_level() {
  static const SimdLevel level = detect_level();
  return level;
}

void sketch_squared_distances_at(SimdLevel level, const SketchQuery& query, const SketchSet& set,
                                 std::size_t first, std::size_t count, std::int32_t* out) {
  kernels_for(level).sketch(query.values.data(), query.squares, set.sketch(first),
                            &set.sums_[first], &set.squares_[first], count, set.dims_, out);
}

std::int32_t box_squared_distance_at(SimdLevel level, const std::int8_t* query,
                                     const std::int8_t* lower, const std::int8_t* upper,
                                     std::size_t dims) {
  return kernels_for(level).box(query, lower, upper, dims);
}

void euclidean_distances_at(SimdLevel level, const double* const* left, const double* const* right,
                            std::size_t count, std::size_t dims, double* out) {
  kernels_for(level).euclid(left, right, count, dims, out);
}

void euclidean_distances_at(SimdLevel level, const float* const* left, const float* const* right,
                            std::size_t count, std::size_t dims, double* out) {
  kernels_for(level).euclid_f32(left, right, count, dims, out);
}

void squared_differences_at(SimdLevel level, const float* const* left, const float* const* right,
                            std::size_t count, std::size_t dims, float* out) {
  kernels_for(level).squares_f32(left, right, count, dims, out);
}

double distance_floor(float squared, std::size_t dims) {
  // Each of the dims + 1 roundings of a term, and the additions in any order, err by at most
  // 2^-24 relatively (in total at most (dims + 4) 2^-24, with room); terms below the normal
  // range err by at most 2^-149 absolutely each. An infinite sum bounds nothing.
  if (!(squared < std::numeric_limits<float>::infinity())) return 0.0;
  const double relative = 1.0 + 1.01 * static_cast<double>(dims + 4) * 0x1p-24;
  const double sum =
      static_cast<double>(squared) / relative - static_cast<double>(dims + 1) * 0x1p-149;
  return sum > 0.0 ? std::sqrt(sum) * (1.0 - 1e-9) : 0.0;
}

}  // namespace quillfen::speakers::hdbscan
