#!/usr/bin/env bash
# Shared by the reliability parts: starts and stops one platform (core,
# storage service on SQLite, bucket service) on free loopback ports.
# Source it, then:
#   start_platform DATA_DIR [extra core arguments...]
#     sets core_pid, api_port, management_port, bucket_port, bucket_pid,
#     storage_pid; returns non-zero if the bucket service did not register
#     and answer through the core.
#   refresh_pids        re-reads bucket_pid/storage_pid/bucket_port after a
#                       restart by the core's supervisor; non-zero until the
#                       bucket service has registered again.
#   stop_platform       stops the core (which stops its services).
#   show_platform_logs  prints what a failed check needs to be understood:
#                       the supervisor's lines and the services' warnings.
# Needs $bin, the directory holding tarvolt-core, tarvolt-storage and
# tarvolt-bucket.

core_pid="" api_port="" management_port="" bucket_port="" bucket_pid="" storage_pid=""
platform_data=""

platform_say() { echo "[platform] $*" >&2; }

refresh_pids() {
    local services
    services="$(curl -sf "http://127.0.0.1:$api_port/tarvolt/service" || true)"
    bucket_port="$(echo "$services" | grep -o '"type" *: *"BucketStorage"[^}]*' |
        sed -n 's/.*"service_port" *: *\([0-9]*\).*/\1/p' || true)"
    bucket_pid="$(ps -o pid=,comm= --ppid "$core_pid" | awk '$2 == "tarvolt-bucket" { print $1 }')"
    storage_pid="$(ps -o pid=,comm= --ppid "$core_pid" | awk '$2 == "tarvolt-storage" { print $1 }')"
    [ -n "$bucket_port" ] && [ -n "$bucket_pid" ] && [ -n "$storage_pid" ]
}

start_platform() {
    platform_data="$1"
    shift
    mkdir -p "$platform_data"
    rm -f "$platform_data/core.json"
    TARVOLT_DATA="$platform_data" "$bin/tarvolt-core" --port=0 --api-port=0 --data="$platform_data" \
        --launch=storage,bucket "$@" >"$platform_data/core.out" 2>&1 &
    core_pid=$!
    api_port="" bucket_port="" bucket_pid="" storage_pid=""
    for _ in $(seq 1 300); do
        if ! kill -0 "$core_pid" 2>/dev/null; then
            cat "$platform_data/core.out" >&2
            platform_say "the core exited"
            core_pid=""
            return 1
        fi
        if [ -z "$api_port" ] && [ -s "$platform_data/core.json" ]; then
            api_port="$(sed -n 's/.*"api_port":\([0-9]*\).*/\1/p' "$platform_data/core.json")"
            management_port="$(sed -n 's/.*"management_port":\([0-9]*\).*/\1/p' "$platform_data/core.json")"
        fi
        # Registered is not ready: the service sets up its paths through
        # the core and answers 503 until its start-up is done.
        if [ -n "$api_port" ] && refresh_pids &&
            curl -sf -o /dev/null "http://127.0.0.1:$api_port/tarvolt/bucket?limit=1"; then
            platform_say "core $core_pid (api $api_port, management $management_port)," \
                "bucket $bucket_pid (port $bucket_port), storage $storage_pid"
            return 0
        fi
        sleep 0.2
    done
    platform_say "the bucket service did not register and answer"
    return 1
}

stop_platform() {
    [ -n "$core_pid" ] || return 0
    kill -TERM "$core_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$core_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$core_pid" 2>/dev/null || true
    wait "$core_pid" 2>/dev/null || true
    core_pid=""
}

show_platform_logs() {
    [ -n "$platform_data" ] || return 0
    platform_say "the core's lines:"
    grep -v ' DEBUG: ' "$platform_data/core.out" | tail -n 40 >&2 || true
    local log
    for log in "$platform_data"/logs/*.log; do
        [ -f "$log" ] || continue
        platform_say "$(basename "$log"), warnings and the last errors:"
        grep -E ' (WARNING|FATAL|INFO): ' "$log" | tail -n 30 >&2 || true
        grep ' ERROR: ' "$log" | grep -v 'unreachable' | tail -n 10 >&2 || true
    done
    if [ -d "$platform_data/buckets" ]; then
        find "$platform_data/buckets" -path '*quarantine*' -type f | head -n 10 >&2 || true
    fi
}
