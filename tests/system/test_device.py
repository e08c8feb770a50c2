"""The package on one running device, in order: installed with apt, its life
cycle, then keys plugged in and pulled as real USB storage, a key pulled
mid-update, the watchdog and systemd's restart, and trusted keys."""

import re
import shutil
import subprocess
import sys
import time

import pytest

from tarvex_sim import wait_until

from conftest import (
    C,
    FALLBACK,
    FIRST_PASS,
    MEDIA,
    PASS,
    REPO,
    SLACK,
    UNMOUNTING,
    UPDATE_SCRIPT,
    folder_found,
    played,
    plug_and_mount,
    plug_and_update,
    pull_and_unmount,
    script_path,
    update_key,
    wait_until_armed,
)

UPDATE = C.kUpdateFolder


@pytest.fixture(scope="module")
def device(image, tmp_path_factory):
    with image.vm(tmp_path_factory.mktemp("device")) as vm:
        yield vm


@pytest.fixture
def installed(device, deb):
    """The device with the package installed, whichever tests ran before."""
    if "install ok installed" not in device.out("dpkg-query -W -f '${Status}' tarvexd || true"):
        device.install(deb)
    return device


def packaged_rules():
    """The commands of the packaged sudoers file, aliases expanded."""
    text = re.sub(r"\\\n\s*", "", (REPO / "packaging" / "tarvexd").read_text())
    aliases = dict(re.findall(r"^Cmnd_Alias (\w+) = (.*)$", text, re.M))
    out = set()

    def expand(name):
        for cmd in aliases[name].split(", "):
            expand(cmd) if cmd in aliases else out.add(cmd)

    expand(re.search(r"^pi ALL = \(root\) NOPASSWD: (\w+)$", text, re.M).group(1))
    return out


def sudo_rules(vm):
    """What sudo -l says pi may run as root, or None when pi may run nothing."""
    code, out, _ = vm.run("sudo -l -U pi", check=False)
    if "is not allowed to run sudo" in out:
        return None
    rules = re.findall(r"^\s+\(root\) NOPASSWD: (.*)$", out, re.M)
    return {cmd for line in rules for cmd in line.split(", ")}


def ours(vm):
    """Every path on the root file system that names the package, apart
    from the package file itself."""
    return set(
        vm.out(
            "find / -xdev -name '*tarvex*' -not -path '/root/*' "
            "-not -path '/var/cache/*' -not -path '/var/log/*' | sort"
        ).split()
    )


def service(vm):
    return vm.out("systemctl show -p ActiveState,SubState,MainPID,User,WorkingDirectory tarvexd")


def test_install_and_life_cycle(device, deb):
    vm = device
    before = ours(vm)
    vm.install(deb)
    assert "ActiveState=active" in service(vm)
    pid = re.search(r"MainPID=(\d+)", service(vm)).group(1)
    assert vm.out(f"stat -c %U /proc/{pid}; readlink /proc/{pid}/cwd").split() == ["pi", "/home/pi"]
    stamp = C.kVersionStampFormat.split("\n")[0] % C.kVersion
    assert wait_until(
        lambda: stamp in vm.out(f"cat {C.kVersionStampPath} || true").splitlines(), FIRST_PASS + SLACK, step=1
    )
    assert sudo_rules(vm) == packaged_rules()

    vm.out("DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tarvexd")
    assert sudo_rules(vm) is None
    assert "ActiveState=inactive" in service(vm)

    vm.install(deb)
    assert "ActiveState=active" in service(vm)
    assert sudo_rules(vm) == packaged_rules()

    vm.out("DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tarvexd")
    assert sudo_rules(vm) is None
    assert ours(vm) - before == set()

    vm.install(deb)  # for the tests below
    assert "ActiveState=active" in service(vm)


UPDATE_FILES = {script_path(UPDATE): UPDATE_SCRIPT}

# name, partitions (file system, MiB, files), partition table, mounted node
KEYS = [
    ("fat32", [("vfat", 64, UPDATE_FILES)], True, "sda1"),
    ("exfat", [("exfat", 64, UPDATE_FILES)], True, "sda1"),
    ("ext4", [("ext4", 64, UPDATE_FILES)], True, "sda1"),
    ("ext3", [("ext3", 64, UPDATE_FILES)], True, "sda1"),
    ("ext2", [("ext2", 64, UPDATE_FILES)], True, "sda1"),
    ("two partitions, the larger second", [("vfat", 64, {}), ("vfat", 96, UPDATE_FILES)], True, "sda2"),
    ("no partition table", [("vfat", 64, UPDATE_FILES)], False, "sda"),
    # Types no key is made with (this kernel builds minix): said once, and
    # mounted by nobody, not even by pi through the root program.
    ("minix", [("minix", 64, {})], True, None),
    ("ntfs", [("ntfs", 64, {})], True, None),
]


