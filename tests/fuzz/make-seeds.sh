#!/usr/bin/env bash
# Makes the seed corpora under corpus/ with the real tools: minisign, sfdisk and
# fdisk, the kernel's mount table, real processes' command lines. Run as root;
# it mounts only inside a private mount namespace and leaves nothing behind.
# Seeds the fuzzers added (crashes found, kept for good) are left alone.
# seed.key, without a password, signs the signature seeds; its public half is
# the harness's trusted key and is trusted nowhere else.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
work=$(mktemp -d /tmp/tarvex-seeds.XXXXXX)
images=$(mktemp -d /dev/shm/tarvex-seeds.XXXXXX)  # tmpfs: sparse images up to EiB
loop=
cleanup() {
  [ -z "$loop" ] || losetup -d "$loop"
  rm -rf "$work" "$images"
}
trap cleanup EXIT
mkdir -p "$out"/{fuzz_signature,fuzz_public_key,fuzz_fdisk_size,fuzz_mountinfo,fuzz_cmdline,fuzz_trusted_comment,fuzz_release_state,fuzz_mount_request}
cd "$work"

# Signatures by seed.key (the harness's trusted key): the file, a NUL, the script.
printf '#!/bin/sh\necho updated > /home/pi/done\n' > s.sh
sig() {  # NAME MINISIGN-OPTIONS...
  local name=$1; shift
  rm -f s.sh.minisig
  minisign -S -s "$here/seed.key" -m s.sh "$@" >/dev/null
  { cat s.sh.minisig; printf '\0'; cat s.sh; } > "$out/fuzz_signature/$name"
}
sig prehashed
sig legacy -l
sig trusted-comment -t 'timestamp:1700000000	file:quorlupdate.sh	hashed'
sig legacy-trusted-comment -l -t 'made by the maker, with "quotes" and Ümlauts'
sig bound -t 'folder:_QuorlUpdate release:42'

# Trusted comments as makers sign them, read back from the signature file.
tc() {  # NAME COMMENT
  rm -f s.sh.minisig
  minisign -S -s "$here/seed.key" -m s.sh -t "$2" >/dev/null
  sed -n 's/^trusted comment: //p' s.sh.minisig | tr -d '\n' > "$out/fuzz_trusted_comment/$1"
}
tc update 'folder:_QuorlUpdate release:42'
tc post-update-tabs 'release:9223372036854775807	folder:_QuorlPostUpdate	note:rollback'
tc default "$(minisign -S -s "$here/seed.key" -m s.sh >/dev/null && sed -n 's/^trusted comment: //p' s.sh.minisig)"
tc two-folders 'folder:_QuorlUpdate folder:_QuorlPostUpdate release:1'
tc too-large 'folder:_QuorlUpdate release:9223372036854775808'

# The releases file as the daemon writes it.
printf '_QuorlUpdate 42\n' > "$out/fuzz_release_state/one"
printf '_QuorlPostUpdate 7\n_QuorlUpdate 9223372036854775807\n' > "$out/fuzz_release_state/both"
sed 's/$/\r/' s.sh.minisig > crlf.minisig
{ cat crlf.minisig; printf '\0'; cat s.sh; } > "$out/fuzz_signature/crlf"
minisign -G -W -p other.pub -s other.key >/dev/null
rm -f s.sh.minisig && minisign -S -s other.key -m s.sh >/dev/null
{ cat s.sh.minisig; printf '\0'; cat s.sh; } > "$out/fuzz_signature/other-key"

# Public key files.
cp "$here/seed.pub" "$out/fuzz_public_key/seed"
cp other.pub "$out/fuzz_public_key/other"
sed 's/$/\r/' other.pub > "$out/fuzz_public_key/crlf"
head -c -1 other.pub > "$out/fuzz_public_key/no-final-newline"

