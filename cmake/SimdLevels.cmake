# Instruction set levels of the algorithms' vector kernels, and their emulation in the tests.
#
# The kernels pick a level at run time from the processor (speakers/cpu_features.h):
#   sse2        the x86-64 baseline, always there
#   avx2        Haswell (2013) and later, Zen
#   avx512      AVX-512 F and BW: Skylake-SP and later Xeon, Ice Lake and later, Zen 4
#   avx512vnni  AVX-512 VNNI as well: Cascade Lake and later Xeon, Ice Lake and later, Zen 4
# QUILLFEN_SIMD_MAX caps the level a build may pick (the default takes the best there is).
#
# Every level a build can pick runs in the test suite, also where this machine lacks it: the
# sources of the algorithms library are compiled a second time into a test-only library against
# SIMDe (Debian's libsimde-dev), which implements the same intrinsics in portable code, so that
# the AVX2, AVX-512 and AVX-512 VNNI kernels execute on any x86-64 processor and give the bits
# they give natively. Kernel sources therefore reach the intrinsics only through
# speakers/simd.h (checked below); a kernel that cannot be built against SIMDe is not
# dispatched.

set(QUILLFEN_SIMD_LEVELS sse2 avx2 avx512 avx512vnni)
set(QUILLFEN_SIMD_MAX avx512vnni CACHE STRING
    "Highest instruction set level the kernels may use: sse2, avx2, avx512 or avx512vnni")
set_property(CACHE QUILLFEN_SIMD_MAX PROPERTY STRINGS ${QUILLFEN_SIMD_LEVELS})
list(FIND QUILLFEN_SIMD_LEVELS "${QUILLFEN_SIMD_MAX}" quillfen_simd_max_index)
if(quillfen_simd_max_index LESS 0)
  message(FATAL_ERROR "QUILLFEN_SIMD_MAX is ${QUILLFEN_SIMD_MAX}; use one of: ${QUILLFEN_SIMD_LEVELS}")
endif()
math(EXPR QUILLFEN_SIMD_MAX_LEVEL "${quillfen_simd_max_index} + 1")  # 1 sse2 ... 4 avx512vnni

# Fails the configuration when a source reaches the x86 intrinsics or instruction-set attributes
# other than through speakers/simd.h: the emulated build would not cover it.
function(quillfen_check_kernel_sources)
  foreach(source ${ARGN})
    if(source MATCHES "/speakers/simd\\.h$")
      continue()
    endif()
    file(STRINGS "${source}" direct REGEX "#include <(immintrin|x86intrin|[a-z]*mmintrin)\\.h>|target\\(\"")
    if(direct)
      message(FATAL_ERROR "${source} uses x86 intrinsics or target attributes directly; include "
                          "speakers/simd.h and mark functions with QUILLFEN_TARGET instead, so "
                          "that the emulated test build runs them (cmake/SimdLevels.cmake)")
    endif()
  endforeach()
endfunction()

# quillfen_add_simd_emulation(NAME SOURCES...): a static library of SOURCES built with the
# intrinsics of SIMDe and without target attributes (QUILLFEN_SIMD_EMULATION): every level runs
# on this processor. The processor it imitates is chosen per run by QUILLFEN_EMULATED_CPU (avx2,
# avx512 or avx512vnni, the default). For tests only: it is slow and never installed.
function(quillfen_add_simd_emulation name)
  find_path(QUILLFEN_SIMDE_INCLUDE_DIR simde/x86/avx512.h)
  if(NOT QUILLFEN_SIMDE_INCLUDE_DIR)
    message(FATAL_ERROR "SIMDe not found (Debian: libsimde-dev, installed by scripts/setup): "
                        "the tests run the AVX-512 kernels through it")
  endif()
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_include_directories(${name} SYSTEM PRIVATE ${QUILLFEN_SIMDE_INCLUDE_DIR})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/simd_emulation)
  target_compile_definitions(${name} PUBLIC QUILLFEN_SIMD_EMULATION
                                     PRIVATE QUILLFEN_SIMD_MAX_LEVEL=${QUILLFEN_SIMD_MAX_LEVEL})
  # SIMDe passes 256- and 512-bit vectors by value where the baseline has no such registers.
  target_compile_options(${name} PRIVATE -Wno-psabi)
endfunction()
