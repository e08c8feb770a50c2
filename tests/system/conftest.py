"""Fixtures of the system tests: the package on a real Debian 12 system under
QEMU (tools/system_vm.py). The package of ARCH is TARVEX_DEB_<ARCH>, default
the newest build-ARCH/tarvexd_*_ARCH.deb (packaging/build.sh ARCH build-ARCH);
the daemon's texts come from the build named by TARVEX_BUILD (default build/).
scripts/system-test.sh sets all of it up."""

import os
import pathlib
import re
import time

import pytest

from key_image import Key
from system_vm import REPO, Image
from tarvex_sim import constants, pass_times, sound_file, wait_until

C = constants()
FIRST_PASS, PASS = pass_times(C)
MEDIA = C.kMountPoint
MOUNTED = re.escape(C.kLineMounted)
UNMOUNTING = re.escape(C.kLineUnmounting)
FALLBACK = re.escape(C.kLineMountFallback)
# Under TCG a pass takes longer than its delay: the commands in it run
# emulated. Waits for "within N passes" get this much on top.
SLACK = 8


def folder_found(folder):
    return re.escape(C.kLineFolderFound % f"{MEDIA}/{folder}")


def runs_script(folder):
    return re.escape(C.kScriptCommand % f"{MEDIA}/{script_path(folder)}")


def played(command):
    """aplay's own line for a sound of the daemon."""
    return re.escape(f"Playing WAVE '{sound_file(command)}'") + " : .*"


def script_path(folder):
    return f"{folder}/{C.kUpdateScriptName}"


UPDATE_SCRIPT = b'echo "update: running as $(id -un) in $(pwd)"\n'


@pytest.fixture(scope="session", autouse=True)
def _root():
    if os.geteuid() != 0:
        pytest.skip("QEMU's images and the cache need root")


def package(arch):
    if os.environ.get(f"TARVEX_DEB_{arch.upper()}"):
        return pathlib.Path(os.environ[f"TARVEX_DEB_{arch.upper()}"])
    debs = sorted((REPO / f"build-{arch}").glob(f"tarvexd_*_{arch}.deb"), key=os.path.getmtime)
    if not debs:
        pytest.fail(f"no package: run packaging/build.sh {arch} build-{arch}, or set TARVEX_DEB_{arch.upper()}")
    return debs[-1]


@pytest.fixture(scope="session")
def deb():
    return package(os.environ.get("TARVEX_SYSTEM_ARCH", "amd64"))


@pytest.fixture(scope="session")
def image():
    return Image(os.environ.get("TARVEX_SYSTEM_ARCH", "amd64")).ensure()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Keeps each phase's report on the test, for fixtures to see how it went."""
    outcome = yield
    report = outcome.get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture
def make_key(tmp_path, request):
    """make_key(partitions, table=True): a new key image in the test's directory."""
    made = []

    def make(partitions, table=True):
        made.append(Key(tmp_path / f"key{len(made) + 1}.img", partitions, table))
        return made[-1]

    yield make
    # A key a failed test left in would become the next test's sda. A test
    # that passed may leave its key in on purpose, for the next to pull.
    call = getattr(request.node, "report_call", None)
    for key in made if call is None or call.failed else ():
        vm = getattr(key, "vm", None)
        if vm is not None and key.id in vm.keys:
            try:
                vm.pull(key)
            except Exception as e:  # the test's own failure is the one to see
                print(f"could not pull {key.id}: {e}")
    # pytest keeps its last temporary directories; not 64 MiB keys.
    for image in tmp_path.glob("key*.img"):
        image.unlink()


def update_key(make_key, files=None, fs="vfat"):
    return make_key([(fs, 64, files or {script_path(C.kUpdateFolder): UPDATE_SCRIPT})])


def wait_until_armed(vm):
    """The daemon looks at a key only when a pass saw no key before it: a key
    seen by its first pass counts as in at start, and a key plugged before a
    pass has seen the last one gone counts as that key still in. Waits past
    the first pass and past two passes since the last key was gone (the pass
    under way may be a long one, mounting)."""
    up, started = vm.out(
        "cut -d' ' -f1 /proc/uptime; " "systemctl show -p ActiveEnterTimestampMonotonic --value tarvexd"
    ).split()
    time.sleep(max(0.0, FIRST_PASS + 1 - (float(up) - int(started) / 1e6)))
    if vm.last_pull is not None:
        time.sleep(max(0.0, vm.last_pull + 2 * PASS + 1 - time.monotonic()))


def plug_and_mount(vm, key, since=0, step=0.5):
    """Plugs KEY in once the daemon looks at new keys; the index of "Mounted"."""
    wait_until_armed(vm)
    vm.plug(key)
    # Two ways a key takes an extra pass: a fresh device has no mount point
    # yet (the first mount fails, and the clean-up makes one), and a pass can
    # see the disk's node before the kernel has added its partitions' (the
    # whole disk is tried, and fails).
    # Under emulation on a busy machine a failed attempt costs several
    # seconds of sudo and mount: what is proven here is that it mounts.
    return vm.wait_line(MOUNTED, since, timeout=60, step=step)


def plug_and_update(vm, key, since=0, expect=r"update: running as pi in /home/pi", folder=C.kUpdateFolder):
    """Plugs KEY in and waits until its update script has run; the index of
    the script's line."""
    i = plug_and_mount(vm, key, since)
    i = vm.wait_line(runs_script(folder), i, timeout=PASS + SLACK + 10)
    return vm.wait_line(expect, i, timeout=30)


def pull_and_unmount(vm, key, since):
    """Pulls KEY: "Unmounting" within two passes, and nothing left mounted."""
    vm.pull(key)
    i = vm.wait_line(UNMOUNTING, since, timeout=2 * PASS + SLACK)
    # The line comes before the umount it announces.
    assert wait_until(lambda: vm.mount_options(MEDIA) is None, SLACK, step=0.5)
    # Nothing mounted from a device that is gone.
    assert (
        vm.out("awk '$1 ~ /^\\/dev\\// { print $1 }' /proc/mounts | " 'while read d; do [ -b "$d" ] || echo "$d"; done')
        == ""
    )
    return i
