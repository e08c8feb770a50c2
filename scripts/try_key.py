#!/usr/bin/python3
"""Try an update key the way a device would take it: the real tarvexd runs as
pi on a simulated device (the test sandbox: private /dev, /home/pi, /tmp,
sounds into a null device), a simulated USB key goes in, and everything the
daemon does is shown as it happens, then the key is pulled and a summary is
printed. Nothing is left mounted or attached afterwards, and the files given
with --key or --log are only read.

Run as root, from a built tree (scripts/demo.sh builds and then runs this).
"""

import argparse
import collections
import contextlib
import importlib.util
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import types

REPO = pathlib.Path(__file__).resolve().parents[1]
E2E_DIR = REPO / "tests" / "e2e"

MEDIA = "/home/pi/media"
LOCAL_LOG = "/home/pi/log.txt"
VERSION_STAMP = "/tmp/quorl_version.txt"
APLAY_LOG = "/tmp/aplay.log"
UPDATE, POST_UPDATE = "_QuorlUpdate", "_QuorlPostUpdate"
SCRIPT = "quorlupdate.sh"
ERROR_SOUND, BEEP_SOUND = "error1.wav", "beep-08b.wav"

# PATH inside the sandbox; the daemon gets the bash wrapper's directory in front.
INNER_PATH = "/run/tarvex/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Inside the sandbox, root-owned: the bash wrapper, its records, staged files.
TRY_DIR = "/run/try-key"
WRAPPER_DIR = TRY_DIR + "/bin"
STATUS_FILE = TRY_DIR + "/status"
STAGE_DIR = TRY_DIR + "/stage"
KEY = "key"
SD = "sda"

PASS = 3.0
# The version stamp is written 5 s after start; the first pass follows 3 s later.
STAMP_TO_FIRST_PASS = 3.0
MIB = 1 << 20

EXIT_OK, EXIT_KEY_FAILED, EXIT_USAGE = 0, 1, 2

# What aplay prints as it starts to play a file.
PLAYING = re.compile(r"Playing WAVE '(.*)' : .*")
# Lines the daemon itself prints; anything else on its output comes from the
# commands it runs (the update script, mount's complaints ...).
STATUS_LINE = re.compile(
    r"Mounted|Unmounting|Trying to mount without arguments|ReadPartitionSize failed"
    r"|Check for mount error|Not removing /home/pi/media: .*|Cannot (copy|check|remove) .*"
    r"|/home/pi/media/\S+ exist|bash /home/pi/media/\S+")

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

SAMPLE_LOG = "update applied (a sample pending log put there by try_key --pending-log)\n"

# bash as the daemon finds it on PATH: runs the real one and records the
# update script's exit status, which the daemon does not look at. The script
# gets the plain PATH, so the bash calls it makes are not recorded. This
# shell's own stderr is /dev/null while the script runs: its "Killed" notice
# for a script that dies of a signal is not something a device would print.
BASH_WRAPPER = f"""\
#!/bin/bash
export PATH=${{PATH#{WRAPPER_DIR}:}}
printf 'start %s %s\\n' "$EPOCHREALTIME" "$*" >>{STATUS_FILE}
{{ /bin/bash "$@" 2>&3 3>&-; }} 3>&2 2>/dev/null
rc=$?
printf 'end %s %s %s\\n' "$EPOCHREALTIME" "$rc" "$*" >>{STATUS_FILE}
exit "$rc"
"""

EPILOG = """\
examples:
  try_key.py                          the sample key (what scripts/demo.sh shows)
  try_key.py --key ~/upd              ~/upd holds _QuorlUpdate/ and/or _QuorlPostUpdate/
  try_key.py --key ~/upd/_QuorlUpdate a folder holding quorlupdate.sh
  try_key.py --key key.img            a raw image of a whole key (dd if=/dev/sdX of=key.img)
  try_key.py --key ~/upd --pending-log   the device first hands a log to the key

exit status: 0 the update folder was found and its script ended with 0;
1 it did not (no mount, no folder, no script, script failed or timed out);
2 bad arguments; 128+N stopped by signal N (130 for Ctrl-C).
"""


class Failure(Exception):
    """Ends the run with a one-line message and an exit status."""

    def __init__(self, message, code=EXIT_KEY_FAILED):
        super().__init__(message)
        self.code = code


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class Signals:
    """Ctrl-C, SIGTERM and SIGHUP end the run through the normal clean-up.
    While the sandbox starts or stops they are held back: cutting either
    short could leave a state dir or a loop device behind."""

    def __init__(self):
        self.held = 0
        self.pending = None

    def install(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self._handler)

    def _handler(self, signum, _frame):
        if self.held:
            self.pending = self.pending or signum
            return
        raise Interrupted(signum)

    @contextlib.contextmanager
    def holding(self):
        self.held += 1
        try:
            yield
        finally:
            self.held -= 1
        if not self.held and self.pending:
            signum, self.pending = self.pending, None
            raise Interrupted(signum)


