#include "speakers/hdbscan/sketch_block.h"

#include <algorithm>
#include <cstring>

#include "speakers/simd.h"

namespace quillfen::speakers::hdbscan {
namespace {

bool block_kernel_available(std::size_t dims) {
#ifdef QUILLFEN_X86
  return best_simd_level() >= SimdLevel::Avx512Vnni && dims % 4 == 0 && dims <= 32768;
#else
  (void)dims;
  return false;
#endif
}

#ifdef QUILLFEN_X86
// The AVX-512 intrinsics start from deliberately undefined registers, which GCC 12 reports as
// (possibly) uninitialised, depending on the optimisation level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Dot products of two left rows (signed, 4 values broadcast at a time) with the 64 packed right
// rows (unsigned, values + 128): out[0..63] for the first left row, out[64..127] for the second.
QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
void dots_two(const std::int8_t* a, const std::int8_t* b, const std::uint8_t* packed,
              std::size_t chunks, std::int32_t* out) {
  // Eight named accumulators, so that they stay in registers.
  __m512i x0 = _mm512_setzero_si512(), x1 = x0, x2 = x0, x3 = x0;
  __m512i y0 = x0, y1 = x0, y2 = x0, y3 = x0;
  for (std::size_t c = 0; c < chunks; ++c) {
    std::int32_t va;
    std::int32_t vb;
    std::memcpy(&va, a + 4 * c, 4);
    std::memcpy(&vb, b + 4 * c, 4);
    const __m512i qa = _mm512_set1_epi32(va);
    const __m512i qb = _mm512_set1_epi32(vb);
    const std::uint8_t* p = packed + c * 256;
    const __m512i r0 = _mm512_loadu_si512(p);
    const __m512i r1 = _mm512_loadu_si512(p + 64);
    const __m512i r2 = _mm512_loadu_si512(p + 128);
    const __m512i r3 = _mm512_loadu_si512(p + 192);
    x0 = _mm512_dpbusd_epi32(x0, r0, qa);
    x1 = _mm512_dpbusd_epi32(x1, r1, qa);
    x2 = _mm512_dpbusd_epi32(x2, r2, qa);
    x3 = _mm512_dpbusd_epi32(x3, r3, qa);
    y0 = _mm512_dpbusd_epi32(y0, r0, qb);
    y1 = _mm512_dpbusd_epi32(y1, r1, qb);
    y2 = _mm512_dpbusd_epi32(y2, r2, qb);
    y3 = _mm512_dpbusd_epi32(y3, r3, qb);
  }
  _mm512_storeu_si512(out, x0);
  _mm512_storeu_si512(out + 16, x1);
  _mm512_storeu_si512(out + 32, x2);
  _mm512_storeu_si512(out + 48, x3);
  _mm512_storeu_si512(out + 64, y0);
  _mm512_storeu_si512(out + 80, y1);
  _mm512_storeu_si512(out + 96, y2);
  _mm512_storeu_si512(out + 112, y3);
}

// min over the 64 packed rows r and the two left rows k of
// squares[r] - 2 * (dot(k, r) - shift[k]) + query_squares[k], padding rows holding a large value
// in squares.
QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
std::int32_t
    min_two(const std::int8_t* a, const std::int8_t* b, const std::uint8_t* packed,
            std::size_t chunks, const std::int32_t* squares, const std::int32_t offset[2]) {
  std::int32_t dots[2 * 64];
  dots_two(a, b, packed, chunks, dots);
  __m512i smallest = _mm512_set1_epi32(0x7fffffff);
  for (int k = 0; k < 2; ++k) {
    const __m512i add = _mm512_set1_epi32(offset[k]);
    for (int l = 0; l < 4; ++l) {
      const __m512i d = _mm512_loadu_si512(dots + 64 * k + 16 * l);
      const __m512i sq = _mm512_loadu_si512(squares + 16 * l);
      const __m512i v = _mm512_add_epi32(_mm512_sub_epi32(sq, _mm512_slli_epi32(d, 1)), add);
      smallest = _mm512_min_epi32(smallest, v);
    }
  }
  return _mm512_reduce_min_epi32(smallest);
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void SketchBlock::assign(const SketchSet& set, std::size_t first, std::size_t count) {
  set_ = &set;
  first_ = first;
  count_ = std::min(count, kMaxRows);
  packed_ready_ = block_kernel_available(set.dims());
  if (!packed_ready_) return;
  const std::size_t chunks = set.dims() / 4;
  packed_.assign(chunks * kMaxRows * 4, 128);
  // Padding rows must never be the smallest: their dot products are 128 * sum(query), which the
  // shift cancels, leaving this value plus the query's squares.
  squares_.assign(kMaxRows, 0x3fffffff);
  for (std::size_t r = 0; r < count_; ++r) squares_[r] = set.squares(first + r);
  for (std::size_t r = 0; r < count_; ++r) {
    const std::int8_t* row = set.sketch(first + r);
    for (std::size_t c = 0; c < chunks; ++c) {
      for (std::size_t v = 0; v < 4; ++v) {
        packed_[(c * kMaxRows + r) * 4 + v] = static_cast<std::uint8_t>(row[4 * c + v] + 128);
      }
    }
  }
}

void SketchBlock::squared_distances(const SketchSet& left, std::size_t left_first,
                                    std::size_t left_count, std::int32_t* out) const {
  if (!packed_ready_) {
    for (std::size_t q = 0; q < left_count; ++q)
      set_->squared_distances(left.ref(left_first + q), first_, count_, out + q * count_);
    return;
  }
#ifdef QUILLFEN_X86
  std::int32_t dots[2 * kMaxRows];
  for (std::size_t q = 0; q < left_count; q += 2) {
    const std::size_t other = std::min(q + 1, left_count - 1);
    dots_two(left.sketch(left_first + q), left.sketch(left_first + other), packed_.data(),
             left.dims() / 4, dots);
    for (std::size_t k = q; k <= other; ++k) {
      // sum of (value + 128) * query = dot + 128 * sum(query)
      const std::int32_t* d = dots + (k - q) * kMaxRows;
      const std::int32_t shift = 128 * left.sum(left_first + k);
      const std::int32_t query_squares = left.squares(left_first + k);
      for (std::size_t r = 0; r < count_; ++r) {
        out[k * count_ + r] = query_squares + set_->squares(first_ + r) - 2 * (d[r] - shift);
      }
    }
  }
#endif
}

std::int32_t SketchBlock::min_squared(const SketchSet& left, std::size_t left_first,
                                      std::size_t left_count) const {
  std::int32_t smallest = 0x7fffffff;
  if (!packed_ready_) {
    std::vector<std::int32_t> squared(left_count * count_);
    squared_distances(left, left_first, left_count, squared.data());
    for (const std::int32_t v : squared) smallest = std::min(smallest, v);
    return smallest;
  }
#ifdef QUILLFEN_X86
  for (std::size_t q = 0; q < left_count; q += 2) {
    const std::size_t other = std::min(q + 1, left_count - 1);
    const std::int32_t offset[2] = {
        left.squares(left_first + q) + 256 * left.sum(left_first + q),
        left.squares(left_first + other) + 256 * left.sum(left_first + other)};
    smallest =
        std::min(smallest, min_two(left.sketch(left_first + q), left.sketch(left_first + other),
                                   packed_.data(), left.dims() / 4, squares_.data(), offset));
  }
#endif
  return smallest;
}

}  // namespace quillfen::speakers::hdbscan
