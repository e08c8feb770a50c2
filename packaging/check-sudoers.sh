#!/bin/bash
# Checks the sudoers drop-in for tarvexd without installing it.
#
#   sudo packaging/check-sudoers.sh [DROPIN]     (default: packaging/tarvexd)
#
# 1. visudo -cf on the drop-in alone and on a main sudoers that includes it.
# 2. In a private mount namespace, where a throwaway sudoers, passwd and group
#    (with a user pi) are bind-mounted over /etc's, asks sudo itself with
#    "sudo -l -U pi CMD" whether pi may run each command line of the table
#    below, and reads the full listing for the NOPASSWD rule and the defaults
#    that keep these commands out of the system log.
# Nothing on the host changes: the bind mounts vanish with the namespace and
# the temporary directory is removed on exit, also after a failure or Ctrl-C.
#
# This checks what the policy says. That pi really runs them without a
# password and that no log line is written is proven in the sandbox
# (tests/e2e/test_sudoers.py).
set -euo pipefail
# shellcheck source=packaging/private-ns.sh
. "$(dirname "$0")/private-ns.sh"

if [ "$inside" = 0 ]; then
    here=$(cd "$(dirname "$0")" && pwd)
    dropin=$(realpath "${1:-$here/tarvexd}")

    # sudo silently skips drop-ins whose name contains a dot or ends in ~.
    case $(basename "$dropin") in
        *.*|*~) echo "FAIL: sudo ignores a sudoers.d file named $(basename "$dropin")"; exit 1 ;;
    esac
    # An installed drop-in must be root's and 0440, or sudo refuses to start.
    case $dropin in
        */sudoers.d/*)
            perms=$(stat -c '%a %U:%G' "$dropin")
            [ "$perms" = "440 root:root" ] || { echo "FAIL: $dropin is $perms, want 440 root:root"; exit 1; }
            ;;
    esac

    visudo -cf "$dropin"

    install -m 0440 "$dropin" "$work/tarvexd"
    # Debian's stock /etc/sudoers, with the drop-in as the only include.
    cat >"$work/sudoers" <<EOF
Defaults env_reset
Defaults mail_badpass
Defaults secure_path="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
Defaults use_pty
root ALL=(ALL:ALL) ALL
%sudo ALL=(ALL:ALL) ALL
@include $work/tarvexd
EOF
    chmod 0440 "$work/sudoers"
    visudo -cf "$work/sudoers"

    cp /etc/passwd "$work/passwd"
    cp /etc/group "$work/group"
    if ! getent passwd pi >/dev/null; then
        uid=4000
        while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do
            uid=$((uid + 1))
        done
        echo "pi:x:$uid:$uid:pi:/home/pi:/bin/bash" >>"$work/passwd"
        echo "pi:x:$uid:" >>"$work/group"
    fi
    run_inside
fi

# --- inside the private mount namespace ---------------------------------
for f in sudoers passwd group; do
    mount --bind "$work/$f" "/etc/$f"
done
# sudo allows only a program that exists: the package's, as a stand-in, in an
# overlay over this machine's /usr/libexec (sudo's own plugins live there).
mkdir -p "$work/libexec/tarvexd" "$work/libexec-work"
install -m 0755 /bin/true "$work/libexec/tarvexd/tarvex-mount"
mount -t overlay overlay \
    -o "lowerdir=/usr/libexec,upperdir=$work/libexec,workdir=$work/libexec-work" /usr/libexec

failures=0
# allow|deny, then the command line exactly as the daemon (or an attacker)
# would pass it to sudo. Bare names resolve through secure_path.
while IFS='|' read -r want cmd; do
    [ -n "$want" ] || continue
    # shellcheck disable=SC2086 # the command line is split into words on purpose
    if sudo -n -l -U pi $cmd >/dev/null 2>&1; then got=allow; else got=deny; fi
    if [ "$got" = "$want" ]; then
        printf 'ok    %-5s sudo %s\n' "$want" "$cmd"
    else
        printf 'FAIL  %-5s sudo %s  (sudo says %s)\n' "$want" "$cmd" "$got"
        failures=$((failures + 1))
    fi
done <<'EOF'
allow|fdisk -l /dev/sda1
allow|fdisk -l /dev/sdz0
allow|fdisk -l /dev/sdb12
allow|fdisk -l /dev/sdc
allow|/usr/sbin/fdisk -l /dev/sda1
allow|/sbin/fdisk -l /dev/sda1
allow|/usr/libexec/tarvexd/tarvex-mount mount sda1 vfat owner
allow|/usr/libexec/tarvexd/tarvex-mount mount sdb ext4 plain
allow|/usr/libexec/tarvexd/tarvex-mount mount sda1 vfat,ext4,ext3,ext2,exfat plain
allow|/usr/libexec/tarvexd/tarvex-mount unmount
deny|mount -t vfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t exfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t ext4 -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t ext3 -o nosuid,nodev /dev/sdb /home/pi/media
deny|mount -t ext2 -o nosuid,nodev /dev/sdc15 /home/pi/media
deny|mount -t vfat,ext4,ext3,ext2,exfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sdb /home/pi/media
deny|mount -t vfat,ext4,ext3,ext2,exfat -o nosuid,nodev /dev/sdb /home/pi/media
deny|/usr/bin/mount -t vfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|/bin/mount -t vfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|/bin/mount -t ext4 -o nosuid,nodev /dev/sda /home/pi/media
deny|umount /home/pi/media
deny|/bin/umount /home/pi/media
deny|fdisk -l /dev/mmcblk0
deny|fdisk -l /dev/mmcblk0p2
deny|fdisk -l
deny|fdisk -l /dev/sd
deny|fdisk -l /dev/sdA1
deny|fdisk -l /dev/sdaa1
deny|fdisk -l /dev/sda1x
deny|fdisk -l /dev/sda1 /dev/mmcblk0
deny|fdisk /dev/sda
deny|fdisk -w always /dev/sda
deny|mount -t vfat /dev/sda1 /mnt
deny|mount -t vfat /dev/sda1 /home/pi
deny|mount -t vfat -o nosuid,nodev /dev/sda1 /home/pi/media/sub
deny|mount -t vfat -o nosuid,nodev /dev/mmcblk0p1 /home/pi/media
deny|mount -t vfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media -o suid
deny|mount -t vfat -o rw -o uid=pi -o gid=pi -o nosuid,nodev -o dev /dev/sda1 /home/pi/media
deny|mount -t vfat -o rw -o uid=pi -o gid=pi /dev/sda1 /home/pi/media
deny|mount -t vfat /dev/sda1 /home/pi/media
deny|mount -t vfat -o nosuid /dev/sda1 /home/pi/media
deny|mount -t vfat -o nodev /dev/sda1 /home/pi/media
deny|mount -t vfat -o suid,nodev /dev/sda1 /home/pi/media
deny|mount -t vfat -o rw -o uid=0 -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t vfat -o rw /dev/sda1 /home/pi/media
deny|mount -t vfat -o nosuid,nodev /dev/sda1 /home/pi/media2
deny|mount -t vfat /dev/sda1 /home/pi/media -o rw -o uid=pi -o gid=pi -o nosuid,nodev
deny|mount /dev/sda1 /home/pi/media -t vfat -o nosuid,nodev
deny|mount -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -o nosuid,nodev -t vfat /dev/sda1 /home/pi/media
deny|mount -t minix -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t ntfs -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t ntfs3 -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t vfat,exfat,ntfs,ext4,ext3,ext2 -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t bfs -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t btrfs -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t auto -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t novfat -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t vfat,minix -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t minix,vfat,ext4,ext3,ext2,exfat -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t fuse.sshfs -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -t vfat -t minix -o nosuid,nodev /dev/sda1 /home/pi/media
deny|mount -o remount,rw /
deny|mount -o remount /home/pi/media
deny|mount --bind /etc /home/pi/media
deny|mount -t tmpfs none /home/pi/media
deny|mount /home/pi/media
deny|umount /
deny|umount -a
deny|umount -l /home/pi/media
deny|umount /home/pi/media /
deny|rm -r /home/pi/media
deny|/bin/rm -r /home/pi/media
deny|rm -r /etc
deny|rm -rf /home/pi/media
deny|rm -r /home/pi
deny|sh
deny|sh -c id
deny|bash
deny|id
deny|sudoedit /etc/sudoers.d/tarvexd
deny|-u nobody fdisk -l /dev/sda1
deny|-u pi umount /home/pi/media
deny|-u nobody /usr/libexec/tarvexd/tarvex-mount unmount
deny|/usr/libexec/tarvexd/../../bin/mount /dev/sda1 /mnt
EOF

# The whole policy for pi: one NOPASSWD rule, run as root only, and the
# defaults that keep the allowed commands out of syslog and off a tty.
listing=$(sudo -n -l -U pi 2>&1 | tr -s ' \n' ' ')
check_listing() {
    if grep -qF -- "$2" <<<"$listing"; then
        printf 'ok    listing %s\n' "$1"
    else
        printf 'FAIL  listing %s: no "%s" in: %s\n' "$1" "$2" "$listing"
        failures=$((failures + 1))
    fi
}
check_listing "runs as root without password" "(root) NOPASSWD: /usr/sbin/fdisk"
check_listing "no syslog line, no PAM session, no tty" "!log_allowed, !pam_session, !requiretty"
if grep -qE '\(ALL' <<<"$listing"; then
    printf 'FAIL  listing: pi may run commands as ALL: %s\n' "$listing"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "check-sudoers: $failures check(s) failed"
    exit 1
fi
echo "check-sudoers: all checks passed"
