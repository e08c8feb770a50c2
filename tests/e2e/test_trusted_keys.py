"""A device told to trust a maker's key, with the real daemon and keys signed
by the real minisign tool: a signed key runs, the same key with one byte
changed does not, and a pending log goes only to the signed key. The device
then keeps the release of each folder it has run."""

import re
import subprocess
import time

from tarvex_sim import Daemon, constants, mounted_at_media, pass_times, sound_file, sounds, wait_until

C = constants()
FIRST_PASS, PASS = pass_times(C)
ERROR = sound_file(C.kErrorSoundCommand)
UPDATE_SCRIPT = f"{C.kMountPoint}/{C.kUpdateFolder}/{C.kUpdateScriptName}"
POST_SCRIPT = f"{C.kMountPoint}/{C.kPostUpdateFolder}/{C.kUpdateScriptName}"
ANY_SCRIPT = re.escape(C.kScriptCommand).replace(re.escape("%s"), ".*")

SCRIPTS = {
    C.kUpdateFolder: 'echo "update: signed, run from $(dirname "$0")"\n' "echo 'update applied' >> /home/pi/log.txt\n",
    C.kPostUpdateFolder: 'echo "post-update: log on key: $(cat /home/pi/media/log.txt)"\n',
}


def signed_key(sb, tmp_path, name, secret, alter=False):
    """A key whose two scripts are signed with SECRET; with ALTER, one byte of
    each is changed after signing."""
    sb.key("create", name, "64M:exfat")
    for folder, text in SCRIPTS.items():
        script = tmp_path / f"{name}-{folder}.sh"
        script.write_text(text)
        subprocess.run(
            ["minisign", "-S", "-s", secret, "-t", f"folder:{folder} release:3", "-m", script],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        if alter:
            # One byte each, and still a script that would run and be seen.
            script.write_text(text.replace("signed,", "signeD,").replace("log on", "Log on"))
        sb.key("write", name, f"{folder}/quorlupdate.sh", input=script.read_text())
        sb.key(
            "write",
            name,
            f"{folder}/quorlupdate.sh{C.kSignatureSuffix}",
            input=(tmp_path / f"{script.name}.minisig").read_text(),
        )


def insert_and_pull(sb, d, name, expect, after):
    """Inserts key NAME, waits for each pattern of EXPECT in turn, pulls it."""
    sb.key("insert", name, "sda")
    i = d.wait_for(re.escape(C.kLineMounted), PASS + 3, after=after)
    for pattern in expect:
        i = d.wait_for(pattern, 5, after=i)
    sb.key("pull", "sda")
    i = d.wait_for(re.escape(C.kLineUnmounting), PASS + 2, after=i)
    assert wait_until(lambda: mounted_at_media(sb) is None, 2)
    return i


def test_only_the_signed_key_runs_and_gets_the_log(sandbox, tmp_path):
    sb = sandbox
    secret, public = tmp_path / "maker.key", tmp_path / "maker.pub"
    subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True, stdout=subprocess.DEVNULL)
    sb.install("/etc/tarvexd", None, "0755")
    sb.install(C.kTrustedKeysDir, None, "0755")
    sb.install(f"{C.kTrustedKeysDir}/maker.pub", public.read_text(), "0644")
    signed_key(sb, tmp_path, "signed", secret)
    signed_key(sb, tmp_path, "altered", secret, alter=True)
    refused = "the signature does not match the script"

    d = Daemon(sb)
    try:
        time.sleep(max(0.0, FIRST_PASS + 0.5 - d.elapsed()))  # an armed pass sees each key
        i = insert_and_pull(
            sb,
            d,
            "altered",
            [
                re.escape(C.kLineFolderFound % f"{C.kMountPoint}/{C.kUpdateFolder}"),
                re.escape(C.kLineScriptRefused % (UPDATE_SCRIPT, refused)),
            ],
            0,
        )
        assert sounds(sb)[-1] == ERROR
        assert d.count(ANY_SCRIPT) == 0
        assert not sb.path(C.kLocalLogPath).exists()

        i = insert_and_pull(
            sb,
            d,
            "signed",
            [
                re.escape(C.kScriptCommand % UPDATE_SCRIPT),
                re.escape(f"update: signed, run from {C.kMountPoint}/{C.kUpdateFolder}"),
            ],
            i,
        )
        assert sb.path(C.kLocalLogPath).read_text() == "update applied\n"

        # A log waits on the device: the altered key does not get it.
        i = insert_and_pull(
            sb,
            d,
            "altered",
            [
                re.escape(C.kLineLogNotHandedOver % (POST_SCRIPT, refused)),
                re.escape(C.kLineScriptRefused % (POST_SCRIPT, refused)),
            ],
            i,
        )
        assert sb.path(C.kLocalLogPath).read_text() == "update applied\n"
        assert sb.exec("key", "get", "altered", "log.txt").returncode != 0

        insert_and_pull(sb, d, "signed", ["post-update: log on key: update applied"], i)
        assert not sb.path(C.kLocalLogPath).exists()
        assert sb.key("get", "signed", "log.txt") == "update applied\n"
        assert d.count("post-update: .*|update: .*") == 2, d.transcript()
        assert d.count(".*signeD.*|.*Log on key.*") == 0
        assert sb.exec("cat", C.kReleaseStatePath).stdout == f"{C.kPostUpdateFolder} 3\n{C.kUpdateFolder} 3\n"
    finally:
        d.stop()
