// The instruction sets of the machine the engine runs on, by which the vector kernels of the
// algorithms are chosen at run time. Detected once, without what the build's cap
// (QUILLFEN_SIMD_MAX) leaves out; all false on machines other than x86. In the emulated test
// build (speakers/simd.h) they are those of the processor it imitates.
#pragma once

namespace quillfen::speakers {

struct CpuFeatures {
  bool avx2 = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vnni = false;
};

[[nodiscard]] const CpuFeatures& cpu_features();

}  // namespace quillfen::speakers
