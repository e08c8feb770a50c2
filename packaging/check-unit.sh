#!/bin/bash
# Asks systemd-analyze whether the unit is valid, with the built binary at the
# path the unit names. Run as root; the binary is put there only inside a
# private mount namespace (an overlay over /usr/sbin), so the host is untouched.
#
#   sudo packaging/check-unit.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: check-unit.sh BUILD_DIR}")
unit=$(realpath "$(dirname "$0")/tarvexd.service")
[ -x "$build/tarvexd" ] || { echo "check-unit: no $build/tarvexd" >&2; exit 2; }

work=$(mktemp -d)
trap 'rmdir "$work"' EXIT
unshare --mount --propagation private -- bash -euc '
    work=$3
    mount -t tmpfs scratch "$work"
    mkdir "$work/upper" "$work/work"
    mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$work/upper,workdir=$work/work" /usr/sbin
    cp "$1/tarvexd" /usr/sbin/tarvexd
    systemd-analyze verify "$2"
    echo "check-unit: $2 verified"
' check-unit "$build" "$unit" "$work"
