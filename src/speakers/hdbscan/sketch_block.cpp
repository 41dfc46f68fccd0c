#include "speakers/hdbscan/sketch_block.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "speakers/simd.h"

namespace quillfen::speakers::hdbscan {
namespace {

constexpr std::size_t kChunkBytes = 4 * kBlockColumn;  // one chunk of one column

// Where chunk c of padded row r of a packed block starts.
[[nodiscard]] inline std::size_t chunk_offset(std::size_t row, std::size_t c, std::size_t chunks) {
  return ((row / kBlockColumn) * chunks + c) * kChunkBytes + (row % kBlockColumn) * 4;
}

// ---- portable kernel ----

std::int32_t screen_portable(const ScreenSide& left, const ScreenSide& right, std::size_t chunks,
                             const ScreenOutput& out) {
  std::int32_t* column_min = out.column_min;
  const std::size_t left_rows = round_up(left.rows, 4);
  const std::size_t right_rows = round_up(right.rows, kBlockColumn);
  const std::size_t columns = right_rows / kBlockColumn;
  std::int32_t smallest = std::numeric_limits<std::int32_t>::max();
  if (column_min != nullptr) std::fill_n(column_min, right_rows, smallest);
  for (std::size_t p = 0; p < left_rows; ++p) {
    for (std::size_t col = 0; col < columns; ++col) {
      std::uint16_t mark = 0;
      std::int32_t row_min = std::numeric_limits<std::int32_t>::max();
      for (std::size_t lane = 0; lane < kBlockColumn; ++lane) {
        const std::size_t j = col * kBlockColumn + lane;
        std::int32_t dot = 0;
        for (std::size_t c = 0; c < chunks; ++c) {
          const std::int8_t* a = left.packed + chunk_offset(p, c, chunks);
          const std::int8_t* b = right.packed + chunk_offset(j, c, chunks);
          for (std::size_t v = 0; v < 4; ++v) dot += a[v] * b[v];
        }
        const std::int32_t d = left.squares[p] + right.squares[j] - 2 * dot;
        if (d <= std::max(left.limits[p], right.limits[j])) {
          mark = static_cast<std::uint16_t>(mark | (1u << lane));
        }
        smallest = std::min(smallest, d);
        row_min = std::min(row_min, d);
        if (column_min != nullptr) column_min[j] = std::min(column_min[j], d);
      }
      out.marks[p * columns + col] = mark;
      if (out.row_min != nullptr) out.row_min[p * columns + col] = row_min;
    }
  }
  return smallest;
}

#ifdef QUILLFEN_X86

// ---- AVX2: 4 left rows x 16 right rows per step ----

// Two chunks of one left row (broadcast, signed) against the 16 right rows (unsigned, value +
// 64): the two 16-bit products per lane of each chunk, summed over both chunks (at most
// 4 x 127 x 63 < 2^15), then widened pairwise into 32-bit lanes and added to acc.
QUILLFEN_TARGET("avx2")
__attribute__((always_inline)) inline void avx2_two_chunks(const std::int8_t* left, std::size_t c,
                                                           __m256i r00, __m256i r01, __m256i r10,
                                                           __m256i r11, __m256i& acc0,
                                                           __m256i& acc1) {
  std::int32_t x0;
  std::int32_t x1;
  std::memcpy(&x0, left + c * kChunkBytes, 4);
  std::memcpy(&x1, left + (c + 1) * kChunkBytes, 4);
  const __m256i b0 = _mm256_set1_epi32(x0);
  const __m256i b1 = _mm256_set1_epi32(x1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i p0 = _mm256_add_epi16(_mm256_maddubs_epi16(r00, b0), _mm256_maddubs_epi16(r10, b1));
  const __m256i p1 = _mm256_add_epi16(_mm256_maddubs_epi16(r01, b0), _mm256_maddubs_epi16(r11, b1));
  acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(p0, ones));
  acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(p1, ones));
}

// The smallest of the eight 32-bit lanes.
[[nodiscard]] QUILLFEN_TARGET("avx2") __attribute__((always_inline)) inline std::int32_t
    horizontal_min(__m256i v) {
  __m128i m = _mm_min_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4e));
  m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xb1));
  return _mm_cvtsi128_si32(m);
}