SIGNALS = Signals()


# ------------------------------------------------------------- arguments ---

def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="try_key.py", description="Show what a device running tarvexd does with an update key.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--key", metavar="PATH",
                   help="your key: a folder (key root or update folder) or a raw key image; "
                        "default: a sample key")
    log = p.add_mutually_exclusive_group()
    log.add_argument("--log", metavar="FILE",
                     help="put FILE on the device as a pending /home/pi/log.txt first")
    log.add_argument("--pending-log", action="store_true",
                     help="put a sample pending /home/pi/log.txt on the device first")
    p.add_argument("--timeout", type=float, default=300, metavar="SECONDS",
                   help="how long the update script may run (default: %(default)s)")
    p.add_argument("--build", metavar="DIR",
                   default=os.environ.get("TARVEX_BUILD", str(REPO / "build")),
                   help="build directory holding tarvexd (default: %(default)s)")
    args = p.parse_args(argv)
    if args.timeout <= 0:
        p.error("--timeout must be more than 0")
    return args


class KeySource:
    """What goes on the simulated key. kind: sample, root (a key's root
    folder), folder (an update folder) or image."""

    def __init__(self, kind, path=None, folder=None):
        self.kind = kind
        self.path = path
        self.folder = folder

    def describe(self):
        if self.kind == "sample":
            return f"a sample exFAT key with {UPDATE}/{SCRIPT}"
        if self.kind == "root":
            return f"your folder {self.path}, copied onto a fresh exFAT key as its root"
        if self.kind == "folder":
            return f"your folder {self.path}, copied onto a fresh exFAT key as {self.folder}/"
        return f"a copy of your image {self.path} ({human_size(self.path.stat().st_size)})"


def entries_by_lower_name(directory):
    # Keys are FAT or exFAT: names match whatever their case.
    return {p.name.lower(): p for p in directory.iterdir()}


def classify_key(arg):
    if arg is None:
        return KeySource("sample")
    path = pathlib.Path(arg).expanduser()
    if not path.exists():
        raise Failure(f"--key {arg}: no such file or directory", EXIT_USAGE)
    path = path.resolve()
    if path.is_dir():
        try:
            entries = entries_by_lower_name(path)
        except OSError as e:
            raise Failure(f"--key {arg}: cannot read the folder: {e.strerror}", EXIT_USAGE) from e
        if any(n.lower() in entries and entries[n.lower()].is_dir() for n in (UPDATE, POST_UPDATE)):
            return KeySource("root", path)
        if SCRIPT in entries and entries[SCRIPT].is_file():
            folder = POST_UPDATE if path.name.lower() == POST_UPDATE.lower() else UPDATE
            return KeySource("folder", path, folder)
        raise Failure(f"--key {arg}: nothing to try there: a key's root holds {UPDATE}/ or "
                      f"{POST_UPDATE}/, an update folder holds {SCRIPT}", EXIT_USAGE)
    if path.is_block_device():
        raise Failure(f"--key {arg}: a device, not an image: make one first "
                      f"(dd if={arg} of=key.img bs=4M) and give that", EXIT_USAGE)
    if not path.is_file():
        raise Failure(f"--key {arg}: neither a folder nor a key image", EXIT_USAGE)
    if path.suffix == ".sh":
        raise Failure(f"--key {arg}: a script, not a key: give the folder that holds it", EXIT_USAGE)
    if path.stat().st_size == 0:
        raise Failure(f"--key {arg}: an empty file, not a key image", EXIT_USAGE)
    if not os.access(path, os.R_OK):
        raise Failure(f"--key {arg}: cannot read it", EXIT_USAGE)
    return KeySource("image", path)


def pending_log(args, source):
    """The pending log to put on the device (bytes, or None), and why when
    nobody asked for it."""
    if args.log is not None:
        log = pathlib.Path(args.log).expanduser()
        if not log.is_file():
            raise Failure(f"--log {args.log}: no such file", EXIT_USAGE)
        try:
            return log.read_bytes(), None
        except OSError as e:
            raise Failure(f"--log {args.log}: cannot read it: {e.strerror}", EXIT_USAGE) from e
    if args.pending_log:
        return SAMPLE_LOG.encode(), None
    if source.kind == "folder" and source.folder == POST_UPDATE:
        return SAMPLE_LOG.encode(), (f"your folder is a {POST_UPDATE} folder, which runs only when the "
                                     "device has a log to hand over: a sample one is put there")
    return None, None


