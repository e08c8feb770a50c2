#!/usr/bin/python3 -B
"""Try an update key the way a device takes it: the real tarvexd runs as pi on
a simulated device (private /dev, /home/pi, /tmp, no network, sounds into a
null device); a simulated USB key goes in after its first pass and comes out
again. What the daemon prints is shown as it comes, verbatim, with the update
script's output marked, then a summary of what was seen. Nothing is left
mounted or attached, and the files given are only read.

Run as root, from a built tree (scripts/demo.sh builds and then runs this).
"""

import argparse
import collections
import contextlib
import dataclasses
import os
import pathlib
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import types

from system_vm import REPO, Image, Key, ProtocolError, VMError, journal_entry
from tarvex_sim import (MIB, Daemon, Sandbox, SandboxError, build_dir, constants, key_layout,
                        pass_times, sounds, stage_folder)

EXIT_OK, EXIT_KEY_FAILED, EXIT_USAGE = 0, 1, 2
KEY, SD = "key", "sda"
MAX_FOLDER_BYTES = 2048 * MIB

SAMPLE_SCRIPT = """\
#!/bin/bash
# A sample update script, as a key carries it in _QuorlUpdate/.
echo "sample update: running as $(id -un) in $(pwd)"
echo "sample update: the key holds: $(cd /home/pi/media && echo *)"
for step in 1 2 3; do
    echo "sample update: step $step of 3"
    sleep 1
done
# A pending log: the device hands it to the next key that goes in.
echo "sample update applied $(date '+%F %T')" >> /home/pi/log.txt
echo "sample update: done, wrote /home/pi/log.txt"
"""
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


def lines_printable(text):
    return "\n".join(map(printable, str(text).split("\n")))


def say(text):
    """Narration, marked off from what the daemon prints. Its line breaks are
    the narration's own: anything from the key in it must be printable()."""
    print("== " + lines_printable(text).replace("\n", "\n   "), flush=True)


def field(label, text):
    print(f"   {label:<16} " + lines_printable(text).replace("\n", "\n" + " " * 20), flush=True)


def human_size(n):
    return f"{n / 1024 / MIB:.1f} GiB" if n >= 1024 * MIB else f"{-(-n // MIB)} MiB"


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


@dataclasses.dataclass(frozen=True)
class Source:
    """What the key is made of."""
    kind: str  # "sample", "root" (a key's root folder), "folder" (an update folder) or "image"
    path: str
    folder: str  # for "folder": the update folder it becomes on the key
    description: str


def classify_key(arg, c):
    """The Source that --key ARG names."""
    if arg is None:
        return Source("sample", None, None, "a sample exFAT key with _QuorlUpdate/quorlupdate.sh")
    path = os.path.abspath(os.path.expanduser(arg))
    if not os.path.exists(path):
        raise Failure(f"--key {arg}: no such file or directory", EXIT_USAGE)
    path, folders = os.path.realpath(path), (c.kUpdateFolder, c.kPostUpdateFolder)
    script = c.kUpdateScriptName
    if os.path.isdir(path):
        try:
            with os.scandir(path) as it:  # keys are FAT or exFAT: any case will do
                entries = {e.name.lower(): e for e in it}
        except OSError as e:
            raise Failure(f"--key {arg}: cannot read the folder: {e.strerror}", EXIT_USAGE) from e
        if any(f.lower() in entries and entries[f.lower()].is_dir(follow_symlinks=False)
               for f in folders):
            return Source("root", path, None, f"your folder {path}, copied onto a fresh exFAT key as its root")
        if script in entries and entries[script].is_file(follow_symlinks=False):
            folder = folders[os.path.basename(path).lower() == folders[1].lower()]
            return Source("folder", path, folder, f"your folder {path}, copied onto a fresh exFAT key as {folder}/")
        raise Failure(f"--key {arg}: nothing to try there: a key's root holds {folders[0]}/ or "
                      f"{folders[1]}/, an update folder holds {script}", EXIT_USAGE)
    for wrong, problem in [
            (stat.S_ISBLK(os.stat(path).st_mode),
             f"a device, not an image: make one first (dd if={arg} of=key.img bs=4M) and give that"),
            (not os.path.isfile(path), "neither a folder nor a key image"),
            (path.endswith(".sh"), "a script, not a key: give the folder that holds it"),
            (os.path.getsize(path) == 0, "an empty file, not a key image"),
            (not os.access(path, os.R_OK), "cannot read it")]:
        if wrong:
            raise Failure(f"--key {arg}: {problem}", EXIT_USAGE)
    return Source("image", path, None, f"a copy of your image {path}")


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="try_key.py", description="Show what a device running tarvexd does with an update key.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--key", metavar="PATH", help="your key: a folder (key root or update folder) "
                   "or a raw key image; default: a sample key")
    log = p.add_mutually_exclusive_group()
    log.add_argument("--log", metavar="FILE", help="put FILE on the device as a pending log first")
    log.add_argument("--pending-log", action="store_true", help="a sample pending log, the same way")
    p.add_argument("--trust", metavar="PUBKEY", action="append", default=[],
                   help="make the device trust this minisign public key (repeatable): it "
                        "then runs only update scripts signed by one of them")
    p.add_argument("--timeout", type=float, default=300, metavar="SECONDS",
                   help="how long the update script may run (default: %(default)s)")
    p.add_argument("--build", metavar="DIR", default=str(build_dir()),
                   help="build directory holding tarvexd (default: %(default)s)")
    p.add_argument("--vm", action="store_true", help="try the key in a throw-away virtual machine "
                   "instead: the system tests' Debian image with the package, the key as USB storage")
    p.add_argument("--deb", metavar="PATH", help="the package for --vm (default: the newest "
                   "build-amd64/tarvexd_*_amd64.deb)")
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