// The marks of one left row against 16 right rows from its two accumulators (sums of
// (value + 64) x left value), updating the running minimum.
QUILLFEN_TARGET("avx2")
__attribute__((always_inline)) inline std::uint16_t
    avx2_marks(const ScreenSide& left, const ScreenSide& right, std::size_t p, std::size_t j,
               __m256i acc0, __m256i acc1, __m256i& smallest, __m256i column[2],
               std::int32_t* row_min) {
  // D = Q(p) + Q(j) - 2 dot, dot = acc - 64 sum(p).
  const __m256i base = _mm256_set1_epi32(left.squares[p] + 128 * left.sums[p]);
  const __m256i limit = _mm256_set1_epi32(left.limits[p]);
  unsigned bits = 0;
  const __m256i accs[2] = {acc0, acc1};
  __m256i row = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max());
  for (int h = 0; h < 2; ++h) {
    const std::size_t at = j + 8 * static_cast<std::size_t>(h);
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right.squares + at));
    const __m256i lim = _mm256_max_epi32(
        limit, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right.limits + at)));
    const __m256i d = _mm256_sub_epi32(_mm256_add_epi32(base, q), _mm256_slli_epi32(accs[h], 1));
    smallest = _mm256_min_epi32(smallest, d);
    column[h] = _mm256_min_epi32(column[h], d);
    row = _mm256_min_epi32(row, d);
    const __m256i above = _mm256_cmpgt_epi32(d, lim);
    bits |= (~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(above))) & 0xffu)
            << (8 * h);
  }
  if (row_min != nullptr) *row_min = horizontal_min(row);
  return static_cast<std::uint16_t>(bits);
}

// 32 right values made unsigned (value + 64).
[[nodiscard]] QUILLFEN_TARGET("avx2") __attribute__((always_inline)) inline __m256i
    avx2_unsigned(const std::int8_t* values, __m256i shift) {
  return _mm256_add_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values)), shift);
}

QUILLFEN_TARGET("avx2")
std::int32_t screen_avx2(const ScreenSide& left, const ScreenSide& right, std::size_t chunks,
                         const ScreenOutput& out) {
  std::uint16_t* marks = out.marks;
  std::int32_t* column_min = out.column_min;
  const auto row_min = [&](std::size_t p, std::size_t col, std::size_t columns) {
    return out.row_min == nullptr ? nullptr : out.row_min + p * columns + col;
  };
  const std::size_t left_rows = round_up(left.rows, 4);
  const std::size_t columns = round_up(right.rows, kBlockColumn) / kBlockColumn;
  const __m256i shift = _mm256_set1_epi8(64);
  __m256i smallest = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max());
  for (std::size_t col = 0; col < columns; ++col) {
    const std::int8_t* rb = right.packed + col * chunks * kChunkBytes;
    __m256i column[2] = {_mm256_set1_epi32(std::numeric_limits<std::int32_t>::max()),
                         _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max())};
    for (std::size_t p = 0; p < left_rows; p += 4) {
      const std::int8_t* lb = left.packed + chunk_offset(p, 0, chunks);
      __m256i a00 = _mm256_setzero_si256(), a01 = a00, a10 = a00, a11 = a00;
      __m256i a20 = a00, a21 = a00, a30 = a00, a31 = a00;
      for (std::size_t c = 0; c < chunks; c += 2) {
        const __m256i r00 = avx2_unsigned(rb + c * kChunkBytes, shift);
        const __m256i r01 = avx2_unsigned(rb + c * kChunkBytes + 32, shift);
        const __m256i r10 = avx2_unsigned(rb + (c + 1) * kChunkBytes, shift);
        const __m256i r11 = avx2_unsigned(rb + (c + 1) * kChunkBytes + 32, shift);
        avx2_two_chunks(lb, c, r00, r01, r10, r11, a00, a01);
        avx2_two_chunks(lb + 4, c, r00, r01, r10, r11, a10, a11);
        avx2_two_chunks(lb + 8, c, r00, r01, r10, r11, a20, a21);
        avx2_two_chunks(lb + 12, c, r00, r01, r10, r11, a30, a31);
      }
      const std::size_t j = col * kBlockColumn;
      marks[p * columns + col] =
          avx2_marks(left, right, p, j, a00, a01, smallest, column, row_min(p, col, columns));
      marks[(p + 1) * columns + col] = avx2_marks(left, right, p + 1, j, a10, a11, smallest, column,
                                                  row_min(p + 1, col, columns));
      marks[(p + 2) * columns + col] = avx2_marks(left, right, p + 2, j, a20, a21, smallest, column,
                                                  row_min(p + 2, col, columns));
      marks[(p + 3) * columns + col] = avx2_marks(left, right, p + 3, j, a30, a31, smallest, column,
                                                  row_min(p + 3, col, columns));
    }
    if (column_min != nullptr) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(column_min + col * kBlockColumn), column[0]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(column_min + col * kBlockColumn + 8),
                          column[1]);
    }
  }
  return horizontal_min(smallest);
}

