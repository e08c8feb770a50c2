"""The simulated device from Python: the test sandbox (tests/sandbox/sandbox)
with its USB keys, the real tarvexd running in it, and the daemon's constants
as the build has them. The end-to-end tests and the key trial both use it;
each says what differs (build, emulator, network, session) as arguments.

    with Sandbox(build) as sb:
        sb.key("create", "k", "64M:exfat")
        d = Daemon(sb)
        d.wait_for(sb.constants.kLineMounted, timeout=20)

Needs root. A sandbox started here stops itself when this process dies
(TARVEX_SB_OWNER), so even a killed run leaves nothing behind.
"""

import atexit
import contextlib
import dataclasses
import functools
import importlib.util
import os
import pathlib
import re
import secrets
import signal
import stat
import subprocess
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
LAUNCHER = REPO / "tests" / "sandbox" / "sandbox"
MIB = 1 << 20
NOT_COPIED = {
    stat.S_IFLNK: "link",
    stat.S_IFIFO: "FIFO",
    stat.S_IFSOCK: "socket",
    stat.S_IFCHR: "device",
    stat.S_IFBLK: "device",
    stat.S_IFREG: "changed while read",
}


class SandboxError(RuntimeError):
    pass


def build_dir(path=None):
    """PATH, else $TARVEX_BUILD, else build/ in the repository."""
    return pathlib.Path(path or os.environ.get("TARVEX_BUILD") or REPO / "build").resolve()


