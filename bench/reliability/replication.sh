#!/usr/bin/env bash
# Reliability part: replication. A platform whose data directory lies on
# powercut-fs replicates into a fresh radosgw (a throwaway Ceph cluster)
# while concurrent clients add, update, patch, replace the content of and
# delete buckets (singly and by condition). During the load
# the bucket service (which holds the replicator) is killed with SIGKILL,
# the platform is cut by power, radosgw is killed with SIGKILL and started
# again, and later stopped for REPLICATION_OUTAGE_S seconds. Afterwards the
# load's consistency check holds the source to every answered change, and
# once the replicator reports it has caught up, the object store must hold
# exactly the source's buckets (bytes by SHA-256, attributes from the
# decoded metadata, no object of a deleted bucket), as Debian's boto3 sees
# it (replication_compare.py). Closing lines: changes, faults, lag, and
# "replication: N of M checks passed" (skipped, with the reason, where Ceph
# or FUSE cannot start).
# Needs: $bin, $tools, $work (see bench/reliability.sh). REPLICATION_CLIENTS
# (default 16), REPLICATION_SECONDS (default 150), REPLICATION_OUTAGE_S
# (default 60), REPLICATION_BUCKET_KILLS (default 2), REPLICATION_POWER_CUTS
# (default 2), REPLICATION_CATCHUP_S (how long the replicator may take to
# catch up after the load, default 300), REPLICATION_PART (the name in the
# closing line, default replication).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
source "$here/platform.sh"
source "$here/replication_steps.sh"

part="${REPLICATION_PART:-replication}"
seconds="${REPLICATION_SECONDS:-150}"
outage="${REPLICATION_OUTAGE_S:-60}"
base="$work/$part"
backing="$base/backing" mnt="$base/mnt" pid_file="$base/core.pid"
ceph_parent="" ceph="" fs_pid="" monitor_pid="" faults_pid=""
mkdir -p "$backing" "$mnt"

cleanup() {
    [ -n "$faults_pid" ] && { kill "$faults_pid" 2>/dev/null; wait "$faults_pid" 2>/dev/null; }
    [ -n "$monitor_pid" ] && { kill "$monitor_pid" 2>/dev/null; wait "$monitor_pid" 2>/dev/null; }
    [ -s "$pid_file" ] && core_pid="$(cat "$pid_file")"
    stop_platform
    if [ -n "$fs_pid" ]; then
        fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
        kill "$fs_pid" 2>/dev/null || true
        wait "$fs_pid" 2>/dev/null || true
    fi
    [ -n "$ceph" ] && "$root/testing/ceph/ceph-cluster.sh" stop "$ceph" 2>/dev/null
    [ -n "$ceph_parent" ] && rmdir "$ceph_parent" 2>/dev/null
    true
}
trap cleanup EXIT

skip() {
    echo "[skip] $*"
    echo "$part: 0 of 0 checks passed"
    exit 0
}

for tool in ceph-mon ceph-osd radosgw fusermount3; do
    command -v "$tool" >/dev/null || skip "replication needs $tool (Ceph's radosgw, FUSE)"
done
python3 -c 'import boto3' 2>/dev/null || skip "replication needs python3-boto3"
[ -x "$tools/powercut-fs" ] && [ -e /dev/fuse ] || skip "power cuts need powercut-fs and /dev/fuse"

# The cluster's sockets want a short path; ceph-cluster.sh reap knows this one.
ceph_parent="$(mktemp -d /tmp/tarvolt-ceph-XXXXXX)"
ceph="$ceph_parent/c"
if ! OWNER_PID=$$ "$root/testing/ceph/ceph-cluster.sh" start "$ceph" >"$base/ceph.out" 2>&1; then
    reason="$(tail -n 3 "$base/ceph.out" | tr '\n' ' ')"
    "$root/testing/ceph/ceph-cluster.sh" stop "$ceph" 2>/dev/null
    ceph=""
    skip "the Ceph cluster could not start here: $reason"
fi
source "$ceph/env"
echo "[figures] radosgw at $RGW_URL"

"$tools/powercut-fs" "$backing" "$mnt" 2>"$base/powercut-fs.err" &
fs_pid=$!
for _ in $(seq 1 100); do [ -e "$mnt/.powercut" ] && break; sleep 0.1; done
if [ ! -e "$mnt/.powercut" ]; then
    fs_pid=""
    skip "powercut-fs could not mount here: $(head -c 300 "$base/powercut-fs.err")"
fi

if ! start_platform "$mnt"; then
    echo "[FAIL] the platform did not start on powercut-fs"
    echo "$part: 0 of 1 checks passed"
    exit 1
fi
disown "$core_pid" 2>/dev/null || true  # its death by a cut is no news
echo "$core_pid" >"$pid_file"
verdicts="$base/verdicts.txt"
: >"$verdicts"

if ! point_at_store "$base/s3.credentials" tarvolt-reliability box/; then
    verdict FAIL "the replicator follows the feed into radosgw" "$(replication_status)"
    finish_part
    exit 1
fi
echo sync >"$mnt/.powercut"  # the settings are on the disk before the first cut

monitor_lag "$base/lag.txt" &
monitor_pid=$!
store_faults "$seconds" "$outage" "$base/store-faults.txt" &
faults_pid=$!
load_started=$(date +%s.%N)
"$tools/tarvolt-load" --core-port="$api_port" --core-pid="$core_pid" \
    --storage-root="$mnt/buckets" --clients="${REPLICATION_CLIENTS:-16}" --seconds="$seconds" \
    --kill-bucket="${REPLICATION_BUCKET_KILLS:-2}" --power-cuts="${REPLICATION_POWER_CUTS:-2}" \
    --power-command="$here/power_cut.sh $bin $mnt $api_port $pid_file" --all-kinds \
    --part="$part" >"$base/load.txt"
load_ended=$(date +%s.%N)
wait "$faults_pid"
faults_pid=""
head -n -1 "$base/load.txt"
grep -E '^\[(pass|FAIL)\]' "$base/load.txt" >>"$verdicts"
store_fault_verdicts "$base/store-faults.txt" "$outage"

end_status="$(replication_status)"
catch_up "${REPLICATION_CATCHUP_S:-300}"
kill "$monitor_pid" 2>/dev/null
wait "$monitor_pid" 2>/dev/null
monitor_pid=""
python3 "$here/replication_compare.py" "http://127.0.0.1:$api_port" "$RGW_URL" "$ACCESS_KEY" \
    "$SECRET_KEY" tarvolt-reliability box/ >"$base/compare.txt" 2>&1
cat "$base/compare.txt"
grep -E '^\[(pass|FAIL)\]' "$base/compare.txt" >>"$verdicts"
grep -q '^\[figures\] compared' "$base/compare.txt" ||
    verdict FAIL "the comparison of the store with the source ran" "$(tail -n 1 "$base/compare.txt")"

closing_figures "$base/load.txt" "$base/lag.txt" "$load_started" "$load_ended" "$end_status"
finish_part
