#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer over the daemon's code) and runs each on its seed corpus for
# SECONDS (60 by default), JOBS of them at a time (1 by default). What the
# fuzzer finds goes to a scratch directory, never into the repository: new
# inputs to WORK/<harness>/, a crashing input to WORK/<harness>/crash-*; a
# crash fails the script and the scratch directory is kept. Run as root on
# Debian 12.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-w WORK] [HARNESS...]
#
# Without HARNESS, every harness in tests/fuzz runs. -w keeps the scratch
# corpus in WORK (made if missing), so a later run goes on from it.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${TARVEX_FUZZ_BUILD:-$repo/build-fuzz}
seconds=60
jobs=1
work=
while getopts t:j:w: opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    w) work=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || mapfile -t harnesses < <(ls tests/fuzz/corpus)

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends cmake make clang libclang-rt-14-dev libsodium-dev >/dev/null
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DTARVEX_FUZZ=ON -DTARVEX_BUILD_TESTS=OFF \
  -DTARVEX_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

keep=${work:+yes}
work=${work:-$(mktemp -d /tmp/tarvex-fuzz.XXXXXX)}
export UBSAN_OPTIONS=print_stacktrace=1
# One harness; its summary, or the end of its log, goes to WORK/HARNESS.out
# and a failure leaves WORK/HARNESS.failed.
fuzz_one() {
  local harness=$1
  mkdir -p "$work/$harness"
  # New inputs go to the first directory; the seeds are only read.
  if "$build/tests/fuzz/$harness" -max_total_time="$seconds" -timeout=10 -max_len=8192 \
       -print_final_stats=1 -artifact_prefix="$work/$harness/" \
       "$work/$harness" "tests/fuzz/corpus/$harness" >"$work/$harness.log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' "$work/$harness.log" \
      >"$work/$harness.out" || true
  else
    tail -n 40 "$work/$harness.log" >"$work/$harness.out"
    touch "$work/$harness.failed"
  fi
}
for harness in "${harnesses[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_one "$harness" &
done
wait
failed=()
for harness in "${harnesses[@]}"; do
  echo "== $harness: $seconds s"
  cat "$work/$harness.out"
  [ ! -e "$work/$harness.failed" ] || failed+=("$harness")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: ${failed[*]} failed (a crash, or see the log); inputs and logs in $work" >&2
  exit 1
fi
[ -n "$keep" ] || rm -rf "$work"
