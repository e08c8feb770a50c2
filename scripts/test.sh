#!/usr/bin/env bash
# Installs what the tests need, builds with warnings as errors, and runs the
# unit tests and the end-to-end tests, inside the device sandbox (the heavier
# steps are scripts/ci-extra.sh's).
# Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${TARVEX_BUILD:-$repo/build}

[ "$(id -u)" = 0 ] || { echo "test.sh: run as root (the sandbox needs it)" >&2; exit 1; }

scripts/install-deps.sh

# Whatever happens, leave no sandbox, mount or loop device behind.
trap 'tests/sandbox/sandbox sweep --stale >/dev/null 2>&1 || true' EXIT

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_WERROR=ON -DTARVEX_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"

echo "== unit tests"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure

echo "== end-to-end tests"
# They mostly wait for the daemon's passes in real time: two at a time per CPU.
TARVEX_BUILD=$build /usr/bin/python3 -m pytest -q -p no:cacheprovider -n "$((2 * $(nproc)))" tests/e2e
