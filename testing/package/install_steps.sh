# The steps of install_test.sh (sourced: uses its R, work, deb, check and
# dpkg_root).

unit="$R/lib/systemd/system/tarvolt.service"
data="$R/var/lib/tarvolt"

unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
tarvolt_ids() { awk -F: '$1 == "tarvolt" { print $3 ":" $4 }' "$R/etc/passwd"; }
owner_and_mode() { stat -c '%u:%g %a' "$1"; }
# A path of the package as seen from the host.
in_root() { sed -e "s|^/|$R/|" -e "s|=/|=$R/|"; }

install_and_inspect() {
    check "dpkg installs the package" dpkg_root -i "$deb"
    for exe in tarvolt-core tarvolt-storage tarvolt-bucket; do
        check "$exe installed" test -x "$R/usr/libexec/tarvolt/$exe"
    done
    check "the unit installed" test -f "$unit"
    check "the configuration file installed" test -f "$R/etc/tarvolt/tarvolt.conf"
    check "the configuration file is a conffile" \
        grep -qx /etc/tarvolt/tarvolt.conf "$R/var/lib/dpkg/info/tarvolt.conffiles"
    check "the README installed" test -f "$R/usr/share/doc/tarvolt/README.md"
    check "the unit is enabled" test -L "$R/etc/systemd/system/multi-user.target.wants/tarvolt.service"
    check "the system user tarvolt exists" test -n "$(tarvolt_ids)"
    check "/var/lib/tarvolt belongs to tarvolt, mode 750" \
        test "$(owner_and_mode "$data")" = "$(tarvolt_ids) 750"
    local version
    version="$(dpkg-deb -f "$deb" Version)"
    check "the core reports the package's version" \
        test "$("$R/usr/libexec/tarvolt/tarvolt-core" --version)" = "tarvolt-core $version"
}

check_unit_offline() {
    local verify exposure
    # Without a running systemd and a whole system in the root: the unit as
    # installed, with ExecStart's path seen from the host.
    mkdir -p "$work/verify"
    sed "s|^ExecStart=/|ExecStart=$R/|" "$unit" >"$work/verify/tarvolt.service"
    verify="$(systemd-analyze verify "$work/verify/tarvolt.service" 2>&1)"
    [ -n "$verify" ] && echo "systemd-analyze verify: $verify"
    check "systemd-analyze verify reports nothing" test -z "$verify"
    exposure="$(systemd-analyze security --offline=true --root="$R" tarvolt.service 2>&1 |
        sed -n 's/.*Overall exposure level for tarvolt.service: \([0-9.]*\).*/\1/p')"
    echo "systemd-analyze security: exposure ${exposure:-unknown}"
    check "exposure 2.5 or better" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }'
    check "Type=notify" test "$(unit_value Type)" = notify
    check "Restart=on-failure" test "$(unit_value Restart)" = on-failure
    check "a watchdog" test -n "$(unit_value WatchdogSec)"
}

# Listens on a datagram socket in place of systemd's notification socket;
# each message goes on a line of $work/notify.log.
start_notify_listener() {
    : >"$work/notify.log"
    /usr/bin/python3 - "$work/notify" "$work/notify.log" <<'PY' &
import os, socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o666)
while True:
    message = sock.recv(4096).decode()
    with open(sys.argv[2], "a") as log:
        log.write(message + "\n")
PY
    listener_pid=$!
    for _ in $(seq 100); do [ -S "$work/notify" ] && return; sleep 0.05; done
}

notified() { grep -qx "$1" "$work/notify.log"; }
wait_until() {  # wait_until SECONDS COMMAND...
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}

# Starts ExecStart as the unit does: user, group, umask, environment, "/" as
# working directory, no privileges; its paths in the throwaway root, and
# free ports instead of the configured ones.
start_core() {
    local ids command environment
    ids="$(tarvolt_ids)"
    read -r -a command <<<"$(unit_value ExecStart | tr ' ' '\n' | in_root | tr '\n' ' ')"
    read -r -a environment <<<"$(sed -n 's/^Environment=//p' "$unit" | in_root | tr '\n' ' ')"
    local tracer=()
    if [ "${1:-}" = traced ]; then
        mkdir -p "$work/trace" && chmod 0777 "$work/trace"
        tracer=(strace -f -qq -o "$work/trace/calls" --)
    fi
    rm -f "$work/notify" && start_notify_listener
    (
        umask "$(unit_value UMask)"
        cd /
        exec env -i PATH=/usr/bin:/bin NOTIFY_SOCKET="$work/notify" WATCHDOG_USEC=2000000 \
            "${environment[@]}" setpriv --reuid="${ids%:*}" --regid="${ids#*:}" --clear-groups \
            --no-new-privs -- "${tracer[@]}" "${command[@]}" --data="$data" --port=0 --api-port=0
    ) >>"$work/core.out" 2>&1 &
    core_pid=$!
}

# The system calls of a filter line's groups and names, groups expanded.
expand_filter() {
    local item
    for item in "$@"; do
        case "$item" in
            @*) systemd-analyze syscall-filter "$item" | tail -n +2 |
                    sed -e 's/^ *//' -e '/^#/d' -e '/^$/d' | while read -r name; do
                        expand_filter "$name"
                    done ;;
            *) echo "$item" ;;
        esac
    done
}

