"""Checks of the test sandbox itself: what the end-to-end tests build on."""

import grp
import os
import pathlib
import pwd
import signal
import subprocess
import time

import pytest

from tarvex_sim import LAUNCHER, Sandbox, constants, wait_until

C = constants()
HELPER = ["sudo", C.kMountHelperPath]


# Each row: command, user, expected exit status, expected stdout.
DEVICE_LOOK = [
    (["id", "-un"], "pi", 0, "pi"),
    (["pwd"], "pi", 0, "/home/pi"),
    (["stat", "-c", "%U:%G %a", "/home/pi", "/home/pi/media"], "pi", 0, "pi:pi 755\nroot:root 755"),
    # Locked as the package leaves it.
    (["lsattr", "-d", "/home/pi/media"], "root", 0, "----i----------------- /home/pi/media"),
    (["stat", "-c", "%a", "/tmp"], "root", 0, "1777"),
    # No block device at all until a key is inserted: not the host's disks.
    (["find", "/dev", "-type", "b"], "root", 0, ""),
    (["test", "-e", "/home/pi/Quorl"], "pi", 1, ""),
    (["test", "-f", "/opt/quorl/Distrib/Data/beep-08b.wav"], "pi", 0, ""),
    (
        ["sh", "-c", "echo $PATH"],
        "pi",
        0,
        "/run/tarvex/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    ),
    # The host's own file system is read-only, even for root.
    (["touch", "/usr/tarvex-sandbox-probe"], "root", 1, ""),
    (["touch", "/var/tarvex-sandbox-probe"], "root", 1, ""),
]


def test_looks_like_the_device(sandbox):
    for cmd, user, status, out in DEVICE_LOOK:
        r = sandbox.exec(*cmd, user=user)
        assert (r.returncode, r.stdout.strip()) == (status, out), (cmd, r.stderr)
    assert not os.path.exists("/usr/tarvex-sandbox-probe")
    # pi is nobody on the host, and sudo knows the packaged rules only.
    uid, gid = sandbox.exec("sh", "-c", "id -u; id -g", user="pi").stdout.split()
    for lookup, number in ((pwd.getpwuid, uid), (grp.getgrgid, gid)):
        with pytest.raises(KeyError):
            lookup(int(number))
    assert sandbox.exec("ls", "/etc/sudoers.d").stdout.split() == ["tarvexd"]


def test_fake_quorl_logs_each_start(sandbox):
    sandbox.exec("cp", "/run/tarvex/Quorl.app", "/home/pi/Quorl", user="pi", check=True)
    sandbox.exec("sh", "-c", "/home/pi/Quorl silent >/dev/null 2>&1 & echo $! >/tmp/q.pid", user="pi", check=True)
    log = sandbox.path("/tmp/quorl-starts.log")
    # The file is made before its line is written: wait for the line.
    assert wait_until(lambda: log.exists() and log.read_text().endswith("\n"))
    pid = sandbox.path("/tmp/q.pid").read_text().strip()
    assert log.read_text() == f"{pid} /home/pi/Quorl silent\n"
    # Killed, it is reaped by the sandbox's init and does not linger.
    sandbox.exec("kill", pid, check=True)
    assert wait_until(lambda: sandbox.exec("kill", "-0", pid).returncode != 0)


# The daemon's root steps, in the order it runs them, as pi without a
# terminal or password: exit status and a piece of the expected output.
SUDO_STEPS = [
    (["sudo", "fdisk", "-l", "/dev/sda1"], 0, "Disk /dev/sda1: 64 MiB"),
    ([*HELPER, "mount", "sda1", "exfat", "owner"], 0, ""),
    (["mountpoint", "-q", "/home/pi/media"], 0, ""),
    ([*HELPER, "unmount"], 0, ""),
    # pi cannot move the locked mount point.
    (["rm", "-r", "/home/pi/media"], 1, ""),
    (["sudo", "umount", "/home/pi/media"], 1, ""),
    # Anything else is refused, and without hanging for a password.
    (["sudo", "fdisk", "-l", "/dev/vda"], 1, ""),
    (["sudo", "mount", "/dev/sda1", "/mnt"], 1, ""),
    (["sudo", "rm", "-rf", "/home/pi"], 1, ""),
    (["sudo", "rm", "-r", "/home/pi/media"], 1, ""),
]


def test_pi_runs_the_allowed_sudo_commands(sandbox):
    sandbox.key("create", "k", "64M:exfat")
    sandbox.key("insert", "k", "sda")
    for cmd, status, out in SUDO_STEPS:
        r = sandbox.exec(*cmd, user="pi", timeout=20)
        assert r.returncode == status, (cmd, r.stderr)
        assert out in r.stdout, cmd


# Each row: file system, whether pi's uid/gid options are accepted, owner of
# the files once mounted.
KEY_MOUNTS = [
    ("exfat", True, "pi"),
    ("ext4", False, "root"),
]


@pytest.mark.parametrize("fs,takes_pi_opts,owner", KEY_MOUNTS)
def test_key_mounts_like_a_usb_key(sandbox, fs, takes_pi_opts, owner):
    sandbox.key("create", "k", "--table", "dos", "32M:raw", f"64M:{fs}")
    sandbox.key("write", "k", "_QuorlUpdate/quorlupdate.sh", input="echo updated\n")
    sandbox.key("insert", "k", "sda")
    assert sandbox.exec("ls", "/dev").stdout.split().count("sda2") == 1

    r = sandbox.exec(*HELPER, "mount", "sda2", fs, "owner", user="pi")
    if takes_pi_opts:
        assert r.returncode == 0, r.stderr
    else:
        assert r.returncode != 0 and "Invalid argument" in r.stderr
        r = sandbox.exec(*HELPER, "mount", "sda2", fs, "plain", user="pi")
        assert r.returncode == 0, r.stderr

    r = sandbox.exec("stat", "-c", "%U", "/home/pi/media/_QuorlUpdate/quorlupdate.sh", user="pi")
    assert r.stdout.strip() == owner
    r = sandbox.exec("bash", "/home/pi/media/_QuorlUpdate/quorlupdate.sh", user="pi")
    assert r.stdout == "updated\n"
    # No second mount of a mounted key behind the daemon's back.
    assert sandbox.exec("key", "ls", "k").returncode != 0
    assert sandbox.exec("grep", "-c", "/home/pi/media", "/proc/self/mounts").stdout.strip() == "1"

    assert sandbox.exec(*HELPER, "unmount", user="pi").returncode == 0
    assert sandbox.key("get", "k", "_QuorlUpdate/quorlupdate.sh") == "echo updated\n"
    assert sandbox.exec("key", "get", "k:1", "x").returncode != 0  # raw: nothing to mount


def test_key_layouts(sandbox):
    # Each row: name, create arguments, expected /dev nodes once inserted.
    layouts = [
        ("two", ["--table", "dos", "100M:exfat", "8G:exfat"], ["sdb", "sdb1", "sdb2"]),
        ("gpt", ["--table", "gpt", "16M:ext4", "48M:exfat"], ["sdc", "sdc1", "sdc2"]),
        ("whole", ["--table", "none", "64M:exfat"], ["sdd"]),
    ]
    for i, (name, args, nodes) in enumerate(layouts):
        started = time.monotonic()
        sandbox.key("create", name, *args)
        assert time.monotonic() - started < 10, f"creating {name} is too slow"
        sandbox.key("insert", name, f"sd{'bcd'[i]}")
        sandbox.key("write", name, "marker", input=name)
        assert sandbox.key("get", name, "marker") == name

    devs = sandbox.exec("ls", "/dev").stdout.split()
    assert sorted(d for d in devs if d.startswith("sd")) == sorted(n for _, _, ns in layouts for n in ns)
    # The largest partition is the default one.
    assert sandbox.key("get", "two:2", "marker") == "two"
    r = sandbox.exec("sudo", "fdisk", "-l", "/dev/sdb2", user="pi")
    assert r.stdout.startswith("Disk /dev/sdb2: 8 GiB, 8589934592 bytes"), r.stdout

    sandbox.key("pull", "sdb")
    assert not [d for d in sandbox.exec("ls", "/dev").stdout.split() if d.startswith("sdb")]
    sandbox.key("destroy", "two")
    assert not sandbox.path("/run/tarvex/keys/two.img").exists()


def test_aplay_is_recorded(sandbox):
    # Each row: file, exit status.
    for wav, status in [
        ("/home/pi/disk_found.wav", 0),
        ("error1.wav", 0),
        ("/opt/quorl/Distrib/Data/beep-08b.wav", 0),
        ("/home/pi/missing.wav", 1),
    ]:
        r = sandbox.exec("aplay", wav, user="pi")
        assert r.returncode == status, (wav, r.stderr)
    assert sandbox.path("/tmp/aplay.log").read_text().splitlines() == [
        "/home/pi/disk_found.wav",
        "error1.wav",
        "/opt/quorl/Distrib/Data/beep-08b.wav",
        "/home/pi/missing.wav",
    ]


# ------------------------------------------ what a sandbox leaves behind ---


def attached_loop_ids():
    """(MAJ:MIN, inode) of the backing file of every loop device attached."""
    out = subprocess.run(
        ["losetup", "-l", "-n", "-O", "BACK-MAJ:MIN,BACK-INO"], capture_output=True, text=True, check=True
    ).stdout
    return {tuple(line.split()) for line in out.splitlines() if line.strip()}


def image_id(path):
    """A key image's identity as losetup reports a loop's backing file."""
    st = os.stat(path)
    return f"{os.major(st.st_dev)}:{os.minor(st.st_dev)}", str(st.st_ino)


def hold_mount_ns(pid):
    """An fd on the sandbox's mount namespace. While it is open, the
    namespace's inode number cannot go to a new namespace, so its members
    can be told apart; it also keeps the sandbox's mounts alive."""
    return os.open(f"/proc/{pid}/ns/mnt", os.O_RDONLY)


def ns_members(ns_fd, launcher=LAUNCHER):
    """Pids of the processes in the mount namespace held by NS_FD, found as
    the launcher's stop finds them."""
    r = subprocess.run(
        [str(launcher), "__members", str(os.fstat(ns_fd).st_ino)], capture_output=True, text=True, check=True
    )
    return r.stdout.split()


def assert_nothing_left(state_dir, images, ns_fd):
    """Checks that a stopped sandbox left nothing; closes NS_FD."""
    try:
        assert wait_until(lambda: not os.path.exists(state_dir)), f"{state_dir} remains"
        assert not ns_members(ns_fd), "processes of the sandbox remain"
    finally:
        os.close(ns_fd)
    # Only now can the mounts go, and a loop still in use with them.
    assert wait_until(lambda: not images & attached_loop_ids()), "loop devices remain"


def test_stop_leaves_nothing():
    sb = Sandbox().start()
    state_dir = sb.dir
    ns_fd = hold_mount_ns(sb.pid)
    try:
        sb.key("create", "k", "64M:exfat")
        sb.key("create", "e", "--table", "none", "16M:ext4")
        images = {image_id(sb.path(f"/run/tarvex/keys/{k}.img")) for k in ("k", "e")}
        sb.key("insert", "k", "sda")
        # Busy at stop: a FUSE mount, a running process, a destroyed key
        # whose loop is still in use.
        assert sb.exec(*HELPER, "mount", "sda1", "exfat", "owner", user="pi").returncode == 0
        sb.popen("sleep", "300", user="pi")
        sb.key("destroy", "k")
        assert images <= attached_loop_ids()
    finally:
        sb.stop()
    assert_nothing_left(state_dir, images, ns_fd)
    subprocess.run([str(LAUNCHER), "stop", state_dir], check=True)  # idempotent


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
def test_interrupted_run_leaves_nothing(sig):
    script = (
        "key create k 64M:exfat && key insert k sda && " "mount /dev/sda1 /home/pi/media && echo ready && sleep 300"
    )
    # Started as a terminal starts a foreground job, with SIGINT and SIGQUIT
    # at their defaults: a suite run from a script's background job or nohup
    # has them ignored, hands that on, and a shell cannot trap a signal that
    # was ignored when it started.
    run = subprocess.Popen(
        ["env", "--default-signal=INT,QUIT", str(LAUNCHER), "run", "--", "sh", "-c", script],
        stdout=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
        text=True,
        start_new_session=True,
    )
    try:
        assert run.stdout.readline() == "ready\n"
        state_dir = next(
            d
            for d in pathlib.Path("/tmp").glob("tarvex-sb.*")
            if (d / "owner").exists() and (d / "owner").read_text().strip() == str(run.pid)
        )
        pid = int((state_dir / "pid").read_text())
        ns_fd = hold_mount_ns(pid)
        images = {image_id(f"/proc/{pid}/root/run/tarvex/keys/k.img")}
        # As Ctrl-C does: the whole process group.
        os.killpg(run.pid, sig)
        status = run.wait(timeout=30)
        assert status == {signal.SIGINT: 130, signal.SIGTERM: 143, signal.SIGKILL: -9}[sig]
        assert_nothing_left(str(state_dir), images, ns_fd)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
        run.wait()
