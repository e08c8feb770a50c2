# Cross build for Raspbian (armhf) with Debian's arm-linux-gnueabihf compilers
# (package crossbuild-essential-armhf).
#
#   cmake -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DTARVEX_STATIC=ON
#
# Debian's armhf toolchain and libraries target ARMv7 with Thumb-2 and VFPv3:
# the result runs on Pi 2, 3, 4, 5 and Zero 2, not on ARMv6 boards (Pi 1,
# Zero), which must build natively. Adding -march=armv6 does not help: the
# static libc and libstdc++ linked in are still ARMv7 code.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TARVEX_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TARVEX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVEX_CROSS_TRIPLET}-g++)

# No CMAKE_FIND_ROOT_PATH: the cross compiler finds its own libc and
# libstdc++ under /usr/arm-linux-gnueabihf, and armhf libraries added through
# multiarch (dpkg --add-architecture armhf; apt-get install libgtest-dev:armhf)
# live in /usr/lib/arm-linux-gnueabihf, which CMake already searches because it
# derives CMAKE_LIBRARY_ARCHITECTURE from the compiler. The host's amd64
# libraries sit in /usr/lib/x86_64-linux-gnu and are never searched.

# Lets ctest and gtest_discover_tests run armhf test programs on the build
# machine (package qemu-user). -L supplies the armhf dynamic loader and
# libraries for tests that are not linked statically.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${TARVEX_CROSS_TRIPLET}
    CACHE STRING "Runs armhf programs on the build machine")