def constants(build=None):
    """The daemon's constants header as the build generated it (a module)."""
    path = build_dir(build) / "tarvex_constants.py"
    if not path.is_file():
        raise SandboxError(f"no {path}: configure the build with -DTARVEX_BUILD_TESTS=ON")
    found = importlib.util.spec_from_file_location("tarvex_constants", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def pass_times(c):
    """Seconds from the daemon's start to its first pass, and between passes."""
    return c.kStartupDelaySeconds + c.kSettleDelaySeconds, c.kPassDelaySeconds


def sound_file(command):
    """The file a sound command of the daemon plays (aplay's last argument)."""
    return command.split()[-1]


@contextlib.contextmanager
def _signals_held(hold):
    if not hold:
        yield
        return
    pending = []
    held = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    old = {sig: signal.signal(sig, lambda signum, _: pending.append(signum)) for sig in held}
    try:
        yield
    finally:
        for sig, handler in old.items():
            signal.signal(sig, handler)
        if pending:
            signal.raise_signal(pending[0])


class Sandbox:
    """build: the build whose tarvexd runs (see build_dir); emulator: what runs
    that build's programs on this machine, e.g. ["qemu-arm"] ($TARVEX_EMULATOR
    by default); network=False: a network namespace of its own with only
    loopback; new_session: for an interactive caller,
    starts and stops out of the terminal's process group, so that a Ctrl-C
    reaches the caller only, who then stops the sandbox; and a Ctrl-C,
    SIGTERM or SIGHUP that comes
    during a start or stop is delivered once it is over, since either cut
    short could leave a state dir or a loop device behind."""

    def __init__(self, build=None, emulator=None, network=True, new_session=False, launcher=LAUNCHER):
        self.build = build_dir(build)
        if emulator is None:
            emulator = os.environ.get("TARVEX_EMULATOR", "").split()
        self.emulator = list(emulator)
        self.network = network
        self.new_session = new_session
        self.launcher = str(launcher)
        self.dir = None
        self.pid = None

    @functools.cached_property
    def constants(self):
        return constants(self.build)

    def _launch(self, *args, env=None):
        return subprocess.run(
            [self.launcher, *args],
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=120,
            check=False,
            start_new_session=self.new_session,
        )

    def start(self):
        if self.dir is not None:
            raise SandboxError("sandbox already started")
        args = ["start", "--build", str(self.build)] + ([] if self.network else ["--no-net"])
        with _signals_held(self.new_session):
            r = self._launch(*args, env=dict(os.environ, TARVEX_SB_OWNER=str(os.getpid())))
            if r.returncode != 0:
                raise SandboxError(f"sandbox start failed ({r.returncode}):\n{r.stderr}")
            self.dir = r.stdout.strip()
            self.pid = int(pathlib.Path(self.dir, "pid").read_text())
            atexit.register(self.stop)
        return self

    def stop(self):
        if self.dir is None:
            return
        with _signals_held(self.new_session):
            d, self.dir, self.pid = self.dir, None, None
            atexit.unregister(self.stop)
            r = self._launch("stop", d)
            if r.returncode != 0 or os.path.exists(d):
                raise SandboxError(
                    f"sandbox stop failed ({r.returncode}); "
                    f"'tests/sandbox/sandbox sweep --stale' cleans up:\n{r.stderr}"
                )

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def _exec_cmd(self, cmd, user=None, cwd=None, env=None):
        if self.dir is None:
            raise SandboxError("sandbox not started")
        args = [self.launcher, "exec", self.dir]
        if user is not None:
            args += ["--user", user]
        if cwd is not None:
            args += ["--cwd", str(cwd)]
        for k, v in (env or {}).items():
            args += ["--env", f"{k}={v}"]
        return args + ["--"] + [str(c) for c in cmd]

    def exec(self, *cmd, user=None, cwd=None, env=None, input=None, check=False, timeout=60, text=True):
        """Runs CMD inside; stdout and stderr are captured (as text, what is
        not UTF-8 replaced: whatever a key holds must not stop the caller)."""
        return subprocess.run(
            self._exec_cmd(cmd, user, cwd, env),
            input=input,
            stdin=None if input is not None else subprocess.DEVNULL,
            capture_output=True,
            text=text,
            errors="replace" if text else None,
            timeout=timeout,
            check=check,
        )

    def popen(self, *cmd, user=None, cwd=None, env=None, **kwargs):
        """Starts CMD inside and returns at once (for the daemon under test)."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self._exec_cmd(cmd, user, cwd, env), **kwargs)

    def key(self, *args, input=None, timeout=60):
        """Runs the key helper as root; a failure raises with its message."""
        r = self.exec("key", *args, input=input, timeout=timeout)
        if r.returncode != 0:
            raise SandboxError(f"key {' '.join(args)} failed ({r.returncode}): {r.stderr.strip()}")
        return r.stdout

    def install(self, path, data, mode, owner="root"):
        """Makes PATH inside, holding DATA (str or bytes; None makes a
        directory), with MODE and OWNER as its user and group."""
        what = ["-d"] if data is None else ["/dev/stdin"]
        data = data.encode() if isinstance(data, str) else data or b""
        r = self.exec("install", "-m", mode, "-o", owner, "-g", owner, *what, path, input=data, text=False)
        if r.returncode != 0:
            raise SandboxError(f"cannot make {path}: {r.stderr.decode(errors='replace').strip()}")

    def stage(self, src, max_bytes):
        """Copies the folder SRC (see stage_folder) into the sandbox's state
        dir, which only root enters, for the key helper to put on a key;
        returns its path inside and stage_folder's Staged."""
        return "/run/tarvex/state/stage", stage_folder(src, os.path.join(self.dir, "stage"), max_bytes)

    def path(self, p):
        """Host-side path of the file P inside the sandbox. Opening it follows
        links with the host's root: never for what the inside could have
        made a link (anything an update script under test can write)."""
        if self.pid is None:
            raise SandboxError("sandbox not started")
        return pathlib.Path(f"/proc/{self.pid}/root") / str(p).lstrip("/")


# bash as the daemon finds it on PATH when update scripts are followed: runs
# the real one, the script's stderr on its stdout as both go to the journal on
# a device, between two lines that the reader takes out again: the start, and
# the end with the exit status. The script gets the plain PATH. This shell's
# own stderr is /dev/null: its "Killed" notice for a script that dies of a
# signal is not something a device would print.
SCRIPT_WRAPPER = """\
#!/bin/bash
export PATH=${{PATH#{dir}:}}
printf '%s start %s\\n' '{token}' "$*"
{{ /bin/bash "$@" 2>&1; }} 2>/dev/null
rc=$?
printf '%s end %s\\n' '{token}' "$rc"
exit "$rc"
"""
WRAPPER_DIR = "/run/tarvex-scripts"
DAEMON = "/run/tarvex/tarvexd"


class Daemon:
    """The real tarvexd inside a sandbox, as pi in /home/pi, in real time,
    observed only from outside: its lines (and those of the commands it
    runs, which share its stdout and stderr), each as (seconds since its
    start, text, source), source "out" or "err".

    With scripts=True the update scripts it runs are followed too: their
    output has source "script", and (time, command, "start") and (time,
    exit status, "end") mark where each starts and ends."""

    def __init__(self, sb, env=None, scripts=False):
        self.sb = sb
        self.lines = []
        self._token = None
        if scripts:
            self._token = "tarvex-script:" + secrets.token_hex(8)
            sb.install(WRAPPER_DIR, None, "0755")
            sb.install(WRAPPER_DIR + "/bash", SCRIPT_WRAPPER.format(dir=WRAPPER_DIR, token=self._token), "0755")
            path = sb.exec("printenv", "PATH", user="pi").stdout.strip()
            env = {"PATH": f"{WRAPPER_DIR}:{path}", **(env or {})}
        self._cond = threading.Condition()
        # Two pipes, one list: on a shared pipe a tool's partial stderr line
        # ("Playing WAVE '...' : ") and a status line can end up on one line.
        # The sandbox's copy of the build's daemon: pi may not be able to
        # enter the build directory.
        self.proc = sb.popen(
            *sb.emulator, DAEMON, user="pi", cwd="/home/pi", env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        self.started = time.monotonic()
        self._readers = [
            threading.Thread(target=self._read, args=(stream, source), daemon=True)
            for stream, source in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))
        ]
        for reader in self._readers:
            reader.start()

    def _read(self, stream, source):
        running = False
        for raw in stream:
            line = raw.decode(errors="replace").rstrip("\n")
            text, marker, words = line.partition(self._token) if self._token else (line, "", "")
            with self._cond:
                t = time.monotonic() - self.started
                if text or not marker:
                    self.lines.append((t, text, "script" if running else source))
                what, _, rest = words.strip().partition(" ")
                if what in ("start", "end"):
                    running = what == "start"
                    self.lines.append((t, rest, what))
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
                    raise AssertionError(f"no line matching {pattern!r} within {timeout} s; got:\n" + self.transcript())
                self._cond.wait(left)

    def count(self, pattern, after=0):
        rx = re.compile(pattern)
        with self._cond:
            return sum(1 for _, line, _ in self.lines[after:] if rx.fullmatch(line))

    def mark(self):
        with self._cond:
            return len(self.lines)

    def children(self):
        """Its children as "pid args" lines, looked up from outside as root."""
        r = self.sb.exec("sh", "-c", 'd=$(pgrep -o -u pi -f "/tarvexd$") && ps -o pid=,args= --ppid "$d"')
        return r.stdout.splitlines()

    def transcript(self):
        return "\n".join(f"{t:7.2f}  {line}" for t, line, _ in self.lines)

    def stop(self):
        if self.proc.poll() is None and self.sb.dir is not None:
            # By the end of its command line, which also matches an emulated one.
            self.sb.exec("pkill", "-KILL", "-f", "/tarvexd$")
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self._readers:
            reader.join(timeout=5)


