#!/usr/bin/env bash
# Reliability part: the load of load.sh, with every kind of change (merge
# patches, content replacements and bulk deletions too), while the bucket
# service and the storage service are killed with SIGKILL at random moments
# (alternately, each waiting for the previous recovery). The core must
# restart each; the clients treat what they sent during an outage as of
# unknown outcome, and afterwards every acknowledged request must be in the
# store, every lost addition exist whole or not at all, no id be handed out
# twice, and the change feed keep what a follower read before each kill and
# hold every answered change and none that was never sent. The last line is
# "crash: N of M checks passed".
# Needs: $bin, $tools, $work (see bench/reliability.sh). CRASH_CLIENTS
# (default 32), CRASH_SECONDS (default 60), CRASH_BUCKET_KILLS and
# CRASH_STORAGE_KILLS (default 4 each).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"
trap stop_platform EXIT

if ! start_platform "$work/crash"; then
    echo "[FAIL] the platform did not start"
    echo "crash: 0 of 1 checks passed"
    exit 1
fi
"$tools/tarvolt-load" --core-port="$api_port" --core-pid="$core_pid" \
    --storage-root="$work/crash/buckets" --clients="${CRASH_CLIENTS:-32}" \
    --seconds="${CRASH_SECONDS:-60}" --kill-bucket="${CRASH_BUCKET_KILLS:-4}" \
    --kill-storage="${CRASH_STORAGE_KILLS:-4}" --part=crash --all-kinds
