# Cross build for 64-bit ARM Linux (Debian arm64) on an x86-64 Debian machine:
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DQUILLFEN_ORT_ROOT=<a directory with the linux/arm64 libonnxruntime.so.1>
# (scripts/build.sh's arm64 builds do this; `scripts/setup --arch arm64` installs what it needs.)
#
# Compiler: Debian's GCC 12 cross compiler (g++-aarch64-linux-gnu). Libraries found by CMake
# (GoogleTest for the tests) are the arm64 ones of Debian's multiarch layout
# (/usr/lib/aarch64-linux-gnu), never the build machine's own. Test programs run under QEMU's
# user-mode emulation with the multiarch arm64 C and C++ runtimes (`qemu-aarch64 -L /`).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

# Host programs (python3, the model generators) from the build machine; libraries, headers and
# package configurations only where the arm64 ones live.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Debian's name of the architecture, for the .deb.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
