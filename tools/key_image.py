"""A USB key as a raw disk image built on the host: partitions, their file
systems and files, and the files read back once a device has had the key.
The key trial and the system tests make their keys here, the trial from
what a person gives it (Source).

    key = Key(tmpdir / "k.img", [("vfat", 64, {"_QuorlUpdate/quorlupdate.sh": b"..."})])
    key.read("log.txt")

The host kernel may lack vfat and exfat, so files go in through mtools (FAT),
exfat-fuse (exFAT, on a loop device: root only) and mkfs.ext2/3/4 -d
(ext2/3/4); NTFS, minix and bfs keys stay empty.
"""

import dataclasses
import hashlib
import os
import pathlib
import shutil
import stat
import subprocess
import tempfile

from tarvex_sim import MIB, stage_folder

MAX_FOLDER_BYTES = 2048 * MIB
# The MBR type of each file system.
TYPES = {"vfat": "c", "exfat": "7", "ntfs": "7", "ext2": "83", "ext3": "83", "ext4": "83", "minix": "81", "bfs": "83"}
EMPTY = {"ntfs": ["mkntfs", "-F", "-Q", "-q"], "minix": ["mkfs.minix"], "bfs": ["mkfs.bfs"]}


class UnreadableKey(Exception):
    """The key's file system cannot be read at all (not: the file is missing)."""


class Key:
    """A key image at PATH; ID names it where it is plugged in."""

    START = MIB  # the first partition's offset, as fdisk makes it

    def __init__(self, path, partitions, table=True):
        """PARTITIONS: (file system, size in MiB, {path: bytes} or a folder to
        copy) each; without TABLE, one file system over the whole key."""
        self.path = pathlib.Path(path)
        self.id = "k" + hashlib.sha1(str(self.path).encode()).hexdigest()[:8]
        self.partitions = partitions
        total = sum(size for _, size, _ in partitions) * MIB + (2 * MIB if table else 0)
        with open(self.path, "wb") as f:
            f.truncate(total)
        self.offsets, at = [], self.START if table else 0
        for _, size, _ in partitions:
            self.offsets.append(at)
            at += size * MIB
        if table:
            layout = "label: dos\n" + "".join(
                f"start={o // 512}, size={s * MIB // 512}, type={TYPES[fs]}\n"
                for o, (fs, s, _) in zip(self.offsets, partitions)
            )
            subprocess.run(["sfdisk", "-q", str(self.path)], input=layout.encode(), check=True)
        for offset, (fs, size, files) in zip(self.offsets, partitions):
            self._filesystem(offset, fs, size, files)

    def _filesystem(self, offset, fs, size, files):
        with tempfile.TemporaryDirectory(prefix="key.", dir=self.path.parent) as tmp:
            part = pathlib.Path(tmp) / "part.img"
            with open(part, "wb") as f:
                f.truncate(size * MIB)
            if fs == "vfat":
                _fat(part, pathlib.Path(tmp), files)
            else:
                tree = files if isinstance(files, pathlib.Path) else pathlib.Path(tmp) / "tree"
                tree.mkdir(exist_ok=True)
                for name, data in ({} if tree is files else files).items():
                    (tree / name).parent.mkdir(parents=True, exist_ok=True)
                    (tree / name).write_bytes(data)
                if fs in ("ext2", "ext3", "ext4"):
                    subprocess.run([f"mkfs.{fs}", "-q", "-d", str(tree), str(part)], check=True)
                elif fs in EMPTY:  # what matters is which driver takes them
                    assert not files, f"no files on {fs} keys"
                    subprocess.run(EMPTY[fs] + [str(part)], check=True, stdout=subprocess.DEVNULL)
                else:
                    subprocess.run(["mkfs.exfat", "-L", "KEY", str(part)], check=True, stdout=subprocess.DEVNULL)
                    r = _exfat(part, ["sh", "-c", _EXFAT_FILL, "sh", str(tree)])
                    if r.returncode != 0:
                        raise subprocess.CalledProcessError(r.returncode, ["cp", "-r", str(tree)], r.stdout, r.stderr)
            # Zeros skipped: the key stays as sparse as its file system.
            with open(part, "rb") as src, open(self.path, "r+b") as dst:
                dst.seek(offset)
                while chunk := src.read(MIB):
                    dst.seek(len(chunk), os.SEEK_CUR) if chunk.count(0) == len(chunk) else dst.write(chunk)

    def read(self, name, partition=0):
        """A file's bytes on the key as the device left them, or None. Only
        with the key out of every running device."""
        fs, size, _ = self.partitions[partition]
        with tempfile.TemporaryDirectory(prefix="key.", dir=self.path.parent) as tmp:
            part = pathlib.Path(tmp) / "part.img"
            with open(self.path, "rb") as src, open(part, "wb") as dst:
                src.seek(self.offsets[partition])
                dst.write(src.read(size * MIB))
            if fs == "vfat":
                r = subprocess.run(["mtype", "-i", str(part), "::" + name], capture_output=True)
                # mtools refuses a FAT left dirty by a power cut less than a
                # missing file: tell the two apart.
                if r.returncode != 0:
                    listing = subprocess.run(["mdir", "-b", "-i", str(part), "::/"], capture_output=True)
                    if listing.returncode != 0:
                        raise UnreadableKey(f"cannot read the key: {listing.stderr.decode()}")
                    return None
                return r.stdout
            if fs == "exfat":
                r = _exfat(part, ["sh", "-c", _EXFAT_CAT, "sh", name], read_only=True)
                return r.stdout if r.returncode == 0 else None
            r = subprocess.run(["debugfs", "-R", f"cat /{name}", str(part)], capture_output=True)
            return r.stdout if b"not found" not in r.stderr else None