// ---- AVX-512: 4 left rows x 16 right rows (one register) per step ----

// The AVX-512 intrinsics start from deliberately undefined registers, which GCC 12 reports as
// (possibly) uninitialised, depending on the optimisation level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

[[nodiscard]] QUILLFEN_TARGET("avx512f,avx512bw") __attribute__((always_inline)) inline __m512i
    broadcast_chunk(const std::int8_t* left, std::size_t c) {
  std::int32_t x;
  std::memcpy(&x, left + c * kChunkBytes, 4);
  return _mm512_set1_epi32(x);
}

// As avx2_marks, for 16 right rows in one register.
QUILLFEN_TARGET("avx512f,avx512bw")
__attribute__((always_inline)) inline std::uint16_t
    avx512_marks(const ScreenSide& left, const ScreenSide& right, std::size_t p, std::size_t j,
                 __m512i acc, __m512i& smallest, __m512i& column, std::int32_t* row_min) {
  const __m512i base = _mm512_set1_epi32(left.squares[p] + 128 * left.sums[p]);
  const __m512i q = _mm512_loadu_si512(right.squares + j);
  const __m512i lim =
      _mm512_max_epi32(_mm512_set1_epi32(left.limits[p]), _mm512_loadu_si512(right.limits + j));
  const __m512i d = _mm512_sub_epi32(_mm512_add_epi32(base, q), _mm512_slli_epi32(acc, 1));
  smallest = _mm512_min_epi32(smallest, d);
  column = _mm512_min_epi32(column, d);
  if (row_min != nullptr) *row_min = _mm512_reduce_min_epi32(d);
  return static_cast<std::uint16_t>(_mm512_cmple_epi32_mask(d, lim));
}

// Products of unsigned (value + 64) and signed bytes in 16-bit lanes, two chunks summed
// before widening, as in the AVX2 kernel.
QUILLFEN_TARGET("avx512f,avx512bw")
std::int32_t screen_avx512(const ScreenSide& left, const ScreenSide& right, std::size_t chunks,
                           const ScreenOutput& out) {
  std::uint16_t* marks = out.marks;
  std::int32_t* column_min = out.column_min;
  const std::size_t left_rows = round_up(left.rows, 4);
  const std::size_t columns = round_up(right.rows, kBlockColumn) / kBlockColumn;
  const __m512i shift = _mm512_set1_epi8(64);
  const __m512i ones = _mm512_set1_epi16(1);
  __m512i smallest = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
  for (std::size_t col = 0; col < columns; ++col) {
    const std::int8_t* rb = right.packed + col * chunks * kChunkBytes;
    __m512i column = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
    for (std::size_t p = 0; p < left_rows; p += 4) {
      const std::int8_t* lb = left.packed + chunk_offset(p, 0, chunks);
      __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                        _mm512_setzero_si512()};
      for (std::size_t c = 0; c < chunks; c += 2) {
        const __m512i r0 = _mm512_add_epi8(_mm512_loadu_si512(rb + c * kChunkBytes), shift);
        const __m512i r1 = _mm512_add_epi8(_mm512_loadu_si512(rb + (c + 1) * kChunkBytes), shift);
        for (std::size_t i = 0; i < 4; ++i) {
          const __m512i sum =
              _mm512_add_epi16(_mm512_maddubs_epi16(r0, broadcast_chunk(lb + 4 * i, c)),
                               _mm512_maddubs_epi16(r1, broadcast_chunk(lb + 4 * i, c + 1)));
          acc[i] = _mm512_add_epi32(acc[i], _mm512_madd_epi16(sum, ones));
        }
      }
      for (std::size_t i = 0; i < 4; ++i) {
        marks[(p + i) * columns + col] =
            avx512_marks(left, right, p + i, col * kBlockColumn, acc[i], smallest, column,
                         out.row_min == nullptr ? nullptr : out.row_min + (p + i) * columns + col);
      }
    }
    if (column_min != nullptr) _mm512_storeu_si512(column_min + col * kBlockColumn, column);
  }
  return _mm512_reduce_min_epi32(smallest);
}

