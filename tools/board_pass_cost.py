#!/usr/bin/env python3
"""What a pass of the daemon costs on a booted board, counted in `sh -c true`
run on the same board: under TCG an absolute time says more about the host
than about the board, a ratio of two costs on one board does not. Boots the
architecture's image on its board (tools/system_vm.py), installs the package
and measures, over PASSES passes each, the CPU time (utime + stime of the
daemon and of the children it reaped, from /proc/PID/stat) with no key, then
with a FAT32 key left in (mounted, already looked at), then with no key
again. Run as root; about 3 x PASSES x 3 s plus the boot:

    tools/board_pass_cost.py [--arch armhf] [--deb PACKAGE] [--passes 100]
"""

import argparse
import os
import pathlib
import re
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from key_image import Key  # noqa: E402
from system_vm import REPO, Image  # noqa: E402
from tarvex_sim import constants  # noqa: E402

# Runs in the guest. Counts passes by the daemon's sleep between them, polled
# with bash builtins only, so the poll starts no process of its own: a pass
# begins when the daemon leaves its sleep. The sleep is told by the system
# call the main thread waits in (/proc/PID/syscall): wchan names no function
# on every architecture's kernel (0 on armhf). The numbers are nanosleep's
# and clock_nanosleep's (and on armhf its 64-bit time variant's). Prints the CPU ticks of the daemon
# over PASSES passes, its pass's wall time, and the ticks of RUNS sh -c true.
MEASURE = r"""
set -eu
pid=$(systemctl show -p MainPID --value tarvexd)
passes=$1 runs=$2
exec {never}<> <(:)
ticks() { local s; read -r s </proc/$1/stat; set -- ${s##*) }; T=$(( ${12} + ${13} + ${14} + ${15} )); }
case $(uname -m) in
  x86_64) sleeps=" 35 230 " ;;
  aarch64) sleeps=" 101 115 " ;;
  arm*) sleeps=" 162 265 407 " ;;
esac
asleep() { local n; read -r n _ </proc/$pid/syscall || n=; [[ $sleeps == *" $n "* ]]; }
wait_pass_start() { while ! asleep; do read -t 0.05 -u $never || :; done
                    while asleep; do read -t 0.05 -u $never || :; done; }
baseline() { ticks $$; local t0=$T; for ((i = 0; i < runs; i++)); do sh -c true; done
             ticks $$; B=$((T - t0)); }
baseline; sh0=$B
wait_pass_start; wait_pass_start; wait_pass_start  # past a key's first look
ticks $pid; t0=$T w0=$EPOCHREALTIME
for ((n = 0; n < passes; n++)); do wait_pass_start; done
ticks $pid; t1=$T w1=$EPOCHREALTIME
baseline; sh1=$B
echo "$((t1 - t0)) $w0 $w1 $sh0 $sh1"
"""


def measure(vm, passes, runs, delay):
    vm.put("/root/measure.sh", MEASURE.encode())
    out = vm.out(f"bash /root/measure.sh {passes} {runs}", timeout=passes * (delay + 10) + 600)
    ticks, w0, w1, sh0, sh1 = out.split()
    hz = int(vm.out("getconf CLK_TCK"))
    per_pass = int(ticks) / hz / passes
    sh = (int(sh0) + int(sh1)) / 2 / hz / runs
    wall = (float(w1) - float(w0)) / passes - delay
    return per_pass, sh, wall


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--arch", default="armhf")
    ap.add_argument("--deb", help="the package (default: the newest in build-ARCH)")
    ap.add_argument("--passes", type=int, default=100)
    ap.add_argument("--runs", type=int, default=200, help="sh -c true runs before and after each count")
    a = ap.parse_args()
    deb = a.deb or max((REPO / f"build-{a.arch}").glob(f"tarvexd_*_{a.arch}.deb"), key=os.path.getmtime)
    c = constants()
    with tempfile.TemporaryDirectory(prefix="pass-cost.") as tmp, Image(a.arch).vm(tmp) as vm:
        cpus = vm.out("nproc").strip()
        print(f"{a.arch} on {' '.join(vm.board.machine)}, {cpus} CPUs; booted in {vm.boot_seconds:.0f} s", flush=True)
        vm.install(deb)
        results = {}
        key = Key(pathlib.Path(tmp) / "key.img", [("vfat", 64, {})])
        # No key before and after the key: the host's load drifts, and the
        # two show how far that moved the ratio.
        for name in ("no key", "a key left in", "no key again"):
            if name == "a key left in":
                vm.plug(key)
                vm.wait_line(re.escape(c.kLineMounted), timeout=120)
            elif name == "no key again":
                since = len(vm.journal())
                vm.pull(key)
                vm.wait_line(re.escape(c.kLineUnmounting), since, timeout=120)
            per_pass, sh, wall = measure(vm, a.passes, a.runs, c.kPassDelaySeconds)
            results[name] = per_pass / sh
            print(
                f"{name}: {per_pass * 1000:.1f} ms CPU per pass ({wall * 1000:.0f} ms wall), "
                f"sh -c true {sh * 1000:.1f} ms: {per_pass / sh:.2f} x sh -c true",
                flush=True,
            )
        without = (results["no key"] + results["no key again"]) / 2
        print(
            f"a key left in / no key: {results['a key left in'] / without:.2f} "
            f"(no key before / after: {results['no key'] / results['no key again']:.2f})"
        )


if __name__ == "__main__":
    main()
