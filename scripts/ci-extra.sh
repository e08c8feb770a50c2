#!/usr/bin/env bash
# The heavier CI steps, after the README's test command: static checks,
# sanitizer builds, the fuzzers, the armhf and arm64 builds under qemu (unit
# and end-to-end tests), the packages with lintian and through dpkg, the
# service unit, the sudoers policy, the system tests under QEMU (amd64, and
# the arm64 and armhf legs), and the soak.
# Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

export DEBIAN_FRONTEND=noninteractive
scripts/install-deps.sh armhf arm64 system
apt-get install -y -qq --no-install-recommends \
  clang-tidy clang-format cppcheck lintian dpkg-dev file systemd clang libclang-rt-14-dev >/dev/null

trap 'tests/sandbox/sandbox sweep --stale >/dev/null 2>&1 || true' EXIT
step_name=
step_start=$SECONDS
step() {
  [ -z "$step_name" ] || printf '== %s: %d s\n' "$step_name" $((SECONDS - step_start))
  step_name=$1
  step_start=$SECONDS
  [ -z "$step_name" ] || printf '\n== %s (%s)\n' "$step_name" "$(date +%T)"
}

step "static checks"
scripts/static-checks.sh build-static-checks

for sanitize in address,undefined thread; do
  dir=build-${sanitize%%,*}
  step "unit tests with -fsanitize=$sanitize"
  cmake -S . -B "$dir" -DTARVEX_SANITIZE="$sanitize" -DTARVEX_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
done

step "fuzzing: every harness 60 s on its corpus under ASan + UBSan, $(nproc) at a time"
scripts/fuzz.sh -t 60 -j "$(nproc)"

# The unit tests and part of the end-to-end tests on each ARM target, under
# emulation: armhf on the Pi 1's ARM1176 core, the oldest any package must run
# on. End to end, one test for each of the daemon's jobs (an update with the
# log hand-off and its beeper thread; the watchdog's /proc scan; mounting,
# including readdir of an ext4 key, which needs 64-bit offsets on 32-bit ARM);
# the other tests vary the same code's decisions, which the unit tests already
# run under the same emulator.
e2e_subset=(
  tests/e2e/test_daemon.py::test_update_then_post_update_with_log_hand_off
  tests/e2e/test_daemon.py::test_key_present_at_start_and_the_watchdog
  tests/e2e/test_daemon.py::test_ext4_keys_plain_mount_and_unlistable_mount
)
for target in armhf arm64; do
  case $target in
    armhf) emulator="qemu-arm -cpu arm1176" ;;
    arm64) emulator=qemu-aarch64 ;;
  esac
  step "$target: static build, unit tests under $emulator, package"
  packaging/build.sh "$target" "build-$target" --tests -- -DTARVEX_WERROR=ON

  step "$target: end-to-end daemon tests under $emulator"
  TARVEX_BUILD=$repo/build-$target TARVEX_EMULATOR=$emulator \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider -n "$(nproc)" "${e2e_subset[@]}"
done

step "amd64 package"
packaging/build.sh amd64 build-amd64 -- -DTARVEX_WERROR=ON

# The packages on a real Debian 12 system under QEMU (TCG). The images are
# cached under /var/cache/tarvexd-system and rebuilt only when their builder
# or apt's sources change.
step "system tests: the amd64 package on Debian 12 under QEMU, two VMs at a time"
# shellcheck disable=SC2012 # the newest by time; the names are the build's own
TARVEX_DEB_AMD64=$(ls -t build-amd64/tarvexd_*_amd64.deb | head -n1) scripts/system-test.sh amd64

# The ARM packages under TCG, several times slower than amd64: each leg is
# one device through tests/system/test_architectures.py's cases, the two legs
# side by side.
step "system tests: the arm64 and armhf packages under qemu-system-aarch64 and qemu-system-arm"
# shellcheck disable=SC2012 # the newest by time; the names are the build's own
TARVEX_DEB_ARM64=$(ls -t build-arm64/tarvexd_*_arm64.deb | head -n1) \
  TARVEX_DEB_ARMHF=$(ls -t build-armhf/tarvexd_*_armhf.deb | head -n1) \
  scripts/system-test.sh arm64 armhf

step "package through dpkg: install, remove, reinstall, upgrade, purge"
packaging/check-deb.sh build-debcheck

step "lintian"
lint_tmp=$(mktemp -d)
for deb in build-amd64/tarvexd_*_amd64.deb build-armhf/tarvexd_*_armhf.deb build-arm64/tarvexd_*_arm64.deb; do
  TMPDIR=$lint_tmp lintian --fail-on error,warning "$deb"
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
! ls -d /tmp/tarvex-sb.* /tmp/tarvex-check-* 2>/dev/null || { echo "sandbox dirs left" >&2; exit 1; }
step ""
echo "all extra CI steps passed"
