#!/bin/bash
# Asks systemd-analyze whether the unit is valid, with the built binary at the
# path the unit names and the manual page its Documentation= names. Run as
# root; both are put there only inside a private mount namespace (overlays over
# /usr/sbin and /usr/share/man/man8), so the host is untouched.
#
#   sudo packaging/check-unit.sh BUILD_DIR
set -euo pipefail
# shellcheck source=packaging/private-ns.sh
. "$(dirname "$0")/private-ns.sh"

build=$(realpath "${1:?usage: check-unit.sh BUILD_DIR}")
unit=$(realpath "$(dirname "$0")/tarvexd.service")
if [ "$inside" = 0 ]; then
    [ -x "$build/tarvexd" ] || { echo "check-unit: no $build/tarvexd" >&2; exit 2; }
    [ -f "$build/packaging/tarvexd.8.gz" ] || { echo "check-unit: no $build/packaging/tarvexd.8.gz" >&2; exit 2; }
    run_inside
fi

mount -t tmpfs scratch "$work"
mkdir "$work/upper" "$work/work" "$work/man-upper" "$work/man-work"
mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$work/upper,workdir=$work/work" /usr/sbin
cp "$build/tarvexd" /usr/sbin/tarvexd
mount -t overlay overlay -o "lowerdir=/usr/share/man/man8,upperdir=$work/man-upper,workdir=$work/man-work" /usr/share/man/man8
cp "$build/packaging/tarvexd.8.gz" /usr/share/man/man8/
systemd-analyze verify "$unit"
echo "check-unit: $unit verified"