def _fat(part, tmp, files):
    """Formats PART as FAT32 and copies FILES (a dict or a folder) onto it."""
    subprocess.run(["mkfs.vfat", "-F", "32", "-n", "KEY", str(part)], check=True, stdout=subprocess.DEVNULL)
    if isinstance(files, pathlib.Path):
        entries = sorted(str(files / e) for e in os.listdir(files))
        if entries:
            subprocess.run(
                ["mcopy", "-s", "-Q", "-D", "o", "-i", str(part), *entries, "::/"], check=True, stdin=subprocess.DEVNULL
            )
        files = {}
    for name, data in files.items():
        parts = name.split("/")
        for i in range(1, len(parts)):
            subprocess.run(["mmd", "-D", "s", "-i", str(part), "::" + "/".join(parts[:i])], stderr=subprocess.DEVNULL)
        src = tmp / "file"
        src.write_bytes(data)
        subprocess.run(["mcopy", "-o", "-i", str(part), str(src), "::" + name], check=True)


# With the key's exFAT mounted at $KEY: copies the folder $1 onto it, or
# prints its regular file $1 (a link on the key is no file to read).
_EXFAT_FILL = 'cp -r -- "$1/." "$KEY"'
_EXFAT_CAT = 'if [ -f "$KEY/$1" ] && [ ! -L "$KEY/$1" ]; then exec cat -- "$KEY/$1"; fi; exit 1'
# Mounts the loop device $1 at $2 with exfat-fuse (no exFAT tool works on an
# image file), runs the rest, and unmounts; 2: the key would not mount.
_EXFAT_MOUNTED = """\
mount.exfat-fuse -o "$3" "$1" "$2" >/dev/null || exit 2
export KEY=$2
shift 3
"$@"
rc=$?
umount "$KEY" || exit 2
exit "$rc"
"""


def _exfat(image, command, read_only=False):
    """COMMAND run with the exFAT file system IMAGE mounted ($KEY), in a
    mount namespace of its own: the mount is never seen outside it, and goes
    with it whatever becomes of this process. Returns the finished process."""
    mnt = image.parent / "mnt"
    mnt.mkdir()
    ro = ["--read-only"] if read_only else []
    loop = subprocess.run(
        ["losetup", "--find", "--show", *ro, str(image)], check=True, capture_output=True, text=True
    ).stdout.strip()
    try:
        options = "ro,nosuid,nodev" if read_only else "nosuid,nodev"
        r = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", _EXFAT_MOUNTED, "sh"]
            + [loop, str(mnt), options, *command],
            capture_output=True,
        )
    finally:
        subprocess.run(["losetup", "-d", loop], check=True)
    if r.returncode == 2 and read_only:
        raise UnreadableKey(f"cannot read the key: {r.stderr.decode(errors='replace').strip()}")
    return r