# --------------------------------------------------------------- helpers ---

def human_size(n):
    if n >= 1 << 30:
        return f"{n / (1 << 30):.1f} GiB"
    if n >= MIB:
        return f"{n / MIB:.0f} MiB"
    return f"{n / 1024:.0f} KiB"


def say(text):
    """Narration: what happens and why, marked off from the daemon's lines."""
    lines = text.splitlines() or [""]
    print("== " + lines[0], flush=True)
    for line in lines[1:]:
        print("   " + line, flush=True)


def show(t, text):
    """A line of the daemon, or of what it runs, with seconds since its start."""
    print(f"{'+%.1fs' % t:>10}  {text}", flush=True)


def field(label, text):
    lines = str(text).splitlines() or [""]
    print(f"   {label:<16} {lines[0]}", flush=True)
    for line in lines[1:]:
        print(f"   {'':<16} {line}", flush=True)


def dir_size(path):
    """Bytes and entries of the files under PATH, links followed."""
    total = count = 0
    for dirpath, dirnames, filenames in os.walk(path, followlinks=True):
        count += len(dirnames)
        for f in filenames:
            p = os.path.join(dirpath, f)
            if os.path.isfile(p):
                total += os.path.getsize(p)
                count += 1
    return total, count


def key_size_mib(total, count):
    # exFAT on a key of this size uses 4 KiB to 32 KiB clusters; a sparse
    # image costs nothing for the room to spare.
    need = total * 1.1 + count * 32 * 1024 + 32 * MIB
    return max(64, -(-int(need) // MIB))


def load_sandbox(build):
    sys.path.insert(0, str(E2E_DIR))
    # Leave no __pycache__ of root's in the tree.
    sys.dont_write_bytecode = True
    # sandbox_fixture wants pytest for its fixture only.
    if importlib.util.find_spec("pytest") is None:
        sys.modules["pytest"] = types.SimpleNamespace(fixture=lambda f: f, skip=None)
    import daemon_run
    import sandbox_fixture

    daemon_run.DAEMON = build / "tarvexd"

    class TrySandbox(sandbox_fixture.Sandbox):
        """The test sandbox with its launcher out of the terminal's process
        group for start and stop: a Ctrl-C must reach this program only,
        which then stops the sandbox itself."""

        def start(self):
            cmd = [self.launcher, "start", "--build", str(self.build)]
            env = dict(os.environ, TARVEX_SB_OWNER=str(os.getpid()))
            r = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                               text=True, timeout=120, check=False, start_new_session=True)
            if r.returncode != 0:
                raise Failure("the simulated device did not start:\n" + r.stderr.strip())
            self.dir = r.stdout.strip()
            self.pid = int(pathlib.Path(self.dir, "pid").read_text())
            return self

        def stop(self):
            if self.dir is None:
                return
            d, self.dir, self.pid = self.dir, None, None
            r = subprocess.run([self.launcher, "stop", d], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=120, check=False,
                               start_new_session=True)
            if r.returncode != 0 or os.path.exists(d):
                raise Failure(f"stopping the simulated device failed; run "
                              f"'sudo tests/sandbox/sandbox sweep':\n{r.stderr.strip()}")

    return TrySandbox, daemon_run


# ----------------------------------------------------------------- trial ---

class Trial:
    """One insertion of one key into a freshly started daemon."""

    def __init__(self, sb, daemon_run, source, log_text, log_note, timeout):
        self.sb = sb
        self.dr = daemon_run
        self.source = source
        self.log_text = log_text
        self.log_note = log_note
        self.timeout = timeout
        self.d = None
        self.wall0 = 0.0
        self.line_pos = self.sound_pos = self.status_pos = 0
        self.unplaced = []       # (path, seen at): sounds not yet matched to aplay's line
        self.sounds = collections.Counter()
        self.other_seen = set()
        self.mounts, self.tries, self.unmounts = [], [], []
        self.folder = self.command = self.copy_failed = None
        self.script_start = self.script_end = self.script_rc = None
        self.inserted_at = self.pulled_at = self.unmounted_at = None
        self.mount_source = None
        self.partitions = []     # dicts: dev, size, and blkid's TYPE / PTTYPE
        self.key_root = None     # names at the key's root (largest partition), or None
        self.home_before = {}

    # -- the device and the key --------------------------------------------

    def prepare_device(self):
        sb = self.sb
        for d, mode in ((TRY_DIR, 0o755), (WRAPPER_DIR, 0o755), (STAGE_DIR, 0o700)):
            os.mkdir(sb.path(d))
            os.chmod(sb.path(d), mode)
        wrapper = sb.path(WRAPPER_DIR + "/bash")
        wrapper.write_text(BASH_WRAPPER)
        wrapper.chmod(0o755)
        status = sb.path(STATUS_FILE)
        status.touch()
        os.chown(status, 1000, 1000)
        # The stand-in application, so the daemon's watchdog finds one to keep
        # alive rather than failing to start it every pass after the tenth.
        quorl = sb.path("/home/pi/Quorl")
        shutil.copyfile(sb.path("/run/tarvex/Quorl.app"), quorl)
        quorl.chmod(0o755)
        os.chown(quorl, 1000, 1000)
        if self.log_text is not None:
            log = sb.path(LOCAL_LOG)
            log.write_bytes(self.log_text)
            os.chown(log, 1000, 1000)
            log.chmod(0o644)

    def key_cmd(self, *args, timeout=600, what=None):
        r = self.sb.exec("key", *args, timeout=timeout)
        if r.returncode != 0:
            raise Failure(f"{what or 'key ' + args[0]} failed: {r.stderr.strip()}")
        return r.stdout

    def prepare_key(self):
        src, sb = self.source, self.sb
        if src.kind == "sample":
            self.key_cmd("create", KEY, "64M:exfat")
            sb.key("write", KEY, f"{UPDATE}/{SCRIPT}", input=SAMPLE_SCRIPT)
        elif src.kind in ("root", "folder"):
            total, count = dir_size(src.path)
            self.key_cmd("create", KEY, f"{key_size_mib(total, count)}M:exfat")
            # The key helper copies from inside the sandbox, where the
            # person's folder may not be visible (/home, /tmp are private).
            stage = sb.path(STAGE_DIR) / "src"
            skipped = []

            def not_copyable(d, names):
                bad = [n for n in names
                       if not (os.path.isfile(os.path.join(d, n)) or os.path.isdir(os.path.join(d, n)))]
                skipped.extend(os.path.join(d, n) for n in bad)
                return bad

            try:
                shutil.copytree(src.path, stage, symlinks=False, ignore=not_copyable)
            except (OSError, shutil.Error) as e:
                raise Failure(f"cannot read {src.path}: {e}") from e
            if skipped:
                say("Not copied (neither a file nor a folder, or a broken link):\n" +
                    "\n".join(skipped[:5]))
            dest = "." if src.kind == "root" else src.folder
            self.key_cmd("put", KEY, f"{STAGE_DIR}/src", dest, what="copying your files onto the key")
            shutil.rmtree(stage)
        else:
            with open(src.path, "rb") as image:
                p = sb.popen("key", "import", KEY, "-", stdin=image,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                _, err = p.communicate()
            if p.returncode != 0:
                raise Failure(f"copying your image failed: {err.strip()}")
        r = sb.exec("key", "ls", KEY)
        if r.returncode == 0:
            self.key_root = [line.split(None, 8)[8] for line in r.stdout.splitlines()
                             if len(line.split(None, 8)) == 9]

    def probe_partitions(self):
        r = self.sb.exec("sh", "-c", f'for n in /dev/{SD} /dev/{SD}[0-9]*; do [ -b "$n" ] || continue; '
                         'echo "@ $n $(blockdev --getsize64 "$n")"; blkid -p -o export "$n"; done')
        for line in r.stdout.splitlines():
            if line.startswith("@ "):
                _, dev, size = line.split()
                self.partitions.append({"dev": dev, "size": int(size)})
            elif "=" in line and self.partitions:
                k, v = line.split("=", 1)
                self.partitions[-1][k] = v

    def disk(self):
        return self.partitions[0] if self.partitions else {}

    def parts(self):
        return self.partitions[1:]

    def fs_of(self, dev):
        for p in self.partitions:
            if p["dev"] == dev:
                return p.get("TYPE")
        return None

    def daemon_choice(self):
        """The device the daemon mounts: the largest partition, else the disk."""
        parts = self.parts()
        if not parts:
            return self.disk().get("dev", f"/dev/{SD}")
        return max(parts, key=lambda p: p["size"])["dev"]

    def describe_partitions(self):
        disk = self.disk()
        if not self.parts():
            if disk.get("TYPE"):
                return f"no partition table: {disk['TYPE']} on the whole key ({human_size(disk['size'])})"
            return f"no partition table and no file system ({human_size(disk.get('size', 0))})"
        table = disk.get("PTTYPE", "unknown")
        items = [f"{p['dev'][5:]} {human_size(p['size'])} {p.get('TYPE', '(no file system)')}"
                 for p in self.parts()]
        return f"{table} partition table: " + ", ".join(items)

    def key_has(self, folder):
        return self.key_root is not None and folder.lower() in {n.lower() for n in self.key_root}

    def snapshot_home(self):
        root = self.sb.path("/home/pi")
        files = {}
        for dirpath, dirnames, filenames in os.walk(root):
            if dirpath == str(root):
                dirnames[:] = [d for d in dirnames if d != "media"]
            for f in filenames:
                p = os.path.join(dirpath, f)
                try:
                    st = os.lstat(p)
                except OSError:
                    continue
                files[os.path.relpath(p, root)] = (st.st_size, st.st_mtime_ns)
        return files

    # -- following the daemon ------------------------------------------------

    def now(self):
        return time.monotonic() - self.d.started

    def pump(self, done, timeout):
        """Shows what happens until done() or TIMEOUT s; returns done()."""
        deadline = time.monotonic() + timeout
        while True:
            self.collect()
            if done():
                return True
            if time.monotonic() >= deadline:
                return False
            if self.d.proc.poll() is not None:
                self.collect()
                raise Failure(f"the daemon ended unexpectedly (exit status {self.d.proc.returncode})")
            time.sleep(0.1)

    def collect(self):
        end = self.d.mark()
        new = self.d.lines[self.line_pos:end]
        self.line_pos = end
        # Read after the lines: aplay is recorded before it prints anything.
        now = self.now()
        self.unplaced += [(path, now) for path in self.read_new(APLAY_LOG, "sound_pos")]
        events = []
        for t, line in new:
            m = PLAYING.fullmatch(line)
            if m is None:
                events.append((t, 1, "line", line))
                continue
            # aplay's own line puts the sound in its place among the others.
            for i, (path, _) in enumerate(self.unplaced):
                if path == m.group(1):
                    events.append((t, 0, "sound", path))
                    del self.unplaced[i]
                    break
        # A file aplay could not play prints no such line.
        late = [u for u in self.unplaced if now - u[1] > 0.5]
        self.unplaced = [u for u in self.unplaced if now - u[1] <= 0.5]
        events += [(seen, 0, "sound", path) for path, seen in late]
        # Records of the wrapper only once the script's last lines have had
        # time to arrive through the daemon's output.
        for line in self.read_new(STATUS_FILE, "status_pos", min_age=0.3):
            events.append((float(line.split()[1]) - self.wall0, 2, "status", line))
        for t, _, kind, payload in sorted(events, key=lambda e: (e[0], e[1])):
            getattr(self, "on_" + kind)(t, payload)

    def read_new(self, inside_path, pos_attr, min_age=0.0):
        path = self.sb.path(inside_path)
        try:
            with open(path, "rb") as f:
                f.seek(getattr(self, pos_attr))
                data = f.read()
        except FileNotFoundError:
            return []
        end = data.rfind(b"\n") + 1
        lines = data[:end].decode(errors="replace").splitlines()
        if min_age:
            keep = []
            for line in lines:
                try:
                    stamp = float(line.split()[1])
                except (IndexError, ValueError):
                    stamp = 0.0
                if time.time() - stamp < min_age:
                    break
                keep.append(line)
            end = sum(len(line.encode()) + 1 for line in keep)
            lines = keep
        setattr(self, pos_attr, getattr(self, pos_attr) + end)
        return lines

    def script_running(self):
        return self.command is not None and self.script_rc is None

    def on_line(self, t, line):
        if self.script_running() or not STATUS_LINE.fullmatch(line):
            if not self.script_running():
                # mount's complaints repeat on every attempt
                if line in self.other_seen:
                    return
                self.other_seen.add(line)
            show(t, "| " + line)
            return
        show(t, line)
        if line == "Mounted":
            self.mounts.append(t)
            r = self.sb.exec("findmnt", "-n", "-o", "SOURCE", MEDIA)
            self.mount_source = r.stdout.strip() or self.mount_source
            if len(self.mounts) == 1:
                self.tell_mounted()
        elif line == "Trying to mount without arguments":
            self.tries.append(t)
        elif line == "Unmounting":
            self.unmounts.append(t)
        elif line.endswith(" exist"):
            self.folder = line[:-len(" exist")]
        elif line.startswith("bash "):
            self.command = line
            say(f"The daemon runs the script and waits for it: here up to --timeout {self.timeout:g} s, "
                "on a device for ever")
        elif line.startswith("Cannot copy "):
            self.copy_failed = line

    def on_sound(self, t, path):
        name = os.path.basename(path)
        self.sounds[name] += 1
        if name != BEEP_SOUND:
            show(t, f"[sound] {name}")
        elif self.sounds[name] == 1:
            show(t, f"[sound] {name}  (it now repeats about every second: counted, not shown)")

    def on_status(self, t, line):
        parts = line.split(None, 3)
        if parts[0] == "start":
            self.script_start = t
        elif parts[0] == "end" and len(parts) >= 3:
            self.script_end = t
            self.script_rc = int(parts[2])
            took = f" after {t - self.script_start:.1f} s" if self.script_start is not None else ""
            say(f"The script ended with exit status {self.script_rc}{took} (the daemon does not look "
                "at it); the daemon runs sync")

    def tell_mounted(self):
        src = self.mount_source or self.daemon_choice()
        if self.log_text is not None:
            look = f"the device has a pending log: it goes to the key, then {POST_UPDATE} is considered"
        else:
            look = f"no pending /home/pi/log.txt, so {UPDATE} is considered"
        say(f"{src} ({self.fs_of(src) or '?'}) is mounted at {MEDIA}; {look}")

    # -- the run -------------------------------------------------------------

    def run(self):
        sb = self.sb
        say(f"Simulated device ready (sandbox {sb.dir}): user pi in /home/pi, "
            "the key at /home/pi/media, sounds into a null device")
        self.prepare_device()
        if self.log_text is not None:
            say(f"Pending log: /home/pi/log.txt is on the device ({len(self.log_text)} bytes), as an "
                "earlier update script\nwould leave it: the next key receives it, and "
                f"{POST_UPDATE} is considered instead of {UPDATE}" +
                (f"\n({self.log_note})" if self.log_note else ""))
        self.d = self.dr.Daemon(sb, env={"PATH": f"{WRAPPER_DIR}:{INNER_PATH}"})
        self.wall0 = time.time() - (time.monotonic() - self.d.started)
        say("Started tarvexd as pi; it waits 5 s + 3 s, then makes a pass every 3 s.\n"
            "Its lines follow with the seconds since its start; \"|\" marks output of what it runs.")

        say(f"Preparing the key: {self.source.describe()}")
        self.prepare_key()
        if self.key_root is not None:
            names = sorted(self.key_root, key=str.lower)
            shown = ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")
            say(f"The key's root holds: {shown or '(nothing)'}")
        else:
            say("The key's files cannot be listed: its largest partition, or the key itself, does not mount")

        stamp = sb.path(VERSION_STAMP)
        if not self.pump(stamp.exists, 20):
            raise Failure("the daemon wrote no version stamp within 20 s: it does not run properly")
        first_pass = stamp.stat().st_mtime - self.wall0 + STAMP_TO_FIRST_PASS
        self.pump(lambda: self.now() > first_pass + 0.4, 15)
        say("The first pass saw no key, so the daemon will look at the next one that goes in")

        self.home_before = self.snapshot_home()
        self.key_cmd("insert", KEY, SD)
        self.inserted_at = self.now()
        self.probe_partitions()
        say(f"Key inserted as /dev/{SD}: {self.describe_partitions()}")

        outcome = self.follow_insertion()
        if outcome != "timeout":
            self.pull()
        return self.summary(outcome)

    def mount_failed(self):
        tries = [t for t in self.tries if t >= self.inserted_at]
        # A whole pass of attempts, the last one's wait for the mount over.
        return len(tries) >= 3 and self.now() - tries[-1] > 1.6

    def follow_insertion(self):
        if not self.pump(lambda: self.mounts or self.mount_failed(), 2 * PASS + 8) or not self.mounts:
            self.tell_no_mount()
            return "no-mount"
        mounted = self.mounts[0]
        self.pump(lambda: self.folder or self.now() > mounted + 3.0, 4)
        if not self.folder:
            folder = POST_UPDATE if self.log_text is not None else UPDATE
            say(f"No {folder}/ on the key: the daemon runs nothing")
            return "no-folder"
        if not self.pump(lambda: self.command or self.sounds[ERROR_SOUND], 4):
            return "folder-only"
        if not self.command:
            say(f"{self.folder} has no {SCRIPT}: the daemon plays {ERROR_SOUND} and runs nothing")
            self.pump(lambda: False, 1.0)
            return "no-script"
        started = self.script_start if self.script_start is not None else self.now()
        limit = max(0.0, started + self.timeout - self.now())
        if not self.pump(lambda: self.script_rc is not None, limit):
            self.tell_timeout()
            return "timeout"
        self.pump(lambda: False, 1.0)
        return "ran"

    def pull(self):
        say(f"Pulling the key out (/dev/{SD} goes away)")
        self.key_cmd("pull", SD)
        self.pulled_at = self.now()
        if self.mounts:
            self.pump(lambda: any(t >= self.pulled_at for t in self.unmounts), PASS + 4)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                if self.sb.exec("findmnt", MEDIA).returncode != 0:
                    self.unmounted_at = self.now()
                    break
                time.sleep(0.1)
            self.collect()
            if self.unmounted_at is not None:
                say(f"{MEDIA} is unmounted")
            else:
                say(f"{MEDIA} is still mounted after the pull")

    # -- the summary -----------------------------------------------------------

    def no_folder_reason(self):
        considered = POST_UPDATE if self.log_text is not None else UPDATE
        other = UPDATE if considered == POST_UPDATE else POST_UPDATE
        part = self.mount_source or self.daemon_choice()
        if self.key_has(considered):
            return (f"the key has {considered}/ but the daemon did not look: it looks only at a key "
                    "put in after a pass without one (a key in at start is mounted, not looked at)")
        if self.key_has(other):
            if considered == POST_UPDATE:
                return (f"the device had a pending log, so only {POST_UPDATE}/ is considered; "
                        f"the key has {UPDATE}/ only")
            return (f"the key has only {POST_UPDATE}/, which is considered when the device has a "
                    "log to hand over (try --pending-log)")
        where = f"the root of {part}"
        if len(self.parts()) > 1:
            where += " (the largest partition: the others are never looked at)"
        return f"no {considered}/ folder at {where}"

    def summary(self, outcome):
        say("Summary")
        field("key", self.source.describe())
        field("partitions", self.describe_partitions())
        if self.mounts:
            src = self.mount_source or self.daemon_choice()
            field("mounted", f"{src} ({self.fs_of(src) or '?'}) at {MEDIA}, "
                             f"{self.mounts[0] - self.inserted_at:.1f} s after it went in")
        else:
            field("mounted", "no")

        key_log = None
        if self.pulled_at is not None and self.mounts:
            r = self.sb.exec("key", "get", KEY, "log.txt")
            if r.returncode == 0:
                key_log = r.stdout
        if self.log_text is not None:
            if self.copy_failed:
                field("pending log", f"not handed over, the device keeps it:\n{self.copy_failed}")
            elif self.mounts and key_log is not None:
                field("pending log", "handed over to the key as log.txt, removed from the device")
            else:
                field("pending log", "not handed over")
        if key_log is not None:
            lines = key_log.splitlines()
            field("log.txt on key", "\n".join("| " + line for line in lines[:8]) +
                  (f"\n| ... ({len(lines) - 8} more lines)" if len(lines) > 8 else "") or "(empty)")

        if self.folder:
            field("folder", self.folder)
        elif self.mounts:
            field("folder", "none found: " + self.no_folder_reason())
        else:
            field("folder", "not looked for: the key was not mounted")

        if self.sounds:
            sounds = ", ".join(f"{n} x{c}" for n, c in self.sounds.items())
            if self.sounds[BEEP_SOUND]:
                sounds += "\n(the beep goes on until the daemon restarts: scripts usually reboot)"
            field("sounds", sounds)
        else:
            field("sounds", "none")

        if self.command:
            field("script", self.command)
            if self.script_rc is not None:
                killed = ""
                if 128 < self.script_rc < 128 + 65:
                    with contextlib.suppress(ValueError):
                        killed = f", killed by {signal.Signals(self.script_rc - 128).name}"
                field("exit status", f"{self.script_rc} (not looked at by the daemon{killed})")
                field("duration", f"{self.script_end - self.script_start:.1f} s")
            else:
                field("exit status", f"none: still running after {self.timeout:g} s, stopped here")
        elif self.folder:
            field("script", f"none: {self.folder} has no {SCRIPT}")

        if self.pulled_at is not None and self.mounts:
            if self.unmounted_at is not None:
                field("unmounted", f"yes, {self.unmounted_at - self.pulled_at:.1f} s after the pull")
            else:
                field("unmounted", "no")

        changes = self.home_changes()
        if changes:
            field("in /home/pi", "\n".join(changes))

        return self.verdict(outcome)

    def home_changes(self):
        after = self.snapshot_home()
        out = []
        for name in sorted(set(after) | set(self.home_before)):
            if name not in self.home_before:
                out.append(f"{name}: new, {after[name][0]} bytes")
            elif name not in after:
                handed = name == "log.txt" and self.log_text is not None and not self.copy_failed
                out.append(f"{name}: removed" + (" (handed to the key)" if handed else ""))
            elif after[name] != self.home_before[name]:
                out.append(f"{name}: changed, now {after[name][0]} bytes")
        if "log.txt" in after and ("log.txt" not in self.home_before or
                                   after["log.txt"] != self.home_before["log.txt"]):
            out.append("(a pending log: the next key gets it, with "
                       f"{POST_UPDATE} considered; see --pending-log)")
        return out[:12]

    def tell_no_mount(self):
        part = self.daemon_choice()
        fs = self.fs_of(part)
        why = (f"{part} holds {fs}, which did not mount" if fs else
               f"{part} has no file system that blkid recognises")
        tries = [t for t in self.tries if t >= self.inserted_at]
        say(f"The daemon could not mount the key: {len(tries)} attempts, no \"Mounted\" "
            f"(mount's errors are above).\nThe key has {self.describe_partitions()}; {why}.\n"
            "A device would try again every 3 s for as long as the key is in. "
            "Format the key as exFAT or FAT32.")

    def tell_timeout(self):
        say(f"The script is still running after {self.timeout:g} s: stopping here. A device would wait "
            "for it for ever,\ndoing nothing else meanwhile (no unmount, no restart of the application).")
        r = self.sb.exec("ps", "-u", "pi", "-o", "pid=,etime=,args=")
        # The script's own processes: not the daemon, its beeper, its shell, our wrapper.
        busy = [line.strip() for line in r.stdout.splitlines()
                if not re.search(r"tarvexd|aplay|ps -u pi|Quorl silent|sh -c bash |" + WRAPPER_DIR, line)]
        if busy:
            say("Still running as pi (pid, time, command):\n" + "\n".join(busy[:6]))

    def verdict(self, outcome):
        results = {
            "no-mount": "the key did not mount",
            "no-folder": "nothing was run: " + (self.no_folder_reason() if self.mounts else ""),
            "no-script": f"nothing was run: {self.folder} has no {SCRIPT}",
            "folder-only": f"nothing was run: {self.folder} has no {SCRIPT}",
            "timeout": f"the script did not end within {self.timeout:g} s",
        }
        if outcome in results:
            say("Result: " + results[outcome])
            return EXIT_KEY_FAILED
        if self.script_rc != 0:
            say(f"Result: the script ran and ended with exit status {self.script_rc}")
            return EXIT_KEY_FAILED
        say("Result: the key works, its script ran to the end with exit status 0")
        return EXIT_OK


# ------------------------------------------------------------------ main ---

def stop_quietly(sb):
    with SIGNALS.holding():
        sb.stop()


def main(argv=None):
    SIGNALS.install()
    sb = None
    stopped_by = None
    code = EXIT_KEY_FAILED
    try:
        args = parse_args(argv)
        source = classify_key(args.key)
        log_text, log_note = pending_log(args, source)
        if os.geteuid() != 0:
            raise Failure("run as root (sudo): the simulated device needs it", EXIT_USAGE)
        build = pathlib.Path(args.build).resolve()
        if not (build / "tarvexd").is_file():
            raise Failure(f"no daemon at {build}/tarvexd: build it first (sudo scripts/demo.sh builds it)",
                          EXIT_USAGE)
        sandbox_class, daemon_run = load_sandbox(build)
        say("try_key: the real tarvexd on a simulated device, with a simulated USB key")
        sb = sandbox_class(build=build)
        with SIGNALS.holding():
            sb.start()
        trial = Trial(sb, daemon_run, source, log_text, log_note, args.timeout)
        try:
            code = trial.run()
        finally:
            d, dir_ = trial.d, sb.dir
            try:
                stop_quietly(sb)
            finally:
                if d is not None:
                    with contextlib.suppress(subprocess.TimeoutExpired):
                        d.proc.wait(timeout=10)
        say(f"Stopped the simulated device: {dir_} is gone, nothing is left mounted or attached")
        return code
    except Interrupted as e:
        stopped_by = e.signum
    except KeyboardInterrupt:
        stopped_by = signal.SIGINT
    except Failure as e:
        print(f"try_key: {e}", file=sys.stderr, flush=True)
        code = e.code
    if stopped_by is not None:
        name = "Ctrl-C" if stopped_by == signal.SIGINT else signal.Signals(stopped_by).name
        left = "the simulated device is gone, nothing is left mounted or attached"
        # The stop itself is held until done, so this is only for a signal
        # that came before the trial's clean-up was set up.
        if sb is not None and sb.dir is not None:
            try:
                stop_quietly(sb)
            except (Failure, Interrupted) as e:
                left = f"stopping the simulated device failed: {e}"
        print(f"\ntry_key: stopped by {name}; {left}", file=sys.stderr, flush=True)
        return 128 + stopped_by
    return code


if __name__ == "__main__":
    sys.exit(main())
