"""The arm64 package on Debian's arm64 kernel under qemu-system-aarch64: run
only when TARVEX_DEB_ARM64 names the package (scripts/system-test.sh arm64
does)."""

import os

import pytest

from system_vm import Image

from conftest import C, MEDIA, plug_and_update, pull_and_unmount, update_key


@pytest.mark.skipif(not os.environ.get("TARVEX_DEB_ARM64"), reason="TARVEX_DEB_ARM64 is not set")
def test_arm64_install_key_pull_and_power_cut(make_key, tmp_path):
    with Image("arm64").vm(tmp_path) as vm:
        assert vm.out("uname -m").strip() == "aarch64"
        vm.install(os.environ["TARVEX_DEB_ARM64"])
        key = update_key(make_key)
        i = plug_and_update(vm, key)
        assert {"nosuid", "nodev", "uid=1000"} <= vm.mount_options(MEDIA)
        pull_and_unmount(vm, key, i)

        vm.power_cut()
        vm.boot()
        assert vm.out("systemctl is-active tarvexd").strip() == "active"
        plug_and_update(vm, update_key(make_key))
        assert C.kVersion in vm.out(f"cat {C.kVersionStampPath}")
