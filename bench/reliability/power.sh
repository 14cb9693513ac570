#!/usr/bin/env bash
# Reliability part: power cuts. The platform's whole data directory (bucket
# files, id mark, SQLite database and its log, audit log, configuration)
# lies on powercut-fs, a FUSE file system that drops on command everything
# not yet made durable by an fsync. Concurrent clients add, download,
# update, patch, match, list and delete buckets, replace their content and
# delete batches of them by a condition; at random moments the whole
# platform is killed at once, the file system loses what was not durable,
# and the platform starts again over what survived. Then the consistency
# check: every answered change is there with exact bytes and attributes,
# and every change whose answer was lost left a state it could have left;
# the change feed holds a record of every answered change, none of a change
# nobody sent, and its newest record of each bucket tells the bucket's state.
# The last line is "power: N of M checks passed" (the part counts as
# skipped, with the reason, where FUSE cannot be mounted).
# Needs: $bin, $tools, $work (see bench/reliability.sh). POWER_CLIENTS
# (default 16), POWER_SECONDS (default 60), POWER_CUTS (default 6),
# POWER_PART (the name in the closing line, default power).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"

part="${POWER_PART:-power}"
base="$work/$part"
backing="$base/backing" mnt="$base/mnt" pid_file="$base/core.pid"
fs_pid=""
mkdir -p "$backing" "$mnt"

cleanup() {
    [ -s "$pid_file" ] && core_pid="$(cat "$pid_file")"
    stop_platform
    if [ -n "$fs_pid" ]; then
        fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
        kill "$fs_pid" 2>/dev/null || true
        wait "$fs_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

if [ ! -x "$tools/powercut-fs" ] || [ ! -e /dev/fuse ]; then
    echo "[skip] power cuts need powercut-fs (libfuse3) and /dev/fuse"
    echo "$part: 0 of 0 checks passed"
    exit 0
fi
"$tools/powercut-fs" "$backing" "$mnt" 2>"$base/powercut-fs.err" &
fs_pid=$!
for _ in $(seq 1 100); do [ -e "$mnt/.powercut" ] && break; sleep 0.1; done
if [ ! -e "$mnt/.powercut" ]; then
    echo "[skip] powercut-fs could not mount here: $(head -c 300 "$base/powercut-fs.err")"
    fs_pid=""
    echo "$part: 0 of 0 checks passed"
    exit 0
fi

if ! start_platform "$mnt"; then
    echo "[FAIL] the platform did not start on powercut-fs"
    echo "$part: 0 of 1 checks passed"
    exit 1
fi
disown "$core_pid" 2>/dev/null || true  # its death by a cut is no news
echo "$core_pid" >"$pid_file"
echo sync >"$mnt/.powercut"  # what the first start wrote is on the disk

cuts="${POWER_CUTS:-6}"
"$tools/tarvolt-load" --core-port="$api_port" --core-pid="$core_pid" \
    --storage-root="$mnt/buckets" --clients="${POWER_CLIENTS:-16}" \
    --seconds="${POWER_SECONDS:-60}" --power-cuts="$cuts" \
    --power-command="$here/power_cut.sh $bin $mnt $api_port $pid_file" \
    --part="$part" --all-kinds >"$base/load.txt"
status=$?
head -n -1 "$base/load.txt"
echo "[figures] rounds: $((cuts + 1)) load periods, $cuts power cuts; file system: $(cat "$mnt/.powercut")"
tail -n 1 "$base/load.txt"
exit $status
