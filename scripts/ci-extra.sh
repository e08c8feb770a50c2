#!/usr/bin/env bash
# The heavier CI steps, after the README's test command: static checks,
# sanitizer builds, the armhf build under qemu (unit and end-to-end tests),
# the packages with lintian, the service unit, the sudoers policy, and the
# soak. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends \
  clang-tidy clang-format cppcheck crossbuild-essential-armhf qemu-user \
  lintian dpkg-dev file systemd >/dev/null

trap 'tests/sandbox/sandbox sweep --stale >/dev/null 2>&1 || true' EXIT
step() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

step "static checks"
scripts/static-checks.sh build-static-checks

for sanitize in address,undefined thread; do
  dir=build-${sanitize%%,*}
  step "unit tests with -fsanitize=$sanitize"
  cmake -S . -B "$dir" -DTARVEX_SANITIZE="$sanitize" -DTARVEX_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
done

step "armhf: static build, unit tests under qemu-arm, package"
packaging/build-armhf.sh build-armhf --tests -- -DTARVEX_WERROR=ON

step "armhf: the end-to-end daemon tests, emulated"
TARVEX_BUILD=$repo/build-armhf TARVEX_EMULATOR=qemu-arm \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider -n "$(nproc)" tests/e2e/test_daemon.py

step "amd64 package"
(cd build && cpack -G DEB >/dev/null && ls tarvexd_*_amd64.deb)

step "lintian"
lint_tmp=$(mktemp -d)
for deb in build/tarvexd_*_amd64.deb build-armhf/tarvexd_*_armhf.deb; do
  TMPDIR=$lint_tmp lintian --fail-on error "$deb"
done
rm -rf "$lint_tmp"

step "service unit and sudoers policy"
packaging/check-unit.sh build
packaging/check-sudoers.sh

if [ -x scripts/soak.sh ]; then
  step "soak"
  scripts/soak.sh
fi

step "nothing left behind"
leftover=$(losetup -l -n -O NAME,BACK-FILE | grep -E 'tarvex|/run/tarvex|\.img' || true)
[ -z "$leftover" ] || { echo "loop devices left: $leftover" >&2; exit 1; }
! ls -d /tmp/tarvex-sb.* 2>/dev/null || { echo "sandbox dirs left" >&2; exit 1; }
echo "all extra CI steps passed"