// The same with 32-bit dot products of unsigned and signed bytes (AVX-512 VNNI), one chunk per
// instruction.
QUILLFEN_TARGET("avx512f,avx512bw,avx512vnni")
std::int32_t screen_vnni(const ScreenSide& left, const ScreenSide& right, std::size_t chunks,
                         const ScreenOutput& out) {
  std::uint16_t* marks = out.marks;
  std::int32_t* column_min = out.column_min;
  const std::size_t left_rows = round_up(left.rows, 4);
  const std::size_t columns = round_up(right.rows, kBlockColumn) / kBlockColumn;
  const __m512i shift = _mm512_set1_epi8(64);
  __m512i smallest = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
  for (std::size_t col = 0; col < columns; ++col) {
    const std::int8_t* rb = right.packed + col * chunks * kChunkBytes;
    __m512i column = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
    for (std::size_t p = 0; p < left_rows; p += 4) {
      const std::int8_t* lb = left.packed + chunk_offset(p, 0, chunks);
      __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                        _mm512_setzero_si512()};
      for (std::size_t c = 0; c < chunks; ++c) {
        const __m512i r = _mm512_add_epi8(_mm512_loadu_si512(rb + c * kChunkBytes), shift);
        for (std::size_t i = 0; i < 4; ++i) {
          acc[i] = _mm512_dpbusd_epi32(acc[i], r, broadcast_chunk(lb + 4 * i, c));
        }
      }
      for (std::size_t i = 0; i < 4; ++i) {
        marks[(p + i) * columns + col] =
            avx512_marks(left, right, p + i, col * kBlockColumn, acc[i], smallest, column,
                         out.row_min == nullptr ? nullptr : out.row_min + (p + i) * columns + col);
      }
    }
    if (column_min != nullptr) _mm512_storeu_si512(column_min + col * kBlockColumn, column);
  }
  return _mm512_reduce_min_epi32(smallest);
}

#pragma GCC diagnostic pop

#endif  // QUILLFEN_X86

using ScreenKernel = std::int32_t (*)(const ScreenSide&, const ScreenSide&, std::size_t,
                                      const ScreenOutput&);

[[nodiscard]] ScreenKernel screen_kernel(SimdLevel level) {
  if (level > best_simd_level()) level = best_simd_level();
#ifdef QUILLFEN_X86
  switch (level) {
    case SimdLevel::Portable:
    case SimdLevel::Sse2:
      return screen_portable;
    case SimdLevel::Avx2:
      return screen_avx2;
    case SimdLevel::Avx512:
      return screen_avx512;
    case SimdLevel::Avx512Vnni:
      return screen_vnni;
  }
#endif
  return screen_portable;
}

}  // namespace

std::int32_t screen_block_at(SimdLevel level, const ScreenSide& left, const ScreenSide& right,
                             std::size_t chunks, const ScreenOutput& out) {
  return screen_kernel(level)(left, right, chunks, out);
}

