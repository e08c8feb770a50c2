"""A real Debian 12 device under QEMU, for the system tests and the key trial.

    with Image("amd64").vm(tmpdir) as vm:        # boots; power_cut() and boot() again
        vm.install(deb)
        vm.plug(Key(tmpdir / "k.img", [("vfat", 64, {"_QuorlUpdate/quorlupdate.sh": b"..."})]))
        vm.wait_line("Mounted")

The image (scripts/system_image.sh) is built once and cached under
/var/cache/tarvexd-system (TARVEX_SYSTEM_CACHE), keyed on the builder, the
architecture and apt's sources. Each VM boots under TCG from its own qcow2
overlay on it, so the image is never changed. Each architecture boots on its
board (BOARD_OF; VM(board="raspi2b") boots armhf on the Raspberry Pi 2). The
harness talks to the guest through qemu-guest-agent on a virtio-serial port
(a serial port on the Pi 2), and to QEMU through QMP:
keys (tools/key_image.py) are plugged in and pulled as USB storage, and
`quit` is a power cut.
QEMU dies with the process that started it (PR_SET_PDEATHSIG), and a VM's
files live in the caller's temporary directory.

What runs in the guest may be hostile (a crafted key can gain root there), so
QEMU is confined (see _confined) and nothing the guest sends is believed
further than its size: every line from it is capped, a number in it must be
finite, and every call has a deadline however slowly its reply comes. Events
no caller waits for are dropped; a line that is neither a reply nor an event,
or a reply or journal entry not of the shape expected, is a ProtocolError.
"""

import array
import base64
import binascii
import collections
import ctypes
import dataclasses
import fcntl
import hashlib
import json
import math
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILDER = REPO / "scripts" / "system_image.sh"
CACHE = pathlib.Path(os.environ.get("TARVEX_SYSTEM_CACHE", "/var/cache/tarvexd-system"))
APT_SOURCES = [pathlib.Path("/etc/apt/sources.list"), *sorted(pathlib.Path("/etc/apt/sources.list.d").glob("*"))]
MIB = 1 << 20
UNIT = "tarvexd"
# The one unprivileged account QEMU runs as (-runas): no home, no shell, no
# file of its own. What it needs after dropping root (the keys plugged in
# later) it gets as open file descriptors, so it needs no access to any path.
QEMU_USER = "tarvexd-vm"
# The longest line a channel takes: the agent's reply to guest-exec-status
# carries at most 16 MiB of output, base64 encoded.
MAX_LINE = 24 * MIB
# What the guest's serial console may leave in the host's memory.
CONSOLE_BYTES = MIB
# The events a channel keeps for a caller to wait for, the newest: QEMU sends
# one DEVICE_DELETED a pull, but what the guest can make it send has no end.
MAX_EVENTS = 64
# journald's cursor (s=...;i=...;b=...;m=...;t=...;x=...), which the trial
# hands back to the guest inside a quoted command line.
CURSOR = re.compile(r"[0-9a-z=;]{1,256}")


class Board:
    """A machine QEMU models: how its disk, keys, guest agent and sound card
    attach, and how long it may take to boot. PCI boards take virtio and the
    harness's own USB controller; a board without PCI (the Pi 2) has its SD
    card, its own USB controller, a serial port for the agent and no sound
    card (the image's loopback card stands in)."""

    def __init__(
        self, binary, machine, console, pci=True, usb_bus="xhci.0", dtb=None, agent_tty=None, boot_seconds=300
    ):
        self.binary, self.machine, self.console = binary, machine, console
        self.pci, self.usb_bus, self.dtb, self.agent_tty = pci, usb_bus, dtb, agent_tty
        self.boot_seconds = boot_seconds


