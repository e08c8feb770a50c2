"""The real daemon on simulated keys, in real time: what a person servicing a
device would see happen."""

import re
import time

from tarvex_sim import Daemon, constants, mounted_at_media, pass_times, sound_file, sounds, wait_until

C = constants()
FIRST_PASS, PASS = pass_times(C)
FOUND = sound_file(C.kFoundSoundCommand)
ERROR = sound_file(C.kErrorSoundCommand)
BEEP = sound_file(C.kBeepCommand)

# The daemon's lines, as patterns for Daemon.wait_for and count.
MOUNTED = re.escape(C.kLineMounted)
UNMOUNTING = re.escape(C.kLineUnmounting)
FALLBACK = re.escape(C.kLineMountFallback)


def filled_with_anything(line):
    return re.escape(line).replace(re.escape("%s"), ".*")


ANY_FOLDER = filled_with_anything(C.kLineFolderFound)
ANY_SCRIPT = filled_with_anything(C.kScriptCommand)


def folder_found(folder):
    return re.escape(C.kLineFolderFound % f"{C.kMountPoint}/{folder}")


def runs_script(folder):
    return re.escape(C.kScriptCommand % f"{C.kMountPoint}/{folder}/{C.kUpdateScriptName}")


UPDATE_SCRIPT = """\
echo "update: running as $(id -un) in $(pwd)"
echo "update applied" >> /home/pi/log.txt
sleep 2
echo "update: done"
"""

POST_SCRIPT = """\
echo "post-update: log on key: $(cat /home/pi/media/log.txt)"
"""


def make_key(sb, name, *layout, files=None):
    sb.key("create", name, *layout)
    for dest, text in (files or {}).items():
        sb.key("write", name, dest, input=text)


def wait_past_first_pass(daemon):
    """So that a key inserted now is seen by a pass that was armed."""
    time.sleep(max(0.0, FIRST_PASS + 0.5 - daemon.elapsed()))


def test_update_then_post_update_with_log_hand_off(sandbox):
    sb = sandbox
    make_key(
        sb,
        "upd",
        "64M:exfat",
        files={"_QuorlUpdate/quorlupdate.sh": UPDATE_SCRIPT, "_QuorlPostUpdate/quorlupdate.sh": "echo wrong folder\n"},
    )
    make_key(
        sb,
        "post",
        "64M:exfat",
        files={"_QuorlPostUpdate/quorlupdate.sh": POST_SCRIPT, "_QuorlUpdate/quorlupdate.sh": "echo wrong folder\n"},
    )
    d = Daemon(sb)
    try:
        wait_past_first_pass(d)
        sb.key("insert", "upd", "sda")
        i = d.wait_for(MOUNTED, PASS + 3)
        i = d.wait_for(folder_found(C.kUpdateFolder), 3, after=i)
        i = d.wait_for(runs_script(C.kUpdateFolder), 5, after=i)
        i = d.wait_for("update: running as pi in /home/pi", 5, after=i)
        i = d.wait_for("update: done", 5, after=i)
        assert sounds(sb)[0] == FOUND
        assert BEEP in sounds(sb), "no beep while the script ran"
        assert sb.path(C.kLocalLogPath).read_text() == "update applied\n"

        # The beep goes on after the script, and the key is looked at only once.
        beeps_then = sounds(sb).count(BEEP)
        time.sleep(2 * PASS)
        assert sounds(sb).count(BEEP) >= beeps_then + 3
        assert d.count(ANY_FOLDER) == 1
        assert mounted_at_media(sb) == "/dev/sda1"

        sb.key("pull", "sda")
        i = d.wait_for(UNMOUNTING, PASS + 2, after=i)
        assert wait_until(lambda: mounted_at_media(sb) is None, 2)

        # Next insertion: the log goes to the key, then the post-update folder.
        sb.key("insert", "post", "sda")
        i = d.wait_for(MOUNTED, PASS + 3, after=i)
        i = d.wait_for(folder_found(C.kPostUpdateFolder), 3, after=i)
        i = d.wait_for("post-update: log on key: update applied", 5, after=i)
        assert not sb.path(C.kLocalLogPath).exists()
        assert d.count("wrong folder") == 0

        sb.key("pull", "sda")
        d.wait_for(UNMOUNTING, PASS + 2, after=i)
        assert wait_until(lambda: mounted_at_media(sb) is None, 2)
        assert sb.key("get", "post", "log.txt") == "update applied\n"
    finally:
        d.stop()


def test_key_present_at_start_and_the_watchdog(sandbox):
    sb = sandbox
    make_key(sb, "k", "64M:exfat", files={"_QuorlUpdate/quorlupdate.sh": "echo must not run\n"})
    sb.key("insert", "k", "sda")
    sb.exec("install", "-o", "pi", "-g", "pi", "-m", "755", "/run/tarvex/Quorl.app", "/home/pi/Quorl", check=True)
    starts = sb.path("/tmp/quorl-starts.log")
    d = Daemon(sb)
    try:
        d.wait_for(MOUNTED, FIRST_PASS + 3)
        assert mounted_at_media(sb) == "/dev/sda1"

        # The pass after the grace passes, 8 s + 10 x 3 s after start, is the first to look.
        assert wait_until(starts.exists, 45)
        first = d.elapsed()
        grace = C.kWatchdogGracePasses
        assert first >= FIRST_PASS + grace * PASS - 1, f"application started at {first:.1f} s"
        assert starts.read_text().split(" ", 1)[1] == "/home/pi/Quorl silent\n"

        time.sleep(2 * PASS)
        assert len(starts.read_text().splitlines()) == 1, "second instance while one runs"

        sb.exec("pkill", "-x", "Quorl", check=True)
        assert wait_until(lambda: len(starts.read_text().splitlines()) == 2, PASS + 2)
        assert d.count(ANY_FOLDER) == 0, "a key present at start was looked at"
        assert d.count("must not run") == 0
    finally:
        d.stop()
        sb.exec("pkill", "-x", "Quorl")