std::int32_t screen_limit(const SketchScale& scale, double distance, double error_sum) {
  if (!(distance > 0.0)) return kNoLimit;
  const double squared = scale.exceeding_squared(distance, error_sum);
  if (!(squared < 2e9)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::floor(squared));
}

BlockSketches::BlockSketches(const SketchScale& scale, const RowStore& rows,
                             const std::vector<std::size_t>& begin)
    : scale_(scale),
      dims_(rows.dims()),
      chunks_(round_up(round_up(rows.dims(), 4) / 4, 2)),
      begin_(begin) {
  const std::size_t blocks = begin.size() - 1;
  const std::size_t slots = begin.back();
  const std::size_t padded = round_up(slots, kBlockColumn);
  packed_.assign(padded * chunks_ * 4, 0);
  squares_.assign(padded, kPaddingSquares);
  sums_.assign(padded, 0);
  errors_.resize(slots);
  std::vector<std::int8_t> values(dims_);
  rows.visit([&](const auto& row) {
    for (std::size_t s = 0; s < slots; ++s) {
      const double error = scale.quantize(row[s], dims_, values.data());
      set(s, values.data(), error);
    }
  });
  largest_error_.assign(blocks, 0.0);
  for (std::size_t b = 0; b < blocks; ++b) {
    for (std::size_t s = begin[b]; s < begin[b + 1]; ++s) {
      largest_error_[b] = std::max(largest_error_[b], errors_[s]);
    }
  }
}

ScreenSide BlockSketches::range(std::size_t first, std::size_t last) const {
  const std::size_t start = range_start(first);
  return {&packed_[start * chunks_ * 4], last - start, &squares_[start], &sums_[start], nullptr};
}

const std::int8_t* BlockSketches::chunk(std::size_t slot, std::size_t c) const {
  return &packed_[chunk_offset(slot, c, chunks_)];
}

void BlockSketches::set(std::size_t slot, const std::int8_t* values, double error) {
  std::int32_t squares = 0;
  std::int32_t sum = 0;
  for (std::size_t j = 0; j < dims_; ++j) {
    packed_[chunk_offset(slot, j / 4, chunks_) + j % 4] = values[j];
    squares += values[j] * values[j];
    sum += values[j];
  }
  squares_[slot] = squares;
  sums_[slot] = sum;
  errors_[slot] = error;
}

void GatheredBlock::gather_run(const BlockSketches& sketches, std::size_t first,
                               std::size_t count) {
  run_.resize(count);
  for (std::size_t i = 0; i < count; ++i) run_[i] = first + i;
  gather(sketches, run_.data(), count);
}

void GatheredBlock::gather(const BlockSketches& sketches, const std::size_t* slots,
                           std::size_t count) {
  const std::size_t chunks = sketches.chunks();
  const std::size_t padded = round_up(count, kBlockColumn);
  const std::size_t bytes = padded * chunks * 4;
  if (packed_.size() < bytes) packed_.resize(bytes);
  squares_.assign(padded, kPaddingSquares);
  sums_.assign(padded, 0);
  limits_.assign(padded, kNoLimit);
  rows_ = count;
  largest_error_ = 0.0;
  for (std::size_t r = 0; r < count; ++r) {
    const std::int8_t* from = sketches.chunk(slots[r], 0);
    std::int8_t* to = &packed_[chunk_offset(r, 0, chunks)];
    for (std::size_t c = 0; c < chunks; ++c)
      std::memcpy(to + c * kChunkBytes, from + c * kChunkBytes, 4);
    squares_[r] = sketches.squares(slots[r]);
    sums_[r] = sketches.sum(slots[r]);
    largest_error_ = std::max(largest_error_, sketches.error(slots[r]));
  }
  // Padding rows of the last column hold zeros.
  for (std::size_t r = count; r < padded; ++r) {
    std::int8_t* to = &packed_[chunk_offset(r, 0, chunks)];
    for (std::size_t c = 0; c < chunks; ++c) std::memset(to + c * kChunkBytes, 0, 4);
  }
}

}  // namespace quillfen::speakers::hdbscan