BOARDS = {
    "pc": Board("qemu-system-x86_64", ["-M", "q35", "-cpu", "max"], "ttyS0"),
    # cortex-a72 rather than max: TCG emulates pointer authentication slowly.
    "virt64": Board("qemu-system-aarch64", ["-M", "virt", "-cpu", "cortex-a72"], "ttyAMA0"),
    # The Raspberry Pi 2: its BCM2836, 1 GiB and four cores are fixed. The
    # kernel's console is the first UART; the agent has the second (the
    # image's device tree switches it on). Four emulated cores and udev's
    # walk through the SoC's devices: a boot took 513 s on a machine whose
    # load was 17 on 2 cores.
    "raspi2b": Board(
        "qemu-system-arm",
        ["-M", "raspi2b"],
        "ttyAMA0",
        pci=False,
        usb_bus="usb-bus.0",
        dtb="rpi2b.dtb",
        agent_tty="ttyS1",
        boot_seconds=900,
    ),
    # armmp has no large physical addresses: PCI stays below 4 GiB.
    "virt32": Board("qemu-system-arm", ["-M", "virt,highmem=off", "-cpu", "cortex-a15"], "ttyAMA0"),
}
# The board each architecture boots on unless told otherwise. armhf boots on
# virt: on raspi2b the agent's serial port did not carry a package in time
# (see the README's system tests).
BOARD_OF = {"amd64": "pc", "arm64": "virt64", "armhf": "virt32"}


class VMError(Exception):
    pass


class ProtocolError(VMError):
    """The guest (or its agent, once a key has taken it over) sent what the
    protocol does not allow, or no whole answer in time."""


class Image:
    """The cached image of one architecture; built on first use."""

    def __init__(self, arch="amd64"):
        self.arch = arch
        h = hashlib.sha256(arch.encode())
        for f in [BUILDER] + [p for p in APT_SOURCES if p.is_file()]:
            h.update(f.name.encode() + b"\0" + f.read_bytes())
        self.dir = CACHE / f"{arch}-{h.hexdigest()[:16]}"

    def ensure(self):
        """Builds the image unless the cache has it. Builders take turns under
        a lock, so a process that waited finds the image there; the builder
        writes a temporary directory and renames it into place, so an
        interrupted build leaves nothing that looks finished."""
        if self._cached():
            return self
        CACHE.mkdir(parents=True, exist_ok=True)
        with open(CACHE / f".{self.arch}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if self._cached():
                return self
            for stale in CACHE.glob(f".{self.arch}-*.*"):  # builds that were killed
                if not pathlib.Path(f"/proc/{stale.suffix[1:]}").exists():
                    shutil.rmtree(stale, ignore_errors=True)
            tmp = CACHE / f".{self.dir.name}.{os.getpid()}"
            try:
                subprocess.run([str(BUILDER), self.arch, str(tmp)], check=True)
                # A builder that took no lock may have finished first: its
                # image is as good as ours.
                if not self._cached():
                    os.rename(tmp, self.dir)
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
            for old in CACHE.glob(f"{self.arch}-*"):  # earlier versions of the image
                if old != self.dir:
                    shutil.rmtree(old, ignore_errors=True)
        return self

    def _cached(self):
        return (self.dir / "root.img").is_file()

    def vm(self, workdir, **kw):
        return VM(self.ensure(), workdir, **kw)


def _die_with_parent():
    os.setsid()
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    libc.prctl(38, 1, 0, 0, 0)  # PR_SET_NO_NEW_PRIVS: nothing it runs gains a privilege


def _not_a_number(name):
    raise ValueError(f"{name} is not a number to take from a guest")


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} is not a finite number")
    return value


def guest_json(text):
    """TEXT from the guest as JSON, whose numbers must be finite."""
    try:
        return json.loads(text, parse_constant=_not_a_number, parse_float=_finite)
    except ValueError as e:
        raise ProtocolError(f"the guest sent what is not JSON or not a finite number: {e}") from None


def _brief(value):
    text = json.dumps(value)
    return text if len(text) <= 80 else text[:77] + "..."


