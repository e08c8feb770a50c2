"""The two devices the trial's engine (try_key.py) runs a key on: the
sandbox's simulated device (Trial), and the installed package on a
throw-away virtual machine of the system tests' harness (VMTrial, for
--vm). Each starts its device, plugs the key in, feeds the daemon's lines
to the engine, watches for the script's end and makes its summary's own
fields; what the device shows is all each knows."""

import collections
import contextlib
import dataclasses
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
import types

from system_vm import REPO, Image, ProtocolError, journal_entry
from tarvex_sim import MIB, Daemon, home_files, key_layout, sounds
from try_key import EXIT_KEY_FAILED, EXIT_USAGE, MARKS, Engine, Failure, Mount, printable, say

KEY, SD = "key", "sda"
GONE = "the virtual machine is stopped and its files are gone"


def human_size(n):
    return f"{n / 1024 / MIB:.1f} GiB" if n >= 1024 * MIB else f"{-(-n // MIB)} MiB"


class Trial(Engine):
    """The sandbox's device: the key a loop device inserted as /dev/sda,
    the script followed through the wrapper the daemon runs it with."""

    def __init__(self, sb, source, log_text, trusted, timeout):
        super().__init__(sb.constants, source, log_text, trusted, timeout)
        self.sb, self.d, self.shown = sb, None, 0  # the daemon, and how many of its lines were handed on

    def start(self):
        sb, c = self.sb, self.c
        say(
            f"Simulated device ready (sandbox {sb.dir}): user pi in /home/pi, the key at "
            f"{c.kMountPoint} (root's and immutable, as the package makes it), no network, sounds into a "
            "null device"
        )
        # The application stand-in, so the watchdog has one to keep alive.
        sb.exec("install", "-m", "755", "-o", "pi", "-g", "pi", "/run/tarvex/Quorl.app", "/home/pi/Quorl")
        self.prepare_device(sb.install)
        self.d = Daemon(sb, scripts=True)
        say(
            "Started tarvexd as pi. What it prints follows, verbatim, after the seconds since its start;"
            " a line\nrepeated on stderr shows once." + MARKS
        )

    def plug(self):
        sb, c = self.sb, self.c
        say(f"Preparing the key: {self.source.description}")
        image = self.source.path if self.source.kind == "image" else self.make_key(pathlib.Path(sb.dir)).path
        with open(image, "rb") as f:
            p = sb.popen("key", "import", KEY, "-", stdin=f, stderr=subprocess.PIPE)
            err = p.communicate()[1].decode(errors="replace").strip()
        if p.returncode != 0:
            raise Failure(f"copying your image failed: {err}")
        if image != self.source.path:
            os.unlink(image)  # the sandbox has its copy
        r = sb.exec("key", "ls", KEY)
        names = sorted((printable(line.split(None, 8)[-1]) for line in r.stdout.splitlines()[1:]), key=str.lower)
        say(
            "The key's root holds: " + (", ".join(names) or "nothing")
            if r.returncode == 0
            else "The key's files cannot be listed: it does not mount here either"
        )
        stamp = sb.path(c.kVersionStampPath)
        if not self.pump(lambda: os.path.lexists(stamp), self.first_pass + 12):
            raise Failure("the daemon wrote no version stamp: it does not run properly")
        self.pump(lambda: False, c.kSettleDelaySeconds + 0.5)
        self.home_before = home_files(sb)
        sb.key("insert", KEY, SD)
        layout = key_layout(sb, SD)
        self.fs = {f"/dev/{name}": fs for name, _, fs, _ in layout}
        parts = (f"{name} {human_size(size)} {fs or table or '(no file system)'}" for name, size, fs, table in layout)
        say(f"Key inserted as /dev/{SD} after the daemon's first pass: " + ", ".join(parts))
        return 3 * self.pass_seconds + 4  # the mount and the look come in the next pass or two

    def now(self):
        return self.d.elapsed()

    def read_lines(self):
        end = self.d.mark()
        for t, text, kind in self.d.lines[self.shown : end]:
            self.line(t, text, kind)
        self.shown = end

    def check_alive(self):
        if self.d.proc.poll() is not None:
            self.read_lines()
            raise Failure(f"the daemon ended unexpectedly (exit status {self.d.proc.returncode})")

    def children(self):
        return self.d.children()

    def running(self, pid):
        return bool(pid) and os.path.exists(self.sb.path(f"/proc/{pid}"))

    def findmnt(self):
        r = self.sb.exec("findmnt", "-n", "-o", "SOURCE,OPTIONS", self.c.kMountPoint)
        found = r.stdout.split() if r.returncode == 0 else []
        return Mount(found[0], self.fs.get(found[0]) or "?", found[1]) if len(found) == 2 else None

    def at_timeout(self):
        self.seen.mount = self.findmnt()
        say("Running as pi:\n" + self.sb.exec("ps", "-u", "pi", "-o", "pid,etime,args", "--forest").stdout.rstrip())
        return self.finish(None)

    def pull(self):
        say(f"Pulling the key out (/dev/{SD} goes away)")
        self.sb.key("pull", SD)
        pulled = self.d.elapsed()
        if not self.seen.mount:
            return self.finish(None)
        gone = self.pump(lambda: self.findmnt() is None, self.pass_seconds + 4)
        took = self.d.elapsed() - pulled
        self.pump(lambda: False, 1)  # what the daemon prints about it
        return self.finish(f"yes, {took:.1f} s after the pull" if gone else "no")

    def finish(self, unmounted):
        """UNMOUNTED: what became of the mount after the pull (None: no pull,
        or nothing was mounted)."""
        c, s, p, before, after = self.c, self.seen, printable, self.home_before, home_files(self.sb)
        key_log = ""
        if unmounted is not None:
            # Through the key helper, which reads only a regular file: the
            # key's log.txt may be anything, even a FIFO or a link.
            key_log = self.sb.exec("sh", "-c", f"key get {KEY} {c.kKeyLogFileName} | head -c 65536").stdout
        killed = ""
        with contextlib.suppress(ValueError, TypeError):
            killed = f", killed by {signal.Signals(s.rc - 128).name}"
        changes = [f"{p(n)}: new, {after[n][0]} bytes" for n in sorted(after.keys() - before)]
        changes += [f"{p(n)}: removed" for n in sorted(before.keys() - after)]
        changes += [
            f"{p(n)}: changed, now {after[n][0]} bytes" for n in sorted(after.keys() & before) if after[n] != before[n]
        ]
        status = None
        if s.script and s.end is None:
            status = f"none: still running after {self.timeout:g} s, stopped here"
        elif s.script:
            rc = f"{s.rc} (not looked at by the daemon{killed}), as its wrapper reported it"
            status = f"{'not reported' if s.rc is None else rc}, after {s.end - s.start:.1f} s"
        return self.summary(
            "Summary",
            collections.Counter(os.path.basename(f) for f in sounds(self.sb)),
            key_log.splitlines(),
            os.path.basename(c.kLocalLogPath) in after,
            {"exit status": status, "unmounted": unmounted, "in /home/pi": "\n".join(changes[:12])},
            "" if any(self.fs.values()) else ": blkid finds no file system on it; format it as exFAT or FAT32",
        )


