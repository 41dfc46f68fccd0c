#include "speakers/cpu_features.h"

#ifdef QUILLFEN_SIMD_EMULATION
#include <cstdlib>
#include <string_view>
#endif

// The highest instruction set level the build may use (CMake option QUILLFEN_SIMD_MAX):
// 1 sse2, 2 avx2, 3 avx512, 4 avx512vnni.
#ifndef QUILLFEN_SIMD_MAX_LEVEL
#define QUILLFEN_SIMD_MAX_LEVEL 4
#endif

namespace quillfen::speakers {
namespace {

CpuFeatures detect_cpu_features() {
  CpuFeatures features;
#if defined(QUILLFEN_SIMD_EMULATION)
  // Every level is emulated; the processor imitated is QUILLFEN_EMULATED_CPU (avx2, avx512 or
  // avx512vnni, the default), which the test suite sets per run of the emulated tests.
  const char* imitated = std::getenv("QUILLFEN_EMULATED_CPU");
  const std::string_view cpu = imitated != nullptr ? imitated : "avx512vnni";
  features.avx2 = true;
  features.avx512f = features.avx512bw = cpu == "avx512" || cpu == "avx512vnni";
  features.avx512vnni = cpu == "avx512vnni";
#elif defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512f = __builtin_cpu_supports("avx512f");
  features.avx512bw = __builtin_cpu_supports("avx512bw");
  features.avx512vnni = __builtin_cpu_supports("avx512vnni");
#endif
  if (QUILLFEN_SIMD_MAX_LEVEL < 2) features.avx2 = false;
  if (QUILLFEN_SIMD_MAX_LEVEL < 3) features.avx512f = features.avx512bw = false;
  if (QUILLFEN_SIMD_MAX_LEVEL < 4) features.avx512vnni = false;
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect_cpu_features();
  return features;
}

}  // namespace quillfen::speakers
