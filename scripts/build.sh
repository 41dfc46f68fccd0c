# Sourced by the project's scripts (after deps.sh): the configurations of the project's own build
# trees. All of them treat warnings as errors and use the cached ONNX Runtime.
#   configure_build release|sanitize|package|fuzz|arm64|package-arm64
# release  build/release   RelWithDebInfo, tests and benchmarks (scripts/test, scripts/demo)
# sanitize build/sanitize  RelWithDebInfo with ASan and UBSan, tests (scripts/test --sanitize)
# package  build/package   Release, the engine alone (scripts/package)
# fuzz     build/fuzz      RelWithDebInfo, clang 19, ASan, UBSan and libFuzzer (scripts/fuzz)
# arm64    build/arm64     cross build for arm64 (cmake/aarch64-linux-gnu.cmake), RelWithDebInfo,
#                          tests run under QEMU on the repository's test data only (the trained
#                          model on a larger data folder is too slow emulated), no benchmarks
#                          (scripts/test-arm64)
# package-arm64  build/package-arm64  the same cross build, Release, the engine alone
#                          (scripts/package --arch arm64)
configure_build() {
  local args=(-DQUILLFEN_WERROR=ON -DQUILLFEN_ORT_ROOT="$QUILLFEN_ORT_ROOT")
  local arm64=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
    -DQUILLFEN_ORT_ROOT="$QUILLFEN_ORT_ROOT_ARM64")
  case $1 in
    release) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_SANITIZE=OFF -DQUILLFEN_BENCHMARKS=ON) ;;
    sanitize) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_SANITIZE=ON -DQUILLFEN_BENCHMARKS=OFF) ;;
    package) args+=(-DCMAKE_BUILD_TYPE=Release -DQUILLFEN_ENGINE_ONLY=ON -DQUILLFEN_SANITIZE=OFF) ;;
    fuzz) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 -DQUILLFEN_SANITIZE=ON
      -DQUILLFEN_FUZZ=ON -DQUILLFEN_BENCHMARKS=OFF) ;;
    arm64) args+=("${arm64[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEN_SANITIZE=OFF
      -DQUILLFEN_BENCHMARKS=OFF -DQUILLFEN_EXTERNAL_TEST_DATA=) ;;
    package-arm64) args+=("${arm64[@]}" -DCMAKE_BUILD_TYPE=Release -DQUILLFEN_ENGINE_ONLY=ON
      -DQUILLFEN_SANITIZE=OFF) ;;
    *) echo "configure_build: unknown build $1" >&2; return 1 ;;
  esac
  cmake -S . -B "build/$1" "${args[@]}" >/dev/null
}
