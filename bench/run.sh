#!/usr/bin/env bash
# `make bench`: builds the Release executables into their own build
# directory, starts the platform (core, storage service on SQLite, bucket
# service) on free loopback ports with a temporary data directory (and,
# when the build has the setting, a second platform started with
# TARVOLT_DURABILITY=relaxed for the non-durable row, and a third whose
# storage service runs without group commit, TARVOLT_GROUP_COMMIT=off, for
# the row that shows what group commit wins, and a fourth, plain one that
# holds the scaling rows' 1,000-bucket store while the main platform's
# store grows, so that both sizes are measured in alternation), starts a
# throwaway loopback nginx for the comparisons and an nginx reverse proxy in
# front of it (the yardstick of the core's proxy), runs tarvolt-bench against
# them and prints the result table; the last line is
# "bench: N of M targets met". Everything started here is stopped and the
# temporary directory removed on exit, also after a failure or Ctrl-C.
#
# Environment: BENCH_BUILD_DIR (default build-bench), JOBS (build jobs),
# BENCH_ARGS (extra tarvolt-bench options, e.g. "--only=transfers --runs=1"),
# BENCH_STORAGE=1 also runs the storage service's latency benchmark
# (storage_bench; it fills 100,000 buckets one transaction at a time, which
# takes about two minutes here, so it is left out of the default run).
# Arguments given to this script are passed to tarvolt-bench as well.
#
# One part alone, e.g. the additions of 4 KiB buckets only (durable with and
# without group commit, non-durable, each beside nginx PUTs; about 2 minutes
# once built):
#     ./bench/run.sh --only=adds --threads=8
# The parts: scaling, transfers, small (additions and downloads), adds, million
# (1,000,000 buckets against 1,000 and the unpaged listing's memory),
# writes (bytes written per change, durable and relaxed), footprint (ready
# time and idle memory of a freshly started platform), feed (the change
# feed's read rate after 20,000 additions, direct and through the core),
# search (a selective search at 100,000 and 1,000 buckets, beside the exact
# match, and the bulk deletion of 10,000 buckets), retention (an addition
# against a full disk with a watermark rule, on a fifth platform whose
# storage root is a tmpfs; needs the right to mount), replication (to the
# radosgw of a throwaway Ceph cluster started here, from a platform of its
# own: 4 KiB buckets, a 1 GiB bucket beside boto3's upload of the same
# file, and the lag under 32 clients' additions; "skip" with the reason
# where the cluster cannot start).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BENCH_BUILD_DIR:-$root/build-bench}"
jobs="${JOBS:-$(nproc)}"
started=$SECONDS

say() { echo "[bench] $*" >&2; }

"$root/scripts/install-deps.sh" nginx

say "building Release into $build_dir"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOLT_TESTS=OFF >/dev/null
targets=(tarvolt-core tarvolt-storage tarvolt-bucket tarvolt-bench)
if [ "${BENCH_STORAGE:-0}" = 1 ] && grep -q storage_bench "$root/bench/CMakeLists.txt"; then
    targets+=(storage_bench)
fi
cmake --build "$build_dir" -j "$jobs" --target "${targets[@]}"
bin="$build_dir/bin"
say "build done after $((SECONDS - started)) s"

work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-bench.XXXXXX")"
core_pids=()

stop_cores() {
    local pid
    for pid in "${core_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.2
        done
        if kill -0 "$pid" 2>/dev/null; then
            say "the core $pid did not stop within 20 s; killing it"
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    core_pids=()
}

full_root=""

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_cores
    if [ -n "$full_root" ]; then
        umount "$full_root" 2>/dev/null || umount -l "$full_root" 2>/dev/null || true
    fi
    "$root/bench/nginx.sh" stop "$work/nginx" 2>/dev/null || true
    "$root/bench/nginx.sh" stop "$work/nginx-proxy" 2>/dev/null || true
    "$root/testing/ceph/ceph-cluster.sh" stop "$work/ceph" 2>/dev/null || true
    sleep 0.3
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a platform (core, storage, bucket service) with its data in DIR and
# the extra environment given; sets core_pid and api_port once the bucket
# service has registered, exits on failure.
start_platform() {
    local dir="$1"
    shift
    mkdir -p "$dir"
    # --open: the benchmark changes settings and restarts services through
    # the public API without the administrator's token.
    env TARVOLT_DATA="$dir" "$@" "$bin/tarvolt-core" --port=0 --api-port=0 --data="$dir" \
        --launch=storage,bucket --open >"$dir.log" 2>&1 &
    core_pid=$!
    core_pids+=("$core_pid")
    api_port=""
    for _ in $(seq 1 300); do
        kill -0 "$core_pid" 2>/dev/null || { cat "$dir.log" >&2; say "the core exited"; exit 1; }
        if [ -z "$api_port" ] && [ -s "$dir/core.json" ]; then
            api_port="$(sed -n 's/.*"api_port":\([0-9]*\).*/\1/p' "$dir/core.json")"
        fi
        if [ -n "$api_port" ] &&
            curl -sf "http://127.0.0.1:$api_port/tarvolt/service" | grep -q '"BucketStorage"'; then
            say "core pid $core_pid (api port $api_port), data in $dir"
            return 0
        fi
        sleep 0.2
    done
    cat "$dir.log" >&2
    say "the bucket service did not register within 60 s"
    exit 1
}