# fdisk -l on images: every kind of table, and every unit fdisk prints.
fd() {  # NAME SIZE [SFDISK-SCRIPT [SFDISK-OPTIONS...]]
  local name=$1 size=$2; shift 2
  (cd "$images"
  truncate -s "$size" "$name.img"
  if [ $# -gt 0 ]; then
    local script=$1; shift
    printf '%b' "$script" | sfdisk -q "$@" "$name.img" >/dev/null
  fi
  fdisk -l "$name.img" > "$out/fuzz_fdisk_size/$name")
}
fd no-table-bytes 512
fd no-table-kib 64K
fd no-table-mib 7M
fd no-table-gib 8053063680
fd no-table-tib 2T
fd no-table-pib 1536T
fd no-table-eib 2E
fd mbr 64M 'label: dos\n,16M,c,*\n,16M,83\n,,5\n,8M,83\n'
fd gpt 64M 'label: gpt\n,16M,U\n,16M,L\n,,L\n'
fd hybrid 64M 'label: gpt\n,16M,L\n,,L\n'
(cd "$images"
printf 'label: dos\n,16M,c\n,,ee\n' | sfdisk -q --label-nested dos hybrid.img >/dev/null
fdisk -l hybrid.img > "$out/fuzz_fdisk_size/hybrid"
fdisk -l -t dos hybrid.img > "$out/fuzz_fdisk_size/hybrid-mbr-side")
fd gpt-128 200M "label: gpt\n$(for _ in $(seq 128); do printf ',1M\\n'; done)"

# mountinfo lines: this system's own, and mounts whose names need escapes
# (blank, tab, backslash, newline) and a FUSE source, made in a private
# namespace. The FUSE exFAT driver wants a block device: a loop, detached on exit.
truncate -s 8M exfat.img && mkfs.exfat exfat.img >/dev/null
loop=$(losetup -f --show exfat.img)
# shellcheck disable=SC2016 # expanded by the inner shell, with the loop as its $0
unshare --mount --propagation private sh -c '
  set -e
  mkdir -p "my key" "tab	and\\back" "$(printf "new\nline")" fusemnt
  mount -t tmpfs "source with blanks" "my key"
  mount --make-shared "my key"  # optional fields: shared:N, and master:N below
  mkdir bound && mount --bind "my key" bound && mount --make-slave bound
  mount -t tmpfs -o ro,nosuid "src\\back" "tab	and\\back"
  mount -t tmpfs none "$(printf "new\nline")"
  mount.exfat-fuse -o uid=0,gid=0 "$0" fusemnt >/dev/null 2>&1
  cat /proc/self/mountinfo > mountinfo
  umount fusemnt' "$loop"
n=0
# Ours, and the kinds every system has.
awk '$5 ~ /tarvex-seeds/ || $5 ~ /^\/(proc|sys|dev|dev\/pts|dev\/shm|sys\/fs\/cgroup)?$/' mountinfo |
while IFS= read -r line; do
  n=$((n + 1)); printf '%s' "$line" > "$out/fuzz_mountinfo/line-$n"
done

# /proc/<pid>/cmdline of real processes, started under the names the
# watchdog must and must not take for the application.
mkdir -p home/pi other && cp "$(command -v sleep)" home/pi/Quorl
printf '#!/bin/sh\nsleep 30\n' > other/Quorl && chmod +x other/Quorl
cl() {  # NAME SHELL-COMMAND
  bash -c "$2" >/dev/null 2>&1 & local pid=$!
  sleep 0.2
  cat "/proc/$pid/cmdline" > "$out/fuzz_cmdline/$1"
  pkill -P "$pid" || true  # the script's sleep
  kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
}
cl full-path "exec $work/home/pi/Quorl 30 1"
cl relative "cd $work/home/pi && exec ./Quorl 30"
cl renamed "exec -a 'Quorl: worker with blanks' $work/home/pi/Quorl 30"
cl newline "exec -a '$(printf 'Quorl\nx')' $work/home/pi/Quorl 30"
cl by-interpreter "exec sh $work/other/Quorl"
cl other-case "exec -a /home/pi/quorl $work/home/pi/Quorl 30"
cat /proc/2/cmdline > "$out/fuzz_cmdline/kernel-thread"  # empty

# The root program's arguments as the daemon passes them (NUL between
# words), and fstab lines as the system keeps them.
m=$out/fuzz_mount_request
printf 'mount\0sda1\0vfat\0owner' > "$m/mount-owner"
printf 'mount\0sdb\0vfat,ext4,ext3,ext2,exfat\0plain' > "$m/mount-list"
printf 'unmount' > "$m/unmount"
printf 'UUID=0123-4567 /data vfat defaults 0 0' > "$m/fstab-uuid"
printf '/dev/sda1\t/data ext4 defaults 0 2' > "$m/fstab-path"
printf 'PARTLABEL="data" /data ext4 defaults' > "$m/fstab-label"