def checked(value, what, kinds):
    """VALUE from the guest, an object whose fields have the KINDS
    ({name: type or tuple}; type(None) among them: it may be missing)."""
    if not isinstance(value, dict):
        raise ProtocolError(f"{what} is not an object: {_brief(value)}")
    for name, kind in kinds.items():
        if not isinstance(value.get(name), kind):
            raise ProtocolError(
                f"{what} has a wrong {name}: {_brief(value[name])}" if name in value else f"{what} has no {name}"
            )
    return value


@dataclasses.dataclass(frozen=True)
class JournalEntry:
    cursor: str
    seconds: float  # since boot
    text: str


def journal_entry(line):
    """A line of journalctl -o json, as a JournalEntry.
    journald writes each field as a string, a message that is not UTF-8 or
    holds control characters as the list of its bytes, and one longer than
    journalctl shows as null (left empty here)."""
    entry = checked(
        guest_json(line),
        "a journal entry",
        {"__CURSOR": str, "__MONOTONIC_TIMESTAMP": str, "MESSAGE": (str, list, type(None))},
    )
    cursor, stamp, text = entry["__CURSOR"], entry["__MONOTONIC_TIMESTAMP"], entry.get("MESSAGE") or ""
    if not CURSOR.fullmatch(cursor):
        raise ProtocolError(f"a journal entry's cursor is not journald's: {_brief(cursor)}")
    if not re.fullmatch("[0-9]{1,20}", stamp):
        raise ProtocolError(f"a journal entry's time is not journald's: {_brief(stamp)}")
    if isinstance(text, list):
        if not all(type(b) is int and 0 <= b <= 255 for b in text):
            raise ProtocolError(f"a journal entry's message is neither text nor bytes: {_brief(text)}")
        text = bytes(text).decode(errors="replace")
    return JournalEntry(cursor, int(stamp) / 1e6, text)


def qemu_user():
    """QEMU's account, made on first use: a system account with no home and
    no login, in a group of its own."""
    try:
        pwd.getpwnam(QEMU_USER)
    except KeyError:
        r = subprocess.run(
            [
                "useradd",
                "--system",
                "--user-group",
                "--no-create-home",
                "--home-dir",
                "/nonexistent",
                "--shell",
                "/usr/sbin/nologin",
                QEMU_USER,
            ],
            capture_output=True,
            text=True,
        )
        if r.returncode != 0 and r.returncode != 9:  # 9: made meanwhile by another run
            raise VMError(f"cannot make the account {QEMU_USER}: {r.stderr.strip()}")
    return QEMU_USER


# QEMU as QEMU_USER once it has opened the files on its command line and
# before the guest runs, shut in an empty directory, and unable to start a
# program or use the system calls a device model never needs. The guest
# sees no network, and only the devices the harness adds. elevateprivileges=
# deny would also refuse -runas its own setuid (QEMU 7.2 dies of SIGSYS);
# after -runas no set*id call can gain anything, and no_new_privs (see
# _die_with_parent) is set as well.
def _confined(jail):
    return ["-runas", qemu_user(), "-chroot", str(jail), "-sandbox", "on,obsolete=deny,spawn=deny,resourcecontrol=deny"]


