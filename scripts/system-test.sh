#!/usr/bin/env bash
# The system tests from a fresh machine: installs what they need, configures
# the build whose generated constants they read, builds the package of each
# architecture and runs the tests on Debian 12 under QEMU.
#
#   scripts/system-test.sh [ARCH...]      (amd64, arm64, armhf; default amd64)
#
# amd64 runs every system test, two VMs at a time; arm64 and armhf run the
# cross-architecture leg, one VM each. TARVEX_DEB_<ARCH> (TARVEX_DEB_ARMHF,
# ...) names a package already built, which is then used as it is. An empty
# image cache (/var/cache/tarvexd-system, or TARVEX_SYSTEM_CACHE) costs one
# image build per architecture first. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

[ "$(id -u)" = 0 ] || { echo "system-test.sh: run as root (QEMU's images and their cache need it)" >&2; exit 1; }
[ $# -gt 0 ] || set -- amd64
native=
cross=()
for arch in "$@"; do
  case $arch in
    amd64) native=amd64 ;;
    arm64|armhf) cross+=("$arch") ;;
    *) echo "system-test.sh: unknown architecture $arch (amd64, arm64, armhf)" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh system "${cross[@]}"

export TARVEX_BUILD=${TARVEX_BUILD:-$repo/build}
cmake -S . -B "$TARVEX_BUILD" -DTARVEX_BUILD_TESTS=ON >/dev/null

for arch in "$@"; do
  deb=TARVEX_DEB_${arch^^}
  if [ -z "${!deb:-}" ]; then
    packaging/build.sh "$arch" "build-$arch" >/dev/null
    # shellcheck disable=SC2012 # the newest by time; the names are the build's own
    export "$deb=$(ls -t "build-$arch"/tarvexd_*_"$arch".deb | head -n1)"
  fi
  echo "system-test.sh: $arch package ${!deb}"
done

pytest=(/usr/bin/python3 -m pytest -q -p no:cacheprovider --durations=12)
if [ -n "$native" ]; then
  "${pytest[@]}" -n 2 --dist loadfile tests/system
fi
if [ ${#cross[@]} -gt 0 ]; then
  TARVEX_SYSTEM_ARCHS="${cross[*]}" "${pytest[@]}" -n ${#cross[@]} --dist loadgroup tests/system/test_architectures.py
fi
