# shellcheck shell=bash
# The prologue of the packaging checks that mount things over this machine's
# own paths (an overlay of /, a sudoers and passwd over /etc's, a binary in
# /usr/sbin): they run in a private mount namespace, where every such mount
# vanishes with the check, also after a failure or Ctrl-C. Sourced first:
#
#   . "$(dirname "$0")/private-ns.sh"
#   if [ "$inside" = 0 ]; then
#       ...             # what needs the host: builds, key pairs, checks of
#       run_inside      # files; then this script again, in the namespace
#   fi
#   ...                 # inside: mount, check
#
# Both times the script has its own arguments and the same work directory,
# "$work": made outside in /tmp, removed on exit, nothing mounted on it
# from the host's point of view.

# shellcheck disable=SC2034 # inside and work are the sourcing script's
if [ "${1:-}" = --inside-private-ns ]; then
    inside=1
    work=$2
    shift 2
else
    inside=0
    [ "$(id -u)" = 0 ] || { echo "${0##*/}: run as root" >&2; exit 2; }
    work=$(mktemp -d "/tmp/tarvex-$(basename "$0" .sh).XXXXXX")
    # --one-file-system: should something still be mounted below, fail
    # rather than delete through it.
    trap 'rm -rf --one-file-system "$work"' EXIT
    trap 'exit 130' INT TERM
    private_ns_args=("$@")
fi

# Runs this script again inside a private mount namespace and exits with its
# status. Not exec: the trap above must still run when the namespace is gone.
run_inside() {
    local rc=0
    unshare --mount --propagation private -- \
        bash "$0" --inside-private-ns "$work" "${private_ns_args[@]}" || rc=$?
    exit "$rc"
}
