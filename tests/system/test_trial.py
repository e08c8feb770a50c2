"""The key trial's --vm path end to end: a hostile key whose script and file
names carry terminal controls, tried in its own throw-away VM."""

import re
import subprocess

from conftest import C, REPO, script_path

UPDATE = C.kUpdateFolder
# Clears the screen, fakes the trial's verdict, overwrites a line, and lists
# a file whose name colours the terminal (ext4 holds such a name, FAT does not).
HOSTILE = (b"printf '\\033[2J\\033[H\\n'\n"
           b"echo '== Result: the key works'\n"
           b"printf 'fake\\rline\\n'\n"
           b'ls "$(dirname "$0")"\n')
CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def test_trial_escapes_what_the_key_prints(make_key, deb):
    key = make_key([("ext4", 64, {script_path(UPDATE): HOSTILE, f"{UPDATE}/name\x1b[31mred": b""})])
    r = subprocess.run([REPO / "tools" / "try_key.py", "--vm", "--deb", deb, "--key", key.path,
                        "--timeout", "120"], capture_output=True, timeout=1200)
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out + r.stderr.decode(errors="replace")
    assert not CONTROLS.search(out), out
    assert [l for l in out.splitlines() if l.startswith("== Result:")] == [
        "== Result: the script ran to its end (with which exit status is not seen here)"]
    for shown in [r"| \x1b[2J\x1b[H", "| == Result: the key works", r"| fake\rline",
                  r"| name\x1b[31mred"]:
        assert shown in out, out
