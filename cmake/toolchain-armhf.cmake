# Cross build of the armhf package: one static binary for every 32-bit
# Raspberry Pi, ARMv6 boards (Pi 1, Zero, Zero W) included, made on a Debian
# amd64 machine with Debian's armel compilers (package g++-arm-linux-gnueabi).
#
#   cmake -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DTARVEX_STATIC=ON
#
# Why armel compilers for an armhf package: Debian's armhf compilers and the
# libc and libstdc++ they link in are ARMv7 with Thumb-2, and a static build
# with -march=armv6 still dies with SIGILL on the Pi 1's ARM1176 core. The
# armel ones are ARMv5TE, which every ARMv6 and later core runs. The binary
# is static, so the armel calling convention (floats in integer registers)
# never meets the device's armhf libraries, and the kernel runs any EABI
# binary. No -march here: code built for ARMv6 makes libstdc++'s headers pick
# atomic shared_ptr counts while the prebuilt armel libstdc++ uses a mutex, and
# the two would disagree. The daemon does no floating point worth VFP.
#
# libsodium (and GoogleTest for the tests) come from Debian's armel packages
# through multiarch: dpkg --add-architecture armel; apt-get install
# libsodium-dev:armel libgtest-dev:armel (scripts/install-deps.sh armhf).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TARVEX_CROSS_TRIPLET arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${TARVEX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVEX_CROSS_TRIPLET}-g++)

# GCC notes that 32-bit ARM passed some arguments differently before GCC 7.1;
# everything here is built by one GCC 12, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The package is named for the devices it installs on, not for the compiler.
set(TARVEX_DEB_ARCHITECTURE armhf)

# No CMAKE_FIND_ROOT_PATH: the cross compiler finds its own libc and
# libstdc++ under /usr/arm-linux-gnueabi, and multiarch libraries live in
# /usr/lib/arm-linux-gnueabi, which CMake searches because it derives
# CMAKE_LIBRARY_ARCHITECTURE from the compiler. The build machine's libraries
# in /usr/lib/x86_64-linux-gnu are never searched.

# ctest runs the test programs on the Pi 1's core (package qemu-user), which
# proves they need nothing newer. Cross-built tests are static like the daemon
# (tests/CMakeLists.txt), so no -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176
    CACHE STRING "Runs the ARM programs on the build machine")
