"""What only a real boot shows: the log hand-off through power cuts, a key in
at boot, and a device that boots from USB storage itself."""

import hashlib
import re
import time

from conftest import (
    C,
    MEDIA,
    MOUNTED,
    PASS,
    SLACK,
    folder_found,
    plug_and_mount,
    plug_and_update,
    pull_and_unmount,
    script_path,
    update_key,
)

# Large enough that the copy to the key takes a while to cut into.
LOG = b"".join(b"log line %07d of the last update\n" % n for n in range(120000))
POST_FILES = {
    script_path(C.kPostUpdateFolder): b'echo "post-update: $(wc -c < /home/pi/media/log.txt) bytes"\n',
    script_path(C.kUpdateFolder): b"echo wrong folder\n",
}
# Seconds after "Mounted" is seen: before the hand-off, during the copy, after.
CUTS = [0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 5]


def local_log(vm):
    """The device's pending log, under its name or set aside by a hand-off that
    was cut short: "whole", "none" or "torn"."""
    aside, log = C.kLocalLogAsidePath, C.kLocalLogPath
    out = vm.out(
        f"{{ [ -e {aside} ] || [ -e {log} ]; }} && cat {aside} {log} 2>/dev/null | sha256sum " "|| echo none"
    ).split()[0]
    return "whole" if out == hashlib.sha256(LOG).hexdigest() else out if out == "none" else "torn"


def key_log(key):
    data = key.read(C.kKeyLogFileName)
    return "none" if data is None else "whole" if data == LOG else f"torn ({len(data)} bytes)"


def leave_log(vm):
    """One pending log: a copy an earlier cut kept aside would go first."""
    vm.out(f"rm -f {C.kLocalLogAsidePath}")
    vm.put(C.kLocalLogPath, LOG)
    vm.out(f"chown pi:pi {C.kLocalLogPath} && sync")


def test_log_hand_off_through_power_cuts(image, deb, make_key, tmp_path):
    with image.vm(tmp_path) as vm:
        vm.install(deb)
        leave_log(vm)
        key = make_key([("vfat", 64, POST_FILES)])
        i = plug_and_update(vm, key, expect=rf"post-update: {len(LOG)} bytes", folder=C.kPostUpdateFolder)
        assert local_log(vm) == "none"
        pull_and_unmount(vm, key, i)
        assert key_log(key) == "whole"
        assert "wrong folder" not in vm.journal()

        outcomes = []
        for delay in CUTS:
            leave_log(vm)
            key = make_key([("vfat", 64, POST_FILES)])
            plug_and_mount(vm, key, len(vm.journal()), step=0.1)
            time.sleep(delay)
            vm.power_cut()
            on_key = key_log(key)
            vm.boot()
            on_device = local_log(vm)
            outcomes.append((delay, on_device, on_key))
            assert "torn" not in on_device + on_key and "whole" in (on_device, on_key), outcomes
        print("log after each cut (seconds after Mounted, device, key):", outcomes)

        # A key in at boot is mounted but not looked at; inserted again, it is.
        vm.out(f"rm -f {C.kLocalLogPath}")
        key = update_key(make_key)
        vm.power_cut()
        vm.boot(keys=[key])
        i = vm.wait_line(MOUNTED, timeout=60)
        time.sleep(2 * PASS + SLACK)
        assert not any(re.fullmatch(folder_found(C.kUpdateFolder), line) for line in vm.journal())
        i = pull_and_unmount(vm, key, i)
        i = plug_and_update(vm, key, i)
        time.sleep(2 * PASS)
        assert sum(bool(re.fullmatch(folder_found(C.kUpdateFolder), line)) for line in vm.journal()) == 1


def test_usb_boot(image, deb, make_key, tmp_path):
    """The root disk is itself USB storage, sda: the key is sdb."""
    with image.vm(tmp_path, usb_root=True) as vm:
        assert vm.out("findmnt -n -o SOURCE /").strip() == "/dev/sda"
        vm.install(deb)
        key = update_key(make_key)
        i = plug_and_update(vm, key)
        assert vm.out(f"findmnt -n -o SOURCE --mountpoint {MEDIA}").strip() == "/dev/sdb1"
        pull_and_unmount(vm, key, i)
        assert vm.out("findmnt -n -o SOURCE /").strip() == "/dev/sda"
        # The system disk may be named, but only as refused.
        refused = C.kLineDiskInUse.split("%s")[0]
        assert [line for line in vm.journal() if "/dev/sda" in line and not line.startswith(refused)] == []
