#!/bin/bash
# Asks systemd-analyze whether the unit is valid, with the built binary at the
# path the unit names and the manual page its Documentation= names. Run as
# root; both are put there only inside a private mount namespace (overlays over
# /usr/sbin and /usr/share/man/man8), so the host is untouched.
#
#   sudo packaging/check-unit.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: check-unit.sh BUILD_DIR}")
unit=$(realpath "$(dirname "$0")/tarvexd.service")
[ -x "$build/tarvexd" ] || { echo "check-unit: no $build/tarvexd" >&2; exit 2; }
[ -f "$build/packaging/tarvexd.8.gz" ] || { echo "check-unit: no $build/packaging/tarvexd.8.gz" >&2; exit 2; }

work=$(mktemp -d)
trap 'rmdir "$work"' EXIT
unshare --mount --propagation private -- bash -euc '
    work=$3
    mount -t tmpfs scratch "$work"
    mkdir "$work/upper" "$work/work" "$work/man-upper" "$work/man-work"
    mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$work/upper,workdir=$work/work" /usr/sbin
    cp "$1/tarvexd" /usr/sbin/tarvexd
    mount -t overlay overlay -o "lowerdir=/usr/share/man/man8,upperdir=$work/man-upper,workdir=$work/man-work" /usr/share/man/man8
    cp "$1/packaging/tarvexd.8.gz" /usr/share/man/man8/
    systemd-analyze verify "$2"
    echo "check-unit: $2 verified"
' check-unit "$build" "$unit" "$work"
