// What the kernels need beyond SIMDe 0.7 (Debian 12's libsimde-dev): native names it does not
// alias (or, for _mm512_madd_epi16, aliases to the masked form), and portable versions of the
// AVX-512 intrinsics it lacks, with the semantics Intel documents for them. Included by
// speakers/simd.h in the emulated test build only; what a newer SIMDe provides is used instead.
#pragma once

#include <cstdint>
#include <cstring>

typedef simde__mmask64 __mmask64;

#if SIMDE_VERSION < HEDLEY_VERSION_ENCODE(0, 8, 0)
#undef _mm512_madd_epi16
#define _mm512_madd_epi16(a, b) simde_mm512_madd_epi16(a, b)
#endif

#ifndef _mm512_shuffle_f64x2
#define _mm512_shuffle_f64x2(a, b, imm8) simde_mm512_shuffle_f64x2(a, b, imm8)
#endif

#ifndef _mm512_maskz_loadu_epi8
// Bytes whose mask bit is set are read, the others are zero and never touched.
inline simde__m512i quillfen_mm512_maskz_loadu_epi8(simde__mmask64 mask, const void* from) {
  std::int8_t lanes[64] = {};
  const auto* bytes = static_cast<const std::int8_t*>(from);
  for (int i = 0; i < 64; ++i) {
    if ((mask >> i) & 1) lanes[i] = bytes[i];
  }
  simde__m512i result;
  std::memcpy(&result, lanes, sizeof result);
  return result;
}
#define _mm512_maskz_loadu_epi8(mask, from) quillfen_mm512_maskz_loadu_epi8(mask, from)
#endif

#ifndef _mm512_reduce_add_epi32
// The sum of the 16 lanes, wrapping modulo 2^32.
inline std::int32_t quillfen_mm512_reduce_add_epi32(simde__m512i a) {
  std::uint32_t lanes[16];
  std::memcpy(lanes, &a, sizeof lanes);
  std::uint32_t sum = 0;
  for (const std::uint32_t lane : lanes) sum += lane;
  return static_cast<std::int32_t>(sum);
}
#define _mm512_reduce_add_epi32(a) quillfen_mm512_reduce_add_epi32(a)
#endif

#ifndef _mm512_reduce_min_epi32
// The smallest of the 16 signed lanes.
inline std::int32_t quillfen_mm512_reduce_min_epi32(simde__m512i a) {
  std::int32_t lanes[16];
  std::memcpy(lanes, &a, sizeof lanes);
  std::int32_t smallest = lanes[0];
  for (const std::int32_t lane : lanes) smallest = lane < smallest ? lane : smallest;
  return smallest;
}
#define _mm512_reduce_min_epi32(a) quillfen_mm512_reduce_min_epi32(a)
#endif

#ifndef _mm512_cvtps_pd
// The 8 single-precision lanes widened (exactly) to double precision.
inline simde__m512d quillfen_mm512_cvtps_pd(simde__m256 a) {
  float from[8];
  std::memcpy(from, &a, sizeof from);
  double to[8];
  for (int i = 0; i < 8; ++i) to[i] = static_cast<double>(from[i]);
  simde__m512d result;
  std::memcpy(&result, to, sizeof result);
  return result;
}
#define _mm512_cvtps_pd(a) quillfen_mm512_cvtps_pd(a)
#endif

#ifndef _mm512_reduce_add_ps
// The sum of the 16 lanes in the order GCC's own header adds them: the upper eight lanes onto
// the lower eight, then the upper four onto the lower four, then lanes 2 and 3 onto 0 and 1,
// then lane 1 onto lane 0.
inline float quillfen_mm512_reduce_add_ps(simde__m512 a) {
  float lanes[16];
  std::memcpy(lanes, &a, sizeof lanes);
  float eight[8];
  for (int i = 0; i < 8; ++i) eight[i] = lanes[i + 8] + lanes[i];
  float four[4];
  for (int i = 0; i < 4; ++i) four[i] = eight[i + 4] + eight[i];
  const float first = four[0] + four[2];
  const float second = four[1] + four[3];
  return first + second;
}
#define _mm512_reduce_add_ps(a) quillfen_mm512_reduce_add_ps(a)
#endif
