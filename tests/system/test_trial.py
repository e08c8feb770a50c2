"""The key trial's --vm path end to end: a hostile key whose script and file
names carry terminal controls, tried in its own throw-away VM."""

import contextlib
import re
import socket
import subprocess
import threading
import time
import types

import pytest

from conftest import C, REPO, script_path
from system_vm import MAX_EVENTS, MAX_LINE, ProtocolError, VMError, _Channel
from trial_backends import VMTrial

UPDATE = C.kUpdateFolder
# Clears the screen, fakes the trial's verdict, overwrites a line, and lists
# a file whose name colours the terminal (ext4 holds such a name, FAT does not).
HOSTILE = (
    b"printf '\\033[2J\\033[H\\n'\n"
    b"echo '== Result: the key works'\n"
    b"printf 'fake\\rline\\n'\n"
    b'ls "$(dirname "$0")"\n'
    # Printed after the script has ended, still marked as the script's.
    b"(sleep 5; echo late from a child) &\n"
)
CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def test_trial_escapes_what_the_key_prints(make_key, deb):
    key = make_key([("ext4", 64, {script_path(UPDATE): HOSTILE, f"{UPDATE}/name\x1b[31mred": b""})])
    r = subprocess.run(
        [REPO / "tools" / "try_key.py", "--vm", "--deb", deb, "--key", key.path, "--timeout", "120"],
        capture_output=True,
        timeout=1200,
    )
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out + r.stderr.decode(errors="replace")
    assert not CONTROLS.search(out), out
    assert [line for line in out.splitlines() if line.startswith("== Result:")] == [
        "== Result: the key works, its script ran to the end with exit status 0, as the guest reports it"
    ]
    assert " 0 (not looked at by the daemon), as bash's exit trap reported it" in out, out
    for shown in [
        r"| \x1b[2J\x1b[H",
        "| == Result: the key works",
        r"| fake\rline",
        r"| name\x1b[31mred",
        "| late from a child",
    ]:
        assert shown in out, out


def for_seconds(chunk, pause=0.0, seconds=3):
    """CHUNK again and again, PAUSE s apart, for SECONDS (3 times the call's
    deadline), then a reply."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        yield chunk
        time.sleep(pause)
    yield b'{"return": {}}\n'


# What a guest that a key made root could answer in place of its agent.
FORGED = [
    (b'{"return": NaN}\n', "not a number"),
    (b'{"return": 1e999}\n', "not a finite number"),
    (b'{"return": "' + b"x" * MAX_LINE + b'"}\n', "more than"),
    (b"x" * (MAX_LINE + (1 << 20)), "more than"),
    (for_seconds(b'{"event": "DEVICE_DELETED", "data": {"device": "x"}}\n' * 99), "within 1 s"),
    (for_seconds(b" ", pause=0.1), "within 1 s"),  # a byte every 0.1 s: no read waits long
    (b'{"hello": 1}\n', "neither a reply nor an event"),
]


@pytest.mark.parametrize(
    "sent, refusal",
    FORGED,
    ids=["nan", "infinite", "long-line", "no-line-end", "endless-events", "trickle", "stray-line"],
)
def test_a_forged_agent_is_refused(sent, refusal):
    host, guest = socket.socketpair()

    def answer():
        with contextlib.suppress(OSError):
            guest.recv(1024)  # the command, answered
            for chunk in [sent] if isinstance(sent, bytes) else sent:
                guest.sendall(chunk)
        guest.close()

    writer = threading.Thread(target=answer)
    writer.start()
    channel = _Channel(host, keep={"DEVICE_DELETED"})
    try:
        with pytest.raises(VMError, match=refusal):
            channel.call("guest-sync", timeout=1)
        assert len(channel.events) <= MAX_EVENTS
    finally:
        host.close()
        writer.join()


@pytest.mark.parametrize(
    "line, refusal",
    [
        ('{"__MONOTONIC_TIMESTAMP": "5", "MESSAGE": "hi"}', "no __CURSOR"),
        ('{"__MONOTONIC_TIMESTAMP": "5", "__CURSOR": "s=1;i=2", "MESSAGE": [104, 256]}', "neither text nor bytes"),
    ],
    ids=["no-cursor", "byte-256"],
)
def test_a_forged_journal_entry_ends_the_trial(line, refusal):
    trial = VMTrial(C, None, None, {}, 1, None, None)
    trial.vm, trial.started = types.SimpleNamespace(out=lambda command: line + "\n"), 0
    with pytest.raises(ProtocolError, match=refusal):
        trial.pump(lambda: True, 0)
