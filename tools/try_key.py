#!/usr/bin/python3 -B
"""Try an update key the way a device takes it: the real tarvexd runs as pi on
a simulated device (private /dev, /home/pi, /tmp, no network, sounds into a
null device), or with --vm the package on a throw-away virtual machine; a
USB key goes in after the daemon's first pass and comes out again. What the
daemon prints is shown as it comes, the script's output marked, then a
summary. Nothing is left mounted or attached, and the files given are only
read. The engine is here, the two devices in trial_backends.py.
Run as root (scripts/demo.sh builds, then runs this).
"""

import argparse
import collections
import dataclasses
import os
import re
import signal
import stat
import subprocess
import sys
import time

from key_image import BadSource, Source
from system_vm import VMError
from tarvex_sim import Sandbox, SandboxError, build_dir, constants, pass_times

EXIT_OK, EXIT_KEY_FAILED, EXIT_USAGE = 0, 1, 2

SAMPLE_LOG = b"update applied (a sample pending log put there by try_key --pending-log)\n"

EPILOG = """\
examples: --key ~/upd (holds _QuorlUpdate/ and/or _QuorlPostUpdate/), --key ~/upd/_QuorlUpdate,
  --key key.img (dd if=/dev/sdX of=key.img bs=4M), --key ~/upd --trust maker.pub
exit status: 0 an update script ran and ended with 0; 1 none did (no mount, no folder, no
script, script failed or timed out); 2 bad arguments; 128+N stopped by signal N. The
script's exit status is the one its wrapper (with --vm, bash's exit trap) reported, which
the script could fake; where none was reported, 0 means an update script ran to its end.
"""


class Failure(Exception):
    """Ends the run with a one-line message and an exit status."""

    def __init__(self, message, code=EXIT_KEY_FAILED):
        super().__init__(message)
        self.code = code


class Interrupted(BaseException):
    """Ctrl-C, SIGTERM or SIGHUP: the run ends through the normal clean-up."""

    @staticmethod
    def handler(signum, _frame):
        raise Interrupted(signum)


# What a terminal would obey rather than show: C0 and C1 controls (escape
# sequences, carriage returns) and the marks that reverse the order of text.
# Printed as they came from a key or its script, they could clear the screen,
# overwrite a line or fake one of the trial's own ("Result: the key works").
UNPRINTABLE = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def printable(text):
    """TEXT with every control character (newlines too, tabs kept) escaped."""
    return UNPRINTABLE.sub(lambda m: repr(m.group())[1:-1], str(text))


def say(text, head="== "):
    """Narration after HEAD, marked off from what the daemon prints. Its line
    breaks are the narration's own: anything from the key in it must be
    printable()."""
    print(head + ("\n" + " " * len(head)).join(map(printable, str(text).split("\n"))), flush=True)


