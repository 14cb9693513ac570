#!/usr/bin/env bash
# The Debian package from install to purge, in a throwaway root: dpkg
# installs it with --root and runs its maintainer scripts without chroot
# (they honour DPKG_ROOT), the core is started the way tarvolt.service
# starts it (its user, environment, umask and configuration file, with a
# notification socket standing in for systemd), answers the README's first
# examples, and then upgrade, removal and purge are checked for what each
# leaves. systemd does not run here: the unit file is checked offline
# (systemd-analyze verify and security).
#   install_test.sh [DEB]   (without DEB the package is built first)
set -uo pipefail

root_of_source="$(cd "$(dirname "$0")/../.." && pwd)"
[ "$(id -u)" -eq 0 ] || { echo "needs root (dpkg --root, setpriv)"; exit 77; }
work="$(mktemp -d)"
core_pid=""
listener_pid=""
cleanup() {
    [ -n "$core_pid" ] && kill "$core_pid" 2>/dev/null
    [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

deb="${1:-}"
if [ -z "$deb" ]; then
    deb="$("$root_of_source/scripts/build-deb.sh" "$work/dist" | tail -n 1)" || {
        echo "FAILED: the package does not build"
        exit 1
    }
fi

R="$work/root"
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates" "$R/etc"
touch "$R/var/lib/dpkg/status" "$R/var/lib/dpkg/available"
chmod 0755 "$work" "$R"
dpkg_root() { dpkg --root="$R" --force-script-chrootless --force-depends "$@"; }

source "$root_of_source/testing/package/install_steps.sh"

install_and_inspect
check_unit_offline
run_as_the_unit first
upgrade_keeps_data
remove_keeps_data
purge_removes_data

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