class _Channel:
    """One JSON-lines socket: QMP or the guest agent. Of the events on it,
    those named in KEEP are kept (the newest MAX_EVENTS) for take_event, the
    others dropped."""

    def __init__(self, sock, keep=()):
        self.sock, self.keep = sock, frozenset(keep)
        self.buf = bytearray()
        self.events = collections.deque(maxlen=MAX_EVENTS)

    @classmethod
    def connect(cls, path, timeout, keep=()):
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket(socket.AF_UNIX)
            try:
                sock.connect(str(path))
                return cls(sock, keep)
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise VMError(f"cannot connect to {path}")
                time.sleep(0.1)

    def send(self, execute, **arguments):
        msg = {"execute": execute}
        if arguments:
            msg["arguments"] = arguments
        self.sock.sendall(json.dumps(msg).encode() + b"\n")

    def send_fd(self, fd, execute, **arguments):
        """Sends a command with the open file FD attached (for add-fd)."""
        msg = json.dumps({"execute": execute, "arguments": arguments}).encode() + b"\n"
        self.sock.sendmsg([msg], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])

    def _until(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("no whole line in time")
        self.sock.settimeout(left)

    def receive(self, timeout=None, deadline=None):
        """The next line, within TIMEOUT s or by DEADLINE (time.monotonic()),
        however slowly it comes: else socket.timeout."""
        deadline = deadline or time.monotonic() + timeout
        seen = 0  # bytes of buf known to hold no line end
        while (end := self.buf.find(b"\n", seen)) < 0:
            seen = len(self.buf)
            if seen > MAX_LINE:
                raise ProtocolError(f"a line of more than {MAX_LINE // MIB} MiB on the channel")
            self._until(deadline)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise VMError("the channel closed")
            self.buf += chunk
        line = bytes(self.buf[:end]).strip(b"\xff \r")
        del self.buf[: end + 1]
        if len(line) > MAX_LINE:
            raise ProtocolError(f"a line of more than {MAX_LINE // MIB} MiB on the channel")
        return guest_json(line) if line else None

    def _next(self, deadline):
        """The next reply by DEADLINE, or None for an event (kept or dropped)
        or an empty line; any other line is a ProtocolError."""
        msg = self.receive(deadline=deadline)
        if msg is None:
            return None
        if isinstance(msg, dict) and isinstance(msg.get("event"), str) and isinstance(msg.get("data", {}), dict):
            if msg["event"] in self.keep:
                self.events.append(msg)
            return None
        if isinstance(msg, dict) and ("return" in msg or isinstance(msg.get("error"), dict)):
            return msg
        raise ProtocolError(f"neither a reply nor an event on the channel: {_brief(msg)}")

    def call(self, execute, timeout=60, fd=None, **arguments):
        """EXECUTE's return value, within TIMEOUT s in all: else a ProtocolError."""
        deadline = time.monotonic() + timeout
        try:
            self._until(deadline)  # a send that waits for room counts too
            if fd is None:
                self.send(execute, **arguments)
            else:
                self.send_fd(fd, execute, **arguments)
            while (reply := self._next(deadline)) is None:
                pass
        except socket.timeout:
            raise ProtocolError(f"{execute}: no whole reply within {timeout:g} s") from None
        except OSError as e:  # QEMU gone
            raise VMError(f"{execute}: {e.strerror or e}") from None
        if isinstance(reply.get("error"), dict):
            raise VMError(f"{execute}: {reply['error'].get('desc')}")
        return reply["return"]

    def take_event(self, wanted, timeout):
        """Waits up to TIMEOUT s for a kept event for which wanted(event)
        holds, and takes it out: the next one must be waited for again.
        Else socket.timeout."""
        deadline = time.monotonic() + timeout
        while not (found := [e for e in self.events if wanted(e)]):
            if (reply := self._next(deadline)) is not None:
                raise ProtocolError(f"a reply that no command waits for: {_brief(reply)}")
        self.events.remove(found[0])
        return found[0]

    def close(self):
        self.sock.close()


class VM:
    """One virtual device. A context manager: boots on entry, and on exit
    kills QEMU and forgets the overlay."""

    def __init__(self, image, workdir, usb_root=False, memory=1024, cpus=2, board=None):
        self.image, self.usb_root, self.memory, self.cpus = image, usb_root, memory, cpus
        self.board = BOARDS[board or BOARD_OF[image.arch]]
        if usb_root and not self.board.pci:
            raise VMError("this board boots from its SD card only")
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="vm.", dir=workdir))
        self.overlay = self.dir / "overlay.qcow2"
        subprocess.run(
            [
                "qemu-img",
                "create",
                "-q",
                "-f",
                "qcow2",
                "-F",
                "raw",
                "-b",
                str(image.dir / "root.img"),
                str(self.overlay),
            ],
            check=True,
        )
        self.proc = self.qmp = self.qga = None
        self.keys = {}  # id -> Key, as plugged in
        self.fdsets = {}  # id -> the fd set QEMU holds the key's file in
        self.boots = 0
        self.last_pull = None  # when the last pulled key was gone (pull)
        self.jail = self.dir / "jail"
        self.jail.mkdir(mode=0o555)

    def __enter__(self):
        try:
            self.boot()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    # --- power ---------------------------------------------------------------

    def boot(self, keys=(), timeout=None):
        """Powers on, with KEYS already in, and waits for the guest agent."""
        timeout = timeout or self.board.boot_seconds
        self.boots += 1
        qmp, qga = self.dir / "qmp.sock", self.dir / "qga.sock"
        for s in (qmp, qga):
            s.unlink(missing_ok=True)
        b = self.board
        cmd = [
            b.binary,
            *b.machine,
            "-accel",
            "tcg",
            "-m",
            str(self.memory),
            "-nodefaults",
            "-no-user-config",
            "-display",
            "none",
            "-nic",
            "none",
            "-kernel",
            str(self.image.dir / "vmlinuz"),
            "-initrd",
            str(self.image.dir / "initrd.img"),
            "-chardev",
            f"socket,id=qmp,path={qmp},server=on,wait=off",
            "-mon",
            "chardev=qmp,mode=control",
            "-chardev",
            f"socket,id=qga,path={qga},server=on,wait=off",
            # In QEMU's memory, the newest CONSOLE_BYTES of it (see console()).
            "-chardev",
            f"ringbuf,id=console,size={CONSOLE_BYTES}",
            "-serial",
            "chardev:console",
        ]
        append = f"root=LABEL=tarvexroot rw console={b.console} quiet"
        if b.pci:
            cmd += [
                "-smp",
                str(self.cpus),
                "-device",
                "qemu-xhci,id=xhci",
                "-drive",
                f"file={self.overlay},if=none,id=root,format=qcow2,cache=unsafe",
                "-device",
                "usb-storage,bus=xhci.0,drive=root" if self.usb_root else "virtio-blk-pci,drive=root",
                "-device",
                "virtio-serial-pci",
                "-device",
                "virtserialport,chardev=qga,name=org.qemu.guest_agent.0",
                "-audiodev",
                "none,id=snd0",
                "-device",
                "intel-hda",
                "-device",
                "hda-duplex,audiodev=snd0",
            ]
        else:
            # The second serial port, after the console's.
            cmd += [
                "-dtb",
                str(self.image.dir / b.dtb),
                "-serial",
                "chardev:qga",
                "-drive",
                f"file={self.overlay},if=sd,format=qcow2,cache=unsafe",
            ]
            append += f" systemd.wants=tarvex-qga@{b.agent_tty}.service"
        cmd += ["-append", append, *_confined(self.jail)]
        self.started = time.monotonic()
        # -runas clears QEMU's parent-death signal; a root shell that keeps
        # it, as PID 1 of a PID namespace of QEMU's own, takes QEMU with it.
        cmd = ["unshare", "--pid", "--fork", "--kill-child", "--", "/bin/sh", "-c", '"$@"; exit $?', "sh", *cmd]
        self.proc = subprocess.Popen(
            cmd,
            preexec_fn=_die_with_parent,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=open(self.dir / "qemu.err", "ab"),
        )
        self.qmp = _Channel.connect(qmp, 30, keep={"DEVICE_DELETED"})
        self.qmp.receive(30)  # greeting
        self.qmp.call("qmp_capabilities")
        # Keys in at power-on are there before the guest looks.
        plugged, self.keys, self.fdsets = dict(self.keys), {}, {}
        for key in keys:
            self.plug(key)
        self.qga = _Channel.connect(qga, 30)
        self._sync(timeout)
        self.boot_seconds = time.monotonic() - self.started
        return plugged

    def _sync(self, timeout):
        """Waits until the agent answers; replies to syncs that waited in the
        socket before the agent started are skipped by their number."""
        deadline = time.monotonic() + timeout
        n = int(time.time() * 1000) % 1000000000
        while True:
            self._check_alive()
            n += 1
            try:
                # Until the guest opens its end, QEMU holds back what is sent
                # and a slow boot fills the socket: a send may time out, and
                # leave half a message, which 0xff makes the agent drop.
                self.qga.sock.settimeout(2)
                self.qga.sock.sendall(b"\xff")
                self.qga.send("guest-sync", id=n)
                until = time.monotonic() + 2  # however much else comes meanwhile
                while True:
                    try:
                        reply = self.qga.receive(deadline=until)
                    except ValueError:  # what a serial line said before the agent ran
                        continue
                    if isinstance(reply, dict) and reply.get("return") == n:
                        return
            except socket.timeout:
                if time.monotonic() > deadline:
                    raise VMError(f"no guest agent after {timeout} s; see {self.dir}")

    def _check_alive(self):
        if self.proc is None or self.proc.poll() is not None:
            raise VMError(f"QEMU is not running; see {self.dir / 'qemu.err'}")

    def console(self):
        """The newest part of the guest's serial console (at most CONSOLE_BYTES)."""
        return self.qmp.call("ringbuf-read", device="console", size=CONSOLE_BYTES, format="utf8")

    def power_cut(self):
        """Power off without a shutdown: the guest's unwritten data is lost,
        what it wrote to its disks stays."""
        try:
            self.qmp.send("quit")
            self.proc.wait(30)
        finally:
            self._kill()

    def _kill(self):
        for ch in (self.qmp, self.qga):
            if ch:
                ch.close()
        self.qmp = self.qga = None
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc = None

    def close(self):
        self._kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- the guest -----------------------------------------------------------

    def run(self, script, stdin=b"", check=True, timeout=120):
        """Runs SCRIPT with sh -c as root in the guest: (exit code, stdout, stderr)."""
        self._check_alive()
        args = {"path": "/bin/sh", "arg": ["-c", script], "capture-output": True}
        if stdin:
            args["input-data"] = base64.b64encode(stdin).decode()
        pid = checked(self.qga.call("guest-exec", **args), "guest-exec's reply", {"pid": int})["pid"]
        deadline = time.monotonic() + timeout
        while True:
            st = checked(
                self.qga.call("guest-exec-status", pid=pid),
                "guest-exec-status's reply",
                {
                    "exited": bool,
                    "out-data": (str, type(None)),
                    "err-data": (str, type(None)),
                    "exitcode": (int, type(None)),
                    "signal": (int, type(None)),
                },
            )
            if st["exited"]:
                break
            if time.monotonic() > deadline:
                raise VMError(f"timed out after {timeout} s: {script}")
            time.sleep(0.1)
        try:
            out, err = (base64.b64decode(st.get(f) or "").decode(errors="replace") for f in ("out-data", "err-data"))
        except binascii.Error as e:
            raise ProtocolError(f"guest-exec-status's output is not base64: {e}") from None
        code = st["exitcode"] if st.get("exitcode") is not None else -(st.get("signal") or 1)
        if check and code != 0:
            raise VMError(f"{script!r} exited {code}: {err.strip() or out.strip()}")
        return code, out, err

    def out(self, script, **kw):
        return self.run(script, **kw)[1]

    def put(self, path, data, mode=0o644):
        """Writes DATA to PATH in the guest, in pieces the agent accepts."""
        h = self.qga.call("guest-file-open", path=str(path), mode="w")
        try:
            for at in range(0, len(data), MIB // 2):
                self.qga.call(
                    "guest-file-write", handle=h, **{"buf-b64": base64.b64encode(data[at : at + MIB // 2]).decode()}
                )
        finally:
            self.qga.call("guest-file-close", handle=h)
        self.run(f"chmod {mode:o} '{path}'")

    def install(self, deb):
        """apt-get installs the package offline; returns apt's output."""
        target = f"/root/{pathlib.Path(deb).name}"
        self.put(target, pathlib.Path(deb).read_bytes())
        return self.out(f"DEBIAN_FRONTEND=noninteractive apt-get install -y -q {target} 2>&1", timeout=300)

    def journal(self, unit=UNIT):
        """The unit's lines since boot (the journal is in memory only)."""
        which = f"-u {unit}" if unit else "-o short-monotonic"
        return self.out(
            f"journalctl -q {which} -o cat --no-pager" if unit else f"journalctl -q {which} --no-pager"
        ).splitlines()

    def wait_line(self, pattern, since=0, timeout=60, unit=UNIT, step=0.5):
        """Waits for a journal line matching the regular expression PATTERN
        (whole line), from line SINCE on; returns its index."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            lines = self.journal(unit)
            for i in range(since, len(lines)):
                if rx.fullmatch(lines[i]):
                    return i
            if time.monotonic() > deadline:
                # The unit's own lines, then the rest of the system's, less
                # the beep's, which would crowd out the sudo and kernel lines.
                # Then the guest's disks, and what of them is mounted where.
                rest = [line for line in self.journal(unit=None) if "Playing WAVE" not in line]
                disks = self.run("lsblk -rn -o NAME,SIZE,FSTYPE,MOUNTPOINTS", check=False)[1]
                tail = "\n  ".join(lines[since:][-30:] + ["--"] + rest[-60:] + ["--"] + disks.splitlines())
                raise VMError(f"no line {pattern!r} within {timeout} s; after line {since}:\n  {tail}")
            time.sleep(step)

    def mount_options(self, path):
        """The options of what is mounted at PATH, or None."""
        code, out, _ = self.run(f"findmnt -n -o OPTIONS --mountpoint {path}", check=False)
        return set(out.strip().split(",")) if code == 0 and out.strip() else None

    # --- keys ----------------------------------------------------------------

    def plug(self, key):
        """Plugs KEY in as a USB storage device."""
        self._check_alive()
        # QEMU gets the image as an open file: it may open no path itself.
        fd = os.open(key.path, os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
        try:
            fdset = self.qmp.call("add-fd", fd=fd)["fdset-id"]
        finally:
            os.close(fd)
        self.fdsets[key.id] = fdset
        self.qmp.call(
            "blockdev-add",
            **{"node-name": key.id, "driver": "raw", "file": {"driver": "file", "filename": f"/dev/fdset/{fdset}"}},
        )
        self.qmp.call(
            "device_add", driver="usb-storage", id=key.id + "d", drive=key.id, bus=self.board.usb_bus, removable=True
        )
        self.keys[key.id] = key
        key.vm = self

    def pull(self, key, timeout=60):
        """Pulls KEY out and waits until the guest has let go of it and, on a
        running guest, until its disk is gone from the guest's view; records
        when (last_pull)."""
        self.qmp.call("device_del", id=key.id + "d")
        deadline = time.monotonic() + timeout
        try:
            self.qmp.take_event(
                lambda e: e["event"] == "DEVICE_DELETED" and e.get("data", {}).get("device") == key.id + "d", timeout
            )
        except socket.timeout:
            raise VMError(f"{key.id} was not released within {timeout} s") from None
        self.qmp.call("blockdev-del", **{"node-name": key.id})
        self.qmp.call("remove-fd", **{"fdset-id": self.fdsets.pop(key.id)})
        del self.keys[key.id]
        # USB lets go at once; the guest drops the disk when it gets to it,
        # and until then a daemon's pass still sees a key.
        if self.qga is not None and self.proc.poll() is None:
            others = len(self.keys) + (1 if self.usb_root else 0)
            gone = f"[ $(ls /sys/block | grep -c '^sd') -le {others} ]"
            while self.run(gone, check=False, timeout=30)[0] != 0:
                if time.monotonic() > deadline:
                    raise VMError(f"the guest still has {key.id}'s disk after {timeout} s")
                time.sleep(0.2)
        self.last_pull = time.monotonic()