# The storage service's own latency benchmark (standalone storage service).
if [[ " ${targets[*]} " == *" storage_bench "* ]]; then
    say "storage latency (storage_bench)"
    TMPDIR="$work" "$bin/storage_bench" "$bin/tarvolt-storage" 1000 >&2
fi

start_platform "$work/data"
main_core_pid="$core_pid"
main_api_port="$api_port"
# A second platform that trades durability away, for the non-durable row;
# only when this build has the setting.
other_platform_args=()
if grep -qs TARVOLT_DURABILITY "$root/platform/common/include/durability.h"; then
    start_platform "$work/relaxed" TARVOLT_DURABILITY=relaxed
    other_platform_args=(--relaxed-core-api-port="$api_port" --relaxed-core-pid="$core_pid")
fi
# A third whose storage service commits every write on its own, for the row
# beside the durable one.
if grep -qs TARVOLT_GROUP_COMMIT "$root/platform/storage/src/sql_backend.cpp"; then
    start_platform "$work/solo-commit" TARVOLT_GROUP_COMMIT=off
    other_platform_args+=(--solo-commit-core-api-port="$api_port" --solo-commit-core-pid="$core_pid")
fi

# A fourth that holds the 1,000 buckets the scaling rows measure the main
# platform's larger store against, run by run.
start_platform "$work/small"
other_platform_args+=(--small-core-api-port="$api_port" --small-core-pid="$core_pid"
    --small-data="$work/small")

# The million-bucket store's platform, over a cache directory that outlives
# the run: the benchmark builds the store once (untimed) and reuses it while
# it is whole and of the current schema (tarvolt-bench million-cache empties
# it otherwise). About 1 GiB.
bench_options="${BENCH_ARGS:-} $*"
if [[ "$bench_options" != *--only=* || "$bench_options" =~ --only=[^\ ]*million ]]; then
    million_dir="${TARVOLT_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvolt-bench}/million"
    "$bin/tarvolt-bench" million-cache --data="$million_dir" >&2
    start_platform "$million_dir"
    other_platform_args+=(--million-core-api-port="$api_port" --million-core-pid="$core_pid"
        --million-data="$million_dir")
fi

# A fifth whose storage root is a 32 MiB tmpfs, for the addition against a
# full disk (the part "retention"); only when that part runs and this
# process may mount.
bench_options="${BENCH_ARGS:-} $*"
if [[ "$bench_options" != *--only=* || "$bench_options" =~ --only=[^\ ]*retention ]]; then
    mkdir -p "$work/full/buckets"
    if mount -t tmpfs -o size=32m tarvolt-bench-full "$work/full/buckets" 2>"$work/full.mount"; then
        full_root="$work/full/buckets"
        start_platform "$work/full"
        other_platform_args+=(--full-core-api-port="$api_port" --full-core-pid="$core_pid"
            --full-data="$work/full")
    else
        say "no tmpfs for the full-disk row: $(cat "$work/full.mount")"
    fi
fi

# The replication rows: a Ceph cluster (radosgw) and a sixth platform that
# replicates to it, unless --only leaves them out.
if [[ "$bench_options" != *--only=* || "$bench_options" =~ --only=[^\ ]*replication ]]; then
    if ! command -v radosgw >/dev/null 2>&1; then
        other_platform_args+=(--replication-skip="radosgw is not installed")
    elif OWNER_PID=$$ "$root/testing/ceph/ceph-cluster.sh" start "$work/ceph" >"$work/ceph.log" 2>&1; then
        start_platform "$work/replication"
        other_platform_args+=(--replication-core-api-port="$api_port"
            --replication-data="$work/replication" --ceph-dir="$work/ceph")
        say "Ceph cluster with radosgw at $(sed -n 's/^RGW_URL=//p' "$work/ceph/env")"
    else
        reason="$(tail -1 "$work/ceph.log")"
        other_platform_args+=(--replication-skip="the Ceph cluster did not start: ${reason:-no reason given}")
    fi
fi

nginx_port="$("$bin/tarvolt-bench" free-port)"
nginx_pid="$("$root/bench/nginx.sh" start "$work/nginx" "$nginx_port")"
proxy_port="$("$bin/tarvolt-bench" free-port)"
proxy_pid="$("$root/bench/nginx.sh" start-proxy "$work/nginx-proxy" "$proxy_port" "$nginx_port")"
say "nginx on port $nginx_port, nginx reverse proxy on port $proxy_port"

# shellcheck disable=SC2086
"$bin/tarvolt-bench" run --core-api-port="$main_api_port" --core-pid="$main_core_pid" \
    "${other_platform_args[@]}" --data="$work/data" --nginx-port="$nginx_port" --nginx-pid="$nginx_pid" \
    --nginx-root="$work/nginx/www" --nginx-proxy-port="$proxy_port" \
    --nginx-proxy-pid="$proxy_pid" --core-bin="$bin/tarvolt-core" --work="$work" \
    ${BENCH_ARGS:-} "$@" >"$work/table.txt"
say "benchmarks done after $((SECONDS - started)) s in all"
cat "$work/table.txt"
