"""The sudoers drop-in (packaging/tarvexd), as the sandbox installs it.

pi runs the daemon's root steps with no password and no terminal, is refused
anything else, and those steps, which run every 3 s while a key is in, put
nothing in the system log. The log is the sandbox's own /dev/log, taken by a
listener for the length of a test.
"""

import socket
import subprocess
import time
import uuid

import pytest

from tarvex_sim import Sandbox, constants

DROP_IN = "/etc/sudoers.d/tarvexd"
CAPTURE = "/tmp/syslog.capture"

# Binds /dev/log as syslog(3) expects it (a datagram socket) and appends each
# message to a file, one line per datagram.
LISTENER = r"""
import os, socket, sys
path, out = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(path)
os.chmod(path, 0o666)
with open(out, "ab", buffering=0) as f:
    print("ready", flush=True)
    while True:
        f.write(s.recv(65536).replace(b"\n", b" ") + b"\n")
"""


C = constants()


def sudo_n(line):
    """The daemon's line with sudo -n: a password prompt fails at once."""
    assert line.startswith("sudo "), line
    return "sudo -n " + line[len("sudo ") :]


def fdisk(node):
    return sudo_n(C.kPartitionSizeCommand + node)


def mount(node, options, fs="exfat"):
    """The daemon's mount line for /dev/NODE as FS with OPTIONS, as it builds it."""
    return sudo_n(C.kMountCommand % (node, fs, options))


def as_pi(sb, line):
    """Runs LINE through sh as the daemon does (system()), as pi, no tty."""
    return sb.exec("sh", "-c", line, user="pi", timeout=30)


def is_mounted(sb):
    return sb.exec("mountpoint", "-q", "/home/pi/media").returncode == 0


# The daemon's command lines, in the order it issues them for one key, with
# -n so that a password prompt would fail at once instead of hanging. Each
# row: command line, then a check of its effect.
# Built from the daemon's own constants, so the rules are checked against the
# lines it really issues.
ALLOWED = [
    (fdisk("sda1"), lambda sb, r: r.stdout.startswith("Disk /dev/sda1: 64 MiB")),
    (fdisk("sda"), lambda sb, r: r.stdout.startswith("Disk /dev/sda:")),
    (
        mount("sda1", C.kMountOwnerOptions),
        lambda sb, r: is_mounted(sb) and sb.exec("stat", "-c", "%U:%G", "/home/pi/media").stdout.strip() == "pi:pi",
    ),
    (sudo_n(C.kUnmountCommand), lambda sb, r: not is_mounted(sb)),
    # The fallback for file systems that refuse uid/gid.
    (mount("sda1", C.kMountPlainOptions), lambda sb, r: is_mounted(sb)),
    (sudo_n(C.kUnmountCommand), lambda sb, r: not is_mounted(sb)),
    # A key without a partition table is mounted whole; udev named no type.
    (
        mount("sdb", C.kMountPlainOptions, C.kKeyFileSystemList),
        lambda sb, r: is_mounted(sb) and "errors=remount-ro" in mount_options(sb),
    ),
    (sudo_n(C.kUnmountCommand), lambda sb, r: not is_mounted(sb)),
]


def mount_options(sb):
    return sb.exec("findmnt", "-n", "-o", "OPTIONS", C.kMountPoint).stdout


def test_daemon_steps_run_without_password(sandbox):
    sandbox.key("create", "k", "64M:exfat")
    sandbox.key("insert", "k", "sda")
    sandbox.key("create", "whole", "--table", "none", "32M:ext4")
    sandbox.key("insert", "whole", "sdb")
    for line, effect in ALLOWED:
        r = as_pi(sandbox, line)
        assert r.returncode == 0, (line, r.stderr)
        assert effect(sandbox, r), (line, r.stdout, r.stderr)


# Each row: command line, and a check that it had no effect (None when sudo's
# refusal is all there is to see).
REFUSED = [
    ("sudo -n rm -r /etc", lambda sb: sb.exec("test", "-f", "/etc/passwd").returncode == 0),
    ("sudo -n rm -r /home/pi", lambda sb: sb.exec("test", "-d", "/home/pi").returncode == 0),
    ("sudo -n mount /dev/sda1 /mnt", lambda sb: sb.exec("mountpoint", "-q", "/mnt").returncode != 0),
    (
        "sudo -n mount -t exfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev -o suid /dev/sda1 " "/home/pi/media",
        lambda sb: not is_mounted(sb),
    ),
    # Without nosuid,nodev a key's setuid programs would give pi root.
    ("sudo -n mount /dev/sda1 /home/pi/media", lambda sb: not is_mounted(sb)),
    ("sudo -n mount -o remount,rw /", None),
    # Any other kernel driver for the key's bytes, named or left to mount.
    ("sudo -n mount -t btrfs -o nosuid,nodev /dev/sda1 /home/pi/media", lambda sb: not is_mounted(sb)),
    ("sudo -n mount -o nosuid,nodev /dev/sda1 /home/pi/media", lambda sb: not is_mounted(sb)),
    # pi mounts a disk it may mount (a data disk, say), then asks root to
    # remove the mount point: its files would go.
    (
        f"{mount('sda1', C.kMountPlainOptions)} && touch {C.kMountPoint}/precious && " f"sudo -n rm -r {C.kMountPoint}",
        lambda sb: sb.exec("sh", "-c", f"test -f {C.kMountPoint}/precious && " f"umount {C.kMountPoint}").returncode
        == 0,
    ),
    ("sudo -n fdisk -l /dev/mmcblk0", None),
    ("sudo -n fdisk /dev/sda", None),
    ("sudo -n sh -c id", None),
    ("sudo -n sh", None),
]