def read_regular(option, arg, limit=-1):
    """ARG's bytes, read once and only from a regular file: a FIFO or a
    device named by mistake must not hang the trial."""
    try:
        with open(os.open(os.path.expanduser(arg), os.O_RDONLY | os.O_NONBLOCK), "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                raise Failure(f"{option} {arg}: not a regular file", EXIT_USAGE)
            return f.read(limit)
    except OSError as e:
        raise Failure(f"{option} {arg}: {e.strerror.lower()}", EXIT_USAGE) from e


def parse_args(argv):
    p = argparse.ArgumentParser("try_key.py", epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.description = "Show what a device running tarvexd does with an update key."
    add, log = p.add_argument, p.add_mutually_exclusive_group()
    key = "your key: a folder (key root or update folder) or a raw key image; default: a sample key"
    add("--key", metavar="PATH", help=key)
    log.add_argument("--log", metavar="FILE", help="put FILE on the device as a pending log first")
    log.add_argument("--pending-log", action="store_true", help="a sample pending log, the same way")
    trust = "make the device trust this minisign public key (repeatable): it then runs only update scripts signed"
    add("--trust", metavar="PUBKEY", action="append", default=[], help=trust + " by one of them")
    timeout = "how long the update script may run (default: %(default)s)"
    add("--timeout", type=float, default=300, metavar="SECONDS", help=timeout)
    add(
        "--build",
        metavar="DIR",
        default=str(build_dir()),
        help="build directory holding tarvexd (default: %(default)s)",
    )
    vm = "try the key in a throw-away virtual machine instead: the system tests' Debian image with the package, the"
    add("--vm", action="store_true", help=vm + " key as USB storage")
    add("--deb", metavar="PATH", help="the package for --vm (default: the newest build-amd64/tarvexd_*_amd64.deb)")
    args = p.parse_args(argv)
    if args.timeout <= 0:
        p.error("--timeout must be more than 0")
    return args


def trusted_keys(args):
    keys = {}
    for arg in args.trust:
        name = os.path.basename(arg) + ("" if arg.endswith(".pub") else ".pub")
        if name in keys:
            raise Failure(f"--trust {arg}: a second key named {name}", EXIT_USAGE)
        keys[name] = read_regular("--trust", arg, 64 * 1024)
    return keys


def quoted(lines, most=8):
    """Lines from the key, each marked as such, the first MOST of them."""
    more = f"\n| ... ({len(lines) - most} more lines)" if len(lines) > most else ""
    return "\n".join(f"| {printable(line)}" for line in lines[:most]) + more


MARKS = (
    '\n"|" marks every line from the update script\'s start on: its output, and what came after it,\n'
    "which the script, as pi, could have written"
)
# The summary's fields, in order; one with no text is left out.
FIELDS = "key|mounted|folder|sounds|script|exit status|ran for|pending log|log.txt on key|unmounted|in /home/pi"


@dataclasses.dataclass(frozen=True)
class Mount:
    source: str
    fstype: str
    options: str


@dataclasses.dataclass
class Seen:
    """What the trial has seen of the key, at the back-end's times."""

    folder: str = None  # the update folder the daemon reported
    script: str = None  # the command it ran it with
    path: str = None  # the script's path, as the daemon's child that runs it shows it
    pid: str = None  # that child's, once looked up ("": not found)
    start: float = None
    gone: float = None  # when that child was seen gone
    end: float = None
    rc: int = None  # the exit status reported
    mount: Mount = None  # as it was after the script


class Engine:
    """One insertion of one key into a freshly started daemon. A back-end
    starts the device (start), plugs the key in (plug: returns how long the
    script may take to start), hands the daemon's new lines to line()
    (read_lines), knows the time (now), lists the daemon's children and
    tells whether one still runs (children, running), and pulls the key
    (pull: ends with summary()). The back-ends are in trial_backends.py."""

    FS, FS_NAME, OK, STEP, SETTLE, GRACE = "exfat", "exFAT", (0,), 0.1, 1, 0.5
    ENDED = "The script ended with exit status {rc} after {took:.1f} s"

    def __init__(self, c, source, log_text, trusted, timeout):
        self.c, self.source, self.log_text, self.trusted, self.timeout = c, source, log_text, trusted, timeout
        self.first_pass, self.pass_seconds = pass_times(c)
        self.seen, self.repeats = Seen(), collections.Counter()
        self.found = c.kLineFolderFound.split("%s")[1]  # the folder line: the folder, then this

    def run(self):
        s = self.seen
        self.start()
        if self.pump(lambda: s.start is not None, self.plug()):
            if not self.pump(self.script_ended, s.start + self.timeout - self.now()):
                say(f"The script is still running after {self.timeout:g} s: stopping here")
                if (code := self.at_timeout()) is not None:
                    return code
        self.pump(lambda: False, self.SETTLE)
        s.mount = self.findmnt()
        return self.pull()

    def at_timeout(self):
        """An exit status to stop with once the script outlived its time, or None to go on."""

    def check_alive(self):
        pass

    def pump(self, done, timeout):
        """Shows what the daemon prints until done() or TIMEOUT s; returns done()."""
        deadline = time.monotonic() + timeout
        while True:
            self.read_lines()
            if done() or time.monotonic() >= deadline:
                return done()
            self.check_alive()
            time.sleep(self.STEP)

    def line(self, t, text, kind):
        """A line at T s: KIND "out" or "err" (shown once: the beep's aplay,
        mount's complaints) from the daemon, "script" from the script, or
        the script's "start" (its path) and "end" (its exit status)."""
        s = self.seen
        if kind == "start" and s.script is None:
            self.script_started(t, self.c.kScriptCommand % printable(text), text)
        elif kind == "end":
            # The wrapper's word, and the script's too, as pi can print this
            # line: the last one before the wrapper is gone counts.
            if s.end is None and text.isdigit():
                s.rc = int(text)
        elif kind != "start":
            self.repeats[kind, text] += 1
            if kind != "err" or self.repeats[kind, text] == 1:
                print(f"{t:9.1f}  {'| ' if s.script else ''}{printable(text)}", flush=True)
            if kind == "out" and not (s.script or s.folder) and text.startswith(self.c.kMountPoint + "/"):
                if text.endswith(self.found):
                    s.folder = printable(text[: -len(self.found)])

    def script_started(self, t, script, path):
        self.seen.start, self.seen.script, self.seen.path = t, script, path
        say(f"The daemon runs the script and waits for it (here for up to {self.timeout:g} s)")

    def script_ended(self):
        """The daemon's child that runs the script, found by the script's
        path, is gone (whatever it became by exec). What it printed last
        before it went may still be on its way: that is read GRACE s more."""
        s = self.seen
        if s.end is None:
            if s.pid is None:
                s.pid = next((line.split()[0] for line in self.children() if s.path and s.path in line), "")
            if s.gone is None and not self.running(s.pid):
                s.gone = self.now()
            if s.gone is not None and self.now() - s.gone >= self.GRACE:
                s.end = s.gone
                rc = "not reported" if s.rc is None else f"{s.rc} (as reported)"
                say(self.ENDED.format(rc=rc, took=s.end - s.start))
        return s.end is not None

    def prepare_device(self, put):
        """The pending log and the trusted keys, made by PUT(path, data or None for a folder, mode, owner)."""
        c = self.c
        if self.log_text is not None:
            put(c.kLocalLogPath, self.log_text, "0644", "pi")
            say(f"Pending log: {c.kLocalLogPath} is on the device ({len(self.log_text)} bytes)")
        if self.trusted:
            put(c.kTrustedKeysDir, None, "0755", "root")
            for name, data in self.trusted.items():
                put(f"{c.kTrustedKeysDir}/{name}", data, "0644", "root")
            say(f"Trusted keys in {c.kTrustedKeysDir}: {', '.join(self.trusted)}")

    def make_key(self, workdir):
        """The key the back-end plugs in, made here (see Source.key)."""
        try:
            key, left_out = self.source.key(workdir, self.FS, self.c)
        except subprocess.CalledProcessError as e:
            why = (e.stderr or b"").decode(errors="replace").strip().rsplit("\n", 1)[-1] or e.cmd[-1]
            family = self.FS_NAME.removesuffix("32")
            raise Failure(f"building the {self.FS_NAME} key failed ({printable(why)}): a name {family} cannot hold?")
        if left_out:
            names = ", ".join(map(printable, left_out[:6])) + (", ..." if len(left_out) > 6 else "")
            say(f"Not copied, as the key holds only files and folders (no link is followed): {names}")
        return key

    def summary(self, title, played, key_log, local_log, fields, hint="", suffix=""):
        """The summary both trials end with, then the one verdict; returns the exit status."""
        c, s, m = self.c, self.seen, self.seen.mount
        ended, rc = s.end is not None, s.rc
        result = next(
            text
            for wrong, text in [
                (s.script and not ended, f"the script did not end within {self.timeout:g} s"),
                (s.script and rc == 0, "the key works, its script ran to the end with exit status 0"),
                (s.script and rc is not None, f"the script ran and ended with exit status {rc}"),
                (s.script, "the script ran to its end, its exit status was not reported"),
                (s.folder, f"nothing was run: the daemon found {s.folder} but ran no script"),
                (m, "nothing was run: the daemon reported no update folder"),
                (True, "the key did not mount" + hint),
            ]
            if wrong
        )
        handed = "still on the device" if local_log else "handed over to the key as log.txt" if key_log else "gone"
        fields = {
            "key": self.source.description,
            "mounted": f"{m.source} ({m.fstype}) at {c.kMountPoint}, {m.options}" if m else "no",
            "folder": s.folder or "none reported by the daemon",
            "sounds": ", ".join(f"{printable(n)} x{k}" for n, k in played.items()) or "none",
            "script": s.script,
            "log.txt on key": quoted(key_log),
            "pending log": self.log_text is not None and handed.replace("gone", "gone from the device"),
            **fields,
        }
        say(title)
        for label in FIELDS.split("|"):
            if fields.get(label):
                say(fields[label], f"   {label:<16} ")
        say("Result: " + result + suffix)
        return EXIT_OK if ended and rc in self.OK else EXIT_KEY_FAILED


def main(argv=None):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, Interrupted.handler)
    sb, stopped_by, gone = None, None, None
    try:
        args = parse_args(argv)
        build = build_dir(args.build)
        if not args.vm and not (build / "tarvexd").is_file():
            raise Failure(f"no daemon at {build}/tarvexd: build it first (sudo scripts/demo.sh builds it)", EXIT_USAGE)
        try:
            c = constants(build)
        except SandboxError as e:
            raise Failure(str(e), EXIT_USAGE) from e
        try:
            source = Source.of(args.key, c)
        except BadSource as e:
            raise Failure(f"--key {args.key}: {e}", EXIT_USAGE) from e
        log_text = read_regular("--log", args.log) if args.log is not None else None
        if args.pending_log or (source.folder == c.kPostUpdateFolder and log_text is None):
            log_text = SAMPLE_LOG  # a post-update folder runs only after a hand-over
        trusted = trusted_keys(args)
        if os.geteuid() != 0:
            raise Failure("run as root (sudo): the simulated device needs it", EXIT_USAGE)
        import trial_backends  # which build on the engine here: imported once it is defined

        if args.vm:
            gone = trial_backends.GONE
            return trial_backends.try_in_vm(c, source, log_text, trusted, args)
        say("try_key: the real tarvexd on a simulated device, with a simulated USB key")
        sb = Sandbox(build, network=False, new_session=True).start()
        trial = trial_backends.Trial(sb, source, log_text, trusted, args.timeout)
        try:
            code = trial.run()
        finally:
            state_dir = sb.dir
            sb.stop()
            if trial.d is not None:
                trial.d.stop()  # gone with the sandbox: this only collects it
        say(f"Stopped the simulated device: {state_dir} is gone, nothing is left mounted or attached")
        return code
    except Interrupted as e:
        stopped_by = e.args[0]
    except KeyboardInterrupt:
        stopped_by = signal.SIGINT
    except (Failure, SandboxError, VMError) as e:
        print(f"try_key: {printable(e)}", file=sys.stderr, flush=True)
        return getattr(e, "code", EXIT_KEY_FAILED)
    left = gone or "the simulated device is gone, nothing is left mounted or attached"
    try:  # for a signal that came before the trial's own clean-up was set up
        if sb is not None:
            sb.stop()
    except (SandboxError, Interrupted) as e:
        left = f"stopping the simulated device failed: {e}"
    name = "Ctrl-C" if stopped_by == signal.SIGINT else signal.Signals(stopped_by).name
    print(f"\ntry_key: stopped by {name}; {left}", file=sys.stderr, flush=True)
    return 128 + stopped_by


if __name__ == "__main__":
    # Run as a program this file is __main__, but the back-ends import the
    # engine as try_key: the run goes through that one module, so that what
    # they raise (Failure, Interrupted) is what main() catches.
    import try_key

    sys.exit(try_key.main())
