#!/usr/bin/env bash
# Soak run: the daemon's supervision pass, back to back without its 3 s sleep,
# through key insertions and pulls, dead keys, update runs with log hand-offs,
# mounts that can no longer be listed and deaths of the application; fails when
# the daemon misbehaves or when its process ends holding more descriptors,
# threads, children or memory than after warm-up. 3 to 4 minutes on 2 cores.
#
#   sudo scripts/soak.sh [PASSES]        (default 10000; SOAK_SEED=N for another schedule)
#
# Builds in build-soak/ and runs inside the device sandbox, as root on Debian 12
# (scripts/install-deps.sh installs what it needs).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARVEX_SOAK_BUILD:-$PWD/build-soak}
passes=${1:-10000}
seed=${SOAK_SEED:-1}

[ "$(id -u)" = 0 ] || { echo "soak.sh: run as root (the sandbox needs it)" >&2; exit 1; }
[[ $passes =~ ^[0-9]+$ ]] || { echo "usage: soak.sh [PASSES]" >&2; exit 2; }

# Whatever happens, leave no sandbox, mount or loop device behind.
trap 'tests/sandbox/sandbox sweep --stale >/dev/null 2>&1 || true' EXIT

cmake -S . -B "$build" -DTARVEX_BUILD_TESTS=ON -DTARVEX_SOAK=ON -DTARVEX_SOAK_PASSES="$passes" >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarvex_soak fake_quorl >/dev/null

start=$SECONDS
rc=0
tests/sandbox/sandbox run --build "$build" -- \
  "$build/tests/tarvex_soak" --passes "$passes" --seed "$seed" || rc=$?
echo "soak.sh: $((SECONDS - start)) s, exit status $rc"
exit $rc
