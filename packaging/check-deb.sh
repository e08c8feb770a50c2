#!/bin/bash
# Installs, removes, reinstalls, upgrades and purges the amd64 package with
# dpkg, as an administrator would, and after each step asks sudo what pi may
# run as root and looks at the trusted keys in /etc/tarvexd and at the mount
# point /home/pi/media.
#
#   sudo packaging/check-deb.sh BUILD_DIR
#
# BUILD_DIR is this check's own: packaging/build.sh builds four versions of
# the package there, each newer than the one before: the plain one, then one
# with two trusted keys, one with one of them, one with none; and it makes
# one older than all, with the rules as a conffile, as packages were once
# made. dpkg runs chrooted into an overlay of this
# machine's / whose writable layer is a tmpfs mounted inside a private mount
# namespace: whatever dpkg and the maintainer scripts write vanishes with the
# namespace, also after a failure or Ctrl-C. The host's dpkg database, /etc
# and /usr are never written.
set -euo pipefail
# shellcheck source=packaging/private-ns.sh
. "$(dirname "$0")/private-ns.sh"

if [ "$inside" = 0 ]; then
    [ $# = 1 ] || { echo "usage: check-deb.sh BUILD_DIR" >&2; exit 2; }
    here=$(cd "$(dirname "$0")" && pwd)
    build=$1

    mkdir "$work/debs" "$work/ns"
    for k in maker-a maker-b; do
        minisign -G -W -p "$work/$k.pub" -s "$work/$k.key" >/dev/null
    done
    # NAME.deb in the work dir, from packaging/build.sh ARGS.
    build_deb() {
        local name=$1
        shift
        "$here/build.sh" amd64 "$build" "$@" >"$work/build.log" 2>&1 ||
            { cat "$work/build.log" >&2; exit 1; }
        cp "$build"/tarvexd_*_amd64.deb "$work/debs/$name.deb"
    }
    build_deb plain
    # Each later one is a newer version, as a maker would number them.
    v=$(dpkg-deb -f "$work/debs/plain.deb" Version)
    build_deb keys-ab --deb-version "$v+1" --trusted-key "$work/maker-a.pub" --trusted-key "$work/maker-b.pub"
    # The maker's log key (the daemon's own build reads the formats).
    TARVEX_BUILD=${TARVEX_BUILD:-$here/../build} "$here/../tools/tarvex-key" keygen \
        --public "$work/log.pub" --secret "$work/log.key" >/dev/null
    build_deb keys-b --deb-version "$v+2" --trusted-key "$work/maker-b.pub" --log-key "$work/log.pub"
    build_deb no-keys --deb-version "$v+3"
    # An older version as earlier packages were made: the rules shipped in
    # force, as a conffile, and no maintainer scripts to speak of.
    dpkg-deb -R "$work/debs/plain.deb" "$work/old"
    mkdir -p "$work/old/etc/sudoers.d"
    install -m 0440 "$work/old/usr/share/tarvexd/sudoers" "$work/old/etc/sudoers.d/tarvexd"
    rm "$work/old/usr/share/tarvexd/sudoers" "$work"/old/DEBIAN/*inst "$work"/old/DEBIAN/*rm
    echo /etc/sudoers.d/tarvexd >"$work/old/DEBIAN/conffiles"
    sed -i "s/^Version: .*/Version: $v~old/" "$work/old/DEBIAN/control"
    dpkg-deb -b --root-owner-group "$work/old" "$work/debs/old.deb" >/dev/null
    run_inside
fi

# --- inside the private mount namespace ---------------------------------
ns=$work/ns
root=$ns/root
mount -t tmpfs -o mode=700 scratch "$ns"
mkdir "$ns/upper" "$ns/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$ns/upper,workdir=$ns/work" "$root"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
cp "$work"/debs/*.deb "$work"/*.pub "$root/tmp/"

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c "$1" </dev/null
}
# pi as on a device; mandb after each install is slow and beside the point.
in_root 'useradd -m -s /bin/bash pi && rm -f /var/lib/man-db/auto-update'
# Whatever an earlier run of the host left: this check starts from nothing.
in_root 'dpkg -P tarvexd >/dev/null 2>&1 || true'

# What each expectation checks, inside the root.
rules=/etc/sudoers.d/tarvexd
check() {
    local what=$1 want=$2
    case $what in
        state)
            got=$(in_root "dpkg-query -W -f='\${db:Status-Status}' tarvexd 2>/dev/null || echo not-installed")
            ;;
        rules)
            # sudo's own answer to the daemon's commonest root step.
            if in_root "sudo -n -l -U pi /usr/libexec/tarvexd/tarvex-mount unmount" >/dev/null 2>&1; then
                got=on
                perms=$(in_root "stat -c '%a %U:%G' $rules")
                [ "$perms" = "440 root:root" ] || got="on, but $rules is $perms"
            else
                got=off
            fi
            ;;
        edit)
            if in_root "sudo -n -l -U pi /usr/bin/id" >/dev/null 2>&1; then got=on; else got=off; fi
            ;;
        media)
            m=/home/pi/media
            if in_root "test -L $m"; then
                got="link"
            elif ! in_root "test -d $m"; then
                got=absent
            elif in_root "mountpoint -q $m"; then
                got=mounted
            else
                got=$(in_root "stat -c %U $m")
                case $(in_root "lsattr -d $m") in ????i*) got="$got, immutable" ;; esac
            fi
            ;;
        keys)
            if in_root "test -e /etc/tarvexd"; then
                got=$(in_root "cd /etc/tarvexd/trusted-keys && ls" | tr '\n' ' ')
                got=${got% }
                got=${got:-none}
                # Only root may change what the daemon trusts.
                bad=$(in_root "find /etc/tarvexd \( -type d ! -perm 755 \) -o \( -type f ! -perm 644 \) -o ! -user root -o ! -group root")
                [ -z "$bad" ] || got="$got, wrong mode or owner: $bad"
                for k in $want; do
                    case $k in
                        maker-*) in_root "cmp -s /tmp/$k /etc/tarvexd/trusted-keys/$k" || got="$got, $k differs" ;;
                    esac
                done
            else
                got=absent
                # Nor anything the package or the daemon kept in /var/lib.
                in_root "test ! -e /var/lib/tarvexd" || got="absent, but /var/lib/tarvexd stays"
            fi
            ;;
    esac
}

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    echo "${s%"${s##*[![:space:]]}"}"
}

passed=0
failed=0
step=0
# One row per administrator's action: the command run as root in the device's
# root ("!" in front: it must fail), then what must hold afterwards: dpkg's
# state of tarvexd; whether pi may run the daemon's root steps; whether the
# local rule added by "edit" is in force; the keys in /etc/tarvexd/trusted-keys
# ("absent": no /etc/tarvexd at all, nor /var/lib/tarvexd); the mount point's
# owner, whether it is immutable, or what else it is.
while IFS='|' read -r cmd state rules_want edit_want keys_want media_want; do
    cmd=$(trim "$cmd")
    case $cmd in "" | "#"*) continue ;; esac
    step=$((step + 1))
    expect_fail=0
    if [ "${cmd:0:2}" = "! " ]; then
        expect_fail=1
        cmd=${cmd:2}
    fi
    rc=0
    out=$(in_root "$cmd" 2>&1) || rc=$?
    problems=()
    if [ $expect_fail = 0 ] && [ $rc != 0 ]; then problems+=("exit status $rc: $out"); fi
    if [ $expect_fail = 1 ] && [ $rc = 0 ]; then problems+=("succeeded, should have failed"); fi
    for pair in "state:$state" "rules:$rules_want" "edit:$edit_want" "keys:$keys_want" \
        "media:$media_want"; do
        what=${pair%%:*}
        want=$(trim "${pair#*:}")
        check "$what" "$want"
        [ "$got" = "$want" ] || problems+=("$what is '$got', want '$want'")
    done
    # After every step: sudo still parses its whole configuration, for everyone.
    in_root "visudo -c -q" >/dev/null 2>&1 || problems+=("visudo -c rejects the configuration")
    if [ ${#problems[@]} = 0 ]; then
        printf 'ok    %2d %s\n' "$step" "$cmd"
        passed=$((passed + 1))
    else
        printf 'FAIL  %2d %s\n' "$step" "$cmd"
        printf '        %s\n' "${problems[@]}"
        failed=$((failed + 1))
    fi
done <<'EOF'
# command                                                | state         | rules | edit | keys                    | media
dpkg -i /tmp/plain.deb                                   | installed     | on    | off  | absent                  | root, immutable
# pi can neither remove nor replace it.
! su pi -c 'rmdir /home/pi/media'                        | installed     | on    | off  | absent                  | root, immutable
! su pi -c 'mv /home/pi/media /home/pi/old'              | installed     | on    | off  | absent                  | root, immutable
# Removed: the rules go first and the flag stays, so that pi cannot swap the
# mount point for a link before the package comes back.
dpkg -r tarvexd                                          | config-files  | off   | off  | absent                  | root, immutable
! su pi -c 'mv /home/pi/media /home/pi/old'              | config-files  | off   | off  | absent                  | root, immutable
dpkg -i /tmp/plain.deb                                   | installed     | on    | off  | absent                  | root, immutable
# The rules file is the package's: a rule added there lasts until the next
# configure.
echo 'pi ALL = (root) NOPASSWD: /usr/bin/id' >>/etc/sudoers.d/tarvexd | installed | on | on | absent | root, immutable
dpkg-reconfigure tarvexd                                 | installed     | on    | off  | absent                  | root, immutable
dpkg -r tarvexd                                          | config-files  | off   | off  | absent                  | root, immutable
# Freed by hand after a remove, the mount point is pi's to move: pi puts a
# link to /etc/cron.daily there. The install puts the rules in all the same:
# tarvex-mount refuses to mount on anything but the locked directory.
chattr -i /home/pi/media && su pi -c 'mv /home/pi/media /home/pi/old && ln -s /etc/cron.daily /home/pi/media' | config-files | off | off | absent | link
dpkg -i /tmp/keys-ab.deb                                 | installed     | on    | off  | maker-a.pub maker-b.pub | link
# Not empty, or something mounted on an unlocked one: left as it is.
rm /home/pi/media && rmdir /home/pi/old && su pi -c 'mkdir /home/pi/media && touch /home/pi/media/file' | installed | on | off | maker-a.pub maker-b.pub | pi
dpkg-reconfigure tarvexd                                 | installed     | on    | off  | maker-a.pub maker-b.pub | pi
rm /home/pi/media/file && mount -t tmpfs key /home/pi/media | installed  | on    | off  | maker-a.pub maker-b.pub | mounted
cp /tmp/maker-a.pub /etc/tarvexd/trusted-keys/local.pub  | installed     | on    | off  | local.pub maker-a.pub maker-b.pub | mounted
dpkg -i /tmp/keys-b.deb >/tmp/said 2>&1 && grep -q "not root's and immutable" /tmp/said | installed | on | off | local.pub maker-b.pub | mounted
umount /home/pi/media && rm /etc/tarvexd/trusted-keys/local.pub | installed | on | off | maker-b.pub           | pi
# Emptied and freed, it is taken over by the next configure.
dpkg -i /tmp/no-keys.deb                                 | installed     | on    | off  | none                    | root, immutable
# Rules deleted by hand come back with the next configure.
rm /etc/sudoers.d/tarvexd                                | installed     | off   | off  | none                    | root, immutable
dpkg-reconfigure tarvexd                                 | installed     | on    | off  | none                    | root, immutable
dpkg -r tarvexd                                          | config-files  | off   | off  | none                    | root, immutable
dpkg -P tarvexd                                          | not-installed | off   | off  | absent                  | root
# A missing mount point is made.
rmdir /home/pi/media                                     | not-installed | off   | off  | absent                  | absent
# With its log key, installed as the trusted keys are.
dpkg -i /tmp/keys-b.deb && test -f /etc/tarvexd/log-keys/log.pub | installed | on | off | maker-b.pub | root, immutable
# The releases run so far, as the unit's StateDirectory= keeps them.
install -d -o pi -g pi /var/lib/tarvexd/state && echo '_QuorlUpdate 4' >/var/lib/tarvexd/state/releases | installed | on | off | maker-b.pub | root, immutable
# A key mounted on the locked directory, as when a key's own script upgrades
# the package: reinstalled, reconfigured and upgraded, the rules stay in
# force, and the directory beneath the key stays locked.
mount -t tmpfs key /home/pi/media                        | installed     | on    | off  | maker-b.pub             | mounted
dpkg -i /tmp/keys-b.deb >/tmp/said 2>&1 && ! grep "not root's" /tmp/said | installed | on | off | maker-b.pub | mounted
dpkg-reconfigure tarvexd >/tmp/said 2>&1 && ! grep "not root's" /tmp/said | installed | on | off | maker-b.pub | mounted
dpkg -i /tmp/no-keys.deb >/tmp/said 2>&1 && ! grep "not root's" /tmp/said && test ! -e /etc/tarvexd/log-keys/log.pub | installed | on | off | none | mounted
umount /home/pi/media                                    | installed     | on    | off  | none                    | root, immutable
# Purged while installed: the rules go, then the flag, and the releases.
dpkg -P tarvexd                                          | not-installed | off   | off  | absent                  | root
# Upgrades from the rules as a conffile: unchanged ones are replaced, edited
# ones kept aside, where sudo ignores them, until a purge.
dpkg -i /tmp/old.deb                                     | installed     | on    | off  | absent                  | root
dpkg -i /tmp/plain.deb && test ! -e /etc/sudoers.d/tarvexd.dpkg-bak | installed | on | off | absent          | root, immutable
dpkg -P tarvexd                                          | not-installed | off   | off  | absent                  | root
dpkg -i /tmp/old.deb && echo 'pi ALL = (root) NOPASSWD: /usr/bin/id' >>/etc/sudoers.d/tarvexd | installed | on | on | absent | root
dpkg -i /tmp/plain.deb && grep -q /usr/bin/id /etc/sudoers.d/tarvexd.dpkg-bak | installed | on | off | absent | root, immutable
dpkg -P tarvexd && test ! -e /etc/sudoers.d/tarvexd.dpkg-bak | not-installed | off | off | absent          | root
EOF

echo "check-deb: $passed passed, $failed failed"
[ "$failed" = 0 ]