@dataclasses.dataclass
class Staged:
    """A folder as stage_folder copied it: what was left out and why, the
    bytes and the entries copied."""

    left_out: list
    total: int
    count: int

    def key_mib(self):
        """A key that holds it: room for a file system's clusters and to
        spare (a sparse image costs nothing for it)."""
        return max(64, (self.total * 11 // 10 + self.count * 32768) // MIB + 32)


def stage_folder(src, dest, max_bytes):
    """Copies the folder SRC to the new directory DEST, a file at a time in
    pieces: only files and folders, each looked at before it is opened and
    opened once, no link followed, so whatever a link points at, in the
    folder or out, is never read as root, and a FIFO or a device node is
    never opened. More than MAX_BYTES of files is refused."""
    staged = Staged([], 0, 0)
    os.mkdir(dest, 0o700)
    for dirpath, dirnames, filenames, dirfd in os.fwalk(src, follow_symlinks=False):
        for name in dirnames + filenames:
            rel = os.path.normpath(os.path.join(os.path.relpath(dirpath, src), name))
            st = os.stat(name, dir_fd=dirfd, follow_symlinks=False)
            kind = stat.S_IFMT(st.st_mode)
            staged.count += 1
            if kind == stat.S_IFDIR:
                os.mkdir(os.path.join(dest, rel))
                continue
            staged.total += st.st_size if kind == stat.S_IFREG else 0
            if staged.total > max_bytes:
                raise SandboxError(f"more than {max_bytes // MIB} MiB of files in {src}")
            if kind != stat.S_IFREG or not _copy_file(name, dirfd, os.path.join(dest, rel), st):
                staged.left_out.append(f"{rel} ({NOT_COPIED.get(kind, 'odd file')})")
    staged.left_out.sort()
    return staged


def _copy_file(name, dirfd, out, st):
    """Copies at most st_size bytes of the regular file NAME (a file still
    growing cannot keep the copy going); False if it is no longer the file
    ST describes by the time it is opened."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, dir_fd=dirfd)
    except OSError:
        return False
    with open(fd, "rb") as f:
        now = os.fstat(fd)
        if not stat.S_ISREG(now.st_mode) or (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):
            return False
        size = st.st_size
        with open(out, "xb") as copy:
            while size > 0 and (chunk := f.read(min(size, MIB))):
                copy.write(chunk)
                size -= len(chunk)
    return True


def key_layout(sb, disk):
    """The key inserted as DISK (sda) as blkid sees it: (name, bytes, file
    system or "", partition table or "") for the disk, then its partitions."""
    r = sb.exec(
        "sh",
        "-c",
        f'for n in /dev/{disk} /dev/{disk}[0-9]*; do [ -b "$n" ] && echo '
        '"${n#/dev/} $(blockdev --getsize64 "$n") $(blkid -p -o value -s TYPE "$n")/'
        '$(blkid -p -o value -s PTTYPE "$n")"; done',
    )
    return [
        (name, int(size), *types.split("/"))
        for name, size, types in (line.split(" ", 2) for line in r.stdout.splitlines())
    ]


def sounds(sb):
    """Files played so far, in order (the sandbox's aplay records them). Read
    as pi inside: an update script may have made the record a link."""
    r = sb.exec("cat", "/tmp/aplay.log", user="pi")
    return r.stdout.splitlines() if r.returncode == 0 else []


def home_files(sb):
    """Files in /home/pi but the mount point, as pi sees them: name -> (size, mtime)."""
    find = ["-path", sb.constants.kMountPoint, "-prune", "-o", "-type", "f", "-printf", r"%s %T@ %P\0"]
    entries = sb.exec("find", "/home/pi", *find, user="pi").stdout.split("\0")
    return {name: (size, mtime) for size, mtime, name in (e.split(" ", 2) for e in entries if e)}


def mounted_at_media(sb):
    r = sb.exec("findmnt", "-n", "-o", "SOURCE", sb.constants.kMountPoint)
    return r.stdout.strip() if r.returncode == 0 else None


def wait_until(cond, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(step)
    return cond()
