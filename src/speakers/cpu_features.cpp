#include "speakers/cpu_features.h"

namespace quillfen::speakers {
namespace {

CpuFeatures detect_cpu_features() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  features.avx2 = __builtin_cpu_supports("avx2");
  features.avx512f = __builtin_cpu_supports("avx512f");
  features.avx512bw = __builtin_cpu_supports("avx512bw");
  features.avx512vnni = __builtin_cpu_supports("avx512vnni");
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect_cpu_features();
  return features;
}

}  // namespace quillfen::speakers