def say_left_out(staged):
    if staged.left_out:
        say("Not copied, as the key holds only files and folders (no link is followed): "
            + ", ".join(map(printable, staged.left_out[:6])) + (", ..." if len(staged.left_out) > 6 else ""))


def counted(counter):
    return ", ".join(f"{printable(n)} x{k}" for n, k in counter.items()) or "none"


def quoted(lines, most=8):
    """Lines from the key, each marked as such, the first MOST of them."""
    return ("\n".join(f"| {printable(line)}" for line in lines[:most])
            + (f"\n| ... ({len(lines) - most} more lines)" if len(lines) > most else ""))


def pending_log(log_text, still_there, key_log):
    return log_text is not None and ("still on the device" if still_there else
                                     "handed over to the key as log.txt" if key_log else
                                     "gone from the device")


def report(title, fields, result):
    """The summary both trials end with: FIELDS (label, text; an empty text
    is left out), then the one verdict."""
    say(title)
    for label, text in fields:
        if text:
            field(label, text)
    say("Result: " + result)


MARKS = "\n\"|\" marks every line from the update script's start on: its output, and what came after it,\nwhich the script, as pi, could have written"


class Trial:
    """One insertion of one key into a freshly started daemon."""

    def __init__(self, sb, source, log_text, trusted, timeout):
        self.sb, self.c, self.source = sb, sb.constants, source
        self.log_text, self.trusted, self.timeout = log_text, trusted, timeout
        self.first_pass, self.pass_seconds = pass_times(self.c)
        self.d = self.folder = self.script = self.mount = self.wrapper = self.wrapper_gone = None
        self.script_start = self.script_end = self.script_rc = None
        self.shown, self.repeats = 0, collections.Counter()  # lines shown so far, and each line seen

    def prepare_device(self):
        sb, c = self.sb, self.c
        # The application stand-in, so the watchdog has one to keep alive.
        sb.exec("install", "-m", "755", "-o", "pi", "-g", "pi", "/run/tarvex/Quorl.app", "/home/pi/Quorl")
        if self.log_text is not None:
            sb.install(c.kLocalLogPath, self.log_text, "0644", "pi")
            say(f"Pending log: {c.kLocalLogPath} is on the device ({len(self.log_text)} bytes)")
        if self.trusted:
            sb.install(c.kTrustedKeysDir, None, "0755")
            for name, data in self.trusted.items():
                sb.install(f"{c.kTrustedKeysDir}/{name}", data, "0644")
            say(f"Trusted keys in {c.kTrustedKeysDir}: {', '.join(self.trusted)}")

    def prepare_key(self):
        kind, path, folder = self.source.kind, self.source.path, self.source.folder
        if kind == "sample":
            self.sb.key("create", KEY, "64M:exfat")
            self.sb.key("write", KEY, f"{self.c.kUpdateFolder}/{self.c.kUpdateScriptName}", input=SAMPLE_SCRIPT)
        elif kind == "image":
            with open(path, "rb") as image:
                p = self.sb.popen("key", "import", KEY, "-", stdin=image, stderr=subprocess.PIPE)
                err = p.communicate()[1].decode(errors="replace").strip()
            if p.returncode != 0:
                raise Failure(f"copying your image failed: {err}")
        else:
            stage, staged = self.sb.stage(path, MAX_FOLDER_BYTES)
            say_left_out(staged)
            self.sb.key("create", KEY, f"{staged.key_mib()}M:exfat")
            self.sb.key("put", KEY, stage, folder or ".", timeout=1800)
        r = self.sb.exec("key", "ls", KEY)
        names = sorted((printable(line.split(None, 8)[-1]) for line in r.stdout.splitlines()[1:]),
                       key=str.lower)
        say("The key's root holds: " + (", ".join(names) or "nothing") if r.returncode == 0 else
            "The key's files cannot be listed: it does not mount here either")


    def pump(self, done, timeout):
        """Shows what the daemon prints until done() or TIMEOUT s; returns done()."""
        deadline = time.monotonic() + timeout
        while True:
            self.show_new()
            self.watch_script()
            if done() or time.monotonic() >= deadline:
                return done()
            if self.d.proc.poll() is not None:
                self.show_new()
                raise Failure(f"the daemon ended unexpectedly (exit status {self.d.proc.returncode})")
            time.sleep(0.1)

    def show_new(self):
        # The folder line: the folder, then this.
        end, found = self.d.mark(), self.c.kLineFolderFound.split("%s")[1]
        for t, text, source in self.d.lines[self.shown:end]:
            if source == "start" and self.script is None:
                self.script_start, self.script = t, self.c.kScriptCommand % printable(text)
                self.wrapper = self.find_wrapper(text)
                say(f"The daemon runs the script and waits for it (here for up to {self.timeout:g} s)")
            elif source == "end":
                # The wrapper's word, and the script's too, as pi can print
                # this line: the last one before the wrapper is gone counts.
                if self.script_end is None and text.isdigit():
                    self.script_rc = int(text)
            elif source != "start":
                self.repeats[source, text] += 1
                # A line repeated on stderr shows once: the beep's aplay, mount's complaints.
                if source != "err" or self.repeats[source, text] == 1:
                    print(f"{t:9.1f}  {'| ' if self.script else ''}{printable(text)}", flush=True)
            if (source == "out" and not self.script and text.startswith(self.c.kMountPoint)
                    and text.endswith(found)):
                self.folder = printable(text[:-len(found)])
        self.shown = end

    def find_wrapper(self, args):
        """The pid (in the sandbox) of the daemon's child that runs the script
        with ARGS, looked up from outside as root."""
        r = self.sb.exec("sh", "-c", 'd=$(pgrep -o -u pi -f "/tarvexd$") && ps -o pid=,args= --ppid "$d"')
        return next((line.split()[0] for line in r.stdout.splitlines() if args in line), None)

    def watch_script(self):
        """The script has ended once the wrapper the daemon waits for is seen
        gone from outside, whatever it printed. What it printed last before
        it went may still be on its way: that is read for a moment more."""
        if self.script is None or self.script_end is not None:
            return
        if self.wrapper_gone is None:
            if self.wrapper is None or not os.path.exists(self.sb.path(f"/proc/{self.wrapper}")):
                self.wrapper_gone = self.d.elapsed()
            return
        if self.d.elapsed() - self.wrapper_gone >= 0.5:
            self.script_end = self.wrapper_gone
            rc = "not reported" if self.script_rc is None else f"{self.script_rc} (as reported)"
            say(f"The script ended with exit status {rc} after {self.script_end - self.script_start:.1f} s")

    def findmnt(self):
        r = self.sb.exec("findmnt", "-n", "-o", "SOURCE,OPTIONS", self.c.kMountPoint)
        return r.stdout.split() if r.returncode == 0 else None

    def home(self):
        """Files in /home/pi but the mount point, as pi sees them: name -> (size, mtime)."""
        r = self.sb.exec("find", "/home/pi", "-path", self.c.kMountPoint, "-prune", "-o", "-type", "f",
                         "-printf", r"%s %T@ %P\0", user="pi")
        return {name: (size, mtime) for size, mtime, name in
                (entry.split(" ", 2) for entry in r.stdout.split("\0") if entry)}

    def run(self):
        sb, c = self.sb, self.c
        say(f"Simulated device ready (sandbox {sb.dir}): user pi in /home/pi, the key at "
            f"{c.kMountPoint} (root's and immutable, as the package makes it), no network, sounds into a "
            "null device")
        self.prepare_device()
        self.d = Daemon(sb, scripts=True)
        say("Started tarvexd as pi. What it prints follows, verbatim, after the seconds since its start;"
            " a line\nrepeated on stderr shows once." + MARKS)
        say(f"Preparing the key: {self.source.description}")
        self.prepare_key()
        stamp = sb.path(c.kVersionStampPath)
        if not self.pump(lambda: os.path.lexists(stamp), self.first_pass + 12):
            raise Failure("the daemon wrote no version stamp: it does not run properly")
        self.pump(lambda: False, c.kSettleDelaySeconds + 0.5)
        self.home_before = self.home()
        self.sb.key("insert", KEY, SD)
        self.layout = key_layout(sb, SD)
        say(f"Key inserted as /dev/{SD} after the daemon's first pass: " + ", ".join(
            f"{name} {human_size(size)} {fs or table or '(no file system)'}"
            for name, size, fs, table in self.layout))
        # The mount and the look come in the next pass or two.
        if self.pump(lambda: self.script_start is not None, 3 * self.pass_seconds + 4):
            if not self.pump(lambda: self.script_end is not None,
                             self.script_start + self.timeout - self.d.elapsed()):
                say(f"The script is still running after {self.timeout:g} s: stopping here")
                self.mount = self.findmnt()
                say("Running as pi:\n" + sb.exec("ps", "-u", "pi", "-o", "pid,etime,args", "--forest")
                    .stdout.rstrip())
                return self.summary(None)
            self.pump(lambda: False, 1)
        self.mount = self.findmnt()
        say(f"Pulling the key out (/dev/{SD} goes away)")
        self.sb.key("pull", SD)
        pulled = self.d.elapsed()
        if not self.mount:
            return self.summary(None)
        gone = self.pump(lambda: self.findmnt() is None, self.pass_seconds + 4)
        took = self.d.elapsed() - pulled
        self.pump(lambda: False, 1)  # what the daemon prints about it
        return self.summary(f"yes, {took:.1f} s after the pull" if gone else "no")

    def summary(self, unmounted):
        """UNMOUNTED: what became of the mount after the pull (None: no pull,
        or nothing was mounted)."""
        c, rc, before, after = self.c, self.script_rc, self.home_before, self.home()
        fs = {f"/dev/{name}": fs for name, _, fs, _ in self.layout}
        key_log = []
        if unmounted is not None:
            # Through the key helper, which reads only a regular file: the
            # key's log.txt may be anything, even a FIFO or a link.
            key_log = self.sb.exec("sh", "-c", f"key get {KEY} {c.kKeyLogFileName} | head -c 65536"
                                   ).stdout.splitlines()
        killed = ""
        with contextlib.suppress(ValueError, TypeError):
            killed = f", killed by {signal.Signals(rc - 128).name}"
        played = collections.Counter(os.path.basename(s) for s in sounds(self.sb))
        p = printable
        changes = ([f"{p(n)}: new, {after[n][0]} bytes" for n in sorted(set(after) - set(before))]
                   + [f"{p(n)}: removed" for n in sorted(set(before) - set(after))]
                   + [f"{p(n)}: changed, now {after[n][0]} bytes" for n in sorted(after)
                      if n in before and after[n] != before[n]])
        ran = self.script_end is not None
        if not self.script:
            status = None
        elif not ran:
            status = f"none: still running after {self.timeout:g} s, stopped here"
        else:
            status = (("not reported" if rc is None else f"{rc} (not looked at by the daemon{killed}), "
                       "as its wrapper reported it") + f", after {self.script_end - self.script_start:.1f} s")
        if self.script:
            result = (f"the script did not end within {self.timeout:g} s" if not ran else
                      "the key works, its script ran to the end with exit status 0" if rc == 0 else
                      f"the script ran and ended with exit status {rc}" if rc is not None else
                      "the script ran to its end, its exit status was not reported")
        elif self.folder:
            result = f"nothing was run: the daemon found {self.folder} but ran no script"
        elif self.mount:
            result = "nothing was run: the daemon reported no update folder"
        else:
            result = "the key did not mount" + ("" if any(fs.values()) else ": blkid finds no "
                                               "file system on it; format it as exFAT or FAT32")
        report("Summary", [
            ("key", self.source.description),
            ("mounted", f"{self.mount[0]} ({fs.get(self.mount[0]) or '?'}) at {c.kMountPoint}, "
                        f"{self.mount[1]}" if self.mount else "no"),
            ("folder", self.folder or "none reported by the daemon"),
            ("sounds", counted(played)),
            ("script", self.script),
            ("exit status", status),
            ("pending log", pending_log(self.log_text, os.path.basename(c.kLocalLogPath) in after, key_log)),
            ("log.txt on key", quoted(key_log)),
            ("unmounted", unmounted),
            ("in /home/pi", "\n".join(changes[:12]))], result)
        return EXIT_OK if ran and rc == 0 else EXIT_KEY_FAILED