def test_larger_partition_and_folder_without_script(sandbox):
    sb = sandbox
    sb.key("create", "k", "--table", "dos", "32M:exfat", "96M:exfat")
    sb.key("write", "k:1", "_QuorlUpdate/quorlupdate.sh", input="echo small partition\n")
    sb.key("write", "k:2", "_QuorlUpdate/readme.txt", input="no script here\n")
    d = Daemon(sb)
    try:
        wait_past_first_pass(d)
        sb.key("insert", "k", "sda")
        i = d.wait_for(MOUNTED, PASS + 3)
        d.wait_for(folder_found(C.kUpdateFolder), 3, after=i)
        assert wait_until(lambda: sounds(sb) == [FOUND, ERROR], 3), sounds(sb)
        assert mounted_at_media(sb) == "/dev/sda2"
        time.sleep(PASS)
        assert BEEP not in sounds(sb), "beeping without a script"
        assert d.count("small partition|" + ANY_SCRIPT) == 0
    finally:
        d.stop()


def test_ext4_keys_plain_mount_and_unlistable_mount(sandbox):
    sb = sandbox
    make_key(sb, "open", "64M:ext4", files={"_QuorlUpdate/quorlupdate.sh": "echo ext4 update ran\n"})
    sb.key("chmod", "open:1", "0755", ".")
    make_key(sb, "closed", "64M:ext4")
    sb.key("chmod", "closed:1", "0700", ".")
    d = Daemon(sb)
    try:
        wait_past_first_pass(d)
        sb.key("insert", "open", "sda")
        i = d.wait_for(FALLBACK, PASS + 3)
        i = d.wait_for(MOUNTED, 3, after=i)
        d.wait_for("ext4 update ran", 5, after=i)
        sb.key("pull", "sda")
        i = d.wait_for(UNMOUNTING, PASS + 2, after=i)

        # Root-only directory: pi cannot list the mount, so every pass drops it
        # and mounts the key again within that same pass.
        sb.key("insert", "closed", "sda")
        i = d.wait_for(MOUNTED, PASS + 3, after=i)
        j = d.wait_for(UNMOUNTING, PASS + 2, after=i)
        k = d.wait_for(MOUNTED, 2, after=j)
        assert d.lines[k][0] - d.lines[j][0] < 1.5, d.transcript()
        assert mounted_at_media(sb) == "/dev/sda1"
    finally:
        d.stop()


def test_mount_point_unmounted_from_outside(sandbox):
    sb = sandbox
    make_key(sb, "k", "64M:exfat", files={"_QuorlUpdate/quorlupdate.sh": "echo looked\n"})
    d = Daemon(sb)
    try:
        wait_past_first_pass(d)
        sb.key("insert", "k", "sda")
        i = d.wait_for(MOUNTED, PASS + 3)
        d.wait_for("looked", 5, after=i)
        sb.exec("umount", C.kMountPoint, check=True)
        # The next pass mounts the key again, without a second look.
        i = d.wait_for(MOUNTED, PASS + 3, after=i + 1)
        assert mounted_at_media(sb) == "/dev/sda1"
        assert d.count("looked") == 1
        # And keys keep working: pull, reinsert, look.
        sb.key("pull", "sda")
        i = d.wait_for(UNMOUNTING, PASS + 2, after=i)
        sb.key("insert", "k", "sda")
        d.wait_for("looked", PASS + 5, after=i)
    finally:
        d.stop()


def test_no_file_lost_when_the_mount_shows_up_late(sandbox):
    sb = sandbox
    make_key(sb, "k", "64M:exfat", files={"data/keep.txt": "precious\n"})
    # A mountpoint tool that does not see mounts while /tmp/blind exists.
    sb.exec(
        "sh",
        "-c",
        "mkdir -p /tmp/fakebin && printf '%s\\n' '#!/bin/sh' "
        "'[ -e /tmp/blind ] && exit 1' 'exec /usr/bin/mountpoint \"$@\"' > /tmp/fakebin/mountpoint"
        " && chmod 755 /tmp/fakebin/mountpoint && touch /tmp/blind",
        check=True,
    )
    path = "/tmp/fakebin:/run/tarvex/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    d = Daemon(sb, env={"PATH": path})
    try:
        wait_past_first_pass(d)
        sb.key("insert", "k", "sda")
        d.wait_for(re.escape(C.kLineNotRemovingMountPoint), PASS + 5)
        sb.exec("rm", "/tmp/blind", check=True)
        assert sb.path(f"{C.kMountPoint}/data/keep.txt").read_text() == "precious\n"
        time.sleep(PASS)
        sb.key("pull", "sda")
        assert wait_until(lambda: mounted_at_media(sb) is None, 6 * PASS), d.transcript()
        assert sb.key("get", "k", "data/keep.txt") == "precious\n"
    finally:
        d.stop()