# Lists the system calls of the traced run that the unit's
# SystemCallFilter= lines do not allow (those starting with "~" deny).
calls_outside_the_filter() {
    local allowed=() denied=() line
    while read -r line; do
        case "$line" in
            "~"*) read -r -a words <<<"${line#\~}" && denied+=("${words[@]}") ;;
            *) read -r -a words <<<"$line" && allowed+=("${words[@]}") ;;
        esac
    done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
    expand_filter "${allowed[@]}" | sort -u >"$work/trace/allowed"
    expand_filter "${denied[@]}" | sort -u >"$work/trace/denied"
    sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/trace/calls" | sort -u >"$work/trace/used"
    comm -23 "$work/trace/used" "$work/trace/allowed"
    comm -12 "$work/trace/used" "$work/trace/denied"
}

api_port() { sed -n 's/.*"api_port":\([0-9]*\).*/\1/p' "$data/core.json"; }

stop_core() {
    # The core's own id: under strace, $core_pid is the tracer's.
    kill -TERM "$(sed -n 's/.*"pid":\([0-9]*\).*/\1/p' "$data/core.json")"
    wait "$core_pid"
    local status=$?
    core_pid=""
    check "the core exits 0 on SIGTERM" test "$status" -eq 0
    check "the core said STOPPING=1" notified STOPPING=1
    kill "$listener_pid" 2>/dev/null
    wait "$listener_pid" 2>/dev/null
    listener_pid=""
}

run_as_the_unit() {  # run_as_the_unit first|again
    local failed_before=$failed
    # The first start runs under strace when it is there, to hold the
    # processes' system calls against the unit's filter.
    local traced=""
    [ "$1" = first ] && command -v strace >/dev/null && traced=traced
    start_core $traced
    check "READY=1 once the bucket service registered ($1 start)" wait_until 60 notified READY=1
    check "the watchdog is fed ($1 start)" wait_until 5 notified WATCHDOG=1
    local port listing
    port="$(api_port)"
    echo 'hello bucket' >"$work/hello.txt"
    local added
    added="$(curl -s -F bucket=@"$work/hello.txt" -F 'attributes={"colour":"red","size":"2"}' \
        "localhost:$port/tarvolt/bucket")"
    if [ "$1" = first ]; then
        check "the first addition is bucket 1" test "$added" = '{ "bucket" : 1 }'
        check "the bucket file belongs to tarvolt, mode 600" \
            test "$(owner_and_mode "$data/buckets/0/1")" = "$(tarvolt_ids) 600"
        check "the administrator token belongs to tarvolt, mode 600" \
            test "$(owner_and_mode "$data/admin.token")" = "$(tarvolt_ids) 600"
    else
        check "the bucket of before the upgrade is still there" \
            test "$added" = '{ "message" : "Duplicate bucket" }'
    fi
    listing="$(curl -s "localhost:$port/tarvolt/bucket")"
    check "the listing shows bucket 1 ($1 start)" \
        grep -q '"bucket" : 1, "file" : "[^"]*/buckets/0/1", "attributes" : { "colour" : "red","size" : "2"}' \
        <<<"$listing"
    stop_core
    if [ -n "$traced" ]; then
        local outside
        outside="$(calls_outside_the_filter | tr '\n' ' ')"
        [ -n "$outside" ] && echo "system calls outside the unit's filter: $outside"
        check "every system call made is allowed by SystemCallFilter=" test -z "$outside"
    fi
    [ "$failed" -eq "$failed_before" ] || { echo "core output:"; cat "$work/core.out"; }
}

upgrade_keeps_data() {
    local token
    token="$(cat "$data/admin.token")"
    echo "# changed by the operator" >>"$R/etc/tarvolt/tarvolt.conf"
    check "dpkg upgrades the package" dpkg_root -i "$deb"
    check "the upgrade keeps the administrator token" test "$(cat "$data/admin.token")" = "$token"
    check "the upgrade keeps the operator's configuration" \
        grep -qx "# changed by the operator" "$R/etc/tarvolt/tarvolt.conf"
    run_as_the_unit again
}

remove_keeps_data() {
    check "dpkg removes the package" dpkg_root -r tarvolt
    check "removal takes the executables" test ! -e "$R/usr/libexec/tarvolt/tarvolt-core"
    check "removal takes the unit" test ! -e "$unit"
    check "removal keeps the data" test -s "$data/buckets/0/1"
    check "removal keeps the administrator token" test -s "$data/admin.token"
    check "removal keeps the configuration" test -f "$R/etc/tarvolt/tarvolt.conf"
}

purge_removes_data() {
    local said
    said="$(dpkg_root --purge tarvolt 2>&1)"
    check "dpkg purges the package" test $? -eq 0
    check "purge says it deletes the data" grep -q "deleting /var/lib/tarvolt" <<<"$said"
    check "purge deletes the data" test ! -e "$data"
    check "purge deletes the configuration" test ! -e "$R/etc/tarvolt"
    check "purge leaves no enablement link" \
        test ! -e "$R/etc/systemd/system/multi-user.target.wants/tarvolt.service"
    check "dpkg forgets the package" test -z "$(dpkg-query --root="$R" -W tarvolt 2>/dev/null)"
}
