#!/usr/bin/env bash
# `make reliability`: builds the Release executables into their own build
# directory, starts the platform (core, storage service on SQLite, bucket
# service) on free loopback ports with a temporary data directory and runs
# the reliability parts against it; each part prints what it tried and
# found. The last line is "reliability: N of M checks passed". Everything
# started here is stopped and the temporary directory removed on exit.
#
# Environment: RELIABILITY_BUILD_DIR (default build-reliability), JOBS,
# HOSTILE_ROUNDS (rounds of hostile requests; default 180, about 10,000
# requests over both ports).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${RELIABILITY_BUILD_DIR:-$root/build-reliability}"
jobs="${JOBS:-$(nproc)}"
say() { echo "[reliability] $*" >&2; }

say "building Release into $build_dir"
cmake -S "$root" -B "$build_dir/platform" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOLT_TESTS=OFF >/dev/null
cmake --build "$build_dir/platform" -j "$jobs" --target tarvolt-core tarvolt-storage tarvolt-bucket
cmake -S "$root/bench/reliability" -B "$build_dir/hostile" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1 ||
    { rm -rf "$build_dir/hostile"; cmake -S "$root/bench/reliability" -B "$build_dir/hostile" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null; }
cmake --build "$build_dir/hostile" -j "$jobs"
bin="$build_dir/platform/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-reliability.XXXXXX")"
core_pid=""
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [ -n "$core_pid" ]; then
        kill -TERM "$core_pid" 2>/dev/null || true
        for _ in $(seq 1 100); do kill -0 "$core_pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$core_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
checks=0
count() { # adds "X of Y checks passed" from the last line of a part's output
    local line
    line="$(tail -n 1 "$1")"
    if [[ "$line" =~ ([0-9]+)\ of\ ([0-9]+)\ checks ]]; then
        passed=$((passed + BASH_REMATCH[1])); checks=$((checks + BASH_REMATCH[2]))
    else
        checks=$((checks + 1))
    fi
}

say "starting the platform in $work/data"
mkdir -p "$work/data"
TARVOLT_DATA="$work/data" "$bin/tarvolt-core" --port=0 --api-port=0 --data="$work/data" \
    --launch=storage,bucket >"$work/core.log" 2>&1 &
core_pid=$!
api_port="" bucket_pid="" storage_pid="" bucket_port=""
for _ in $(seq 1 300); do
    kill -0 "$core_pid" 2>/dev/null || { cat "$work/core.log" >&2; say "the core exited"; exit 1; }
    if [ -z "$api_port" ] && [ -s "$work/data/core.json" ]; then
        api_port="$(sed -n 's/.*"api_port":\([0-9]*\).*/\1/p' "$work/data/core.json")"
    fi
    if [ -n "$api_port" ]; then
        services="$(curl -sf "http://127.0.0.1:$api_port/tarvolt/service" || true)"
        bucket_port="$(echo "$services" | grep -o '"type" *: *"BucketStorage"[^}]*' |
            sed -n 's/.*"service_port" *: *\([0-9]*\).*/\1/p' || true)"
        if [ -n "$bucket_port" ]; then
            bucket_pid="$(ps -o pid=,comm= --ppid "$core_pid" | awk '$2 == "tarvolt-bucket" { print $1 }')"
            storage_pid="$(ps -o pid=,comm= --ppid "$core_pid" | awk '$2 == "tarvolt-storage" { print $1 }')"
            [ -n "$bucket_pid" ] && [ -n "$storage_pid" ] && break
        fi
    fi
    sleep 0.2
done
[ -n "$bucket_pid" ] || { cat "$work/core.log" >&2; say "the bucket service did not register"; exit 1; }
say "core $core_pid (api port $api_port), bucket $bucket_pid (port $bucket_port), storage $storage_pid"

say "hostile HTTP"
"$build_dir/hostile/tarvolt-hostile" --bucket-port="$bucket_port" --core-port="$api_port" \
    --pids="$core_pid,$bucket_pid,$storage_pid" --rounds="${HOSTILE_ROUNDS:-180}" \
    | tee "$work/hostile.txt" || true
count "$work/hostile.txt"

echo "reliability: $passed of $checks checks passed"
[ "$passed" = "$checks" ]
