#!/usr/bin/env bash
# Pass-cost benchmark: CPU and processes per supervision pass, resident memory
# of the real daemon (native and static builds), and the application lookup
# against starting pgrep, each with PASS or MISS against its target. Prints
# figures; exits non-zero only when it cannot measure. About a minute.
#
#   sudo scripts/bench.sh
#
# Builds in build-bench/native and build-bench/static and runs inside the
# device sandbox, as root on Debian 12 (scripts/install-deps.sh installs what
# it needs).
set -euo pipefail
cd "$(dirname "$0")/.."
native=$PWD/build-bench/native
static=$PWD/build-bench/static

[ "$(id -u)" = 0 ] || { echo "bench.sh: run as root (the sandbox needs it)" >&2; exit 1; }

trap 'tests/sandbox/sandbox sweep --stale >/dev/null 2>&1 || true' EXIT

# The project's default build type (RelWithDebInfo: -O2; its debug information
# is never loaded, so it adds nothing to resident memory).
cmake -S . -B "$native" -DTARVEX_BUILD_TESTS=ON >/dev/null
cmake --build "$native" -j"$(nproc)" --target tarvexd tarvex_bench fake_quorl >/dev/null
cmake -S . -B "$static" -DTARVEX_BUILD_TESTS=OFF -DTARVEX_STATIC=ON >/dev/null
cmake --build "$static" -j"$(nproc)" --target tarvexd >/dev/null

start=$SECONDS
tests/sandbox/sandbox run --build "$native" -- \
  "$native/tests/tarvex_bench" --native "$native/tarvexd" --static "$static/tarvexd"
echo "bench.sh: $((SECONDS - start)) s"
