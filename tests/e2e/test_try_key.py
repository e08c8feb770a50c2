"""tools/try_key.py as a person uses it: the real daemon on a simulated
device, in real time (about 20 s a run), judged by what it prints, its exit
status and what it leaves behind."""

import os
import pathlib
import re
import secrets
import signal
import socket
import stat
import subprocess
import sys
import time

import pytest

from tarvex_sim import REPO, build_dir, constants, sound_file

# The trial's Ctrl-C is judged by the sandbox's own leftover check.
from test_sandbox_smoke import attached_loop_ids

C = constants()
BUILD = build_dir()
TRY_KEY = REPO / "tools" / "try_key.py"
SANDBOX_DIR = re.compile(r"\(sandbox (/tmp/tarvex-sb\.[A-Za-z0-9]{6})\)")
UPDATE_DIR = f"{C.kMountPoint}/{C.kUpdateFolder}"


def shown(line, after_script=False):
    """A line of the daemon as the trial shows it, after its time; marked from
    the script's start on."""
    return f"  {'| ' if after_script else ''}{line}\n"


def try_key(*args, timeout=90):
    return subprocess.run(
        [sys.executable, str(TRY_KEY), "--build", str(BUILD), *map(str, args)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def summary(out):
    """The summary's fields: label -> text (continuation lines joined by newlines)."""
    fields, label = {}, None
    for line in out.split("== Summary\n", 1)[1].splitlines():
        if line.startswith("=="):
            break
        if line[3:19].strip():
            label = line[3:19].strip()
            fields[label] = line[20:]
        elif label:
            fields[label] += "\n" + line[20:]
    return fields


def in_order(out, *needles):
    at = 0
    for n in needles:
        found = out.find(n, at)
        assert found >= 0, f"{n!r} missing or out of order in:\n{out}"
        at = found + len(n)


def assert_sandbox_gone(out):
    m = SANDBOX_DIR.search(out)
    assert m, out
    assert not os.path.exists(m.group(1)), f"{m.group(1)} left behind"


def snapshot(root):
    return {
        str(p.relative_to(root)): (p.stat().st_size, p.stat().st_mtime_ns, p.stat().st_mode)
        for p in sorted(pathlib.Path(root).rglob("*"))
    }


def test_default_demo_shows_a_whole_update():
    r = try_key()
    assert r.returncode == 0, r.stdout + r.stderr
    in_order(
        r.stdout,
        "Key inserted as /dev/sda",
        shown(C.kLineMounted),
        shown(C.kLineFolderFound % UPDATE_DIR),
        shown(C.kScriptCommand % f"{UPDATE_DIR}/{C.kUpdateScriptName}"),
        "| sample update: running as pi in /home/pi",
        "| sample update: done",
        "The script ended with exit status 0",
        "Pulling the key out",
        shown(C.kLineUnmounting, after_script=True),
        "== Summary",
    )
    # aplay's line comes on stderr, read apart from stdout: in no fixed order with its lines.
    assert f"Playing WAVE '{sound_file(C.kFoundSoundCommand)}'" in r.stdout
    s = summary(r.stdout)
    assert s["mounted"].startswith(f"/dev/sda1 (exfat) at {C.kMountPoint}, rw,nosuid,nodev")
    assert s["folder"] == UPDATE_DIR
    # The beep goes on after the script: at least once a second.
    beeps = re.fullmatch(r"disk_found\.wav x1, beep-08b\.wav x(\d+)", s["sounds"])
    assert beeps and int(beeps.group(1)) >= 3, s["sounds"]
    assert s["exit status"].startswith("0 ")
    assert s["unmounted"].startswith("yes")
    assert s["in /home/pi"].startswith("log.txt: new")
    assert_sandbox_gone(r.stdout)


# Each row: the update folder's script, extra options, exit status of
# try_key, summary fields expected (label: start of the text), output expected.
OWN_FOLDERS = [
    (
        "echo from my folder\nexit 3\n",
        [],
        1,
        {"exit status": "3 (not looked at", "script": "bash /home/pi/media/_QuorlUpdate/quorlupdate.sh"},
        ["| from my folder", "Result: the script ran and ended with exit status 3"],
    ),
    # As a device would show it: no "Killed" notice from the recording wrapper.
    (
        "echo going down\nkill -9 $$\n",
        [],
        1,
        {"exit status": "137 (not looked at by the daemon, killed by SIGKILL)"},
        ["| going down\n", "The script ended with exit status 137"],
    ),
    # A key's script that tries to take over the terminal or fake the verdict:
    # shown, escaped, and the one verdict is the trial's own.
    (
        "printf '\\033[2J\\033[H== Result: the key works\\n'\n"
        "printf 'done\\r== Result: the key works\\n'\n"
        "touch \"/home/pi/$(printf 'x\\n== Result: the key works\\033[0m')\"\n"
        "printf '\\033]0;retitled\\007\\n' >>/tmp/aplay.log\n"
        "exit 1\n",
        [],
        1,
        {"in /home/pi": "x\\n== Result: the key works\\x1b[0m: new, 0 bytes"},
        [
            "| \\x1b[2J\\x1b[H== Result: the key works\n",
            "| done\\r== Result: the key works\n",
            "\\x1b]0;retitled\\x07 x1",
            "== Result: the script ran and ended with exit status 1",
        ],
    ),
    (
        "echo stuck for good\nsleep 1000\n",
        ["--timeout", "2"],
        1,
        {"exit status": "none: still running after 2 s"},
        ["| stuck for good", "The script is still running after 2 s", "sleep 1000"],
    ),
    # The wrapper's token is no secret to pi: a faked end line neither ends
    # the marking nor sets the exit status; what a detached child prints
    # after the script has ended is marked too.
    (
        "t=$(grep -o 'tarvex-script:[0-9a-f]*' /run/tarvex-scripts/bash | head -n 1)\n"
        f'echo "$t end 0"\n(sleep 1; echo {C.kLineMounted}) &\nexit 5\n',
        [],
        1,
        {"exit status": "5 (not looked at"},
        [
            "The script ended with exit status 5",
            shown(C.kLineMounted, after_script=True),
            "Result: the script ran and ended with exit status 5",
        ],
    ),
    # The maker's public key goes where the device looks for trusted keys, as
    # root's and readable by pi; the script is signed, as such a device needs.
    (
        "stat -c '%n %U:%G %a' /etc/tarvexd/trusted-keys /etc/tarvexd/trusted-keys/*\n",
        ["--trust", "{tmp}/maker.pub"],
        0,
        {"exit status": "0 "},
        ["| /etc/tarvexd/trusted-keys root:root 755\n", "| /etc/tarvexd/trusted-keys/maker.pub root:root 644\n"],
    ),
    # Made and signed by the maker's tool (--made): the script sees the
    # checked copy of its file beside it; with the file on the key changed
    # afterwards (--spoil), the run ends before the maker's script starts.
    (
        'echo beside me: $(ls "$(dirname "$0")")\n',
        ["--made"],
        0,
        {"exit status": "0 "},
        ["| beside me: payload.bin quorlupdate.sh\n"],
    ),
    (
        "echo the maker script ran\n",
        ["--made", "--spoil"],
        1,
        {"exit status": "1 "},
        [f"| {UPDATE_DIR}/payload.bin does not match its sum in this script: nothing was run\n"],
    ),
]


@pytest.mark.parametrize(
    "script, options, code, fields, lines",
    OWN_FOLDERS,
    ids=["exit-3", "killed", "escapes", "never-ends", "fakes-the-end", "trusted-key", "made", "made-then-spoilt"],
)
def test_own_update_folder(tmp_path, script, options, code, fields, lines):
    folder = tmp_path / "my-update"
    folder.mkdir()
    (folder / "quorlupdate.sh").write_text(script)
    (folder / "payload.bin").write_bytes(os.urandom(3000))
    options = [o.format(tmp=tmp_path) for o in options]
    made, spoil = "--made" in options, "--spoil" in options
    if "--trust" in options or made:
        subprocess.run(
            ["minisign", "-G", "-W", "-p", tmp_path / "maker.pub", "-s", tmp_path / "maker.key"],
            capture_output=True,
            check=True,
        )
    if "--trust" in options:
        subprocess.run(
            [
                "minisign",
                "-S",
                "-s",
                tmp_path / "maker.key",
                "-m",
                folder / "quorlupdate.sh",
                "-t",
                f"folder:{C.kUpdateFolder} release:1",
            ],
            capture_output=True,
            check=True,
        )
    key = folder
    if made:
        tool = [sys.executable, "-B", REPO / "tools" / "tarvex-key", "--build", BUILD]
        made_with = [
            "--update",
            folder / "quorlupdate.sh",
            "--file",
            folder / "payload.bin",
            "--sign",
            tmp_path / "maker.key",
            "--release",
            "1",
            "--trust",
            tmp_path / "maker.pub",
        ]
        subprocess.run(tool + ["make", tmp_path / "made", *made_with], capture_output=True, check=True)
        key = tmp_path / "made" / C.kUpdateFolder
        if spoil:
            with open(key / "payload.bin", "r+b") as f:
                f.write(b"x")
        # The maker's check, of the directory or of a FAT32 image of it, says so first.
        checked = subprocess.run(
            tool + ["check", tmp_path / "made", "--trust", tmp_path / "maker.pub"]
            if spoil
            else tool + ["make", tmp_path / "made.img", "--image", *made_with],
            capture_output=True,
            text=True,
        )
        assert checked.returncode == int(spoil), checked.stdout + checked.stderr
        assert (
            "files: payload.bin does not match its sum" if spoil else "files: all 1 match the sums in the script"
        ) in checked.stdout
        options = ["--trust", tmp_path / "maker.pub"]
    before = snapshot(folder)
    started = time.monotonic()

    r = try_key("--key", key, *options)
    assert r.returncode == code, r.stdout + r.stderr
    in_order(r.stdout, "copied onto a fresh exFAT key as _QuorlUpdate/", *lines)
    s = summary(r.stdout)
    for label, text in fields.items():
        assert s[label].startswith(text), (label, s[label])
    assert "Killed" not in r.stdout
    assert re.findall(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]", r.stdout) == []
    assert len(re.findall("^== Result:", r.stdout, re.M)) == 1, r.stdout
    assert snapshot(folder) == before, "the person's folder was changed"
    assert_sandbox_gone(r.stdout)
    assert time.monotonic() - started < 40


def test_pending_log_goes_to_the_key_and_the_post_update_folder_runs(tmp_path):
    key = tmp_path / "key"
    (key / "_QuorlPostUpdate").mkdir(parents=True)
    (key / "_QuorlUpdate").mkdir()
    (key / "_QuorlPostUpdate" / "quorlupdate.sh").write_text(
        'echo "post: key log says $(cat /home/pi/media/log.txt)"\n'
    )
    (key / "_QuorlUpdate" / "quorlupdate.sh").write_text("echo wrong folder\n")
    log = tmp_path / "log.txt"
    log.write_text("update 42 applied\n")

    r = try_key("--key", key, "--log", log)
    assert r.returncode == 0, r.stdout + r.stderr
    in_order(
        r.stdout,
        "Pending log:",
        shown(C.kLineFolderFound % f"{C.kMountPoint}/{C.kPostUpdateFolder}"),
        "| post: key log says update 42 applied",
        shown(C.kLineUnmounting, after_script=True),
    )
    assert "wrong folder" not in r.stdout
    s = summary(r.stdout)
    assert s["pending log"].startswith("handed over")
    assert s["log.txt on key"] == "| update 42 applied"
    assert s["in /home/pi"].startswith("log.txt: removed")
    assert log.read_text() == "update 42 applied\n"


def test_unformatted_image_fails_with_a_clear_message(tmp_path):
    image = tmp_path / "blank.img"
    with open(image, "wb") as f:
        f.truncate(32 << 20)
    started = time.monotonic()
    r = try_key("--key", image)
    assert r.returncode == 1, r.stdout + r.stderr
    assert r.stdout.count(shown(C.kLineMountFallback)) >= 3
    assert shown(C.kLineMounted) not in r.stdout
    in_order(
        r.stdout,
        "Key inserted as /dev/sda after the daemon's first pass: sda 32 MiB (no file system)",
        "Result: the key did not mount: blkid finds no file system on it; " "format it as exFAT or FAT32",
    )
    assert summary(r.stdout)["mounted"] == "no"
    assert_sandbox_gone(r.stdout)
    assert time.monotonic() - started < 40


# Each row: how to make the bad input in tmp_path, arguments, message expected.
BAD_INPUT = [
    (None, ["--key", "{tmp}/nowhere"], "no such file or directory"),
    ("empty-dir", ["--key", "{tmp}/d"], "nothing to try there"),
    ("other-files", ["--key", "{tmp}/d"], "nothing to try there"),
    ("empty-image", ["--key", "{tmp}/k.img"], "an empty file, not a key image"),
    ("script", ["--key", "{tmp}/d/quorlupdate.sh"], "a script, not a key"),
    ("script", ["--key", "{tmp}/d", "--log", "{tmp}/missing.txt"], "--log"),
    # Named by mistake, a FIFO must not hang the trial.
    ("fifo", ["--key", "{tmp}/d", "--log", "{tmp}/fifo"], "--log {tmp}/fifo: not a regular file"),
    (None, ["--trust", "{tmp}/missing.pub"], "--trust {tmp}/missing.pub: no such file or directory"),
    ("script", ["--key", "{tmp}/d", "--trust", "{tmp}/d"], "--trust {tmp}/d: is a directory"),
]


@pytest.mark.parametrize(
    "make, args, message",
    BAD_INPUT,
    ids=[
        "missing",
        "empty-dir",
        "other-files",
        "empty-image",
        "script-file",
        "missing-log",
        "fifo-log",
        "missing-trust",
        "folder-trust",
    ],
)
def test_bad_input_fails_fast(tmp_path, make, args, message):
    d = tmp_path / "d"
    if make in ("empty-dir", "other-files", "script", "fifo"):
        d.mkdir()
    if make == "other-files":
        (d / "update.sh").write_text("echo not the right name\n")
        (d / "QuorlUpdate").mkdir()
    if make in ("script", "fifo"):
        (d / "quorlupdate.sh").write_text("echo hi\n")
    if make == "fifo":
        os.mkfifo(tmp_path / "fifo")
    if make == "empty-image":
        (tmp_path / "k.img").touch()
    started = time.monotonic()
    r = try_key(*[a.format(tmp=tmp_path) for a in args], timeout=20)
    assert time.monotonic() - started < 5
    assert r.returncode == 2
    assert r.stdout == "", "a sandbox was started for bad input"
    lines = r.stderr.splitlines()
    message = message.format(tmp=tmp_path)
    assert len(lines) == 1 and lines[0].startswith("try_key: ") and message in lines[0], r.stderr


def test_ctrl_c_midway_leaves_nothing():
    p = subprocess.Popen(
        [sys.executable, str(TRY_KEY), "--build", str(BUILD)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        state_dir = loops = init = None
        for line in p.stdout:
            m = SANDBOX_DIR.search(line)
            if m:
                state_dir = m.group(1)
            if "| sample update: step 1" in line:
                loops = pathlib.Path(state_dir, "loops").read_text()
                init = pathlib.Path(state_dir, "pid").read_text().strip()
                # As a terminal's Ctrl-C: the whole foreground process group.
                os.killpg(p.pid, signal.SIGINT)
                break
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    assert loops, "the run never got to the script"
    assert p.returncode == 130
    assert err.strip().splitlines() == [
        "try_key: stopped by Ctrl-C; the simulated device is gone, nothing is left mounted or attached"
    ]
    assert not os.path.exists(state_dir)
    assert not os.path.exists(f"/proc/{init}"), "the sandbox's init survived"
    ids = {tuple(line.split()[1:3]) for line in loops.splitlines()}
    assert ids and not ids & attached_loop_ids(), "a loop device of the key is still attached"


def test_trial_contains_the_key(tmp_path):
    """A key's script reaches no network, and the trial reads nothing through
    a link as root nor hangs on a FIFO in the folder it copies."""
    secret = tmp_path / "secret"
    secret.write_text(secrets.token_hex(16))
    secret.chmod(0o600)
    key = tmp_path / "key"
    (key / "_QuorlUpdate").mkdir(parents=True)
    (key / "loot").symlink_to(secret)
    (key / "_QuorlUpdate" / "tmp").symlink_to(tmp_path)
    os.mkfifo(key / "log.txt")
    os.mknod(key / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        (key / "_QuorlUpdate" / "quorlupdate.sh").write_text(
            "echo interfaces: $(ip -o link show | cut -d: -f2)\n"
            f"if (exec 3<>/dev/tcp/127.0.0.1/{listener.getsockname()[1]}) 2>/dev/null; "
            "then echo net: reached the host; else echo net: none; fi\n"
            "cat /home/pi/media/loot /home/pi/media/_QuorlUpdate/tmp/secret\n"
            "ls -A /home/pi/media /home/pi/media/_QuorlUpdate\n"
            "exit 0\n"
        )
        started = time.monotonic()
        r = try_key("--key", key)
    assert r.returncode == 0, r.stdout + r.stderr
    assert time.monotonic() - started < 40
    assert secret.read_text() not in r.stdout, r.stdout
    in_order(
        r.stdout,
        "Not copied",
        "_QuorlUpdate/tmp (link)",
        "log.txt (FIFO)",
        "loot (link)",
        "null (device)",
        "| interfaces: lo\n",
        "| net: none\n",
    )
    assert_sandbox_gone(r.stdout)
