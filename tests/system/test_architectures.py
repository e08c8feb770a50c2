"""One leg per architecture: the package on that architecture's Debian 12,
booted on its board (system_vm.BOARD_OF), one device going through CASES in
order. TARVEX_SYSTEM_ARCHS names the architectures (default amd64);
scripts/system-test.sh runs arm64 and armhf here, and amd64 with the rest."""

import contextlib
import os
import re
import time

import pytest

from system_vm import Image

from conftest import C, MEDIA, package, played, plug_and_mount, plug_and_update, pull_and_unmount, update_key
from test_device import service, sudo_rules
from test_power import LOG, POST_FILES, key_log, leave_log, local_log

ARCHS = os.environ.get("TARVEX_SYSTEM_ARCHS", "amd64").split()
UNAME = {"amd64": "x86_64", "arm64": "aarch64", "armhf": "armv7l"}


def install(vm, arch, make_key, state):
    assert vm.out("uname -m").strip() == UNAME[arch]
    vm.install(package(arch))
    pid = re.search(r"MainPID=(\d+)", service(vm)).group(1)
    assert vm.out(f"stat -c %U /proc/{pid}; readlink /proc/{pid}/cwd").split() == ["pi", "/home/pi"]


def fat32_update_with_sounds(vm, arch, make_key, state):
    since = len(vm.journal())
    state["key"] = update_key(make_key)
    state["at"] = plug_and_update(vm, state["key"], since)
    assert {"nosuid", "nodev", "uid=1000", "gid=1000"} <= vm.mount_options(MEDIA)
    vm.wait_line(played(C.kFoundSoundCommand), since, timeout=10)
    vm.wait_line(played(C.kBeepCommand), since, timeout=10)


def pull_unmounts(vm, arch, make_key, state):
    pull_and_unmount(vm, state.pop("key"), state["at"])


def log_hand_off(vm, arch, make_key, state):
    leave_log(vm)
    key = make_key([("vfat", 64, POST_FILES)])
    i = plug_and_update(
        vm, key, len(vm.journal()), expect=rf"post-update: {len(LOG)} bytes", folder=C.kPostUpdateFolder
    )
    assert local_log(vm) == "none"
    pull_and_unmount(vm, key, i)
    assert key_log(key) == "whole"


def power_cut_mid_hand_off(vm, arch, make_key, state):
    leave_log(vm)
    key = make_key([("vfat", 64, POST_FILES)])
    plug_and_mount(vm, key, len(vm.journal()), step=0.1)
    time.sleep(1)
    vm.power_cut()
    on_key = key_log(key)
    vm.boot()
    on_device = local_log(vm)
    assert "torn" not in on_device + on_key and "whole" in (on_device, on_key), (on_device, on_key)
    assert "ActiveState=active" in service(vm)
    # A log the cut kept on the device would go to the next key first.
    vm.out(f"rm -f {C.kLocalLogPath} {C.kLocalLogAsidePath}")
    plug_and_update(vm, update_key(make_key))


def remove_withdraws_the_rules(vm, arch, make_key, state):
    assert sudo_rules(vm)
    vm.out("DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tarvexd")
    assert sudo_rules(vm) is None
    assert "ActiveState=inactive" in service(vm)


CASES = [
    install,
    fat32_update_with_sounds,
    pull_unmounts,
    log_hand_off,
    power_cut_mid_hand_off,
    remove_withdraws_the_rules,
]


@pytest.fixture(scope="module")
def devices(tmp_path_factory):
    """with devices(arch, case) as (vm, state): that architecture's device and
    its cases' state, booted on first use; one device at a time. Each case
    builds on the ones before it, so after a failure the leg's later cases are
    skipped rather than each failing slowly for the same cause."""
    running, failed = {}, {}
    with contextlib.ExitStack() as stack:

        @contextlib.contextmanager
        def device(arch, case):
            if arch in failed:
                pytest.skip(f"the {arch} leg failed at {failed[arch]}")
            try:
                if arch not in running:
                    stack.close()
                    running.clear()
                    vm = stack.enter_context(Image(arch).vm(tmp_path_factory.mktemp(arch)))
                    running[arch] = vm, {}
                yield running[arch]
            except (Exception, pytest.fail.Exception):
                failed[arch] = case
                raise

        yield device


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
@pytest.mark.parametrize("arch", [pytest.param(a, marks=pytest.mark.xdist_group(a)) for a in ARCHS])
def test_leg(devices, make_key, arch, case):
    with devices(arch, case.__name__) as (vm, state):
        case(vm, arch, make_key, state)
