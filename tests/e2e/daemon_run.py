"""The real tarvexd binary running inside a sandbox, as user pi in /home/pi,
in real time, observed only from outside: its status lines (and the output of
the commands it runs, which share its stdout), the sounds played, files, and
the mount table."""

import os
import pathlib
import re
import subprocess
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TARVEX_BUILD", REPO / "build")).resolve()
DAEMON = BUILD / "tarvexd"
# For a cross build: the emulator to run it with, e.g. "qemu-arm". The
# commands the daemon starts are the machine's own.
EMULATOR = os.environ.get("TARVEX_EMULATOR", "").split()

# Start-up (5 s + 3 s) and one pass every 3 s.
FIRST_PASS = 8.0
PASS = 3.0


class Daemon:
    def __init__(self, sb, env=None):
        self.sb = sb
        self.lines = []          # (seconds since start, line)
        self._cond = threading.Condition()
        # Two pipes, one list: on a shared pipe a tool's partial stderr line
        # ("Playing WAVE '...' : ") and a status line can end up on one line.
        self.proc = sb.popen(*EMULATOR, str(DAEMON), user="pi", cwd="/home/pi", env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.started = time.monotonic()
        self._readers = [threading.Thread(target=self._read, args=(stream,), daemon=True)
                         for stream in (self.proc.stdout, self.proc.stderr)]
        for reader in self._readers:
            reader.start()

    def _read(self, stream):
        for raw in stream:
            line = raw.decode(errors="replace").rstrip("\n")
            with self._cond:
                self.lines.append((time.monotonic() - self.started, line))
                self._cond.notify_all()

    def elapsed(self):
        return time.monotonic() - self.started

    def wait_for(self, pattern, timeout, after=0):
        """Index of the first line from index AFTER on that matches PATTERN
        (a regex matched against the whole line); fails after TIMEOUT s."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(after, len(self.lines)):
                    if rx.fullmatch(self.lines[i][1]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        f"no line matching {pattern!r} within {timeout} s; got:\n" + self.transcript())
                self._cond.wait(left)

    def count(self, pattern, after=0):
        rx = re.compile(pattern)
        with self._cond:
            return sum(1 for _, line in self.lines[after:] if rx.fullmatch(line))

    def mark(self):
        with self._cond:
            return len(self.lines)

    def transcript(self):
        return "\n".join(f"{t:7.2f}  {line}" for t, line in self.lines)

    def stop(self):
        if self.proc.poll() is None:
            # By the end of its command line, which also matches an emulated one.
            self.sb.exec("pkill", "-KILL", "-f", "/tarvexd$")
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        for reader in self._readers:
            reader.join(timeout=5)


def sounds(sb):
    """Files played so far, in order (the sandbox's aplay records them)."""
    log = sb.path("/tmp/aplay.log")
    return log.read_text().splitlines() if log.exists() else []


def mounted_at_media(sb):
    r = sb.exec("findmnt", "-n", "-o", "SOURCE", "/home/pi/media")
    return r.stdout.strip() if r.returncode == 0 else None


def wait_until(cond, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(step)
    return cond()
