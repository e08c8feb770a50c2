#!/usr/bin/env bash
# Shows tarvexd at work on a fresh Debian 12 machine: installs what it needs,
# builds it, and runs tools/try_key.py, which puts the real daemon on a
# simulated device and a simulated USB key into it. Run as root. Arguments go
# to try_key.py (see tools/try_key.py --help), for example to try your own
# update folder: sudo scripts/demo.sh --key ~/my-update
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${TARVEX_BUILD:-$repo/build}

[ "$(id -u)" = 0 ] || { echo "demo.sh: run as root (sudo scripts/demo.sh): the simulated device needs it" >&2; exit 1; }

echo "== Installing the packages the demo needs"
scripts/install-deps.sh

echo "== Building tarvexd in $build"
mkdir -p "$build"
log=$build/demo-build.log
# The tests' build also makes the stand-in for the device's main application.
if ! { cmake -S . -B "$build" -DTARVEX_BUILD_TESTS=ON &&
    cmake --build "$build" -j"$(nproc)" --target tarvexd fake_quorl; } >"$log" 2>&1; then
    echo "demo.sh: the build failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
fi

export TARVEX_BUILD=$build
exec /usr/bin/python3 -B tools/try_key.py "$@"