class VMTrial(Engine):
    """The installed package on a throw-away virtual machine: what a crafted
    key can reach is that machine only, and what that machine says is its
    word only. Every deadline is the host's."""

    # The script's exit status, said by an exit trap that the trial's bash
    # reads before the script (BASH_ENV, set for the service of this machine
    # only). A script that sets its own trap, or execs, leaves it unsaid.
    END_LINE = "tarvex-trial: bash ended with exit status "
    END_TRAP = f"trap 'echo \"{END_LINE}$?\"' EXIT\n".encode()
    END_DIR = "/run/tarvex-trial"
    FS, FS_NAME, OK, STEP, SETTLE, GRACE = "vfat", "FAT32", (0, None), 0.5, 2, 0
    ENDED = "The script ended within {took:.1f} s"

    def __init__(self, c, source, log_text, trusted, timeout, deb, workdir):
        super().__init__(c, source, log_text, trusted, timeout)
        self.deb, self.workdir, self.vm, self.cursor = deb, workdir, None, None
        self.played, self.stack = collections.Counter(), contextlib.ExitStack()

    def run(self):
        self.t0 = time.monotonic()
        with self.stack:
            return super().run()

    def start(self):
        vm = self.vm = self.stack.enter_context(Image("amd64").vm(self.workdir))
        say(f"Booted a throw-away Debian 12 VM (emulated) in {vm.boot_seconds:.0f} s; installing {self.deb.name}")
        vm.install(self.deb)
        dropin = "/run/systemd/system/tarvexd.service.d"
        vm.run(f"mkdir -p {dropin} {self.END_DIR}")
        vm.put(f"{self.END_DIR}/end.sh", self.END_TRAP)
        vm.put(f"{dropin}/tarvex-trial.conf", f"[Service]\nEnvironment=BASH_ENV={self.END_DIR}/end.sh\n".encode())
        vm.run("systemctl daemon-reload")
        self.prepare_device(self.put)
        self.cursor = journal_entry(vm.out("journalctl -q -u tarvexd -o json -n 1 --no-pager")).cursor
        vm.run("systemctl restart tarvexd")
        self.host_started = time.monotonic()
        pid, started = vm.out("systemctl show -p MainPID,ActiveEnterTimestampMonotonic --value tarvexd").split()
        self.main_pid, self.started = int(pid), int(started) / 1e6
        say(
            "Started tarvexd as pi. Its journal follows as it comes, after the seconds since its "
            "start by the guest's clock;\neach sound's line shows once." + MARKS
        )

    def put(self, path, data, mode, owner):
        if data is None:
            self.vm.run(f"mkdir -p -m {mode[1:]} {path}")
            return
        self.vm.put(path, data, int(mode, 8))
        if owner != "root":
            self.vm.run(f"chown {owner}:{owner} {path}")

    def plug(self):
        if self.source.kind == "image":
            image = self.workdir / "key.img"
            with open(self.source.path, "rb") as src, open(image, "wb") as dst:
                shutil.copyfileobj(src, dst)  # sparse or not, a copy: QEMU writes to it
            self.key = types.SimpleNamespace(id="trialkey", path=image)
        else:
            self.key = self.make_key(self.workdir)
        self.pump(lambda: False, self.first_pass + 1 - self.now())
        self.vm.plug(self.key)
        say(f"Key plugged in as USB storage after the daemon's first pass: {self.source.description}")
        # The mount and the look come in the next pass or two, but a size
        # read that failed while the key was coming up is backed off for a
        # few passes, and emulated passes are slow (12 s under load).
        return 120

    def now(self):
        return time.monotonic() - self.host_started

    def read_lines(self):
        c, s = self.c, self.seen
        after = f"'--after-cursor={self.cursor}'" if self.cursor else "-n 0"
        for line in self.vm.out(f"journalctl -q -u tarvexd -o json {after} --no-pager").splitlines():
            entry = journal_entry(line)
            self.cursor, text = entry.cursor, entry.text
            if s.script is not None and text.startswith(self.END_LINE):
                # The last one counts: a bash the script starts says its own
                # first. It may reach the journal after the script is seen gone.
                if text[len(self.END_LINE) :].isdigit():
                    s.rc = int(text[len(self.END_LINE) :])
                continue
            # aplay's line, on stderr as in the sandbox, and shown once as there.
            sound = re.fullmatch(r"Playing WAVE '(.+)' : .*", text)
            if sound:
                self.played[os.path.basename(sound[1])] += 1
            # Shown at the guest's time for it, but marked by the host's order:
            # from the script's start on, the guest may be the script's.
            self.line(entry.seconds - self.started, text, "err" if sound else "out")
            if s.script is None and text.startswith(c.kScriptCommand % (c.kMountPoint + "/")):
                self.script_started(self.now(), printable(text), printable(text).split(" ", 1)[1])

    def children(self):
        return self.vm.out(f"ps -o pid=,args= --ppid {self.main_pid} || true").splitlines()

    def running(self, pid):
        return any(line.split()[0] == pid for line in self.children() if line.split())

    def findmnt(self):
        mp = self.c.kMountPoint
        found = self.vm.out(f"findmnt -n -o SOURCE,FSTYPE,OPTIONS --mountpoint {mp} || true").split()
        return Mount(*map(printable, found)) if len(found) == 3 else None

    def pull(self):
        c, vm, s = self.c, self.vm, self.seen
        key_log = s.mount and vm.out(
            f"f={c.kMountPoint}/{c.kKeyLogFileName}; " '[ -f "$f" ] && [ ! -L "$f" ] && head -c 65536 "$f" || true'
        )
        local_log = vm.run(f"[ -e {c.kLocalLogPath} ]", check=False)[0] == 0
        say("Pulling the key out")
        vm.pull(self.key)
        pulled, unmounted = time.monotonic(), None
        if s.mount:
            gone = self.pump(lambda: vm.mount_options(c.kMountPoint) is None, 2 * self.pass_seconds + 30)
            unmounted = f"yes, {time.monotonic() - pulled:.1f} s after the pull" if gone else "no"
        # What the script's children print after the pull is still the key's
        # doing: a fast unmount must not cut it from the report.
        self.pump(lambda: False, self.SETTLE)
        self.stack.close()  # the machine stops before the summary, which counts its stop in
        ended, rc = s.end is not None, s.rc
        status = "not reported (the script set its own exit trap, or exec'd)"
        if rc is not None:
            status = f"{rc} (not looked at by the daemon), as bash's exit trap reported it"
        return self.summary(
            f"Summary (the whole trial took {time.monotonic() - self.t0:.0f} s; all but the key and the times is the "
            "guest's word,\nwhich a key that gains root there could fake)",
            self.played,
            (key_log or "").splitlines(),
            local_log,
            {
                "exit status": s.script and ended and status,
                "ran for": s.script
                and (f"about {s.end - s.start:.0f} s" if ended else f"more than {self.timeout:g} s, stopped here"),
                "unmounted": unmounted,
            },
            suffix=", as the guest reports it",
        )


def try_in_vm(c, source, log_text, trusted, args):
    """The trial of try_key.py's ARGS in a virtual machine; returns the exit status."""
    debs = (
        [pathlib.Path(args.deb)]
        if args.deb
        else sorted((REPO / "build-amd64").glob("tarvexd_*_amd64.deb"), key=os.path.getmtime)
    )
    if not debs or not debs[-1].is_file():
        make = "make one with packaging/build.sh amd64 build-amd64, or give --deb"
        raise Failure(f"no package {args.deb or 'in build-amd64/'}: {make}", EXIT_USAGE)
    say("try_key --vm: the package on a throw-away virtual machine, the key as USB storage")
    with tempfile.TemporaryDirectory(prefix="try_key.") as tmp:
        source = dataclasses.replace(source, description=source.description.replace("exFAT", "FAT32"))
        try:
            code = VMTrial(c, source, log_text, trusted, args.timeout, debs[-1], pathlib.Path(tmp)).run()
        except ProtocolError as e:
            # What a guest taken over by the key can do: the key's verdict, not a broken trial.
            say(f"Result: the trial stopped, the guest broke the protocol: {printable(e)}")
            code = EXIT_KEY_FAILED
    say(f"Stopped: {GONE}")
    return code