@pytest.mark.parametrize("line,unchanged", REFUSED, ids=[r[0] for r in REFUSED])
def test_everything_else_is_refused(device, line, unchanged):
    r = as_pi(device, line)
    # sudo's own refusal, not a failure of the command it would have run.
    assert r.returncode == 1 and "a password is required" in r.stderr, (r.stdout, r.stderr)
    if unchanged is not None:
        assert unchanged(device)


class SyslogCapture:
    """The sandbox's /dev/log. Messages are counted between markers that the
    test itself sends, so no message can still be in flight when counted."""

    def __init__(self, sb):
        self.sb = sb
        self.proc = sb.popen("python3", "-c", LISTENER, "/dev/log", CAPTURE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "ready\n", "syslog listener did not start"
        self.seen = 0

    def lines_since_last_call(self):
        marker = f"tarvex-test-marker {uuid.uuid4()}"
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(marker.encode(), str(self.sb.path("/dev/log")))
        end = time.monotonic() + 10
        while True:
            lines = self.sb.path(CAPTURE).read_text().splitlines()
            if marker in lines:
                break
            assert time.monotonic() < end, "syslog listener stopped answering"
            time.sleep(0.02)
        at = lines.index(marker)
        new, self.seen = lines[self.seen : at], at + 1
        return new

    def close(self):
        self.proc.kill()
        self.proc.wait()


def drop_default(sb, flag):
    """Removes FLAG from the drop-in's Defaults line, in the sandbox only."""
    text = sb.exec("cat", DROP_IN, check=True).stdout
    out, found = [], False
    for line in text.splitlines():
        if line.startswith("Defaults!TARVEX_CMDS "):
            head, flags = line.split(" ", 1)
            kept = [f.strip() for f in flags.split(",") if f.strip() != flag]
            found = len(kept) < len(flags.split(","))
            line = f"{head} {', '.join(kept)}" if kept else ""
        out.append(line)
    assert found, f"no {flag} on a Defaults!TARVEX_CMDS line of {DROP_IN}"
    sb.exec("sh", "-c", f"cat >{DROP_IN}", input="\n".join(out) + "\n", check=True)
    assert sb.exec("visudo", "-cf", DROP_IN).returncode == 0


# A key in (its size read, then it is mounted) and the unmount when it is
# pulled: every root step the daemon takes for a key.
KEY_PASSES = [fdisk("sda1"), mount("sda1", C.kMountOwnerOptions), sudo_n(C.kUnmountCommand)]

# Each row: Defaults flag taken out of the drop-in (None: the file as
# packaged), and what the log must then show.
SYSLOG_CASES = [
    pytest.param(None, None, id="as-packaged"),
    # The control rows prove that the listener hears sudo, so a silent log
    # under the packaged file means something.
    pytest.param("!log_allowed", "COMMAND=", id="without-log_allowed"),
    pytest.param("!pam_session", "session opened for user root", id="without-pam_session"),
]


@pytest.mark.parametrize("flag,expected", SYSLOG_CASES)
def test_key_passes_write_no_syslog(sandbox, flag, expected):
    sandbox.key("create", "k", "64M:exfat")
    sandbox.key("insert", "k", "sda")
    if flag is not None:
        drop_default(sandbox, flag)
    log = SyslogCapture(sandbox)
    try:
        assert log.lines_since_last_call() == []
        for line in KEY_PASSES:
            r = as_pi(sandbox, line)
            assert r.returncode == 0, (line, r.stderr)
        lines = log.lines_since_last_call()
    finally:
        log.close()
    if expected is None:
        assert lines == []
    else:
        assert any(expected in line for line in lines), lines


# What pi (or a key's script, which runs as pi) may try with the root
# program that sudo allows it, and why each is refused. Each row: what is
# done first (as root: the state pi could bring about, or that a system has),
# the program's arguments, its exit status, and the reason it gives. Nothing
# may be mounted on the mount point after a refusal.
HELPER = C.kMountHelperPath
ROUTES = [
    # A file system of pi's (FUSE, with user_allow_other) over /home/pi,
    # whose media leads to /etc/cron.daily.
    (
        "mount -t tmpfs pi-fs /home/pi && ln -s /etc/cron.daily /home/pi/media",
        "mount sda1 exfat owner",
        1,
        C.kHelperCovered % "/home/pi",
    ),
    # A /home/pi made again (user re-added, /home restored): nobody locked it.
    ("chattr -i /home/pi/media", "mount sda1 exfat owner", 1, C.kHelperNotImmutable % C.kMountPoint),
    (
        "chattr -i /home/pi/media && chown pi:pi /home/pi/media",
        "mount sda1 exfat owner",
        1,
        C.kHelperNotRoots % C.kMountPoint,
    ),
    (
        "chattr -i /home/pi/media && rmdir /home/pi/media && ln -s /etc/sudoers.d /home/pi/media",
        "mount sda1 exfat owner",
        1,
        C.kHelperIsLink % C.kMountPoint,
    ),
    # Not a USB disk: the kernel puts it on no USB device.
    (
        "rm /sys/dev/block/.usb-sda/usb1/subsystem /sys/dev/block/.usb-sda/usb1/1-1/subsystem "
        "/sys/dev/block/.usb-sda/usb1/1-1/1-1:1.0/subsystem",
        "mount sda1 exfat owner",
        1,
        C.kHelperNotUsb % "sda",
    ),
    # A node of the right name for another device.
    ("mv /dev/sda1 /dev/sda9", "mount sda9 exfat owner", 1, C.kHelperOtherRecord),
    ("rm /dev/sda1 && ln -s /dev/sda /dev/sda1", "mount sda1 exfat owner", 1, C.kHelperNotBlockDevice),
    # A disk the system uses: another partition mounted, or one in fstab by
    # name or by UUID (a data disk it mounts later).
    (
        "mkdir -p /tmp/data && mount.exfat-fuse /dev/sda2 /tmp/data",
        "mount sda1 exfat owner",
        1,
        C.kHelperInUse % ("sda2", "/tmp/data"),
    ),
    ("echo '/dev/sda2 /data exfat defaults 0 0' >>/etc/fstab", "mount sda1 exfat owner", 1, C.kHelperInFstab % "sda2"),
    (
        "mkdir -p /dev/disk/by-uuid && ln -s ../../sda1 /dev/disk/by-uuid/0123-4567 && "
        "echo 'UUID=0123-4567 /data exfat defaults 0 0' >>/etc/fstab",
        "mount sda1 exfat owner",
        1,
        C.kHelperInFstab % "sda1",
    ),
    # Already mounted there: nothing goes on top.
    (f"{HELPER} mount sda1 exfat owner", "mount sda2 exfat owner", 1, C.kHelperAlreadyMounted),
    # Unmount: only a mount on the locked directory.
    ("", "unmount", 1, C.kHelperNothingMounted),
    (
        "chattr -i /home/pi/media && mount -t tmpfs other /home/pi/media",
        "unmount",
        1,
        C.kHelperNotImmutable % C.kMountPoint,
    ),
    # Nothing but the fixed words.
    ("", "mount sda1 ntfs owner", 2, C.kHelperUsage),
    ("", "mount sda1 'exfat -o suid' plain", 2, C.kHelperUsage),
    ("", "mount sda1 exfat,minix plain", 2, C.kHelperUsage),
    ("", "mount /dev/sda1 exfat owner", 2, C.kHelperUsage),
    ("", "mount sda1 exfat owner,suid", 2, C.kHelperUsage),
    ("", "mount sda1 exfat owner /etc", 2, C.kHelperUsage),
    ("", "mount mmcblk0p1 vfat plain", 2, C.kHelperUsage),
    ("", "unmount /", 2, C.kHelperUsage),
]


def mounts_on_media(sb):
    return sb.exec("grep", "-c", f" {C.kMountPoint} ", "/proc/self/mountinfo").stdout


@pytest.mark.parametrize("setup,args,status,reason", ROUTES, ids=[r[1] + ":" + r[3] for r in ROUTES])
def test_the_root_program_refuses_every_other_route(setup, args, status, reason):
    with Sandbox() as sb:
        sb.key("create", "k", "--table", "dos", "32M:exfat", "32M:exfat")
        sb.key("insert", "k", "sda")
        if setup:
            sb.exec("sh", "-c", setup, check=True)
        before = mounts_on_media(sb)
        r = as_pi(sb, f"sudo -n {HELPER} {args}")
        line = (
            reason
            if status == 2
            else C.kHelperNotUnmounting % reason
            if args == "unmount"
            else C.kHelperNotMounting % (args.split()[1], reason)
        )
        assert (r.returncode, r.stderr.strip().splitlines()[-1:]) == (status, [line]), r.stderr
        # A refusal changes nothing there.
        assert mounts_on_media(sb) == before
