#!/bin/bash
# Cross-builds tarvexd for Raspbian (armhf, ARMv7 and later) on a Debian
# amd64 machine: a statically linked binary and tarvexd_<version>_armhf.deb.
#
#   packaging/build-armhf.sh BUILD_DIR [--tests] [-- EXTRA CMAKE ARGS...]
#
# --tests also builds the unit tests for armhf and runs them under qemu-arm.
# They use libgtest-dev:armhf when it is installed (dpkg --add-architecture
# armhf); otherwise GoogleTest is compiled from /usr/src/googletest with the
# cross compiler into BUILD_DIR/googletest.
#
# Needs: crossbuild-essential-armhf cmake; qemu-user for --tests.
set -euo pipefail

usage() {
    echo "usage: $0 BUILD_DIR [--tests] [-- EXTRA CMAKE ARGS...]" >&2
    exit 2
}

[ $# -ge 1 ] || usage
build=$1
shift
tests=OFF
if [ "${1:-}" = --tests ]; then
    tests=ON
    shift
fi
if [ "${1:-}" = -- ]; then
    shift
elif [ $# -gt 0 ]; then
    usage
fi

src=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$src/cmake/toolchain-armhf.cmake
mkdir -p "$build"
build=$(cd "$build" && pwd)

gtest_args=()
if [ "$tests" = ON ] && [ ! -f /usr/lib/arm-linux-gnueabihf/cmake/GTest/GTestConfig.cmake ]; then
    gtest=$build/googletest
    if [ ! -f "$gtest/root/lib/cmake/GTest/GTestConfig.cmake" ]; then
        echo "build-armhf: no libgtest-dev:armhf; compiling GoogleTest from /usr/src/googletest"
        cmake -S /usr/src/googletest -B "$gtest/build" \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$gtest/root"
        cmake --build "$gtest/build" -j"$(nproc)"
        cmake --install "$gtest/build"
    fi
    gtest_args=(-DGTest_DIR="$gtest/root/lib/cmake/GTest")
fi

cmake -S "$src" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DTARVEX_STATIC=ON \
    -DTARVEX_BUILD_TESTS="$tests" \
    "${gtest_args[@]}" "$@"
cmake --build "$build" -j"$(nproc)"

if [ "$tests" = ON ]; then
    # The toolchain file sets qemu-arm as the emulator, so ctest runs the
    # armhf test programs directly.
    (cd "$build" && ctest --output-on-failure)
fi

# CPack stages into BUILD_DIR with DESTDIR; nothing is installed here.
(cd "$build" && cpack -G DEB)

file "$build/tarvexd"
ls "$build"/tarvexd_*_armhf.deb
