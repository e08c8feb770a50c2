#!/usr/bin/env bash
# Builds the Debian 12 system the system tests boot under QEMU:
#
#   scripts/system_image.sh ARCH OUT_DIR        (ARCH: amd64, arm64 or armhf)
#
# OUT_DIR gets root.img (ext4, labelled tarvexroot), vmlinuz and initrd.img;
# for armhf also rpi2b.dtb, the Raspberry Pi 2's device tree from Debian's
# kernel with its second UART switched on for the guest agent.
# Packages come from the sources apt is configured with on this machine, and
# from nothing else. The harness (tools/system_vm.py) caches the result,
# keyed on this file, ARCH and those sources, so any change here rebuilds it.
# An ARM build on an amd64 machine runs the target's maintainer scripts
# through qemu-user-static and binfmt_misc.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: system_image.sh amd64|arm64|armhf OUT_DIR" >&2; exit 2; }
arch=$1
out=$2
case $arch in
    amd64) kernel=linux-image-amd64 ;;
    arm64) kernel=linux-image-arm64 ;;
    armhf) kernel=linux-image-armmp ;;
    *) echo "system_image.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

# What a device has that the daemon and its package need, plus the guest
# agent the harness talks through. Docs and manuals are left out (see
# --dpkgopt below); they are most of an image's bytes.
packages=(
    "$kernel" systemd-sysv udev kmod sudo util-linux mount fdisk alsa-utils
    exfat-fuse e2fsprogs init-system-helpers procps qemu-guest-agent
)

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "system_image.sh: apt has no sources configured" >&2; exit 1; }

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    # The arm64 and armhf images are built side by side, and on a fresh
    # machine both find binfmt_misc unmounted: the builders take turns here
    # (a lock on this script), or the second mount fails.
    exec 9<"$0"
    flock 9
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable >/dev/null 2>&1 || true
    flock -u 9
    exec 9<&-
    case $arch in amd64) interpreter=qemu-x86_64 ;; arm64) interpreter=qemu-aarch64 ;; armhf) interpreter=qemu-arm ;; esac
    [ -e "/proc/sys/fs/binfmt_misc/$interpreter" ] ||
        { echo "system_image.sh: binfmt_misc has no $interpreter entry (qemu-user-static, binfmt-support)" >&2; exit 1; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvex-image.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir "$work/sounds"
# Short tones; the guest really plays them, at their real length.
sox -q -n -r 8000 -c 1 -b 16 "$work/sounds/disk_found.wav" synth 0.2 sine 660
sox -q -n -r 8000 -c 1 -b 16 "$work/sounds/error1.wav" synth 0.2 sine 220
sox -q -n -r 8000 -c 1 -b 16 "$work/sounds/beep-08b.wav" synth 0.1 sine 1000

# The initramfs holds only what finds the root disk on virtio or on USB
# storage, and on armhf also on the Pi 2's SD card: built in a chroot, "dep"
# cannot see the target's hardware, and "most" makes every build and every
# boot slower.
modules=(virtio_pci virtio_mmio virtio_blk virtio_console ext4 xhci_pci xhci_hcd usb_storage uas sd_mod)
[ "$arch" != armhf ] || modules+=(mmc_block sdhci_iproc)
# shellcheck disable=SC2016 # $1 is the hook's: mmdebstrap passes it the root
initramfs_hook='mkdir -p "$1/etc/initramfs-tools/conf.d"
printf "MODULES=list\nCOMPRESS=zstd\n" >"$1/etc/initramfs-tools/conf.d/tarvex-vm"
printf "%s\n" '"${modules[*]}"' >"$1/etc/initramfs-tools/modules"'

mmdebstrap --quiet --variant=minbase --arch="$arch" --include="$(IFS=,; echo "${packages[*]}")" \
    --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --essential-hook="$initramfs_hook" \
    bookworm "$root" "${sources[@]}"

# The device's user, sounds and a stand-in application.
chroot "$root" useradd --create-home --uid 1000 --user-group --groups audio --shell /bin/bash pi
install -m 0644 -o 1000 -g 1000 "$work/sounds/disk_found.wav" "$work/sounds/error1.wav" "$root/home/pi/"
install -d -m 0755 "$root/opt/quorl/Distrib/Data"
install -m 0644 "$work/sounds/beep-08b.wav" "$root/opt/quorl/Distrib/Data/"
cat >"$root/home/pi/Quorl" <<'EOF'
#!/bin/bash
# Stand-in for the device's application: runs until it is killed. Started as
# a script its first argument would be bash; the watchdog looks for Quorl
# there, and people look for it in the process name.
if [ "${QUORL_STANDIN:-}" != 1 ]; then
    QUORL_STANDIN=1 exec -a "$0" /bin/bash "$0" "$@"
fi
printf Quorl >/proc/self/comm
while :; do sleep 3600; done
EOF
chown 1000:1000 "$root/home/pi/Quorl"
chmod 0755 "$root/home/pi/Quorl"

# sudo resolves the host's own name on every call.
echo tarvex-vm >"$root/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\ttarvex-vm\n' >"$root/etc/hosts"
echo 'LABEL=tarvexroot / ext4 rw,errors=remount-ro 0 1' >"$root/etc/fstab"
# The journal in memory: the tests read this boot's lines only, and a power
# cut should cost the disk nothing but the test's own files.
mkdir -p "$root/etc/systemd/journald.conf.d"
printf '[Journal]\nStorage=volatile\nRateLimitBurst=0\n' >"$root/etc/systemd/journald.conf.d/tarvex-vm.conf"
# The agent logs every call at info level, and the harness polls.
mkdir -p "$root/etc/systemd/system/qemu-guest-agent.service.d"
printf '[Service]\nLogLevelMax=notice\n' >"$root/etc/systemd/system/qemu-guest-agent.service.d/quiet.conf"
# Nothing that starts work of its own during a test.
systemctl --root="$root" mask --quiet apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer \
    e2scrub_reap.service fstrim.timer systemd-timesyncd.service getty@tty1.service \
    systemd-networkd-wait-online.service getty-static.service 2>/dev/null || true
systemctl --root="$root" set-default --quiet multi-user.target
# A board with neither virtio nor PCI (the Pi 2) reaches the agent through a
# serial port, which the kernel's command line names:
# systemd.wants=tarvex-qga@ttyS1.service. Nor has it a sound card: the
# loopback card, which plays into nothing, stands in (Debian's armmp kernel
# has no dummy card).
cat >"$root/etc/systemd/system/tarvex-qga@.service" <<'EOF'
[Unit]
Description=QEMU guest agent on %I
# Not bound to the device's unit: udev may announce the port minutes after
# the kernel made its node.
StartLimitIntervalSec=0

[Service]
ExecStart=/usr/sbin/qemu-ga --method=isa-serial --path=/dev/%I
Restart=always
RestartSec=1
LogLevelMax=notice
EOF
[ "$arch" != armhf ] || echo snd-aloop >"$root/etc/modules-load.d/tarvex-vm.conf"
rm -rf "$root/var/lib/apt/lists"/* "$root/var/cache/apt"/*.bin

mkdir -p "$work/out"
cp "$root"/boot/vmlinuz-* "$work/out/vmlinuz"
cp "$root"/boot/initrd.img-* "$work/out/initrd.img"
if [ "$arch" = armhf ]; then
    # The SD card on the SoC's SDHCI rather than its SD host, whose driver
    # times out waiting for the emulated controller on a busy machine and
    # then dereferences a null pointer (seen here with Debian's 6.1 kernel).
    dtb=$work/out/rpi2b.dtb
    cp "$root"/usr/lib/linux-image-*/bcm2836-rpi-2-b.dtb "$dtb"
    fdtput -t s "$dtb" /soc/serial@7e215040 status okay
    fdtput -t s "$dtb" /soc/mmc@7e202000 status disabled
    fdtput -t s "$dtb" /soc/mmc@7e300000 status okay
    fdtput -t i "$dtb" /soc/mmc@7e300000 bus-width 4
fi
# Room for a few package installs and keys' worth of logs.
mkfs.ext4 -q -L tarvexroot -d "$root" "$work/out/root.img" 2G
mkdir -p "$(dirname "$out")"
rm -rf "$out"
mv "$work/out" "$out"