class VMTrial:
    """One insertion of one key into the installed package on a throw-away
    virtual machine: what a crafted key can reach is that machine only, and
    what that machine says is its word only. Every deadline is the host's."""

    # The script's exit status, said by an exit trap that the trial's bash
    # reads before the script (BASH_ENV, set for the service of this machine
    # only). A script that sets its own trap, or execs, leaves it unsaid.
    END_LINE = "tarvex-trial: bash ended with exit status "
    END_TRAP = f"trap 'echo \"{END_LINE}$?\"' EXIT\n".encode()
    END_DIR = "/run/tarvex-trial"

    def __init__(self, c, source, log_text, trusted, timeout, deb, workdir):
        self.c, self.source, self.log_text, self.trusted = c, source, log_text, trusted
        self.timeout, self.deb, self.workdir = timeout, deb, workdir
        self.first_pass, self.pass_seconds = pass_times(c)
        self.cursor = self.started = self.host_started = self.main_pid = self.script = None
        self.script_pid = self.folder = self.script_start = self.script_end = self.mount = None
        self.script_rc = None
        self.shown, self.played = set(), collections.Counter()

    def make_key(self):
        c, image, source = self.c, self.workdir / "key.img", self.source
        if source.kind == "image":
            with open(source.path, "rb") as src, open(image, "wb") as dst:
                shutil.copyfileobj(src, dst)  # sparse or not, a copy: QEMU writes to it
            return types.SimpleNamespace(id="trialkey", path=image)
        if source.kind == "sample":
            files, size = {f"{c.kUpdateFolder}/{c.kUpdateScriptName}": SAMPLE_SCRIPT.encode()}, 64
        else:
            files = self.workdir / "stage"
            if source.folder:
                files.mkdir()
            staged = stage_folder(source.path, files / (source.folder or ""), MAX_FOLDER_BYTES)
            say_left_out(staged)
            size = staged.key_mib()
        try:
            return Key(image, [("vfat", size, files)])
        except subprocess.CalledProcessError as e:
            raise Failure(f"building the FAT32 key failed ({printable(e.cmd[-1])}): a name FAT cannot hold?")

    def since_start(self):
        return time.monotonic() - self.host_started

    def pump(self, vm, done, timeout):
        """Shows the daemon's new journal lines until done() or TIMEOUT s; returns done()."""
        deadline = time.monotonic() + timeout
        while True:
            after = f"'--after-cursor={self.cursor}'" if self.cursor else "-n 0"
            for line in vm.out(f"journalctl -q -u tarvexd -o json {after} --no-pager").splitlines():
                self.cursor, seconds, text = journal_entry(line)
                self.line(seconds - self.started, text)
            if done() or time.monotonic() >= deadline:
                return done()
            time.sleep(0.5)

    def line(self, t, text):
        # Shown at the guest's time for it, but marked by the host's order:
        # from the script's start on, the guest may be the script's.
        c, running = self.c, self.script is not None
        if running and text.startswith(self.END_LINE):
            # The last one counts: a bash the script starts says its own
            # first. It may reach the journal after the script is seen gone.
            if text[len(self.END_LINE):].isdigit():
                self.script_rc = int(text[len(self.END_LINE):])
            return
        sound = re.fullmatch(r"Playing WAVE '(.+)' : .*", text)
        if sound:  # a sound played shows once, as in the sandbox
            self.played[os.path.basename(sound[1])] += 1
        if not sound or text not in self.shown:
            print(f"{t:9.1f}  {'| ' if running else ''}{printable(text)}", flush=True)
        self.shown.add(text)
        if running:
            return
        found = c.kLineFolderFound.split("%s")[1]  # the folder line: the folder, then this
        if not self.folder and text.startswith(c.kMountPoint + "/") and text.endswith(found):
            self.folder = printable(text[:-len(found)])
        if text.startswith(c.kScriptCommand % (c.kMountPoint + "/")):
            self.script, self.script_start = printable(text), self.since_start()
            say(f"The daemon runs the script and waits for it (here for up to {self.timeout:g} s)")

    def script_ended(self, vm):
        """The script's process, found among the daemon's children by its path
        on the key, is gone (whatever it became by exec)."""
        if self.script_end is not None:
            return True
        path = self.script.split(" ", 1)[1] if self.script else ""
        children = vm.out(f"ps -o pid=,args= --ppid {self.main_pid} || true").splitlines()
        if self.script_pid is None:
            self.script_pid = next((line.split()[0] for line in children if path and path in line), "")
        if not any(line.split()[0] == self.script_pid for line in children if line.split()):
            self.script_end = self.since_start()
            say(f"The script ended within {self.script_end - self.script_start:.1f} s")
        return self.script_end is not None

    def run(self):
        c, t0 = self.c, time.monotonic()
        with Image("amd64").vm(self.workdir) as vm:
            say(f"Booted a throw-away Debian 12 VM (emulated) in {vm.boot_seconds:.0f} s; "
                f"installing {self.deb.name}")
            vm.install(self.deb)
            dropin = "/run/systemd/system/tarvexd.service.d"
            vm.run(f"mkdir -p {dropin} {self.END_DIR}")
            vm.put(f"{self.END_DIR}/end.sh", self.END_TRAP)
            vm.put(f"{dropin}/tarvex-trial.conf",
                   f"[Service]\nEnvironment=BASH_ENV={self.END_DIR}/end.sh\n".encode())
            vm.run("systemctl daemon-reload")
            if self.log_text is not None:
                vm.put(c.kLocalLogPath, self.log_text)
                vm.run(f"chown pi:pi {c.kLocalLogPath}")
                say(f"Pending log: {c.kLocalLogPath} is on the device ({len(self.log_text)} bytes)")
            if self.trusted:
                vm.run(f"mkdir -p -m 755 {c.kTrustedKeysDir}")
                for name, data in self.trusted.items():
                    vm.put(f"{c.kTrustedKeysDir}/{name}", data)
                say(f"Trusted keys in {c.kTrustedKeysDir}: {', '.join(self.trusted)}")
            self.cursor = journal_entry(vm.out("journalctl -q -u tarvexd -o json -n 1 --no-pager"))[0]
            vm.run("systemctl restart tarvexd")
            self.host_started = time.monotonic()
            pid, started = vm.out("systemctl show -p MainPID,ActiveEnterTimestampMonotonic --value "
                                  "tarvexd").split()
            self.main_pid, self.started = int(pid), int(started) / 1e6
            say("Started tarvexd as pi. Its journal follows as it comes, after the seconds since its "
                "start by the guest's clock;\neach sound's line shows once." + MARKS)
            key = self.make_key()
            self.pump(vm, lambda: False, self.first_pass + 1 - self.since_start())
            vm.plug(key)
            say(f"Key plugged in as USB storage after the daemon's first pass: {self.source.description}")
            # The mount and the look come in the next pass or two, but a size
            # read that failed while the key was coming up is backed off for a
            # few passes, and emulated passes are slow (12 s under load).
            if self.pump(vm, lambda: self.script is not None, 120):
                if not self.pump(vm, lambda: self.script_ended(vm),
                                 self.timeout - (self.since_start() - self.script_start)):
                    say(f"The script is still running after {self.timeout:g} s: stopping here")
            self.pump(vm, lambda: False, 2)
            found = vm.out(f"findmnt -n -o SOURCE,FSTYPE,OPTIONS --mountpoint {c.kMountPoint} || true").split()
            self.mount = len(found) == 3 and printable(f"{found[0]} ({found[1]}) at {c.kMountPoint}, {found[2]}")
            key_log = found and vm.out(f"f={c.kMountPoint}/{c.kKeyLogFileName}; "
                                       "[ -f \"$f\" ] && [ ! -L \"$f\" ] && head -c 65536 \"$f\" || true")
            local_log = vm.run(f"[ -e {c.kLocalLogPath} ]", check=False)[0] == 0
            say("Pulling the key out")
            vm.pull(key)
            pulled, unmounted = time.monotonic(), None
            if found:
                gone = self.pump(vm, lambda: vm.mount_options(c.kMountPoint) is None,
                                 2 * self.pass_seconds + 30)
                unmounted = f"yes, {time.monotonic() - pulled:.1f} s after the pull" if gone else "no"
        return self.summary(key_log, local_log, unmounted, time.monotonic() - t0)

    def summary(self, key_log, local_log, unmounted, seconds):
        ended, key_log, rc = self.script_end is not None, (key_log or "").splitlines(), self.script_rc
        result = ("the key works, its script ran to the end with exit status 0" if ended and rc == 0 else
                  f"the script ran and ended with exit status {rc}" if ended and rc is not None else
                  "the script ran to its end, its exit status was not reported" if ended else
                  f"the script did not end within {self.timeout:g} s" if self.script else
                  f"nothing was run: the daemon found {self.folder} but ran no script" if self.folder else
                  "nothing was run: the daemon reported no update folder" if self.mount else
                  "the key did not mount")
        report(f"Summary (the whole trial took {seconds:.0f} s; all but the key and the times is the "
               "guest's word,\nwhich a key that gains root there could fake)", [
                ("key", self.source.description),
                ("mounted", self.mount or "no"),
                ("folder", self.folder or "none reported by the daemon"),
                ("sounds", counted(self.played)),
                ("script", self.script),
                ("exit status", self.script and ended and (
                    "not reported (the script set its own exit trap, or exec'd)" if rc is None else
                    f"{rc} (not looked at by the daemon), as bash's exit trap reported it")),
                ("ran for", self.script and (f"about {self.script_end - self.script_start:.0f} s" if ended
                                             else f"more than {self.timeout:g} s, stopped here")),
                ("pending log", pending_log(self.log_text, local_log, key_log)),
                ("log.txt on key", quoted(key_log)),
                ("unmounted", unmounted)], result + ", as the guest reports it")
        return EXIT_OK if ended and rc in (0, None) else EXIT_KEY_FAILED