# What the sample key (Source.of(None, c)) holds as its update script.
SAMPLE_SCRIPT = """\
#!/bin/bash
# A sample update script, as a key carries it in _QuorlUpdate/.
echo "sample update: running as $(id -un) in $(pwd)"
echo "sample update: the key holds: $(cd /home/pi/media && echo *)"
for step in 1 2 3; do
    echo "sample update: step $step of 3"
    sleep 1
done
# A pending log: the device hands it to the next key that goes in.
echo "sample update applied $(date '+%F %T')" >> /home/pi/log.txt
echo "sample update: done, wrote /home/pi/log.txt"
"""


class BadSource(Exception):
    """What a person named is nothing a key can be made of."""


@dataclasses.dataclass(frozen=True)
class Source:
    """What a key is made of."""

    kind: str  # "sample", "root" (a key's root folder), "folder" (an update folder) or "image"
    path: str
    folder: str  # for "folder": the update folder it becomes on the key
    description: str

    @classmethod
    def of(cls, arg, c):
        """The Source that ARG names (None: the sample key); C: the daemon's constants."""
        if arg is None:
            return cls("sample", None, None, "a sample exFAT key with _QuorlUpdate/quorlupdate.sh")
        path = os.path.abspath(os.path.expanduser(arg))
        if not os.path.exists(path):
            raise BadSource("no such file or directory")
        path, folders, script = os.path.realpath(path), (c.kUpdateFolder, c.kPostUpdateFolder), c.kUpdateScriptName
        if os.path.isdir(path):
            try:
                with os.scandir(path) as it:  # keys are FAT or exFAT: any case will do
                    entries = {e.name.lower(): e for e in it}
            except OSError as e:
                raise BadSource(f"cannot read the folder: {e.strerror}") from e
            if any(f.lower() in entries and entries[f.lower()].is_dir(follow_symlinks=False) for f in folders):
                return cls("root", path, None, f"your folder {path}, copied onto a fresh exFAT key as its root")
            if script in entries and entries[script].is_file(follow_symlinks=False):
                folder = folders[os.path.basename(path).lower() == folders[1].lower()]
                return cls("folder", path, folder, f"your folder {path}, copied onto a fresh exFAT key as {folder}/")
            raise BadSource(
                f"nothing to try there: a key's root holds {folders[0]}/ or {folders[1]}/, "
                f"an update folder holds {script}"
            )
        for wrong, problem in [
            (
                stat.S_ISBLK(os.stat(path).st_mode),
                f"a device, not an image: make one first (dd if={arg} of=key.img bs=4M) and give that",
            ),
            (not os.path.isfile(path), "neither a folder nor a key image"),
            (path.endswith(".sh"), "a script, not a key: give the folder that holds it"),
            (os.path.getsize(path) == 0, "an empty file, not a key image"),
            (not os.access(path, os.R_OK), "cannot read it"),
        ]:
            if wrong:
                raise BadSource(problem)
        return cls("image", path, None, f"a copy of your image {path}")

    def key(self, workdir, fs, c):
        """A new key image in WORKDIR with one partition of FS: the sample
        update script, or the folder staged (no link followed) and copied
        on; returns it and what of the folder was left out."""
        if self.kind == "sample":
            sample = {f"{c.kUpdateFolder}/{c.kUpdateScriptName}": SAMPLE_SCRIPT.encode()}
            return Key(workdir / "key.img", [(fs, 64, sample)]), []
        files = workdir / "stage"
        if self.folder:
            files.mkdir()
        try:
            staged = stage_folder(self.path, files / (self.folder or ""), MAX_FOLDER_BYTES)
            return Key(workdir / "key.img", [(fs, staged.key_mib(), files)]), staged.left_out
        finally:
            shutil.rmtree(files, ignore_errors=True)