@pytest.mark.parametrize("name,partitions,table,node", KEYS, ids=[k[0] for k in KEYS])
def test_key(installed, make_key, name, partitions, table, node):
    vm = installed
    since = len(vm.journal())
    key = make_key(partitions, table)
    if node is None:
        wait_until_armed(vm)
        vm.plug(key)
        # As long as plug_and_mount allows: on a busy machine the first
        # attempt came 15 s after the plug.
        i = vm.wait_line(re.escape(C.kLineUnknownFileSystem % ("sda1", partitions[0][0])), since, timeout=60)
        # pi, with every type and option set the root program takes.
        for fs in (*C.kKeyFileSystems, C.kKeyFileSystemList):
            for options in (C.kMountOwnerOptions, C.kMountPlainOptions):
                vm.run(f"su pi -c 'sudo -n {C.kMountHelperPath} mount sda1 {fs} {options}'", check=False)
        assert vm.mount_options(MEDIA) is None
        time.sleep(2 * PASS)
        lines = vm.journal()[i:]
        assert not any(re.fullmatch(FALLBACK, line) for line in lines), lines
        assert C.kLineUnknownFileSystem.split(":")[0] not in "".join(lines[1:]), lines
        vm.pull(key)
        return
    i = plug_and_update(vm, key, since)
    lines = vm.journal()[since:]
    assert vm.out(f"findmnt -n -o SOURCE --mountpoint {MEDIA}").strip() == f"/dev/{node}"
    # Read-only after an error, whatever the key's superblock asks for.
    assert {"nosuid", "nodev", C.kMountErrorsOption} <= vm.mount_options(MEDIA)
    if partitions[-1][0].startswith("ext"):
        assert any(re.fullmatch(FALLBACK, line) for line in lines)
    else:
        assert {"uid=1000", "gid=1000"} <= vm.mount_options(MEDIA)
    vm.wait_line(played(C.kFoundSoundCommand), since, timeout=10)
    vm.wait_line(played(C.kBeepCommand), since, timeout=10)
    pull_and_unmount(vm, key, i)


