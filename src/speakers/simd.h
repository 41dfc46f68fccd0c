// The x86 vector instructions of the algorithms' kernels. Every source that uses intrinsics or
// instruction-set attributes includes this header instead of <immintrin.h> and marks each
// function that needs more than the x86-64 baseline (SSE2) with QUILLFEN_TARGET("avx2"),
// QUILLFEN_TARGET("avx512f,avx512bw"), ...; such functions run only after cpu_features() says
// the processor has those instructions.
//
// The test suite builds the same sources a second time with QUILLFEN_SIMD_EMULATION (see
// cmake/SimdEmulation.cmake): the intrinsics then come from SIMDe, portable implementations of
// the same operations, the target marks vanish, and every level runs, bit for bit as it would
// natively, on any x86-64 processor. A kernel that cannot be built that way is not dispatched.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define QUILLFEN_X86 1
#ifdef QUILLFEN_SIMD_EMULATION
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include "simde_completions.h"  // intrinsics this SIMDe version lacks (tests/simd_emulation)
#define QUILLFEN_TARGET(isa)
#else
#include <immintrin.h>
#define QUILLFEN_TARGET(isa) __attribute__((target(isa)))
#endif
#else
#define QUILLFEN_TARGET(isa)
#endif
