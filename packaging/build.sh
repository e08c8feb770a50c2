#!/bin/bash
# Builds the static tarvexd and its Debian package for one target, on a
# Debian 12 amd64 machine:
#
#   packaging/build.sh TARGET BUILD_DIR [--tests] [--trusted-key FILE]...
#                      [--log-key FILE] [--deb-version VERSION] [-- EXTRA CMAKE ARGS...]
#
#   TARGET  amd64   this machine's architecture
#           armhf   every 32-bit Raspberry Pi, ARMv6 boards included
#                   (cmake/toolchain-armhf.cmake says how)
#           arm64   64-bit Raspberry Pi OS
#
# The package, tarvexd_<version>_<TARGET>.deb, ends up in BUILD_DIR.
#
# --tests           also builds the unit tests and runs them, under
#                   qemu-arm -cpu arm1176 or qemu-aarch64 for the ARM targets
# --trusted-key F   a minisign public key (.pub) that devices trust for update
#                   scripts; repeat for more. Without it the package installs
#                   nothing under /etc/tarvexd.
# --log-key F       a log public key (.pub, from tools/tarvex-key keygen):
#                   devices that trust keys hand their logs over sealed to it,
#                   for its secret half to open. Needs --trusted-key.
# --deb-version V   the package's version (default: the daemon's version). A
#                   package that only changes the trusted keys needs a higher
#                   one, or apt will not install it over the old one.
#
# Every option is passed to CMake on every run, so running again in the same
# BUILD_DIR without --trusted-key (or --log-key) really drops the keys. Needs what
# "scripts/install-deps.sh TARGET" installs.
set -euo pipefail

usage() {
    sed -n '5,6p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 2 ] || usage
target=$1
build=$2
shift 2
tests=OFF
keys=()
log_key=
deb_version=
while [ $# -gt 0 ]; do
    case $1 in
        --tests) tests=ON; shift ;;
        --trusted-key)
            [ -f "${2:-}" ] || { echo "build.sh: --trusted-key needs a file: ${2:-}" >&2; exit 2; }
            keys+=("$(realpath "$2")"); shift 2 ;;
        --log-key)
            [ -f "${2:-}" ] || { echo "build.sh: --log-key needs a file: ${2:-}" >&2; exit 2; }
            log_key=$(realpath "$2"); shift 2 ;;
        --deb-version) deb_version=${2:?--deb-version needs a version}; shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done

src=$(cd "$(dirname "$0")/.." && pwd)
toolchain_args=()
case $target in
    amd64) triplet=x86_64-linux-gnu; cxx=g++ ;;
    armhf) triplet=arm-linux-gnueabi ;;
    arm64) triplet=aarch64-linux-gnu ;;
    *) usage ;;
esac
if [ "$target" != amd64 ]; then
    cxx=$triplet-g++
    toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$target.cmake")
fi

# A missing piece shows here with its remedy, not as a link error later.
missing=()
command -v "$cxx" >/dev/null || missing+=("$cxx")
[ -f "/usr/lib/$triplet/libsodium.a" ] || missing+=("libsodium.a for $triplet")
if [ "$tests" = ON ]; then
    [ -f "/usr/lib/$triplet/cmake/GTest/GTestConfig.cmake" ] || missing+=("GoogleTest for $triplet")
    case $target in
        armhf) command -v qemu-arm >/dev/null || missing+=(qemu-arm) ;;
        arm64) command -v qemu-aarch64 >/dev/null || missing+=(qemu-aarch64) ;;
    esac
fi
if [ ${#missing[@]} -gt 0 ]; then
    printf 'build.sh: missing %s\n' "${missing[@]}" >&2
    echo "build.sh: run (as root) $src/scripts/install-deps.sh $target" >&2
    exit 1
fi

mkdir -p "$build"
build=$(cd "$build" && pwd)
key_list=$(IFS=';'; echo "${keys[*]}")

cmake -S "$src" -B "$build" "${toolchain_args[@]}" \
    -DTARVEX_STATIC=ON \
    -DTARVEX_BUILD_TESTS="$tests" \
    -DTARVEX_TRUSTED_KEYS="$key_list" \
    -DTARVEX_LOG_KEY="$log_key" \
    -DTARVEX_DEB_VERSION="$deb_version" \
    "$@"
cmake --build "$build" -j"$(nproc)"

if [ "$tests" = ON ]; then
    # For the ARM targets the toolchain file names the emulator, and ctest
    # runs the test programs through it.
    ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
fi

# CPack stages into BUILD_DIR with DESTDIR; nothing is installed here. An
# older package left in BUILD_DIR would be taken for this one.
rm -f "$build"/tarvexd_*.deb
(cd "$build" && cpack -G DEB >/dev/null)

file "$build/tarvexd"
ls "$build"/tarvexd_*_"$target".deb