def test_damaged_key_set_to_panic_leaves_the_device_up(installed, make_key):
    """An ext4 key whose superblock asks for a panic on error, with its root
    directory's block destroyed: the first listing of the mount point hits
    the damage."""
    vm = installed
    since = len(vm.journal())
    key = make_key([("ext4", 64, {})])
    loop = subprocess.run(
        [
            "losetup",
            "--find",
            "--show",
            "--offset",
            str(key.offsets[0]),
            "--sizelimit",
            str(64 * 1024 * 1024),
            str(key.path),
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    try:
        subprocess.run(["tune2fs", "-e", "panic", loop], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(
            ["debugfs", "-w", "-R", "zap_block -f / -p 255 0", loop],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
    finally:
        subprocess.run(["losetup", "-d", loop], check=True)
    wait_until_armed(vm)
    kernel = len(vm.journal(unit=None))
    vm.plug(key)
    vm.wait_line(r".*EXT4-fs \(sda1\): Remounting filesystem read-only", kernel, timeout=60, unit=None)
    # Long enough for a panic to have taken the kernel down (25 s when it did).
    time.sleep(25)
    assert vm.out("echo up").strip() == "up"
    assert "panic" not in vm.out("dmesg | grep -i 'forced after error' || true")
    vm.pull(key)
    vm.wait_line(UNMOUNTING, since, timeout=2 * PASS + SLACK)
    assert wait_until(lambda: vm.mount_options(MEDIA) is None, 2 * PASS + SLACK, step=0.5)

    # A pass that probed before the pull finds the mount unlistable, unmounts
    # and mounts again, and its three attempts on the key now gone outlast
    # the two passes the next test waits: wait until a quiet pass has seen no
    # key, or the next key would count as this one still in.
    def said():
        return [line for line in vm.journal() if "Playing WAVE" not in line]  # the beeper's

    lines, deadline = said(), time.monotonic() + 60
    while time.sleep(2 * PASS + 1) or said() != lines:
        assert time.monotonic() < deadline, said()[len(lines) :]
        lines = said()


def test_update_from_the_key_upgrades_the_package_and_keeps_the_rules(installed, make_key, deb):
    """A key's own script upgrades the package, as makers' images let pi run
    dpkg: the rules stay in force, the pull unmounts that key, the next
    key mounts."""
    vm = installed
    vm.put("/etc/sudoers.d/maker", b"pi ALL = (root) NOPASSWD: /usr/bin/dpkg\n", mode=0o440)
    try:
        since = len(vm.journal())
        script = (
            b'echo "update: upgrading"\n'
            b'sudo -n dpkg -i "$(dirname "$0")/../tarvexd.deb" && echo "update: upgraded"\n'
        )
        key = update_key(make_key, {script_path(UPDATE): script, "tarvexd.deb": deb.read_bytes()})
        i = plug_and_update(vm, key, since, expect="update: upgraded")
        assert sudo_rules(vm) >= packaged_rules()
        # The new daemon has found the key mounted: nothing mounted twice.
        time.sleep(FIRST_PASS + PASS)
        assert vm.out(f"grep -c ' {MEDIA} ' /proc/self/mountinfo").strip() == "1"
        i = pull_and_unmount(vm, key, i)
        key = update_key(make_key)
        pull_and_unmount(vm, key, plug_and_update(vm, key, i))
    finally:
        vm.out("rm -f /etc/sudoers.d/maker")


def test_pulled_mid_update(installed, make_key):
    vm = installed
    since = len(vm.journal())
    # Reads the key itself, past the page cache, until the key is gone.
    reader = (
        b'echo "update: reading"\n'
        b'n=0; while [ $n -lt 300 ] && dd if="$0" iflag=direct of=/dev/null bs=4k 2>/dev/null; '
        b"do n=$((n+1)); sleep 0.2; done\n"
        b'echo "update: stopped reading after $n rounds"\n'
    )
    key = update_key(make_key, {script_path(UPDATE): reader})
    i = plug_and_update(vm, key, since, expect="update: reading")
    time.sleep(2)
    vm.pull(key)
    i = vm.wait_line(r"update: stopped reading after \d+ rounds", i, timeout=30)
    vm.wait_line(UNMOUNTING, i, timeout=3 * PASS + SLACK)
    assert wait_until(lambda: vm.mount_options(MEDIA) is None, SLACK, step=0.5)
    assert int(vm.journal()[i].split()[-2]) < 300, "the script read on after the key was pulled"

    key = update_key(make_key)
    pull_and_unmount(vm, key, plug_and_update(vm, key, i))


def pids(vm, name):
    return vm.out(f"pgrep -x {name} || true").split()


def test_watchdog_and_service(installed):
    vm = installed
    # The tests above ran for longer than the grace passes.
    deadline = time.monotonic() + (C.kWatchdogGracePasses + 2) * PASS + SLACK
    while not pids(vm, C.kApplicationName) and time.monotonic() < deadline:
        time.sleep(1)
    old = pids(vm, C.kApplicationName)
    assert len(old) == 1
    vm.out(f"kill {old[0]}")
    deadline = time.monotonic() + PASS + SLACK
    while not (new := pids(vm, C.kApplicationName)) and time.monotonic() < deadline:
        time.sleep(0.5)
    assert len(new) == 1 and new != old

    pid = re.search(r"MainPID=(\d+)", service(vm)).group(1)
    vm.out(f"kill -KILL {pid}")
    killed = time.monotonic()
    while time.monotonic() - killed < 5 + SLACK:
        new_pid = re.search(r"MainPID=(\d+)", service(vm)).group(1)
        if new_pid not in ("0", pid):
            break
        time.sleep(0.5)
    assert new_pid not in ("0", pid), "systemd did not start the daemon again"
    assert "ActiveState=active" in service(vm)


TOOL = [sys.executable, "-B", REPO / "tools" / "tarvex-key"]


@pytest.fixture(scope="module")
def trusted(deb, tmp_path_factory):
    """A maker's key pair and log key pair, and the package built with both."""
    d = tmp_path_factory.mktemp("trusted")
    subprocess.run(
        ["minisign", "-G", "-W", "-p", d / "maker.pub", "-s", d / "maker.key"], check=True, stdout=subprocess.DEVNULL
    )
    subprocess.run(
        TOOL + ["keygen", "--public", d / "log.pub", "--secret", d / "log.key"], check=True, stdout=subprocess.DEVNULL
    )
    version = subprocess.run(
        ["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True, check=True
    ).stdout.strip()
    build = REPO / "build-system-trusted"
    subprocess.run(
        [
            REPO / "packaging" / "build.sh",
            "amd64",
            build,
            "--trusted-key",
            d / "maker.pub",
            "--log-key",
            d / "log.pub",
            "--deb-version",
            f"{version}+trusted",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return d / "maker.key", next(build.glob("tarvexd_*+trusted_amd64.deb"))


def test_trusted_keys(device, make_key, trusted, tmp_path):
    vm = device
    secret, trusted_deb = trusted
    vm.out("dpkg --purge tarvexd")
    vm.install(trusted_deb)
    since = len(vm.journal())

    unsigned = update_key(make_key)
    i = plug_and_mount(vm, unsigned, since)
    refused = re.escape(C.kLineScriptRefused % (f"{MEDIA}/{script_path(UPDATE)}", "\0")).replace("\0", ".+")
    i = vm.wait_line(refused, i, timeout=PASS + SLACK)
    vm.wait_line(played(C.kErrorSoundCommand), since, timeout=10)
    i = pull_and_unmount(vm, unsigned, i)
    assert not any(line.startswith("update: ") for line in vm.journal()[since:])

    script = tmp_path / "quorlupdate.sh"
    script.write_bytes(UPDATE_SCRIPT)
    subprocess.run(
        ["minisign", "-S", "-s", secret, "-m", script, "-t", f"folder:{UPDATE} release:1"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    signed = update_key(
        make_key,
        {
            script_path(UPDATE): UPDATE_SCRIPT,
            script_path(UPDATE) + C.kSignatureSuffix: (tmp_path / ("quorlupdate.sh" + C.kSignatureSuffix)).read_bytes(),
        },
    )
    i = plug_and_mount(vm, signed, i)
    vm.wait_line(folder_found(UPDATE), i, timeout=PASS + SLACK)
    vm.wait_line(r"update: running as pi in /home/pi", i, timeout=30)


def test_made_key_runs_a_spoilt_copy_does_not_and_the_log_comes_back_sealed(device, make_key, trusted, tmp_path):
    """The maker's loop on a device that trusts keys and seals its log: a key
    made and signed by the tool runs; a copy with one file changed stops
    before it installs anything; the log brought back opens with the
    maker's log key only."""
    vm = device
    secret, trusted_deb = trusted
    if "+trusted" not in vm.out("dpkg-query -W -f '${Version}' tarvexd || true"):
        vm.install(trusted_deb)
    since = len(vm.journal())
    for left in list(vm.keys.values()):  # the signed key the test before left in
        since = pull_and_unmount(vm, left, since)
    (tmp_path / "payload.bin").write_bytes(b"payload\n" * 100)
    (tmp_path / "update.sh").write_text(
        'cp "$(dirname "$0")/payload.bin" /home/pi/installed.bin && '
        'echo made log > /home/pi/log.txt && echo "update: installed"\n'
    )
    (tmp_path / "post.sh").write_text('echo "update: post-update ran"\n')
    made = tmp_path / "made"
    subprocess.run(
        TOOL
        + [
            "make",
            made,
            "--update",
            tmp_path / "update.sh",
            "--file",
            tmp_path / "payload.bin",
            "--sign",
            secret,
            "--release",
            "7",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    key = make_key([("vfat", 64, made)])
    i = pull_and_unmount(vm, key, plug_and_update(vm, key, since, expect="update: installed"))
    assert vm.out("cat /home/pi/installed.bin") == "payload\n" * 100

    spoilt = tmp_path / "spoilt"
    shutil.copytree(made, spoilt)
    with open(spoilt / UPDATE / "payload.bin", "r+b") as f:
        f.write(b"X")
    vm.out("rm /home/pi/installed.bin && mv /home/pi/log.txt /tmp/log.kept")
    key = make_key([("vfat", 64, spoilt)])
    i = vm.wait_line(r".*payload\.bin does not match its sum.*", plug_and_mount(vm, key, i), timeout=30)
    i = pull_and_unmount(vm, key, i)
    assert vm.run("test -e /home/pi/installed.bin", check=False)[0] != 0

    vm.out("mv /tmp/log.kept /home/pi/log.txt")
    post = tmp_path / "post"
    subprocess.run(
        TOOL
        + [
            "make",
            post,
            "--update",
            tmp_path / "post.sh",
            "--post-update",
            tmp_path / "post.sh",
            "--sign",
            secret,
            "--release",
            "8",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    key = make_key([("vfat", 64, post)])
    i = plug_and_update(vm, key, i, expect="update: post-update ran", folder=C.kPostUpdateFolder)
    pull_and_unmount(vm, key, i)
    sealed = tmp_path / "log.txt"
    sealed.write_bytes(key.read(C.kKeyLogFileName))
    assert b"made log" not in sealed.read_bytes()
    opened = subprocess.run(
        TOOL + ["open", sealed, "--secret", secret.parent / "log.key"], capture_output=True, check=True
    )
    assert opened.stdout == b"made log\n"
    subprocess.run(
        TOOL + ["keygen", "--public", tmp_path / "other.pub", "--secret", tmp_path / "other.key"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    assert (
        subprocess.run(TOOL + ["open", sealed, "--secret", tmp_path / "other.key"], capture_output=True).returncode == 1
    )
