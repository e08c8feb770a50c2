# Cross build of the arm64 package (64-bit Raspberry Pi OS on Pi 3, 4, 5 and
# Zero 2) on a Debian amd64 machine with Debian's arm64 compilers (package
# g++-aarch64-linux-gnu).
#
#   cmake -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake -DTARVEX_STATIC=ON
#
# libsodium (and GoogleTest for the tests) come from Debian's arm64 packages
# through multiarch, which CMake finds in /usr/lib/aarch64-linux-gnu by the
# compiler's triplet: dpkg --add-architecture arm64; apt-get install
# libsodium-dev:arm64 libgtest-dev:arm64 (scripts/install-deps.sh arm64).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TARVEX_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TARVEX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVEX_CROSS_TRIPLET}-g++)

# ctest runs the test programs under emulation (package qemu-user). Cross-built
# tests are static like the daemon (tests/CMakeLists.txt), so no -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64
    CACHE STRING "Runs the arm64 programs on the build machine")