def main(argv=None):
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, Interrupted.handler)
    sb, stopped_by, gone = None, None, None
    try:
        args = parse_args(argv)
        build = build_dir(args.build)
        if not args.vm and not (build / "tarvexd").is_file():
            raise Failure(f"no daemon at {build}/tarvexd: build it first (sudo scripts/demo.sh builds it)",
                          EXIT_USAGE)
        try:
            c = constants(build)
        except SandboxError as e:
            raise Failure(str(e), EXIT_USAGE) from e
        source = classify_key(args.key, c)
        log_text = read_regular("--log", args.log) if args.log is not None else None
        if args.pending_log or (source.folder == c.kPostUpdateFolder and log_text is None):
            log_text = SAMPLE_LOG  # a post-update folder runs only after a hand-over
        trusted = trusted_keys(args)
        if os.geteuid() != 0:
            raise Failure("run as root (sudo): the simulated device needs it", EXIT_USAGE)
        if args.vm:
            debs = [pathlib.Path(args.deb)] if args.deb else sorted(
                (REPO / "build-amd64").glob("tarvexd_*_amd64.deb"), key=os.path.getmtime)
            if not debs or not debs[-1].is_file():
                raise Failure(f"no package {args.deb or 'in build-amd64/'}: make one with "
                              "packaging/build.sh amd64 build-amd64, or give --deb", EXIT_USAGE)
            say("try_key --vm: the package on a throw-away virtual machine, the key as USB storage")
            gone = "the virtual machine is stopped and its files are gone"
            with tempfile.TemporaryDirectory(prefix="try_key.") as tmp:
                source = dataclasses.replace(source, description=source.description.replace("exFAT", "FAT32"))
                try:
                    code = VMTrial(c, source, log_text, trusted, args.timeout, debs[-1], pathlib.Path(tmp)).run()
                except ProtocolError as e:
                    # What a guest taken over by the key can do: the key's verdict, not a broken trial.
                    say(f"Result: the trial stopped, the guest broke the protocol: {printable(e)}")
                    code = EXIT_KEY_FAILED
            say(f"Stopped: {gone}")
            return code
        say("try_key: the real tarvexd on a simulated device, with a simulated USB key")
        sb = Sandbox(build, network=False, new_session=True).start()
        trial = Trial(sb, source, log_text, trusted, args.timeout)
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
    sys.exit(main())
